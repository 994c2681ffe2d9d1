// What every subsystem shares and that needs no Python: buffers for secrets,
// the one source of randomness, and hex formatting.
//
// Every copy the library makes of a key, password, salt, plaintext or derived
// key lives in one of these types. Their allocator overwrites the memory with
// OPENSSL_cleanse before handing it back, so a secret never lingers in freed
// heap memory, including the old block a growing vector leaves behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qv {

// Overwrites `n` bytes at `p` with zeros in a way the compiler cannot elide.
void cleanse(void* p, std::size_t n) noexcept;

template <class T>
struct CleansingAllocator {
  using value_type = T;

  CleansingAllocator() noexcept = default;
  template <class U>
  CleansingAllocator(const CleansingAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    cleanse(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }

  template <class U>
  bool operator==(const CleansingAllocator<U>&) const noexcept {
    return true;
  }
  template <class U>
  bool operator!=(const CleansingAllocator<U>&) const noexcept {
    return false;
  }
};

// Plain bytes: ciphertexts, nonces, tags, associated data.
using Bytes = std::vector<std::uint8_t>;
// Bytes that hold a secret.
using SecretBytes = std::vector<std::uint8_t, CleansingAllocator<std::uint8_t>>;
// Text that holds a secret (a plaintext or password argument). Its heap block is
// cleansed by the allocator; a short string lives inside the object itself,
// so holders wipe it with `WipeOnExit`.
using SecretString = std::basic_string<char, std::char_traits<char>, CleansingAllocator<char>>;

// Zeroes every byte of a secret string when the scope ends, on every path,
// including a short string's inline storage that the allocator never sees.
struct WipeOnExit {
  SecretString& s;
  ~WipeOnExit() { cleanse(s.data(), s.size()); }
};

// Fills `n` bytes at `out` from OpenSSL's random generator. Throws
// std::runtime_error "qv: random generator failed." when the generator does
// not deliver, after zeroing `out`, so no partial draw is ever used.
void fill_random(std::uint8_t* out, std::size_t n);

// Two lower-case hex digits ("%02x") per byte of `p[0..n)`.
std::string hex_lower(const std::uint8_t* p, std::size_t n);

}  // namespace qv
