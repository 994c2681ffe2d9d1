#include <array>
#include <cstring>

#include "token/token.h"

namespace qv {
namespace {

constexpr std::int8_t skip = -2;
constexpr std::int8_t invalid = -1;

// The decoding table: each byte's sextet, `invalid`, or `skip` for the
// characters that may stand anywhere in a body (LF, CR, space and '=').
// Built at compile time, so no call ever races to fill it.
constexpr std::array<std::int8_t, 256> make_decode_table() {
  std::array<std::int8_t, 256> table{};
  for (auto& entry : table) entry = invalid;
  for (std::size_t i = 0; i < b64url_chars.size(); ++i) {
    table[static_cast<unsigned char>(b64url_chars[i])] = static_cast<std::int8_t>(i);
  }
  table['+'] = 62;
  table['/'] = 63;
  table['\n'] = skip;
  table['\r'] = skip;
  table[' '] = skip;
  table['='] = skip;
  return table;
}

constexpr std::array<std::int8_t, 256> decode_table = make_decode_table();

}  // namespace

std::string base64url_encode(const std::uint8_t* in, std::size_t n) {
  std::string out(n / 3 * 4 + (n % 3 == 0 ? 0 : n % 3 + 1), '\0');
  char* o = out.data();
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const std::uint32_t v = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
    *o++ = b64url_chars[v >> 18];
    *o++ = b64url_chars[(v >> 12) & 63];
    *o++ = b64url_chars[(v >> 6) & 63];
    *o++ = b64url_chars[v & 63];
  }
  if (n - i == 1) {
    const std::uint32_t v = std::uint32_t{in[i]} << 16;
    *o++ = b64url_chars[v >> 18];
    *o++ = b64url_chars[(v >> 12) & 63];
  } else if (n - i == 2) {
    const std::uint32_t v = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8;
    *o++ = b64url_chars[v >> 18];
    *o++ = b64url_chars[(v >> 12) & 63];
    *o++ = b64url_chars[(v >> 6) & 63];
  }
  return out;
}

bool base64url_decode(std::string_view text, Bytes& out) {
  out.clear();
  out.resize(text.size() / 4 * 3 + 3);
  std::uint8_t* o = out.data();
  std::uint32_t acc = 0;
  int held = 0;  // sextets in `acc`
  for (const char c : text) {
    const std::int8_t v = decode_table[static_cast<unsigned char>(c)];
    if (v < 0) {
      if (v == skip) continue;
      out.clear();
      return false;
    }
    acc = acc << 6 | static_cast<std::uint32_t>(v);
    if (++held == 4) {
      *o++ = static_cast<std::uint8_t>(acc >> 16);
      *o++ = static_cast<std::uint8_t>(acc >> 8);
      *o++ = static_cast<std::uint8_t>(acc);
      acc = 0;
      held = 0;
    }
  }
  // A short last group keeps only its whole bytes; a lone sextet gives none.
  if (held == 3) {
    *o++ = static_cast<std::uint8_t>(acc >> 10);
    *o++ = static_cast<std::uint8_t>(acc >> 2);
  } else if (held == 2) {
    *o++ = static_cast<std::uint8_t>(acc >> 4);
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return true;
}

std::string encode_token(std::string_view key_id, bool deterministic,
                         std::string_view metadata_text, const std::uint8_t* nonce,
                         const std::uint8_t* tag, const Bytes& ciphertext) {
  const std::size_t L = key_id.size();
  const std::size_t M = metadata_text.size();
  Bytes body(body_fixed_size + L + M + ciphertext.size());
  std::uint8_t* b = body.data();
  b[0] = token_version;
  b[1] = deterministic ? flag_deterministic : 0;
  b[2] = static_cast<std::uint8_t>(L);
  std::memcpy(b + 3, key_id.data(), L);
  std::memcpy(b + 3 + L, nonce, nonce_size);
  std::memcpy(b + 3 + L + nonce_size, tag, tag_size);
  b[31 + L] = static_cast<std::uint8_t>(M >> 8);
  b[32 + L] = static_cast<std::uint8_t>(M & 0xFF);
  if (M > 0) std::memcpy(b + 33 + L, metadata_text.data(), M);
  if (!ciphertext.empty()) std::memcpy(b + 33 + L + M, ciphertext.data(), ciphertext.size());

  const std::string text = base64url_encode(body.data(), body.size());
  std::string token;
  token.reserve(token_prefix.size() + text.size());
  token.append(token_prefix);
  token.append(text);
  return token;
}

bool decode_token(std::string_view token, TokenData& out) {
  if (token.size() < token_prefix.size()) return false;
  if (token.substr(0, token_prefix.size()) != token_prefix) return false;
  Bytes body;
  if (!base64url_decode(token.substr(token_prefix.size()), body)) return false;
  const std::size_t n = body.size();
  if (n <= body_fixed_size) return false;
  out.version = body[0];
  if (out.version != token_version) return false;
  out.flags = body[1];
  out.deterministic = (out.flags & flag_deterministic) != 0;
  const std::size_t L = body[2];
  if (L == 0 || 3 + L > n) return false;
  out.key_id.assign(reinterpret_cast<const char*>(body.data() + 3), L);
  if (33 + L > n) return false;
  out.nonce.assign(body.begin() + 3 + L, body.begin() + 15 + L);
  out.tag.assign(body.begin() + 15 + L, body.begin() + 31 + L);
  const std::size_t M = std::size_t{body[31 + L]} << 8 | body[32 + L];
  if (33 + L + M > n) return false;
  out.metadata.clear();
  if (M > 0) {
    const std::string_view text(reinterpret_cast<const char*>(body.data() + 33 + L), M);
    if (!parse_flat_json_object(text, out.metadata)) return false;
  }
  if (33 + L + M == n) return false;
  // The ciphertext runs to the end of the body: slide it to the front and keep
  // the body's storage rather than copying it.
  body.erase(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(33 + L + M));
  out.ciphertext = std::move(body);
  return true;
}

}  // namespace qv
