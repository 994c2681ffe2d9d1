// A key ring's keys, each prepared once: the cipher keyed for sealing and for
// opening and the HMAC of deterministic mode with its pads absorbed, so that a
// value costs only its own nonce, cipher pass and token text.
//
// src/ring may use src/token, src/aad, src/common, OpenSSL and <qv/...>; never
// Python. The keyed state of a prepared key never changes after
// `prepare_key` returns: every call starts from a copy of it, so any number of
// threads may use one key at once, and a call that holds a key keeps it
// alive, whatever the ring does meanwhile. Its OpenSSL states and its copy of
// the key are cleansed when the last holder lets go.
#pragma once

#include <qv/token.h>
#include <qv/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "token/token.h"

namespace qv {

struct PreparedKey {
  // The key itself, for the bulk routines, which key one context per worker.
  SecretBytes key;
  // ChaCha20-Poly1305 keyed once with EVP_EncryptInit_ex and once with
  // EVP_DecryptInit_ex; each value copies one and sets only its nonce.
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> seal;
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> open;
  // SHA-256 states fed with the HMAC key's inner and outer pad blocks.
  DigestCtx siv_inner;
  DigestCtx siv_outer;

  // One working copy of each keyed context, made on first use and kept for
  // the next call: copying a context costs an allocation and a cleansing
  // free, about a fifth of sealing a short value (bench/RESULTS.md). A call
  // uses them only while it holds `work_lock`; one that finds it held (a
  // concurrent call) copies a context of its own instead.
  mutable std::mutex work_lock;
  mutable PreparedCipher seal_work;
  mutable PreparedCipher open_work;
  // The associated data's buffer, kept for the next call under the same lock
  // (it holds nothing secret: the key id, the metadata and the caller's data).
  mutable Bytes work_ad;
};

// Prepares the 32-byte `key`. Throws ArgumentError "qv: key must be 32
// bytes." for any other length and OperationError "qv: key preparation
// failed." if a library call fails.
std::shared_ptr<const PreparedKey> prepare_key(BytesView key);

// Fills the 12-byte `nonce` from the kernel's generator (getrandom), or from
// OpenSSL's where the kernel has none. Nothing is kept between calls, so a
// forked process draws its own. Throws OperationError "qv: random generator
// failed." if neither delivers.
void fresh_nonce(std::uint8_t* nonce);

// Seals `plaintext` under `key` as `Sealer::seal_to` does for the same key,
// key id, mode and metadata text: in deterministic mode the same token byte
// for byte. `key_id` passed `check_key_id`, `metadata_text` is canonical and
// at most 65535 bytes, `plaintext` is not empty, and `out` has room for
// `token_text_size(key_id.size(), metadata_text.size(), plaintext.size())`
// characters. Throws OperationError "qv: SIV nonce derivation failed." or
// "qv: encryption failed." as `encrypt` does.
void seal_prepared(const PreparedKey& key, std::string_view key_id, bool deterministic,
                   std::string_view metadata_text, std::string_view plaintext, const Aad& aad,
                   char* out);

// A token decoded for opening: its key id is read before a key is chosen.
struct DecodedToken {
  TokenData token;
  // Opened in place, the body holds the plaintext: a cleansed buffer.
  SecretBytes body;
  std::size_t ciphertext_at = 0;
};

// Decodes `token` into `out` (`decode_token_body`). Returns false when it
// does not decode; never throws except on allocation failure.
bool decode_for_open(std::string_view token, DecodedToken& out);

// Opens a decoded token with `key` and the caller's `aad`, as `Opener::open`
// does, and returns the plaintext: a view of `t.body`. Throws OperationError
// "qv: decryption failed." if the tag does not verify (the bytes are then
// cleansed). Call once per decoded token.
std::string_view open_prepared(const PreparedKey& key, DecodedToken& t, const Aad& aad);

}  // namespace qv
