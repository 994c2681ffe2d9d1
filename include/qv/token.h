// Sealing and opening one value: the qv.v2 token.
//
// A token is "qv.v2." and the unpadded base64url of a body that carries the
// key id, the mode, the metadata, the nonce, the tag and the ciphertext
// (ChaCha20-Poly1305). The tag binds the key id, the mode, the metadata map
// and the caller's associated data, which the token does not carry: it must
// be given again to open it.
//
// Two modes: random (a fresh nonce per call, so equal inputs give different
// tokens) and deterministic (the nonce is an HMAC-SHA256 of the associated
// data and plaintext under the key, so equal inputs give the same token,
// byte for byte, in every language qv runs in).
//
// Errors: see <qv/errors.h>. The checks run in a fixed order and the first
// failing one is reported, as the Python functions report it.
#pragma once

#include <qv/constants.h>
#include <qv/errors.h>
#include <qv/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace qv {

// The caller's associated data: none, one text, or a map whose entries become
// "key=value" fields in key order. A text and the map that gives the same
// fields are interchangeable ("a=b" and {{"a", "b"}}), and none, an empty
// text and an empty map all mean none.
struct Aad {
  std::string text;  // used when `is_map` is false
  Metadata map;      // used when `is_map` is true
  bool is_map = false;

  Aad() = default;
  Aad(std::string text_) : text(std::move(text_)) {}
  Aad(const char* text_) : text(text_) {}
  Aad(Metadata map_) : map(std::move(map_)), is_map(true) {}
};

// How to seal. The defaults give a random-mode token without metadata or
// associated data.
struct SealOptions {
  bool deterministic = false;
  // Stored in the token (readable without the key) and bound by its tag.
  Metadata metadata;
  // Bound by the tag, not stored: `decrypt` must be given the same.
  Aad aad;
};

// What `decrypt` returns: the plaintext and what the token said about itself.
struct Opened {
  SecretString data;
  Metadata metadata;
  std::string key_id;
  bool deterministic = false;
};

// A fresh random 32-byte key. Throws OperationError "qv: random generator
// failed." when the generator does not deliver.
SecretBytes generate_key();

// A cleansed copy of `key`. Throws ArgumentError "qv: key must be 32 bytes."
// unless it is exactly `key_size` bytes.
SecretBytes checked_key(BytesView key);

// Seals `plaintext` under `key` as a token naming `key_id`. Checks, in order:
// the key is 32 bytes ("qv: key must be 32 bytes."), the key id is 1-255
// bytes ("qv: keyId must be 1-255 bytes.") and holds no NUL ("qv: keyId must
// not contain NUL bytes."), the plaintext is not empty ("qv: plaintext must
// not be empty."), the metadata's canonical text is at most 65535 bytes ("qv:
// metadata must serialise to at most 65535 bytes."): ArgumentError for each.
// Then OperationError "qv: SIV nonce derivation failed." or "qv: encryption
// failed." if a library call fails. Returns the token (ASCII).
std::string encrypt(std::string_view plaintext, BytesView key, std::string_view key_id,
                    const SealOptions& options = {});

// Opens `token` with `key` and the associated data it was sealed with.
// Checks, in order: the key is 32 bytes (ArgumentError "qv: key must be 32
// bytes."), then the token decodes and its tag verifies (OperationError "qv:
// decryption failed.", the same for a malformed token, a wrong key and wrong
// associated data). The plaintext and texts are returned as the bytes that
// were sealed; a caller expecting UTF-8 checks it.
[[nodiscard]] Opened decrypt(std::string_view token, BytesView key, const Aad& aad = {});

// `encrypt` in two steps, for callers that must do something between the
// checks of the call and the sealing of each value (the Python bindings read
// the caller's associated data there, so that a bad key is reported before
// it), or that seal many values alike.
class Sealer {
 public:
  // Checks the key and the key id (as `encrypt`, in its order) and lays out
  // the canonical metadata text. Does not yet check the metadata's length.
  Sealer(BytesView key, std::string_view key_id, bool deterministic, const Metadata& metadata);

  // The checks `encrypt` makes on a value of `plaintext_size` bytes after the
  // key and key id: an empty plaintext, then metadata too long for a token.
  void check_value(std::size_t plaintext_size) const;
  // Whether the metadata fits a token (`check_value` refuses it otherwise).
  bool metadata_fits() const { return metadata_text_.size() <= max_metadata_size; }

  // The exact length of the token of a `plaintext_size`-byte value.
  std::size_t token_size(std::size_t plaintext_size) const;

  // Seals `plaintext`, which passed `check_value`, with `aad` and writes the
  // token, exactly `token_size(plaintext.size())` characters, to `out`.
  // Throws OperationError as `encrypt` does; `out` then holds nothing usable.
  void seal_to(std::string_view plaintext, const Aad& aad, char* out) const;

  const SecretBytes& key() const { return key_; }
  std::string_view key_id() const { return key_id_; }
  bool deterministic() const { return deterministic_; }
  std::string_view metadata_text() const { return metadata_text_; }

 private:
  SecretBytes key_;
  std::string key_id_;
  bool deterministic_;
  std::string metadata_text_;
};

// `decrypt` in two steps, for callers that read the associated data only once
// the token has decoded (a bad associated-data argument given with a
// malformed token is then reported as "qv: decryption failed.").
class Opener {
 public:
  // Checks the key, then decodes `token`: ArgumentError or OperationError as
  // `decrypt`. The token's key id, mode and metadata are readable from here.
  Opener(std::string_view token, BytesView key);
  ~Opener();
  Opener(const Opener&) = delete;
  Opener& operator=(const Opener&) = delete;

  // Verifies the tag with `aad` and returns the plaintext: a view of this
  // object's cleansed buffer, valid while it lives. Throws OperationError
  // "qv: decryption failed." if the tag does not verify. Call once.
  std::string_view open(const Aad& aad);

  const std::string& key_id() const;
  const Metadata& metadata() const;
  bool deterministic() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qv
