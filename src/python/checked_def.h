// Registration of module functions whose argument errors never show a value.
//
// pybind11's dispatcher answers arguments that do not convert with a
// TypeError that lists the repr of every argument ("Invoked with: ..."): the
// key, the plaintext, the password. Every module function is therefore
// registered through `checked_def`, which registers it with `m.def` as usual
// and then puts a guard in its place on the module: a builtin function of the
// same name and docstring that calls the pybind11 function and, only when that
// fails with the argument-mismatch TypeError, drops it and raises a TypeError
// of its own that names the function, the parameter and the type received,
// never a value. Any other exception passes through untouched, so the moment
// and type of every error stay what they were.
//
// Message forms (each begins "qv: <function>()"):
//   argument 'key' must be bytes, not str
//   argument 'plaintext' cannot be encoded as UTF-8 (it holds a lone surrogate)
//   argument 'metadata' holds a str that cannot be encoded as UTF-8 (a lone surrogate)
//   argument 'metadata' must be a mapping of str to str, not one with a value of type int
//   argument 'N' is out of range: it must be an int from 0 to 18446744073709551615
//   takes at most 6 positional arguments (7 given)
//   got an unexpected keyword argument 'n'
//   got multiple values for argument 'key'
//   missing required argument 'key_id'
//   got arguments of types it does not take: (str, int)
//
// Uses pybind11 and the Python C API only.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace qv {

namespace py = pybind11;

// What a parameter's C++ type takes, for naming what a refused argument
// should have been.
enum class ParamKind { any, text, bytes, boolean, integer, text_mapping, tuple, buffer, other };

// How one parameter converts: `loads` is the conversion pybind11 itself runs
// for it (pybind11's type caster, so the guard and the dispatcher never
// disagree), and the rest describes what it accepts.
struct ParamCheck {
  bool (*loads)(py::handle value, bool convert) = nullptr;
  ParamKind kind = ParamKind::other;
  bool or_none = false;
  long long min = 0;  // integer kinds: the range the C++ type holds
  unsigned long long max = 0;
};

template <class T>
bool loads_as(py::handle value, bool convert) {
  py::detail::make_caster<T> caster;
  return caster.load(value, convert);
}

template <class T, class = void>
struct param_kind_of {
  static constexpr ParamKind value = ParamKind::other;
};
template <class T>
struct param_kind_of<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
  static constexpr ParamKind value = ParamKind::integer;
};
template <>
struct param_kind_of<bool> {
  static constexpr ParamKind value = ParamKind::boolean;
};
template <class Alloc>
struct param_kind_of<std::basic_string<char, std::char_traits<char>, Alloc>> {
  static constexpr ParamKind value = ParamKind::text;
};
template <>
struct param_kind_of<std::string_view> {
  static constexpr ParamKind value = ParamKind::text;
};
template <>
struct param_kind_of<py::bytes> {
  static constexpr ParamKind value = ParamKind::bytes;
};
template <>
struct param_kind_of<py::tuple> {
  static constexpr ParamKind value = ParamKind::tuple;
};
template <>
struct param_kind_of<py::buffer> {
  static constexpr ParamKind value = ParamKind::buffer;
};
template <>
struct param_kind_of<py::object> {
  static constexpr ParamKind value = ParamKind::any;
};
template <class K, class V, class C, class A>
struct param_kind_of<std::map<K, V, C, A>> {
  static constexpr ParamKind value =
      param_kind_of<K>::value == ParamKind::text && param_kind_of<V>::value == ParamKind::text
          ? ParamKind::text_mapping
          : ParamKind::other;
};

template <class T>
struct param_check_of {
  static ParamCheck get() {
    ParamCheck check;
    check.loads = &loads_as<T>;
    check.kind = param_kind_of<T>::value;
    if constexpr (param_kind_of<T>::value == ParamKind::integer) {
      check.min = static_cast<long long>(std::numeric_limits<T>::min());
      check.max = static_cast<unsigned long long>(std::numeric_limits<T>::max());
    }
    return check;
  }
};
template <class T>
struct param_check_of<std::optional<T>> {
  static ParamCheck get() {
    ParamCheck check = param_check_of<T>::get();
    check.loads = &loads_as<std::optional<T>>;
    check.or_none = true;
    return check;
  }
};

// The check for a parameter declared as `T` (a reference or const included).
template <class T>
ParamCheck param_check() {
  return param_check_of<std::remove_cv_t<std::remove_reference_t<T>>>::get();
}

// Puts the guard in place of the pybind11 function `name` of `m`, with one
// check per C++ parameter (none known when `params` is empty). Throws
// std::runtime_error if `name` is not a pybind11 function of `m`.
void guard_function(py::module_& m, const char* name, std::vector<ParamCheck> params);

// Guards every pybind11 function of `m` that is not guarded yet, with no
// per-parameter checks: a function registered with a plain `m.def` still
// never lets pybind11's message out, though its refusals say less. Call last
// in each module's initialisation.
void guard_module(py::module_& m);

// `m.def(name, f, extra...)`, then the guard, with checks from `f`'s types.
template <class Return, class... Args, class... Extra>
void checked_def(py::module_& m, const char* name, Return (*f)(Args...), const Extra&... extra) {
  m.def(name, f, extra...);
  guard_function(m, name, {param_check<Args>()...});
}

}  // namespace qv
