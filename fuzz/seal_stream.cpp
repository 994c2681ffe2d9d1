// The one-pass token writer against the plain steps it replaces: seal_token,
// which enciphers and encodes piece by piece straight into the token text,
// must write exactly encode_token(do_encrypt(...)) for any key id, metadata
// text, associated data, plaintext and piece size; and the block encoder
// must write exactly what a plain three-bytes-at-a-time loop writes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "token/token.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

std::string plain_encode(const std::vector<std::uint8_t>& in) {
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    const std::uint32_t v = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
    for (const int shift : {18, 12, 6, 0}) out += qv::b64url_chars[(v >> shift) & 63];
  }
  const std::size_t rest = in.size() - i;
  if (rest > 0) {
    const std::uint32_t v =
        std::uint32_t{in[i]} << 16 | (rest == 2 ? std::uint32_t{in[i + 1]} << 8 : 0);
    out += qv::b64url_chars[v >> 18];
    out += qv::b64url_chars[(v >> 12) & 63];
    if (rest == 2) out += qv::b64url_chars[(v >> 6) & 63];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::vector<std::uint8_t> key = in.ConsumeBytes<std::uint8_t>(qv::key_size);
  const std::vector<std::uint8_t> nonce = in.ConsumeBytes<std::uint8_t>(qv::nonce_size);
  if (key.size() != qv::key_size || nonce.size() != qv::nonce_size) return 0;
  const bool deterministic = in.ConsumeBool();
  const std::size_t piece = in.ConsumeIntegralInRange<std::size_t>(1, 2 * qv::max_seal_piece);
  std::string key_id = in.ConsumeRandomLengthString(qv::max_key_id_size);
  if (key_id.empty()) key_id = "k";
  const std::string metadata = in.ConsumeRandomLengthString(300);
  const std::vector<std::uint8_t> ad =
      in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegral<std::uint8_t>());
  std::vector<std::uint8_t> plaintext = in.ConsumeRemainingBytes<std::uint8_t>();
  if (plaintext.empty()) plaintext.push_back(0);
  // Long plaintexts without long inputs: repeat the bytes to reach the
  // piece and vector-block edges.
  if (plaintext.size() < 64 && (plaintext[0] & 1)) {
    const std::size_t target = 3 * qv::max_seal_piece + plaintext[0];
    std::vector<std::uint8_t> longer;
    longer.reserve(target);
    while (longer.size() < target) longer.insert(longer.end(), plaintext.begin(), plaintext.end());
    plaintext = std::move(longer);
  }

  qv::EncryptResult sealed;
  check(qv::do_encrypt(plaintext.data(), plaintext.size(), key.data(), ad.data(), ad.size(),
                       nonce.data(), sealed));
  const std::string expected = qv::encode_token(
      key_id, deterministic, metadata, sealed.nonce.data(), sealed.tag.data(), sealed.ciphertext);

  std::string got(qv::token_text_size(key_id.size(), metadata.size(), plaintext.size()), '\0');
  check(got.size() == expected.size());
  check(qv::seal_token(plaintext.data(), plaintext.size(), key.data(), ad.data(), ad.size(),
                       nonce.data(), key_id, deterministic, metadata, got.data(), piece));
  check(got == expected);

  check(qv::base64url_encode(plaintext.data(), plaintext.size()) == plain_encode(plaintext));
  return 0;
}
