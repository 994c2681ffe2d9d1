// src/python: the bindings. The extension modules (native_module.cpp:
// qv._native, bulk_module.cpp: qv._bulk, arrow_module.cpp: qv._arrow,
// blind_module.cpp: qv._blind, ring_module.cpp: qv._ring) over one small
// static library compiled once for them: the conversions from Python declared here (convert.cpp,
// convert_aad.cpp), the bulk calls over Python rows (bulk_rows.h) and the
// registration guard (checked_def.h). May use pybind11, the Python C API, the public
// headers <qv/...> and, for the bulk and column routines that write straight
// into Python objects, the core's own headers; the core never includes these.
//
// These routines throw std::invalid_argument (Python ValueError) for a bad
// argument value and std::runtime_error (RuntimeError) for a failed step,
// each with a message that begins "qv: "; Python errors raised on the way
// (a failed UTF-8 decoding, a refused buffer) propagate unchanged.
#pragma once

#include <pybind11/pybind11.h>
#include <qv/qv.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

namespace py = pybind11;

// A copy of the bytes of `b` in a cleansed buffer.
SecretBytes bytes_to_vec(const py::bytes& b);

// A view of the bytes of `b`, valid while `b` lives and runs no Python code.
BytesView bytes_view(const py::bytes& b);

// A new `bytes` object holding `p[0..n)`. Throws std::runtime_error
// "Could not allocate bytes object!" if it cannot be created.
py::bytes vec_to_bytes(const std::uint8_t* p, std::size_t n);

// A new `str` decoded strictly from the UTF-8 bytes `s`; a UnicodeDecodeError
// propagates as py::error_already_set.
py::str utf8_to_str(std::string_view s);

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
Aad read_aad(const py::object& aad, EntryOrder order);

// `read_aad`, then the one text that gives the same associated data
// (`caller_aad_text`), as the bulk and column routines take it.
std::string read_aad_text(const py::object& aad, EntryOrder order);

// One key of a bulk call: TypeError "qv: a key must be bytes." for anything
// but bytes, then `checked_key`.
SecretBytes key_arg(py::handle key);

// The keys of a bulk or column opening: bytes for one key, or any object with
// an `items()` method (a dict, any Mapping) from key id (str, bytes or
// bytearray) to key. TypeError "qv: keys must be a 32-byte key or a mapping
// of key id to key." for anything else, "qv: a key id must be str, bytes or
// bytearray." for a bad key id; each key as `key_arg`.
Keys keys_arg(const py::object& keys);

// The worker count from `threads`: None for every usable core, else an int of
// at least 1 (TypeError "qv: threads must be an int or None.", ValueError
// "qv: threads must be at least 1.").
std::size_t thread_count(const py::object& threads);

// Sets the Python error for the exception in flight, as pybind11 would
// translate it at the call boundary. Call only from a catch block.
void set_error_from_current();

// Marks the Python error now set as the failure of row `i` and throws it: the
// index as its `row` attribute, for code, and as the note "row <i>", for
// people.
[[noreturn]] void throw_with_row(std::size_t i);

// Runs `f`; any failure becomes the Python exception a single call would
// raise, with the row index added as a note.
template <class F>
auto for_row(std::size_t i, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (...) {
    set_error_from_current();
    throw_with_row(i);
  }
}

}  // namespace qv
