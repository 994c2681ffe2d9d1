// Seal then open through every step of a token's life: build_aad, the
// synthetic nonce, sealing, token writing, decoding and opening. The result
// must equal the input; fed in small pieces, the cipher must give what one
// call gives; sealing straight into the text and opening in place must agree
// with the step-by-step path; a flipped bit in the key id, nonce, tag or
// ciphertext must never open, while the unbound parts (flags bits 1 to 7,
// metadata rewritten to an equal map) must still open; a key id holding a
// NUL byte must never decode.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "aad/aad.h"
#include "token/token.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

std::string rewrite(const qv::Bytes& body) {
  return std::string(qv::token_prefix) + qv::base64url_encode(body.data(), body.size());
}

// Decodes `token` in place and opens it under `key` and the caller's data, as
// decryption does: the associated data is built from the decoded map.
bool opens(const std::string& token, const std::uint8_t* key, std::string_view aad_text,
           const qv::Metadata* aad_map, std::string& plaintext) {
  qv::TokenData td;
  qv::Bytes body;
  std::size_t at = 0;
  if (!qv::decode_token_body(token, td, body, at)) return false;
  check(td.ciphertext.empty() && at < body.size());
  const qv::Bytes ad = qv::build_aad(td.key_id, qv::serialize_sorted_json(td.metadata),
                                     td.deterministic, aad_text, aad_map);
  if (!qv::do_decrypt_in_place(body.data() + at, body.size() - at, key, ad.data(), ad.size(),
                               td.nonce.data(), td.tag.data()))
    return false;
  plaintext.assign(reinterpret_cast<const char*>(body.data() + at), body.size() - at);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string key_bytes = in.ConsumeBytesAsString(qv::key_size);
  std::uint8_t key[qv::key_size] = {};
  key_bytes.copy(reinterpret_cast<char*>(key), key_bytes.size());

  std::string key_id = in.ConsumeRandomLengthString(qv::max_key_id_size);
  if (key_id.empty()) key_id = "k";
  const bool deterministic = in.ConsumeBool();
  qv::Metadata metadata;
  for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n) {
    std::string k = in.ConsumeRandomLengthString(32);
    metadata[std::move(k)] = in.ConsumeRandomLengthString(32);
  }
  std::string aad_text;
  qv::Metadata aad_entries;
  const qv::Metadata* aad_map = nullptr;
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 1: aad_text = in.ConsumeRandomLengthString(64); break;
    case 2:
      for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n) {
        std::string k = in.ConsumeRandomLengthString(16);
        aad_entries[std::move(k)] = in.ConsumeRandomLengthString(16);
      }
      aad_map = &aad_entries;
      break;
    default: break;
  }
  const std::size_t piece = in.ConsumeIntegralInRange<std::size_t>(1, 17);
  const std::size_t seal_piece = in.ConsumeIntegralInRange<std::size_t>(0, 100);
  const std::uint32_t flip = in.ConsumeIntegral<std::uint32_t>();
  const std::string random_nonce = in.ConsumeBytesAsString(qv::nonce_size);
  std::string plaintext = in.ConsumeRemainingBytesAsString();
  if (plaintext.empty()) plaintext = "x";
  const auto* pt = reinterpret_cast<const std::uint8_t*>(plaintext.data());

  const std::string metadata_text = qv::serialize_sorted_json(metadata);
  check(metadata_text.size() <= qv::max_metadata_size);
  const qv::Bytes ad = qv::build_aad(key_id, metadata_text, deterministic, aad_text, aad_map);

  std::uint8_t nonce[qv::nonce_size] = {};
  if (deterministic) {
    const qv::Bytes siv = qv::siv_nonce(key, ad.data(), ad.size(), pt, plaintext.size());
    check(siv.size() == qv::nonce_size);
    check(qv::siv_nonce(key, ad.data(), ad.size(), pt, plaintext.size()) == siv);
    std::copy(siv.begin(), siv.end(), nonce);
  } else {
    random_nonce.copy(reinterpret_cast<char*>(nonce), random_nonce.size());
  }

  qv::EncryptResult sealed;
  check(qv::do_encrypt(pt, plaintext.size(), key, ad.data(), ad.size(), nonce, sealed));
  check(sealed.ciphertext.size() == plaintext.size() && sealed.tag.size() == qv::tag_size);
  qv::EncryptResult in_pieces;
  check(qv::do_encrypt(pt, plaintext.size(), key, ad.data(), ad.size(), nonce, in_pieces, piece));
  check(in_pieces.ciphertext == sealed.ciphertext && in_pieces.tag == sealed.tag);

  const std::string token =
      qv::encode_token(key_id, deterministic, metadata_text, sealed.nonce.data(), sealed.tag.data(),
                       sealed.ciphertext);
  // Sealing straight into the token text, whole or piece by piece, writes
  // exactly the same token.
  const std::size_t text_size =
      qv::token_text_size(key_id.size(), metadata_text.size(), plaintext.size());
  check(text_size == token.size());
  for (const std::size_t p : {qv::max_seal_piece, seal_piece}) {
    std::string direct(text_size, '\0');
    check(qv::seal_token(pt, plaintext.size(), key, ad.data(), ad.size(), nonce, key_id,
                         deterministic, metadata_text, direct.data(), p));
    check(direct == token);
  }

  qv::TokenData td;
  // The associated data joins its fields with NUL bytes, so a key id holding
  // one could absorb the metadata or the caller's data that follow it.
  if (key_id.find('\0') != std::string::npos) {
    check(!qv::decode_token(token, td));
    return 0;
  }
  check(qv::decode_token(token, td));
  check(td.key_id == key_id && td.deterministic == deterministic && td.metadata == metadata);
  check(qv::build_aad(td.key_id, qv::serialize_sorted_json(td.metadata), td.deterministic, aad_text,
                      aad_map) == ad);

  qv::SecretBytes opened;
  check(qv::do_decrypt(td.ciphertext.data(), td.ciphertext.size(), key, ad.data(), ad.size(),
                       td.nonce.data(), td.tag.data(), opened));
  check(std::string_view(reinterpret_cast<const char*>(opened.data()), opened.size()) == plaintext);
  qv::SecretBytes opened_in_pieces;
  check(qv::do_decrypt(td.ciphertext.data(), td.ciphertext.size(), key, ad.data(), ad.size(),
                       td.nonce.data(), td.tag.data(), opened_in_pieces, piece));
  check(opened_in_pieces == opened);
  std::string opened_in_place;
  check(opens(token, key, aad_text, aad_map, opened_in_place));
  check(opened_in_place == plaintext);

  // One flipped bit in each bound region of the body must make opening fail.
  qv::Bytes body;
  check(qv::base64url_decode(std::string_view(token).substr(qv::token_prefix.size()), body));
  const std::size_t L = key_id.size();
  const std::size_t M = metadata_text.size();
  struct Region {
    std::size_t offset, size;
  };
  const Region bound[] = {
      {3, L},                          // key id
      {3 + L, qv::nonce_size},         // nonce
      {15 + L, qv::tag_size},          // tag
      {33 + L + M, plaintext.size()},  // ciphertext
  };
  for (const Region& r : bound) {
    const std::size_t bit = flip % (r.size * 8);
    qv::Bytes tampered = body;
    tampered[r.offset + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    std::string out;
    check(!opens(rewrite(tampered), key, aad_text, aad_map, out));
  }
  // The deterministic bit picks the label, so flipping it must fail too.
  {
    qv::Bytes tampered = body;
    tampered[1] ^= qv::flag_deterministic;
    std::string out;
    check(!opens(rewrite(tampered), key, aad_text, aad_map, out));
  }
  // Different caller's data must fail.
  {
    std::string out;
    const std::string other = aad_text + "\x01";
    check(!opens(token, key, other, nullptr, out));
  }

  // Nor does this key id extended by a NUL and whatever follows it.
  if (L < qv::max_key_id_size) {
    const std::string tail = '\0' + aad_text.substr(0, qv::max_key_id_size - L - 1);
    qv::Bytes forged(body.begin(), body.begin() + 3 + static_cast<std::ptrdiff_t>(L));
    forged[2] = static_cast<std::uint8_t>(L + tail.size());
    forged.insert(forged.end(), tail.begin(), tail.end());
    forged.insert(forged.end(), body.begin() + 3 + static_cast<std::ptrdiff_t>(L), body.end());
    qv::TokenData ignored;
    check(!qv::decode_token(rewrite(forged), ignored));
  }
  // Flags bits 1 to 7 are not bound.
  {
    qv::Bytes changed = body;
    changed[1] ^= static_cast<std::uint8_t>((flip >> 8) | 2) & 0xFE;
    std::string out;
    check(opens(rewrite(changed), key, aad_text, aad_map, out));
    check(out == plaintext);
  }
  // Nor is the metadata text itself, only its map: spaces around the object
  // and around every structural character read back to the same map.
  if (M > 0 && M + 4 <= qv::max_metadata_size) {
    const std::string spaced = " \t" + metadata_text + "\r\n";
    qv::Bytes changed(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(31 + L));
    changed.push_back(static_cast<std::uint8_t>(spaced.size() >> 8));
    changed.push_back(static_cast<std::uint8_t>(spaced.size() & 0xFF));
    changed.insert(changed.end(), spaced.begin(), spaced.end());
    changed.insert(changed.end(), sealed.ciphertext.begin(), sealed.ciphertext.end());
    std::string out;
    check(opens(rewrite(changed), key, aad_text, aad_map, out));
    check(out == plaintext);
  }
  return 0;
}
