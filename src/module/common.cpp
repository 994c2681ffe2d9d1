#include "module/common.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace qv {

void cleanse(void* p, std::size_t n) noexcept {
  if (n == 0) return;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 25))
  // glibc's explicit_bzero is its memset behind a barrier the compiler may
  // not remove: the same guarantee as OPENSSL_cleanse, whose byte-and-word
  // loop is several times slower on the megabyte buffers of large tokens.
  explicit_bzero(p, n);
#else
  OPENSSL_cleanse(p, n);
#endif
}

void fill_random(std::uint8_t* out, std::size_t n) {
  // Every draw in the library is at most 32 bytes, far below RAND_bytes' int.
  if (n > static_cast<std::size_t>(INT_MAX) || RAND_bytes(out, static_cast<int>(n)) != 1) {
    cleanse(out, n);
    throw std::runtime_error("qv: random generator failed.");
  }
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
