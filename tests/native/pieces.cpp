// Feeding the cipher in pieces gives exactly the bytes and tag of one call.
//
// Built and run by tests/test_native_pieces.py; prints each failed check and
// exits 1 if any fails.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "token/token.h"

namespace {

int failures = 0;

void check(bool ok, const char* what, std::size_t a = 0, std::size_t b = 0, std::size_t c = 0) {
  if (!ok && ++failures <= 20) std::printf("FAIL %s (%zu, %zu, %zu)\n", what, a, b, c);
}

// Bytes that differ with every size and position.
std::vector<std::uint8_t> filler(std::size_t n, std::uint32_t seed) {
  std::vector<std::uint8_t> out(n);
  for (std::size_t i = 0; i < n; ++i)
    out[i] = static_cast<std::uint8_t>((seed + i) * 2654435761u >> 24);
  return out;
}

std::vector<std::uint8_t> from_hex(const char* hex) {
  std::vector<std::uint8_t> out;
  for (unsigned v = 0; std::sscanf(hex, "%2x", &v) == 1; hex += 2) out.push_back(v & 0xFF);
  return out;
}

void check_sizes(std::size_t pt_n, std::size_t aad_n, const std::uint8_t* key,
                 const std::uint8_t* nonce) {
  const auto pt = filler(pt_n, static_cast<std::uint32_t>(pt_n * 1009 + aad_n));
  const auto aad = filler(aad_n, static_cast<std::uint32_t>(aad_n * 7919 + 3));
  qv::EncryptResult whole;
  check(qv::do_encrypt(pt.data(), pt_n, key, aad.data(), aad_n, nonce, whole), "encrypt", pt_n);
  check(whole.ciphertext.size() == pt_n && whole.tag.size() == qv::tag_size, "sizes", pt_n);
  for (const std::size_t piece : {1, 3, 7, 64, 1000}) {
    qv::EncryptResult part;
    check(qv::do_encrypt(pt.data(), pt_n, key, aad.data(), aad_n, nonce, part, piece) &&
              part.ciphertext == whole.ciphertext && part.tag == whole.tag,
          "encrypt in pieces equals one call", pt_n, aad_n, piece);
    qv::SecretBytes opened;
    check(qv::do_decrypt(whole.ciphertext.data(), pt_n, key, aad.data(), aad_n, nonce,
                         whole.tag.data(), opened, piece) &&
              opened.size() == pt_n && std::equal(opened.begin(), opened.end(), pt.begin()),
          "decrypt in pieces gives the plaintext", pt_n, aad_n, piece);
  }
  // A flipped tag byte never opens, whatever the piece size, and leaves nothing.
  auto bad_tag = whole.tag;
  bad_tag[(pt_n + aad_n) % qv::tag_size] ^= 0x01;
  for (const std::size_t piece : {std::size_t{1}, qv::max_update_piece}) {
    qv::SecretBytes opened(3, 0xAA);
    check(!qv::do_decrypt(whole.ciphertext.data(), pt_n, key, aad.data(), aad_n, nonce,
                          bad_tag.data(), opened, piece) &&
              opened.empty(),
          "flipped tag refused, no plaintext", pt_n, aad_n, piece);
  }
}

// RFC 8439, section 2.8.2: the AEAD example, sealed in pieces of every size
// from 1 to past the whole, must give the RFC's tag and ciphertext.
void check_rfc8439() {
  const char* text =
      "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
      "future, sunscreen would be it.";
  const auto key = from_hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
  const auto nonce = from_hex("070000004041424344454647");
  const auto aad = from_hex("50515253c0c1c2c3c4c5c6c7");
  const auto tag = from_hex("1ae10b594f09e26a7e902ecbd0600691");
  const auto ct_head = from_hex("d31a8d34648e60db7b86afbc53ef7ec2");
  const std::size_t n = std::strlen(text);
  for (std::size_t piece = 1; piece <= n + 1; ++piece) {
    qv::EncryptResult out;
    check(qv::do_encrypt(reinterpret_cast<const std::uint8_t*>(text), n, key.data(), aad.data(),
                         aad.size(), nonce.data(), out, piece) &&
              out.tag == tag && std::equal(ct_head.begin(), ct_head.end(), out.ciphertext.begin()),
          "rfc8439 in pieces", piece);
  }
}

}  // namespace

int main() {
  const auto key = filler(qv::key_size, 42);
  const auto nonce = filler(qv::nonce_size, 7);
  // Every plaintext size from 0 to 300 against the edge sizes of aad, and the
  // other way round.
  for (std::size_t n = 0; n <= 300; ++n)
    for (const std::size_t edge : {0, 1, 2, 3, 7, 63, 64, 65, 127, 128, 129, 191, 192, 193, 300}) {
      check_sizes(n, edge, key.data(), nonce.data());
      check_sizes(edge, n, key.data(), nonce.data());
    }
  check_rfc8439();

  // A part whose length does not fit the 32-bit frame gets no nonce, and no
  // byte of it is read: the pointers are to a single byte.
  const std::uint8_t one = 0x5A;
  const std::size_t too_long = std::size_t{1} << 32;
  check(qv::siv_nonce(key.data(), &one, too_long, &one, 1).empty() &&
            qv::siv_nonce(key.data(), &one, 1, &one, too_long).empty(),
        "siv refuses a part of 2^32 bytes");
  const auto siv = qv::siv_nonce(key.data(), &one, 1, &one, 1);
  check(siv.size() == qv::nonce_size, "siv gives 12 bytes");
  check(qv::siv_nonce(key.data(), &one, 1, nullptr, 0) != siv, "siv frames the parts");

  if (failures != 0) std::printf("%d checks failed\n", failures);
  return failures != 0;
}
