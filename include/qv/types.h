// The value types every public call takes or returns: byte buffers that
// cleanse themselves, a read-only view of bytes, and the metadata map.
//
// Every copy the library makes of a key, password, salt, plaintext or derived
// key lives in a `SecretBytes` or `SecretString`. Their allocator overwrites
// the memory with zeros (OPENSSL_cleanse) before handing it back, so a secret
// never lingers in freed heap memory, including the old block a growing
// vector leaves behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
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
// Text that holds a secret (a plaintext or password). Its heap block is
// cleansed by the allocator; a short string lives inside the object itself,
// so holders wipe it with `WipeOnExit`.
using SecretString = std::basic_string<char, std::char_traits<char>, CleansingAllocator<char>>;

// Zeroes every byte of a secret string when the scope ends, on every path,
// including a short string's inline storage that the allocator never sees.
struct WipeOnExit {
  SecretString& s;
  ~WipeOnExit() { cleanse(s.data(), s.size()); }
};

// A read-only view of bytes the caller owns and keeps alive for the call: a
// key, a salt. Made implicitly from any of the buffers above or from text.
class BytesView {
 public:
  BytesView() = default;
  BytesView(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  BytesView(const Bytes& b) : data_(b.data()), size_(b.size()) {}
  BytesView(const SecretBytes& b) : data_(b.data()), size_(b.size()) {}
  BytesView(std::string_view s)
      : data_(reinterpret_cast<const std::uint8_t*>(s.data())), size_(s.size()) {}
  BytesView(const std::string& s) : BytesView(std::string_view(s)) {}

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// A metadata map: byte strings to byte strings (NULs and empty strings
// allowed), keys unique and in unsigned bytewise order. std::string compares
// through char_traits<char>::compare, which is memcmp, so the order is
// unsigned even where char is signed.
using Metadata = std::map<std::string, std::string>;

}  // namespace qv
