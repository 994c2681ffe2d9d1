// The extension module `_arrow`: sealing and opening Arrow columns given as
// their buffers, for `qv.arrow`. The interpreter lock is held to read the
// arguments and to hand back the result buffers, and released for the rest.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "column/column.h"
#include "python/checked_def.h"
#include "python/convert.h"

namespace qv {
namespace {

// A result buffer lent to Python through the buffer protocol; pyarrow wraps
// it without a copy (`pa.py_buffer`) and keeps this object alive as long as
// any array made from it.
struct ResultBuffer {
  std::unique_ptr<ColumnBuffer> block;
};

// The buffers of one argument column, held (with their buffer views) for
// the whole call, and the call's own copy of its offsets and validity.
struct HeldColumn {
  std::vector<py::buffer_info> views;
  ColumnCopy copy;
};

const std::uint8_t* held_bytes(HeldColumn& held, const py::object& obj, std::size_t& size) {
  size = 0;
  if (obj.is_none()) return nullptr;
  held.views.push_back(py::buffer(obj).request());
  const py::buffer_info& info = held.views.back();
  size = static_cast<std::size_t>(info.size * info.itemsize);
  return static_cast<const std::uint8_t*>(info.ptr);
}

// `fields` is (validity, offsets, data, large, offset, length) with the three
// buffers as buffer-protocol objects (validity and data may be None).
void hold_column(const py::tuple& fields, HeldColumn& held) {
  if (fields.size() != 6) throw std::invalid_argument("qv: a column is six fields.");
  held.views.reserve(3);
  ColumnView v;
  v.validity = held_bytes(held, fields[0], v.validity_size);
  v.offsets = held_bytes(held, fields[1], v.offsets_size);
  v.data = held_bytes(held, fields[2], v.data_size);
  v.large = fields[3].cast<bool>();
  v.offset = fields[4].cast<std::size_t>();
  v.length = fields[5].cast<std::size_t>();
  if (!copy_column(v, held.copy)) {
    throw std::invalid_argument("qv: the array's buffers do not match its length and offsets.");
  }
}

py::object lend(std::unique_ptr<ColumnBuffer> block) {
  if (!block) return py::none();
  return py::cast(ResultBuffer{std::move(block)});
}

py::tuple result_tuple(std::size_t bad_row, int status, ColumnResult& r) {
  return py::make_tuple(bad_row, status, lend(std::move(r.validity)), lend(std::move(r.offsets)),
                        lend(std::move(r.data)), r.large, r.null_count);
}

// The caller's associated data: `aad` (None, str or dict, for every row) or
// `aad_column` (a column of texts, one per row). `order` as for `read_aad`.
struct HeldAad {
  std::string text;
  HeldColumn column;
  ColumnAad aad;
};

void hold_aad(const py::object& aad, const py::object& aad_column, std::size_t rows,
              EntryOrder order, HeldAad& out) {
  if (!aad_column.is_none()) {
    hold_column(aad_column.cast<py::tuple>(), out.column);
    if (out.column.copy.view.length != rows) {
      throw std::invalid_argument("qv: aad must have one value per row.");
    }
    out.aad.per_row = &out.column.copy.view;
    return;
  }
  out.text = read_aad_text(aad, order);
  out.aad.text = out.text;
}

// Status -1 in a result: the row is refused before any sealing, and the caller
// replays `encrypt` on it to raise what the single call raises.
constexpr int refused_row = -1;

py::tuple py_seal_column(const py::tuple& column, const py::object& key, const std::string& key_id,
                         bool deterministic, const Metadata& metadata, const py::object& aad,
                         const py::object& aad_column, const py::object& threads) {
  // The checks of `encrypt`, in its order. The key and key id are the
  // call's; an empty plaintext, over-long metadata or a bad `aad` are
  // reported at the first row that a single call would refuse for them.
  const SecretBytes k = key_arg(key);
  const Sealer sealer(k, key_id, deterministic, metadata);
  HeldColumn held;
  hold_column(column, held);
  const std::size_t n = held.copy.view.length;
  ColumnResult result;
  std::size_t first_value = 0;
  while (first_value < n && !column_valid(held.copy.view, first_value)) ++first_value;
  bool shared_bad = !sealer.metadata_fits();
  HeldAad held_aad;
  try {
    hold_aad(aad, aad_column, n, EntryOrder::key_first, held_aad);
  } catch (const py::error_already_set&) {
    if (!aad_column.is_none()) throw;
    shared_bad = true;
  } catch (const std::invalid_argument&) {
    if (!aad_column.is_none()) throw;
    shared_bad = true;
  } catch (const py::cast_error&) {
    if (!aad_column.is_none()) throw;
    shared_bad = true;
  }
  // A column of nulls seals nothing, so nothing is refused, as in encrypt_many.
  if (shared_bad && first_value < n) return result_tuple(first_value, refused_row, result);
  const std::size_t empty = first_empty_value(held.copy.view);
  if (empty != n) return result_tuple(empty, refused_row, result);

  SealBatch batch;
  batch.key = sealer.key().data();
  batch.key_id = sealer.key_id();
  batch.deterministic = sealer.deterministic();
  batch.metadata_text = sealer.metadata_text();
  const std::size_t workers = thread_count(threads);
  RowStatus status = RowStatus::ok;
  std::size_t bad = 0;
  {
    const py::gil_scoped_release unlocked;
    bad = seal_column(batch, held.copy.view, held_aad.aad, workers, result, status);
  }
  return result_tuple(bad, static_cast<int>(status), result);
}

py::tuple py_open_column(const py::tuple& column, const py::object& keys, const py::object& aad,
                         const py::object& aad_column, const py::object& threads) {
  const Keys key_set = keys_arg(keys);
  OpenKeys open_keys;
  if (key_set.is_single()) {
    open_keys.single = key_set.single_key().data();
  } else {
    open_keys.by_id = &key_set.by_id();
  }
  HeldColumn held;
  hold_column(column, held);
  HeldAad held_aad;
  hold_aad(aad, aad_column, held.copy.view.length, EntryOrder::value_first, held_aad);
  const std::size_t workers = thread_count(threads);
  ColumnResult result;
  std::size_t bad = 0;
  {
    const py::gil_scoped_release unlocked;
    bad = open_column(open_keys, held.copy.view, held_aad.aad, workers, result);
  }
  return result_tuple(bad, 0, result);
}

}  // namespace
}  // namespace qv

PYBIND11_MODULE(_arrow, m) {
  using namespace qv;
  m.doc() = "Sealing and opening Arrow columns given as their buffers (used by qv.arrow).";

  py::class_<ResultBuffer>(m, "ResultBuffer", py::buffer_protocol())
      .def_buffer([](ResultBuffer& b) {
        return py::buffer_info(b.block->data, static_cast<py::ssize_t>(b.block->size), true);
      });

  checked_def(m, "seal_column", &py_seal_column, py::arg("column"), py::arg("key"),
              py::arg("key_id"), py::arg("deterministic"), py::arg("metadata"), py::arg("aad"),
              py::arg("aad_column"), py::arg("threads"),
              "Seals a column: (bad_row, status, validity, offsets, data, large, null_count).");
  checked_def(
      m, "open_column", &py_open_column, py::arg("column"), py::arg("keys"), py::arg("aad"),
      py::arg("aad_column"), py::arg("threads"),
      "Opens a column of tokens: (bad_row, 0, validity, offsets, data, large, null_count).");
  checked_def(m, "usable_cores", &usable_cores,
              "The number of processors this process may run on.");
  // The statuses `seal_column` reports for its bad row, for qv.arrow to tell
  // them apart by name.
  m.attr("ROW_REFUSED") = refused_row;
  m.attr("ROW_FAILED") = static_cast<int>(RowStatus::failed);
  m.attr("ROW_SIV_FAILED") = static_cast<int>(RowStatus::siv_failed);
  guard_module(m);
}
