// A small command-line tool over the C++ API, which tests/test_cpp_api.py
// drives to check tokens across languages. Keys and texts are given as hex,
// so any bytes pass through a command line.
//
//   qv-tool seal KEY KEY_ID random|deterministic PLAINTEXT [OPTION...]
//   qv-tool open KEY TOKEN [OPTION...]
//
// Options: meta=K=V (a metadata entry), aad=T (associated data as text) or
// field=K=V (one entry of associated data as a map); each K, V and T in hex.
// `seal` prints the token; `open` prints the plaintext (hex), key id,
// "deterministic" or "random", then K=V per metadata entry (hex), one a line.
// A qv error prints its message on standard error and exits 1.
#include <qv/qv.h>

#include <iostream>
#include <string>
#include <vector>

namespace {

std::string unhex(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  }
  return out;
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// "K=V" with both halves in hex.
std::pair<std::string, std::string> entry(const std::string& text) {
  const std::size_t eq = text.find('=');
  return {unhex(text.substr(0, eq)), unhex(text.substr(eq + 1))};
}

// Reads the options from `args[from]` on into `options`.
void read_options(const std::vector<std::string>& args, std::size_t from,
                  qv::SealOptions& options) {
  for (std::size_t i = from; i < args.size(); ++i) {
    const std::size_t eq = args[i].find('=');
    const std::string name = args[i].substr(0, eq);
    const std::string value = args[i].substr(eq + 1);
    if (name == "meta") {
      options.metadata.insert(entry(value));
    } else if (name == "aad") {
      options.aad = qv::Aad(unhex(value));
    } else if (name == "field") {
      if (!options.aad.is_map) options.aad = qv::Aad(qv::Metadata{});
      options.aad.map.insert(entry(value));
    } else {
      throw std::invalid_argument("unknown option " + name);
    }
  }
}

int run(const std::vector<std::string>& args) {
  qv::SealOptions options;
  if (args.size() >= 5 && args[0] == "seal") {
    options.deterministic = args[3] == "deterministic";
    read_options(args, 5, options);
    std::cout << qv::encrypt(unhex(args[4]), unhex(args[1]), unhex(args[2]), options) << "\n";
    return 0;
  }
  if (args.size() >= 3 && args[0] == "open") {
    read_options(args, 3, options);
    const qv::Opened opened = qv::decrypt(args[2], unhex(args[1]), options.aad);
    std::cout << hex(std::string(opened.data.begin(), opened.data.end())) << "\n"
              << opened.key_id << "\n"
              << (opened.deterministic ? "deterministic" : "random") << "\n";
    for (const auto& [k, v] : opened.metadata) std::cout << hex(k) << "=" << hex(v) << "\n";
    return 0;
  }
  std::cerr << "usage: qv-tool seal KEY KEY_ID MODE PLAINTEXT [OPTION...] | open KEY TOKEN "
               "[OPTION...]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
}
