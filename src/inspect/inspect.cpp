#include "inspect/inspect.h"

namespace qv {

std::string fingerprint(const TokenData& token) {
  std::string out = token.key_id;
  out += ':';
  out += hex_lower(token.nonce.data(), token.nonce.size());
  return out;
}

std::optional<TokenInfo> inspect_token(std::string_view token) {
  TokenInfo info;
  if (!decode_token(token, info)) return std::nullopt;
  return info;
}

std::optional<std::string> peek_key_id(std::string_view token) {
  TokenData td;
  if (!decode_token(token, td)) return std::nullopt;
  return std::move(td.key_id);
}

std::optional<std::string> token_fingerprint(std::string_view token) {
  TokenData td;
  if (!decode_token(token, td)) return std::nullopt;
  return fingerprint(td);
}

}  // namespace qv
