// The extension module `_bulk`: sealing and opening many values per call,
// with keys given as bytes. The calls themselves are in bulk_rows.cpp.
#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "python/bulk_rows.h"
#include "python/checked_def.h"
#include "python/convert.h"

namespace qv {
namespace {

py::list encrypt_many_py(const py::object& plaintexts, const py::bytes& key,
                         const std::string& key_id, bool deterministic,
                         const std::optional<Metadata>& metadata, const py::object& aad,
                         const py::object& threads) {
  // The argument checks of `encrypt`, in its order: the key and key id once
  // for the call, the rest for every row.
  const Sealer sealer(bytes_view(key), key_id, deterministic, metadata ? *metadata : Metadata{});
  return seal_rows(sealer, plaintexts, aad, threads);
}

py::list open_with(const py::object& tokens, const py::object& keys, const py::object& aad,
                   const std::string& errors, const py::object& threads, bool records) {
  const Keys key_arg = keys_arg(keys);
  OpenKeys open_keys;
  if (key_arg.is_single()) {
    open_keys.single = key_arg.single_key().data();
  } else {
    open_keys.by_id = &key_arg.by_id();
  }
  return open_rows(open_keys, tokens, aad, errors, threads, records);
}

py::list decrypt_many_py(const py::object& tokens, const py::object& keys, const py::object& aad,
                         const std::string& errors, const py::object& threads) {
  return open_with(tokens, keys, aad, errors, threads, false);
}

py::list decrypt_many_records_py(const py::object& tokens, const py::object& keys,
                                 const py::object& aad, const std::string& errors,
                                 const py::object& threads) {
  return open_with(tokens, keys, aad, errors, threads, true);
}

}  // namespace
}  // namespace qv

PYBIND11_MODULE(_bulk, m) {
  namespace py = pybind11;
  using namespace pybind11::literals;

  m.doc() = "qv.v2 bulk sealing and opening";

  qv::checked_def(m, "encrypt_many", &qv::encrypt_many_py, "plaintexts"_a, "key"_a, "key_id"_a,
                  py::kw_only(), "deterministic"_a = false, "metadata"_a = py::none(),
                  "aad"_a = py::none(), "threads"_a = py::none(),
                  "Encrypt every plaintext (None stays None) and return the list of qv.v2 tokens.");
  qv::checked_def(m, "decrypt_many", &qv::decrypt_many_py, "tokens"_a, "keys"_a, py::kw_only(),
                  "aad"_a = py::none(), "errors"_a = "raise", "threads"_a = py::none(),
                  "Decrypt every token (None stays None) and return the list of plaintexts.");
  qv::checked_def(m, "decrypt_many_records", &qv::decrypt_many_records_py, "tokens"_a, "keys"_a,
                  py::kw_only(), "aad"_a = py::none(), "errors"_a = "raise",
                  "threads"_a = py::none(),
                  "As decrypt_many, but each opened row is the dict that decrypt returns.");
  qv::guard_module(m);
}
