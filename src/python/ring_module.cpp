// The extension module `_ring`: a key ring's keys, each prepared once
// (src/ring), and the ring's calls over them. The ring (python/qv/keyring)
// keeps one table of handles, one per enabled key: it puts a key in when the
// key is added, generated, enabled or loaded, and drops it when the key is
// disabled, destroyed or removed, or the ring is released. Every change and
// every lookup runs with the interpreter lock held, so a call sees a key
// either in the table or gone. A bulk call takes its keys at its start and
// keeps them (copies in cleansed buffers) until it ends, whatever the ring
// does meanwhile.
//
// A call whose key id names no key of the table returns None: the ring then
// raises the error that says why (unknown, disabled, destroyed).
#include <pybind11/stl.h>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "python/bulk_rows.h"
#include "python/checked_def.h"
#include "python/convert.h"
#include "ring/ring.h"

namespace qv {
namespace {

// One key of a ring: the prepared key, and its id as a str for the results.
struct Held {
  std::shared_ptr<const PreparedKey> key;
  py::object key_id;
};

// The handles of one ring by key id. Its repr names no key and shows nothing
// of one.
struct Handles {
  std::map<std::string, Held, std::less<>> table;
  // A decoded token's buffers, kept from one decrypt call to the next so that
  // a call allocates none; taken by one call at a time (`busy`), a call that
  // finds them taken (one running inside the `aad` argument of another)
  // uses its own. Their plaintext bytes are cleansed when each call ends.
  DecodedToken scratch;
  std::atomic<bool> busy{false};
};

// The table's decoded-token buffers for one call, or the call's own.
class Scratch {
 public:
  explicit Scratch(Handles& handles)
      : handles_(handles),
        mine_(!handles.busy.exchange(true)),
        t_(mine_ ? handles.scratch : own_) {}
  ~Scratch() {
    // The body holds plaintext once opened: never left readable.
    cleanse(t_.body.data(), t_.body.size());
    if (mine_) handles_.busy.store(false);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  DecodedToken& get() { return t_; }

 private:
  Handles& handles_;
  bool mine_;
  DecodedToken own_;
  DecodedToken& t_;
};

const Held* find_held(const Handles& handles, std::string_view key_id) {
  const auto found = handles.table.find(key_id);
  return found == handles.table.end() ? nullptr : &found->second;
}

const PreparedKey* find_key(const Handles& handles, std::string_view key_id) {
  const Held* held = find_held(handles, key_id);
  return held == nullptr ? nullptr : held->key.get();
}

std::unique_ptr<Handles> new_table() { return std::make_unique<Handles>(); }

void put_py(Handles& handles, const std::string& key_id, const py::buffer& key) {
  // The ring hands over its own bytearray: read in place, never copied into a
  // Python object.
  const py::buffer_info view = key.request();
  if (view.ndim != 1 || view.itemsize != 1) throw py::type_error("qv: a key must be bytes.");
  check_key_id(key_id);
  Held held{prepare_key(BytesView(static_cast<const std::uint8_t*>(view.ptr),
                                  static_cast<std::size_t>(view.size))),
            utf8_to_str(key_id)};
  handles.table[key_id] = std::move(held);
}

void drop_py(Handles& handles, std::string_view key_id) {
  const auto found = handles.table.find(key_id);
  if (found != handles.table.end()) handles.table.erase(found);
}

void clear_py(Handles& handles) { handles.table.clear(); }

bool holds_py(const Handles& handles, std::string_view key_id) {
  return find_key(handles, key_id) != nullptr;
}

// The text of a token argument: a view of a str's UTF-8 or of a bytes
// object, or a copy of a bytearray in `copy` (reading the `aad` argument can
// run Python code that resizes it). Read here rather than by pybind11, whose
// view of a str costs a keep-alive entry per call. Throws TypeError for
// anything else; the ring then refuses the token as peek_key_id refuses it.
std::string_view token_text(py::handle token, std::string& copy) {
  PyObject* obj = token.ptr();
  if (PyUnicode_Check(obj)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) {
      PyErr_Clear();
      throw py::type_error("qv: a token must be a str encodable as UTF-8.");
    }
    return std::string_view(data, static_cast<std::size_t>(size));
  }
  if (PyBytes_Check(obj))
    return std::string_view(PyBytes_AS_STRING(obj),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
  if (PyByteArray_Check(obj)) {
    copy.assign(PyByteArray_AS_STRING(obj), static_cast<std::size_t>(PyByteArray_GET_SIZE(obj)));
    return copy;
  }
  throw py::type_error("qv: a token must be str, bytes or bytearray.");
}

// A new ASCII str of `size` characters for a token to be written into.
py::str token_str(std::size_t size) {
  auto token = py::reinterpret_steal<py::str>(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
  if (!token) throw py::error_already_set();
  return token;
}

char* token_chars(const py::str& token) {
  return reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(token.ptr()));
}

// The checks of `encrypt` after its key and key id, in its order.
void check_value(std::size_t plaintext_size, std::string_view metadata_text) {
  if (plaintext_size == 0) throw ArgumentError("qv: plaintext must not be empty.");
  if (metadata_text.size() > max_metadata_size)
    throw ArgumentError("qv: metadata must serialise to at most 65535 bytes.");
}

// Named and ordered as qv.encrypt's parameters after the key, so that a
// refused argument reads as it does there.
py::object encrypt_py(const Handles& handles, const std::string& key_id, SecretString& plaintext,
                      bool deterministic, const Metadata& metadata, const py::object& aad) {
  const WipeOnExit wipe_plaintext{plaintext};
  const PreparedKey* key = find_key(handles, key_id);
  if (key == nullptr) return py::none();
  const std::string metadata_text = serialize_sorted_json(metadata);
  check_value(plaintext.size(), metadata_text);
  const Aad caller = read_aad(aad, EntryOrder::key_first);
  py::str token = token_str(token_text_size(key_id.size(), metadata_text.size(), plaintext.size()));
  seal_prepared(*key, key_id, deterministic, metadata_text,
                std::string_view(plaintext.data(), plaintext.size()), caller, token_chars(token));
  return token;
}

// The keys of the dict that decrypt returns, made once (interned) when the
// module loads, and a dict holding them in order with None values: each
// result is a copy of it (one table copied whole, no growing) whose values
// are then set. Neither holds anything of a key or a value.
struct OpenedKeys {
  PyObject* data;
  PyObject* metadata;
  PyObject* key_id;
  PyObject* deterministic;
  PyObject* shape;
};
OpenedKeys opened_keys{};

void set_entry(const py::dict& d, PyObject* key, const py::object& value) {
  if (PyDict_SetItem(d.ptr(), key, value.ptr()) != 0) throw py::error_already_set();
}

// What qv.decrypt returns for an opened token, built in its order (so that a
// text that is not UTF-8 fails at the same entry).
py::dict opened_dict(std::string_view plaintext, const TokenData& td, const Held& held) {
  auto result = py::reinterpret_steal<py::dict>(PyDict_Copy(opened_keys.shape));
  if (!result) throw py::error_already_set();
  set_entry(result, opened_keys.data, utf8_to_str(plaintext));
  set_entry(result, opened_keys.metadata, td.metadata.empty() ? py::dict() : py::cast(td.metadata));
  // The key id the table found it under: the same text, made once.
  set_entry(result, opened_keys.key_id, held.key_id);
  set_entry(result, opened_keys.deterministic, py::bool_(td.deterministic));
  return result;
}

py::object decrypt_py(Handles& handles, py::handle token_arg, const py::object& aad) {
  std::string copy;
  const std::string_view token = token_text(token_arg, copy);
  Scratch scratch(handles);
  DecodedToken& t = scratch.get();
  if (!decode_for_open(token, t)) throw OperationError("qv: decryption failed.");
  const Held* held = find_held(handles, t.token.key_id);
  if (held == nullptr) return py::none();
  const std::string_view plaintext =
      open_prepared(*held->key, t, read_aad(aad, EntryOrder::value_first));
  return opened_dict(plaintext, t.token, *held);
}

py::object rotate_py(const Handles& handles, py::handle token_arg,
                     const std::optional<std::string>& primary_id, const py::object& aad) {
  std::string copy;
  const std::string_view token = token_text(token_arg, copy);
  DecodedToken t;
  if (!decode_for_open(token, t)) throw OperationError("qv: decryption failed.");
  const Held* held = find_held(handles, t.token.key_id);
  const PreparedKey* primary = primary_id ? find_key(handles, *primary_id) : nullptr;
  if (held == nullptr || primary == nullptr) return py::none();
  const Aad caller = read_aad(aad, EntryOrder::value_first);
  const std::string_view plaintext = open_prepared(*held->key, t, caller);
  // Fails where decrypt would, before anything is sealed again.
  opened_dict(plaintext, t.token, *held);
  if (t.token.key_id == *primary_id) {
    PyObject* same =
        PyUnicode_DecodeASCII(token.data(), static_cast<Py_ssize_t>(token.size()), nullptr);
    if (same == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(same);
  }
  check_key_id(*primary_id);
  const std::string metadata_text = serialize_sorted_json(t.token.metadata);
  check_value(plaintext.size(), metadata_text);
  py::str out =
      token_str(token_text_size(primary_id->size(), metadata_text.size(), plaintext.size()));
  seal_prepared(*primary, *primary_id, t.token.deterministic, metadata_text, plaintext, caller,
                token_chars(out));
  return out;
}

py::object encrypt_many_py(const Handles& handles, const std::string& key_id,
                           const py::object& plaintexts, bool deterministic,
                           const std::optional<Metadata>& metadata, const py::object& aad,
                           const py::object& threads) {
  const PreparedKey* key = find_key(handles, key_id);
  if (key == nullptr) return py::none();
  // The sealer holds its own copy of the key for the whole call.
  const Sealer sealer(key->key, key_id, deterministic, metadata ? *metadata : Metadata{});
  return seal_rows(sealer, plaintexts, aad, threads);
}

py::list open_many(const Handles& handles, const py::object& tokens, const py::object& aad,
                   const std::string& errors, const py::object& threads, bool records) {
  // Every key as it stands at the call's start, in buffers of the call's own:
  // a key dropped while the rows are opened without the interpreter lock is
  // still there for them, and no row reads a key that has been released.
  std::map<std::string, SecretBytes, std::less<>> keys;
  for (const auto& [key_id, held] : handles.table) keys.emplace(key_id, held.key->key);
  OpenKeys open_keys;
  open_keys.by_id = &keys;
  return open_rows(open_keys, tokens, aad, errors, threads, records);
}

py::list decrypt_many_py(const Handles& handles, const py::object& tokens, const py::object& aad,
                         const std::string& errors, const py::object& threads) {
  return open_many(handles, tokens, aad, errors, threads, false);
}

py::list decrypt_many_records_py(const Handles& handles, const py::object& tokens,
                                 const py::object& aad, const std::string& errors,
                                 const py::object& threads) {
  return open_many(handles, tokens, aad, errors, threads, true);
}

}  // namespace
}  // namespace qv

PYBIND11_MODULE(_ring, m) {
  namespace py = pybind11;
  using namespace pybind11::literals;

  m.doc() = "qv.v2 key ring handles: keys prepared once";

  // Kept for the life of the process, as the interpreter keeps interned text.
  for (auto [slot, name] :
       {std::pair{&qv::opened_keys.data, "data"}, std::pair{&qv::opened_keys.metadata, "metadata"},
        std::pair{&qv::opened_keys.key_id, "key_id"},
        std::pair{&qv::opened_keys.deterministic, "deterministic"}}) {
    if (*slot == nullptr) *slot = PyUnicode_InternFromString(name);
    if (*slot == nullptr) throw py::error_already_set();
  }
  if (qv::opened_keys.shape == nullptr) {
    py::dict shape;
    for (PyObject* key : {qv::opened_keys.data, qv::opened_keys.metadata, qv::opened_keys.key_id,
                          qv::opened_keys.deterministic})
      qv::set_entry(shape, key, py::none());
    qv::opened_keys.shape = shape.release().ptr();
  }

  py::class_<qv::Handles>(m, "Handles", "The prepared keys of one key ring, by key id.")
      .def("__repr__", [](const qv::Handles& h) {
        return "<qv key handles: " + std::to_string(h.table.size()) + ">";
      });

  qv::checked_def(m, "new_table", &qv::new_table, "An empty table of handles.");
  qv::checked_def(m, "put", &qv::put_py, "handles"_a, "key_id"_a, "key"_a,
                  "Prepare a 32-byte key and hold it under key_id, replacing any before it.");
  qv::checked_def(m, "drop", &qv::drop_py, "handles"_a, "key_id"_a,
                  "Release the key held under key_id, if any.");
  qv::checked_def(m, "clear", &qv::clear_py, "handles"_a, "Release every key.");
  qv::checked_def(m, "holds", &qv::holds_py, "handles"_a, "key_id"_a,
                  "Whether a key is held under key_id.");
  qv::checked_def(m, "encrypt", &qv::encrypt_py, "handles"_a, "key_id"_a, "plaintext"_a,
                  "deterministic"_a = false, "metadata"_a = py::dict(), "aad"_a = py::none(),
                  "As qv.encrypt with the key held under key_id; None when none is held.");
  qv::checked_def(m, "decrypt", &qv::decrypt_py, "handles"_a, "token"_a, "aad"_a = py::none(),
                  "As qv.decrypt with the key the token names; None when none is held.");
  qv::checked_def(m, "rotate", &qv::rotate_py, "handles"_a, "token"_a, "primary_id"_a,
                  "aad"_a = py::none(),
                  "Open a token and seal it again under primary_id; None when a key is not held.");
  qv::checked_def(m, "encrypt_many", &qv::encrypt_many_py, "handles"_a, "key_id"_a, "plaintexts"_a,
                  py::kw_only(), "deterministic"_a = false, "metadata"_a = py::none(),
                  "aad"_a = py::none(), "threads"_a = py::none(),
                  "As qv.encrypt_many with the key held under key_id; None when none is held.");
  qv::checked_def(m, "decrypt_many", &qv::decrypt_many_py, "handles"_a, "tokens"_a, py::kw_only(),
                  "aad"_a = py::none(), "errors"_a = "raise", "threads"_a = py::none(),
                  "As qv.decrypt_many with every key held.");
  qv::checked_def(m, "decrypt_many_records", &qv::decrypt_many_records_py, "handles"_a, "tokens"_a,
                  py::kw_only(), "aad"_a = py::none(), "errors"_a = "raise",
                  "threads"_a = py::none(), "As decrypt_many, each opened row a decrypt dict.");
  qv::guard_module(m);
}
