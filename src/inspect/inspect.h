// Token inspection: what can be read from a token without its key.
//
// Nothing here touches Python; the module adapters build the results.
#pragma once

#include <string>

#include "token/token.h"

namespace qv {

// The fingerprint of a decoded token: its key id, ":", then its 12 nonce
// bytes as 24 lower-case hex digits. Never fails.
std::string fingerprint(const TokenData& token);

}  // namespace qv
