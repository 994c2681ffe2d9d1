// The bulk routines give every row what the single-value routines give it.
//
// Built and run by tests/test_native_bulk.py; prints each failed check and
// exits 1 if any fails.
#include "bulk/bulk.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "single_open.h"

namespace {

using qv_reference::single_open;

int failures = 0;

void check(bool ok, const char* what, std::size_t a = 0, std::size_t b = 0) {
  if (!ok && ++failures <= 20) std::printf("FAIL %s (%zu, %zu)\n", what, a, b);
}

std::string filler(std::size_t n, std::uint32_t seed) {
  std::string out(n, '\0');
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((seed + i) * 2654435761u >> 24);
  return out;
}

const std::uint8_t* bytes(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

// The token the single-value path writes for one row, with `nonce` (or the
// synthetic nonce in deterministic mode).
std::string single_token(const qv::SealBatch& batch, const std::string& pt, const std::string& aad,
                         const std::uint8_t* nonce) {
  const qv::Bytes ad =
      qv::build_aad(batch.key_id, batch.metadata_text, batch.deterministic, aad, nullptr);
  qv::Bytes siv;
  if (batch.deterministic) {
    siv = qv::siv_nonce(batch.key, ad.data(), ad.size(), bytes(pt), pt.size());
    nonce = siv.data();
  }
  std::string out(qv::sealed_size(batch, pt.size()), '\0');
  check(qv::seal_token(bytes(pt), pt.size(), batch.key, ad.data(), ad.size(), nonce, batch.key_id,
                       batch.deterministic, batch.metadata_text, out.data()),
        "single seal");
  return out;
}

void check_batch(bool deterministic, std::size_t threads, std::size_t count) {
  const std::string key = filler(qv::key_size, 1);
  const std::string other_key = filler(qv::key_size, 2);
  const std::string metadata_text = deterministic ? "{\"m\":\"v\"}" : "";
  qv::SealBatch batch;
  batch.key = bytes(key);
  batch.key_id = "kid";
  batch.deterministic = deterministic;
  batch.metadata_text = metadata_text;

  std::vector<std::string> pts(count), aads(count), tokens(count);
  std::vector<qv::SealRow> rows(count);
  std::vector<qv::RowStatus> status(count, qv::RowStatus::ok);
  for (std::size_t i = 0; i < count; ++i) {
    // Sizes around the token writer's groups and pieces, and one far past them.
    const std::size_t size = i == 7 ? 3 * 8192 * 2 + 1 : 1 + i % 70;
    pts[i] = filler(size, static_cast<std::uint32_t>(i));
    aads[i] = i % 3 == 0 ? std::string() : filler(i % 9, static_cast<std::uint32_t>(i * 7));
    if (i % 11 == 5) status[i] = qv::RowStatus::null;
    tokens[i].assign(qv::sealed_size(batch, size), '\0');
    rows[i] = {pts[i], aads[i], tokens[i].data()};
  }
  qv::seal_many(batch, rows.data(), count, status.data(), threads);

  for (std::size_t i = 0; i < count; ++i) {
    if (i % 11 == 5) {
      check(status[i] == qv::RowStatus::null && tokens[i] == std::string(tokens[i].size(), '\0'),
            "a null row is left alone", i);
      continue;
    }
    check(status[i] == qv::RowStatus::ok, "sealed", i, threads);
    std::string pt;
    check(single_open(tokens[i], bytes(key), aads[i], pt) && pt == pts[i],
          "each token opens on the single path", i, threads);
    if (deterministic)
      check(tokens[i] == single_token(batch, pts[i], aads[i], nullptr),
            "deterministic rows equal single tokens", i, threads);
  }
  // Random nonces are the batch's own, one per row.
  if (!deterministic && count > 1) {
    qv::TokenData a, b;
    check(qv::decode_token(tokens[0], a) && qv::decode_token(tokens[1], b) && a.nonce != b.nonce,
          "rows get different nonces");
  }

  // Opening: by key id, with a missing id, a tampered row, a caller error on
  // a good and on a malformed token, and null rows.
  const std::map<std::string, qv::SecretBytes, std::less<>> by_id = {
      {"kid", qv::SecretBytes(key.begin(), key.end())},
      {"zzz", qv::SecretBytes(other_key.begin(), other_key.end())}};
  qv::OpenKeys keys;
  keys.by_id = &by_id;
  std::vector<std::string> opened(count);
  std::vector<qv::OpenRow> open_rows(count);
  std::vector<qv::OpenedInfo> infos(count);
  std::vector<qv::RowStatus> open_status(count, qv::RowStatus::ok);
  for (std::size_t i = 0; i < count; ++i) {
    if (i % 11 == 5) {
      open_status[i] = qv::RowStatus::null;
      continue;
    }
    if (i % 13 == 1) tokens[i][tokens[i].size() - 2] ^= 0x01;  // still base64url
    if (i % 17 == 2) tokens[i] = "qv.v2.AAAA";
    if (i % 19 == 3 || i % 17 == 2) open_status[i] = qv::RowStatus::caller_error;
    opened[i].assign(qv::open_capacity(tokens[i].size()), '\x5A');
    open_rows[i].token = tokens[i];
    open_rows[i].aad = aads[i];
    open_rows[i].out = reinterpret_cast<std::uint8_t*>(opened[i].data());
    open_rows[i].info = &infos[i];
  }
  qv::open_many(keys, open_rows.data(), count, open_status.data(), threads);
  for (std::size_t i = 0; i < count; ++i) {
    if (i % 11 == 5) {
      check(open_status[i] == qv::RowStatus::null, "a null row stays null", i);
      continue;
    }
    std::string pt;
    const bool single = single_open(tokens[i], bytes(key), aads[i], pt);
    qv::TokenData td;
    const bool decodes = qv::decode_token(tokens[i], td);
    if (i % 19 == 3 || i % 17 == 2) {
      // The token is looked at before the caller's argument.
      check(open_status[i] == (decodes ? qv::RowStatus::caller_error : qv::RowStatus::failed),
            "a caller error stays only on a token that decodes", i);
    } else if (single) {
      check(open_status[i] == qv::RowStatus::ok && open_rows[i].out_size == pt.size() &&
                opened[i].compare(0, pt.size(), pt) == 0,
            "opens as the single path does", i, threads);
      check(infos[i].key_id == "kid" && infos[i].deterministic == deterministic,
            "reports the token's key id and mode", i);
    } else {
      check(open_status[i] == qv::RowStatus::failed, "fails as the single path does", i, threads);
    }
    if (open_status[i] != qv::RowStatus::ok)
      check(opened[i] == std::string(opened[i].size(), '\x5A'), "a failing row writes nothing", i);
  }
  // A token whose key id the keys do not hold fails.
  {
    const std::map<std::string, qv::SecretBytes, std::less<>> none = {
        {"zzz", qv::SecretBytes(other_key.begin(), other_key.end())}};
    qv::OpenKeys only_other;
    only_other.by_id = &none;
    std::string out(qv::open_capacity(tokens[0].size()), '\0');
    qv::OpenRow row;
    row.token = tokens[0];
    row.aad = aads[0];
    row.out = reinterpret_cast<std::uint8_t*>(out.data());
    qv::RowStatus st = qv::RowStatus::ok;
    qv::open_many(only_other, &row, 1, &st, 1);
    check(st == qv::RowStatus::failed, "missing key id fails");
  }
}

void check_prepared_siv() {
  const std::string key = filler(qv::key_size, 9);
  qv::SivKey siv;
  check(qv::prepare_siv(siv, bytes(key)), "prepare siv");
  for (std::size_t a = 0; a < 140; a += 7)
    for (std::size_t b = 0; b < 140; b += 5) {
      const std::string pa = filler(a, static_cast<std::uint32_t>(a)), pb = filler(b, 3);
      std::uint8_t nonce[qv::nonce_size];
      const qv::Bytes want = qv::siv_nonce(bytes(key), bytes(pa), a, bytes(pb), b);
      check(qv::siv_nonce(siv, bytes(pa), a, bytes(pb), b, nonce) &&
                std::memcmp(nonce, want.data(), qv::nonce_size) == 0,
            "prepared siv equals siv_nonce", a, b);
    }
}

void check_caller_aad_text() {
  const qv::Metadata maps[] = {{}, {{"", ""}}, {{"a", "b"}, {"c", "d"}}, {{"a=b", "c"}}};
  for (const auto& map : maps) {
    check(qv::build_aad("k", "{}", true, qv::caller_aad_text("ignored", &map), nullptr) ==
              qv::build_aad("k", "{}", true, "ignored", &map),
          "the caller's data as one text gives the same associated data", map.size());
  }
  check(qv::caller_aad_text("t", nullptr) == "t", "a text stays as it is");
}

}  // namespace

int main() {
  for (const bool deterministic : {false, true})
    for (const std::size_t threads : {1, 2, 4}) check_batch(deterministic, threads, 1500);
  check_batch(true, 3, 2);
  check_prepared_siv();
  check_caller_aad_text();
  check(qv::bulk_workers(10, 100, 8) == 1, "a small batch stays on one thread");
  check(qv::bulk_workers(100000, 0, 8) == 8, "a large batch uses every thread");
  check(qv::bulk_workers(100000, 0, 1) == 1, "never more than asked");
  check(qv::usable_cores() >= 1, "at least one core");
  if (failures != 0) std::printf("%d checks failed\n", failures);
  return failures != 0;
}
