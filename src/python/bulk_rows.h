// The bulk calls over Python rows, for the modules that bind them with their
// own way of giving keys (qv._bulk: bytes; qv._ring: a ring's prepared keys).
// Messages, checks and their order are those of qv.encrypt_many and
// qv.decrypt_many; see bulk_rows.cpp.
#pragma once

#include <pybind11/pybind11.h>
#include <qv/token.h>

#include <string>

#include "bulk/bulk.h"

namespace qv {

namespace py = pybind11;

// Seals every row of `plaintexts` (None stays None) with the checked
// `sealer`, after reading `threads`, then the rows and `aad` (one for every
// row, or a list or tuple of one per row). Raises as encrypt_many does, with
// the failing row's index.
py::list seal_rows(const Sealer& sealer, const py::object& plaintexts, const py::object& aad,
                   const py::object& threads);

// Opens every row of `tokens` with `keys`, which must stay valid and unchanged
// for the call, after checking `errors` ("raise" or "null") and `threads`.
// Each opened row is its plaintext, or with `records` the dict that decrypt
// returns. Raises as decrypt_many does.
py::list open_rows(const OpenKeys& keys, const py::object& tokens, const py::object& aad,
                   const std::string& errors, const py::object& threads, bool records);

}  // namespace qv
