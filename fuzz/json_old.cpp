// The RapidJSON-based reader that src/release/json.cpp replaced, kept only
// to compare the two.
#include "release/json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>
#include <rapidjson/stream.h>

namespace {

// Levels of arrays and objects that may nest; opening one more is an error.
constexpr std::size_t MAX_DEPTH = 127;

// Zero bytes after the copy the reader decodes in place: it stops at the first
// one, but its UTF-8 check takes every byte a lead byte announces before it
// looks at them, so a sequence cut off by the end reads up to three further.
constexpr std::size_t PADDING = 4;

enum class Stop : std::uint8_t { none, too_deep, number_out_of_range, lone_surrogate };

std::optional<unsigned> hex4(std::string_view text, std::size_t pos) {
  if (pos > text.size() || text.size() - pos < 4) return std::nullopt;
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data() + pos, text.data() + pos + 4, value, 16);
  if (ec != std::errc() || end != text.data() + pos + 4) return std::nullopt;
  return value;
}

bool is_hex_digit(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_ascii_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_low_surrogate(unsigned cp) { return cp >= 0xDC00 && cp <= 0xDFFF; }
bool is_high_surrogate(unsigned cp) { return cp >= 0xD800 && cp <= 0xDBFF; }

// Offset of the first "\uDC00".."\uDFFF" escape that no high surrogate escape
// precedes, in the string content that begins at `pos`, before `end` or the
// closing quote. The content before `end` has already passed the reader.
std::optional<std::size_t> lone_low_surrogate(std::string_view text, std::size_t pos,
                                              std::size_t end) {
  while (pos < end && pos < text.size()) {
    const char c = text[pos];
    if (c == '"') return std::nullopt;
    if (c != '\\') {
      ++pos;
      continue;
    }
    if (pos + 1 >= text.size()) return std::nullopt;
    if (text[pos + 1] != 'u') {
      pos += 2;
      continue;
    }
    const auto cp = hex4(text, pos + 2);
    if (!cp) return std::nullopt;
    if (is_low_surrogate(*cp)) return pos;
    pos += is_high_surrogate(*cp) ? 12 : 6;
  }
  return std::nullopt;
}

// Where the content of the string holding `offset` begins: just after the
// last quote before it that no backslash escapes. Outside strings JSON has no
// backslashes, so the opening quote is the first such quote going back.
std::size_t string_content_start(std::string_view text, std::size_t offset) {
  std::size_t i = std::min(offset, text.size());
  while (i > 0) {
    --i;
    if (text[i] != '"') continue;
    std::size_t backslashes = 0;
    while (backslashes < i && text[i - 1 - backslashes] == '\\') ++backslashes;
    if (backslashes % 2 == 0) return i + 1;
  }
  return 0;
}

// True when the escape at `pos` (its backslash) is cut off by the end of the
// text rather than malformed.
bool escape_reaches_end(std::string_view text, std::size_t pos) {
  const auto hex_runs_out = [&](std::size_t from) {
    for (std::size_t i = from; i < from + 4; ++i) {
      if (i >= text.size()) return true;
      if (!is_hex_digit(static_cast<unsigned char>(text[i]))) return false;
    }
    return false;
  };
  if (pos + 1 >= text.size()) return true;
  if (text[pos + 1] != 'u') return false;
  if (hex_runs_out(pos + 2)) return true;
  const auto cp = hex4(text, pos + 2);
  if (!cp || !is_high_surrogate(*cp)) return false;
  if (pos + 6 >= text.size()) return true;
  if (text[pos + 6] != '\\') return false;
  if (pos + 7 >= text.size()) return true;
  if (text[pos + 7] != 'u') return false;
  return hex_runs_out(pos + 8);
}

// On overflow and underflow from_chars leaves no value; which of the two it
// was follows from where the first significant digit stands.
bool magnitude_below_one(std::string_view number) {
  std::size_t i = number.starts_with('-') ? 1 : 0;
  long long magnitude = 0;
  bool found = false;
  std::size_t int_digits = 0;
  for (; i < number.size() && number[i] >= '0' && number[i] <= '9'; ++i, ++int_digits) {
    if (!found && number[i] != '0') {
      found = true;
      magnitude = -static_cast<long long>(int_digits);
    }
  }
  if (found) magnitude += static_cast<long long>(int_digits) - 1;
  if (i < number.size() && number[i] == '.') {
    ++i;
    for (long long k = 1; i < number.size() && number[i] >= '0' && number[i] <= '9'; ++i, ++k) {
      if (!found && number[i] != '0') {
        found = true;
        magnitude = -k;
      }
    }
  }
  long long exponent = 0;
  if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < number.size() && (number[i] == '+' || number[i] == '-')) negative = number[i++] == '-';
    for (; i < number.size() && number[i] >= '0' && number[i] <= '9'; ++i)
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (number[i] - '0');
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent < 0;
}

// Bytes of the JSON number that begins at `pos` (the longest that the grammar
// allows); 0 when none begins there.
std::size_t number_length(std::string_view text, std::size_t pos) {
  std::size_t i = pos;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i - from;
  };
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '0')
    ++i;
  else if (digits() == 0)
    return 0;
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (digits() == 0) return 0;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return 0;
  }
  return i - pos;
}

// A double of `number` (JSON number text), 0 with its sign when it is too
// small for one; none when it is too large.
std::optional<double> to_double(std::string_view number) {
  double real = 0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), real);
  if (ec == std::errc::result_out_of_range && magnitude_below_one(number))
    return number.starts_with('-') ? -0.0 : 0.0;
  if (ec != std::errc() || end != number.data() + number.size()) return std::nullopt;
  return real;
}

// The reader refuses some numbers that a double holds: a zero significand
// with an exponent above 308, more than 308 digits before the point. In
// `buffer`, a copy of `text`, every number outside strings that a double
// holds is written as "0.0..." of the same length, which the reader takes;
// its value still comes from `text`. The reader and this scan agree on where
// strings and numbers stand up to the reader's first fault, and the bytes
// after that do not count.
void mask_numbers(std::string_view text, char* buffer) {
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; i += text[i] == '\\' ? 2 : 1) {
      }
      ++i;
      continue;
    }
    const std::size_t n = c == '-' || (c >= '0' && c <= '9') ? number_length(text, i) : 0;
    if (n == 0) {
      ++i;
      continue;
    }
    // Only where a value may stand, so that the bytes around can join
    // neither "0.0..." nor the number as written.
    const char before = i > 0 ? text[i - 1] : ' ';
    const char after = i + n < text.size() ? text[i + n] : ' ';
    const bool delimited = std::string_view(" \t\r\n[,:").find(before) != std::string_view::npos &&
                           std::string_view(" \t\r\n],}\0", 8).find(after) != std::string_view::npos;
    if (n >= 3 && delimited && to_double(text.substr(i, n))) {
      buffer[i] = '0';
      buffer[i + 1] = '.';
      std::memset(buffer + i + 2, '0', n - 2);
    }
    i += n;
  }
}

// SAX handler of the reader: values wait on a stack until their container
// closes, then move as one block into the document's storage, so every
// container's children lie side by side.
struct TreeBuilder {
  std::string_view text;  // the original bytes, for positions
  char* buffer;           // where the reader decodes strings: `text` itself or a copy
  std::pmr::memory_resource* storage;
  bool escapes;         // the text holds a backslash
  bool restore_quotes;  // `buffer` is `text`: undo the reader's writes
  std::vector<JsonValue> stack;
  std::array<std::size_t, MAX_DEPTH> open{};  // stack height when each open container began
  std::size_t depth = 0;
  Stop stop = Stop::none;
  std::size_t stop_offset = 0;

  bool push(const JsonValue& v) {
    stack.push_back(v);
    return true;
  }

  bool Null() { return push(JsonValue{}); }
  bool Bool(bool b) {
    JsonValue v{JsonType::boolean, 0, {}};
    v.boolean = b;
    return push(v);
  }
  // Numbers arrive as text (RawNumber); these serve the reader's other modes.
  bool Int(int i) { return Int64(i); }
  bool Uint(unsigned u) { return Uint64(u); }
  bool Int64(std::int64_t i) {
    JsonValue v{JsonType::signed_integer, 0, {}};
    v.i64 = i;
    return push(v);
  }
  bool Uint64(std::uint64_t u) {
    JsonValue v{JsonType::unsigned_integer, 0, {}};
    v.u64 = u;
    return push(v);
  }
  bool Double(double d) {
    JsonValue v{JsonType::real, 0, {}};
    v.real = d;
    return push(v);
  }

  // RapidJSON's own conversion mis-rounds, so the text is classified here.
  bool RawNumber(const char* str, rapidjson::SizeType length, bool) {
    // Numbers are never decoded in place, so they stand at the same offset
    // in `text`, which holds them as written even where `buffer` is masked.
    const std::size_t offset = static_cast<std::size_t>(str - buffer);
    const std::string_view number = text.substr(offset, length);
    const char* first = number.data();
    const char* last = first + number.size();
    JsonValue v;
    const bool integral = number.find_first_of(".eE") == std::string_view::npos;
    if (integral && !number.starts_with('-')) {
      if (std::from_chars(first, last, v.u64).ec == std::errc()) {
        v.type = JsonType::unsigned_integer;
        return push(v);
      }
    } else if (integral) {
      std::int64_t i = 0;
      // "-0" is not negative: it stays a double, sign included.
      if (std::from_chars(first, last, i).ec == std::errc() && i != 0) {
        v.type = JsonType::signed_integer;
        v.i64 = i;
        return push(v);
      }
    }
    const std::optional<double> real = to_double(number);
    if (!real) {
      stop = Stop::number_out_of_range;
      stop_offset = offset;
      return false;
    }
    v.type = JsonType::real;
    v.real = *real;
    return push(v);
  }

  bool string_value(const char* str, rapidjson::SizeType length) {
    const std::size_t start = static_cast<std::size_t>(str - buffer);
    // Without escapes the reader has changed nothing but the closing quote,
    // which it turned into a zero byte.
    if (restore_quotes) buffer[start + length] = '"';
    // A lone low surrogate escape passes the reader as the three bytes
    // ED B0..BF; raw bytes of that form fail its UTF-8 check, so finding
    // them here means such an escape.
    const char* const end = str + length;
    for (const char* p = str; escapes &&
         (p = static_cast<const char*>(std::memchr(p, 0xED, static_cast<std::size_t>(end - p))));) {
      ++p;
      if (p < end && static_cast<unsigned char>(*p) >= 0xA0) {
        stop = Stop::lone_surrogate;
        stop_offset = lone_low_surrogate(text, start, text.size()).value_or(start);
        return false;
      }
    }
    JsonValue v{JsonType::string, length, {}};
    v.chars = str;
    return push(v);
  }
  bool String(const char* str, rapidjson::SizeType length, bool) { return string_value(str, length); }
  bool Key(const char* str, rapidjson::SizeType length, bool) { return string_value(str, length); }

  bool open_container() {
    if (depth == MAX_DEPTH) {
      stop = Stop::too_deep;
      return false;
    }
    open[depth++] = stack.size();
    return true;
  }
  bool StartObject() { return open_container(); }
  bool StartArray() { return open_container(); }

  // Counts come from our own stack, not from the reader.
  bool EndArray(rapidjson::SizeType) {
    const std::size_t start = open[--depth];
    const std::size_t n = stack.size() - start;
    JsonValue v{JsonType::array, static_cast<std::uint32_t>(n), {}};
    v.elements = nullptr;
    if (n > 0) {
      auto* block = static_cast<JsonValue*>(storage->allocate(n * sizeof(JsonValue), alignof(JsonValue)));
      std::uninitialized_copy(stack.begin() + static_cast<std::ptrdiff_t>(start), stack.end(), block);
      v.elements = block;
    }
    stack.resize(start);
    return push(v);
  }

  bool EndObject(rapidjson::SizeType) {
    const std::size_t start = open[--depth];
    const std::size_t n = (stack.size() - start) / 2;
    JsonValue v{JsonType::object, static_cast<std::uint32_t>(n), {}};
    v.members = nullptr;
    if (n > 0) {
      auto* block = static_cast<JsonMember*>(storage->allocate(n * sizeof(JsonMember), alignof(JsonMember)));
      for (std::size_t k = 0; k < n; ++k) {
        const JsonValue& key = stack[start + 2 * k];
        ::new (static_cast<void*>(block + k)) JsonMember{{key.chars, key.size}, stack[start + 2 * k + 1]};
      }
      v.members = block;
    }
    stack.resize(start);
    return push(v);
  }
};

ErrorText error_at(std::string_view what, std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  const std::size_t column = offset - line_start + (offset < text.size() ? 1 : 0);
  ErrorText out(what);
  out += " at line ";
  out += std::to_string(line);
  out += " column ";
  out += std::to_string(column);
  return out;
}

constexpr std::string_view CONTROL_IN_STRING =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view LONE_SURROGATE = "lone surrogate in hex escape";

// The reader's fault in our words. It takes a zero byte for the end of the
// text, so a fault at a zero byte inside the text is no end of the text.
ErrorText describe(const rapidjson::ParseResult& result, const TreeBuilder& builder) {
  const std::string_view text = builder.text;
  std::size_t offset = result.Offset();
  const bool at_end = offset >= text.size();
  const auto byte_at = [&](std::size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0; };

  switch (result.Code()) {
    case rapidjson::kParseErrorTermination:
      switch (builder.stop) {
        case Stop::too_deep:
          // The reader stands just past the bracket that opened the level.
          return error_at("recursion limit exceeded", text, offset - 1);
        case Stop::number_out_of_range:
          return error_at("number out of range", text, builder.stop_offset);
        case Stop::lone_surrogate:
          return error_at(LONE_SURROGATE, text, builder.stop_offset);
        case Stop::none:
          break;
      }
      return error_at("parse stopped", text, offset);
    case rapidjson::kParseErrorDocumentRootNotSingular:
      return error_at("trailing characters", text, offset);
    case rapidjson::kParseErrorDocumentEmpty:
      return error_at(at_end ? "EOF while parsing a value" : "expected value", text, offset);
    case rapidjson::kParseErrorValueInvalid:
    case rapidjson::kParseErrorNumberMissFraction:
    case rapidjson::kParseErrorNumberMissExponent: {
      if (at_end) return error_at("EOF while parsing a value", text, offset);
      if (result.Code() != rapidjson::kParseErrorValueInvalid) return error_at("invalid number", text, offset);
      // A value never begins right after a letter or a minus: the fault lies
      // inside a literal or a number.
      const unsigned char before = offset > 0 ? byte_at(offset - 1) : 0;
      if (before == '-') return error_at("invalid number", text, offset);
      if (is_ascii_letter(before)) return error_at("invalid literal", text, offset);
      return error_at("expected value", text, offset);
    }
    case rapidjson::kParseErrorNumberTooBig:
      return error_at("number out of range", text, offset);
    case rapidjson::kParseErrorObjectMissName:
      return error_at(at_end ? "EOF while parsing an object" : "key must be a string", text, offset);
    case rapidjson::kParseErrorObjectMissColon:
      return error_at(at_end ? "EOF while parsing an object" : "expected `:`", text, offset);
    case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket:
      return error_at(at_end ? "EOF while parsing an object" : "expected `,` or `}`", text, offset);
    case rapidjson::kParseErrorArrayMissCommaOrSquareBracket:
      return error_at(at_end ? "EOF while parsing a list" : "expected `,` or `]`", text, offset);
    case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
    case rapidjson::kParseErrorStringUnicodeSurrogateInvalid:
    case rapidjson::kParseErrorStringEscapeInvalid:
    case rapidjson::kParseErrorStringMissQuotationMark:
    case rapidjson::kParseErrorStringInvalidEncoding:
      break;
    default:
      return error_at("invalid JSON", text, offset);
  }

  // Faults inside a string. The reader lets a lone low surrogate through, so
  // one earlier in the same string is the first fault.
  if (const auto lone = lone_low_surrogate(text, string_content_start(text, offset), offset))
    return error_at(LONE_SURROGATE, text, *lone);
  if (at_end) return error_at("EOF while parsing a string", text, text.size());
  switch (result.Code()) {
    case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
    case rapidjson::kParseErrorStringUnicodeSurrogateInvalid:
    case rapidjson::kParseErrorStringEscapeInvalid:
      if (byte_at(offset) == '\\') {
        if (escape_reaches_end(text, offset)) return error_at("EOF while parsing a string", text, text.size());
        return error_at(result.Code() == rapidjson::kParseErrorStringUnicodeSurrogateInvalid ? LONE_SURROGATE
                                                                                            : "invalid escape",
                        text, offset);
      }
      return error_at(CONTROL_IN_STRING, text, offset);
    case rapidjson::kParseErrorStringMissQuotationMark:
      // Not the end of the text, so the reader met a zero byte.
      return error_at(CONTROL_IN_STRING, text, offset);
    default:
      return error_at("invalid UTF-8", text, offset);
  }
}

struct TextSurvey {
  bool ascii = true;
  bool backslash = false;
};

// One pass over a text that may run to megabytes.
TextSurvey survey(std::string_view text) {
  constexpr std::uint64_t HIGHS = 0x8080808080808080ull;
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, text.data() + i, 8);
    high |= w;
  }
  for (; i < text.size(); ++i) high |= static_cast<unsigned char>(text[i]);
  return {(high & HIGHS) == 0, text.find('\\') != std::string_view::npos};
}

// True when the reader stopped at a number that a double holds.
bool refused_a_double(const rapidjson::ParseResult& result, std::string_view text) {
  if (result.Code() != rapidjson::kParseErrorNumberTooBig) return false;
  const std::size_t n = number_length(text, result.Offset());
  return n > 0 && to_double(text.substr(result.Offset(), n)).has_value();
}

// Runs the reader over `buffer`, which holds the bytes of `text` followed by
// a zero byte (and PADDING more unless the text is ASCII), and builds the
// tree into `doc`. When the reader refuses a number that a double holds, the
// result is an error and `*refused_double`, if given, is set.
std::expected<JsonDocument, ErrorText> read_tree(std::string_view text, char* buffer, TextSurvey kind,
                                                 bool in_place, JsonDocument doc,
                                                 bool* refused_double) {
  doc.storage = std::make_unique<std::pmr::monotonic_buffer_resource>(text.size() / 2 + 4096);
  TreeBuilder builder{text, buffer, doc.storage.get(), kind.backslash, in_place, {}, {}, 0, Stop::none, 0};
  builder.stack.reserve(text.size() / 64 + 64);
  rapidjson::Reader reader;
  rapidjson::InsituStringStream stream(buffer);
  constexpr unsigned FLAGS = rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag;
  // ASCII text is valid UTF-8 as it stands, and the reader's check is slow.
  const rapidjson::ParseResult result =
      kind.ascii ? reader.Parse<FLAGS>(stream, builder)
                 : reader.Parse<FLAGS | rapidjson::kParseValidateEncodingFlag>(stream, builder);
  if (result.IsError()) {
    if (refused_double && refused_a_double(result, text)) *refused_double = true;
    return std::unexpected(describe(result, builder));
  }
  // The reader ends at a zero byte as if the text ended there.
  if (stream.Tell() != text.size()) return std::unexpected(error_at("trailing characters", text, stream.Tell()));
  doc.root = builder.stack.back();
  return doc;
}

// The reader decodes strings in place, so it works on a copy that the
// document keeps; string values point into it.
std::expected<JsonDocument, ErrorText> parse_copy(std::string_view text, bool masked,
                                                  bool* refused_double) {
  JsonDocument doc;
  doc.text = std::make_unique_for_overwrite<char[]>(text.size() + PADDING);
  std::copy(text.begin(), text.end(), doc.text.get());
  std::memset(doc.text.get() + text.size(), 0, PADDING);
  char* const buffer = doc.text.get();
  if (masked) mask_numbers(text, buffer);
  return read_tree(text, buffer, survey(text), false, std::move(doc), refused_double);
}

}  // namespace

std::expected<JsonDocument, ErrorText> old_parse_json(std::string_view text) {
  bool refused_double = false;
  auto doc = parse_copy(text, false, &refused_double);
  if (refused_double) return parse_copy(text, true, nullptr);
  return doc;
}

std::expected<JsonDocument, ErrorText> old_parse_json_borrowing(std::string& text) {
  // Escapes are decoded over the text itself, the UTF-8 check may read past
  // its end, and the reader counts string lengths in 32 bits: those texts go
  // to a copy.
  const TextSurvey kind = survey(text);
  if (!kind.ascii || kind.backslash || text.size() >= 0xFFFFFFFFu) return old_parse_json(text);
  bool refused_double = false;
  auto doc = read_tree(text, text.data(), kind, true, JsonDocument{}, &refused_double);
  if (refused_double) return parse_copy(text, true, nullptr);
  return doc;
}

