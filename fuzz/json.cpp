// The flat JSON reader on arbitrary text, and write-then-read of arbitrary
// maps. Whatever the reader accepts, writing the map and reading it again
// gives the same map, and the written text is a fixed point.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "aad/aad.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool only_json_space(std::string_view s) {
  return s.find_first_not_of(" \t\n\r") == std::string_view::npos;
}

// Read `text`; if it is accepted, its map must survive writing and reading.
void check_accepted(std::string_view text) {
  qv::Metadata map;
  if (!qv::parse_flat_json_object(text, map)) return;
  const std::string canonical = qv::serialize_sorted_json(map);
  if (map.empty()) {
    // Only "{}" with whitespace around or inside reads as the empty map.
    check(canonical.empty());
    const std::size_t open = text.find('{');
    check(open != std::string_view::npos && only_json_space(text.substr(0, open)));
    return;
  }
  qv::Metadata again;
  check(qv::parse_flat_json_object(canonical, again));
  check(again == map);
  check(qv::serialize_sorted_json(again) == canonical);
  // A canonical text has no whitespace outside strings and starts with '{'.
  check(canonical.front() == '{' && canonical.back() == '}');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_accepted(text);

  // The string reader alone, from every quotation mark in the text: on
  // success the position has moved past the closing mark, inside the text.
  for (std::size_t at = text.find('"'); at != std::string_view::npos && at < 64;
       at = text.find('"', at + 1)) {
    std::uint32_t pos = static_cast<std::uint32_t>(at);
    std::string out;
    if (qv::json_parse_string(text, pos, out)) {
      check(pos > at + 1 && pos <= size && text[pos - 1] == '"');
      // An escape is never shorter than the bytes it stands for.
      check(out.size() <= pos - at - 2);
    }
  }

  // The same bytes as a map of arbitrary byte strings (NUL, quotes,
  // backslashes, control and non-UTF-8 bytes): writing then reading is the
  // identity.
  FuzzedDataProvider in(data, size);
  qv::Metadata map;
  const int entries = in.ConsumeIntegralInRange(1, 8);
  for (int i = 0; i < entries && in.remaining_bytes() > 0; ++i) {
    std::string key = in.ConsumeRandomLengthString(64);
    map[std::move(key)] = in.ConsumeRandomLengthString(64);
  }
  if (map.empty()) return 0;
  const std::string canonical = qv::serialize_sorted_json(map);
  qv::Metadata back;
  check(qv::parse_flat_json_object(canonical, back));
  check(back == map);
  check(qv::serialize_sorted_json(back) == canonical);
  return 0;
}
