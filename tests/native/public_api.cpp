// The public C++ API through <qv/qv.h> alone: the checks, their order and the
// exception types it promises, and the bulk calls against the single ones.
// Prints "FAIL ..." per failed check, then "name value" lines that
// tests/test_native_public_api.py compares with the Python package.
#include <qv/qv.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
  if (!ok && ++failures <= 20) std::cout << "FAIL " << what << "\n";
}

std::string hex(const qv::SecretBytes& b) {
  std::string out;
  char pair[3];
  for (const auto c : b) {
    std::snprintf(pair, sizeof pair, "%02x", c);
    out += pair;
  }
  return out;
}

// Runs `f`, which must throw `E` with `message` (and `row`, for bulk calls).
template <class E, class F>
void refuses(const std::string& what, const std::string& message, F&& f,
             std::size_t row = qv::no_row) {
  try {
    f();
    check(false, what + ": no exception");
  } catch (const E& e) {
    check(e.what() == message, what + ": message " + e.what());
    if constexpr (std::is_base_of_v<qv::ArgumentError, E> ||
                  std::is_base_of_v<qv::OperationError, E>)
      check(e.row() == row, what + ": row");
  } catch (const std::exception& e) {
    check(false, what + ": other exception " + e.what());
  }
}

}  // namespace

int main() {
  qv::SecretBytes key(qv::key_size);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
  const std::string short_key(31, 'k');

  qv::SealOptions det;
  det.deterministic = true;
  det.metadata = {{"b", "2"}, {"a", "1"}};
  det.aad = qv::Metadata{{"tenant", "7"}};
  const std::string token = qv::encrypt("hello", key, "k1", det);

  // The first failing check in the documented order decides, as in Python.
  refuses<qv::ArgumentError>("short key before empty key id", "qv: key must be 32 bytes.",
                             [&] { (void)qv::encrypt("", short_key, ""); });
  refuses<std::invalid_argument>("key id before plaintext", "qv: keyId must be 1-255 bytes.",
                                 [&] { (void)qv::encrypt("", key, ""); });
  refuses<qv::ArgumentError>("NUL in key id", "qv: keyId must not contain NUL bytes.",
                             [&] { (void)qv::encrypt("x", key, std::string("a\0b", 3)); });
  refuses<qv::ArgumentError>("empty plaintext", "qv: plaintext must not be empty.",
                             [&] { (void)qv::encrypt("", key, "k"); });
  refuses<qv::ArgumentError>("short key before a malformed token", "qv: key must be 32 bytes.",
                             [&] { (void)qv::decrypt("junk", short_key); });
  refuses<qv::OperationError>("wrong aad", "qv: decryption failed.",
                              [&] { (void)qv::decrypt(token, key, "tenant=8"); });
  refuses<std::runtime_error>("truncated token", "qv: decryption failed.",
                              [&] { (void)qv::decrypt(token.substr(0, 40), key, det.aad); });
  refuses<qv::ArgumentError>("master key before context", "qv: master key must be 32 bytes.",
                             [&] { (void)qv::derive_subkey(short_key, ""); });
  refuses<qv::ArgumentError>("empty context", "qv: context must be a non-empty string.",
                             [&] { (void)qv::derive_subkey(key, ""); });
  refuses<qv::ArgumentError>("password before N", "qv: password must be a non-empty string.",
                             [&] { (void)qv::derive_key_from_password("", "", 3); });
  refuses<qv::OperationError>("scrypt r=0", "qv: scrypt derivation failed.",
                              [&] { (void)qv::derive_key_from_password("pw", "00", 16384, 0); });
  refuses<qv::ArgumentError>("short key in a key set", "qv: key must be 32 bytes.",
                             [&] { qv::Keys().add("k", short_key); });

  // Text and map associated data that give the same fields are one.
  const qv::Opened opened = qv::decrypt(token, key, "tenant=7");
  check(std::string(opened.data.begin(), opened.data.end()) == "hello", "opened data");
  check(opened.key_id == "k1" && opened.deterministic, "opened key id and mode");
  check(!qv::inspect_token("qv.v2.AAAA") && !qv::peek_key_id("x") && !qv::token_fingerprint(""),
        "malformed tokens inspect to nothing");

  // Bulk: every row is the single call's token; errors name their row.
  const std::vector<qv::Row> rows = {std::string("a"), std::nullopt, std::string("bc")};
  const std::vector<qv::Row> sealed = qv::encrypt_many(rows, key, "k1", det, 2);
  check(sealed[0] == qv::encrypt("a", key, "k1", det) && !sealed[1] &&
            sealed[2] == qv::encrypt("bc", key, "k1", det),
        "encrypt_many rows equal encrypt");
  refuses<qv::ArgumentError>(
      "empty bulk row", "qv: plaintext must not be empty.",
      [&] { (void)qv::encrypt_many({std::string("a"), std::string()}, key, "k1"); }, 1);
  qv::Keys keys;
  keys.add("k1", key);
  std::vector<qv::Row> tokens = sealed;
  tokens.push_back(std::string("qv.v2.broken"));
  const auto nulls = qv::decrypt_many(tokens, keys, det.aad, qv::OnError::null);
  check(nulls.size() == 4 && nulls[0] && *nulls[0] == "a" && !nulls[1] && nulls[2] &&
            *nulls[2] == "bc" && !nulls[3],
        "decrypt_many with null errors");
  refuses<qv::OperationError>(
      "bulk row that does not open", "qv: decryption failed.",
      [&] { (void)qv::decrypt_many(tokens, qv::Keys::single(key), det.aad); }, 3);

  // Values the Python package must agree with.
  std::cout << "token " << token << "\n";
  const auto info = qv::inspect_token(token);
  check(info.has_value(), "inspect");
  std::cout << "key_id " << qv::peek_key_id(token).value_or("-") << "\n";
  std::cout << "fingerprint " << qv::token_fingerprint(token).value_or("-") << "\n";
  std::cout << "flags " << int(info->flags) << " version " << int(info->version) << "\n";
  std::cout << "subkey " << hex(qv::derive_subkey(key, "ctx", std::string("salt"))) << "\n";
  const qv::DerivedKey derived = qv::derive_key_from_password("pw", "00FF", 16384);
  std::cout << "scrypt " << hex(derived.key) << " " << derived.salt_hex << "\n";
  return failures == 0 ? 0 : 1;
}
