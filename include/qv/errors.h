// How every public call reports failure: by throwing one of two exception
// types, whose messages begin "qv: " and are the messages the Python
// functions raise (they are part of the contract; no message ever holds a
// key, password or plaintext).
//
// - `qv::ArgumentError` (a `std::invalid_argument`): a value the call refuses
//   before doing any work, such as a key that is not 32 bytes or an empty key
//   id. Python sees ValueError.
// - `qv::OperationError` (a `std::runtime_error`): a step that failed, such
//   as a token that does not open ("qv: decryption failed." for every reason,
//   so a caller cannot tell a malformed token from a wrong key) or a failing
//   random generator. Python sees RuntimeError.
//
// Besides these only std::bad_alloc escapes. The bulk calls say which row
// failed through `row()`; a single-value call leaves it at `no_row`.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace qv {

constexpr std::size_t no_row = static_cast<std::size_t>(-1);

class ArgumentError : public std::invalid_argument {
 public:
  explicit ArgumentError(const std::string& message, std::size_t row = no_row)
      : std::invalid_argument(message), row_(row) {}
  // The index of the failing row in a bulk call, else `no_row`.
  std::size_t row() const noexcept { return row_; }

 private:
  std::size_t row_;
};

class OperationError : public std::runtime_error {
 public:
  explicit OperationError(const std::string& message, std::size_t row = no_row)
      : std::runtime_error(message), row_(row) {}
  // The index of the failing row in a bulk call, else `no_row`.
  std::size_t row() const noexcept { return row_; }

 private:
  std::size_t row_;
};

}  // namespace qv
