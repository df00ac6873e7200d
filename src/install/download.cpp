#include "install/download.hpp"
#include "install/download_internal.hpp"

// ZSTD_d_stableOutBuffer is still among the advanced parameters.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "lib/hexdigest.hpp"
#include "lib/utf8.hpp"
#include "platform/console.hpp"
#include "platform/errno_text.hpp"
#include "platform/fs_ops.hpp"
#include "release/install_layout.hpp"

namespace {

namespace fs = std::filesystem;

constexpr int ZSTD_WINDOW_LOG_MAX = 27;
constexpr double PROGRESS_MIN_ELAPSED_S = 0.1;

constexpr std::string_view INCOMPLETE_FRAME_TEXT = "incomplete frame";
constexpr std::string_view NOT_VERIFIED_TEXT = "a downloaded piece did not verify";

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

// What one worker reads a body into and decodes a piece into: one of each,
// kept from one piece to the next only while it is small.
struct PieceBuffers {
  BodyBuffer body;
  ByteBlock decoded;
  std::size_t decoded_room = 0;
};

std::string download_failed(std::string_view cause) {
  std::string message = "download failed (";
  message += cause;
  message += "); run setup again to continue";
  return message;
}

// The most room of either kind that a worker keeps for its next piece:
// reused memory costs no fresh pages, yet eight workers between pieces hold
// at most 64 MiB.
constexpr std::size_t KEPT_ROOM_MAX = 4194304;

// Room for the decoded piece: what its frames declare, when every one does
// and that stays within the limit, so that an honest piece costs its own size;
// otherwise the limit itself.
std::size_t decoded_room(std::span<const std::uint8_t> body) {
  const unsigned long long declared = ZSTD_findDecompressedSize(body.data(), body.size());
  if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared == ZSTD_CONTENTSIZE_ERROR)
    return PIECE_DECODED_LIMIT;
  return static_cast<std::size_t>(std::min<unsigned long long>(declared, PIECE_DECODED_LIMIT));
}

// Only such an id can name a cache file that verifies, so only such a name is
// opened: any other id might lead out of the cache folder or to a pipe.
bool is_digest_text(std::string_view id) {
  return id.size() == 64 && std::ranges::all_of(id, [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// Whether the frame that starts `rest` asks for a window above
// 2^ZSTD_WINDOW_LOG_MAX bytes. A header that cannot be read is left to the
// decoder, which reports it in its own words.
bool window_too_large(std::span<const std::uint8_t> rest) {
  ZSTD_frameHeader header{};
  return ZSTD_getFrameHeader(&header, rest.data(), rest.size()) == 0 &&
         header.frameType == ZSTD_frame &&
         header.windowSize > (std::uint64_t{1} << ZSTD_WINDOW_LOG_MAX);
}

struct DCtxFree {
  void operator()(ZSTD_DCtx* dctx) const { ZSTD_freeDCtx(dctx); }
};

// Only a regular file under the id's own name counts: a link or a FIFO that
// someone put there is absent and gets replaced.
bool cached_piece_verifies(const fs::path& cache_dir, const std::string& id) {
  const auto opened = open_regular_file(cache_dir / id);
  if (!opened) return false;
  const auto digest = sha256_fd_hex(*opened);
  ::close(*opened);
  return digest && *digest == id;
}

}  // namespace

std::optional<std::string> piece_url(std::string_view base_url, std::string_view id) {
  std::size_t prefix = 0;
  for (int character = 0; character < 2; ++character) {
    std::size_t maximal_subpart = 0;
    const std::size_t length = utf8_sequence_length(id.substr(prefix), maximal_subpart);
    if (length == 0) return std::nullopt;
    prefix += length;
  }
  std::string url(base_url);
  url += "/c/";
  url += id.substr(0, prefix);
  url += '/';
  url += id;
  url += ".zst";
  return url;
}

namespace {

// The id's download_size in the release, 0 when it has none.
std::uint64_t download_size_of(const ReleaseInfo& release, const std::string& id) {
  const auto found = release.chunks.find(id);
  return found == release.chunks.end() ? 0 : found->second;
}

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
                                                  std::size_t limit) {
  const std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
  if (!dctx) return std::unexpected(ZSTD_getErrorString(ZSTD_error_memory_allocation));
  // Decoding straight into `output` spares the decoder a window buffer of its
  // own, up to 2^27 bytes.
  const std::array<std::pair<ZSTD_dParameter, int>, 2> parameters = {
      {{ZSTD_d_windowLogMax, ZSTD_WINDOW_LOG_MAX}, {ZSTD_d_stableOutBuffer, 1}}};
  for (const auto& [parameter, value] : parameters) {
    const std::size_t result = ZSTD_DCtx_setParameter(dctx.get(), parameter, value);
    if (ZSTD_isError(result)) return std::unexpected(ZSTD_getErrorName(result));
  }

  ZSTD_inBuffer in{input.data(), input.size(), 0};
  ZSTD_outBuffer out{output.data(), output.size(), 0};
  bool frame_start = true;
  for (;;) {
    // The decoder applies the window limit only when it decodes a frame
    // piece by piece; a whole frame that declares its size is decoded in one
    // go without that check. So each frame's header is checked first.
    if (frame_start && window_too_large(input.subspan(in.pos)))
      return std::unexpected(ZSTD_getErrorString(ZSTD_error_frameParameter_windowTooLarge));
    const std::size_t in_before = in.pos;
    const std::size_t out_before = out.pos;
    const std::size_t hint = ZSTD_decompressStream(dctx.get(), &out, &in);
    if (ZSTD_isError(hint)) {
      // With the output fixed in place the decoder refuses a frame that needs
      // more room than is left, rather than decoding up to the end.
      if (ZSTD_getErrorCode(hint) == ZSTD_error_dstSize_tooSmall)
        return std::unexpected(std::string(NOT_VERIFIED_TEXT));
      return std::unexpected(ZSTD_getErrorName(hint));
    }
    // 0: a frame has ended and everything of it is in `output`.
    if (hint == 0 && in.pos == in.size) return out.pos;
    frame_start = hint == 0;
    if (out.pos >= limit) return out.pos;
    if (in.pos == in_before && out.pos == out_before)
      return std::unexpected(std::string(INCOMPLETE_FRAME_TEXT));
  }
}

// Lets go of a buffer too large to keep until the next piece.
void release_large_buffers(PieceBuffers& buffers) {
  if (buffers.body.room > KEPT_ROOM_MAX) buffers.body = {};
  if (buffers.decoded_room > KEPT_ROOM_MAX) {
    buffers.decoded.reset();
    buffers.decoded_room = 0;
  }
}

// One attempt at a piece, without the wait before it: fetch, decode, verify,
// write the part file in one write and rename it over the piece file. The
// error is the attempt's failure text.
std::expected<void, ErrorText> fetch_piece(const DownloadContext& ctx, const std::string& id,
                                           PieceBuffers& buffers) {
  const std::optional<std::string> url = piece_url(ctx.base_url, id);
  if (!url)
    return std::unexpected("the piece id \"" + utf8_lossy(id) + "\" gives no download address");

  std::size_t decoded_size = 0;
  {
    Agent agent = make_agent(ctx.options.agent);
    receive_body_into(agent, buffers.body, PIECE_BODY_LIMIT);
    auto response = agent.get(*url);
    if (!response) return std::unexpected(describe_http_error(response.error()));
    const auto body_size = read_whole_body(response->body);
    if (!body_size) return std::unexpected(body_size.error());
    // Whatever lies beyond the limit is never read; the connection goes now.
    response->body.transfer.reset();

    const std::span<const std::uint8_t> input(buffers.body.bytes.get(), *body_size);
    const std::size_t room = decoded_room(input);
    if (room > buffers.decoded_room) {
      // The old bytes are of no use: a fresh block spares realloc's copy.
      buffers.decoded.reset();
      buffers.decoded_room = 0;
      if (!resize_block(buffers.decoded, room)) return std::unexpected(errno_text(ENOMEM));
      buffers.decoded_room = room;
    }
    const auto size = zstd_decode(input, {buffers.decoded.get(), room}, PIECE_DECODED_LIMIT);
    if (!size) return std::unexpected(size.error());
    decoded_size = *size;
  }

  const std::span<const std::uint8_t> bytes(buffers.decoded.get(), decoded_size);
  if (sha256_hex(bytes) != id) return std::unexpected(std::string(NOT_VERIFIED_TEXT));

  const std::string part_name = id + std::string(PART_FILE_SUFFIX);
  // Whatever another user put at the part file's name (a link, a FIFO) is
  // removed, never written through.
  if (const std::error_code error = write_fresh_file(ctx.cache_dir, part_name, bytes, 0666))
    return std::unexpected(error.message());
  const fs::path part = ctx.cache_dir / part_name;
  const fs::path final_path = ctx.cache_dir / id;
  if (::rename(part.c_str(), final_path.c_str()) != 0)
    return std::unexpected(errno_text(errno));
  return {};
}

// The body of one download thread: takes pieces until the list is used up or
// the error slot holds a text.
void download_worker(DownloadContext& ctx) noexcept {
  PieceBuffers buffers;
  for (;;) {
    {
      std::lock_guard lock(ctx.error_slot.lock);
      if (ctx.error_slot.text) return;
    }
    const std::size_t position = ctx.next_index.fetch_add(1);
    if (position >= ctx.piece_ids.size()) return;
    const std::string& id = ctx.piece_ids[position];
    const std::uint64_t size = download_size_of(ctx.release, id);

    if (is_digest_text(id)) {
      if (cached_piece_verifies(ctx.cache_dir, id)) {
        ctx.done_bytes->fetch_add(size);
        continue;
      }
    }

    ErrorText last_failure;
    bool fetched = false;
    for (int attempt = 1; attempt <= DOWNLOAD_ATTEMPTS && !fetched; ++attempt) {
      if (attempt >= 2)
        std::this_thread::sleep_for(ctx.options.first_retry_wait * (1 << (attempt - 2)));
      auto result = fetch_piece(ctx, id, buffers);
      release_large_buffers(buffers);
      if (result)
        fetched = true;
      else
        last_failure = std::move(result.error());
    }
    if (fetched) {
      ctx.done_bytes->fetch_add(size);
      continue;
    }
    std::string message = download_failed(last_failure);
    std::lock_guard lock(ctx.error_slot.lock);
    ctx.error_slot.text = std::move(message);
  }
}

}  // namespace

std::string progress_line(std::uint64_t done_bytes, std::uint64_t total_bytes, double elapsed_s) {
  const double total = static_cast<double>(total_bytes);
  const double done = static_cast<double>(std::min(done_bytes, total_bytes));
  const double elapsed = std::max(elapsed_s, PROGRESS_MIN_ELAPSED_S);
  const double speed = done / elapsed;
  const double minutes_left = speed > 0 ? (total - done) / speed / 60 : 0;
  constexpr const char* format =
      "\r  downloading %7.1f / %.1f MB  %5.1f MB/s  about %3.0f min left   ";
  const double figures[] = {done / BYTES_PER_MB, total / BYTES_PER_MB, speed / BYTES_PER_MB,
                            minutes_left};
  // Sized first: a figure wider than its field is printed whole.
  const int length =
      std::snprintf(nullptr, 0, format, figures[0], figures[1], figures[2], figures[3]);
  if (length <= 0) return {};
  std::string line(static_cast<std::size_t>(length), '\0');
  std::snprintf(line.data(), line.size() + 1, format, figures[0], figures[1], figures[2],
                figures[3]);
  return line;
}

void progress_reporter(ProgressState state) noexcept {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  while (!state.stop->load()) {
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start);
    double elapsed = 0;
    if (since.count() > 0)
      elapsed = static_cast<double>(since.count() / 1000000000) +
                static_cast<double>(since.count() % 1000000000) / 1e9;
    print(progress_line(state.done_bytes->load(), state.total_bytes, elapsed));
    std::this_thread::sleep_for(state.interval);
  }
}

std::expected<void, ErrorText> download_pieces(std::string_view base_url,
                                               const std::filesystem::path& cache_dir,
                                               const ReleaseInfo& release,
                                               const std::vector<std::string>& piece_ids,
                                               const DownloadOptions& options) {
  std::uint64_t total_bytes = 0;
  for (const std::string& id : piece_ids) total_bytes += download_size_of(release, id);

  auto done_bytes = std::make_shared<std::atomic<std::uint64_t>>(0);
  auto stop = std::make_shared<std::atomic<bool>>(false);
  DownloadContext ctx{.error_slot{},
                      .next_index{0},
                      .piece_ids = piece_ids,
                      .release = release,
                      .cache_dir = cache_dir,
                      .done_bytes = done_bytes,
                      .base_url = base_url,
                      .options = options};

  std::thread progress;
  try {
    progress = std::thread(progress_reporter,
                           ProgressState{stop, done_bytes, total_bytes, options.progress_interval});
  } catch (const std::system_error&) {
    // The pieces matter, the progress line does not: the phase goes on
    // without it.
  }

  {
    std::vector<std::jthread> workers;
    workers.reserve(DOWNLOAD_WORKERS);
    for (std::size_t w = 0; w < DOWNLOAD_WORKERS; ++w) {
      try {
        workers.emplace_back(download_worker, std::ref(ctx));
      } catch (const std::system_error& error) {
        // The workers already running see this text before their next piece,
        // finish the one in hand and end.
        std::string message =
            download_failed("cannot start a download thread: " + error.code().message());
        std::lock_guard lock(ctx.error_slot.lock);
        ctx.error_slot.text = std::move(message);
        break;
      }
    }
  }  // joins every worker

  stop->store(true);
  if (progress.joinable()) progress.join();
  print("\n");

  if (ctx.error_slot.text) return std::unexpected(std::move(*ctx.error_slot.text));
  return {};
}
