// The sizes and limits of the qv.v2 token and of key derivation, named once
// for the library, its bindings and its callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qv {

// Every key qv seals or opens with, and every key it derives, is 32 bytes.
constexpr std::size_t key_size = 32;
constexpr std::size_t nonce_size = 12;
constexpr std::size_t tag_size = 16;
// A key id is 1 to 255 bytes, without NUL bytes.
constexpr std::size_t max_key_id_size = 255;
// The metadata's canonical JSON text fits the token's 16-bit length field.
constexpr std::size_t max_metadata_size = 0xFFFF;

// Every token starts with this text; the rest is unpadded base64url.
constexpr std::string_view token_prefix = "qv.v2.";
constexpr std::uint8_t token_version = 2;
// Bit 0 of a token's flags byte: sealed in deterministic mode.
constexpr std::uint8_t flag_deterministic = 0x01;

// scrypt: N must be a power of two from 2^14 on, and the working memory
// (about 128 * r * N bytes) at most 256 MiB.
constexpr std::uint64_t scrypt_min_n = std::uint64_t{1} << 14;
constexpr std::uint64_t scrypt_max_mem = std::uint64_t{256} << 20;
constexpr std::uint64_t scrypt_default_n = std::uint64_t{1} << 17;
constexpr std::uint32_t scrypt_default_r = 8;
constexpr std::uint32_t scrypt_default_p = 1;
constexpr std::size_t derived_key_size = 32;
// The salt drawn when a password derivation is given none.
constexpr std::size_t random_salt_size = 32;

}  // namespace qv
