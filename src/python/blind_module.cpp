// The extension module `_blind`: blind index values of many values per call,
// for qv.blind. The lock is held to read the rows (views of str and bytes
// objects the call's own list keeps referenced; bytearrays copied) or an Arrow
// column's buffers (held through the buffer protocol, offsets copied and
// checked), and released while the core hashes them.
#include <pybind11/pybind11.h>
#include <qv/blind.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "column/column.h"
#include "python/checked_def.h"
#include "python/convert.h"

namespace qv {
namespace {

unsigned checked_bits(int bits) {
  if (bits < 1 || bits > 256) throw std::invalid_argument("qv: bits must be from 1 to 256.");
  return static_cast<unsigned>(bits);
}

void hash_all(const SecretBytes& key, unsigned bits, const std::vector<std::string_view>& views,
              const std::vector<char>& skip, std::string& out) {
  bool ok = false;
  {
    const py::gil_scoped_release unlocked;
    static_assert(sizeof(bool) == sizeof(char), "skip flags are read as bool");
    ok = blind_many(key.data(), bits, views.data(), reinterpret_cast<const bool*>(skip.data()),
                    views.size(), out.data());
  }
  if (!ok) throw std::runtime_error("qv: blind index computation failed.");
}

py::list results(const std::string& out, const std::vector<char>& skip, std::size_t width) {
  py::list list(skip.size());
  for (std::size_t i = 0; i < skip.size(); ++i) {
    if (skip[i]) {
      PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(Py_None));
      continue;
    }
    PyObject* s =
        PyUnicode_FromStringAndSize(out.data() + i * width, static_cast<Py_ssize_t>(width));
    if (s == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), s);
  }
  return list;
}

py::list compute_many_py(const py::object& values, const py::bytes& key, int bits) {
  const unsigned b = checked_bits(bits);
  const SecretBytes k = key_arg(key);
  PyObject* obj = values.ptr();
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) || PyDict_Check(obj))
    throw py::type_error("qv: values must be a sequence of str, bytes or None.");
  // The call's own list: nothing that runs meanwhile can resize it or drop a row.
  const py::object rows = py::reinterpret_steal<py::object>(PySequence_List(obj));
  if (!rows) {
    PyErr_Clear();
    throw py::type_error("qv: values must be a sequence of str, bytes or None.");
  }
  const std::size_t n = static_cast<std::size_t>(PyList_GET_SIZE(rows.ptr()));
  std::vector<std::string_view> views(n);
  std::vector<char> skip(n, 0);
  // Bytearrays are copied: another thread could resize them without the lock.
  std::vector<std::string> copies;
  std::vector<std::size_t> copied_rows;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(rows.ptr(), static_cast<Py_ssize_t>(i));
    if (item == Py_None) {
      skip[i] = 1;
    } else if (PyUnicode_Check(item)) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(item, &size);
      if (data == nullptr) {
        PyErr_Clear();
        throw py::type_error("qv: row " + std::to_string(i) +
                             " is a str that cannot be encoded as UTF-8.");
      }
      views[i] = std::string_view(data, static_cast<std::size_t>(size));
    } else if (PyBytes_Check(item)) {
      views[i] = std::string_view(PyBytes_AS_STRING(item),
                                  static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
    } else if (PyByteArray_Check(item)) {
      copies.emplace_back(PyByteArray_AS_STRING(item),
                          static_cast<std::size_t>(PyByteArray_GET_SIZE(item)));
      copied_rows.push_back(i);
    } else {
      throw py::type_error("qv: row " + std::to_string(i) + " must be str, bytes or None, not " +
                           Py_TYPE(item)->tp_name + ".");
    }
  }
  for (std::size_t j = 0; j < copied_rows.size(); ++j) views[copied_rows[j]] = copies[j];
  const std::size_t width = blind_hex_size(b);
  std::string out(n * width, '\0');
  hash_all(k, b, views, skip, out);
  return results(out, skip, width);
}

// An Arrow string or binary column given as (validity, offsets, data, large,
// offset, length): its rows' index values, None for null rows.
py::list compute_column_py(const py::tuple& column, const py::bytes& key, int bits) {
  const unsigned b = checked_bits(bits);
  const SecretBytes k = key_arg(key);
  if (column.size() != 6) throw std::invalid_argument("qv: a column is six fields.");
  std::vector<py::buffer_info> held;
  ColumnView v;
  auto view_of = [&held](py::handle obj, std::size_t& size) -> const std::uint8_t* {
    size = 0;
    if (obj.is_none()) return nullptr;
    held.push_back(py::reinterpret_borrow<py::buffer>(obj).request());
    const py::buffer_info& info = held.back();
    size = static_cast<std::size_t>(info.size * info.itemsize);
    return static_cast<const std::uint8_t*>(info.ptr);
  };
  held.reserve(3);
  v.validity = view_of(column[0], v.validity_size);
  v.offsets = view_of(column[1], v.offsets_size);
  v.data = view_of(column[2], v.data_size);
  v.large = column[3].cast<bool>();
  v.offset = column[4].cast<std::size_t>();
  v.length = column[5].cast<std::size_t>();
  ColumnCopy copy;
  if (!copy_column(v, copy)) {
    throw std::invalid_argument("qv: the array's buffers do not match its length and offsets.");
  }
  const std::size_t n = v.length;
  std::vector<std::string_view> views(n);
  std::vector<char> skip(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (!column_valid(copy.view, i)) {
      skip[i] = 1;
      continue;
    }
    views[i] = column_value(copy.view, i);
  }
  const std::size_t width = blind_hex_size(b);
  std::string out(n * width, '\0');
  hash_all(k, b, views, skip, out);
  return results(out, skip, width);
}

}  // namespace
}  // namespace qv

PYBIND11_MODULE(_blind, m) {
  using namespace pybind11::literals;
  m.doc() = "Blind index values of many values per call (see qv.blind).";
  qv::checked_def(m, "compute_many", &qv::compute_many_py, "values"_a, "key"_a, "bits"_a,
                  "HMAC-SHA256 of each value (str as UTF-8, bytes) under the 32-byte `key`, "
                  "truncated to `bits` bits, as lower-case hex; None stays None.");
  qv::checked_def(m, "compute_column", &qv::compute_column_py, "column"_a, "key"_a, "bits"_a,
                  "compute_many over an Arrow string column given as (validity, offsets, data, "
                  "large, offset, length).");
  qv::guard_module(m);
}
