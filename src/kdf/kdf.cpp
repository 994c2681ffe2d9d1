#include "kdf/kdf.h"

#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <climits>
#include <memory>
#include <stdexcept>

namespace qv {
namespace {

using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

}  // namespace

bool parse_salt_hex(std::string_view salt_hex, SecretBytes& out) {
  out.clear();
  if (salt_hex.size() % 2 != 0) return false;
  out.reserve(salt_hex.size() / 2);
  for (std::size_t i = 0; i < salt_hex.size(); i += 2) {
    const int hi = hex_digit(static_cast<unsigned char>(salt_hex[i]));
    const int lo = hex_digit(static_cast<unsigned char>(salt_hex[i + 1]));
    if (hi < 0 || lo < 0) {
      out.clear();
      return false;
    }
    out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return true;
}

DerivedKey derive_key_from_password(std::string_view password, std::string_view salt_hex,
                                    std::uint64_t N, std::uint32_t r, std::uint32_t p) {
  if (password.empty()) throw ArgumentError("qv: password must be a non-empty string.");
  if (N < scrypt_min_n || (N & (N - 1)) != 0)
    throw ArgumentError("qv: scrypt N must be a power of 2 and at least 2^14.");

  SecretBytes salt;
  if (salt_hex.empty()) {
    salt.resize(random_salt_size);
    fill_random(salt.data(), salt.size());
  } else if (!parse_salt_hex(salt_hex, salt)) {
    throw ArgumentError("qv: salt_hex must be an even-length hexadecimal string.");
  }

  DerivedKey result;
  result.key.assign(derived_key_size, 0);
  if (EVP_PBE_scrypt(password.data(), password.size(), salt.data(), salt.size(), N, r, p,
                     scrypt_max_mem, result.key.data(), result.key.size()) != 1)
    throw OperationError("qv: scrypt derivation failed.");
  result.salt_hex = hex_lower(salt.data(), salt.size());
  return result;
}

void check_master_key(BytesView master_key) {
  if (master_key.size() != key_size) throw ArgumentError("qv: master key must be 32 bytes.");
}

SecretBytes derive_subkey(BytesView master_key, std::string_view context, BytesView salt) {
  check_master_key(master_key);
  return derive_subkey(master_key.data(), context, salt.data(), salt.size());
}

SecretBytes derive_subkey(const std::uint8_t* master_key, std::string_view context,
                          const std::uint8_t* salt, std::size_t salt_n) {
  if (context.empty()) throw ArgumentError("qv: context must be a non-empty string.");

  // RFC 5869: an absent salt is a string of hash-length zeros.
  SecretBytes salt_bytes;
  if (salt != nullptr && salt_n > static_cast<std::size_t>(INT_MAX)) {
    // OpenSSL takes the salt length as an int. The salt is the HMAC key of the
    // extract step, and HMAC replaces a key longer than its block by the key's
    // hash, so hashing it here gives the same subkey for any salt length.
    salt_bytes.assign(32, 0);
    unsigned int digest_len = 0;
    if (EVP_Digest(salt, salt_n, salt_bytes.data(), &digest_len, EVP_sha256(), nullptr) != 1)
      throw OperationError("qv: HKDF derivation failed.");
  } else if (salt != nullptr && salt_n != 0) {
    salt_bytes.assign(salt, salt + salt_n);
  } else {
    salt_bytes.assign(32, 0);
  }
  std::string info = "qv.v2:";
  info.append(context);
  // Never hand OpenSSL a length that does not fit its int.
  if (info.size() > static_cast<std::size_t>(INT_MAX))
    throw OperationError("qv: HKDF derivation failed.");
  SecretBytes out(derived_key_size, 0);

  PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr), &EVP_PKEY_CTX_free);
  if (!ctx) throw OperationError("qv: HKDF init failed.");
  std::size_t out_len = out.size();
  if (EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256()) != 1 ||
      EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), master_key, 32) != 1 ||
      EVP_PKEY_CTX_set1_hkdf_salt(ctx.get(), salt_bytes.data(),
                                  static_cast<int>(salt_bytes.size())) != 1 ||
      EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), reinterpret_cast<const unsigned char*>(info.data()),
                                  static_cast<int>(info.size())) != 1 ||
      EVP_PKEY_derive(ctx.get(), out.data(), &out_len) != 1 || out_len != out.size())
    throw OperationError("qv: HKDF derivation failed.");
  return out;
}

}  // namespace qv
