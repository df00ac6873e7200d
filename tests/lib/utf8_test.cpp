#include "lib/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string FFFD = "\xEF\xBF\xBD";

TEST(Utf8, LossyReplacesMaximalSubparts) {
  struct Case {
    const char* name;
    std::string in;
    std::string want;
  };
  // Examples of the Unicode Standard's "substitution of maximal subparts".
  const std::vector<Case> cases = {
      {"ascii", "abc", "abc"},
      {"latin-1 e acute", "caf\xE9", "caf" + FFFD},
      {"byte-order mark kept", "\xEF\xBB\xBF{}", "\xEF\xBB\xBF{}"},
      {"two-byte truncated", "a\xC3", "a" + FFFD},
      {"overlong lead C0", "\xC0\xAF", FFFD + FFFD},
      {"surrogate ED A0 80", "\xED\xA0\x80", FFFD + FFFD + FFFD},
      {"E0 80 is two", "\xE0\x80", FFFD + FFFD},
      {"truncated three-byte then ascii", "\xE2\x82x", FFFD + "x"},
      {"truncated four-byte", "\xF0\x9F\x98", FFFD},
      {"above U+10FFFF", "\xF4\x90\x80\x80", FFFD + FFFD + FFFD + FFFD},
      {"F5 lead", "\xF5", FFFD},
      {"standard's example",
       "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a" + FFFD + FFFD + FFFD + "b" + FFFD + "c" + FFFD + FFFD + "d"},
      {"valid four-byte", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(utf8_lossy(c.in), c.want) << c.name;
    EXPECT_EQ(is_valid_utf8(c.in), c.in == c.want) << c.name;
  }
}

}  // namespace
