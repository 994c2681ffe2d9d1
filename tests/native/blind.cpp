// Blind index values from the C++ library alone (<qv/blind.h>), printed for
// tests/test_native_blind.py to check against Python's hmac: one line per
// value and size, "<bits> <i> <hex>", then "refused <bits>" for sizes out of
// range and "kept" if skipped rows were left unwritten.
#include <qv/blind.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

int main() {
  std::uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i);
  const std::vector<std::string_view> values = {"", "a", "Ada@example.com",
                                                std::string_view("\0\x01\xff", 3)};
  for (unsigned bits : {1u, 3u, 4u, 5u, 31u, 32u, 63u, 64u, 200u, 255u, 256u}) {
    const std::size_t width = qv::blind_hex_size(bits);
    std::string out(values.size() * width, '?');
    if (!qv::blind_many(key, bits, values.data(), nullptr, values.size(), out.data())) return 1;
    for (std::size_t i = 0; i < values.size(); ++i)
      std::printf("%u %zu %s\n", bits, i, out.substr(i * width, width).c_str());
  }
  for (unsigned bits : {0u, 257u}) {
    char out[80];
    if (!qv::blind_many(key, bits, values.data(), nullptr, values.size(), out))
      std::printf("refused %u\n", bits);
  }
  const bool skip[] = {true, false, true, false};
  std::string out(values.size() * 8, '?');
  if (!qv::blind_many(key, 32, values.data(), skip, values.size(), out.data())) return 1;
  if (out.substr(0, 8) == "????????" && out.substr(16, 8) == "????????") std::printf("kept\n");
  return 0;
}
