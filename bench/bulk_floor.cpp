// The C++ floor under the bulk calls: what sealing or opening one 64-byte
// value as a qv.v2 token costs with everything kept that a batch may keep (a
// cipher context keyed once, the HMAC states of deterministic mode prepared
// once, one generator draw for all nonces, the output preallocated), and
// nothing else: no Python, no per-row bookkeeping. The token text uses the
// library's own body layout and base64url codec, so the floor and the bulk
// calls do the same work. Also times the ways OpenSSL 3.0 offers to restart
// a keyed context, for bench/NOTES.md.
//
//   c++ -O2 -std=c++17 -Isrc -Iinclude bench/bulk_floor.cpp
//       build/<tag>/libqv.a -lcrypto -o /tmp/bulk_floor && /tmp/bulk_floor [values]
//
// Under `valgrind --tool=callgrind` give one case name as a second argument
// to count its instructions alone. With -DQV_WITH_SODIUM -lsodium it also
// times libsodium's ChaCha20-Poly1305 (a measurement; qv does not use it).
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef QV_WITH_SODIUM
#include <sodium.h>
#endif

#include "aad/aad.h"
#include "token/token.h"

namespace {

constexpr std::size_t value_size = 64;
const std::string key_id = "bench-key";

struct Ctx {
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  ~Ctx() { EVP_CIPHER_CTX_free(c); }
};

template <class F>
double best_ns(std::size_t n, int rounds, F f) {
  double best = 1e18;
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const double t =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() /
        static_cast<double>(n);
    if (t < best) best = t;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  const std::string only = argc > 2 ? argv[2] : "";
  const int rounds = only.empty() ? 7 : 1;
  std::uint8_t key[32] = {1};
  std::vector<std::uint8_t> pt(value_size, 'a');
  qv::Bytes ad;
  qv::build_aad_into(ad, key_id, "", false, "", nullptr);
  qv::Bytes ad_det;
  qv::build_aad_into(ad_det, key_id, "", true, "", nullptr);
  const std::size_t header = qv::body_fixed_size + key_id.size();
  const std::size_t text = qv::token_text_size(key_id.size(), 0, value_size);
  std::vector<char> out(n * text);
  std::vector<std::uint8_t> nonces(n * 12);
  std::vector<std::uint8_t> opened(n * value_size);

  Ctx seal_ctx;
  EVP_EncryptInit_ex(seal_ctx.c, EVP_chacha20_poly1305(), nullptr, key, nullptr);
  Ctx open_ctx;
  EVP_DecryptInit_ex(open_ctx.c, EVP_chacha20_poly1305(), nullptr, key, nullptr);
  qv::SivKey siv;
  qv::prepare_siv(siv, key);

  // One value: restart the keyed context with the row's nonce, seal, write
  // the head and encode the body.
  auto seal_one = [&](std::size_t i, const std::uint8_t* nonce, const qv::Bytes& a,
                      bool deterministic) {
    std::array<std::uint8_t, 256> body;
    int len = 0;
    qv::write_body_head(body.data(), key_id, deterministic, "", nonce);
    EVP_EncryptInit_ex(seal_ctx.c, nullptr, nullptr, nullptr, nonce);
    EVP_EncryptUpdate(seal_ctx.c, nullptr, &len, a.data(), static_cast<int>(a.size()));
    EVP_EncryptUpdate(seal_ctx.c, body.data() + header, &len, pt.data(), value_size);
    EVP_EncryptFinal_ex(seal_ctx.c, body.data() + header + value_size, &len);
    EVP_CIPHER_CTX_ctrl(seal_ctx.c, EVP_CTRL_AEAD_GET_TAG, 16, body.data() + 15 + key_id.size());
    char* o = out.data() + i * text;
    std::memcpy(o, "qv.v2.", 6);
    qv::base64url_encode_to(body.data(), header + value_size, o + 6);
  };
  const auto seal_random = [&] {
    RAND_bytes(nonces.data(), static_cast<int>(nonces.size()));
    for (std::size_t i = 0; i < n; ++i) seal_one(i, nonces.data() + i * 12, ad, false);
  };
  const auto seal_det = [&] {
    for (std::size_t i = 0; i < n; ++i) {
      std::uint8_t nonce[12];
      qv::siv_nonce(siv, ad_det.data(), ad_det.size(), pt.data(), value_size, nonce);
      seal_one(i, nonce, ad_det, true);
    }
  };
  // Decode the text, restart the keyed context with the token's nonce, open
  // in place and copy the plaintext out.
  const auto open_all = [&] {
    qv::Bytes body;
    for (std::size_t i = 0; i < n; ++i) {
      const std::string_view tok(out.data() + i * text + 6, text - 6);
      qv::base64url_decode(tok, body);
      std::uint8_t* b = body.data();
      int len = 0;
      EVP_DecryptInit_ex(open_ctx.c, nullptr, nullptr, nullptr, b + 3 + key_id.size());
      EVP_DecryptUpdate(open_ctx.c, nullptr, &len, ad.data(), static_cast<int>(ad.size()));
      EVP_DecryptUpdate(open_ctx.c, b + header, &len, b + header, value_size);
      EVP_CIPHER_CTX_ctrl(open_ctx.c, EVP_CTRL_AEAD_SET_TAG, 16, b + 15 + key_id.size());
      if (EVP_DecryptFinal_ex(open_ctx.c, b + header + value_size, &len) != 1) std::abort();
      std::memcpy(opened.data() + i * value_size, b + header, value_size);
    }
  };

  const auto report = [&](const char* name, auto f) {
    if (!only.empty() && only != name) return;
    std::printf("%s|%.0f\n", name, best_ns(n, rounds, f));
  };
  report("seal", seal_random);
  if (only == "open") seal_random();
  report("open", open_all);
  report("det", seal_det);

  // The seal alone (64 B, the same associated data), by way of restarting:
  // the usual EVP calls on a context keyed once; the tag read through
  // EVP_CIPHER_CTX_get_params instead of the ctrl that wraps it; a copy of a
  // keyed context per value; a fresh context keyed per value.
  std::uint8_t ct[value_size + 16];
  std::uint8_t tag[16];
  const auto bare = [&](EVP_CIPHER_CTX* c, bool ctrl_tag) {
    int len = 0;
    EVP_EncryptUpdate(c, nullptr, &len, ad.data(), static_cast<int>(ad.size()));
    EVP_EncryptUpdate(c, ct, &len, pt.data(), value_size);
    EVP_EncryptFinal_ex(c, ct + value_size, &len);
    if (ctrl_tag) {
      EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_AEAD_GET_TAG, 16, tag);
    } else {
      OSSL_PARAM params[] = {
          OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, tag, sizeof tag),
          OSSL_PARAM_construct_end()};
      EVP_CIPHER_CTX_get_params(c, params);
    }
  };
  report("bare seal, keyed once, nonce by EVP_EncryptInit_ex", [&] {
    for (std::size_t i = 0; i < n; ++i) {
      EVP_EncryptInit_ex(seal_ctx.c, nullptr, nullptr, nullptr, nonces.data() + i * 12);
      bare(seal_ctx.c, true);
    }
  });
  report("bare seal, keyed once, tag by EVP_CIPHER_CTX_get_params", [&] {
    for (std::size_t i = 0; i < n; ++i) {
      EVP_EncryptInit_ex(seal_ctx.c, nullptr, nullptr, nullptr, nonces.data() + i * 12);
      bare(seal_ctx.c, false);
    }
  });
  report("bare seal, EVP_CIPHER_CTX_copy of a keyed context", [&] {
    Ctx work;
    for (std::size_t i = 0; i < n; ++i) {
      EVP_CIPHER_CTX_copy(work.c, seal_ctx.c);
      EVP_EncryptInit_ex(work.c, nullptr, nullptr, nullptr, nonces.data() + i * 12);
      bare(work.c, true);
    }
  });
  report("bare seal, fresh context keyed per value", [&] {
    for (std::size_t i = 0; i < n; ++i) {
      Ctx fresh;
      EVP_EncryptInit_ex(fresh.c, EVP_chacha20_poly1305(), nullptr, key, nonces.data() + i * 12);
      bare(fresh.c, true);
    }
  });
  report("bare seal, explicitly fetched cipher, keyed once", [&] {
    EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
    Ctx work;
    EVP_EncryptInit_ex(work.c, fetched, nullptr, key, nullptr);
    for (std::size_t i = 0; i < n; ++i) {
      EVP_EncryptInit_ex(work.c, nullptr, nullptr, nullptr, nonces.data() + i * 12);
      bare(work.c, true);
    }
    EVP_CIPHER_free(fetched);
  });
#ifdef QV_WITH_SODIUM
  // libsodium's IETF ChaCha20-Poly1305, as a measurement only: the same
  // bytes as OpenSSL's (checked here once).
  if (sodium_init() < 0) return 1;
  {
    std::uint8_t a[value_size + 16];
    unsigned long long alen = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt_detached(a, a + value_size, &alen, pt.data(),
                                                       value_size, ad.data(), ad.size(), nullptr,
                                                       nonces.data(), key);
    EVP_EncryptInit_ex(seal_ctx.c, nullptr, nullptr, nullptr, nonces.data());
    bare(seal_ctx.c, true);
    if (std::memcmp(a, ct, value_size) != 0 || std::memcmp(a + value_size, tag, 16) != 0)
      std::abort();
  }
  report("bare seal, libsodium", [&] {
    unsigned long long alen = 0;
    for (std::size_t i = 0; i < n; ++i)
      crypto_aead_chacha20poly1305_ietf_encrypt_detached(ct, tag, &alen, pt.data(), value_size,
                                                         ad.data(), ad.size(), nullptr,
                                                         nonces.data() + i * 12, key);
  });
  report("bare open, libsodium", [&] {
    for (std::size_t i = 0; i < n; ++i)
      if (crypto_aead_chacha20poly1305_ietf_decrypt_detached(
              opened.data(), nullptr, ct, value_size, tag, ad.data(), ad.size(),
              nonces.data() + (n - 1) * 12, key) != 0)
        std::abort();
  });
#endif
  return 0;
}
