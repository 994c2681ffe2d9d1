// Token inspection: what can be read from a token without its key. The public
// calls are declared in <qv/inspect.h>. src/inspect may use src/token and <qv/...>; never Python.
#pragma once

#include <qv/inspect.h>

#include <string>

#include "token/token.h"

namespace qv {

// The fingerprint of a decoded token: its key id, ":", then its 12 nonce
// bytes as 24 lower-case hex digits. Never fails.
std::string fingerprint(const TokenData& token);

}  // namespace qv
