#include "lib/hexdigest.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

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

TEST(Sha256FileHex, EmptyExactBufferAndMissing) {
  TempDir dir;
  write_file(dir.path / "empty", "");
  EXPECT_EQ(sha256_file_hex(dir.path / "empty").value(),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  // Exactly one buffer: the next read returns 0 and ends the loop.
  write_file(dir.path / "four-mib", std::string(HASH_READ_SIZE, 'a'));
  EXPECT_EQ(sha256_file_hex(dir.path / "four-mib").value(),
            "299285fc41a44cdb038b9fdaf494c76ca9d0c866672b2b266c1a0c17dda60a05");

  write_file(dir.path / "abc", "abc");
  EXPECT_EQ(sha256_file_hex(dir.path / "abc").value(),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  auto missing = sha256_file_hex(dir.path / "absent");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);

  auto folder = sha256_file_hex(dir.path);
  EXPECT_FALSE(folder) << "reading a folder is an I/O error";
}

TEST(Sha256FileHex, ReadsAFileHeldOpenForWriting) {
  TempDir dir;
  std::ofstream writer(dir.path / "open", std::ios::binary);
  writer << "abc" << std::flush;
  EXPECT_EQ(sha256_file_hex(dir.path / "open").value(),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
