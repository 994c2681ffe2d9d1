// Seal a value for a Python service to read, and open it again.
#include <qv/qv.h>

#include <iostream>

int main() {
  const qv::SecretBytes key = qv::generate_key();

  qv::SealOptions options;
  options.deterministic = true;                 // equal inputs, equal tokens
  options.metadata = {{"table", "customers"}};  // readable without the key
  options.aad = qv::Metadata{{"tenant", "7"}};  // bound, not stored

  const std::string token = qv::encrypt("alice@example.com", key, "2026", options);
  std::cout << "key id: " << qv::peek_key_id(token).value_or("?") << "\n";

  try {
    (void)qv::decrypt(token, key, "tenant=8");  // another tenant's row: refused
  } catch (const qv::OperationError& e) {
    std::cout << "refused: " << e.what() << "\n";
  }
  const qv::Opened opened = qv::decrypt(token, key, "tenant=7");  // same fields as the map
  std::cout << "opened: " << std::string(opened.data.begin(), opened.data.end()) << "\n";
}
