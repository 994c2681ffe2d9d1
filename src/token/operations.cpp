#include <pybind11/stl.h>

#include <array>
#include <stdexcept>

#include "module/module.h"
#include "token/token.h"

namespace qv {
namespace {

SecretBytes checked_key(const py::bytes& key) {
  SecretBytes k = bytes_to_vec(key);
  if (k.size() != key_size) throw std::invalid_argument("qv: key must be 32 bytes.");
  return k;
}

const Metadata* map_or_null(const CallerAad& aad) { return aad.is_map ? &aad.map : nullptr; }

}  // namespace

std::string py_encrypt(SecretString& plaintext, const py::bytes& key, const std::string& key_id,
                       bool deterministic, const Metadata& metadata, const py::object& aad) {
  const WipeOnExit wipe_plaintext{plaintext};
  const SecretBytes k = checked_key(key);
  if (key_id.size() - 1 > max_key_id_size - 1)
    throw std::invalid_argument("qv: keyId must be 1-255 bytes.");
  // A body needs at least one ciphertext byte to decode, so an empty
  // plaintext would give a token that never opens.
  if (plaintext.empty()) throw std::invalid_argument("qv: plaintext must not be empty.");
  const std::string metadata_text = serialize_sorted_json(metadata);
  if (metadata_text.size() > max_metadata_size)
    throw std::invalid_argument("qv: metadata must serialise to at most 65535 bytes.");
  const CallerAad caller = read_aad(aad, EntryOrder::key_first);
  const Bytes ad = build_aad(key_id, metadata_text, deterministic, caller.text, map_or_null(caller));

  const auto* pt = reinterpret_cast<const std::uint8_t*>(plaintext.data());
  std::array<std::uint8_t, nonce_size> nonce{};
  if (deterministic) {
    const Bytes siv = siv_nonce(k.data(), ad.data(), ad.size(), pt, plaintext.size());
    if (siv.size() != nonce_size) throw std::runtime_error("qv: SIV nonce derivation failed.");
    std::copy(siv.begin(), siv.end(), nonce.begin());
  } else {
    fill_random(nonce.data(), nonce.size());
  }
  EncryptResult sealed;
  if (!do_encrypt(pt, plaintext.size(), k.data(), ad.data(), ad.size(), nonce.data(), sealed))
    throw std::runtime_error("qv: encryption failed.");
  return encode_token(key_id, deterministic, metadata_text, sealed.nonce.data(),
                      sealed.tag.data(), sealed.ciphertext);
}

py::dict py_decrypt(std::string_view token, const py::bytes& key, const py::object& aad) {
  const SecretBytes k = checked_key(key);
  TokenData td;
  if (!decode_token(token, td)) throw std::runtime_error("qv: decryption failed.");
  // The tag binds the parsed map, not the token's metadata bytes, so any text
  // that reads back to the same map opens the same way.
  const std::string metadata_text = serialize_sorted_json(td.metadata);
  const CallerAad caller = read_aad(aad, EntryOrder::value_first);
  const Bytes ad =
      build_aad(td.key_id, metadata_text, td.deterministic, caller.text, map_or_null(caller));

  SecretBytes plaintext;
  if (!do_decrypt(td.ciphertext.data(), td.ciphertext.size(), k.data(), ad.data(), ad.size(),
                  td.nonce.data(), td.tag.data(), plaintext))
    throw std::runtime_error("qv: decryption failed.");

  py::dict result;
  result["data"] = utf8_to_str(
      std::string_view(reinterpret_cast<const char*>(plaintext.data()), plaintext.size()));
  result["metadata"] = py::cast(td.metadata);
  result["key_id"] = utf8_to_str(td.key_id);
  result["deterministic"] = py::bool_(td.deterministic);
  return result;
}

}  // namespace qv
