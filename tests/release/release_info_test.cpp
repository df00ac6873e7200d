#include "release/release_info.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "lib/hexdigest.hpp"
#include "support/test_key.hpp"

namespace {

constexpr std::string_view DEFAULT_PUBLIC_KEY = "4b1d7e92c05a3f68e2d94c17b8a05f3e61c2d8a9047be3f5c69a1d2e80f47b3c";
constexpr std::string_view NOT_SIGNED =
    "the release information is not signed by KORVANE (it may have been tampered with)";

constexpr std::string_view SAMPLE = R"({
  "version": "1.2.0",
  "released": 17,
  "files": [{"p": "ReefTown.exe", "n": 3, "h": "ab", "c": [["id1", 3]]}],
  "chunks": {"id1": 2}
}
)";

std::expected<ReleaseInfo, ErrorText> parse_signed(std::string_view json) {
  return parse_release_info(std::string(json), test_sign_hex(json), TEST_PUBLIC_KEY_HEX);
}

// The signature with S + L in place of S: the same scalar modulo L.
std::string add_group_order_to_s(std::string_view sig_hex) {
  // L = 2^252 + 27742317777372353535851937790883648493, little-endian.
  constexpr std::uint8_t L[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                  0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
  std::vector<std::uint8_t> sig = *hex_decode(sig_hex);
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    const unsigned sum = sig[32 + i] + L[i] + carry;
    sig[32 + i] = static_cast<std::uint8_t>(sum);
    carry = sum >> 8;
  }
  return hex_encode(sig);
}

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

std::string crlf(std::string_view s) {
  std::string out;
  for (char c : s) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

struct SignatureCase {
  const char* name;
  std::string json;  // the text handed over; the signature is always of SAMPLE
  std::string sig;
  bool verifies;
};

TEST(ReleaseSignature, AcceptsOnlyTheExactSignatureOfTheExactBytes) {
  const std::string json(SAMPLE);
  const std::string sig = test_sign_hex(SAMPLE);
  std::string mixed = sig;
  for (std::size_t i = 0; i < mixed.size(); i += 2) mixed[i] = static_cast<char>(std::toupper(mixed[i]));
  std::string changed = json;
  changed[changed.find("1.2.0")] = '2';

  const std::vector<SignatureCase> cases = {
      {"bare digits", json, sig, true},
      {"final line end", json, sig + "\n", true},
      {"blanks and tabs around", json, " \t" + sig + "\t \r\n", true},
      {"upper case", json, upper(sig), true},
      {"mixed case", json, mixed, true},
      {"126 digits", json, sig.substr(0, 126), false},
      {"130 digits", json, sig + "00", false},
      {"empty", json, "", false},
      {"blank only", json, " \n", false},
      {"byte-order mark", json, "\xEF\xBB\xBF" + sig, false},
      {"blank inside", json, sig.substr(0, 64) + " " + sig.substr(64), false},
      {"line end inside", json, sig.substr(0, 64) + "\n" + sig.substr(64), false},
      {"0x prefix", json, "0x" + sig, false},
      {"not hex", json, sig.substr(0, 127) + "g", false},
      {"S + L", json, add_group_order_to_s(sig), false},
      {"one byte changed", changed, sig, false},
      {"LF to CR LF", crlf(json), sig, false},
      {"line end appended", json + "\n", sig, false},
  };
  for (const SignatureCase& c : cases) {
    const auto info = parse_release_info(c.json, c.sig, TEST_PUBLIC_KEY_HEX);
    if (c.verifies) {
      ASSERT_TRUE(info.has_value()) << c.name << ": " << info.error();
      EXPECT_EQ(info->manifest_json, c.json) << c.name;
      EXPECT_EQ(info->manifest_sig, c.sig) << c.name;
    } else {
      ASSERT_FALSE(info.has_value()) << c.name;
      EXPECT_EQ(info.error(), NOT_SIGNED) << c.name;
    }
  }
}

TEST(ReleaseSignature, FollowsTheCofactorlessRuleForOddKeys) {
  const std::string zeros31(62, '0');
  const std::string identity = "01" + zeros31;  // y = 1, x = 0: the neutral point, of small order
  const std::string not_a_point = "02" + zeros31;  // y = 2 has no x on the curve
  // R = the neutral point and S = 0: [0]B - [k]A is neutral for a neutral A,
  // whatever k the message gives.
  const std::string neutral_sig = identity + std::string(64, '0');
  EXPECT_TRUE(release_signature_verifies(identity, "any message", neutral_sig));
  EXPECT_TRUE(release_signature_verifies(identity, SAMPLE, neutral_sig));
  EXPECT_TRUE(parse_release_info(std::string(SAMPLE), neutral_sig, identity).has_value());

  EXPECT_FALSE(release_signature_verifies(not_a_point, "any message", neutral_sig));
  EXPECT_FALSE(release_signature_verifies(identity.substr(2), "any message", neutral_sig));
  EXPECT_FALSE(release_signature_verifies("zz" + identity.substr(2), "any message", neutral_sig));

  // A key of our own: its signatures verify under it and under no other key.
  const std::string seed(64, '7');
  const std::string sig = sign_hex_with_seed(seed, SAMPLE);
  EXPECT_TRUE(release_signature_verifies(public_key_hex_of_seed(seed), SAMPLE, sig));
  EXPECT_FALSE(release_signature_verifies(TEST_PUBLIC_KEY_HEX, SAMPLE, sig));
}

TEST(ReleaseSignature, TheBuiltInKeyRefusesATestSignedRelease) {
  const std::string sig = test_sign_hex(SAMPLE);
  const auto info = parse_release_info(std::string(SAMPLE), sig, DEFAULT_PUBLIC_KEY);
  ASSERT_FALSE(info.has_value());
  EXPECT_EQ(info.error(), NOT_SIGNED);
  if (RELEASE_PUBLIC_KEY == DEFAULT_PUBLIC_KEY) {
    const auto built_in = parse_release_info(std::string(SAMPLE), sig);
    ASSERT_FALSE(built_in.has_value());
    EXPECT_EQ(built_in.error(), NOT_SIGNED);
  }
}

TEST(ReleaseSignature, IsCheckedBeforeTheText) {
  const auto info = parse_release_info("{ not json", std::string(128, '0'), TEST_PUBLIC_KEY_HEX);
  ASSERT_FALSE(info.has_value());
  EXPECT_EQ(info.error(), NOT_SIGNED);
}

struct RefusalCase {
  const char* name;
  std::string json;
  std::string error;
};

TEST(ParseReleaseInfo, RefusesWhatItCannotUse) {
  const std::vector<RefusalCase> cases = {
      {"empty text", "", "EOF while parsing a value at line 1 column 0"},
      {"text after the value", "{} x", "trailing characters at line 1 column 4"},
      {"128 levels", std::string(128, '[') + std::string(128, ']'), "recursion limit exceeded at line 1 column 128"},
      {"127 levels", std::string(127, '[') + std::string(127, ']'), "bad release information"},
      {"root is an array", R"([{"files":[]}])", "bad release information"},
      {"no files", R"({"version":"1"})", "bad release information"},
      {"files is an object", R"({"files":{}})", "bad release information"},
      {"files is null", R"({"files":null})", "bad release information"},
      {"files repeated, the later not a list", R"({"files":[],"files":5})", "bad release information"},
      {"an element that is no object", R"({"files":[5]})", "bad release information (file path)"},
      {"bad path in the last entry", R"({"files":[{"p":"a"},{"p":"b"},{"p":"../c"}]})",
       "bad release information (file path)"},
      {"two bad paths", R"({"files":[{"p":""},{"p":"/x"}]})", "bad release information (file path)"},
  };
  for (const RefusalCase& c : cases) {
    const auto info = parse_signed(c.json);
    ASSERT_FALSE(info.has_value()) << c.name;
    EXPECT_EQ(info.error(), c.error) << c.name;
  }
}

struct UnsignedCase {
  const char* text;
  std::uint64_t value;
};

TEST(ParseReleaseInfo, UnsignedIntegersOrZero) {
  const std::vector<UnsignedCase> cases = {
      {"12", 12},
      {"0", 0},
      {"18446744073709551615", 18446744073709551615ull},
      {"18446744073709551616", 0},
      {"12.0", 0},
      {"1e3", 0},
      {"-1", 0},
      {"-0", 0},
      {"\"12\"", 0},
      {"null", 0},
      {"true", 0},
      {"[12]", 0},
  };
  for (const UnsignedCase& c : cases) {
    const std::string v = c.text;
    const auto info = parse_signed(R"({"released":)" + v + R"(,"files":[{"p":"a","n":)" + v +
                                   R"(,"c":[["x",)" + v + R"(]]}],"chunks":{"x":)" + v + "}}");
    ASSERT_TRUE(info.has_value()) << c.text << ": " << info.error();
    EXPECT_EQ(info->released, c.value) << c.text;
    EXPECT_EQ(info->files.at(0).size, c.value) << c.text;
    EXPECT_EQ(info->files.at(0).pieces.at(0).length, c.value) << c.text;
    EXPECT_EQ(info->chunks.at("x"), c.value) << c.text;
  }
}

struct TextMembersCase {
  const char* members;  // root members before "files"
  const char* version;
  const char* launch;
  const char* eac_product_id;
};

TEST(ParseReleaseInfo, TextMembersOrTheirDefaults) {
  const std::vector<TextMembersCase> cases = {
      {"", "", "ReefTown.exe", ""},
      {R"("launch":null,)", "", "ReefTown.exe", ""},
      {R"("launch":5,)", "", "ReefTown.exe", ""},
      {R"("launch":"",)", "", "", ""},
      {R"("launch":"bin/Game.exe",)", "", "bin/Game.exe", ""},
      {R"("version":"1.0","version":"1.1",)", "1.1", "ReefTown.exe", ""},
      {R"("version":1.1,"eac_product_id":["x"],)", "", "ReefTown.exe", ""},
      {R"("version":"v","eac_product_id":"abc","Launch":"x.exe","zzz":{"launch":"y"},)", "v", "ReefTown.exe",
       "abc"},
  };
  for (const TextMembersCase& c : cases) {
    const auto info = parse_signed(std::string("{") + c.members + R"("files":[]})");
    ASSERT_TRUE(info.has_value()) << c.members << ": " << info.error();
    EXPECT_EQ(info->version, c.version) << c.members;
    EXPECT_EQ(info->launch, c.launch) << c.members;
    EXPECT_EQ(info->eac_product_id, c.eac_product_id) << c.members;
    EXPECT_TRUE(info->files.empty());
    EXPECT_TRUE(info->chunks.empty());
    EXPECT_EQ(info->released, 0u);
  }
}

TEST(ParseReleaseInfo, FilesAndPieces) {
  const auto info = parse_signed(R"({"files":[
    {"p":"a.bin","n":10,"h":"HASH","c":[["ab", 5], "x", [], ["cd"], [7, 3], ["ef", 1, "extra"]],"extra":{"p":"no"}},
    {"p":"b.bin","h":7,"c":{"0":["zz",1]}},
    {"p":"c.bin","n":1,"p":"d.bin"}
  ],"zzz":[1,2]})");
  ASSERT_TRUE(info.has_value()) << info.error();
  ASSERT_EQ(info->files.size(), 3u);

  const FileEntry& a = info->files[0];
  EXPECT_EQ(a.path, "a.bin");
  EXPECT_EQ(a.size, 10u);
  EXPECT_EQ(a.hash, "HASH");
  std::vector<std::pair<std::string, std::uint64_t>> pieces;
  for (const FilePiece& p : a.pieces) pieces.emplace_back(p.id, p.length);
  const std::vector<std::pair<std::string, std::uint64_t>> expected = {
      {"ab", 5}, {"", 0}, {"", 0}, {"cd", 0}, {"", 3}, {"ef", 1}};
  EXPECT_EQ(pieces, expected);

  const FileEntry& b = info->files[1];
  EXPECT_EQ(b.path, "b.bin");
  EXPECT_EQ(b.size, 0u);
  EXPECT_EQ(b.hash, "");
  EXPECT_TRUE(b.pieces.empty());

  EXPECT_EQ(info->files[2].path, "d.bin");
}

TEST(ParseReleaseInfo, Chunks) {
  const auto map = parse_signed(R"({"files":[],"chunks":{"a":1,"b":-1,"c":"7","d":2,"d":3}})");
  ASSERT_TRUE(map.has_value()) << map.error();
  const ChunkMap expected = {{"a", 1}, {"b", 0}, {"c", 0}, {"d", 3}};
  EXPECT_EQ(map->chunks, expected);

  for (const char* other : {R"([["a",1]])", "5", "null"}) {
    const auto info = parse_signed(std::string(R"({"files":[],"chunks":)") + other + "}");
    ASSERT_TRUE(info.has_value()) << other;
    EXPECT_TRUE(info->chunks.empty()) << other;
  }
}

struct PathCase {
  std::string path;
  bool passes;
};

TEST(ParseReleaseInfo, FilePathCheck) {
  const std::vector<PathCase> cases = {
      {"", false},
      {"../game.exe", false},
      {"data/../../game.exe", false},
      {"data/a..b/c.bin", false},
      {"..", false},
      {"/etc/game.exe", false},
      {"C:/Windows/game.exe", false},
      {"data/a:b", false},
      {"\\Windows\\game.exe", false},
      {"\\\\server\\share\\game.exe", false},
      // The system calls would stop at the NUL and name another file.
      {std::string("data/a.bin\0.x", 13), false},
      // The program's own files, in any spelling the scan takes for them.
      {".manifest.json", false},
      {".manifest.sig", false},
      {".version", false},
      {"./.Manifest.JSON", false},
      {".VERSION/", false},
      {".manifest.json.new", true},
      {"Data/.version", true},
      {"data\\maps\\reef.map", true},
      {"Data/Maps/Reef.MAP", true},
      {".hidden/x.", true},
      {"a/./b", true},
  };
  for (const PathCase& c : cases) {
    const std::string json =
        std::string(R"({"files":[{"p":"first.bin"},{"p":)") + "\"" + [&] {
          std::string escaped;
          for (char ch : c.path) {
            if (ch == '\\') escaped += "\\\\";
            else if (ch == '\0') escaped += "\\u0000";
            else escaped += ch;
          }
          return escaped;
        }() + "\"}]}";
    const auto info = parse_signed(json);
    if (c.passes) {
      ASSERT_TRUE(info.has_value()) << c.path << ": " << info.error();
      EXPECT_EQ(info->files.at(1).path, c.path);
    } else {
      ASSERT_FALSE(info.has_value()) << c.path;
      EXPECT_EQ(info.error(), "bad release information (file path)") << c.path;
    }
  }
}

}  // namespace
