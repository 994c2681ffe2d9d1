#include "python/convert.h"

#include <new>
#include <stdexcept>
#include <string>

namespace qv {

SecretBytes bytes_to_vec(const py::bytes& b) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(b.ptr()));
  return SecretBytes(p, p + PyBytes_GET_SIZE(b.ptr()));
}

BytesView bytes_view(const py::bytes& b) {
  return BytesView(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(b.ptr())),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr())));
}

py::bytes vec_to_bytes(const std::uint8_t* p, std::size_t n) {
  return py::bytes(reinterpret_cast<const char*>(p), n);
}

py::str utf8_to_str(std::string_view s) {
  PyObject* obj = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
  if (obj == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(obj);
}

SecretBytes key_arg(py::handle key) {
  if (!PyBytes_Check(key.ptr())) throw py::type_error("qv: a key must be bytes.");
  return checked_key(bytes_view(py::reinterpret_borrow<py::bytes>(key)));
}

Keys keys_arg(const py::object& keys) {
  if (PyBytes_Check(keys.ptr())) return Keys::single(bytes_view(keys.cast<py::bytes>()));
  // One rule for every caller: a dict or anything else with `items()`, as
  // qv.decrypt_many documents a Mapping.
  const bool mapping = PyDict_Check(keys.ptr()) || py::hasattr(keys, "items");
  if (!mapping)
    throw py::type_error("qv: keys must be a 32-byte key or a mapping of key id to key.");
  Keys out;
  for (const auto& entry : keys.attr("items")()) {
    const auto pair = py::reinterpret_borrow<py::tuple>(entry);
    if (pair.size() != 2)
      throw py::type_error("qv: keys must be a 32-byte key or a mapping of key id to key.");
    std::string id;
    try {
      id = py::cast<std::string>(pair[0]);
    } catch (const py::cast_error&) {
      throw py::type_error("qv: a key id must be str, bytes or bytearray.");
    }
    const SecretBytes key = key_arg(pair[1]);
    out.add(std::move(id), key);
  }
  return out;
}

std::size_t thread_count(const py::object& threads) {
  if (threads.is_none()) return usable_cores();
  if (!PyLong_Check(threads.ptr())) throw py::type_error("qv: threads must be an int or None.");
  const long long value = PyLong_AsLongLong(threads.ptr());
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (value < 1) throw std::invalid_argument("qv: threads must be at least 1.");
  return static_cast<std::size_t>(value);
}

void set_error_from_current() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const py::builtin_exception& e) {
    e.set_error();
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
}

void throw_with_row(std::size_t i) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* value = PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr) PyException_SetTraceback(value, tb);
#endif
  const std::string note = "row " + std::to_string(i);
  PyObject* added = PyObject_CallMethod(value, "add_note", "s", note.c_str());
  if (added == nullptr) {
    // The note could not be added; report the row's own error all the same.
    PyErr_Clear();
  }
  Py_XDECREF(added);
  PyObject* row = PyLong_FromSize_t(i);
  if (row == nullptr || PyObject_SetAttrString(value, "row", row) != 0) PyErr_Clear();
  Py_XDECREF(row);
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(value);
#else
  PyErr_Restore(type, value, tb);
#endif
  throw py::error_already_set();
}

}  // namespace qv
