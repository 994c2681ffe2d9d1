#include "python/checked_def.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

namespace qv {
namespace {

struct Param {
  std::string name;
  bool has_default = false;
  bool convert = true;
  ParamCheck check;
};

// What a guard knows of the function it stands for.
struct Guarded {
  std::string name;
  std::string module;
  std::string doc;
  std::string mismatch;  // how pybind11's mismatch message begins
  std::vector<Param> params;
  std::size_t positional = 0;       // parameters that may be given by position
  std::size_t positional_only = 0;  // of which, those that may not be named
  bool variadic = false;            // *args or **kwargs: binding not diagnosed
  bool typed = false;               // `params` carry the C++ types' checks
  PyMethodDef def{};
};

// The object a guard function is bound to: the pybind11 function it calls and
// what is known of it. Its `__reduce__` names the module, so that pickling a
// guard function (as a builtin bound to this object) finds it again by name.
struct GuardObject {
  PyObject_HEAD PyObject* target;
  Guarded* guarded;
};

void guard_dealloc(PyObject* self) {
  auto* g = reinterpret_cast<GuardObject*>(self);
  Py_XDECREF(g->target);
  delete g->guarded;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* guard_reduce(PyObject* self, PyObject*) {
  const auto* g = reinterpret_cast<GuardObject*>(self);
  PyObject* importlib = PyImport_ImportModule("importlib");
  if (importlib == nullptr) return nullptr;
  PyObject* import_module = PyObject_GetAttrString(importlib, "import_module");
  Py_DECREF(importlib);
  if (import_module == nullptr) return nullptr;
  return Py_BuildValue("N(s)", import_module, g->guarded->module.c_str());
}

PyMethodDef guard_methods[] = {
    {"__reduce__", &guard_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot guard_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&guard_dealloc)},
    {Py_tp_methods, guard_methods},
    {0, nullptr},
};

PyType_Spec guard_spec = {"qv.checked_function", sizeof(GuardObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, guard_slots};

PyTypeObject* guard_type() {
  // Made once per extension and kept for the life of the process.
  static PyObject* type = PyType_FromSpec(&guard_spec);
  if (type == nullptr) throw py::error_already_set();
  return reinterpret_cast<PyTypeObject*>(type);
}

std::string type_name(PyObject* value) { return Py_TYPE(value)->tp_name; }

// Whether `value` is a str that has no UTF-8 form (it holds a lone
// surrogate). The UnicodeEncodeError, whose `object` is the text, is dropped.
bool unencodable(PyObject* value) {
  if (!PyUnicode_Check(value)) return false;
  if (PyUnicode_AsUTF8AndSize(value, nullptr) != nullptr) return false;
  PyErr_Clear();
  return true;
}

std::string expected_text(const ParamCheck& check) {
  std::string text;
  switch (check.kind) {
    case ParamKind::text: text = "str"; break;
    case ParamKind::bytes: text = "bytes"; break;
    case ParamKind::boolean: text = "bool"; break;
    case ParamKind::integer: text = "int"; break;
    case ParamKind::text_mapping: text = "a mapping of str to str"; break;
    case ParamKind::tuple: text = "tuple"; break;
    case ParamKind::buffer: text = "a bytes-like object"; break;
    case ParamKind::any:
    case ParamKind::other: return {};
  }
  return check.or_none ? text + " or None" : text;
}

// Why the entries of a mapping do not convert to text, or empty when it is
// not a mapping or they all do. Reads the mapping's items() once more; an
// error from it is dropped, since the mismatch is what gets reported.
std::string mapping_fault(PyObject* value) {
  if (!PyDict_Check(value) && !PyObject_HasAttrString(value, "items")) return {};
  py::object items =
      py::reinterpret_steal<py::object>(PyObject_CallMethod(value, "items", nullptr));
  if (!items) {
    PyErr_Clear();
    return {};
  }
  py::object iter = py::reinterpret_steal<py::object>(PyObject_GetIter(items.ptr()));
  if (!iter) {
    PyErr_Clear();
    return {};
  }
  while (PyObject* entry = PyIter_Next(iter.ptr())) {
    const py::object held = py::reinterpret_steal<py::object>(entry);
    if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2) continue;
    for (Py_ssize_t half = 0; half < 2; ++half) {
      PyObject* item = PyTuple_GET_ITEM(entry, half);
      const char* which = half == 0 ? "key" : "value";
      if (unencodable(item))
        return "holds a str that cannot be encoded as UTF-8 (a lone surrogate)";
      if (!PyUnicode_Check(item) && !PyBytes_Check(item) && !PyByteArray_Check(item)) {
        return std::string("must be a mapping of str to str, not one with a ") + which +
               " of type " + type_name(item);
      }
    }
  }
  PyErr_Clear();
  return {};
}

// Why argument `value` does not convert to parameter `p`; empty when it does
// (the conversion is run again, as pybind11 ran it).
std::string argument_fault(const Param& p, PyObject* value, bool typed) {
  if (!typed) {
    // With no type known, a text with no UTF-8 form is the one refusal that
    // can be told apart: every text parameter refuses it.
    if (unencodable(value)) return "cannot be encoded as UTF-8 (it holds a lone surrogate)";
    return {};
  }
  const ParamCheck& check = p.check;
  if (check.loads == nullptr) return {};
  bool accepted = false;
  try {
    accepted = check.loads(value, p.convert);
  } catch (const py::error_already_set&) {
    accepted = false;
  }
  PyErr_Clear();
  if (accepted) return {};
  if (check.or_none && value == Py_None) return {};
  if (check.kind == ParamKind::text && unencodable(value)) {
    return "cannot be encoded as UTF-8 (it holds a lone surrogate)";
  }
  if (check.kind == ParamKind::integer && PyLong_Check(value)) {
    return "is out of range: it must be an int from " + std::to_string(check.min) + " to " +
           std::to_string(check.max) + (check.or_none ? " or None" : "");
  }
  if (check.kind == ParamKind::text_mapping) {
    std::string fault = mapping_fault(value);
    if (!fault.empty()) return fault;
  }
  const std::string expected = expected_text(check);
  if (expected.empty()) return "has a type it does not take: " + type_name(value);
  return "must be " + expected + ", not " + type_name(value);
}

// A keyword given by the caller, quoted when it reads as a name.
std::string keyword_text(PyObject* keyword) {
  if (!PyUnicode_Check(keyword) || PyUnicode_GET_LENGTH(keyword) > 64 ||
      PyUnicode_IsIdentifier(keyword) != 1) {
    return "an unexpected keyword argument";
  }
  const char* text = PyUnicode_AsUTF8(keyword);
  if (text == nullptr) {
    PyErr_Clear();
    return "an unexpected keyword argument";
  }
  return std::string("an unexpected keyword argument '") + text + "'";
}

// Binds the arguments to the parameters as the dispatcher does and names the
// first thing wrong with them, in Python's own order: surplus positional
// arguments, keywords, missing arguments, then each argument's type.
std::string diagnose(const Guarded& g, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const std::size_t given = static_cast<std::size_t>(nargs);
  const std::size_t count = g.params.size();
  std::vector<PyObject*> bound(count, nullptr);
  if (!g.variadic) {
    if (given > g.positional) {
      if (count == 0) return "takes no arguments (" + std::to_string(given) + " given)";
      return "takes at most " + std::to_string(g.positional) + " positional argument" +
             (g.positional == 1 ? "" : "s") + " (" + std::to_string(given) + " given)";
    }
    for (std::size_t i = 0; i < given; ++i) bound[i] = args[i];
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
      std::size_t found = count;
      for (std::size_t i = g.positional_only; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, g.params[i].name.c_str()) == 0) {
          found = i;
          break;
        }
      }
      if (found == count) return "got " + keyword_text(keyword);
      if (bound[found] != nullptr) {
        return "got multiple values for argument '" + g.params[found].name + "'";
      }
      bound[found] = args[given + static_cast<std::size_t>(k)];
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (bound[i] == nullptr && !g.params[i].has_default) {
        return "missing required argument '" + g.params[i].name + "'";
      }
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (bound[i] == nullptr) continue;
      const std::string fault = argument_fault(g.params[i], bound[i], g.typed);
      if (!fault.empty()) return "argument '" + g.params[i].name + "' " + fault;
    }
  }
  // Nothing single stands out (overloads, *args, or a conversion that
  // changed its mind): the types of what was given.
  std::string types;
  const std::size_t total =
      given + (kwnames == nullptr ? 0 : static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)));
  for (std::size_t i = 0; i < total; ++i) {
    if (i > 0) types += ", ";
    types += type_name(args[i]);
  }
  return "got arguments of types it does not take: (" + types + ")";
}

// Whether the error now set is pybind11's argument mismatch for `g`.
bool is_mismatch(const Guarded& g, PyObject* value) {
  if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    return false;
  }
  PyObject* text = PyObject_Str(value);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  const bool match = utf8 != nullptr && static_cast<std::size_t>(size) >= g.mismatch.size() &&
                     std::memcmp(utf8, g.mismatch.data(), g.mismatch.size()) == 0;
  if (utf8 == nullptr) PyErr_Clear();
  Py_DECREF(text);
  return match;
}

PyObject* call_guarded(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto* g = reinterpret_cast<GuardObject*>(self);
  PyObject* result = PyObject_Vectorcall(g->target, args, static_cast<std::size_t>(nargs), kwnames);
  if (result != nullptr) return result;
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* value = PyErr_GetRaisedException();
  if (value == nullptr) return nullptr;
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  if (value == nullptr) return nullptr;
#endif
  if (!is_mismatch(*g->guarded, value)) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
#endif
    return nullptr;
  }
  // The mismatch message holds every argument's repr: it goes, and nothing
  // raised from here links back to it.
  Py_DECREF(value);
  try {
    const std::string message =
        "qv: " + g->guarded->name + "() " + diagnose(*g->guarded, args, nargs, kwnames);
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, message.c_str());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "qv: arguments of the wrong type.");
  }
  return nullptr;
}

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The pybind11 function record behind `function`, or null for anything else
// (a guard included).
const py::detail::function_record* record_of(PyObject* function) {
  if (!PyCFunction_Check(function)) return nullptr;
  PyObject* self = PyCFunction_GET_SELF(function);
  if (self == nullptr) return nullptr;
  return py::detail::function_record_ptr_from_PyObject(self);
}

void install_guard(py::module_& m, const char* name, PyObject* function,
                   const py::detail::function_record& rec, std::vector<ParamCheck> params) {
  auto guarded = std::make_unique<Guarded>();
  guarded->name = rec.name;
  guarded->module = py::str(m.attr("__name__"));
  const char* doc = reinterpret_cast<PyCFunctionObject*>(function)->m_ml->ml_doc;
  if (doc != nullptr) guarded->doc = doc;
  guarded->mismatch = guarded->name + "(): incompatible function arguments";
  guarded->variadic = rec.has_args || rec.has_kwargs || rec.next != nullptr || rec.is_method;
  guarded->positional = rec.nargs_pos;
  guarded->positional_only = rec.nargs_pos_only;
  const std::size_t count = rec.nargs;
  guarded->typed = params.size() == count;
  if (!guarded->typed) params.assign(count, ParamCheck{});
  for (std::size_t i = 0; i < count; ++i) {
    Param p;
    if (i < rec.args.size()) {
      p.name = rec.args[i].name != nullptr ? rec.args[i].name : "arg" + std::to_string(i);
      p.has_default = static_cast<bool>(rec.args[i].value);
      p.convert = rec.args[i].convert;
    } else {
      p.name = "arg" + std::to_string(i);
    }
    if (i < params.size()) p.check = params[i];
    guarded->params.push_back(std::move(p));
  }

  GuardObject* self = PyObject_New(GuardObject, guard_type());
  if (self == nullptr) throw py::error_already_set();
  self->target = Py_NewRef(function);
  self->guarded = guarded.release();
  const py::object owner = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
  PyMethodDef& def = self->guarded->def;
  def.ml_name = self->guarded->name.c_str();
  def.ml_meth = reinterpret_cast<PyCFunction>(
      reinterpret_cast<void (*)()>(static_cast<FastCall>(&call_guarded)));
  def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
  def.ml_doc = doc != nullptr ? self->guarded->doc.c_str() : nullptr;
  const py::str module_name(self->guarded->module);
  PyObject* guard = PyCFunction_NewEx(&def, owner.ptr(), module_name.ptr());
  if (guard == nullptr) throw py::error_already_set();
  m.attr(name) = py::reinterpret_steal<py::object>(guard);
}

}  // namespace

void guard_function(py::module_& m, const char* name, std::vector<ParamCheck> params) {
  const py::object function = m.attr(name);
  const py::detail::function_record* rec = record_of(function.ptr());
  if (rec == nullptr) throw std::runtime_error(std::string("qv: no pybind11 function ") + name);
  install_guard(m, name, function.ptr(), *rec, std::move(params));
}

void guard_module(py::module_& m) {
  const py::dict members = m.attr("__dict__");
  std::vector<std::pair<std::string, py::object>> unguarded;
  for (const auto& item : members) {
    if (record_of(item.second.ptr()) != nullptr) {
      unguarded.emplace_back(py::str(item.first), py::reinterpret_borrow<py::object>(item.second));
    }
  }
  for (const auto& [name, function] : unguarded) {
    install_guard(m, name.c_str(), function.ptr(), *record_of(function.ptr()), {});
  }
}

}  // namespace qv
