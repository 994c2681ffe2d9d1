// Sealing and opening many values in one call, over worker threads. Every
// row gives exactly what the single-value calls of <qv/token.h> give it: in
// deterministic mode the same token, in random mode one that `decrypt`
// opens, and the same refusals with the same messages. Errors: see
// <qv/errors.h>; a row's error carries its index (`row()`).
#pragma once

#include <qv/errors.h>
#include <qv/token.h>
#include <qv/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// The keys to open with: one key for every token, or a key per key id (a token
// whose key id has none does not open).
class Keys {
 public:
  Keys() = default;
  // One key for every token. Throws as `checked_key`.
  static Keys single(BytesView key);
  // Adds (or replaces) the key for `key_id`. Throws as `checked_key`.
  Keys& add(std::string key_id, BytesView key);

  bool is_single() const { return is_single_; }
  const SecretBytes& single_key() const { return single_; }
  const std::map<std::string, SecretBytes, std::less<>>& by_id() const { return by_id_; }

 private:
  SecretBytes single_;
  std::map<std::string, SecretBytes, std::less<>> by_id_;
  bool is_single_ = false;
};

// What a bulk opening does with a row that does not open.
enum class OnError { raise, null };

// A value or its absence (a null row stays null).
using Row = std::optional<std::string>;

// Seals every present row as `encrypt(row, key, key_id, options)` would.
// Checks the key and key id first (as `encrypt`), then each row in order: an
// empty plaintext or metadata too long is the ArgumentError of `encrypt`,
// with the row's index. `threads` caps the workers (0: every usable core).
std::vector<Row> encrypt_many(const std::vector<Row>& plaintexts, BytesView key,
                              std::string_view key_id, const SealOptions& options = {},
                              std::size_t threads = 0);

// Opens every present row with `keys` and `aad`. A row that does not open
// throws OperationError "qv: decryption failed." with its index when `errors`
// is `OnError::raise`, and becomes null when it is `OnError::null`.
[[nodiscard]] std::vector<std::optional<SecretString>> decrypt_many(const std::vector<Row>& tokens,
                                                                    const Keys& keys,
                                                                    const Aad& aad = {},
                                                                    OnError errors = OnError::raise,
                                                                    std::size_t threads = 0);

// The number of processors this process may run on (at least 1).
std::size_t usable_cores();

}  // namespace qv
