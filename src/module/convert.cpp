#include "module/module.h"

namespace qv {

SecretBytes bytes_to_vec(const py::bytes& b) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(b.ptr()));
  return SecretBytes(p, p + PyBytes_GET_SIZE(b.ptr()));
}

py::bytes vec_to_bytes(const std::uint8_t* p, std::size_t n) {
  return py::bytes(reinterpret_cast<const char*>(p), n);
}

py::str utf8_to_str(std::string_view s) {
  PyObject* obj = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
  if (obj == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(obj);
}

}  // namespace qv
