// The public bulk calls of <qv/bulk.h>: the checks of `encrypt` through its
// `Sealer`, then `seal_many` and `open_many` over the caller's vectors.
#include <qv/bulk.h>

#include <string>
#include <vector>

#include "bulk/bulk.h"

namespace qv {

Keys Keys::single(BytesView key) {
  Keys keys;
  keys.single_ = checked_key(key);
  keys.is_single_ = true;
  return keys;
}

Keys& Keys::add(std::string key_id, BytesView key) {
  by_id_.insert_or_assign(std::move(key_id), checked_key(key));
  return *this;
}

namespace {

std::size_t worker_limit(std::size_t threads) { return threads == 0 ? usable_cores() : threads; }

std::string shared_aad_text(const Aad& aad) {
  return caller_aad_text(aad.text, aad.is_map ? &aad.map : nullptr);
}

}  // namespace

std::vector<Row> encrypt_many(const std::vector<Row>& plaintexts, BytesView key,
                              std::string_view key_id, const SealOptions& options,
                              std::size_t threads) {
  const Sealer sealer(key, key_id, options.deterministic, options.metadata);
  const std::size_t n = plaintexts.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (!plaintexts[i]) continue;
    try {
      sealer.check_value(plaintexts[i]->size());
    } catch (const ArgumentError& e) {
      throw ArgumentError(e.what(), i);
    }
  }
  const std::string aad = shared_aad_text(options.aad);
  SealBatch batch;
  batch.key = sealer.key().data();
  batch.key_id = sealer.key_id();
  batch.deterministic = sealer.deterministic();
  batch.metadata_text = sealer.metadata_text();

  std::vector<Row> out(n);
  std::vector<SealRow> rows(n);
  std::vector<RowStatus> status(n, RowStatus::null);
  for (std::size_t i = 0; i < n; ++i) {
    if (!plaintexts[i]) continue;
    out[i].emplace(sealed_size(batch, plaintexts[i]->size()), '\0');
    rows[i].plaintext = *plaintexts[i];
    rows[i].aad = aad;
    rows[i].out = out[i]->data();
    status[i] = RowStatus::ok;
  }
  seal_many(batch, rows.data(), n, status.data(), worker_limit(threads));
  for (std::size_t i = 0; i < n; ++i) {
    if (status[i] == RowStatus::siv_failed)
      throw OperationError("qv: SIV nonce derivation failed.", i);
    if (status[i] == RowStatus::failed) throw OperationError("qv: encryption failed.", i);
  }
  return out;
}

std::vector<std::optional<SecretString>> decrypt_many(const std::vector<Row>& tokens,
                                                      const Keys& keys, const Aad& aad,
                                                      OnError errors, std::size_t threads) {
  OpenKeys open_keys;
  if (keys.is_single()) {
    open_keys.single = keys.single_key().data();
  } else {
    open_keys.by_id = &keys.by_id();
  }
  const std::string aad_text = shared_aad_text(aad);
  const std::size_t n = tokens.size();
  std::vector<OpenRow> rows(n);
  std::vector<RowStatus> status(n, RowStatus::null);
  std::size_t capacity = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (tokens[i]) capacity += open_size(*tokens[i]);
  }
  // One cleansed buffer for every plaintext, each row writing its own slot.
  SecretBytes plaintexts(capacity);
  std::size_t at = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!tokens[i]) continue;
    rows[i].token = *tokens[i];
    rows[i].aad = aad_text;
    rows[i].out = plaintexts.data() + at;
    at += open_size(*tokens[i]);
    status[i] = RowStatus::ok;
  }
  open_many(open_keys, rows.data(), n, status.data(), worker_limit(threads));

  std::vector<std::optional<SecretString>> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (status[i] == RowStatus::null) continue;
    if (status[i] != RowStatus::ok) {
      if (errors == OnError::raise) throw OperationError("qv: decryption failed.", i);
      continue;
    }
    out[i].emplace(reinterpret_cast<const char*>(rows[i].out), rows[i].out_size);
  }
  return out;
}

}  // namespace qv
