#include <stdexcept>

#include "aad/aad.h"
#include "python/convert.h"

namespace qv {

Aad read_aad(const py::object& aad, EntryOrder order) {
  Aad out;
  PyObject* obj = aad.ptr();
  if (obj != nullptr && obj == Py_None) return out;
  if (obj != nullptr && PyUnicode_Check(obj)) {
    out.text = py::cast<std::string>(aad);
    return out;
  }
  if (obj != nullptr && PyDict_Check(obj)) {
    out.is_map = true;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Converting str, bytes or bytearray runs no Python code, so the dict
    // cannot change under the iteration.
    while (PyDict_Next(obj, &pos, &key, &value)) {
      std::string k;
      std::string v;
      if (order == EntryOrder::key_first) {
        k = py::cast<std::string>(py::handle(key));
        v = py::cast<std::string>(py::handle(value));
      } else {
        v = py::cast<std::string>(py::handle(value));
        k = py::cast<std::string>(py::handle(key));
      }
      out.map.insert_or_assign(std::move(k), std::move(v));
    }
    return out;
  }
  throw std::invalid_argument("qv: aad must be a string, dict, or None.");
}

std::string read_aad_text(const py::object& aad, EntryOrder order) {
  const Aad caller = read_aad(aad, order);
  return caller_aad_text(caller.text, caller.is_map ? &caller.map : nullptr);
}

}  // namespace qv
