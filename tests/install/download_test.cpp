#include "install/download_internal.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "lib/hexdigest.hpp"
#include "support/child.hpp"
#include "support/http_server.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::IsEmpty;
using ::testing::StartsWith;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string id_of(std::string_view content) { return sha256_hex(bytes_of(content)); }

// One frame that declares its content size, as a one-shot compression writes it.
std::string zstd_frame(std::string_view content, bool checksum = false) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, checksum ? 1 : 0);
  std::string out(ZSTD_compressBound(content.size()), '\0');
  const std::size_t n =
      ZSTD_compress2(cctx, out.data(), out.size(), content.data(), content.size());
  ZSTD_freeCCtx(cctx);
  EXPECT_FALSE(ZSTD_isError(n));
  out.resize(n);
  return out;
}

// One frame without a content size and with a window descriptor, as a
// compressor that is fed piece by piece writes it.
std::string zstd_streamed_frame(std::string_view content) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, 20);
  std::string out(ZSTD_compressBound(content.size()) + 1024, '\0');
  ZSTD_outBuffer output{out.data(), out.size(), 0};
  ZSTD_inBuffer input{content.data(), content.size(), 0};
  while (input.pos < input.size)
    EXPECT_FALSE(ZSTD_isError(ZSTD_compressStream2(cctx, &output, &input, ZSTD_e_continue)));
  ZSTD_inBuffer none{nullptr, 0, 0};
  std::size_t left = 1;
  while (left != 0) {
    left = ZSTD_compressStream2(cctx, &output, &none, ZSTD_e_end);
    EXPECT_FALSE(ZSTD_isError(left));
    if (ZSTD_isError(left)) break;
  }
  ZSTD_freeCCtx(cctx);
  out.resize(output.pos);
  return out;
}

// A streamed frame whose header asks for a window of 2^window_log bytes and,
// with `declare_size`, also gives the content size (as four bytes).
std::string frame_with_window(std::string_view content, int window_log, bool declare_size = false) {
  std::string frame = zstd_streamed_frame(content);
  // Byte 4 is the frame header descriptor: no single-segment flag and no
  // content size, so byte 5 is the window descriptor, exponent in the upper
  // five bits.
  EXPECT_EQ(static_cast<unsigned char>(frame[4]) & 0xE0, 0);
  frame[5] = static_cast<char>((window_log - 10) << 3);
  if (declare_size) {
    frame[4] = static_cast<char>(frame[4] | 0x80);
    std::string size(4, '\0');
    for (std::size_t i = 0; i < 4; ++i) size[i] = static_cast<char>(content.size() >> (8 * i));
    frame.insert(6, size);
  }
  return frame;
}

// Bytes that compress well and differ from one seed to the next.
std::string pattern(std::size_t size, unsigned seed) {
  std::string block(4096, '\0');
  for (std::size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<char>('a' + (i * 7 + seed) % 23);
  std::string text;
  text.reserve(size);
  for (std::size_t n = 0; text.size() < size; ++n) {
    text.append(block, 0, std::min(block.size(), size - text.size()));
    if (text.size() < size) text += static_cast<char>(n);
  }
  return text;
}

Reply body_reply(std::string body) {
  Reply reply;
  reply.body = std::move(body);
  return reply;
}

std::string target_of(const std::string& id) { return "/c/" + id.substr(0, 2) + "/" + id + ".zst"; }

std::size_t requests_for(const TestServer& server, const std::string& target) {
  std::size_t count = 0;
  for (const LoggedRequest& request : server.requests()) count += request.target == target;
  return count;
}

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

std::string failed(const std::string& cause) {
  return "download failed (" + cause + "); run setup again to continue";
}

// Polls the server's log from its own thread and puts in `reply` for
// `target` once `count` requests for it have come in: the reply to each
// request is chosen before it is logged, so the next request is the first to
// get it.
std::jthread reroute_after(TestServer& server, std::string target, std::size_t count, Reply reply) {
  return std::jthread(
      [&server, target = std::move(target), count, reply = std::move(reply)](std::stop_token stop) {
        while (!stop.stop_requested()) {
          if (requests_for(server, target) >= count) {
            server.route(target, reply);
            return;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      });
}

struct DownloadTest : ::testing::Test {
  void SetUp() override {
    ASSERT_EQ(server.error, "");
    options.agent.connect_timeout = std::chrono::seconds(30);
    options.agent.read_timeout = std::chrono::seconds(30);
    options.first_retry_wait = std::chrono::milliseconds(1);
    options.progress_interval = std::chrono::milliseconds(5);
  }

  // Serves `content` as the zstd piece it is, under its id, and lists it in
  // the release.
  std::string serve_piece(const std::string& content) {
    const std::string id = id_of(content);
    server.route(target_of(id), body_reply(zstd_frame(content)));
    release.chunks[id] = content.size();
    return id;
  }

  std::expected<void, ErrorText> run(const std::vector<std::string>& ids) {
    StderrCapture capture;
    auto result = download_pieces(server.url(""), cache.path, release, ids, options);
    console = capture.finish();
    return result;
  }

  TestServer server = start_server();
  TempDir cache;
  ReleaseInfo release;
  DownloadOptions options;
  std::string console;
};

TEST(PieceUrl, TakesTheFirstTwoWholeCharacters) {
  const std::string id(64, 'a');
  struct Case {
    std::string id;
    std::optional<std::string> want;
  };
  const std::vector<Case> cases = {
      {"3f" + id.substr(2), "http://h:8/base/c/3f/3f" + id.substr(2) + ".zst"},
      {"ab", "http://h:8/base/c/ab/ab.zst"},
      {"A b", "http://h:8/base/c/A /A b.zst"},
      {"\xC3\xA9xyz", "http://h:8/base/c/\xC3\xA9x/\xC3\xA9xyz.zst"},
      {"a", std::nullopt},
      {"", std::nullopt},
      {"\xC3", std::nullopt},
      {"a\xA9", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(piece_url("http://h:8/base", c.id), c.want) << c.id;
}

// Every figure of the line and its width, wide values included.
TEST(ProgressLine, FormatsEveryFigure) {
  constexpr std::uint64_t MiB = 1048576;
  struct Case {
    const char* name;
    std::uint64_t done;
    std::uint64_t total;
    double elapsed;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"nothing yet", 0, 0, 0.0,
       "\r  downloading     0.0 / 0.0 MB    0.0 MB/s  about   0 min left   "},
      {"speed 0 gives 0 minutes", 0, 500 * MiB, 12.0,
       "\r  downloading     0.0 / 500.0 MB    0.0 MB/s  about   0 min left   "},
      {"minutes rounded to nearest", MiB, 97 * MiB, 1.0,
       "\r  downloading     1.0 / 97.0 MB    1.0 MB/s  about   2 min left   "},
      {"elapsed raised to 0.1 s", MiB, 2 * MiB, 0.01,
       "\r  downloading     1.0 / 2.0 MB   10.0 MB/s  about   0 min left   "},
      {"negative elapsed raised too", MiB, 2 * MiB, -3.0,
       "\r  downloading     1.0 / 2.0 MB   10.0 MB/s  about   0 min left   "},
      {"done clamped to total", 5 * MiB, 3 * MiB, 1.0,
       "\r  downloading     3.0 / 3.0 MB    3.0 MB/s  about   0 min left   "},
      {"one decimal, rounded", 1625293, 10 * MiB, 200.0,
       "\r  downloading     1.6 / 10.0 MB    0.0 MB/s  about  18 min left   "},
      {"fields filled exactly", 104857495142, 100000 * MiB, 1000.0,
       "\r  downloading 99999.9 / 100000.0 MB  100.0 MB/s  about   0 min left   "},
      {"wide done and speed", 1ull << 50, 1ull << 50, 1.0,
       "\r  downloading 1073741824.0 / 1073741824.0 MB  1073741824.0 MB/s  about   0 min left   "},
      {"largest total", 0, UINT64_MAX, 1.0,
       "\r  downloading     0.0 / 17592186044416.0 MB    0.0 MB/s  about   0 min left   "},
      {"wide minutes", 1, (1ull << 40) + 1, 1.0,
       "\r  downloading     0.0 / 1048576.0 MB    0.0 MB/s  about 18325193796 min left   "},
  };
  for (const Case& c : cases)
    EXPECT_EQ(progress_line(c.done, c.total, c.elapsed), c.want) << c.name;
}

TEST(ProgressReporter, DrawsNothingOnceStopIsSet) {
  auto stop = std::make_shared<std::atomic<bool>>(true);
  auto done = std::make_shared<std::atomic<std::uint64_t>>(0);
  StderrCapture capture;
  progress_reporter({stop, done, 100, std::chrono::milliseconds(1)});
  EXPECT_EQ(capture.finish(), "");
}

TEST(ProgressReporter, RedrawsUntilStopped) {
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto done = std::make_shared<std::atomic<std::uint64_t>>(0);
  StderrCapture capture;
  std::thread reporter(progress_reporter,
                       ProgressState{stop, done, 4 * 1048576, std::chrono::milliseconds(1)});
  EXPECT_TRUE(capture.wait_for("downloading"));
  done->store(5 * 1048576);  // past the total: shown as the total
  EXPECT_TRUE(capture.wait_for("4.0 / 4.0 MB"));
  stop->store(true);
  reporter.join();
  const std::string text = capture.finish();
  EXPECT_THAT(text,
              StartsWith("\r  downloading     0.0 / 4.0 MB    0.0 MB/s  about   0 min left   "));
  EXPECT_NE(text.find("\r  downloading     4.0 / 4.0 MB"), std::string::npos);
  EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST_F(DownloadTest, EmptyListRequestsNothing) {
  options.progress_interval = DownloadOptions{}.progress_interval;
  ASSERT_TRUE(run({}));
  EXPECT_THAT(server.requests(), IsEmpty());
  // Redraws, if the workers took long enough for any, show nothing but zeros.
  const std::string line = "\r  downloading     0.0 / 0.0 MB    0.0 MB/s  about   0 min left   ";
  std::string_view rest = console;
  while (rest.starts_with(line)) rest.remove_prefix(line.size());
  EXPECT_EQ(rest, "\n") << console;
  EXPECT_THAT(names_in(cache.path), IsEmpty());
}

TEST_F(DownloadTest, CachedPiecesAreNotFetched) {
  std::vector<std::string> ids;
  for (unsigned i = 0; i < 20; ++i) {
    const std::string content = pattern(1000 + i, i);
    ids.push_back(id_of(content));
    write_file(cache.path / ids.back(), content);
    release.chunks[ids.back()] = 2000;
  }
  ASSERT_TRUE(run(ids));
  EXPECT_THAT(server.requests(), IsEmpty());
  EXPECT_EQ(console.back(), '\n');
}

// A piece file of other content, and a part file left by an earlier run: both
// pieces are fetched, written to the part file and renamed into place.
TEST_F(DownloadTest, DamagedCacheFileAndLeftoverPartFileAreReplaced) {
  const std::string damaged_content = pattern(5000, 1);
  const std::string leftover_content = pattern(6000, 2);
  const std::string damaged = serve_piece(damaged_content);
  const std::string leftover = serve_piece(leftover_content);

  // The damaged piece file is a second name of a file outside the cache: a
  // rename replaces the name, a write in place would change that file.
  TempDir elsewhere;
  write_file(elsewhere.path / "outside", "damaged");
  fs::create_hard_link(elsewhere.path / "outside", cache.path / damaged);
  write_file(cache.path / (leftover + ".part"),
             "left from an earlier run, much longer than ever needed");

  ASSERT_TRUE(run({damaged, leftover}));
  EXPECT_EQ(read_file(cache.path / damaged), damaged_content);
  EXPECT_EQ(read_file(cache.path / leftover), leftover_content);
  EXPECT_EQ(read_file(elsewhere.path / "outside"), "damaged");
  EXPECT_EQ(names_in(cache.path), (std::set<std::string>{damaged, leftover}));
  EXPECT_EQ(requests_for(server, target_of(damaged)), 1u);
  EXPECT_EQ(requests_for(server, target_of(leftover)), 1u);
}

// What the server sends for one piece, and what the cache holds afterwards
// (the piece alone) or why the phase failed (the cache then holds nothing).
struct BodyCase {
  const char* name;
  std::string id;
  Reply reply;
  std::optional<std::string> content;
  std::string cause;
};

// Each row in a fresh cache folder.
void expect_outcomes(TestServer& server, const DownloadOptions& options,
                     const std::vector<BodyCase>& cases) {
  const ReleaseInfo release;
  for (const BodyCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir folder;
    server.route(target_of(c.id), c.reply);
    const std::size_t before = requests_for(server, target_of(c.id));
    StderrCapture capture;
    const auto result = download_pieces(server.url(""), folder.path, release, {c.id}, options);
    capture.finish();
    const std::size_t made = requests_for(server, target_of(c.id)) - before;
    if (c.content) {
      ASSERT_TRUE(result) << result.error();
      EXPECT_EQ(made, 1u);
      EXPECT_EQ(names_in(folder.path), std::set<std::string>{c.id});
      EXPECT_TRUE(read_file(folder.path / c.id) == *c.content);
    } else {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error(), failed(c.cause));
      EXPECT_EQ(made, static_cast<std::size_t>(DOWNLOAD_ATTEMPTS));
      EXPECT_THAT(names_in(folder.path), IsEmpty());
    }
  }
}

TEST_F(DownloadTest, DecodesAndVerifiesEachBody) {
  const std::string small = pattern(3000, 3);
  const std::string small_frame = zstd_frame(small);
  std::string corrupt_checksum = zstd_frame(small, true);
  corrupt_checksum.back() = static_cast<char>(corrupt_checksum.back() ^ 1);
  std::string corrupt_empty = zstd_frame("", true);
  corrupt_empty.back() = static_cast<char>(corrupt_empty.back() ^ 1);
  std::string upper = id_of(small);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  Reply gzipped = body_reply(small_frame);
  gzipped.gzip = true;
  Reply chunked = body_reply(small_frame);
  chunked.framing = Reply::Framing::Chunked;
  chunked.chunk_size = 7;

  expect_outcomes(
      server, options,
      {
          {"one frame", id_of(small), body_reply(small_frame), small, ""},
          {"two frames in order", id_of("first part, second part"),
           body_reply(zstd_frame("first part, ") + zstd_streamed_frame("second part")),
           "first part, second part", ""},
          {"gzip content coding around it", id_of(small), gzipped, small, ""},
          {"chunked framing", id_of(small), chunked, small, ""},
          {"empty piece", id_of(""), body_reply(zstd_frame("")), "", ""},
          {"window of exactly 2^27", id_of(small), body_reply(frame_with_window(small, 27)), small,
           ""},
          {"empty body", id_of(small), body_reply(""), std::nullopt, "incomplete frame"},
          {"cut frame", id_of(small), body_reply(small_frame.substr(0, small_frame.size() - 3)),
           std::nullopt, "incomplete frame"},
          {"cut second frame", id_of(small + small),
           body_reply(small_frame + small_frame.substr(0, 12)), std::nullopt, "incomplete frame"},
          {"not zstd", id_of(small), body_reply(small), std::nullopt, "Unknown frame descriptor"},
          {"data after a frame", id_of(small), body_reply(small_frame + "trailing"), std::nullopt,
           "Unknown frame descriptor"},
          {"window above 2^27", id_of(small), body_reply(frame_with_window(small, 28)),
           std::nullopt, "Frame requires too much memory for decoding"},
          {"window of exactly 2^27, size declared", id_of(small),
           body_reply(frame_with_window(small, 27, true)), small, ""},
          {"window above 2^27, size declared", id_of(small),
           body_reply(frame_with_window(small, 28, true)), std::nullopt,
           "Frame requires too much memory for decoding"},
          {"window above 2^27 in the second frame", id_of(small + small),
           body_reply(small_frame + frame_with_window(small, 28, true)), std::nullopt,
           "Frame requires too much memory for decoding"},
          {"checksum mismatch", id_of(small), body_reply(corrupt_checksum), std::nullopt,
           "Restored data doesn't match checksum"},
          {"empty piece, checksum mismatch", id_of(""), body_reply(corrupt_empty), std::nullopt,
           "Restored data doesn't match checksum"},
          {"other content", id_of(small), body_reply(zstd_frame("other")), std::nullopt,
           "a downloaded piece did not verify"},
          {"id in upper case", upper, body_reply(small_frame), std::nullopt,
           "a downloaded piece did not verify"},
      });
}

// A piece of exactly the decoded limit is taken; one byte more is cut at the
// limit (or refused whole when its frame declares its size) and never
// verifies.
TEST_F(DownloadTest, DecodedLimit) {
  const std::string limit = pattern(PIECE_DECODED_LIMIT, 4);
  const std::string past_limit = pattern(PIECE_DECODED_LIMIT + 1, 4);
  expect_outcomes(
      server, options,
      {
          {"exactly the limit", id_of(limit), body_reply(zstd_frame(limit)), limit, ""},
          {"one byte more, size declared", id_of(past_limit), body_reply(zstd_frame(past_limit)),
           std::nullopt, "a downloaded piece did not verify"},
          {"one byte more, size not declared", id_of(past_limit),
           body_reply(zstd_streamed_frame(past_limit)), std::nullopt,
           "a downloaded piece did not verify"},
      });
}

// The body is read up to its limit and no further: frames that end exactly
// there decode, whatever follows them. The server streams the body from a
// small block, as a 64 MiB reply would be slow to copy on a loaded machine.
TEST_F(DownloadTest, BodyLimit) {
  const std::string small = pattern(3000, 5);
  const std::string frame = zstd_frame(small);
  // A skippable frame (decoded to nothing) up to the limit, its content the
  // flood below; then more of the flood, which is no zstd frame.
  const std::size_t skipped = PIECE_BODY_LIMIT - frame.size() - 8;
  Reply reply;
  reply.raw = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + frame + "\x50\x2A\x4D\x18";
  for (int shift = 0; shift < 32; shift += 8)
    reply.raw += static_cast<char>((skipped >> shift) & 0xFF);
  reply.flood = std::string(65536, 's');
  reply.flood_limit = skipped + reply.flood.size();
  expect_outcomes(server, options,
                  {{"frames end at the limit, bytes follow", id_of(small), reply, small, ""}});
}

// A part file that cannot be written, or a piece file name that cannot be
// taken, fails the attempt like any other fault; a folder in the way stops
// root as well as anyone.
TEST_F(DownloadTest, WriteAndRenameFailuresAreAttemptFailures) {
  const std::string content = pattern(2000, 6);
  const std::string id = serve_piece(content);
  const fs::path part = cache.path / (id + ".part");
  const fs::path piece = cache.path / id;

  fs::create_directory(part);
  auto result = run({id});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), failed("Is a directory"));
  EXPECT_EQ(requests_for(server, target_of(id)), 5u);

  fs::remove(part);
  write_file(piece / "in the way", "");
  result = run({id});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), failed("Is a directory"));
  EXPECT_EQ(read_file(part), content) << "the part file stays";
}

TEST_F(DownloadTest, RefusedStatusGivesTheAnsweringUrl) {
  const std::string id = id_of("nowhere");
  const auto result = run({id});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), failed(server.url(target_of(id)) + ": status code 404"));
}

TEST_F(DownloadTest, IdWithoutAddressFailsWithoutRequest) {
  const auto result = run({"a"});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), failed("the piece id \"a\" gives no download address"));
  EXPECT_THAT(server.requests(), IsEmpty());
}

// Four failures and then the piece: it counts as done, no error.
TEST_F(DownloadTest, PieceSucceedingOnItsFifthAttempt) {
  // Waits of 50, 100, 200 and 400 ms leave the poller time to switch.
  options.first_retry_wait = std::chrono::milliseconds(50);
  const std::string content = pattern(4000, 5);
  const std::string id = id_of(content);
  server.route(target_of(id), text_reply("busy", 503));
  {
    auto switcher = reroute_after(server, target_of(id), 4, body_reply(zstd_frame(content)));
    ASSERT_TRUE(run({id}));
  }
  EXPECT_EQ(requests_for(server, target_of(id)), 5u);
  EXPECT_EQ(read_file(cache.path / id), content);
}

// A piece that fails five times ends the phase with the fifth attempt's text,
// after the four doubling waits; the other workers finish the pieces in hand
// and take no more.
TEST_F(DownloadTest, PieceFailingFiveTimesStopsTheOthers) {
  const auto unit = std::chrono::milliseconds(10);
  options.first_retry_wait = unit;
  const std::string bad = id_of("never served right");
  server.route(target_of(bad), text_reply("busy", 503));
  std::vector<std::string> ids = {bad};
  constexpr int GOOD = 64;
  for (unsigned i = 0; i < GOOD; ++i) {
    const std::string content = pattern(200, 100 + i);
    ids.push_back(id_of(content));
    // Each good piece takes a while, so most are still waiting when the bad
    // one gives up.
    Reply slow = body_reply(zstd_frame(content));
    slow.trickle = std::chrono::milliseconds(3);
    server.route(target_of(ids.back()), slow);
  }

  const auto start = std::chrono::steady_clock::now();
  std::expected<void, ErrorText> result;
  {
    auto switcher = reroute_after(server, target_of(bad), 4, text_reply("gone", 410));
    result = run(ids);
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;

  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), failed(server.url(target_of(bad)) + ": status code 410"));
  EXPECT_EQ(requests_for(server, target_of(bad)), 5u);
  EXPECT_GE(elapsed, unit * (1 + 2 + 4 + 8));
  EXPECT_EQ(console.back(), '\n');

  std::size_t requested = 0;
  for (std::size_t i = 1; i < ids.size(); ++i) {
    if (requests_for(server, target_of(ids[i])) == 0) continue;
    ++requested;
    EXPECT_TRUE(fs::exists(cache.path / ids[i])) << "a piece in hand is carried through";
  }
  EXPECT_LT(requested, static_cast<std::size_t>(GOOD));
}

// The waits before attempts 2 to 5 double: 1, 2, 4 and 8 times the first.
TEST_F(DownloadTest, WaitsBetweenAttemptsDouble) {
  const auto unit = std::chrono::milliseconds(100);
  options.first_retry_wait = unit;
  const std::string id = id_of("always busy");
  server.route(target_of(id), text_reply("busy", 503));
  const auto start = std::chrono::steady_clock::now();
  const auto result = run({id});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(result);
  EXPECT_EQ(requests_for(server, target_of(id)), 5u);
  EXPECT_GE(elapsed, unit * (1 + 2 + 4 + 8));
}

// A process that may start no more threads: the phase still ends, with a
// text, the line ended, and no hang. Run in a child that drops root, since
// root is not held to the limit.
TEST(DownloadThreads, WorkerThatCannotStartEndsThePhase) {
  const auto no_threads = [] {
    const rlimit none{0, 0};
    return drop_root() && ::setrlimit(RLIMIT_NPROC, &none) == 0;
  };
  const std::string text = in_child(no_threads, [] {
    // What the phase prints, then its error.
    FILE* printed = std::tmpfile();
    if (printed == nullptr || ::dup2(::fileno(printed), 2) < 0) return std::string("no stderr");
    ReleaseInfo release;
    const auto result = download_pieces("http://127.0.0.1:9", "/nonexistent", release, {"x"});
    std::string all;
    char block[512];
    ::lseek(::fileno(printed), 0, SEEK_SET);
    for (ssize_t n; (n = ::read(::fileno(printed), block, sizeof block)) > 0;)
      all.append(block, static_cast<std::size_t>(n));
    return all + (result ? "no error" : result.error());
  });
  EXPECT_EQ(text,
            "\n" + failed("cannot start a download thread: Resource temporarily unavailable"));
}

}  // namespace
