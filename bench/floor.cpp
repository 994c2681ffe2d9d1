// Per-call costs inside OpenSSL that every small qv call pays, timed without
// Python: the random nonce, and the cipher set-up from a fresh context (what
// qv does on every call, since it keeps nothing between calls) against a
// copy of a context keyed once (what a library that keeps a keyed object
// does). bench.py builds and runs this and puts the figures in RESULTS.md.
#include <openssl/evp.h>
#include <openssl/rand.h>

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
  unsigned char key[32] = {1}, nonce[12] = {2}, pt[64] = {3}, ct[64], tag[16], ad[16] = {4};
  int len = 0;
  const auto seal = [&](EVP_CIPHER_CTX* c) {
    EVP_EncryptUpdate(c, nullptr, &len, ad, sizeof ad);
    EVP_EncryptUpdate(c, ct, &len, pt, sizeof pt);
    EVP_EncryptFinal_ex(c, ct, &len);
    EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_AEAD_GET_TAG, 16, tag);
  };
  const double rnd = best_ns([&] { RAND_bytes(nonce, sizeof nonce); });
  const double fetch = best_ns([&] {
    EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
    EVP_CIPHER_free(c);
  });
  const double fresh = best_ns([&] {
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(c, EVP_chacha20_poly1305(), nullptr, key, nonce);
    seal(c);
    EVP_CIPHER_CTX_free(c);
  });
  EVP_CIPHER_CTX* keyed = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(keyed, EVP_chacha20_poly1305(), nullptr, key, nullptr);
  const double copied = best_ns([&] {
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX_copy(c, keyed);
    EVP_EncryptInit_ex(c, nullptr, nullptr, nullptr, nonce);
    seal(c);
    EVP_CIPHER_CTX_free(c);
  });
  EVP_CIPHER_CTX_free(keyed);
  std::printf("RAND_bytes, 12 bytes|%.0f\n", rnd);
  std::printf("EVP_CIPHER_fetch + free of ChaCha20-Poly1305|%.0f\n", fetch);
  std::printf("seal 64 B from a fresh context (qv's way)|%.0f\n", fresh);
  std::printf("seal 64 B from a copy of a context keyed once (kept across calls)|%.0f\n", copied);
  return 0;
}
