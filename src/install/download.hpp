// The download phase of a pass: every piece of the download list brought into
// the piece cache by exactly DOWNLOAD_WORKERS threads, while one more thread
// redraws the progress line. The workers share one DownloadContext that
// download_pieces owns for the whole phase; they touch only its atomics and
// take the error slot's lock only to look at or replace its text.
//
// A piece is stored on the server as a zstd stream at piece_url, and in the
// cache folder decoded, in a file named by its id (the SHA-256 hex of the
// decoded bytes); it is written as "{id}.part" first and renamed over the
// piece file, so a piece file is always whole.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/error_text.hpp"
#include "release/http.hpp"
#include "release/release_info.hpp"

inline constexpr std::size_t DOWNLOAD_WORKERS = 8;
inline constexpr int DOWNLOAD_ATTEMPTS = 5;
inline constexpr std::size_t PIECE_BODY_LIMIT = 67108864;
inline constexpr int PROGRESS_INTERVAL_MS = 400;
inline constexpr double BYTES_PER_MB = 1048576.0;

// What tests may change; the defaults are the program's own values.
struct DownloadOptions {
  AgentSettings agent;
  // The wait before attempt 2; it doubles before each later attempt (4, 8,
  // 16, 32 s).
  std::chrono::milliseconds first_retry_wait = std::chrono::seconds(4);
  std::chrono::milliseconds progress_interval = std::chrono::milliseconds(PROGRESS_INTERVAL_MS);
};

// Fetches every id of `piece_ids` (each once) into `cache_dir`, an existing
// folder, unless the cache already holds it. Prints the progress line and then
// "\n". Fails with "download failed ({}); run setup again to continue".
std::expected<void, ErrorText> download_pieces(std::string_view base_url,
                                               const std::filesystem::path& cache_dir,
                                               const ReleaseInfo& release,
                                               const std::vector<std::string>& piece_ids,
                                               const DownloadOptions& options = {});
