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

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
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
inline constexpr std::size_t PIECE_DECODED_LIMIT = 33554432;
inline constexpr int ZSTD_WINDOW_LOG_MAX = 27;
inline constexpr int PROGRESS_INTERVAL_MS = 400;
inline constexpr double PROGRESS_MIN_ELAPSED_S = 0.1;
inline constexpr double BYTES_PER_MB = 1048576.0;

// Appended to an id for the file a piece is written to before its rename.
inline constexpr std::string_view PART_FILE_SUFFIX = ".part";

inline constexpr std::string_view INCOMPLETE_FRAME_TEXT = "incomplete frame";
inline constexpr std::string_view NOT_VERIFIED_TEXT = "a downloaded piece did not verify";

// What tests may change; the defaults are the program's own values.
struct DownloadOptions {
  AgentSettings agent;
  // The wait before attempt 2; it doubles before each later attempt (4, 8,
  // 16, 32 s).
  std::chrono::milliseconds first_retry_wait = std::chrono::seconds(4);
  std::chrono::milliseconds progress_interval = std::chrono::milliseconds(PROGRESS_INTERVAL_MS);
};

// The message of the worker that gave up last; once it holds one, no worker
// takes another piece.
struct ErrorSlot {
  std::mutex lock;
  std::optional<ErrorText> text;
};

// Shared by the workers of one phase. download_pieces owns it and lends it to
// every worker; the workers write only error_slot (under its lock),
// next_index and done_bytes, and read the rest without locks.
struct DownloadContext {
  ErrorSlot error_slot;
  std::atomic<std::size_t> next_index{0};
  const std::vector<std::string>& piece_ids;
  const ReleaseInfo& release;
  const std::filesystem::path& cache_dir;
  // The bytes found in the cache or fetched so far; the progress thread
  // reads the same counter.
  std::shared_ptr<std::atomic<std::uint64_t>> done_bytes;
  std::string_view base_url;
  const DownloadOptions& options;
};

// What the progress thread is given; it owns its share of the two counters.
struct ProgressState {
  std::shared_ptr<std::atomic<bool>> stop;
  std::shared_ptr<std::atomic<std::uint64_t>> done_bytes;
  std::uint64_t total_bytes = 0;
  std::chrono::milliseconds interval{PROGRESS_INTERVAL_MS};
};

// "{base_url}/c/{first two characters}/{id}.zst", nothing escaped; none for
// an id of fewer than two whole UTF-8 characters.
std::optional<std::string> piece_url(std::string_view base_url, std::string_view id);

// The id's download_size in the release, 0 when it has none.
std::uint64_t download_size_of(const ReleaseInfo& release, const std::string& id);

// Decodes the zstd frames of `input`, one after the other, into `output`
// and gives the number of bytes decoded. Decoding stops silently once
// `limit` bytes are in `output` (which then has room for at least that
// many). Input that ends inside a frame, or is empty, gives
// INCOMPLETE_FRAME_TEXT; other faults the decoder's own text. A frame that
// needs more room than `output` has left gives NOT_VERIFIED_TEXT, since the
// decoder fills no part of it: whether at the limit or past what the frames
// declared, such bytes could not verify.
std::expected<std::size_t, ErrorText> zstd_decode(std::span<const std::uint8_t> input,
                                                  std::span<std::uint8_t> output,
                                                  std::size_t limit);

// The lower-case hex SHA-256 of `bytes`.
std::string sha256_hex(std::span<const std::uint8_t> bytes);

// What one worker reads a body into and decodes a piece into: one of each,
// kept from one piece to the next only while it is small.
struct PieceBuffers {
  BodyBuffer body;
  ByteBlock decoded;
  std::size_t decoded_room = 0;
};

// Lets go of a buffer too large to keep until the next piece.
void release_large_buffers(PieceBuffers& buffers);

// One attempt at a piece, without the wait before it: fetch, decode, verify,
// write the part file in one write and rename it over the piece file. The
// error is the attempt's failure text.
std::expected<void, ErrorText> fetch_piece(const DownloadContext& ctx, const std::string& id,
                                           PieceBuffers& buffers);

// The body of one download thread: takes pieces until the list is used up or
// the error slot holds a text.
void download_worker(DownloadContext& ctx) noexcept;

// One redraw of the progress line: "\r  downloading ..." with the figures for
// `done_bytes` (at most `total_bytes`) after `elapsed_s` seconds (at least
// PROGRESS_MIN_ELAPSED_S).
std::string progress_line(std::uint64_t done_bytes, std::uint64_t total_bytes, double elapsed_s);

// The body of the progress thread: redraws every state.interval until stop
// is set, never after it.
void progress_reporter(ProgressState state) noexcept;

// Fetches every id of `piece_ids` (each once) into `cache_dir`, an existing
// folder, unless the cache already holds it. Prints the progress line and then
// "\n". Fails with "download failed ({}); run setup again to continue".
std::expected<void, ErrorText> download_pieces(std::string_view base_url,
                                               const std::filesystem::path& cache_dir,
                                               const ReleaseInfo& release,
                                               const std::vector<std::string>& piece_ids,
                                               const DownloadOptions& options = {});
