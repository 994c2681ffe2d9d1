// Key derivation: scrypt keys from passwords and HKDF-SHA256 subkeys.
//
// Nothing here touches Python. Both routines throw std::invalid_argument for
// a bad argument value and std::runtime_error for a failed library call, each
// with a message that begins "qv: ".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/common.h"

namespace qv {

constexpr std::size_t derived_key_size = 32;
constexpr std::size_t random_salt_size = 32;
constexpr std::uint64_t scrypt_min_n = std::uint64_t{1} << 14;
constexpr std::uint64_t scrypt_max_mem = std::uint64_t{256} << 20;

struct DerivedKey {
  SecretBytes key;       // 32 bytes
  std::string salt_hex;  // the salt used, two lower-case hex digits per byte
};

// Decodes `salt_hex`, an even-length run of hex digits of either case, into
// `out`. Returns false on anything else (odd length, blanks, signs, "0x");
// never throws.
bool parse_salt_hex(std::string_view salt_hex, SecretBytes& out);

// scrypt(`password`, salt, `N`, `r`, `p`) with a 256 MiB memory bound and a
// 32-byte output. The salt is `salt_hex` decoded, or 32 random bytes when
// `salt_hex` is empty. Checks, in order: empty password, `N` below 2^14 or
// not a power of two, malformed `salt_hex` (std::invalid_argument); the
// random draw and scrypt itself (std::runtime_error).
DerivedKey derive_key_from_password(std::string_view password, std::string_view salt_hex,
                                    std::uint64_t N, std::uint32_t r, std::uint32_t p);

// HKDF-SHA256 (extract then expand) of the 32 bytes at `master_key` with info
// "qv.v2:" + `context` and `salt` (`salt_n` bytes; null or empty means 32 zero
// bytes). Throws std::invalid_argument for an empty context and
// std::runtime_error if OpenSSL fails (it refuses very long contexts).
// Returns 32 bytes.
SecretBytes derive_subkey(const std::uint8_t* master_key, std::string_view context,
                          const std::uint8_t* salt, std::size_t salt_n);

}  // namespace qv
