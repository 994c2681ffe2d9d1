#include "ring/ring.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace qv {
namespace {

// The synthetic nonce of `siv_nonce` from the prepared pads, in a digest
// context of the call's own.
bool prepared_siv_nonce(const PreparedKey& key, const std::uint8_t* a, std::size_t a_n,
                        const std::uint8_t* b, std::size_t b_n, std::uint8_t* nonce) {
  const DigestCtx work(EVP_MD_CTX_new());
  if (!work) return false;
  return siv_nonce(key.siv_inner.get(), key.siv_outer.get(), work.get(), a, a_n, b, b_n, nonce);
}

// A copy of the keyed `from` in `c`, unless `c` holds one already: the
// prepared state stays untouched. The routines on `c` drop it after a
// failure, so a failed value never leaves state for the next.
bool copy_keyed(PreparedCipher& c, const EVP_CIPHER_CTX* from, const PreparedKey& key) {
  if (c.ctx) return true;
  c.ctx.reset(EVP_CIPHER_CTX_new());
  if (!c.ctx || EVP_CIPHER_CTX_copy(c.ctx.get(), from) != 1) {
    c.ctx.reset();
    return false;
  }
  // Tells the prepared routines that the context is keyed with this key, so
  // that each value sets only its nonce.
  c.key = key.key.data();
  return true;
}

// The key's working copy of a context and its associated-data buffer while
// this call holds them, or ones of the call's own when another call does.
class Work {
 public:
  Work(const PreparedKey& key, PreparedCipher& shared)
      : hold_(key.work_lock, std::try_to_lock),
        cipher_(hold_.owns_lock() ? shared : own_cipher_),
        ad_(hold_.owns_lock() ? key.work_ad : own_ad_) {}
  PreparedCipher& cipher() { return cipher_; }
  Bytes& ad() { return ad_; }

 private:
  std::unique_lock<std::mutex> hold_;
  PreparedCipher own_cipher_;
  Bytes own_ad_;
  PreparedCipher& cipher_;
  Bytes& ad_;
};

}  // namespace

std::shared_ptr<const PreparedKey> prepare_key(BytesView key) {
  auto p = std::make_shared<PreparedKey>();
  p->key = checked_key(key);
  // Any nonce: each value sets its own before it is sealed or opened.
  const std::array<std::uint8_t, nonce_size> zero{};
  p->seal.reset(EVP_CIPHER_CTX_new());
  p->open.reset(EVP_CIPHER_CTX_new());
  SivKey siv;
  const bool ok = p->seal && p->open &&
                  EVP_EncryptInit_ex(p->seal.get(), EVP_chacha20_poly1305(), nullptr, p->key.data(),
                                     zero.data()) == 1 &&
                  EVP_DecryptInit_ex(p->open.get(), EVP_chacha20_poly1305(), nullptr, p->key.data(),
                                     zero.data()) == 1 &&
                  prepare_siv(siv, p->key.data());
  if (!ok) throw OperationError("qv: key preparation failed.");
  p->siv_inner = std::move(siv.inner);
  p->siv_outer = std::move(siv.outer);
  return p;
}

void fresh_nonce(std::uint8_t* nonce) {
  // getrandom costs one system call; OpenSSL's generator measured slower here
  // for one nonce (bench/RESULTS.md). Twelve bytes are far below the size
  // the kernel may cut short, but a short read is taken as a failure anyway.
  for (;;) {
    const ssize_t got = getrandom(nonce, nonce_size, 0);
    if (got == static_cast<ssize_t>(nonce_size)) return;
    if (got < 0 && errno == EINTR) continue;
    break;
  }
  fill_random(nonce, nonce_size);
}

void seal_prepared(const PreparedKey& key, std::string_view key_id, bool deterministic,
                   std::string_view metadata_text, std::string_view plaintext, const Aad& aad,
                   char* out) {
  Work work(key, key.seal_work);
  Bytes& ad = work.ad();
  build_aad_into(ad, key_id, metadata_text, deterministic, aad.text,
                 aad.is_map ? &aad.map : nullptr);
  const auto* pt = reinterpret_cast<const std::uint8_t*>(plaintext.data());
  std::array<std::uint8_t, nonce_size> nonce{};
  if (deterministic) {
    if (!prepared_siv_nonce(key, ad.data(), ad.size(), pt, plaintext.size(), nonce.data()))
      throw OperationError("qv: SIV nonce derivation failed.");
  } else {
    fresh_nonce(nonce.data());
  }
  PreparedCipher& cipher = work.cipher();
  if (!copy_keyed(cipher, key.seal.get(), key) ||
      !seal_token(cipher, pt, plaintext.size(), key.key.data(), ad.data(), ad.size(), nonce.data(),
                  key_id, deterministic, metadata_text, out))
    throw OperationError("qv: encryption failed.");
}

bool decode_for_open(std::string_view token, DecodedToken& out) {
  return decode_token_body(token, out.token, out.body, out.ciphertext_at);
}

std::string_view open_prepared(const PreparedKey& key, DecodedToken& t, const Aad& aad) {
  const TokenData& td = t.token;
  // The tag binds the parsed map, not the token's metadata bytes.
  const std::string metadata_text = serialize_sorted_json(td.metadata);
  Work work(key, key.open_work);
  Bytes& ad = work.ad();
  build_aad_into(ad, td.key_id, metadata_text, td.deterministic, aad.text,
                 aad.is_map ? &aad.map : nullptr);
  std::uint8_t* data = t.body.data() + t.ciphertext_at;
  const std::size_t n = t.body.size() - t.ciphertext_at;
  PreparedCipher& cipher = work.cipher();
  if (!copy_keyed(cipher, key.open.get(), key) ||
      !do_decrypt_in_place(cipher, data, n, key.key.data(), ad.data(), ad.size(), td.nonce.data(),
                           td.tag.data())) {
    // Unauthenticated bytes derived from the key: never left readable.
    cleanse(data, n);
    throw OperationError("qv: decryption failed.");
  }
  return std::string_view(reinterpret_cast<const char*>(data), n);
}

}  // namespace qv
