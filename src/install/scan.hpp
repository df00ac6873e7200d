// The scan of an install folder against a release: what does not belong,
// what is missing or of the wrong size, and what does not hash right. It only
// reads, prints nothing and cannot fail. The calling thread walks the folder,
// opening every subfolder through its parent's descriptor and never through a
// link; up to SCAN_WORKERS_MAX threads then hash the candidates, sharing one
// VerifyContext that scan_install owns for the workers' whole lifetime.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/processors.hpp"
#include "release/install_layout.hpp"
#include "release/release_info.hpp"

// Extensions of files that would change what the game runs or loads; a
// foreign file with one of them is reported. Lower case; a name's extension
// is folded A-Z before it is compared.
inline constexpr std::array<std::string_view, 14> SUSPECT_EXTENSIONS = {
    "exe", "dll", "asi", "sys", "pak", "ucas", "utoc",
    "sig", "bat", "cmd", "ps1", "vbs", "js",   "json"};

inline constexpr std::size_t SCAN_WORKERS_MAX = 8;

// A file that is not part of the game, as its line shows it and as it lies
// on disk.
struct ExtraFile {
  // The path in the "not part of the game" line; lossy when a name is not
  // UTF-8.
  std::string text;
  // The raw relative name bytes, '/' between names: they still name the file
  // when `text` does not.
  std::string raw;
};

struct ScanReport {
  // "not part of the game: {}" lines in walk order, then "missing: {}" and
  // "changed: {}" in release order, then "modified: {}" in finishing order.
  std::vector<std::string> problems;
  // The files of the "not part of the game" lines, in the same order.
  std::vector<ExtraFile> extras;
  // Release path to release hash, for every file that was hashed and matched.
  std::unordered_map<std::string, std::string> verified;
};

// Shared by the hashing threads of one scan. Everything is lent by
// scan_install; the workers read the references without locks and take each
// lock only around one insertion.
struct VerifyContext {
  std::atomic<std::size_t> next_index{0};
  const std::vector<std::size_t>& order;  // positions in release.files, largest first
  const ReleaseInfo& release;
  const std::filesystem::path& install_dir;
  std::mutex verified_lock;
  std::unordered_map<std::string, std::string> verified;
  std::mutex modified_lock;
  std::vector<std::string> modified;
};

// The body of one hashing thread: takes positions of `order` until none is
// left.
void verify_worker(VerifyContext& ctx) noexcept;

// The hash order: true exactly when file a is larger than file b.
bool larger_file_first(const ReleaseInfo& release, std::size_t a, std::size_t b);

std::uint64_t file_size_of(const std::vector<FileEntry>& files, std::size_t i);

// Hashing threads for a system that reports `processors` (0: none reported).
std::size_t scan_worker_count(unsigned processors);

// A seam over the starts of the hashing threads; the defaults are the
// program's. Starts past `limit` fail as they do when the system has no thread
// left to give; `started`, when set, receives how many hashing threads started.
struct ThreadStarts {
  std::size_t limit = std::numeric_limits<std::size_t>::max();
  std::size_t* started = nullptr;
};

// `processors` is the system's own count unless a test needs another. The
// empty path is the working folder, for the walk as for the per-file checks.
ScanReport scan_install(const std::filesystem::path& install_dir, const ReleaseInfo& release,
                        unsigned processors = logical_processor_count(),
                        ThreadStarts starts = {}) noexcept;
