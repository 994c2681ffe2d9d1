#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "token/token.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QV_X86_SIMD 1
#include <immintrin.h>
#else
#define QV_X86_SIMD 0
#endif

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

#if QV_X86_SIMD
// The AVX2 codecs follow the well-known shuffle-and-multiply method: 24 input
// bytes become 32 sextets (or back) per step, with the alphabet mapped by
// range offsets. Each is used only when the processor has AVX2 and gives
// exactly the bytes of the scalar loops.

// Encodes `groups` runs of 24 bytes from `in` into 32 characters each. Reads
// 4 bytes past each run, so the caller keeps at least 4 more input bytes.
__attribute__((target("avx2"))) void encode_avx2(const std::uint8_t* in, std::size_t groups,
                                                 char* out) {
  const __m256i gather = _mm256_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1,  //
                                         10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
  // Offsets from a sextet to its character, by range: A-Z, a-z, 0-9 (ten
  // entries), '-', '_'.
  const __m256i offsets =
      _mm256_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -17, 32, 0, 0, 65, 71, -4,
                       -4, -4, -4, -4, -4, -4, -4, -4, -4, -17, 32, 0, 0);
  for (std::size_t g = 0; g < groups; ++g, in += 24, out += 32) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12));
    const __m256i v = _mm256_shuffle_epi8(_mm256_set_m128i(hi, lo), gather);
    const __m256i t0 = _mm256_and_si256(v, _mm256_set1_epi32(0x0FC0FC00));
    const __m256i t1 = _mm256_mulhi_epu16(t0, _mm256_set1_epi32(0x04000040));
    const __m256i t2 = _mm256_and_si256(v, _mm256_set1_epi32(0x003F03F0));
    const __m256i t3 = _mm256_mullo_epi16(t2, _mm256_set1_epi32(0x01000010));
    const __m256i sextets = _mm256_or_si256(t1, t3);
    __m256i index = _mm256_subs_epu8(sextets, _mm256_set1_epi8(51));
    index = _mm256_sub_epi8(index, _mm256_cmpgt_epi8(sextets, _mm256_set1_epi8(25)));
    const __m256i chars = _mm256_add_epi8(sextets, _mm256_shuffle_epi8(offsets, index));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), chars);
  }
}

// Lanes of `c` from `lo` to `hi`. The compare is signed, so bytes from 0x80
// up never match.
__attribute__((target("avx2"))) inline __m256i within_avx2(__m256i c, char lo, char hi) {
  return _mm256_and_si256(_mm256_cmpgt_epi8(c, _mm256_set1_epi8(static_cast<char>(lo - 1))),
                          _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(hi + 1)), c));
}

// Decodes the longest run of whole 32-character blocks at the start of
// `in[0..n)` whose characters are all alphabet characters, '+' or '/', 24
// bytes per block into `out`, which has room for 8 bytes past them. Returns
// the number of characters decoded; the scalar loop takes over at the first
// block holding a skipped or invalid character.
__attribute__((target("avx2"))) std::size_t decode_avx2(const char* in, std::size_t n,
                                                        std::uint8_t* out) {
  const __m256i dash = _mm256_set1_epi8('-');
  const __m256i plus = _mm256_set1_epi8('+');
  const __m256i underscore = _mm256_set1_epi8('_');
  const __m256i slash = _mm256_set1_epi8('/');
  const __m256i pack = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                                        2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
  std::size_t i = 0;
  for (; n - i >= 32; i += 32, out += 24) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i upper = within_avx2(c, 'A', 'Z');
    const __m256i lower = within_avx2(c, 'a', 'z');
    const __m256i digit = within_avx2(c, '0', '9');
    const __m256i s62 = _mm256_or_si256(_mm256_cmpeq_epi8(c, dash), _mm256_cmpeq_epi8(c, plus));
    const __m256i s63 =
        _mm256_or_si256(_mm256_cmpeq_epi8(c, underscore), _mm256_cmpeq_epi8(c, slash));
    const __m256i valid = _mm256_or_si256(_mm256_or_si256(upper, lower),
                                          _mm256_or_si256(digit, _mm256_or_si256(s62, s63)));
    if (_mm256_movemask_epi8(valid) != -1) break;
    __m256i v = _mm256_and_si256(upper, _mm256_sub_epi8(c, _mm256_set1_epi8(65)));
    v = _mm256_or_si256(v, _mm256_and_si256(lower, _mm256_sub_epi8(c, _mm256_set1_epi8(71))));
    v = _mm256_or_si256(v, _mm256_and_si256(digit, _mm256_add_epi8(c, _mm256_set1_epi8(4))));
    v = _mm256_or_si256(v, _mm256_and_si256(s62, _mm256_set1_epi8(62)));
    v = _mm256_or_si256(v, _mm256_and_si256(s63, _mm256_set1_epi8(63)));
    const __m256i pairs = _mm256_maddubs_epi16(v, _mm256_set1_epi32(0x01400140));
    const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, pack), lanes);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
  }
  return i;
}

// The decoding table's first 128 entries for one-instruction lookups: the
// sextet, or 0x80 for every character the vector step does not take.
constexpr std::array<std::int8_t, 128> make_vector_table() {
  std::array<std::int8_t, 128> t{};
  for (std::size_t i = 0; i < t.size(); ++i) {
    t[i] = decode_table[i] >= 0 ? decode_table[i] : static_cast<std::int8_t>(-128);
  }
  return t;
}

constexpr std::array<std::int8_t, 128> vector_table = make_vector_table();

#define QV_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// Every lane. The zero-masked intrinsics with this mask are the plain ones,
// without GCC 12's false "may be used uninitialized" warnings.
constexpr __mmask64 all = ~__mmask64{0};

// Encodes `groups` runs of 48 bytes from `in` into 64 characters each, with
// AVX-512 VBMI's byte permutes and multishift.
QV_VBMI void encode_vbmi(const std::uint8_t* in, std::size_t groups, char* out) {
  const __m512i gather =
      _mm512_setr_epi32(0x01020001, 0x04050304, 0x07080607, 0x0a0b090a, 0x0d0e0c0d, 0x10110f10,
                        0x13141213, 0x16171516, 0x191a1819, 0x1c1d1b1c, 0x1f201e1f, 0x22232122,
                        0x25262425, 0x28292728, 0x2b2c2a2b, 0x2e2f2d2e);
  const __m512i shifts = _mm512_set1_epi64(0x3036242a1016040aLL);
  const __m512i alphabet = _mm512_loadu_si512(b64url_chars.data());
  for (std::size_t g = 0; g < groups; ++g, in += 48, out += 64) {
    const __m512i v = _mm512_maskz_loadu_epi8(0x0000FFFFFFFFFFFFULL, in);
    const __m512i sextets = _mm512_maskz_multishift_epi64_epi8(
        all, shifts, _mm512_maskz_permutexvar_epi8(all, gather, v));
    _mm512_storeu_si512(out, _mm512_maskz_permutexvar_epi8(all, sextets, alphabet));
  }
}

// As `decode_avx2`, 64 characters into 48 bytes per block, with a 128-entry
// table lookup; writes nothing past the decoded bytes.
QV_VBMI std::size_t decode_vbmi(const char* in, std::size_t n, std::uint8_t* out) {
  const __m512i lo = _mm512_loadu_si512(vector_table.data());
  const __m512i hi = _mm512_loadu_si512(vector_table.data() + 64);
  const __m512i pack =
      _mm512_set_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                  //
                      60, 61, 62, 56, 57, 58, 52, 53, 54, 48, 49, 50, 44, 45, 46, 40,  //
                      41, 42, 36, 37, 38, 32, 33, 34, 28, 29, 30, 24, 25, 26, 20, 21,  //
                      22, 16, 17, 18, 12, 13, 14, 8, 9, 10, 4, 5, 6, 0, 1, 2);
  std::size_t i = 0;
  for (; n - i >= 64; i += 64, out += 48) {
    const __m512i c = _mm512_loadu_si512(in + i);
    const __m512i v = _mm512_permutex2var_epi8(lo, c, hi);
    // A character from 0x80 up, or one whose entry is 0x80, ends the run.
    if (_mm512_movepi8_mask(_mm512_or_si512(v, c)) != 0) break;
    const __m512i pairs = _mm512_maddubs_epi16(v, _mm512_set1_epi32(0x01400140));
    const __m512i words = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00011000));
    _mm512_mask_storeu_epi8(out, 0x0000FFFFFFFFFFFFULL,
                            _mm512_maskz_permutexvar_epi8(all, pack, words));
  }
  return i;
}

// Whether the 32 characters at `at` are all alphabet characters, '+' or '/',
// as the decoding table's non-negative entries.
__attribute__((target("avx2"))) bool plain_block_avx2(const char* at) {
  const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  const __m256i s62 = _mm256_or_si256(_mm256_cmpeq_epi8(c, _mm256_set1_epi8('-')),
                                      _mm256_cmpeq_epi8(c, _mm256_set1_epi8('+')));
  const __m256i s63 = _mm256_or_si256(_mm256_cmpeq_epi8(c, _mm256_set1_epi8('_')),
                                      _mm256_cmpeq_epi8(c, _mm256_set1_epi8('/')));
  const __m256i valid =
      _mm256_or_si256(_mm256_or_si256(within_avx2(c, 'A', 'Z'), within_avx2(c, 'a', 'z')),
                      _mm256_or_si256(within_avx2(c, '0', '9'), _mm256_or_si256(s62, s63)));
  return _mm256_movemask_epi8(valid) == -1;
}

// The same for all `n` characters at `in` (at least 32): whole blocks, the
// last one overlapping the one before it.
__attribute__((target("avx2"))) bool plain_avx2(const char* in, std::size_t n) {
  for (std::size_t i = 0; i + 32 < n; i += 32) {
    if (!plain_block_avx2(in + i)) return false;
  }
  return plain_block_avx2(in + n - 32);
}

bool have_vbmi() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vbmi");
}

bool have_avx2() { return __builtin_cpu_supports("avx2"); }
#endif

}  // namespace

std::size_t base64url_size(std::size_t n) { return n / 3 * 4 + (n % 3 == 0 ? 0 : n % 3 + 1); }

char* base64url_encode_to(const std::uint8_t* in, std::size_t n, char* out) {
  std::size_t i = 0;
#if QV_X86_SIMD
  if (n >= 48 && have_vbmi()) {
    const std::size_t groups = n / 48;
    encode_vbmi(in, groups, out);
    i = groups * 48;
    out += groups * 64;
  } else if (n >= 28 && have_avx2()) {
    const std::size_t groups = (n - 4) / 24;
    encode_avx2(in, groups, out);
    i = groups * 24;
    out += groups * 32;
  }
#endif
  for (; i + 3 <= n; i += 3) {
    const std::uint32_t v = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
    *out++ = b64url_chars[v >> 18];
    *out++ = b64url_chars[(v >> 12) & 63];
    *out++ = b64url_chars[(v >> 6) & 63];
    *out++ = b64url_chars[v & 63];
  }
  if (n - i == 1) {
    const std::uint32_t v = std::uint32_t{in[i]} << 16;
    *out++ = b64url_chars[v >> 18];
    *out++ = b64url_chars[(v >> 12) & 63];
  } else if (n - i == 2) {
    const std::uint32_t v = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8;
    *out++ = b64url_chars[v >> 18];
    *out++ = b64url_chars[(v >> 12) & 63];
    *out++ = b64url_chars[(v >> 6) & 63];
  }
  return out;
}

std::string base64url_encode(const std::uint8_t* in, std::size_t n) {
  std::string out(base64url_size(n), '\0');
  base64url_encode_to(in, n, out.data());
  return out;
}

template <class Buffer>
bool base64url_decode(std::string_view text, Buffer& out) {
  out.clear();
  // 8 spare bytes: the vector step writes 32 bytes for the 24 it decodes.
  out.resize(text.size() / 4 * 3 + 3 + 8);
  std::uint8_t* o = out.data();
  std::uint32_t acc = 0;
  int held = 0;  // sextets in `acc`
#if QV_X86_SIMD
  const bool vbmi = have_vbmi();
  const bool simd = vbmi || have_avx2();
#endif
  for (std::size_t i = 0; i < text.size();) {
#if QV_X86_SIMD
    // Whole groups only: a block starts with no sextets held, and stops at
    // the first skipped or invalid character, which the loop below handles.
    if (simd && held == 0 && text.size() - i >= 32) {
      const std::size_t done = vbmi ? decode_vbmi(text.data() + i, text.size() - i, o)
                                    : decode_avx2(text.data() + i, text.size() - i, o);
      i += done;
      o += done / 4 * 3;
      if (i == text.size()) break;
    }
#endif
    const std::int8_t v = decode_table[static_cast<unsigned char>(text[i++])];
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

void write_body_head(std::uint8_t* b, std::string_view key_id, bool deterministic,
                     std::string_view metadata_text, const std::uint8_t* nonce) {
  const std::size_t L = key_id.size();
  const std::size_t M = metadata_text.size();
  b[0] = token_version;
  b[1] = deterministic ? flag_deterministic : 0;
  b[2] = static_cast<std::uint8_t>(L);
  std::memcpy(b + 3, key_id.data(), L);
  std::memcpy(b + 3 + L, nonce, nonce_size);
  b[31 + L] = static_cast<std::uint8_t>(M >> 8);
  b[32 + L] = static_cast<std::uint8_t>(M & 0xFF);
  if (M > 0) std::memcpy(b + 33 + L, metadata_text.data(), M);
}

std::string encode_token(std::string_view key_id, bool deterministic,
                         std::string_view metadata_text, const std::uint8_t* nonce,
                         const std::uint8_t* tag, const Bytes& ciphertext) {
  const std::size_t L = key_id.size();
  const std::size_t M = metadata_text.size();
  Bytes body(body_fixed_size + L + M + ciphertext.size());
  std::uint8_t* b = body.data();
  write_body_head(b, key_id, deterministic, metadata_text, nonce);
  std::memcpy(b + 3 + L + nonce_size, tag, tag_size);
  if (!ciphertext.empty()) std::memcpy(b + 33 + L + M, ciphertext.data(), ciphertext.size());

  const std::string text = base64url_encode(body.data(), body.size());
  std::string token;
  token.reserve(token_prefix.size() + text.size());
  token.append(token_prefix);
  token.append(text);
  return token;
}

void check_key_id(std::string_view key_id) {
  if (key_id.size() - 1 > max_key_id_size - 1)
    throw ArgumentError("qv: keyId must be 1-255 bytes.");
  if (key_id.find('\0') != std::string_view::npos)
    throw ArgumentError("qv: keyId must not contain NUL bytes.");
}

template <class Buffer>
bool decode_token_body(std::string_view token, TokenData& out, Buffer& body,
                       std::size_t& ciphertext_at) {
  if (token.size() < token_prefix.size()) return false;
  if (token.substr(0, token_prefix.size()) != token_prefix) return false;
  if (!base64url_decode(token.substr(token_prefix.size()), body)) return false;
  const std::size_t n = body.size();
  if (n <= body_fixed_size) return false;
  out.version = body[0];
  if (out.version != token_version) return false;
  out.flags = body[1];
  out.deterministic = (out.flags & flag_deterministic) != 0;
  const std::size_t L = body[2];
  if (L == 0 || 3 + L > n) return false;
  if (std::memchr(body.data() + 3, 0, L) != nullptr) return false;
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
  ciphertext_at = 33 + L + M;
  return true;
}

template bool base64url_decode(std::string_view, Bytes&);
template bool base64url_decode(std::string_view, SecretBytes&);
template bool decode_token_body(std::string_view, TokenData&, Bytes&, std::size_t&);
template bool decode_token_body(std::string_view, TokenData&, SecretBytes&, std::size_t&);

bool decode_token(std::string_view token, TokenData& out) {
  Bytes body;
  std::size_t at = 0;
  if (!decode_token_body(token, out, body, at)) return false;
  // The ciphertext runs to the end of the body: slide it to the front and keep
  // the body's storage rather than copying it.
  body.erase(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(at));
  out.ciphertext = std::move(body);
  return true;
}

namespace {

// Whether the first `n` characters of `b64` are all in the alphabet, so none
// is skipped and every body byte among them sits where the count says.
bool plain_prefix(std::string_view b64, std::size_t n) {
  if (n > b64.size()) return false;
#if QV_X86_SIMD
  // Opening a column reads every token's head twice: this check was most of
  // the cost of sizing a short row.
  if (n >= 32 && have_avx2()) return plain_avx2(b64.data(), n);
#endif
  for (std::size_t i = 0; i < n; ++i) {
    if (decode_table[static_cast<unsigned char>(b64[i])] < 0) return false;
  }
  return true;
}

// Byte `j` of the body whose text is `b64`, read from a plain prefix that
// covers it.
std::size_t body_byte(std::string_view b64, std::size_t j) {
  const std::size_t at = j / 3 * 4;
  std::uint32_t bits = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const int v = at + k < b64.size() ? decode_table[static_cast<unsigned char>(b64[at + k])] : 0;
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
  }
  return (bits >> (16 - 8 * (j % 3))) & 0xFF;
}

// The characters that must be plain for byte `j` to be read: all of its group
// that exists.
std::size_t chars_for(std::size_t j, std::size_t text_size) {
  return std::min((j / 3 + 1) * 4, std::max(text_size, j / 3 * 4 + j % 3 + 2));
}

}  // namespace

bool read_head_sizes(std::string_view token, std::size_t& key_id_size, std::size_t& metadata_size,
                     std::size_t& body_size) {
  if (token.size() <= token_prefix.size()) return false;
  const std::string_view b64 = token.substr(token_prefix.size());
  if (!plain_prefix(b64, chars_for(2, b64.size()))) return false;
  key_id_size = body_byte(b64, 2);
  const std::size_t meta_at = 3 + key_id_size + nonce_size + tag_size;
  if (!plain_prefix(b64, chars_for(meta_at + 1, b64.size()))) return false;
  metadata_size = body_byte(b64, meta_at) << 8 | body_byte(b64, meta_at + 1);
  // Characters skipped further on only shorten the body: an upper bound.
  const std::size_t rem = b64.size() % 4;
  body_size = b64.size() / 4 * 3 + (rem >= 2 ? rem - 1 : 0);
  return true;
}

}  // namespace qv
