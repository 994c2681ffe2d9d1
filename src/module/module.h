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
#include "common/common.h"

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

// The routine behind `encrypt`. Wipes `plaintext` before it returns.
// `plaintext` and `key_id` are copies, not views of the caller's objects: the
// conversions of the later arguments can run Python code (`__bool__`, a
// mapping's `items()`) that may resize a bytearray passed for them.
py::str py_encrypt(SecretString& plaintext, const py::bytes& key, const std::string& key_id,
                   bool deterministic, const Metadata& metadata, const py::object& aad);

// The routine behind `decrypt`: a dict of "data", "metadata", "key_id" and
// "deterministic". Every token that does not decode or does not open raises
// std::runtime_error "qv: decryption failed.".
py::dict py_decrypt(std::string_view token, const py::bytes& key, const py::object& aad);

}  // namespace qv
