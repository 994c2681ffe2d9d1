// Blind index values over many values (<qv/blind.h>). src/blind may use
// OpenSSL and <qv/...>; never Python.
// SHA-256's own state (deprecated in OpenSSL 3, still built) is a plain
// struct: copying the keyed state is a memcpy, where the EVP interface
// allocates a context for every copy. Per value that is most of the cost.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <qv/blind.h>

#include <array>
#include <cstring>

namespace qv {
namespace {

// HMAC-SHA256 states fed with the key's pad blocks, and the working copies:
// all of them derive from the key, so all are cleansed on the way out.
struct Keyed {
  SHA256_CTX inner;
  SHA256_CTX outer;
  SHA256_CTX work;
  std::array<std::uint8_t, 32> digest{};
  std::array<std::uint8_t, 32> mac{};
  Keyed() = default;
  Keyed(const Keyed&) = delete;
  Keyed& operator=(const Keyed&) = delete;
  ~Keyed() { OPENSSL_cleanse(this, sizeof *this); }
};

bool prepare(Keyed& k, const std::uint8_t* key) {
  // A 32-byte key is shorter than SHA-256's 64-byte block: padded with zeros,
  // XORed with 0x36 for the inner hash and 0x5c for the outer one.
  std::array<std::uint8_t, 64> ipad{};
  std::array<std::uint8_t, 64> opad{};
  ipad.fill(0x36);
  opad.fill(0x5c);
  for (std::size_t i = 0; i < 32; ++i) {
    ipad[i] ^= key[i];
    opad[i] ^= key[i];
  }
  const bool ok = SHA256_Init(&k.inner) == 1 && SHA256_Update(&k.inner, ipad.data(), 64) == 1 &&
                  SHA256_Init(&k.outer) == 1 && SHA256_Update(&k.outer, opad.data(), 64) == 1;
  OPENSSL_cleanse(ipad.data(), ipad.size());
  OPENSSL_cleanse(opad.data(), opad.size());
  return ok;
}

// Writes the first `bits` bits of `mac` as a number in hex: the whole
// nibbles, then the last partial nibble shifted down to its value.
void write_hex(const std::uint8_t* mac, unsigned bits, char* out) {
  static constexpr char digits[] = "0123456789abcdef";
  const unsigned nibbles = bits / 4;
  const unsigned rest = bits % 4;
  if (rest == 0) {
    for (unsigned i = 0; i < nibbles; ++i) {
      const std::uint8_t byte = mac[i / 2];
      out[i] = digits[(i % 2 == 0) ? byte >> 4 : byte & 15];
    }
    return;
  }
  // The number is the top `bits` bits: shift the bit string right by
  // 4 - rest, so that its last hex digit holds the trailing `rest` bits.
  const unsigned total = nibbles + 1;
  const unsigned shift = 4 - rest;
  for (unsigned i = 0; i < total; ++i) {
    // Digit i covers bits [4 i - shift, 4 i + 4 - shift) of the MAC.
    unsigned value = 0;
    for (unsigned b = 0; b < 4; ++b) {
      const int bit = static_cast<int>(4 * i + b) - static_cast<int>(shift);
      value <<= 1;
      if (bit >= 0) value |= (mac[bit / 8] >> (7 - bit % 8)) & 1u;
    }
    out[i] = digits[value];
  }
}

}  // namespace

bool blind_many(const std::uint8_t* key, unsigned bits, const std::string_view* values,
                const bool* skip, std::size_t n, char* out) {
  if (bits < 1 || bits > 256) return false;
  Keyed k;
  if (!prepare(k, key)) return false;
  const std::size_t width = blind_hex_size(bits);
  for (std::size_t i = 0; i < n; ++i) {
    if (skip != nullptr && skip[i]) continue;
    const std::string_view v = values[i];
    std::memcpy(&k.work, &k.inner, sizeof k.work);
    if (!v.empty() && SHA256_Update(&k.work, v.data(), v.size()) != 1) return false;
    if (SHA256_Final(k.digest.data(), &k.work) != 1) return false;
    std::memcpy(&k.work, &k.outer, sizeof k.work);
    if (SHA256_Update(&k.work, k.digest.data(), k.digest.size()) != 1) return false;
    if (SHA256_Final(k.mac.data(), &k.work) != 1) return false;
    write_hex(k.mac.data(), bits, out + i * width);
  }
  return true;
}

}  // namespace qv
