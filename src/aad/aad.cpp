#include "aad/aad.h"

namespace qv {
namespace {

void append(Bytes& out, std::string_view s) { out.insert(out.end(), s.begin(), s.end()); }

}  // namespace

Bytes build_aad(std::string_view key_id, std::string_view metadata_text, bool deterministic,
                std::string_view aad_text, const Metadata* aad_map) {
  Bytes out;
  build_aad_into(out, key_id, metadata_text, deterministic, aad_text, aad_map);
  return out;
}

std::string caller_aad_text(std::string_view aad_text, const Metadata* aad_map) {
  if (aad_map == nullptr || aad_map->empty()) return std::string(aad_text);
  std::string out;
  for (const auto& [k, v] : *aad_map) {
    // Every field holds at least its '=', so `out` is empty only before the first.
    if (!out.empty()) out.push_back('\0');
    out.append(k);
    out.push_back('=');
    out.append(v);
  }
  return out;
}

void build_aad_into(Bytes& out, std::string_view key_id, std::string_view metadata_text,
                    bool deterministic, std::string_view aad_text, const Metadata* aad_map) {
  const std::string_view label = deterministic ? "qv.v2.det" : "qv.v2";
  const std::string_view meta_prefix = "meta:";

  std::size_t size = label.size() + 1 + key_id.size();
  if (!metadata_text.empty()) size += 1 + meta_prefix.size() + metadata_text.size();
  const bool use_map = aad_map != nullptr && !aad_map->empty();
  if (use_map) {
    for (const auto& [k, v] : *aad_map) size += 1 + k.size() + 1 + v.size();
  } else if (!aad_text.empty()) {
    size += 1 + aad_text.size();
  }

  out.clear();
  out.reserve(size);
  append(out, label);
  out.push_back(0);
  append(out, key_id);
  if (!metadata_text.empty()) {
    out.push_back(0);
    append(out, meta_prefix);
    append(out, metadata_text);
  }
  if (use_map) {
    for (const auto& [k, v] : *aad_map) {
      out.push_back(0);
      append(out, k);
      out.push_back('=');
      append(out, v);
    }
  } else if (!aad_text.empty()) {
    out.push_back(0);
    append(out, aad_text);
  }
}

}  // namespace qv
