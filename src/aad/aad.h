// Associated data: the canonical flat JSON text of a metadata map, its readers,
// and the byte layout that every tag binds.
//
// src/aad may use the standard library and <qv/...>; never Python. The
// readers take untrusted text: they return false on malformed input and never
// throw (only allocation failure escapes).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "common/common.h"

namespace qv {

// The canonical text of `map`: "" for the empty map, otherwise `{"k":"v",...}`
// in map order with no whitespace; `"`, `\` and bytes below 0x20 are escaped,
// every other byte is copied. A pure function of the map; never fails.
std::string serialize_sorted_json(const Metadata& map);

// Reads one JSON string literal starting at `pos` in `text` into `out`.
// On success `pos` is just past the closing quotation mark. A `\uXXXX`
// escape becomes the UTF-8 pattern of its value on its own (surrogates are not
// paired and nothing checks that the result is valid UTF-8). Returns false,
// with `pos` and `out` unspecified, on malformed input; never throws.
bool json_parse_string(std::string_view text, std::uint32_t& pos, std::string& out);

// Reads `text`, which must be exactly one flat JSON object whose values are
// all strings (whitespace: space, tab, LF, CR), into `out`. A repeated key
// keeps its last value. Returns false on anything else, the empty text
// included, leaving `out` partly filled; never throws.
bool parse_flat_json_object(std::string_view text, Metadata& out);

// Lays out the associated data: the label ("qv.v2.det" when `deterministic`,
// else "qv.v2"), `key_id`, "meta:" + `metadata_text` when that is not empty,
// then the caller's data: one "key=value" field per entry of `aad_map` when it
// is non-null and non-empty, else `aad_text` when that is not empty. Fields are
// joined by single NUL bytes. Never fails.
Bytes build_aad(std::string_view key_id, std::string_view metadata_text, bool deterministic,
                std::string_view aad_text, const Metadata* aad_map);

// As `build_aad`, but lays the bytes out in `out` (replacing what it held), so
// a caller sealing many values reuses one buffer. Never fails.
void build_aad_into(Bytes& out, std::string_view key_id, std::string_view metadata_text,
                    bool deterministic, std::string_view aad_text, const Metadata* aad_map);

// The caller's data as the one text that gives the same associated data: the
// "key=value" fields of a non-empty `aad_map` joined by NUL bytes, else
// `aad_text`. build_aad(i, m, d, caller_aad_text(t, map), nullptr) equals
// build_aad(i, m, d, t, map). Never fails.
std::string caller_aad_text(std::string_view aad_text, const Metadata* aad_map);

}  // namespace qv
