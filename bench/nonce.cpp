// The two sources a key ring's random-mode nonce may come from, timed without
// Python for one 12-byte nonce: OpenSSL's generator and the kernel's
// getrandom. bench/ring.py builds and runs this; the ring uses the faster.
#include <openssl/rand.h>
#include <sys/random.h>

#include <chrono>
#include <cstdio>

namespace {

template <class F>
double best_ns(F f, int n = 100000) {
  double best = 1e18;
  for (int r = 0; r < 7; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) f();
    const double t =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / n;
    if (t < best) best = t;
  }
  return best;
}

}  // namespace

int main() {
  unsigned char nonce[12];
  // Alternated, so that a busy moment of the machine weighs on both alike.
  double rand_bytes = 1e18, kernel = 1e18;
  for (int round = 0; round < 3; ++round) {
    const double a = best_ns([&] { RAND_bytes(nonce, sizeof nonce); });
    const double b = best_ns([&] { (void)getrandom(nonce, sizeof nonce, 0); });
    if (a < rand_bytes) rand_bytes = a;
    if (b < kernel) kernel = b;
  }
  std::printf("RAND_bytes, 12 bytes|%.0f\n", rand_bytes);
  std::printf("getrandom, 12 bytes|%.0f\n", kernel);
  return 0;
}
