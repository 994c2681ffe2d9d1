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

py::str py_encrypt(SecretString& plaintext, const py::bytes& key, const std::string& key_id,
                   bool deterministic, const Metadata& metadata, const py::object& aad) {
  const WipeOnExit wipe_plaintext{plaintext};
  const SecretBytes k = checked_key(key);
  check_key_id(key_id);
  // A body needs at least one ciphertext byte to decode, so an empty
  // plaintext would give a token that never opens.
  if (plaintext.empty()) throw std::invalid_argument("qv: plaintext must not be empty.");
  const std::string metadata_text = serialize_sorted_json(metadata);
  if (metadata_text.size() > max_metadata_size)
    throw std::invalid_argument("qv: metadata must serialise to at most 65535 bytes.");
  const CallerAad caller = read_aad(aad, EntryOrder::key_first);
  const Bytes ad =
      build_aad(key_id, metadata_text, deterministic, caller.text, map_or_null(caller));

  const auto* pt = reinterpret_cast<const std::uint8_t*>(plaintext.data());
  std::array<std::uint8_t, nonce_size> nonce{};
  if (deterministic) {
    const Bytes siv = siv_nonce(k.data(), ad.data(), ad.size(), pt, plaintext.size());
    if (siv.size() != nonce_size) throw std::runtime_error("qv: SIV nonce derivation failed.");
    std::copy(siv.begin(), siv.end(), nonce.begin());
  } else {
    fill_random(nonce.data(), nonce.size());
  }
  // The token is written straight into the result: an ASCII str of the
  // token's length, filled before anyone else can see it.
  const std::size_t size = token_text_size(key_id.size(), metadata_text.size(), plaintext.size());
  auto token = py::reinterpret_steal<py::str>(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
  if (!token) throw py::error_already_set();
  char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(token.ptr()));
  if (!seal_token(pt, plaintext.size(), k.data(), ad.data(), ad.size(), nonce.data(), key_id,
                  deterministic, metadata_text, out))
    throw std::runtime_error("qv: encryption failed.");
  return token;
}

py::dict py_decrypt(std::string_view token, const py::bytes& key, const py::object& aad) {
  const SecretBytes k = checked_key(key);
  TokenData td;
  // Opened in place, the body holds the plaintext: a cleansed buffer.
  SecretBytes body;
  std::size_t at = 0;
  if (!decode_token_body(token, td, body, at)) throw std::runtime_error("qv: decryption failed.");
  // The tag binds the parsed map, not the token's metadata bytes, so any text
  // that reads back to the same map opens the same way.
  const std::string metadata_text = serialize_sorted_json(td.metadata);
  const CallerAad caller = read_aad(aad, EntryOrder::value_first);
  const Bytes ad =
      build_aad(td.key_id, metadata_text, td.deterministic, caller.text, map_or_null(caller));

  // Opened in place: the ciphertext's bytes become the plaintext.
  std::uint8_t* data = body.data() + at;
  const std::size_t n = body.size() - at;
  if (!do_decrypt_in_place(data, n, k.data(), ad.data(), ad.size(), td.nonce.data(), td.tag.data()))
    throw std::runtime_error("qv: decryption failed.");

  py::dict result;
  result["data"] = utf8_to_str(std::string_view(reinterpret_cast<const char*>(data), n));
  result["metadata"] = py::cast(td.metadata);
  result["key_id"] = utf8_to_str(td.key_id);
  result["deterministic"] = py::bool_(td.deterministic);
  return result;
}

}  // namespace qv
