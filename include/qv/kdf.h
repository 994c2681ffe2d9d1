// Deriving keys: from a password with scrypt, and subkeys of a master key
// with HKDF-SHA256. Errors: see <qv/errors.h>.
#pragma once

#include <qv/constants.h>
#include <qv/errors.h>
#include <qv/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

struct DerivedKey {
  SecretBytes key;       // derived_key_size bytes
  std::string salt_hex;  // the salt used, two lower-case hex digits per byte
};

// scrypt(`password`, salt, `N`, `r`, `p`) with a 256 MiB memory bound and a
// 32-byte output. The salt is `salt_hex` decoded (either case), or 32 random
// bytes when `salt_hex` is empty. Checks, in order: empty password ("qv:
// password must be a non-empty string."), `N` below 2^14 or not a power of
// two ("qv: scrypt N must be a power of 2 and at least 2^14."), a `salt_hex`
// that is not an even-length run of hex digits ("qv: salt_hex must be an
// even-length hexadecimal string."): ArgumentError; then the random draw and
// scrypt itself, which refuses `r` or `p` of 0 and more memory than the bound
// ("qv: scrypt derivation failed."): OperationError.
DerivedKey derive_key_from_password(std::string_view password, std::string_view salt_hex = {},
                                    std::uint64_t N = scrypt_default_n,
                                    std::uint32_t r = scrypt_default_r,
                                    std::uint32_t p = scrypt_default_p);

// Throws ArgumentError "qv: master key must be 32 bytes." unless `master_key`
// is `key_size` bytes: the first check of `derive_subkey`.
void check_master_key(BytesView master_key);

// HKDF-SHA256 (extract then expand) of `master_key` with info "qv.v2:" +
// `context` and `salt` (empty means 32 zero bytes). Checks, in order: the
// master key (`check_master_key`), an empty context (ArgumentError "qv:
// context must be a non-empty string."); then OperationError "qv: HKDF init
// failed." or "qv: HKDF derivation failed." if OpenSSL fails. Returns 32
// bytes.
SecretBytes derive_subkey(BytesView master_key, std::string_view context, BytesView salt = {});

}  // namespace qv
