// The token decoder on arbitrary text. A text that decodes has a sound record,
// and writing that record again gives a token that decodes to the same record.
#include "token/token.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "inspect/inspect.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Half the inputs get the prefix, so the decoder gets past its first check.
  std::string token(reinterpret_cast<const char*>(data), size);
  if (size > 0 && (data[0] & 1)) token.replace(0, 1, qv::token_prefix);

  qv::TokenData td;
  const bool decoded = qv::decode_token(token, td);
  // The in-place decoder accepts exactly the same texts, and leaves the
  // ciphertext at the end of the body.
  qv::TokenData in_place;
  qv::Bytes body;
  std::size_t at = 0;
  check(qv::decode_token_body(token, in_place, body, at) == decoded);
  if (!decoded) return 0;
  check(in_place.ciphertext.empty() && at < body.size());
  check(qv::Bytes(body.begin() + static_cast<std::ptrdiff_t>(at), body.end()) == td.ciphertext);
  check(in_place.flags == td.flags && in_place.key_id == td.key_id);
  check(in_place.nonce == td.nonce && in_place.tag == td.tag);
  check(in_place.metadata == td.metadata);
  check(token.compare(0, qv::token_prefix.size(), qv::token_prefix) == 0);
  check(td.version == qv::token_version);
  check(td.deterministic == ((td.flags & qv::flag_deterministic) != 0));
  check(!td.key_id.empty() && td.key_id.size() <= qv::max_key_id_size);
  check(td.key_id.find('\0') == std::string::npos);
  check(td.nonce.size() == qv::nonce_size && td.tag.size() == qv::tag_size);
  check(!td.ciphertext.empty());

  const std::string fp = qv::fingerprint(td);
  check(fp.size() == td.key_id.size() + 1 + 2 * qv::nonce_size);
  check(fp.compare(0, td.key_id.size(), td.key_id) == 0 && fp[td.key_id.size()] == ':');

  const std::string metadata_text = qv::serialize_sorted_json(td.metadata);
  if (metadata_text.size() > qv::max_metadata_size) return 0;
  const std::string rewritten = qv::encode_token(td.key_id, td.deterministic, metadata_text,
                                                 td.nonce.data(), td.tag.data(), td.ciphertext);
  qv::TokenData again;
  check(qv::decode_token(rewritten, again));
  check(again.flags == (td.flags & qv::flag_deterministic));
  check(again.deterministic == td.deterministic);
  check(again.key_id == td.key_id);
  check(again.nonce == td.nonce && again.tag == td.tag);
  check(again.ciphertext == td.ciphertext);
  check(again.metadata == td.metadata);
  return 0;
}
