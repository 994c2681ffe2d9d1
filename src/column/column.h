// Sealing and opening Arrow columns: variable-size binary arrays (string,
// large_string, binary, large_binary) read through their validity bitmap,
// offsets and data, and new arrays written as three buffers.
//
// src/column may use src/bulk and <qv/...>; never Python. The arrays are views
// of memory the caller owns and keeps alive for the whole call; their offsets
// and validity are read from a copy (`copy_column`), and their data may
// change under the call without any write leaving the result's buffers. The
// rows go to `seal_many` and `open_many` in windows, so the per-row
// bookkeeping stays small whatever the column's length, and every token or
// plaintext is written once, straight into the result's data buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "bulk/bulk.h"

namespace qv {

// A view of one Arrow array of a variable-size binary type. Row `i` of the
// view is row `offset + i` of the buffers, as in a sliced Arrow array.
struct ColumnView {
  const std::uint8_t* validity = nullptr;  // null: no nulls
  std::size_t validity_size = 0;           // bytes
  const void* offsets = nullptr;           // int32, or int64 when `large`
  std::size_t offsets_size = 0;            // bytes
  const std::uint8_t* data = nullptr;      // may be null when every value is empty
  std::size_t data_size = 0;               // bytes
  bool large = false;
  std::size_t offset = 0;
  std::size_t length = 0;
};

// Checks that the buffers hold what `column` says: a bitmap covering every
// row, `offset + length + 1` offsets that never decrease, start at or above
// zero and end within `data`. Arrays from pyarrow's own builders always pass;
// one put together from foreign buffers may not, and reading it unchecked
// would read outside them. Returns false on the first violation; never throws.
bool column_is_sound(const ColumnView& column);

// A column's offsets and validity bits in memory of the call's own, with a
// view of them and of the caller's data. A caller's buffers may change while
// a call runs with the interpreter lock released (a pyarrow array can wrap a
// bytearray that another thread writes); reading each offset and bit once,
// into this copy, keeps every row's size the same from the pass that sizes
// the result to the pass that fills it, so a change gives wrong rows at
// worst.
struct ColumnCopy {
  std::vector<std::uint8_t> offsets;   // rows `offset .. offset + length` of the source
  std::vector<std::uint8_t> validity;  // bit `i` for row `i`; empty when no bitmap
  ColumnView view;                     // `offset` 0, over the two above and the data
};

// Copies the offsets and validity bits of `column` into `out` and checks the
// copy with `column_is_sound`. Returns false when the buffers are too short
// for `column.offset + length` rows or the copy is not sound; never throws
// except std::bad_alloc.
bool copy_column(const ColumnView& column, ColumnCopy& out);

// Whether row `i` of `column` holds a value.
bool column_valid(const ColumnView& column, std::size_t i);

// The bytes of row `i` of `column` (empty for a null row).
std::string_view column_value(const ColumnView& column, std::size_t i);

// A heap block of `size` bytes, uninitialised on allocation, that the result
// arrays are made of. A block that holds plaintext is cleansed before it is
// released.
struct ColumnBuffer {
  std::uint8_t* data = nullptr;
  std::size_t size = 0;      // bytes in use (a result may use less than it got)
  std::size_t capacity = 0;  // bytes allocated
  bool secret = false;

  ColumnBuffer() = default;
  // Allocates `n` bytes (at least one, so `data` is never null). Throws
  // std::bad_alloc.
  explicit ColumnBuffer(std::size_t n, bool holds_secret = false);
  ~ColumnBuffer();
  ColumnBuffer(const ColumnBuffer&) = delete;
  ColumnBuffer& operator=(const ColumnBuffer&) = delete;
};

// A result array: a string array when `large` is false (int32 offsets), else
// a large_string array. `validity` is null when no row is null.
struct ColumnResult {
  std::unique_ptr<ColumnBuffer> validity;
  std::unique_ptr<ColumnBuffer> offsets;
  std::unique_ptr<ColumnBuffer> data;
  bool large = false;
  std::size_t length = 0;
  std::size_t null_count = 0;
};

// The caller's associated data for a column: one text for every row, or a
// column of texts, one per row (a null row meaning none).
struct ColumnAad {
  std::string_view text;                // used when `per_row` is null
  const ColumnView* per_row = nullptr;  // as long as the column it goes with
};

// The first non-null row of `column` whose value is empty (a token needs a
// ciphertext byte), or `column.length` when there is none.
std::size_t first_empty_value(const ColumnView& column);

// Seals every non-null row of `column` under `batch` with `aad`, as
// `seal_many` does, into a string array of the same length whose null rows are
// the column's. Preconditions: `column` and `aad.per_row` passed
// `column_is_sound`, no non-null row is empty (`first_empty_value`), and
// `batch` satisfies `seal_many`'s. Returns the index of the first row that
// failed to seal, with `status` set to its outcome, or `column.length` when
// every row sealed; `out` is complete only in the latter case. Throws
// std::runtime_error "qv: random generator failed." as `seal_many` does, and
// std::bad_alloc.
std::size_t seal_column(const SealBatch& batch, const ColumnView& column, const ColumnAad& aad,
                        std::size_t threads, ColumnResult& out, RowStatus& status);

// Opens every non-null row of `column` (tokens) with `keys` and `aad`, as
// `open_many` does, into a string array of the plaintexts, which must be
// UTF-8 text. A row that does not open, or whose plaintext is not valid UTF-8,
// becomes null in `out` and its bytes are cleansed. Returns the index of the
// first such row, or `column.length` when there is none. Preconditions as
// `seal_column`. Throws only std::bad_alloc.
std::size_t open_column(const OpenKeys& keys, const ColumnView& column, const ColumnAad& aad,
                        std::size_t threads, ColumnResult& out);

// Whether `s` is well-formed UTF-8, as Python's strict decoder reads it: no
// overlong forms, no surrogates, nothing above U+10FFFF. Never throws.
bool is_utf8(std::string_view s);

}  // namespace qv
