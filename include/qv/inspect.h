// Reading a token without its key. Nothing here authenticates: a token that
// decodes may still not open, and anyone may have written what it says.
#pragma once

#include <qv/constants.h>
#include <qv/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

// The components of a decoded token.
struct TokenInfo {
  std::uint8_t version = 0;
  std::uint8_t flags = 0;      // bits 1-7 are not bound by the tag
  bool deterministic = false;  // bit 0 of `flags`
  std::string key_id;          // 1-255 bytes, no NUL
  Bytes nonce;                 // nonce_size bytes
  Bytes tag;                   // tag_size bytes
  Bytes ciphertext;            // at least one byte
  Metadata metadata;           // the parsed map, empty when absent
};

// Decodes `token`: prefix, base64url (line breaks, spaces and '=' skipped;
// '+' and '/' read as '-' and '_'), version 2, a key id of 1-255 bytes without
// NUL, metadata that is a flat JSON object of strings when present, at least
// one ciphertext byte. Returns nothing for anything else; never throws except
// std::bad_alloc.
std::optional<TokenInfo> inspect_token(std::string_view token);

// The key id of `token`, or nothing when it does not decode. Never throws
// except std::bad_alloc.
std::optional<std::string> peek_key_id(std::string_view token);

// "<key id>:<the nonce as 24 lower-case hex digits>", which tells tokens
// apart without opening them; nothing when `token` does not decode. Never
// throws except std::bad_alloc.
std::optional<std::string> token_fingerprint(std::string_view token);

}  // namespace qv
