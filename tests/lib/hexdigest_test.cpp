#include "lib/hexdigest.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/temp_dir.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(HexEncode, LowerCaseTwoDigitsPerByte) {
  EXPECT_EQ(hex_encode({}), "");
  const Bytes bytes{0x00, 0xff, 0x0a};
  EXPECT_EQ(hex_encode(bytes), "00ff0a");
  EXPECT_EQ(hex_byte(0x0a), "0a");
  std::array<std::uint8_t, 32> digest{};
  digest[31] = 0xAB;
  EXPECT_EQ(digest_hex(digest), std::string(62, '0') + "ab");
}

TEST(HexDecode, Table) {
  struct Case {
    const char* name;
    std::string text;
    std::optional<Bytes> want;
  };
  const std::vector<Case> cases = {
      {"blanks and line end around", "  00FFaa\n", Bytes{0x00, 0xff, 0xaa}},
      {"no-break spaces around", "\xC2\xA0" "00FFaa" "\xC2\xA0", Bytes{0x00, 0xff, 0xaa}},
      {"ideographic spaces around", "\xE3\x80\x80" "00FFaa" "\xE3\x80\x80", Bytes{0x00, 0xff, 0xaa}},
      {"next line and paragraph separator", "\xC2\x85" "0a" "\xE2\x80\xA9", Bytes{0x0a}},
      {"all the ascii white space", "\t\n\v\f\r 0a\r\n", Bytes{0x0a}},
      {"empty", "", Bytes{}},
      {"blanks only", "   \t\n", Bytes{}},
      {"odd length", "abc", std::nullopt},
      {"not a digit", "0g", std::nullopt},
      {"blank between pairs", "00 ff", std::nullopt},
      {"digit blank digits", "0 ff", std::nullopt},
      {"plus pairs", "+a+b", Bytes{0x0a, 0x0b}},
      {"plus nine and plus F", "+9+F", Bytes{0x09, 0x0f}},
      {"minus", "-a", std::nullopt},
      {"two plus signs", "++", std::nullopt},
      {"plus second", "a+", std::nullopt},
      {"bad first pair, good rest", "zz00ff", std::nullopt},
      {"non-ascii inside", "00\xC3\xA9" "00", std::nullopt},
      {"non-ascii first", "\xC3\xA9" "00", std::nullopt},
      {"byte-order mark first", "\xEF\xBB\xBF" "00ff", std::nullopt},
      {"information separator is not white space", "\x1C" "00", std::nullopt},
      {"white space inside stays", "00\xC2\xA0" "ff", std::nullopt},
      {"mixed case in a pair", "aBcD", Bytes{0xab, 0xcd}},
      {"invalid utf-8", "00\xFF", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hex_decode(c.text), c.want) << c.name;
  }
}

std::string utf8_of(char32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// Every code point with the White_Space property is trimmed on either side,
// and its neighbours and look-alikes are not.
TEST(HexDecode, TrimsExactlyTheWhiteSpaceCodePoints) {
  std::vector<char32_t> white = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680,
                                 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (char32_t cp = 0x2000; cp <= 0x200A; ++cp) white.push_back(cp);
  ASSERT_EQ(white.size(), 25u);
  std::string all;
  for (char32_t cp : white) {
    SCOPED_TRACE(static_cast<std::uint32_t>(cp));
    const std::string ws = utf8_of(cp);
    all += ws;
    EXPECT_EQ(hex_decode(ws + "0a" + ws), Bytes{0x0a});
    EXPECT_EQ(hex_decode(ws + ws + "0a" + ws + ws), Bytes{0x0a});
    EXPECT_EQ(hex_decode(ws), Bytes{});
    EXPECT_EQ(hex_decode("0a" + ws + "0b"), std::nullopt);
  }
  EXPECT_EQ(hex_decode(all + "0a0b" + all), (Bytes{0x0a, 0x0b}));

  const std::vector<char32_t> not_white = {0x00,   0x08,   0x0E,   0x1C,   0x1D,   0x1E,
                                           0x1F,   0x7F,   0x84,   0x86,   0x9F,   0x180E,
                                           0x1FFF, 0x200B, 0x200C, 0x2027, 0x202A, 0x2060,
                                           0x205E, 0x2FFF, 0x3001, 0xFEFF};
  for (char32_t cp : not_white) {
    SCOPED_TRACE(static_cast<std::uint32_t>(cp));
    const std::string other = utf8_of(cp);
    EXPECT_EQ(hex_decode(other + "0a"), std::nullopt);
    EXPECT_EQ(hex_decode("0a" + other), std::nullopt);
    EXPECT_EQ(hex_decode(" " + other + "0a "), std::nullopt);
  }
}

TEST(HexDecode, RoundTripGivesTrimmedLowerCase) {
  const std::string text = " 00AbCdEf99 \n";
  auto bytes = hex_decode(text);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(hex_encode(*bytes), "00abcdef99");
}

TEST(HexDecodePair, StopsAtEndAndFlagsBadPairs) {
  HexDecodeState state{"0aZZ", 0, false};
  EXPECT_EQ(hex_decode_pair(state), std::optional<std::uint8_t>(0x0a));
  EXPECT_FALSE(state.error);
  EXPECT_EQ(hex_decode_pair(state), std::nullopt);
  EXPECT_TRUE(state.error);

  HexDecodeState end{"0a", 2, false};
  EXPECT_EQ(hex_decode_pair(end), std::nullopt);
  EXPECT_FALSE(end.error);
}

TEST(Sha256Hex, BufferDigestsMatchKnownValues) {
  struct Case {
    std::string bytes;
    std::string_view digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // The whole buffer counts, past a NUL too.
      {std::string("abc\0", 4), "dc1114cd074914bd872cc1f9a23ec910ea2203bc79779ab2e17da25782a624fc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.size());
    EXPECT_EQ(sha256_hex(std::string_view(c.bytes)), c.digest);
    EXPECT_EQ(sha256_hex(std::span(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size())),
              c.digest);
  }
}

TEST(Sha256FileHex, EmptyExactBufferAndMissing) {
  TempDir dir;
  write_file(dir.path / "empty", "");
  EXPECT_EQ(sha256_file_hex(dir.path / "empty").value(),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  // Exactly one buffer: the next read returns 0 and ends the loop.
  write_file(dir.path / "four-mib", std::string(HASH_READ_SIZE, 'a'));
  EXPECT_EQ(sha256_file_hex(dir.path / "four-mib").value(),
            "299285fc41a44cdb038b9fdaf494c76ca9d0c866672b2b266c1a0c17dda60a05");

  // Two full buffers and a short read before the end.
  write_file(dir.path / "longer", std::string(2 * HASH_READ_SIZE + 3, 'a'));
  EXPECT_EQ(sha256_file_hex(dir.path / "longer").value(),
            "d54a99c4e178084df6568d4af925039332e50826c4aadf42546934123e9a369d");

  write_file(dir.path / "abc", "abc");
  EXPECT_EQ(sha256_file_hex(dir.path / "abc").value(),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  // A NUL ends the name for the system; the path must not open "abc".
  auto with_nul = sha256_file_hex(dir.path / std::string("abc\0def", 7));
  ASSERT_FALSE(with_nul);
  EXPECT_EQ(with_nul.error(), std::errc::invalid_argument);

  auto missing = sha256_file_hex(dir.path / "absent");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);

}

// What stands at the path when it is opened must be a regular file: the
// scan looked at the path earlier, and it may have been swapped since. None
// of these waits or reads on; each fails at once.
TEST(Sha256FileHex, OnlyRegularFilesAreRead) {
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> make;
  };
  const std::vector<Case> cases = {
      {"FIFO without a writer",
       [](const std::filesystem::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
      {"link to an endless device",
       [](const std::filesystem::path& p) { std::filesystem::create_symlink("/dev/zero", p); }},
      {"folder", [](const std::filesystem::path& p) { std::filesystem::create_directory(p); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.path / "file";
    c.make(path);
    auto hash = std::async(std::launch::async, [&] { return sha256_file_hex(path); });
    if (hash.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      // Let an open that waits for a FIFO's writer go, so that the test can end.
      const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) ::close(writer);
      ADD_FAILURE() << "the hash waited";
    }
    const auto result = hash.get();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), std::errc::invalid_argument);
  }
}

TEST(Sha256FileHex, ReadsAFileHeldOpenForWriting) {
  TempDir dir;
  std::ofstream writer(dir.path / "open", std::ios::binary);
  writer << "abc" << std::flush;
  EXPECT_EQ(sha256_file_hex(dir.path / "open").value(),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// A signal that interrupts a read fails the call; the read is not retried.
// Only a FIFO blocks a read long enough to interrupt it, and sha256_file_hex
// refuses FIFOs, so its reading half is called on one directly.
TEST(Sha256FileHex, InterruptedReadFails) {
  TempDir dir;
  const auto fifo = dir.path / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Opened for reading and writing, so neither this open nor the hash's
  // waits; nothing is written, so the hash's read blocks.
  const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);

  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read returns EINTR
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  std::atomic<bool> done{false};
  std::expected<std::string, std::error_code> result;
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  std::thread hasher([&] {
    result = sha256_fd_hex(reader);
    done = true;
  });
  // A signal that lands before the read only runs the handler, so signal
  // until the call returns. A call that retried would wait on; closing the
  // writer then ends it with the digest of nothing, and the test fails.
  for (int i = 0; i < 2000 && !done; ++i) {
    ::pthread_kill(hasher.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::close(writer);
  hasher.join();
  ::close(reader);
  ::sigaction(SIGUSR1, &previous, nullptr);

  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), std::errc::interrupted);
}

}  // namespace
