#include "bulk/bulk.h"

#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace qv {
namespace {

// Work below this many row-equivalents stays with the calling thread.
// Starting and joining a thread measured 22 µs at best on the 2-core
// development machine (tens of µs under load), and each worker fetches and
// keys its own cipher: about what 40 to 80 small values cost to seal. A worker
// gets at least 256 rows' worth, so a split always pays for itself.
constexpr std::size_t rows_per_worker = 256;
// A row's fixed cost (cipher start, tag, token head) is about that of
// enciphering and encoding this many bytes.
constexpr std::size_t bytes_per_row = 512;

// Hands out the rows [0, n) in blocks to whichever worker asks next. On a
// machine shared with other work one core may run at half speed or less; with
// the rows cut into fixed halves the call waited for the slower one, while a
// worker that claims its next block only when it is done with the last takes
// fewer rows when its core is busy.
class RowClaims {
 public:
  RowClaims(std::size_t n, std::size_t block) : n_(n), block_(std::max<std::size_t>(1, block)) {}

  // Sets [begin, end) to the next unclaimed block; false when none is left.
  bool next(std::size_t& begin, std::size_t& end) {
    begin = next_.fetch_add(block_, std::memory_order_relaxed);
    if (begin >= n_) return false;
    end = begin + std::min(block_, n_ - begin);
    return true;
  }

 private:
  const std::size_t n_;
  const std::size_t block_;
  std::atomic<std::size_t> next_{0};
};

// Blocks per worker: enough that a worker on a slow core leaves little for
// the others to wait on, few enough that claiming (one atomic add) stays
// invisible next to sealing a block.
constexpr std::size_t blocks_per_worker = 16;

// Runs `work(claims)` on `workers` threads, the calling thread one of them;
// each takes blocks of [0, n) from `claims` until none is left, keeping its own
// state (a keyed cipher) from block to block. A failure inside any worker
// (allocation) is rethrown here once every thread has finished; a thread that
// cannot be started leaves its blocks to the others.
template <class Work>
void split(std::size_t n, std::size_t workers, const Work& work) {
  workers = std::max<std::size_t>(1, std::min(workers, n));
  if (workers == 1) {
    RowClaims all(n, n);
    work(all);
    return;
  }
  RowClaims claims(n, n / (workers * blocks_per_worker));
  std::exception_ptr failure;
  std::mutex failure_lock;
  auto guarded = [&] {
    try {
      work(claims);
    } catch (...) {
      const std::lock_guard<std::mutex> hold(failure_lock);
      if (!failure) failure = std::current_exception();
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(workers - 1);
  try {
    for (std::size_t w = 1; w < workers; ++w) pool.emplace_back(guarded);
  } catch (...) {
    // No more threads to be had: the ones running, and this one, share the rows.
  }
  guarded();
  for (auto& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
}

const std::uint8_t* as_bytes(std::string_view s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

// Whether every one of the `n` bytes at `p` is below 0x80, eight at a time.
bool all_ascii(const std::uint8_t* p, std::size_t n) {
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w = 0;
    std::memcpy(&w, p + i, 8);
    high |= w;
  }
  for (; i < n; ++i) high |= p[i];
  return (high & 0x8080808080808080ull) == 0;
}

// Fills `out` from the generator in as few calls as its int length allows.
void fill_random_large(std::uint8_t* out, std::size_t n) {
  constexpr std::size_t most = std::size_t{1} << 30;
  for (std::size_t done = 0; done < n;) {
    const std::size_t step = std::min(most, n - done);
    fill_random(out + done, step);
    done += step;
  }
}

}  // namespace

std::size_t usable_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

std::size_t bulk_workers(std::size_t n, std::size_t bytes, std::size_t threads) {
  const std::size_t work = n + bytes / bytes_per_row;
  return std::max<std::size_t>(1, std::min({threads, n, work / rows_per_worker}));
}

std::size_t sealed_size(const SealBatch& batch, std::size_t n) {
  return token_text_size(batch.key_id.size(), batch.metadata_text.size(), n);
}

void seal_many(const SealBatch& batch, const SealRow* rows, std::size_t n, RowStatus* status,
               std::size_t threads) {
  // One draw for the whole batch, before any work: a failing generator
  // leaves nothing written.
  Bytes nonces;
  if (!batch.deterministic) {
    nonces.resize(n * nonce_size);
    fill_random_large(nonces.data(), nonces.size());
  }
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (status[i] != RowStatus::null) bytes += rows[i].plaintext.size();
  }

  split(n, bulk_workers(n, bytes, threads), [&](RowClaims& claims) {
    PreparedCipher cipher;
    SivKey siv;
    bool siv_ready = false;
    bool siv_ok = false;
    Bytes ad;
    std::string_view ad_for;
    bool ad_ready = false;
    std::array<std::uint8_t, nonce_size> synthetic{};
    std::size_t begin = 0;
    std::size_t end = 0;
    while (claims.next(begin, end)) {
      for (std::size_t i = begin; i < end; ++i) {
        if (status[i] == RowStatus::null) continue;
        const SealRow& row = rows[i];
        // Rows that share one associated data text (a call's single `aad`)
        // share its view too, and the rest of the data is the batch's.
        if (!ad_ready || row.aad.data() != ad_for.data() || row.aad.size() != ad_for.size()) {
          build_aad_into(ad, batch.key_id, batch.metadata_text, batch.deterministic, row.aad,
                         nullptr);
          ad_for = row.aad;
          ad_ready = true;
        }
        const std::uint8_t* pt = as_bytes(row.plaintext);
        const std::uint8_t* nonce = nullptr;
        if (!batch.deterministic) {
          nonce = nonces.data() + i * nonce_size;
        } else {
          if (!siv_ready) {
            siv_ok = prepare_siv(siv, batch.key);
            siv_ready = true;
          }
          if (!siv_ok ||
              !siv_nonce(siv, ad.data(), ad.size(), pt, row.plaintext.size(), synthetic.data())) {
            status[i] = RowStatus::siv_failed;
            continue;
          }
          nonce = synthetic.data();
        }
        if (!seal_token(cipher, pt, row.plaintext.size(), batch.key, ad.data(), ad.size(), nonce,
                        batch.key_id, batch.deterministic, batch.metadata_text, row.out))
          status[i] = RowStatus::failed;
      }
    }
  });
}

std::size_t open_capacity(std::size_t token_size) {
  if (token_size <= token_prefix.size()) return 0;
  // The body is at most three bytes for every four characters, and its
  // ciphertext is what follows the 33-byte fixed part and a key id byte.
  const std::size_t body = (token_size - token_prefix.size()) / 4 * 3 + 2;
  return body > body_fixed_size + 1 ? body - body_fixed_size - 1 : 0;
}

void open_many(const OpenKeys& keys, OpenRow* rows, std::size_t n, RowStatus* status,
               std::size_t threads) {
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (status[i] != RowStatus::null) bytes += rows[i].token.size();
  }

  split(n, bulk_workers(n, bytes, threads), [&](RowClaims& claims) {
    PreparedCipher cipher;
    TokenData td;
    // Opened in place, the body holds plaintext: a cleansed buffer, reused.
    SecretBytes body;
    Bytes ad;
    std::size_t begin = 0;
    std::size_t end = 0;
    while (claims.next(begin, end)) {
      for (std::size_t i = begin; i < end; ++i) {
        if (status[i] == RowStatus::null) continue;
        OpenRow& row = rows[i];
        std::size_t at = 0;
        if (!decode_token_body(row.token, td, body, at)) {
          status[i] = RowStatus::failed;
          continue;
        }
        // The caller's own argument is examined only once the token decodes.
        if (status[i] == RowStatus::caller_error) continue;
        const std::uint8_t* key = keys.single;
        if (key == nullptr && keys.by_id != nullptr) {
          const auto found = keys.by_id->find(std::string_view(td.key_id));
          if (found != keys.by_id->end()) key = found->second.data();
        }
        if (key == nullptr) {
          status[i] = RowStatus::failed;
          continue;
        }
        // The tag binds the parsed map, not the token's metadata bytes.
        const std::string metadata_text = serialize_sorted_json(td.metadata);
        build_aad_into(ad, td.key_id, metadata_text, td.deterministic, row.aad, nullptr);
        std::uint8_t* data = body.data() + at;
        const std::size_t size = body.size() - at;
        const bool opened = size <= open_capacity(row.token.size()) && size <= row.out_room &&
                            do_decrypt_in_place(cipher, data, size, key, ad.data(), ad.size(),
                                                td.nonce.data(), td.tag.data());
        if (!opened) {
          cleanse(data, size);
          status[i] = RowStatus::failed;
          continue;
        }
        // The body buffer is the worker's own and cleansed when released; the
        // next row's decoding overwrites this plaintext.
        std::memcpy(row.out, data, size);
        row.out_size = size;
        row.ascii = all_ascii(row.out, size);
        if (row.info != nullptr) {
          row.info->key_id = td.key_id;
          row.info->metadata = td.metadata;
          row.info->deterministic = td.deterministic;
        }
        status[i] = RowStatus::ok;
      }
    }
  });
}

std::size_t open_size(std::string_view token) {
  const std::size_t capacity = open_capacity(token.size());
  std::size_t key_id_size = 0;
  std::size_t meta_size = 0;
  std::size_t body = 0;
  if (!read_head_sizes(token, key_id_size, meta_size, body)) return capacity;
  const std::size_t head = body_fixed_size + key_id_size + meta_size;
  return std::min(capacity, body > head ? body - head : 0);
}

}  // namespace qv
