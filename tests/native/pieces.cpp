// Feeding the cipher in pieces gives exactly the bytes and tag of one call.
//
// Built and run by tests/test_native_pieces.py. Exits 0 when every check
// holds; prints each failed check and exits 1 otherwise.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "token/token.h"

namespace {

int failures = 0;

void check(bool ok, const char* what, std::size_t a = 0, std::size_t b = 0, std::size_t c = 0) {
  if (ok) return;
  ++failures;
  if (failures <= 20) std::printf("FAIL %s (%zu, %zu, %zu)\n", what, a, b, c);
}

// Deterministic filler, so every size gets distinct, non-zero-patterned bytes.
std::vector<std::uint8_t> filler(std::size_t n, std::uint32_t seed) {
  std::vector<std::uint8_t> out(n);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return out;
}

std::vector<std::uint8_t> from_hex(const char* hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
    unsigned v = 0;
    std::sscanf(hex + i, "%2x", &v);
    out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
}

const std::size_t pieces[] = {1, 3, 7, 64, 1000};

void check_sizes(std::size_t pt_n, std::size_t aad_n, const std::uint8_t* key,
                 const std::uint8_t* nonce) {
  const auto pt = filler(pt_n, static_cast<std::uint32_t>(pt_n * 1009 + aad_n));
  const auto aad = filler(aad_n, static_cast<std::uint32_t>(aad_n * 7919 + 3));
  qv::EncryptResult whole;
  check(qv::do_encrypt(pt.data(), pt_n, key, aad.data(), aad_n, nonce, whole),
        "encrypt default piece", pt_n, aad_n);
  check(whole.ciphertext.size() == pt_n && whole.tag.size() == qv::tag_size,
        "sizes of default result", pt_n, aad_n);
  for (const std::size_t piece : pieces) {
    qv::EncryptResult part;
    check(qv::do_encrypt(pt.data(), pt_n, key, aad.data(), aad_n, nonce, part, piece),
          "encrypt in pieces", pt_n, aad_n, piece);
    check(part.ciphertext == whole.ciphertext, "ciphertext equals one call", pt_n, aad_n, piece);
    check(part.tag == whole.tag, "tag equals one call", pt_n, aad_n, piece);

    qv::SecretBytes opened;
    check(qv::do_decrypt(whole.ciphertext.data(), pt_n, key, aad.data(), aad_n, nonce,
                         whole.tag.data(), opened, piece),
          "decrypt in pieces", pt_n, aad_n, piece);
    check(opened.size() == pt_n && std::equal(opened.begin(), opened.end(), pt.begin()),
          "decrypt gives the plaintext back", pt_n, aad_n, piece);
  }

  // A flipped tag byte never opens, whatever the piece size, and leaves nothing.
  auto bad_tag = whole.tag;
  bad_tag[(pt_n + aad_n) % qv::tag_size] ^= 0x01;
  for (const std::size_t piece : {std::size_t{1}, qv::max_update_piece}) {
    qv::SecretBytes opened(3, 0xAA);
    check(!qv::do_decrypt(whole.ciphertext.data(), pt_n, key, aad.data(), aad_n, nonce,
                          bad_tag.data(), opened, piece),
          "flipped tag refused", pt_n, aad_n, piece);
    check(opened.empty(), "refused open leaves no plaintext", pt_n, aad_n, piece);
  }
  if (pt_n > 0) {
    auto bad_ct = whole.ciphertext;
    bad_ct[pt_n / 2] ^= 0x80;
    qv::SecretBytes opened;
    check(!qv::do_decrypt(bad_ct.data(), pt_n, key, aad.data(), aad_n, nonce, whole.tag.data(),
                          opened, 7),
          "flipped ciphertext refused", pt_n, aad_n);
  }
  if (aad_n > 0) {
    auto bad_aad = aad;
    bad_aad[aad_n - 1] ^= 0x04;
    qv::SecretBytes opened;
    check(!qv::do_decrypt(whole.ciphertext.data(), pt_n, key, bad_aad.data(), aad_n, nonce,
                          whole.tag.data(), opened, 3),
          "changed aad refused", pt_n, aad_n);
  }
}

// RFC 8439, section 2.8.2: the AEAD example, sealed in pieces of every size
// from 1 to past the whole, must give the RFC's tag.
void check_rfc8439() {
  const char* text =
      "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
      "future, sunscreen would be it.";
  const auto key = from_hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
  const auto nonce = from_hex("070000004041424344454647");
  const auto aad = from_hex("50515253c0c1c2c3c4c5c6c7");
  const auto tag = from_hex("1ae10b594f09e26a7e902ecbd0600691");
  const auto ct_head = from_hex("d31a8d34648e60db7b86afbc53ef7ec2");
  const auto* pt = reinterpret_cast<const std::uint8_t*>(text);
  const std::size_t n = std::strlen(text);
  for (std::size_t piece = 1; piece <= n + 1; ++piece) {
    qv::EncryptResult out;
    check(qv::do_encrypt(pt, n, key.data(), aad.data(), aad.size(), nonce.data(), out, piece),
          "rfc8439 encrypt", piece);
    check(out.tag == tag, "rfc8439 tag", piece);
    check(std::equal(ct_head.begin(), ct_head.end(), out.ciphertext.begin()),
          "rfc8439 ciphertext", piece);
  }
}

void check_siv_refuses_long_parts(const std::uint8_t* key) {
  // A length that does not fit the 32-bit frame is refused before any byte is
  // read: the pointer is to a single byte.
  const std::uint8_t one = 0x5A;
  const std::size_t too_long = std::size_t{1} << 32;
  check(qv::siv_nonce(key, &one, too_long, &one, 1).empty(), "siv refuses a of 2^32");
  check(qv::siv_nonce(key, &one, 1, &one, too_long).empty(), "siv refuses b of 2^32");
  check(qv::siv_nonce(key, &one, too_long + 1, &one, too_long).empty(), "siv refuses both");
  const auto nonce = qv::siv_nonce(key, &one, 1, &one, 1);
  check(nonce.size() == qv::nonce_size, "siv gives 12 bytes");
  check(qv::siv_nonce(key, &one, 1, nullptr, 0) != nonce, "siv frames the parts");
}

}  // namespace

int main() {
  const auto key = filler(qv::key_size, 42);
  const auto nonce = filler(qv::nonce_size, 7);

  std::vector<std::size_t> edges = {0, 1, 2, 3, 7, 63, 64, 65, 127, 128, 129, 191, 192, 193, 300};
  // Every plaintext size from 0 to 300 against the edge sizes of aad, and the
  // other way round.
  for (std::size_t pt_n = 0; pt_n <= 300; ++pt_n)
    for (const std::size_t aad_n : edges) check_sizes(pt_n, aad_n, key.data(), nonce.data());
  for (std::size_t aad_n = 0; aad_n <= 300; ++aad_n)
    for (const std::size_t pt_n : edges) check_sizes(pt_n, aad_n, key.data(), nonce.data());

  check_rfc8439();
  check_siv_refuses_long_parts(key.data());

  if (failures != 0) {
    std::printf("%d checks failed\n", failures);
    return 1;
  }
  std::printf("all piece checks passed\n");
  return 0;
}
