// The extension module `_native`: its adapters and its registration table.
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "python/checked_def.h"
#include "python/convert.h"

namespace qv {
namespace {

py::bytes generate_key_py() {
  const SecretBytes key = generate_key();
  return vec_to_bytes(key.data(), key.size());
}

// `plaintext` and `key_id` are copies, not views of the caller's objects: the
// conversions of the later arguments can run Python code (`__bool__`, a
// mapping's `items()`) that may resize a bytearray passed for them.
py::str encrypt_py(SecretString& plaintext, const py::bytes& key, const std::string& key_id,
                   bool deterministic, const Metadata& metadata, const py::object& aad) {
  const WipeOnExit wipe_plaintext{plaintext};
  // The library's checks in its order, with the caller's aad read between
  // the key's and the plaintext's checks and the sealing.
  const Sealer sealer(bytes_view(key), key_id, deterministic, metadata);
  sealer.check_value(plaintext.size());
  const Aad caller = read_aad(aad, EntryOrder::key_first);
  // The token is written straight into the result: an ASCII str of the
  // token's length, filled before anyone else can see it.
  const std::size_t size = sealer.token_size(plaintext.size());
  auto token = py::reinterpret_steal<py::str>(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
  if (!token) throw py::error_already_set();
  sealer.seal_to(std::string_view(plaintext.data(), plaintext.size()), caller,
                 reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(token.ptr())));
  return token;
}

py::dict decrypt_py(std::string_view token, const py::bytes& key, const py::object& aad) {
  Opener opener(token, bytes_view(key));
  const std::string_view plaintext = opener.open(read_aad(aad, EntryOrder::value_first));
  py::dict result;
  result["data"] = utf8_to_str(plaintext);
  result["metadata"] = py::cast(opener.metadata());
  result["key_id"] = utf8_to_str(opener.key_id());
  result["deterministic"] = py::bool_(opener.deterministic());
  return result;
}

// Zeroes every item of `view` by walking its shape and strides, so that the
// bytes between the items of a strided view keep their values.
void cleanse_strided(char* base, const Py_buffer& view, int dim) {
  if (dim == view.ndim) {
    cleanse(base, static_cast<std::size_t>(view.itemsize));
    return;
  }
  for (Py_ssize_t i = 0; i < view.shape[dim]; ++i) {
    cleanse_strided(base + i * view.strides[dim], view, dim + 1);
  }
}

void wipe_buffer(const py::buffer& buf) {
  Py_buffer view;
  if (PyObject_GetBuffer(buf.ptr(), &view, PyBUF_STRIDES | PyBUF_FORMAT | PyBUF_WRITABLE) != 0)
    throw py::error_already_set();
  struct Release {
    Py_buffer& v;
    ~Release() { PyBuffer_Release(&v); }
  } release{view};
  if (view.len == 0) return;
  if (PyBuffer_IsContiguous(&view, 'A')) {
    cleanse(view.buf, static_cast<std::size_t>(view.len));
  } else {
    cleanse_strided(static_cast<char*>(view.buf), view, 0);
  }
}

py::dict derive_key_from_password_py(SecretString& password, SecretString& salt_hex,
                                     std::uint64_t N, std::uint32_t r, std::uint32_t p) {
  const WipeOnExit wipe_password{password};
  const WipeOnExit wipe_salt{salt_hex};
  const DerivedKey derived = derive_key_from_password(password, salt_hex, N, r, p);
  py::dict result;
  result["key"] = vec_to_bytes(derived.key.data(), derived.key.size());
  result["salt_hex"] = utf8_to_str(derived.salt_hex);
  return result;
}

py::bytes derive_subkey_py(const py::bytes& master_key, std::string_view context,
                           const py::object& salt) {
  const SecretBytes master = bytes_to_vec(master_key);
  // The master key is checked before the salt's type, as the library orders
  // its own checks.
  check_master_key(master);
  SecretBytes salt_copy;
  if (!salt.is_none()) {
    // pybind11's checked conversion: a TypeError naming the type for non-bytes.
    salt_copy = bytes_to_vec(py::bytes(salt));
  }
  const SecretBytes subkey = derive_subkey(master, context, salt_copy);
  return vec_to_bytes(subkey.data(), subkey.size());
}

py::object peek_key_id_py(std::string_view token) {
  const std::optional<std::string> key_id = peek_key_id(token);
  if (!key_id) return py::none();
  return utf8_to_str(*key_id);
}

py::object decode_token_py(std::string_view token) {
  const std::optional<TokenInfo> info = inspect_token(token);
  if (!info) return py::none();
  const TokenInfo& td = *info;
  py::dict result;
  result["version"] = py::int_(td.version);
  result["flags"] = py::int_(td.flags);
  result["deterministic"] = py::bool_(td.deterministic);
  result["key_id"] = utf8_to_str(td.key_id);
  result["nonce"] = vec_to_bytes(td.nonce.data(), td.nonce.size());
  result["tag"] = vec_to_bytes(td.tag.data(), td.tag.size());
  result["ciphertext"] = vec_to_bytes(td.ciphertext.data(), td.ciphertext.size());
  result["metadata"] = py::cast(td.metadata);
  return result;
}

py::object token_fingerprint_py(std::string_view token) {
  const std::optional<std::string> print = token_fingerprint(token);
  if (!print) return py::none();
  return utf8_to_str(*print);
}

}  // namespace
}  // namespace qv

PYBIND11_MODULE(_native, m) {
  namespace py = pybind11;
  using namespace pybind11::literals;

  m.doc() = "qv.v2 native cryptographic library";

  qv::checked_def(m, "generate_key", &qv::generate_key_py,
                  "Generate a random 32-byte encryption key.");
  qv::checked_def(m, "derive_key_from_password", &qv::derive_key_from_password_py, "password"_a,
                  "salt_hex"_a = "", "N"_a = qv::scrypt_default_n, "r"_a = qv::scrypt_default_r,
                  "p"_a = qv::scrypt_default_p, "Derive a key from a password using scrypt.");
  qv::checked_def(m, "derive_subkey", &qv::derive_subkey_py, "master_key"_a, "context"_a,
                  "salt"_a = py::none(), "Derive a subkey using HKDF-SHA256.");
  qv::checked_def(m, "encrypt", &qv::encrypt_py, "plaintext"_a, "key"_a, "key_id"_a,
                  "deterministic"_a = false, "metadata"_a = py::dict(), "aad"_a = py::none(),
                  "Encrypt plaintext and return an qv.v2 token string.");
  qv::checked_def(
      m, "decrypt", &qv::decrypt_py, "token"_a, "key"_a, "aad"_a = py::none(),
      "Decrypt an qv.v2 token. Returns dict with data, metadata, key_id, deterministic.");
  qv::checked_def(m, "peek_key_id", &qv::peek_key_id_py, "token"_a,
                  "Extract the key ID from a token without decrypting.");
  qv::checked_def(m, "decode_token", &qv::decode_token_py, "token"_a,
                  "Decode a token into its components. Returns None on failure.");
  qv::checked_def(m, "token_fingerprint", &qv::token_fingerprint_py, "token"_a,
                  "Get the fingerprint (keyId:nonceHex) of a token.");
  qv::checked_def(m, "wipe_buffer", &qv::wipe_buffer, "buf"_a, "Securely zero a buffer.");
  qv::guard_module(m);
}
