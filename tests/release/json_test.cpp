#include "release/json.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

// A compact rendering that shows each value's class: u1, i-1, d0.5, "s".
std::string render(const JsonValue& v) {
  char buf[64];
  switch (v.type) {
    case JsonType::null:
      return "null";
    case JsonType::boolean:
      return v.boolean ? "true" : "false";
    case JsonType::unsigned_integer:
      return "u" + std::to_string(v.u64);
    case JsonType::signed_integer:
      return "i" + std::to_string(v.i64);
    case JsonType::real:
      std::snprintf(buf, sizeof buf, "d%.17g", v.real);
      return buf;
    case JsonType::string:
      return "\"" + std::string(v.chars, v.size) + "\"";
    case JsonType::array: {
      std::string out = "[";
      for (const JsonValue& e : json_elements(&v)) out += (out.size() > 1 ? "," : "") + render(e);
      return out + "]";
    }
    case JsonType::object: {
      std::string out = "{";
      for (const JsonMember& m : json_members(&v))
        out += (out.size() > 1 ? "," : "") + std::string(m.key) + ":" + render(m.value);
      return out + "}";
    }
  }
  return "?";
}

std::string nested(char open, char close, int levels) {
  return std::string(levels, open) + std::string(levels, close);
}

struct ErrorCase {
  const char* name;
  std::string text;
  std::string error;
};

TEST(ParseJson, ReportsFaultsWithTheirPosition) {
  const std::vector<ErrorCase> cases = {
      {"empty", "", "EOF while parsing a value at line 1 column 0"},
      {"only blanks", " \n ", "EOF while parsing a value at line 2 column 1"},
      {"after the value", "{} x", "trailing characters at line 1 column 4"},
      {"html", "<html>", "expected value at line 1 column 1"},
      {"128 arrays", nested('[', ']', 128), "recursion limit exceeded at line 1 column 128"},
      {"128 arrays, cut off", std::string(128, '['), "recursion limit exceeded at line 1 column 128"},
      {"128 objects", [] {
         std::string t;
         for (int i = 0; i < 127; ++i) t += "{\"a\":";
         return t + "{";
       }(), "recursion limit exceeded at line 1 column 636"},
      {"byte-order mark", "\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"vertical tab as blank", "\v{}", "expected value at line 1 column 1"},
      {"form feed as blank", "{}\f", "trailing characters at line 1 column 3"},
      {"comment", "/**/{}", "expected value at line 1 column 1"},
      {"too large", "1e400", "number out of range at line 1 column 1"},
      {"too large in an array", "[1, 10e308]", "number out of range at line 1 column 5"},
      {"too large, negative", "-1.8e308", "number out of range at line 1 column 1"},
      {"too large after one the reader refuses wrongly", "[0e400, 1e400]",
       "number out of range at line 1 column 9"},
      // A number that a double holds is no fault, whatever follows it.
      {"fault right after a zero with a large exponent", "[0e400x]", "expected `,` or `]` at line 1 column 7"},
      {"zero with a large exponent, then more", "0e400+", "trailing characters at line 1 column 6"},
      {"bad exponent after many digits", "1" + std::string(320, '0') + "e-x", "invalid number at line 1 column 324"},
      {"cut off after many digits", "[1" + std::string(320, '0') + ".", "EOF while parsing a value at line 1 column 323"},
      {"lone low surrogate", "\"\\udc00\"", "lone surrogate in hex escape at line 1 column 2"},
      {"lone low surrogate in a key", "{\"ab\\uDFFF\":1}", "lone surrogate in hex escape at line 1 column 5"},
      {"lone low after a pair", "[\"\\ud83d\\ude00\\ude00\"]", "lone surrogate in hex escape at line 1 column 15"},
      {"lone low before a later fault", "\"a\\udc00\\x\"", "lone surrogate in hex escape at line 1 column 3"},
      {"lone high", "\"\\ud800\"", "lone surrogate in hex escape at line 1 column 2"},
      {"high then letter escape", "\"\\ud800\\n\"", "lone surrogate in hex escape at line 1 column 2"},
      {"high then non-low", "\"\\ud800\\u0041\"", "lone surrogate in hex escape at line 1 column 2"},
      {"high then high", "\"\\ud800\\ud800\"", "lone surrogate in hex escape at line 1 column 2"},
      {"high cut off", "\"\\ud800\\u00", "EOF while parsing a string at line 1 column 11"},
      {"raw control character", "\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"raw tab", "\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"raw line feed", "[\"a\nb\"]", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
      {"NUL in a string", std::string("\"a\0b\"", 5), "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"NUL after the value", std::string("{}\0", 3), "trailing characters at line 1 column 3"},
      {"NUL after the value and blanks", std::string("[1] \0 ", 6), "trailing characters at line 1 column 5"},
      {"NUL before the value", std::string(" \0 1", 4), "expected value at line 1 column 2"},
      {"NUL inside an array", std::string("[1,\0]", 5), "expected value at line 1 column 4"},
      {"bad escape", "\"\\x\"", "invalid escape at line 1 column 2"},
      {"bad hex escape", "\"\\u12G4\"", "invalid escape at line 1 column 2"},
      {"escape cut off", "\"ab\\u12", "EOF while parsing a string at line 1 column 7"},
      {"string cut off", "\"abc", "EOF while parsing a string at line 1 column 4"},
      {"list cut off", "[1,2", "EOF while parsing a list at line 1 column 4"},
      {"object cut off", "{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"value cut off", "{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"key not a string", "{1:2}", "key must be a string at line 1 column 2"},
      {"trailing comma in object", "{\"a\":1,}", "key must be a string at line 1 column 8"},
      {"trailing comma in list", "[1,]", "expected value at line 1 column 4"},
      {"missing colon", "{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"missing comma in list", "[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"missing comma in object", "{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"bad literal", "[tru]", "invalid literal at line 1 column 5"},
      {"bad number", "[-x]", "invalid number at line 1 column 3"},
      {"no fraction digits", "[1.]", "invalid number at line 1 column 4"},
      {"overlong UTF-8", "\"\xC0\x80\"", "invalid UTF-8 at line 1 column 2"},
      {"encoded surrogate", "\"\xED\xA0\x80\"", "invalid UTF-8 at line 1 column 2"},
      {"UTF-8 cut off at the end", "\"\xF0", "invalid UTF-8 at line 1 column 2"},
      {"error on a later line", "{\n  \"a\": [1,\n   2 x]\n}", "expected `,` or `]` at line 3 column 6"},
      {"end after line ends", "{\r\n\"a\":1,\r\n", "EOF while parsing an object at line 3 column 0"},
  };
  for (const ErrorCase& c : cases) {
    const auto doc = parse_json(c.text);
    ASSERT_FALSE(doc.has_value()) << c.name;
    EXPECT_EQ(doc.error(), c.error) << c.name;
  }
  EXPECT_EQ(parse_json(std::string_view()).error(), "EOF while parsing a value at line 1 column 0");
}

struct ValueCase {
  const char* name;
  std::string text;
  std::string value;
};

TEST(ParseJson, BuildsTheValueTree) {
  const std::vector<ValueCase> cases = {
      {"largest unsigned", "18446744073709551615", "u18446744073709551615"},
      {"above unsigned", "18446744073709551616", "d1.8446744073709552e+19"},
      {"exact above 2^53", "9007199254740993", "u9007199254740993"},
      {"negative", "-1", "i-1"},
      {"smallest signed", "-9223372036854775808", "i-9223372036854775808"},
      {"below signed", "-9223372036854775809", "d-9.2233720368547758e+18"},
      {"minus zero", "-0", "d-0"},
      {"fraction", "12.0", "d12"},
      {"exponent", "1e3", "d1000"},
      {"correctly rounded", "[0.1, 2.2250738585072011e-308, 1.7976931348623157e308]",
       "[d0.10000000000000001,d2.2250738585072009e-308,d1.7976931348623157e+308]"},
      {"below the smallest double", "[1e-400, -1e-400]", "[d0,d-0]"},
      // The reader refuses these on its own; a double holds them.
      {"zero with a large exponent", "[0e400, -0E309, 0.0e999]", "[d0,d-0,d0]"},
      {"many digits before the point", "1" + std::string(320, '0') + "e-300", "d1e+20"},
      {"the largest double in full", "17976931348623157" + std::string(292, '0'),
       "d1.7976931348623157e+308"},
      {"numbers in strings stay as written", R"({"0e400":"0e400","a\"1e999":[0e400, 100]})",
       R"({0e400:"0e400",a"1e999:[d0,u100]})"},
      {"surrogate pair", "\"\\ud83d\\ude00\"", "\"\xF0\x9F\x98\x80\""},
      {"escapes", "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\"", "\"\"\\/\b\f\n\r\t\xC3\xA9\""},
      {"escaped NUL", "\"a\\u0000b\"", std::string("\"a\0b\"", 5)},
      {"raw UTF-8", "\"\xE2\x82\xAC\"", "\"\xE2\x82\xAC\""},
      {"four blanks only", " \t\r\n{\"a\" : [ true , false , null ] }\r\n ", "{a:[true,false,null]}"},
      {"empty containers", "[{},[],\"\"]", "[{},[],\"\"]"},
      {"127 arrays", nested('[', ']', 127), nested('[', ']', 127)},
      {"repeated key kept in order", "{\"a\":1,\"b\":2,\"a\":3}", "{a:u1,b:u2,a:u3}"},
  };
  for (const ValueCase& c : cases) {
    const auto doc = parse_json(c.text);
    ASSERT_TRUE(doc.has_value()) << c.name << ": " << doc.error();
    EXPECT_EQ(render(doc->root), c.value) << c.name;
  }
}

TEST(ParseJson, MemberLookup) {
  const auto doc = parse_json(R"({"a":1,"s":"x","a":"later","n":null})");
  ASSERT_TRUE(doc.has_value());
  const JsonValue& root = doc->root;
  EXPECT_EQ(json_string(json_member(root, "a")), "later");
  EXPECT_EQ(json_string(json_member(root, "s")), "x");
  EXPECT_EQ(json_member(root, "missing"), nullptr);
  EXPECT_EQ(json_member(root, "A"), nullptr);
  EXPECT_EQ(json_string(json_member(root, "n")), std::nullopt);
  EXPECT_EQ(json_string(nullptr), std::nullopt);

  const auto array = parse_json(R"([{"a":"x"}])");
  ASSERT_TRUE(array.has_value());
  EXPECT_EQ(json_member(array->root, "a"), nullptr);
  EXPECT_EQ(json_member(nullptr, "a"), nullptr);
}

TEST(ParseJson, DocumentOwnsItsStrings) {
  // Short strings would sit inside a std::string itself and move with it.
  std::vector<JsonDocument> docs;
  {
    auto doc = parse_json(std::string(R"({"k\n":["ab","c\"d"]})"));
    ASSERT_TRUE(doc.has_value());
    docs.push_back(std::move(*doc));
  }
  for (int i = 0; i < 8; ++i) docs.push_back(*parse_json("0"));  // move the first around
  EXPECT_EQ(render(docs.front().root), "{k\n:[\"ab\",\"c\"d\"]}");
}

TEST(ParseJsonBorrowing, GivesTheSameTreeAndLeavesTheTextAsItWas) {
  const std::vector<std::string> texts = {
      R"({"a":"b","":[""],"n":[1,-2,3.5,true,null]})",
      R"({"a":"b" x)",
      R"(["ab","c)",
      R"({"a":"b"}   )" + std::string("\0", 1) + "\"",
      "[\"caf\xC3\xA9\"]",
      R"(["a\"b","\u00e9"])",
      "\"\xF0",
      R"({"0e400":[0e400,"-0e999"]})",
      R"(["a\"0e400",0e400,1e400])",
  };
  for (const std::string& original : texts) {
    std::string text = original;
    const auto borrowed = parse_json_borrowing(text);
    EXPECT_EQ(text, original);
    const auto copied = parse_json(original);
    ASSERT_EQ(borrowed.has_value(), copied.has_value()) << original;
    if (copied) {
      EXPECT_EQ(render(borrowed->root), render(copied->root)) << original;
    } else {
      EXPECT_EQ(borrowed.error(), copied.error()) << original;
    }
  }
}

}  // namespace
