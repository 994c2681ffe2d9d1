// The qv.v2 token: its body layout, base64url coding, the decoder, and the
// ChaCha20-Poly1305 core with the synthetic nonce of deterministic mode.
//
// The public calls are declared in <qv/token.h>; this adds the pieces they
// are made of, which the bulk and column code share. src/token may use
// OpenSSL, src/common, src/aad and <qv/...>; never Python. Routines that read
// untrusted input (`base64url_decode`, `decode_token`) and the cryptographic
// steps (`do_encrypt`, `do_decrypt`, `siv_nonce`) report failure through
// their result and never throw on bad input; only allocation failure escapes.
#pragma once

#include <openssl/types.h>
#include <qv/constants.h>
#include <qv/inspect.h>
#include <qv/token.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "aad/aad.h"
#include "common/common.h"

namespace qv {

// version, flags, key id length, nonce, tag, metadata length.
constexpr std::size_t body_fixed_size = 1 + 1 + 1 + nonce_size + tag_size + 2;

constexpr std::string_view b64url_chars =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Unpadded base64url text of `in` (4 characters per 3 bytes, 2 or 3 for a
// short last group). Never fails.
std::string base64url_encode(const std::uint8_t* in, std::size_t n);

// The length of the unpadded base64url text of `n` bytes.
std::size_t base64url_size(std::size_t n);

// Writes the text of `base64url_encode` into `out`, which has room for
// `base64url_size(n)` characters, and returns the end of what it wrote.
char* base64url_encode_to(const std::uint8_t* in, std::size_t n, char* out);

// Decodes `text` into `out`. LF, CR, space and '=' are skipped wherever they
// stand; '+' and '/' are taken as '-' and '_'; the spare low bits of a short
// last group are dropped and a lone last sextet gives nothing. Returns false,
// with `out` empty, on any other character outside the alphabet. `Buffer` is
// `Bytes` or `SecretBytes`.
template <class Buffer>
bool base64url_decode(std::string_view text, Buffer& out);

// The components of a decoded token (<qv/inspect.h>). Read it only after
// `decode_token` returned true.
using TokenData = TokenInfo;

// Lays out the body up to its ciphertext at `b` (33 + L + M bytes): version,
// flags, key id, `nonce`, the tag's 16 bytes left as they are, the metadata
// length and text. Same preconditions as `encode_token`.
void write_body_head(std::uint8_t* b, std::string_view key_id, bool deterministic,
                     std::string_view metadata_text, const std::uint8_t* nonce);

// Writes "qv.v2." + base64url(body). Preconditions, met by the caller:
// `key_id` is 1..255 bytes, `metadata_text` at most 65535 bytes, `nonce` and
// `tag` point at 12 and 16 bytes, `ciphertext` holds at least one byte.
std::string encode_token(std::string_view key_id, bool deterministic,
                         std::string_view metadata_text, const std::uint8_t* nonce,
                         const std::uint8_t* tag, const Bytes& ciphertext);

// Refuses a key id that no token may carry: throws ArgumentError
// "qv: keyId must be 1-255 bytes." or, for one holding a 0x00 byte, "qv: keyId
// must not contain NUL bytes.". The associated data joins its fields with NUL
// bytes and records no lengths, so a NUL in the key id, the one field anyone
// may rewrite, could absorb the metadata or the caller's data.
void check_key_id(std::string_view key_id);

// Checks the structure of `token` and fills `out`: prefix, base64url, body
// longer than 33 bytes, version 2, key id length 1..255 within the body and
// free of 0x00 bytes (see `check_key_id`),
// metadata within the body and a flat JSON object of strings when present,
// and at least one ciphertext byte. Authenticates nothing. Returns false on
// the first failed check, leaving `out` partly filled; never throws.
bool decode_token(std::string_view token, TokenData& out);

// As `decode_token`, but leaves the ciphertext where it was decoded: in
// `body`, from `ciphertext_at` to the end; `out.ciphertext` stays empty.
// `Buffer` is `Bytes` or `SecretBytes` (for a body that is opened in place).
template <class Buffer>
bool decode_token_body(std::string_view token, TokenData& out, Buffer& body,
                       std::size_t& ciphertext_at);

// Reads the key id and metadata lengths from the head of `token` without
// decoding the rest, when the characters up to them are all in the base64url
// alphabet (as every sealing routine writes them), and sets `body_size` to an
// upper bound of the body's length. Returns false when the head cannot be
// read that way; never throws.
bool read_head_sizes(std::string_view token, std::size_t& key_id_size, std::size_t& metadata_size,
                     std::size_t& body_size);

struct EncryptResult {
  Bytes nonce;
  Bytes tag;
  Bytes ciphertext;
};

// The largest piece handed to one OpenSSL update call, whose length is an int.
constexpr std::size_t max_update_piece = std::size_t{1} << 30;

// Seals `plaintext` (`n` bytes) with ChaCha20-Poly1305 under the 32-byte `key`
// and 12-byte `nonce`, binding `aad` (`aad_n` bytes). Inputs of any size are
// fed to OpenSSL in pieces of at most `piece` bytes, with the same result as
// a single call. Returns false if any library call fails; `out` then holds
// nothing usable. Never throws except on allocation failure.
bool do_encrypt(const std::uint8_t* plaintext, std::size_t n, const std::uint8_t* key,
                const std::uint8_t* aad, std::size_t aad_n, const std::uint8_t* nonce,
                EncryptResult& out, std::size_t piece = max_update_piece);

// Opens `ciphertext` (`n` bytes) and verifies the 16-byte `tag`. Returns true
// only if the tag verifies; `plaintext` then holds `n` bytes. On false,
// `plaintext` is empty. Never throws except on allocation failure.
bool do_decrypt(const std::uint8_t* ciphertext, std::size_t n, const std::uint8_t* key,
                const std::uint8_t* aad, std::size_t aad_n, const std::uint8_t* nonce,
                const std::uint8_t* tag, SecretBytes& plaintext,
                std::size_t piece = max_update_piece);

// As `do_decrypt`, but deciphers the `n` bytes at `data` in place: on true
// they hold the plaintext. On false they hold unauthenticated bytes, which the
// caller must discard (and, being derived from the key, cleanse). Never
// throws.
bool do_decrypt_in_place(std::uint8_t* data, std::size_t n, const std::uint8_t* key,
                         const std::uint8_t* aad, std::size_t aad_n, const std::uint8_t* nonce,
                         const std::uint8_t* tag, std::size_t piece = max_update_piece);

// The length of the token text for a key id of `key_id_size` bytes, metadata
// text of `metadata_size` bytes and `n` plaintext bytes.
std::size_t token_text_size(std::size_t key_id_size, std::size_t metadata_size, std::size_t n);

// The most plaintext `seal_token` enciphers before it encodes.
constexpr std::size_t max_seal_piece = 3 * 8192;

// Seals `plaintext` as `do_encrypt` does and writes the token that
// `encode_token` would write for the result, exactly
// `token_text_size(key_id.size(), metadata_text.size(), n)` characters, into
// `out`. The ciphertext is enciphered and encoded `piece` bytes at a time
// (rounded down to whole base64 groups, at most `max_seal_piece`), so no
// whole ciphertext or body is held. Same preconditions as `encode_token`.
// Returns false if any library call fails; `out` then holds nothing usable.
// Never throws except on allocation failure.
bool seal_token(const std::uint8_t* plaintext, std::size_t n, const std::uint8_t* key,
                const std::uint8_t* aad, std::size_t aad_n, const std::uint8_t* nonce,
                std::string_view key_id, bool deterministic, std::string_view metadata_text,
                char* out, std::size_t piece = max_seal_piece);

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const noexcept;
};

// A ChaCha20-Poly1305 context kept across many values in one direction
// (sealing or opening, never both). The cipher is fetched and keyed on first
// use; later values set only their nonce, and a key is scheduled again only
// when it differs from the last one (compared by address: the caller keeps
// each key in place and unchanged while the context is in use). After a
// failure the context is dropped and the next value starts afresh. Holds key
// material: OpenSSL cleanses it when the context is freed.
struct PreparedCipher {
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx;
  const std::uint8_t* key = nullptr;
};

// `seal_token` on a prepared context: the same token, bytes and failures.
bool seal_token(PreparedCipher& cipher, const std::uint8_t* plaintext, std::size_t n,
                const std::uint8_t* key, const std::uint8_t* aad, std::size_t aad_n,
                const std::uint8_t* nonce, std::string_view key_id, bool deterministic,
                std::string_view metadata_text, char* out);

// `do_decrypt_in_place` on a prepared context: the same result.
bool do_decrypt_in_place(PreparedCipher& cipher, std::uint8_t* data, std::size_t n,
                         const std::uint8_t* key, const std::uint8_t* aad, std::size_t aad_n,
                         const std::uint8_t* nonce, const std::uint8_t* tag);

struct DigestCtxFree {
  void operator()(EVP_MD_CTX* ctx) const noexcept;
};
using DigestCtx = std::unique_ptr<EVP_MD_CTX, DigestCtxFree>;

// HMAC-SHA256 under one key, keyed once: SHA-256 states already fed with the
// key's inner and outer pad blocks, copied for each value. Holds key
// material: OpenSSL cleanses the states when they are freed.
struct SivKey {
  DigestCtx inner;
  DigestCtx outer;
  DigestCtx work;
};

// Keys `siv` with the 32-byte `key`. Returns false if a digest call fails.
// Never throws except on allocation failure.
bool prepare_siv(SivKey& siv, const std::uint8_t* key);

// `siv_nonce` under a prepared key: writes the same 12 bytes to `nonce` and
// returns true, or returns false where `siv_nonce` returns nothing. Never
// throws except on allocation failure.
bool siv_nonce(SivKey& siv, const std::uint8_t* a, std::size_t a_n, const std::uint8_t* b,
               std::size_t b_n, std::uint8_t* nonce);

// The same from the HMAC pads alone: `inner_pad` and `outer_pad` are digests
// that have absorbed the key's inner and outer pad (as in `SivKey`) and are
// only read; `work` is the caller's scratch context. Lets several threads
// share one prepared pair, each with a `work` of its own.
bool siv_nonce(const EVP_MD_CTX* inner_pad, const EVP_MD_CTX* outer_pad, EVP_MD_CTX* work,
               const std::uint8_t* a, std::size_t a_n, const std::uint8_t* b, std::size_t b_n,
               std::uint8_t* nonce);

// The synthetic nonce: the first 12 bytes of HMAC-SHA256 under `key` over
// "qv.v2:siv-nonce" 00 BE32(len a) a 00 BE32(len b) b. Returns 12 bytes, or an
// empty buffer if the MAC fails or a part is too long for its 32-bit length.
Bytes siv_nonce(const std::uint8_t* key, const std::uint8_t* a, std::size_t a_n,
                const std::uint8_t* b, std::size_t b_n);

}  // namespace qv
