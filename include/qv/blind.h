// Blind index values: HMAC-SHA256 of many values under one key, truncated to
// a number of bits and written as lower-case hex. The key is the per-index
// subkey (qv.blind derives it with HKDF); the transforms that normalise a
// value before it is hashed are the caller's.
#pragma once

#include <qv/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qv {

// The hex digits of an index value of `bits` bits: ceil(bits / 4).
constexpr std::size_t blind_hex_size(unsigned bits) noexcept { return (bits + 3) / 4; }

// For each of the `n` values, the first `bits` (1 to 256) bits of
// HMAC-SHA256(`key`, value) as a number, written as blind_hex_size(bits)
// lower-case hex digits (zero-padded) at out + i * blind_hex_size(bits).
// `key` is 32 bytes, keyed once for the whole call. Values whose `skip[i]`
// is true (when `skip` is not null) are left unwritten. Returns false for
// `bits` outside 1..256 or a failed digest step; never throws except on
// allocation failure.
bool blind_many(const std::uint8_t* key, unsigned bits, const std::string_view* values,
                const bool* skip, std::size_t n, char* out);

}  // namespace qv
