// The column routines' sizing and checks: the room read from a token's head
// is never less than what the token opens to, and buffers that do not fit
// their column are refused.
//
// Built and run by tests/test_native_column.py; prints each failed check and
// exits 1 if any fails.
#include "column/column.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const char* what, std::size_t a = 0, std::size_t b = 0) {
  if (!ok && ++failures <= 20) std::printf("FAIL %s (%zu, %zu)\n", what, a, b);
}

std::uint32_t state = 12345;
std::uint32_t next() {
  state = state * 1664525u + 1013904223u;
  return state >> 8;
}

// A respelling the decoder reads as the same body: skipped characters put
// anywhere, '-' and '_' written as '+' and '/'.
std::string respell(const std::string& token) {
  std::string out(token.substr(0, qv::token_prefix.size()));
  static const char skipped[] = {' ', '\n', '\r', '='};
  for (std::size_t i = qv::token_prefix.size(); i < token.size(); ++i) {
    if (next() % 9 == 0) out += skipped[next() % 4];
    char c = token[i];
    if (next() % 2 == 0) c = c == '-' ? '+' : c == '_' ? '/' : c;
    out += c;
  }
  if (next() % 2 == 0) out += "==";
  return out;
}

void open_size_bounds_every_spelling() {
  const std::uint8_t nonce[qv::nonce_size] = {1, 2, 3};
  const std::uint8_t tag[qv::tag_size] = {4, 5, 6};
  for (int round = 0; round < 3000; ++round) {
    const std::string key_id(1 + next() % 255, 'k');
    const std::string metadata = next() % 3 == 0 ? "" : std::string(next() % 400, 'm');
    const qv::Bytes ciphertext(1 + next() % 300, static_cast<std::uint8_t>(next()));
    const std::string token =
        qv::encode_token(key_id, next() % 2 == 0, metadata, nonce, tag, ciphertext);
    check(qv::open_size(token) == ciphertext.size(), "exact for a token as written", round,
          qv::open_size(token));
    for (int k = 0; k < 4; ++k) {
      const std::string spelled = respell(token);
      qv::TokenData td;
      qv::Bytes body;
      std::size_t at = 0;
      if (!qv::decode_token_body(spelled, td, body, at)) continue;
      const std::size_t size = qv::open_size(spelled);
      check(size >= body.size() - at, "room for the plaintext", body.size() - at, size);
      check(size <= qv::open_capacity(spelled.size()), "within open_capacity", size);
    }
  }
  // Texts that are not tokens still get a bound, never past the capacity.
  for (const char* text : {"", "qv.v2.", "qv.v2.A", "qv.v2.AAAA", "qv.v2.////////", "x"}) {
    check(qv::open_size(text) <= qv::open_capacity(std::strlen(text)), "bound for non-tokens");
  }
}

// Every character of the head up to the metadata length is examined, in the
// whole 32-character blocks and in the last block that overlaps them: one
// outside the alphabet anywhere there leaves only the bound.
void head_check_covers_every_character() {
  const std::uint8_t nonce[qv::nonce_size] = {1};
  const std::uint8_t tag[qv::tag_size] = {2};
  for (const std::size_t key_id_size : {1, 9, 20, 40, 100, 255}) {
    const std::string token =
        qv::encode_token(std::string(key_id_size, 'k'), false, "", nonce, tag, qv::Bytes(5, 7));
    check(qv::open_size(token) == 5, "exact when the head is plain", key_id_size);
    const std::size_t chars = ((32 + key_id_size) / 3 + 1) * 4;
    for (std::size_t p = 0; p < chars; ++p) {
      std::string bad = token;
      bad[qv::token_prefix.size() + p] = '*';
      check(qv::open_size(bad) == qv::open_capacity(bad.size()), "a bad head character is seen",
            key_id_size, p);
    }
  }
}

qv::ColumnView view32(const std::vector<std::int32_t>& offsets, const std::string& data,
                      std::size_t offset, std::size_t length) {
  qv::ColumnView v;
  v.offsets = offsets.data();
  v.offsets_size = offsets.size() * 4;
  v.data = reinterpret_cast<const std::uint8_t*>(data.data());
  v.data_size = data.size();
  v.offset = offset;
  v.length = length;
  return v;
}

void soundness_checks() {
  const std::string data = "abcdef";
  check(qv::column_is_sound(view32({0, 2, 6}, data, 0, 2)), "plain column");
  check(qv::column_is_sound(view32({0, 2, 6}, data, 1, 1)), "slice");
  check(!qv::column_is_sound(view32({0, 2, 7}, data, 0, 2)), "past the data");
  check(!qv::column_is_sound(view32({0, 3, 2}, data, 0, 2)), "decreasing");
  check(!qv::column_is_sound(view32({-1, 2, 3}, data, 0, 2)), "negative");
  check(!qv::column_is_sound(view32({0, 2}, data, 0, 2)), "too few offsets");
  check(!qv::column_is_sound(view32({0, 2, 6}, data, 2, 1)), "slice past the offsets");
  qv::ColumnView huge = view32({0, 2, 6}, data, std::numeric_limits<std::size_t>::max(), 2);
  check(!qv::column_is_sound(huge), "offset + length wraps");
  qv::ColumnView bits = view32({0, 1, 2, 3, 4, 5, 6, 6, 6, 6}, data, 0, 9);
  const std::uint8_t one_byte = 0xFF;
  bits.validity = &one_byte;
  bits.validity_size = 1;
  check(!qv::column_is_sound(bits), "bitmap shorter than the rows");
  std::vector<std::int64_t> wide = {0, std::numeric_limits<std::int64_t>::max()};
  qv::ColumnView big;
  big.offsets = wide.data();
  big.offsets_size = 16;
  big.large = true;
  big.data = reinterpret_cast<const std::uint8_t*>(data.data());
  big.data_size = data.size();
  big.length = 1;
  check(!qv::column_is_sound(big), "64-bit offset past the data");
}

// A copy holds the slice's own rows from bit and offset 0, reads as the
// source does, and is refused where the source would be.
void copies_read_as_their_source() {
  const std::string data = "abcdefghij";
  const std::vector<std::int32_t> offsets = {0, 1, 2, 3, 5, 5, 8, 9, 9, 10, 10};
  qv::ColumnView v = view32(offsets, data, 3, 7);
  const std::uint8_t bits[2] = {0xB5, 0x03};  // rows 0 and 3 of the slice null
  v.validity = bits;
  v.validity_size = 2;
  qv::ColumnCopy copy;
  check(qv::copy_column(v, copy), "sliced column copies");
  check(copy.view.offset == 0 && copy.offsets.size() == 8 * 4, "copy starts at the slice",
        copy.view.offset, copy.offsets.size());
  for (std::size_t i = 0; i < v.length; ++i) {
    check(qv::column_valid(copy.view, i) == qv::column_valid(v, i), "validity bit", i);
    check(qv::column_value(copy.view, i) == qv::column_value(v, i), "value", i);
  }
  check(!qv::copy_column(view32(offsets, data, 4, 7), copy), "slice past the offsets");
  check(!qv::copy_column(view32({0, 3, 2}, data, 0, 2), copy), "decreasing");
  v.validity_size = 1;
  check(!qv::copy_column(v, copy), "bitmap shorter than the rows");
}

void utf8_table() {
  struct Case {
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {"plain ascii, longer than eight bytes", true},
      {"\xc3\xa9", true},
      {"\xe2\x82\xac", true},
      {"\xf0\x9d\x84\x9e", true},
      {"\xf4\x8f\xbf\xbf", true},
      {"\xc0\xaf", false},              // overlong
      {"\xe0\x80\xaf", false},          // overlong
      {"\xed\xa0\x80", false},          // surrogate
      {"\xf4\x90\x80\x80", false},      // above U+10FFFF
      {"\xf5\x80\x80\x80", false},      // no such lead byte
      {"abcdefgh\xe2\x82", false},      // cut short after an ASCII run
      {"\x80", false},                  // lone continuation
      {"abcdefghijklmnop\xff", false},  // bad byte after two ASCII words
  };
  for (const Case& c : cases) {
    check(qv::is_utf8(c.text) == c.ok, c.text[0] == '\0' ? "empty" : "utf8 case",
          std::strlen(c.text));
  }
}

}  // namespace

int main() {
  open_size_bounds_every_spelling();
  head_check_covers_every_character();
  soundness_checks();
  copies_read_as_their_source();
  utf8_table();
  return failures == 0 ? 0 : 1;
}
