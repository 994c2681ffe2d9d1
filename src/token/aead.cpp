#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "token/token.h"

namespace qv {
namespace {

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;
using Mac = std::unique_ptr<EVP_MAC, decltype(&EVP_MAC_free)>;
using MacCtx = std::unique_ptr<EVP_MAC_CTX, decltype(&EVP_MAC_CTX_free)>;

using UpdateFn = int (*)(EVP_CIPHER_CTX*, unsigned char*, int*, const unsigned char*, int);

// Runs `update` over `n` bytes in pieces of at most `piece` bytes, because
// OpenSSL takes lengths as int. ChaCha20-Poly1305 is a stream: the pieces give
// exactly the bytes and tag of one call. A null `out` feeds associated data.
bool update_in_pieces(UpdateFn update, EVP_CIPHER_CTX* ctx, const std::uint8_t* in, std::size_t n,
                      std::uint8_t* out, std::size_t piece) {
  piece = std::clamp<std::size_t>(piece, 1, std::numeric_limits<int>::max());
  do {
    const std::size_t step = std::min(n, piece);
    int written = 0;
    if (update(ctx, out, &written, in, static_cast<int>(step)) != 1) return false;
    if (out != nullptr) {
      if (static_cast<std::size_t>(written) != step) return false;
      out += step;
    }
    in += step;
    n -= step;
  } while (n > 0);
  return true;
}

using InitFn = int (*)(EVP_CIPHER_CTX*, const EVP_CIPHER*, ENGINE*, const unsigned char*,
                       const unsigned char*);

// Sets up ChaCha20-Poly1305 with `key` and the 12-byte `nonce` in one call.
// Twelve bytes is the cipher's own nonce length, so no length needs setting,
// and one call fetches the implementation and schedules the key once: the
// same key stream and tag as a separate cipher, length and key step, at
// about half the set-up cost.
bool init_cipher(InitFn init, EVP_CIPHER_CTX* ctx, const std::uint8_t* key,
                 const std::uint8_t* nonce) {
  static_assert(nonce_size == 12, "ChaCha20-Poly1305's default nonce length");
  return init(ctx, EVP_chacha20_poly1305(), nullptr, key, nonce) == 1;
}

// Sets up the cipher and feeds the associated data, if any, before the text.
bool start_cipher(InitFn init, UpdateFn update, EVP_CIPHER_CTX* ctx, const std::uint8_t* key,
                  const std::uint8_t* nonce, const std::uint8_t* aad, std::size_t aad_n,
                  std::size_t piece) {
  if (!init_cipher(init, ctx, key, nonce)) return false;
  return aad_n == 0 || update_in_pieces(update, ctx, aad, aad_n, nullptr, piece);
}

// Starts one value on `c`: fetches and keys the cipher on first use, schedules
// the key again only when it changed, and otherwise sets just the nonce.
bool start_prepared(InitFn init, UpdateFn update, PreparedCipher& c, const std::uint8_t* key,
                    const std::uint8_t* nonce, const std::uint8_t* aad, std::size_t aad_n,
                    std::size_t piece) {
  if (!c.ctx) {
    c.ctx.reset(EVP_CIPHER_CTX_new());
    if (!c.ctx) return false;
    if (!init_cipher(init, c.ctx.get(), key, nonce)) return false;
  } else if (init(c.ctx.get(), nullptr, nullptr, c.key == key ? nullptr : key, nonce) != 1) {
    return false;
  }
  c.key = key;
  return aad_n == 0 || update_in_pieces(update, c.ctx.get(), aad, aad_n, nullptr, piece);
}

// Forgets a context whose last value failed, so that no half-finished state
// carries over to the next one.
bool drop(PreparedCipher& c) {
  c.ctx.reset();
  c.key = nullptr;
  return false;
}

bool open_in_place(PreparedCipher& c, std::uint8_t* data, std::size_t n, const std::uint8_t* key,
                   const std::uint8_t* aad, std::size_t aad_n, const std::uint8_t* nonce,
                   const std::uint8_t* tag, std::size_t piece) {
  if (!start_prepared(EVP_DecryptInit_ex, EVP_DecryptUpdate, c, key, nonce, aad, aad_n, piece))
    return drop(c);
  EVP_CIPHER_CTX* ctx = c.ctx.get();
  // A stream cipher may write each byte over the one it reads.
  if (!update_in_pieces(EVP_DecryptUpdate, ctx, data, n, data, piece)) return drop(c);
  // SET_TAG takes a non-const pointer but only reads the tag.
  if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, tag_size, const_cast<std::uint8_t*>(tag)) !=
      1)
    return drop(c);
  int final_len = 0;
  if (EVP_DecryptFinal_ex(ctx, data + n, &final_len) != 1 || final_len != 0) return drop(c);
  return true;
}

// Zeroes a fixed buffer that held secret-derived bytes when the scope ends.
struct CleanseOnExit {
  void* p;
  std::size_t n;
  ~CleanseOnExit() { cleanse(p, n); }
};

void put_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

bool do_encrypt(const std::uint8_t* plaintext, std::size_t n, const std::uint8_t* key,
                const std::uint8_t* aad, std::size_t aad_n, const std::uint8_t* nonce,
                EncryptResult& out, std::size_t piece) {
  CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  if (!ctx) return false;
  out.nonce.assign(nonce, nonce + nonce_size);
  out.ciphertext.resize(n);
  out.tag.assign(tag_size, 0);

  if (!start_cipher(EVP_EncryptInit_ex, EVP_EncryptUpdate, ctx.get(), key, nonce, aad, aad_n,
                    piece))
    return false;
  // Called even for an empty plaintext, as the single-call path would.
  if (!update_in_pieces(EVP_EncryptUpdate, ctx.get(), plaintext, n, out.ciphertext.data(), piece))
    return false;
  int final_len = 0;
  if (EVP_EncryptFinal_ex(ctx.get(), out.ciphertext.data() + n, &final_len) != 1) return false;
  if (final_len != 0) return false;
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, tag_size, out.tag.data()) != 1)
    return false;
  return true;
}

bool do_decrypt(const std::uint8_t* ciphertext, std::size_t n, const std::uint8_t* key,
                const std::uint8_t* aad, std::size_t aad_n, const std::uint8_t* nonce,
                const std::uint8_t* tag, SecretBytes& plaintext, std::size_t piece) {
  plaintext.assign(ciphertext, ciphertext + n);
  const bool ok = do_decrypt_in_place(plaintext.data(), n, key, aad, aad_n, nonce, tag, piece);
  // Unauthenticated plaintext never leaves this function.
  if (!ok) plaintext.clear();
  return ok;
}

bool do_decrypt_in_place(std::uint8_t* data, std::size_t n, const std::uint8_t* key,
                         const std::uint8_t* aad, std::size_t aad_n, const std::uint8_t* nonce,
                         const std::uint8_t* tag, std::size_t piece) {
  PreparedCipher fresh;
  return open_in_place(fresh, data, n, key, aad, aad_n, nonce, tag, piece);
}

bool do_decrypt_in_place(PreparedCipher& cipher, std::uint8_t* data, std::size_t n,
                         const std::uint8_t* key, const std::uint8_t* aad, std::size_t aad_n,
                         const std::uint8_t* nonce, const std::uint8_t* tag) {
  return open_in_place(cipher, data, n, key, aad, aad_n, nonce, tag, max_update_piece);
}

std::size_t token_text_size(std::size_t key_id_size, std::size_t metadata_size, std::size_t n) {
  return token_prefix.size() + base64url_size(body_fixed_size + key_id_size + metadata_size + n);
}

namespace {

bool seal_with(PreparedCipher& c, const std::uint8_t* plaintext, std::size_t n,
               const std::uint8_t* key, const std::uint8_t* aad, std::size_t aad_n,
               const std::uint8_t* nonce, std::string_view key_id, bool deterministic,
               std::string_view metadata_text, char* out, std::size_t piece) {
  const std::size_t L = key_id.size();
  const std::size_t M = metadata_text.size();
  const std::size_t header = body_fixed_size + L + M;
  // A small body is sealed whole on the stack and encoded in one pass: one
  // cipher update and one encoder call, which is what sealing many short
  // values spends its time on besides the cipher.
  constexpr std::size_t small_body = 2048;
  if (header + n <= small_body && n <= piece) {
    std::array<std::uint8_t, small_body> body;
    std::uint8_t* b = body.data();
    write_body_head(b, key_id, deterministic, metadata_text, nonce);
    if (!start_prepared(EVP_EncryptInit_ex, EVP_EncryptUpdate, c, key, nonce, aad, aad_n,
                        max_update_piece))
      return drop(c);
    EVP_CIPHER_CTX* ctx = c.ctx.get();
    if (n != 0 && !update_in_pieces(EVP_EncryptUpdate, ctx, plaintext, n, b + header, n))
      return drop(c);
    int final_len = 0;
    if (EVP_EncryptFinal_ex(ctx, b + header + n, &final_len) != 1 || final_len != 0) return drop(c);
    if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, tag_size, b + 15 + L) != 1) return drop(c);
    std::memcpy(out, token_prefix.data(), token_prefix.size());
    base64url_encode_to(b, header + n, out + token_prefix.size());
    return true;
  }
  // The head holds the body up to the ciphertext plus the one or two
  // ciphertext bytes that fill its last base64 group, so that the rest of the
  // ciphertext starts on a group boundary and encodes piece by piece.
  const std::size_t lead = std::min(n, (3 - header % 3) % 3);
  // Room for the largest head (255-byte key id, 65535 bytes of metadata) on
  // the stack would be too much; most heads are small.
  std::array<std::uint8_t, 512> small;
  Bytes large;
  std::uint8_t* b = small.data();
  if (header + lead > small.size()) {
    large.resize(header + lead);
    b = large.data();
  }
  write_body_head(b, key_id, deterministic, metadata_text, nonce);

  if (!start_prepared(EVP_EncryptInit_ex, EVP_EncryptUpdate, c, key, nonce, aad, aad_n,
                      max_update_piece))
    return drop(c);
  EVP_CIPHER_CTX* ctx = c.ctx.get();
  if (lead != 0 && !update_in_pieces(EVP_EncryptUpdate, ctx, plaintext, lead, b + header, lead))
    return drop(c);

  // Whole groups per piece, so each piece's text follows the last one's.
  piece = std::clamp<std::size_t>(piece / 3 * 3, 3, max_seal_piece);
  std::array<std::uint8_t, max_seal_piece> buf;
  char* text = out + token_prefix.size() + base64url_size(header + lead);
  for (std::size_t done = lead; done < n;) {
    const std::size_t step = std::min(piece, n - done);
    if (!update_in_pieces(EVP_EncryptUpdate, ctx, plaintext + done, step, buf.data(), step))
      return drop(c);
    text = base64url_encode_to(buf.data(), step, text);
    done += step;
  }
  int final_len = 0;
  if (EVP_EncryptFinal_ex(ctx, buf.data(), &final_len) != 1 || final_len != 0) return drop(c);
  if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, tag_size, b + 15 + L) != 1) return drop(c);
  std::memcpy(out, token_prefix.data(), token_prefix.size());
  base64url_encode_to(b, header + lead, out + token_prefix.size());
  return true;
}

}  // namespace

bool seal_token(const std::uint8_t* plaintext, std::size_t n, const std::uint8_t* key,
                const std::uint8_t* aad, std::size_t aad_n, const std::uint8_t* nonce,
                std::string_view key_id, bool deterministic, std::string_view metadata_text,
                char* out, std::size_t piece) {
  PreparedCipher fresh;
  return seal_with(fresh, plaintext, n, key, aad, aad_n, nonce, key_id, deterministic,
                   metadata_text, out, piece);
}

bool seal_token(PreparedCipher& cipher, const std::uint8_t* plaintext, std::size_t n,
                const std::uint8_t* key, const std::uint8_t* aad, std::size_t aad_n,
                const std::uint8_t* nonce, std::string_view key_id, bool deterministic,
                std::string_view metadata_text, char* out) {
  return seal_with(cipher, plaintext, n, key, aad, aad_n, nonce, key_id, deterministic,
                   metadata_text, out, max_seal_piece);
}

Bytes siv_nonce(const std::uint8_t* key, const std::uint8_t* a, std::size_t a_n,
                const std::uint8_t* b, std::size_t b_n) {
  constexpr std::string_view label = "qv.v2:siv-nonce";
  // Each part is framed by a 32-bit length; a longer part cannot be framed
  // without ambiguity, so it gets no nonce at all.
  constexpr std::size_t max_part = std::numeric_limits<std::uint32_t>::max();
  if (a_n > max_part || b_n > max_part) return {};

  MacCtx ctx(nullptr, &EVP_MAC_CTX_free);
  {
    Mac mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr), &EVP_MAC_free);
    if (!mac) return {};
    ctx.reset(EVP_MAC_CTX_new(mac.get()));
  }
  if (!ctx) return {};
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end(),
  };
  if (EVP_MAC_init(ctx.get(), key, key_size, params) != 1) return {};

  std::uint8_t frame[5] = {0, 0, 0, 0, 0};
  if (EVP_MAC_update(ctx.get(), reinterpret_cast<const unsigned char*>(label.data()),
                     label.size()) != 1)
    return {};
  put_be32(frame + 1, static_cast<std::uint32_t>(a_n));
  if (EVP_MAC_update(ctx.get(), frame, sizeof frame) != 1) return {};
  if (a_n != 0 && EVP_MAC_update(ctx.get(), a, a_n) != 1) return {};
  put_be32(frame + 1, static_cast<std::uint32_t>(b_n));
  if (EVP_MAC_update(ctx.get(), frame, sizeof frame) != 1) return {};
  if (b_n != 0 && EVP_MAC_update(ctx.get(), b, b_n) != 1) return {};

  // The full MAC is derived from the key and the plaintext: keep it in a
  // cleansed buffer and hand out only the nonce.
  SecretBytes mac_out(32, 0);
  std::size_t mac_len = 0;
  if (EVP_MAC_final(ctx.get(), mac_out.data(), &mac_len, mac_out.size()) != 1) return {};
  if (mac_len < nonce_size) return {};
  return Bytes(mac_out.begin(), mac_out.begin() + nonce_size);
}

void CipherCtxFree::operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }

void DigestCtxFree::operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }

bool prepare_siv(SivKey& siv, const std::uint8_t* key) {
  // HMAC with a key shorter than SHA-256's 64-byte block: the key padded with
  // zeros to a block, XORed with 0x36 for the inner hash and 0x5c for the
  // outer one.
  constexpr std::size_t block = 64;
  static_assert(key_size <= block, "the key is used as it is, not hashed first");
  SecretBytes ipad(block, 0x36);
  SecretBytes opad(block, 0x5c);
  for (std::size_t i = 0; i < key_size; ++i) {
    ipad[i] ^= key[i];
    opad[i] ^= key[i];
  }
  siv.inner.reset(EVP_MD_CTX_new());
  siv.outer.reset(EVP_MD_CTX_new());
  siv.work.reset(EVP_MD_CTX_new());
  if (!siv.inner || !siv.outer || !siv.work) return false;
  if (EVP_DigestInit_ex(siv.inner.get(), EVP_sha256(), nullptr) != 1) return false;
  if (EVP_DigestUpdate(siv.inner.get(), ipad.data(), block) != 1) return false;
  if (EVP_DigestInit_ex(siv.outer.get(), EVP_sha256(), nullptr) != 1) return false;
  if (EVP_DigestUpdate(siv.outer.get(), opad.data(), block) != 1) return false;
  return true;
}

bool siv_nonce(const EVP_MD_CTX* inner_pad, const EVP_MD_CTX* outer_pad, EVP_MD_CTX* w,
               const std::uint8_t* a, std::size_t a_n, const std::uint8_t* b, std::size_t b_n,
               std::uint8_t* nonce) {
  constexpr std::string_view label = "qv.v2:siv-nonce";
  constexpr std::size_t max_part = std::numeric_limits<std::uint32_t>::max();
  if (a_n > max_part || b_n > max_part) return false;
  // The inner hash ends in a digest of the key and the plaintext: cleansed.
  std::array<std::uint8_t, 32> inner{};
  const CleanseOnExit cleanse_inner{inner.data(), inner.size()};
  std::uint8_t frame[5] = {0, 0, 0, 0, 0};
  if (EVP_MD_CTX_copy_ex(w, inner_pad) != 1) return false;
  if (EVP_DigestUpdate(w, label.data(), label.size()) != 1) return false;
  put_be32(frame + 1, static_cast<std::uint32_t>(a_n));
  if (EVP_DigestUpdate(w, frame, sizeof frame) != 1) return false;
  if (a_n != 0 && EVP_DigestUpdate(w, a, a_n) != 1) return false;
  put_be32(frame + 1, static_cast<std::uint32_t>(b_n));
  if (EVP_DigestUpdate(w, frame, sizeof frame) != 1) return false;
  if (b_n != 0 && EVP_DigestUpdate(w, b, b_n) != 1) return false;
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(w, inner.data(), &len) != 1 || len != inner.size()) return false;
  if (EVP_MD_CTX_copy_ex(w, outer_pad) != 1) return false;
  if (EVP_DigestUpdate(w, inner.data(), inner.size()) != 1) return false;
  // The full MAC is derived from the key and the plaintext; only the nonce leaves.
  std::array<std::uint8_t, 32> mac{};
  const CleanseOnExit cleanse_mac{mac.data(), mac.size()};
  if (EVP_DigestFinal_ex(w, mac.data(), &len) != 1 || len != mac.size()) return false;
  std::memcpy(nonce, mac.data(), nonce_size);
  return true;
}

bool siv_nonce(SivKey& siv, const std::uint8_t* a, std::size_t a_n, const std::uint8_t* b,
               std::size_t b_n, std::uint8_t* nonce) {
  return siv_nonce(siv.inner.get(), siv.outer.get(), siv.work.get(), a, a_n, b, b_n, nonce);
}

}  // namespace qv
