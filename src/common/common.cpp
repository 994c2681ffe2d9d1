#include "common/common.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdio>
#include <stdexcept>

namespace qv {

void cleanse(void* p, std::size_t n) noexcept {
  if (n != 0) OPENSSL_cleanse(p, n);
}

void fill_random(std::uint8_t* out, std::size_t n) {
  // Every draw in the library is at most 32 bytes, far below RAND_bytes' int.
  if (n > static_cast<std::size_t>(INT_MAX) || RAND_bytes(out, static_cast<int>(n)) != 1) {
    cleanse(out, n);
    throw OperationError("qv: random generator failed.");
  }
}

int hex_digit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string hex_lower(const std::uint8_t* p, std::size_t n) {
  std::string out(n * 2, '\0');
  for (std::size_t i = 0; i < n; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", p[i]);
    out[2 * i] = pair[0];
    out[2 * i + 1] = pair[1];
  }
  return out;
}

}  // namespace qv
