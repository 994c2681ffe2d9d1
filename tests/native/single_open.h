// The single-value opening path, step by step from the token pieces, as the
// reference that the bulk routines are held to: by tests/native/bulk.cpp and
// by fuzz/bulk.cpp. Header-only; uses the library's internal headers.
#pragma once

#include <cstdint>
#include <string>

#include "aad/aad.h"
#include "token/token.h"

namespace qv_reference {

// Opens `token` with the 32-byte `key` and the caller's associated data as one
// text: true and the plaintext in `pt`, or false.
inline bool single_open(const std::string& token, const std::uint8_t* key, const std::string& aad,
                        std::string& pt) {
  qv::TokenData td;
  if (!qv::decode_token(token, td)) return false;
  const qv::Bytes ad = qv::build_aad(td.key_id, qv::serialize_sorted_json(td.metadata),
                                     td.deterministic, aad, nullptr);
  qv::SecretBytes out;
  if (!qv::do_decrypt(td.ciphertext.data(), td.ciphertext.size(), key, ad.data(), ad.size(),
                      td.nonce.data(), td.tag.data(), out))
    return false;
  pt.assign(reinterpret_cast<const char*>(out.data()), out.size());
  return true;
}

}  // namespace qv_reference
