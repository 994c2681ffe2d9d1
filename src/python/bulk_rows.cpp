// The bodies of the bulk calls, shared by qv._bulk (keys given as bytes) and
// qv._ring (a key ring's prepared keys): the rows read in chunks with the
// interpreter lock held, sealed or opened with it released.
//
// A call runs in chunks of rows. For each chunk the interpreter lock is held
// to read the rows (views of str and bytes objects that the call's own copy
// of the row list keeps referenced; bytearrays copied, since another thread
// could resize them) and
// to make the result strings; it is released while the core seals or opens
// the chunk over worker threads, writing straight into those strings (or a
// cleansed buffer). Chunks bound the working memory to a few megabytes
// whatever the batch size.
#include "python/bulk_rows.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "python/convert.h"
#include "token/token.h"

namespace qv {
namespace {

// Rows per chunk, and the plaintext or token bytes after which a chunk ends
// early, so that copies and buffers stay small.
constexpr std::size_t chunk_rows = 8192;
constexpr std::size_t chunk_bytes = std::size_t{16} << 20;

// The rows argument as a new list that only the call holds: nothing that runs
// during the call (a row's `__del__`, a mapping's `items()`, another thread
// while the lock is released) can resize it or drop a row it reads. A lone
// text is refused rather than taken as a sequence of characters.
py::object row_sequence(const py::object& rows, const char* name) {
  PyObject* obj = rows.ptr();
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) || PyDict_Check(obj))
    throw py::type_error(std::string("qv: ") + name +
                         " must be a sequence of str, bytes, bytearray or None.");
  PyObject* seq = PySequence_List(obj);
  if (seq == nullptr) {
    PyErr_Clear();
    throw py::type_error(std::string("qv: ") + name +
                         " must be a sequence of str, bytes, bytearray or None.");
  }
  return py::reinterpret_steal<py::object>(seq);
}

// The caller's `aad`: one value for every row, or a list or tuple of one per
// row.
struct AadArg {
  py::object shared;
  py::object per_row;  // the call's own list, when given so
};

AadArg aad_arg(const py::object& aad, std::size_t n) {
  AadArg out;
  if (PyList_Check(aad.ptr()) || PyTuple_Check(aad.ptr())) {
    // Copied, as the rows are: reading a dict entry runs Python code.
    out.per_row = py::reinterpret_steal<py::object>(PySequence_List(aad.ptr()));
    if (!out.per_row) throw py::error_already_set();
    if (static_cast<std::size_t>(PyList_GET_SIZE(out.per_row.ptr())) != n)
      throw std::invalid_argument("qv: aad must hold one entry per row.");
  } else {
    out.shared = aad;
  }
  return out;
}

py::handle aad_of(const AadArg& aad, std::size_t i) {
  if (aad.per_row) return PyList_GET_ITEM(aad.per_row.ptr(), static_cast<Py_ssize_t>(i));
  return aad.shared;
}

// A row's text: a view of a str's UTF-8 or of a bytes object, or a copy of a
// bytearray in `copies`. Returns false for None. Throws TypeError for
// anything else, as a single call refuses it.
struct RowText {
  std::string_view view;
  std::size_t copy_at = 0;  // where a bytearray's copy starts in `copies`
  bool copied = false;
};

bool read_row(PyObject* item, RowText& out, SecretBytes& copies, const char* what) {
  if (item == Py_None) return false;
  if (PyUnicode_Check(item)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(item, &size);
    if (data == nullptr) {
      PyErr_Clear();
      throw py::type_error(std::string("qv: ") + what + " must be a str encodable as UTF-8.");
    }
    out.view = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  if (PyBytes_Check(item)) {
    out.view =
        std::string_view(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
    return true;
  }
  if (PyByteArray_Check(item)) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(item));
    out.copy_at = copies.size();
    out.copied = true;
    out.view = std::string_view(nullptr, static_cast<std::size_t>(PyByteArray_GET_SIZE(item)));
    copies.insert(copies.end(), p, p + out.view.size());
    return true;
  }
  throw py::type_error(std::string("qv: ") + what + " must be str, bytes, bytearray or None.");
}

// Points the views of copied rows into `copies`, once it has stopped growing.
std::string_view settle(const RowText& row, const SecretBytes& copies) {
  if (!row.copied) return row.view;
  return std::string_view(reinterpret_cast<const char*>(copies.data()) + row.copy_at,
                          row.view.size());
}

}  // namespace

py::list seal_rows(const Sealer& sealer, const py::object& plaintexts, const py::object& aad,
                   const py::object& threads) {
  const std::size_t workers = thread_count(threads);
  const py::object seq = row_sequence(plaintexts, "plaintexts");
  const std::size_t n = static_cast<std::size_t>(PyList_GET_SIZE(seq.ptr()));
  const AadArg aad_rows = aad_arg(aad, n);

  // A shared `aad` is read once; its error, if any, is each row's.
  std::optional<std::string> shared_aad;
  std::optional<py::error_already_set> shared_aad_error;
  if (!aad_rows.per_row) {
    try {
      shared_aad = read_aad_text(aad_rows.shared, EntryOrder::key_first);
    } catch (...) {
      set_error_from_current();
      shared_aad_error.emplace();
    }
  }

  SealBatch batch;
  batch.key = sealer.key().data();
  batch.key_id = sealer.key_id();
  batch.deterministic = sealer.deterministic();
  batch.metadata_text = sealer.metadata_text();

  py::list result(n);
  std::vector<RowText> texts;
  std::vector<std::string> row_aads;
  std::vector<SealRow> rows;
  std::vector<RowStatus> status;
  SecretBytes copies;
  for (std::size_t start = 0; start < n;) {
    texts.clear();
    row_aads.clear();
    rows.clear();
    status.clear();
    copies.clear();
    std::size_t bytes = 0;
    std::size_t end = start;
    for (; end < n && end - start < chunk_rows && bytes < chunk_bytes; ++end) {
      PyObject* item = PyList_GET_ITEM(seq.ptr(), static_cast<Py_ssize_t>(end));
      RowText text;
      std::string row_aad;
      const bool present = for_row(end, [&] {
        if (!read_row(item, text, copies, "plaintext")) return false;
        sealer.check_value(text.view.size());
        if (shared_aad_error) {
          shared_aad_error->restore();
          throw py::error_already_set();
        }
        if (aad_rows.per_row) {
          row_aad = read_aad_text(py::reinterpret_borrow<py::object>(aad_of(aad_rows, end)),
                                  EntryOrder::key_first);
        }
        return true;
      });
      texts.push_back(text);
      row_aads.push_back(std::move(row_aad));
      status.push_back(present ? RowStatus::ok : RowStatus::null);
      bytes += text.view.size();
    }

    const std::size_t count = end - start;
    rows.resize(count);
    for (std::size_t j = 0; j < count; ++j) {
      if (status[j] == RowStatus::null) continue;
      rows[j].plaintext = settle(texts[j], copies);
      rows[j].aad = aad_rows.per_row ? std::string_view(row_aads[j]) : *shared_aad;
      const std::size_t size = sealed_size(batch, rows[j].plaintext.size());
      // Filled with the lock released, before anyone else can see it.
      PyObject* token = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
      if (token == nullptr) throw py::error_already_set();
      rows[j].out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(token));
      PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(start + j), token);
    }
    for (std::size_t j = 0; j < count; ++j) {
      if (status[j] == RowStatus::null)
        PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(start + j), Py_NewRef(Py_None));
    }

    {
      const py::gil_scoped_release unlocked;
      seal_many(batch, rows.data(), count, status.data(), workers);
    }
    for (std::size_t j = 0; j < count; ++j) {
      if (status[j] == RowStatus::siv_failed) {
        PyErr_SetString(PyExc_RuntimeError, "qv: SIV nonce derivation failed.");
        throw_with_row(start + j);
      }
      if (status[j] == RowStatus::failed) {
        PyErr_SetString(PyExc_RuntimeError, "qv: encryption failed.");
        throw_with_row(start + j);
      }
    }
    start = end;
  }
  return result;
}

namespace {

// A row's plaintext as a str. ASCII text, which the worker has already
// recognised, is copied into a new compact str without a second scan.
py::object plaintext_str(std::string_view text, bool ascii) {
  if (!ascii) return utf8_to_str(text);
  PyObject* obj = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
  if (obj == nullptr) throw py::error_already_set();
  std::memcpy(PyUnicode_1BYTE_DATA(obj), text.data(), text.size());
  return py::reinterpret_steal<py::object>(obj);
}

}  // namespace

py::list open_rows(const OpenKeys& open_keys, const py::object& tokens, const py::object& aad,
                   const std::string& errors, const py::object& threads, bool records) {
  if (errors != "raise" && errors != "null")
    throw std::invalid_argument("qv: errors must be 'raise' or 'null'.");
  const bool raise = errors == "raise";
  const std::size_t workers = thread_count(threads);
  const py::object seq = row_sequence(tokens, "tokens");
  const std::size_t n = static_cast<std::size_t>(PyList_GET_SIZE(seq.ptr()));
  const AadArg aad_rows = aad_arg(aad, n);

  // A shared `aad` is read once. One that cannot be read is refused before
  // any row, whatever `errors`: no row could open with it.
  std::string shared_aad;
  if (!aad_rows.per_row) {
    shared_aad = read_aad_text(aad_rows.shared, EntryOrder::value_first);
  }

  py::list result(n);
  std::vector<RowText> texts;
  std::vector<std::string> row_aads;
  std::vector<std::optional<py::error_already_set>> row_errors;
  std::vector<OpenRow> rows;
  std::vector<OpenedInfo> infos;
  std::vector<RowStatus> status;
  SecretBytes copies;
  SecretBytes plaintexts;
  for (std::size_t start = 0; start < n;) {
    texts.clear();
    row_aads.clear();
    row_errors.clear();
    rows.clear();
    infos.clear();
    status.clear();
    copies.clear();
    std::size_t bytes = 0;
    std::size_t end = start;
    for (; end < n && end - start < chunk_rows && bytes < chunk_bytes; ++end) {
      PyObject* item = PyList_GET_ITEM(seq.ptr(), static_cast<Py_ssize_t>(end));
      RowText text;
      // A row that is not text is a mistake in the call, whatever `errors`.
      const bool present = for_row(end, [&] { return read_row(item, text, copies, "token"); });
      std::string row_aad;
      std::optional<py::error_already_set> row_error;
      if (present && aad_rows.per_row) {
        try {
          row_aad = read_aad_text(py::reinterpret_borrow<py::object>(aad_of(aad_rows, end)),
                                  EntryOrder::value_first);
        } catch (...) {
          set_error_from_current();
          row_error.emplace();
        }
      }
      status.push_back(!present    ? RowStatus::null
                       : row_error ? RowStatus::caller_error
                                   : RowStatus::ok);
      texts.push_back(text);
      row_aads.push_back(std::move(row_aad));
      row_errors.push_back(std::move(row_error));
      bytes += text.view.size();
    }

    const std::size_t count = end - start;
    rows.resize(count);
    if (records) infos.resize(count);
    std::size_t capacity = 0;
    for (std::size_t j = 0; j < count; ++j) {
      if (status[j] != RowStatus::null) capacity += open_capacity(texts[j].view.size());
    }
    // Reused from chunk to chunk without clearing: every row writes its own
    // slot, and the buffer is cleansed when it is released.
    if (plaintexts.size() < capacity) plaintexts.resize(capacity);
    std::size_t at = 0;
    for (std::size_t j = 0; j < count; ++j) {
      if (status[j] == RowStatus::null) continue;
      rows[j].token = settle(texts[j], copies);
      rows[j].aad = aad_rows.per_row ? std::string_view(row_aads[j]) : shared_aad;
      rows[j].out = plaintexts.data() + at;
      if (records) rows[j].info = &infos[j];
      at += open_capacity(rows[j].token.size());
    }

    {
      const py::gil_scoped_release unlocked;
      open_many(open_keys, rows.data(), count, status.data(), workers);
    }

    for (std::size_t j = 0; j < count; ++j) {
      const std::size_t i = start + j;
      py::object value = py::none();
      try {
        switch (status[j]) {
          case RowStatus::null: break;
          case RowStatus::caller_error: row_errors[j]->restore(); throw py::error_already_set();
          case RowStatus::ok: {
            const std::string_view text(reinterpret_cast<const char*>(rows[j].out),
                                        rows[j].out_size);
            if (records) {
              py::dict record;
              record["data"] = plaintext_str(text, rows[j].ascii);
              record["metadata"] = py::cast(infos[j].metadata);
              record["key_id"] = utf8_to_str(infos[j].key_id);
              record["deterministic"] = py::bool_(infos[j].deterministic);
              value = std::move(record);
            } else {
              value = plaintext_str(text, rows[j].ascii);
            }
            break;
          }
          default: throw std::runtime_error("qv: decryption failed.");
        }
      } catch (...) {
        // A row's own `aad` that cannot be read is a mistake in the call, as
        // a row that is not text is, whatever `errors`.
        if (raise || status[j] == RowStatus::caller_error) {
          set_error_from_current();
          throw_with_row(i);
        }
        value = py::none();
      }
      PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), value.release().ptr());
    }
    start = end;
  }
  return result;
}

}  // namespace qv
