#include <cstdint>
#include <cstdio>
#include <limits>

#include "aad/aad.h"

namespace qv {
namespace {

void append_escaped(std::string& out, const std::string& s) {
  out.reserve(out.size() + s.size() + 2);
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    switch (b) {
      case 0x22: out += "\\\""; break;
      case 0x5C: out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        if (b < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", b);
          out.append(esc, 6);
        } else {
          out += c;
        }
    }
  }
}

bool is_json_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void skip_space(std::string_view text, std::uint32_t& pos) {
  while (pos < text.size() && is_json_space(static_cast<unsigned char>(text[pos]))) ++pos;
}

}  // namespace

std::string serialize_sorted_json(const Metadata& map) {
  std::string out;
  if (map.empty()) return out;
  out += '{';
  bool first = true;
  for (const auto& [key, value] : map) {
    if (!first) out += ',';
    first = false;
    out += '"';
    append_escaped(out, key);
    out += "\":\"";
    append_escaped(out, value);
    out += '"';
  }
  out += '}';
  return out;
}

bool json_parse_string(std::string_view text, std::uint32_t& pos, std::string& out) {
  // Positions are 32-bit; a longer text cannot be addressed, so refuse it.
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  const std::uint32_t end = static_cast<std::uint32_t>(text.size());
  if (pos >= end || text[pos] != '"') return false;
  ++pos;
  out.clear();
  while (pos < end) {
    const char c = text[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c != '\\') {
      out += c;
      ++pos;
      continue;
    }
    if (end - pos < 2) return false;
    const char e = text[pos + 1];
    switch (e) {
      case '"': out += '"'; break;
      case '/': out += '/'; break;
      case '\\': out += '\\'; break;
      case 'b': out += '\x08'; break;
      case 'f': out += '\x0C'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        if (end - pos < 6) return false;
        unsigned v = 0;
        for (std::uint32_t i = 2; i < 6; ++i) {
          const int d = hex_digit(static_cast<unsigned char>(text[pos + i]));
          if (d < 0) return false;
          v = v << 4 | static_cast<unsigned>(d);
        }
        if (v <= 0x7F) {
          out += static_cast<char>(v);
        } else if (v <= 0x7FF) {
          out += static_cast<char>(0xC0 | (v >> 6));
          out += static_cast<char>(0x80 | (v & 0x3F));
        } else {
          out += static_cast<char>(0xE0 | (v >> 12));
          out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
          out += static_cast<char>(0x80 | (v & 0x3F));
        }
        pos += 6;
        continue;
      }
      default: return false;
    }
    pos += 2;
  }
  return false;
}

bool parse_flat_json_object(std::string_view text, Metadata& out) {
  out.clear();
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  const std::uint32_t end = static_cast<std::uint32_t>(text.size());
  std::uint32_t pos = 0;
  skip_space(text, pos);
  if (pos >= end || text[pos] != '{') return false;
  ++pos;
  skip_space(text, pos);
  if (pos < end && text[pos] == '}') {
    ++pos;
    skip_space(text, pos);
    return pos == end;
  }
  std::string key;
  std::string value;
  for (;;) {
    skip_space(text, pos);
    if (!json_parse_string(text, pos, key)) return false;
    skip_space(text, pos);
    if (pos >= end || text[pos] != ':') return false;
    ++pos;
    skip_space(text, pos);
    if (pos >= end || text[pos] != '"') return false;
    if (!json_parse_string(text, pos, value)) return false;
    out.insert_or_assign(key, value);
    skip_space(text, pos);
    if (pos >= end) return false;
    if (text[pos] == '}') {
      ++pos;
      skip_space(text, pos);
      return pos == end;
    }
    if (text[pos] != ',') return false;
    ++pos;
  }
}

}  // namespace qv
