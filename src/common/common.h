// What every subsystem of the core shares: the public value types (buffers
// for secrets, <qv/types.h>), the one source of randomness, and hex digits.
// The core folders (common, aad, token, kdf, inspect, bulk, column, blind,
// ring) use only the C++ standard library, OpenSSL and <qv/...>; never Python.
#pragma once

#include <qv/errors.h>
#include <qv/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv {

// Fills `n` bytes at `out` from OpenSSL's random generator. Throws
// OperationError "qv: random generator failed." when the generator does
// not deliver, after zeroing `out`, so no partial draw is ever used.
void fill_random(std::uint8_t* out, std::size_t n);

// The value of the hex digit `c` (either case), or -1 for any other byte.
int hex_digit(unsigned char c);

// Two lower-case hex digits ("%02x") per byte of `p[0..n)`.
std::string hex_lower(const std::uint8_t* p, std::size_t n);

}  // namespace qv
