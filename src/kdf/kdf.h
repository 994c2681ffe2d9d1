// Key derivation: scrypt keys from passwords and HKDF-SHA256 subkeys. The
// public calls are declared in <qv/kdf.h>; this adds the pieces they are made
// of. src/kdf may use OpenSSL, src/common and <qv/...>; never Python.
#pragma once

#include <qv/kdf.h>

#include <cstdint>
#include <string_view>

#include "common/common.h"

namespace qv {

// Decodes `salt_hex`, an even-length run of hex digits of either case, into
// `out`. Returns false on anything else (odd length, blanks, signs, "0x");
// never throws.
bool parse_salt_hex(std::string_view salt_hex, SecretBytes& out);

// `derive_subkey` of <qv/kdf.h> on a master key already checked to be 32
// bytes at `master_key`, and `salt` (`salt_n` bytes; null or empty means 32
// zero bytes). Same errors from the context check on.
SecretBytes derive_subkey(const std::uint8_t* master_key, std::string_view context,
                          const std::uint8_t* salt, std::size_t salt_n);

}  // namespace qv
