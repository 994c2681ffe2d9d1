// The public single-value calls of <qv/token.h>: every argument check of
// `encrypt` and `decrypt`, in their order, written once here for C++
// callers and for the Python bindings alike.
#include <array>

#include "token/token.h"

namespace qv {

SecretBytes generate_key() {
  SecretBytes key(key_size, 0);
  fill_random(key.data(), key.size());
  return key;
}

SecretBytes checked_key(BytesView key) {
  if (key.size() != key_size) throw ArgumentError("qv: key must be 32 bytes.");
  return SecretBytes(key.data(), key.data() + key.size());
}

namespace {

const Metadata* map_or_null(const Aad& aad) { return aad.is_map ? &aad.map : nullptr; }

}  // namespace

Sealer::Sealer(BytesView key, std::string_view key_id, bool deterministic, const Metadata& metadata)
    : key_(checked_key(key)), key_id_(key_id), deterministic_(deterministic) {
  check_key_id(key_id);
  metadata_text_ = serialize_sorted_json(metadata);
}

void Sealer::check_value(std::size_t plaintext_size) const {
  // A body needs at least one ciphertext byte to decode, so an empty
  // plaintext would give a token that never opens.
  if (plaintext_size == 0) throw ArgumentError("qv: plaintext must not be empty.");
  if (!metadata_fits()) throw ArgumentError("qv: metadata must serialise to at most 65535 bytes.");
}

std::size_t Sealer::token_size(std::size_t plaintext_size) const {
  return token_text_size(key_id_.size(), metadata_text_.size(), plaintext_size);
}

void Sealer::seal_to(std::string_view plaintext, const Aad& aad, char* out) const {
  const Bytes ad = build_aad(key_id_, metadata_text_, deterministic_, aad.text, map_or_null(aad));
  const auto* pt = reinterpret_cast<const std::uint8_t*>(plaintext.data());
  std::array<std::uint8_t, nonce_size> nonce{};
  if (deterministic_) {
    const Bytes siv = siv_nonce(key_.data(), ad.data(), ad.size(), pt, plaintext.size());
    if (siv.size() != nonce_size) throw OperationError("qv: SIV nonce derivation failed.");
    std::copy(siv.begin(), siv.end(), nonce.begin());
  } else {
    fill_random(nonce.data(), nonce.size());
  }
  if (!seal_token(pt, plaintext.size(), key_.data(), ad.data(), ad.size(), nonce.data(), key_id_,
                  deterministic_, metadata_text_, out))
    throw OperationError("qv: encryption failed.");
}

std::string encrypt(std::string_view plaintext, BytesView key, std::string_view key_id,
                    const SealOptions& options) {
  const Sealer sealer(key, key_id, options.deterministic, options.metadata);
  sealer.check_value(plaintext.size());
  std::string token(sealer.token_size(plaintext.size()), '\0');
  sealer.seal_to(plaintext, options.aad, token.data());
  return token;
}

struct Opener::State {
  SecretBytes key;
  TokenData token;
  // Opened in place, the body holds the plaintext: a cleansed buffer.
  SecretBytes body;
  std::size_t ciphertext_at = 0;
};

Opener::Opener(std::string_view token, BytesView key) : state_(std::make_unique<State>()) {
  state_->key = checked_key(key);
  if (!decode_token_body(token, state_->token, state_->body, state_->ciphertext_at))
    throw OperationError("qv: decryption failed.");
}

Opener::~Opener() = default;

std::string_view Opener::open(const Aad& aad) {
  const TokenData& td = state_->token;
  // The tag binds the parsed map, not the token's metadata bytes, so any text
  // that reads back to the same map opens the same way.
  const std::string metadata_text = serialize_sorted_json(td.metadata);
  const Bytes ad =
      build_aad(td.key_id, metadata_text, td.deterministic, aad.text, map_or_null(aad));
  // Opened in place: the ciphertext's bytes become the plaintext.
  std::uint8_t* data = state_->body.data() + state_->ciphertext_at;
  const std::size_t n = state_->body.size() - state_->ciphertext_at;
  if (!do_decrypt_in_place(data, n, state_->key.data(), ad.data(), ad.size(), td.nonce.data(),
                           td.tag.data())) {
    // Unauthenticated bytes derived from the key: never left readable.
    cleanse(data, n);
    throw OperationError("qv: decryption failed.");
  }
  return std::string_view(reinterpret_cast<const char*>(data), n);
}

const std::string& Opener::key_id() const { return state_->token.key_id; }
const Metadata& Opener::metadata() const { return state_->token.metadata; }
bool Opener::deterministic() const { return state_->token.deterministic; }

Opened decrypt(std::string_view token, BytesView key, const Aad& aad) {
  Opener opener(token, key);
  const std::string_view plaintext = opener.open(aad);
  Opened out;
  out.data.assign(plaintext.data(), plaintext.size());
  out.metadata = opener.metadata();
  out.key_id = opener.key_id();
  out.deterministic = opener.deterministic();
  return out;
}

}  // namespace qv
