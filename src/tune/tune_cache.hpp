// The tuning cache: the launch geometry found by the autotuner for each GPU,
// kept in a small JSON file so that later starts can skip the search.
//
// A record is looked up by a key made of the GPU's label, its bus id, its
// power limit and the tuning version, so a different card, slot or power
// cap, or a new tuning scheme, never reuses a stale record.
//
// Reading is forgiving in one way only: a cache that is missing, unreadable
// or not exactly in the expected form is treated as empty (the miner then
// tunes again and rewrites it). Nothing is ever printed from here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "src/base/error.hpp"

inline constexpr std::string_view TUNING_VERSION = "1.0.0";

// One record. The member order is the order in the file.
struct Tuning {
    std::string variant;  // a variant's name (kernel_name) when the miner writes it
    std::uint32_t blocks = 0, threads = 0, iters = 0;
    double mhs = 0.0;      // measured MH/s, 0 when not measured
    std::string measured;  // "unix {secs} on {label}" or "not measured (--no-autotune)"
    std::string version;   // TUNING_VERSION when written by this miner
    bool operator==(const Tuning&) const = default;
};

struct TuneCache {
    std::unordered_map<std::string, Tuning> entries;  // key -> record
    bool changed = false;                             // false after loading; set by whoever adds records
};

// "{label}|{bus id}|{watts}W|{TUNING_VERSION}", the watts rounded to the
// nearest whole number (ties to even) and written without decimals.
std::string tune_cache_key(std::string_view label, std::string_view bus_id, double power_limit_w);

// Where the cache's home may come from: the two variables (unset: nullopt)
// and the account's home directory in the password database.
struct TuneCacheHomes {
    std::optional<std::string> xdg_config_home, home, account_home;
};

// $XDG_CONFIG_HOME/ovik_dtc/tune.json when that is set, valid UTF-8 and
// absolute; else $HOME/.config/ovik_dtc/tune.json when HOME is so; else the
// same under the account's home when that is so; else the empty path: no
// cache. Never a path that falls back to the working directory, where a
// service started anywhere would leave a tree behind.
std::filesystem::path tune_cache_path(const TuneCacheHomes& homes);

// tune_cache_path of the environment, read on every call; the password
// database is asked (getpwuid_r) only when neither variable serves.
std::filesystem::path tune_cache_path();

// The cache held in a file's text. Never fails: text that is not exactly
// one JSON object of records gives an empty cache, and so does a single bad
// record.
TuneCache tune_cache_parse(std::string_view text);

// The largest cache file read: a record takes about 250 bytes, so this holds
// some 65 000 GPUs' records, far more than any machine writes. A larger file
// is a broken cache.
inline constexpr std::size_t TUNE_CACHE_MAX_BYTES = 16 * 1024 * 1024;

// The cache in a file; empty when the file is missing, unreadable, not a
// regular file (a link to one is followed), larger than TUNE_CACHE_MAX_BYTES,
// not valid UTF-8 or not in the expected form. Never blocks on a FIFO.
TuneCache tune_cache_load(const std::filesystem::path& path);

// The file's text: two-space indented JSON, one member per line, records in
// the order of their keys' bytes, no line end after the closing brace.
std::string tune_cache_text(const TuneCache& cache);

// How long a save waits for another miner's save of the same cache.
inline constexpr std::chrono::milliseconds TUNE_CACHE_LOCK_WAIT{2000};

// Saves the cache's records into the file, keeping the file's records of
// other keys: two miners sharing one cache each add their own GPUs'. The
// save holds an advisory lock (flock on "tune.json.lock" beside it, left in
// place) while it re-reads the file, merges and replaces it; when the lock
// is not free within `lock_wait`, nothing is written and the error says so.
// The merged text goes to a new temporary file of a name no other save
// uses ("tune.json.tmp.{pid}.{n}.{random}", created with O_EXCL, never through
// a link), renamed over the target, so a reader never sees half a file; a
// failed save removes it. The directory is created first with every
// missing parent. The empty path (no home, tune_cache_path) is a failure.
Result<void> tune_cache_save(const TuneCache& cache);  // to tune_cache_path()
Result<void> tune_cache_save(const TuneCache& cache, const std::filesystem::path& path,
                             std::chrono::milliseconds lock_wait = TUNE_CACHE_LOCK_WAIT);
