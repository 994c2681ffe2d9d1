#include "column/column.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace qv {
namespace {

// Rows handed to the batch routines at a time: enough to keep every worker
// busy for milliseconds, few enough that the row views and statuses stay a
// few megabytes whatever the column's length.
constexpr std::size_t window_rows = std::size_t{1} << 15;

constexpr std::size_t int32_limit =
    static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

std::int64_t offset_at(const ColumnView& c, std::size_t j) {
  if (c.large) {
    std::int64_t v = 0;
    std::memcpy(&v, static_cast<const std::uint8_t*>(c.offsets) + j * 8, 8);
    return v;
  }
  std::int32_t v = 0;
  std::memcpy(&v, static_cast<const std::uint8_t*>(c.offsets) + j * 4, 4);
  return v;
}

std::size_t bitmap_bytes(std::size_t bits) { return (bits + 7) / 8; }

void set_offset(ColumnResult& r, std::size_t j, std::size_t v) {
  if (r.large) {
    const auto x = static_cast<std::int64_t>(v);
    std::memcpy(r.offsets->data + j * 8, &x, 8);
  } else {
    const auto x = static_cast<std::int32_t>(v);
    std::memcpy(r.offsets->data + j * 4, &x, 4);
  }
}

// Allocates the offsets and, when `column` has nulls or `may_add_nulls`, a
// bitmap seeded with the column's validity (bit `i` for row `i`, the slice's
// offset removed).
void start_result(const ColumnView& column, bool large, bool may_add_nulls, ColumnResult& r) {
  r.large = large;
  r.length = column.length;
  r.null_count = 0;
  r.offsets = std::make_unique<ColumnBuffer>((column.length + 1) * (large ? 8 : 4));
  r.offsets->size = (column.length + 1) * (large ? 8 : 4);
  if (column.validity == nullptr && !may_add_nulls) return;
  const std::size_t nb = bitmap_bytes(column.length);
  r.validity = std::make_unique<ColumnBuffer>(nb);
  r.validity->size = nb;
  std::memset(r.validity->data, 0, nb);
  for (std::size_t i = 0; i < column.length; ++i) {
    if (column_valid(column, i)) {
      r.validity->data[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    } else {
      ++r.null_count;
    }
  }
}

void clear_valid(ColumnResult& r, std::size_t i) {
  r.validity->data[i / 8] &= static_cast<std::uint8_t>(~(1u << (i % 8)));
  ++r.null_count;
}

// A bitmap that marks nothing null is left out, as Arrow's own kernels do.
void finish_result(ColumnResult& r) {
  if (r.null_count == 0) r.validity.reset();
}

std::string_view row_aad(const ColumnAad& aad, std::size_t i) {
  if (aad.per_row == nullptr) return aad.text;
  return column_value(*aad.per_row, i);
}

}  // namespace

ColumnBuffer::ColumnBuffer(std::size_t n, bool holds_secret)
    : data(static_cast<std::uint8_t*>(std::malloc(n == 0 ? 1 : n))),
      size(0),
      capacity(n),
      secret(holds_secret) {
  if (data == nullptr) throw std::bad_alloc();
}

ColumnBuffer::~ColumnBuffer() {
  if (secret) cleanse(data, capacity);
  std::free(data);
}

bool column_is_sound(const ColumnView& c) {
  const std::size_t width = c.large ? 8 : 4;
  const std::size_t rows = c.offset + c.length;
  if (rows < c.offset || rows + 1 == 0) return false;
  if (c.offsets == nullptr || c.offsets_size / width < rows + 1) return false;
  if (c.validity != nullptr && c.validity_size < bitmap_bytes(rows)) return false;
  std::int64_t prev = offset_at(c, c.offset);
  if (prev < 0) return false;
  for (std::size_t j = c.offset + 1; j <= rows; ++j) {
    const std::int64_t v = offset_at(c, j);
    if (v < prev) return false;
    prev = v;
  }
  if (static_cast<std::uint64_t>(prev) > c.data_size) return false;
  return prev == offset_at(c, c.offset) || c.data != nullptr;
}

bool copy_column(const ColumnView& c, ColumnCopy& out) {
  const std::size_t width = c.large ? 8 : 4;
  const std::size_t rows = c.offset + c.length;
  if (rows < c.offset || rows + 1 == 0) return false;
  if (c.offsets == nullptr || c.offsets_size / width < rows + 1) return false;
  if (c.validity != nullptr && c.validity_size < bitmap_bytes(rows)) return false;
  const auto* from = static_cast<const std::uint8_t*>(c.offsets) + c.offset * width;
  out.offsets.assign(from, from + (c.length + 1) * width);
  out.validity.clear();
  if (c.validity != nullptr) {
    out.validity.assign(bitmap_bytes(c.length), 0);
    for (std::size_t i = 0; i < c.length; ++i) {
      if (column_valid(c, i)) out.validity[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    }
  }
  ColumnView& v = out.view;
  v = c;
  v.offset = 0;
  v.offsets = out.offsets.data();
  v.offsets_size = out.offsets.size();
  v.validity = c.validity != nullptr ? out.validity.data() : nullptr;
  v.validity_size = out.validity.size();
  return column_is_sound(v);
}

bool column_valid(const ColumnView& c, std::size_t i) {
  if (c.validity == nullptr) return true;
  const std::size_t bit = c.offset + i;
  return ((c.validity[bit / 8] >> (bit % 8)) & 1u) != 0;
}

std::string_view column_value(const ColumnView& c, std::size_t i) {
  if (!column_valid(c, i)) return {};
  const std::int64_t begin = offset_at(c, c.offset + i);
  const std::int64_t end = offset_at(c, c.offset + i + 1);
  if (end == begin) return {};
  return {reinterpret_cast<const char*>(c.data) + begin, static_cast<std::size_t>(end - begin)};
}

std::size_t first_empty_value(const ColumnView& c) {
  for (std::size_t i = 0; i < c.length; ++i) {
    if (column_valid(c, i) && offset_at(c, c.offset + i + 1) == offset_at(c, c.offset + i)) {
      return i;
    }
  }
  return c.length;
}

std::size_t seal_column(const SealBatch& batch, const ColumnView& column, const ColumnAad& aad,
                        std::size_t threads, ColumnResult& out, RowStatus& status) {
  // Every token's length follows from its plaintext's, so the offsets are
  // known before anything is sealed and each worker writes in place.
  std::size_t total = 0;
  for (std::size_t i = 0; i < column.length; ++i) {
    if (!column_valid(column, i)) continue;
    total += sealed_size(batch, column_value(column, i).size());
  }
  start_result(column, total > int32_limit, false, out);
  out.data = std::make_unique<ColumnBuffer>(total);
  out.data->size = total;

  std::vector<SealRow> rows;
  std::vector<RowStatus> statuses;
  std::size_t at = 0;
  set_offset(out, 0, 0);
  for (std::size_t start = 0; start < column.length; start += window_rows) {
    const std::size_t n = std::min(window_rows, column.length - start);
    rows.assign(n, SealRow{});
    statuses.assign(n, RowStatus::ok);
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t i = start + k;
      if (!column_valid(column, i)) {
        statuses[k] = RowStatus::null;
      } else {
        rows[k].plaintext = column_value(column, i);
        rows[k].aad = row_aad(aad, i);
        const std::size_t size = sealed_size(batch, rows[k].plaintext.size());
        // Sizes read once make this hold; it stays checked all the same.
        if (size > total - at) {
          status = RowStatus::failed;
          return i;
        }
        rows[k].out = reinterpret_cast<char*>(out.data->data + at);
        at += size;
      }
      set_offset(out, i + 1, at);
    }
    seal_many(batch, rows.data(), n, statuses.data(), threads);
    for (std::size_t k = 0; k < n; ++k) {
      if (statuses[k] != RowStatus::ok && statuses[k] != RowStatus::null) {
        status = statuses[k];
        return start + k;
      }
    }
  }
  status = RowStatus::ok;
  finish_result(out);
  return column.length;
}

std::size_t open_column(const OpenKeys& keys, const ColumnView& column, const ColumnAad& aad,
                        std::size_t threads, ColumnResult& out) {
  // Each row is opened into room read from its token's head (`open_size`,
  // exact for every token a sealing routine writes), and the plaintexts are
  // moved down over any slack, window by window: the data buffer is
  // allocated once, about the size of the plaintexts, and never grows.
  std::size_t total = 0;
  for (std::size_t i = 0; i < column.length; ++i) {
    if (!column_valid(column, i)) continue;
    total += open_size(column_value(column, i));
  }
  start_result(column, total > int32_limit, true, out);
  out.data = std::make_unique<ColumnBuffer>(total, true);

  std::size_t first_failed = column.length;
  std::vector<OpenRow> rows;
  std::vector<RowStatus> statuses;
  std::size_t room_at = 0;   // where the next row's room starts
  std::size_t write_at = 0;  // the end of the compacted plaintexts
  set_offset(out, 0, 0);
  for (std::size_t start = 0; start < column.length; start += window_rows) {
    const std::size_t n = std::min(window_rows, column.length - start);
    rows.assign(n, OpenRow{});
    statuses.assign(n, RowStatus::ok);
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t i = start + k;
      if (!column_valid(column, i)) {
        statuses[k] = RowStatus::null;
        continue;
      }
      rows[k].token = column_value(column, i);
      rows[k].aad = row_aad(aad, i);
      rows[k].out = out.data->data + room_at;
      // The token's head is read again here and once more when it opens; if
      // its bytes changed since the first pass, the row gets no more room
      // than is left (and fails if it needs more), never room past the block.
      rows[k].out_room = std::min(open_size(rows[k].token), total - room_at);
      room_at += rows[k].out_room;
    }
    open_many(keys, rows.data(), n, statuses.data(), threads);
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t i = start + k;
      if (statuses[k] == RowStatus::ok) {
        const std::string_view text(reinterpret_cast<const char*>(rows[k].out), rows[k].out_size);
        if (rows[k].ascii || is_utf8(text)) {
          // The room of every later row lies beyond this one's, so moving
          // down never overwrites a plaintext not yet moved.
          if (rows[k].out != out.data->data + write_at) {
            std::memmove(out.data->data + write_at, rows[k].out, rows[k].out_size);
          }
          write_at += rows[k].out_size;
        } else {
          cleanse(rows[k].out, rows[k].out_size);
          statuses[k] = RowStatus::failed;
        }
      }
      if (statuses[k] != RowStatus::ok && statuses[k] != RowStatus::null) {
        clear_valid(out, i);
        if (first_failed == column.length) first_failed = i;
      }
      set_offset(out, i + 1, write_at);
    }
  }
  // The slack past the last plaintext holds copies left by the moves.
  cleanse(out.data->data + write_at, out.data->capacity - write_at);
  out.data->size = write_at;
  finish_result(out);
  return first_failed;
}

bool is_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    // Runs of ASCII, the common case for the texts people seal, eight bytes
    // at a time.
    while (i + 8 <= n) {
      std::uint64_t w = 0;
      std::memcpy(&w, p + i, 8);
      if ((w & 0x8080808080808080ull) != 0) break;
      i += 8;
    }
    if (i >= n) break;
    const std::uint8_t c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    std::uint8_t lo = 0x80;
    std::uint8_t hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;  // overlong
      if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

}  // namespace qv
