#include "inspect/inspect.h"

namespace qv {

std::string fingerprint(const TokenData& token) {
  std::string out = token.key_id;
  out += ':';
  out += hex_lower(token.nonce.data(), token.nonce.size());
  return out;
}

}  // namespace qv
