// The Python-facing layer: conversions between Python objects and the native
// buffers, and the routines that the module functions are bound to.
//
// These routines throw std::invalid_argument (Python ValueError) for a bad
// argument value and std::runtime_error (RuntimeError) for a failed step,
// each with a message that begins "qv: "; Python errors raised on the way
// (a failed UTF-8 decoding, a refused buffer) propagate unchanged.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "aad/aad.h"
#include "module/common.h"

namespace qv {

namespace py = pybind11;

// A copy of the bytes of `b` in a cleansed buffer.
SecretBytes bytes_to_vec(const py::bytes& b);

// A new `bytes` object holding `p[0..n)`. Throws std::runtime_error
// "Could not allocate bytes object!" if it cannot be created.
py::bytes vec_to_bytes(const std::uint8_t* p, std::size_t n);

// A new `str` decoded strictly from the UTF-8 bytes `s`; a UnicodeDecodeError
// propagates as py::error_already_set.
py::str utf8_to_str(std::string_view s);

// The caller's associated data, read from the `aad` argument.
struct CallerAad {
  std::string text;     // a str `aad` as UTF-8; empty otherwise
  Metadata map;         // a dict `aad`'s entries, converted
  bool is_map = false;  // true when `aad` was a dict
};

// Which half of a dict `aad` entry is converted first. `encrypt` converts the
// key first and `decrypt` the value; it decides which cast error is reported
// when both halves are bad.
enum class EntryOrder { key_first, value_first };

// Reads `aad`: None, a str (or subclass) or a dict (or subclass), whose keys
// and values must each be str, bytes or bytearray. A later dict key that
// converts to the same bytes replaces an earlier one. Throws
// std::invalid_argument "qv: aad must be a string, dict, or None." for any
// other object, and pybind11's cast_error (RuntimeError) for a text that
// cannot be converted.
CallerAad read_aad(const py::object& aad, EntryOrder order);

// A `str` parameter read without copying what cannot change during the call:
// the UTF-8 of a str (the interpreter's own, as any conversion of it uses)
// and the bytes of a bytes object are viewed in place, while a bytearray,
// which a later argument's conversion could resize, is copied into a
// cleansed buffer. Accepts exactly what the std::string conversion accepts.
struct TextArg {
  std::string_view view;
  SecretString copy;

  TextArg() = default;
  TextArg(const TextArg&) = delete;
  TextArg& operator=(const TextArg&) = delete;
  ~TextArg() { cleanse(copy.data(), copy.size()); }
};

// The routine behind `encrypt`. Wipes `plaintext` before it returns.
// `plaintext` and `key_id` are copies, not views of the caller's objects: the
// conversions of the later arguments can run Python code (`__bool__`, a
// mapping's `items()`) that may resize a bytearray passed for them.
py::str py_encrypt(const TextArg& plaintext, const py::bytes& key, const std::string& key_id,
                   bool deterministic, const Metadata& metadata, const py::object& aad);

// The routine behind `decrypt`: a dict of "data", "metadata", "key_id" and
// "deterministic". Every token that does not decode or does not open raises
// std::runtime_error "qv: decryption failed.".
py::dict py_decrypt(std::string_view token, const py::bytes& key, const py::object& aad);

}  // namespace qv

namespace pybind11::detail {

template <>
class type_caster<qv::TextArg> {
 public:
  bool load(handle src, bool /*convert*/) {
    PyObject* obj = src.ptr();
    if (obj == nullptr) return false;
    if (PyUnicode_Check(obj)) {
      Py_ssize_t size = -1;
      const char* p = PyUnicode_AsUTF8AndSize(obj, &size);
      if (p == nullptr) {  // lone surrogates: not convertible, as for std::string
        PyErr_Clear();
        return false;
      }
      value.view = std::string_view(p, static_cast<std::size_t>(size));
      return true;
    }
    if (PyBytes_Check(obj)) {
      value.view =
          std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
      return true;
    }
    if (PyByteArray_Check(obj)) {
      value.copy.assign(PyByteArray_AS_STRING(obj),
                        static_cast<std::size_t>(PyByteArray_GET_SIZE(obj)));
      value.view = std::string_view(value.copy.data(), value.copy.size());
      return true;
    }
    return false;
  }

  template <typename T>
  using cast_op_type = qv::TextArg&;
  explicit operator qv::TextArg&() { return value; }
  static constexpr auto name = const_name(PYBIND11_STRING_NAME);

 private:
  qv::TextArg value;
};

}  // namespace pybind11::detail
