// base64url: the one-pass table decoder against a plain two-pass decoder,
// decoding of text made only of accepted characters, and encode-then-decode.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "token/token.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// The sextet of `c`, found by searching the alphabet rather than through a
// table; -1 when `c` is not a base64url or standard base64 character.
int sextet_of(char c) {
  if (c == '+') return 62;
  if (c == '/') return 63;
  const std::size_t i = qv::b64url_chars.find(c);
  return i == std::string_view::npos ? -1 : static_cast<int>(i);
}

bool is_skipped(char c) { return c == '\n' || c == '\r' || c == ' ' || c == '='; }

// First pass: the list of sextets; second pass: pack groups of four into
// three bytes, a last group of three into two, of two into one, and drop a
// lone last sextet.
bool two_pass_decode(std::string_view text, qv::Bytes& out) {
  out.clear();
  std::vector<int> sextets;
  for (const char c : text) {
    if (is_skipped(c)) continue;
    const int v = sextet_of(c);
    if (v < 0) return false;
    sextets.push_back(v);
  }
  std::size_t i = 0;
  for (; i + 4 <= sextets.size(); i += 4) {
    const std::uint32_t v = std::uint32_t(sextets[i]) << 18 | std::uint32_t(sextets[i + 1]) << 12 |
                            std::uint32_t(sextets[i + 2]) << 6 | std::uint32_t(sextets[i + 3]);
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
  }
  const std::size_t rest = sextets.size() - i;
  if (rest >= 2) {
    const std::uint32_t v = std::uint32_t(sextets[i]) << 18 | std::uint32_t(sextets[i + 1]) << 12 |
                            (rest == 3 ? std::uint32_t(sextets[i + 2]) << 6 : 0);
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (rest == 3) out.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  return true;
}

constexpr std::string_view accepted =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_+/\n\r =";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // Arbitrary text: both decoders agree on success and on every byte, and a
  // refused text leaves nothing behind.
  qv::Bytes got;
  qv::Bytes want;
  const bool got_ok = qv::base64url_decode(text, got);
  const bool want_ok = two_pass_decode(text, want);
  check(got_ok == want_ok);
  check(got == want);

  // The same bytes mapped onto accepted characters always decode.
  std::string only_accepted(size, '\0');
  for (std::size_t i = 0; i < size; ++i) only_accepted[i] = accepted[data[i] % accepted.size()];
  check(qv::base64url_decode(only_accepted, got));
  check(two_pass_decode(only_accepted, want));
  check(got == want);

  // Encoding gives only alphabet characters, no padding, 4 per 3 bytes plus 2
  // or 3 for a short last group, and decodes back to the input.
  const std::string encoded = qv::base64url_encode(data, size);
  check(encoded.size() == size / 3 * 4 + (size % 3 == 0 ? 0 : size % 3 + 1));
  check(encoded.find_first_not_of(qv::b64url_chars) == std::string::npos);
  check(qv::base64url_decode(encoded, got));
  check(got == qv::Bytes(data, data + size));
  return 0;
}
