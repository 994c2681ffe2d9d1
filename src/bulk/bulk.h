// Sealing and opening many values in one call.
//
// A batch pays once for what a single call pays per value: the cipher is
// fetched and keyed once per worker thread and each value sets only its
// nonce; the HMAC of deterministic mode is keyed once and its state copied
// per value; the random nonces of a batch come from one generator draw. Every
// row gives exactly the token (or plaintext) that the single-value routines
// give for it: the same associated data, the same synthetic nonce, the same
// body, and the same refusals.
//
// The public calls over vectors are declared in <qv/bulk.h>; these are the
// routines under them and under the bindings. src/bulk may use src/token and
// <qv/...>; never Python. Rows are views of memory the caller owns and keeps
// alive and unchanged for the whole call; outputs go to memory the caller
// provides, so a caller can write straight into its result objects (Python
// strings) or into one contiguous buffer with offsets (an Arrow array). The
// routines may run with the interpreter lock released and start their own
// worker threads; they touch no state beyond the rows and the batch given.
#pragma once

#include <qv/bulk.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <string_view>

#include "aad/aad.h"
#include "common/common.h"
#include "token/token.h"

namespace qv {

// The outcome of one row. The caller sets `null` (and, for opening,
// `caller_error`) before the call; the routines set the rest.
enum class RowStatus : std::uint8_t {
  ok = 0,            // sealed or opened; the output holds the result
  null = 1,          // a missing value: skipped, nothing written
  caller_error = 2,  // opening only: the caller found this row's own argument
                     // (its associated data) bad. Left as it is when the token
                     // decodes, and turned into `failed` when it does not, so
                     // that the row reports what a single call would report
                     // first.
  failed = 3,        // opening: the token does not decode, no key is known for
                     // its key id, or it does not open ("qv: decryption
                     // failed."). Sealing: the cipher failed ("qv: encryption
                     // failed.").
  siv_failed = 4,    // sealing in deterministic mode: no synthetic nonce ("qv:
                     // SIV nonce derivation failed.")
};

// What every row of a sealing batch shares. The caller has checked it with
// `check_key_id` and the limits of `encrypt`: `key` points at 32 bytes,
// `key_id` is 1..255 bytes without NUL, `metadata_text` is canonical (serialize_sorted_json)
// and at most 65535 bytes.
struct SealBatch {
  const std::uint8_t* key = nullptr;
  std::string_view key_id;
  bool deterministic = false;
  std::string_view metadata_text;
};

// One value to seal.
struct SealRow {
  // At least one byte (a token needs a ciphertext byte); unused for a null row.
  std::string_view plaintext;
  // The caller's associated data as one text (`caller_aad_text`); empty for
  // none. The row's associated data is build_aad(key_id, metadata_text,
  // deterministic, aad, nullptr).
  std::string_view aad;
  // Room for exactly `sealed_size(batch, plaintext.size())` characters.
  char* out = nullptr;
};

// The token length of a row of `n` plaintext bytes in `batch`.
std::size_t sealed_size(const SealBatch& batch, std::size_t n);

// Seals every row whose status is not `null` and writes its token, exactly
// the text `encrypt` returns for it (in deterministic mode the same token, in
// random mode one that `decrypt` opens), to `rows[i].out`. `status` has one
// entry per row, set by the caller to `ok` or `null`; the routine sets each
// failing row to `failed` or `siv_failed` and leaves the others.
//
// Random nonces for the rows are drawn in one call to the generator before
// any work starts; if it fails the routine throws std::runtime_error
// "qv: random generator failed." and writes nothing. The rows are split into
// contiguous runs over at most `threads` workers (the calling thread is one),
// fewer when the batch is too small to pay for them (`bulk_workers`). Apart
// from that, never throws except on allocation failure.
void seal_many(const SealBatch& batch, const SealRow* rows, std::size_t n, RowStatus* status,
               std::size_t threads);

// The keys for opening: one key for every token, or a key per key id.
struct OpenKeys {
  const std::uint8_t* single = nullptr;  // 32 bytes; used when not null
  // Otherwise each token is opened with the key its key id names; a token
  // whose key id is absent fails. The keys are 32 bytes each.
  const std::map<std::string, SecretBytes, std::less<>>* by_id = nullptr;
};

// What a row's token said about itself, for callers that need more than the
// plaintext (re-sealing a token under another key keeps its metadata and mode).
struct OpenedInfo {
  std::string key_id;
  Metadata metadata;
  bool deterministic = false;
};

// One token to open.
struct OpenRow {
  std::string_view token;  // unused for a null row
  std::string_view aad;    // the caller's associated data as one text; empty for none
  // Room for `open_capacity(token.size())` bytes, or for `open_size(token)`;
  // receives the plaintext.
  std::uint8_t* out = nullptr;
  // The bytes of room at `out`, when less than `open_capacity(token.size())`:
  // a row whose plaintext would not fit fails, so that a token read again
  // after it was sized (a buffer another thread writes) never writes past it.
  std::size_t out_room = std::numeric_limits<std::size_t>::max();
  // Set on success: the number of plaintext bytes written to `out`.
  std::size_t out_size = 0;
  // Set on success: whether every plaintext byte is below 0x80, so that the
  // caller can make its text without decoding it again while it holds the
  // interpreter lock (found by the worker, which scans the bytes anyway).
  bool ascii = false;
  // When not null, filled on success.
  OpenedInfo* info = nullptr;
};

// The most plaintext bytes a token of `token_size` characters can hold: an
// upper bound, for sizing `OpenRow::out`.
std::size_t open_capacity(std::size_t token_size);

// Opens every row whose status is `ok` or `caller_error`, as `decrypt` does:
// decode the token (`decode_token_body`), rebuild the associated data from
// its key id, mode and metadata map and the row's `aad`, and verify the tag.
// A row that does not decode becomes `failed`; a decoded `caller_error` row
// stays as it is and is not opened; a row whose key is missing or whose tag
// does not verify becomes `failed`. Only authenticated plaintext is ever left
// in `out`: a failing row's bytes are cleansed. Rows are split over workers
// as in `seal_many`. Never throws except on allocation failure.
void open_many(const OpenKeys& keys, OpenRow* rows, std::size_t n, RowStatus* status,
               std::size_t threads);

// How many workers a batch of `n` rows holding `bytes` bytes in all is split
// over, at most `threads`: a worker costs about as much to start as a few
// hundred small values take to seal, so small batches stay on one thread.
std::size_t bulk_workers(std::size_t n, std::size_t bytes, std::size_t threads);

// -- Sizing the plaintexts of many tokens exactly --------------------------
// A caller writing every plaintext into one buffer (an Arrow column) needs
// room for each; `open_capacity` counts a token's key id and metadata as
// plaintext, which for short values is more than the plaintext itself.

// At least the number of plaintext bytes `token` can open to, and at most
// `open_capacity(token.size())`: exact for a token whose text is the prefix
// and base64url, as every sealing routine writes it, read from the key id and
// metadata lengths in its head; `open_capacity` when the head cannot be read
// that way. `open_many` writes only the plaintext's bytes, so this much room
// is enough. Never throws.
std::size_t open_size(std::string_view token);

}  // namespace qv
