// Bulk sealing and opening against the single-value path: every sealed row
// opens on the single path (and in deterministic mode is the single path's
// token), and every row given to open_many, sealed or arbitrary text, opens
// exactly when the single path opens it, to the same plaintext.
#include "bulk/bulk.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "single_open.h"

namespace {

using qv_reference::single_open;

void check(bool ok) {
  if (!ok) std::abort();
}

const std::uint8_t* bytes(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::string key = in.ConsumeBytesAsString(qv::key_size);
  key.resize(qv::key_size, '\0');
  std::string key_id = in.ConsumeRandomLengthString(16);
  for (char& c : key_id)
    if (c == '\0') c = '0';
  if (key_id.empty()) key_id = "k";
  qv::Metadata metadata;
  for (int n = in.ConsumeIntegralInRange(0, 2); n > 0; --n) {
    std::string k = in.ConsumeRandomLengthString(8);
    metadata[std::move(k)] = in.ConsumeRandomLengthString(8);
  }
  const std::string metadata_text = qv::serialize_sorted_json(metadata);
  qv::SealBatch batch;
  batch.key = bytes(key);
  batch.key_id = key_id;
  batch.deterministic = in.ConsumeBool();
  batch.metadata_text = metadata_text;
  const std::size_t threads = in.ConsumeIntegralInRange<std::size_t>(1, 3);

  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 6);
  std::vector<std::string> pts(n), aads(n), tokens(n);
  std::vector<qv::RowStatus> status(n, qv::RowStatus::ok);
  for (std::size_t i = 0; i < n; ++i) {
    pts[i] = in.ConsumeRandomLengthString(200);
    if (pts[i].empty()) status[i] = qv::RowStatus::null;
    aads[i] = in.ConsumeRandomLengthString(16);
  }
  // Arbitrary text to open as tokens, with its own aad.
  std::vector<std::string> junk(in.ConsumeIntegralInRange<std::size_t>(0, 3));
  for (auto& j : junk) j = in.ConsumeRandomLengthString(120);

  std::vector<qv::SealRow> rows(n);
  for (std::size_t i = 0; i < n; ++i) {
    tokens[i].assign(status[i] == qv::RowStatus::null ? 0 : qv::sealed_size(batch, pts[i].size()),
                     '\0');
    rows[i] = {pts[i], aads[i], tokens[i].data()};
  }
  qv::seal_many(batch, rows.data(), n, status.data(), threads);
  for (std::size_t i = 0; i < n; ++i) {
    if (status[i] == qv::RowStatus::null) continue;
    check(status[i] == qv::RowStatus::ok);
    std::string pt;
    check(single_open(tokens[i], batch.key, aads[i], pt) && pt == pts[i]);
    if (batch.deterministic) {
      const qv::Bytes ad = qv::build_aad(key_id, metadata_text, true, aads[i], nullptr);
      const qv::Bytes siv =
          qv::siv_nonce(batch.key, ad.data(), ad.size(), bytes(pts[i]), pts[i].size());
      std::string single(tokens[i].size(), '\0');
      check(qv::seal_token(bytes(pts[i]), pts[i].size(), batch.key, ad.data(), ad.size(),
                           siv.data(), key_id, true, metadata_text, single.data()));
      check(single == tokens[i]);
    }
  }

  // Open the sealed rows and the arbitrary ones together, in one batch.
  std::vector<std::string> all(tokens);
  std::vector<std::string> all_aads(aads);
  for (const auto& j : junk) {
    all.push_back(j);
    all_aads.push_back(j.substr(0, 4));
  }
  std::vector<qv::OpenRow> open_rows(all.size());
  std::vector<qv::RowStatus> open_status(all.size(), qv::RowStatus::ok);
  std::vector<std::string> outs(all.size());
  const std::map<std::string, qv::SecretBytes, std::less<>> by_id = {
      {key_id, qv::SecretBytes(key.begin(), key.end())}};
  qv::OpenKeys keys;
  if (batch.deterministic) {
    keys.by_id = &by_id;
  } else {
    keys.single = batch.key;
  }
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (i < n && status[i] == qv::RowStatus::null) {
      open_status[i] = qv::RowStatus::null;
      continue;
    }
    outs[i].assign(qv::open_capacity(all[i].size()), '\0');
    open_rows[i].token = all[i];
    open_rows[i].aad = all_aads[i];
    open_rows[i].out = reinterpret_cast<std::uint8_t*>(outs[i].data());
  }
  qv::open_many(keys, open_rows.data(), all.size(), open_status.data(), threads);
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (open_status[i] == qv::RowStatus::null) continue;
    std::string pt;
    qv::TokenData td;
    // By key id, a token naming another id has no key.
    const bool has_key =
        keys.single != nullptr || (qv::decode_token(all[i], td) && td.key_id == key_id);
    const bool single = has_key && single_open(all[i], batch.key, all_aads[i], pt);
    check((open_status[i] == qv::RowStatus::ok) == single);
    if (single)
      check(outs[i].compare(0, open_rows[i].out_size, pt) == 0 &&
            open_rows[i].out_size == pt.size());
  }
  return 0;
}
