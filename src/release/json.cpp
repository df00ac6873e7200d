#include "release/json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

// Levels of arrays and objects that may nest; opening one more is an error.
constexpr std::size_t MAX_DEPTH = 127;

constexpr std::string_view EOF_IN_VALUE = "EOF while parsing a value";
constexpr std::string_view EOF_IN_STRING = "EOF while parsing a string";
constexpr std::string_view EOF_IN_LIST = "EOF while parsing a list";
constexpr std::string_view EOF_IN_OBJECT = "EOF while parsing an object";
constexpr std::string_view CONTROL_IN_STRING =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view LONE_SURROGATE = "lone surrogate in hex escape";
constexpr std::string_view INVALID_ESCAPE = "invalid escape";
constexpr std::string_view INVALID_NUMBER = "invalid number";

// Bytes that stand for themselves inside a string.
constexpr std::array<bool, 256> PLAIN_IN_STRING = [] {
  std::array<bool, 256> plain{};
  for (unsigned c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_blank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Bytes of the valid UTF-8 sequence at `p` (a byte above 127), 0 for none.
std::size_t utf8_length(const char* p, const char* end) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(p[i]); };
  const unsigned lead = byte(0);
  std::size_t n = 0;
  unsigned low = 0x80;  // range of the second byte, narrowed against
  unsigned high = 0xBF;  // overlong forms, surrogates and code points above U+10FFFF
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(end - p) < n || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < n; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return n;
}

void append_utf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

constexpr int HEX_INVALID = -1;  // a byte that is no hex digit comes first
constexpr int HEX_CUT_OFF = -2;  // the text ends first

// The four hex digits at `p`.
int hex4(const char* p, const char* end) {
  int value = 0;
  for (int i = 0; i < 4; ++i, ++p) {
    if (p == end) return HEX_CUT_OFF;
    const char c = *p;
    const int digit = is_digit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
    if (digit < 0) return HEX_INVALID;
    value = value * 16 + digit;
  }
  return value;
}

bool is_high_surrogate(int cp) { return cp >= 0xD800 && cp <= 0xDBFF; }
bool is_low_surrogate(int cp) { return cp >= 0xDC00 && cp <= 0xDFFF; }

// On overflow and underflow alike from_chars leaves no value. A number whose
// first significant digit, once the exponent has moved it, stands after the
// point has underflowed.
bool underflows(std::string_view number) {
  const std::size_t e = std::min(number.find_first_of("eE"), number.size());
  long long exponent = 0;
  for (std::size_t i = e + 1; i < number.size(); ++i)
    if (is_digit(number[i]) && exponent < 1'000'000'000) exponent = exponent * 10 + (number[i] - '0');
  if (e + 1 < number.size() && number[e + 1] == '-') exponent = -exponent;
  const std::string_view significand = number.substr(0, e);
  const std::size_t first = significand.find_first_of("123456789");
  if (first == std::string_view::npos) return true;
  const std::size_t point = std::min(significand.find('.'), significand.size());
  const long long magnitude = static_cast<long long>(point) - static_cast<long long>(first) - (first < point ? 1 : 0);
  return magnitude + exponent < 0;
}

// One pass over the text, recursive descent. Values wait on `stack` until
// their container closes, then move as one block into the document's
// storage, so every container's children lie side by side.
struct Reader {
  const char* begin;
  const char* end;
  const char* p;
  std::pmr::memory_resource* storage;
  std::vector<JsonValue> stack;
  std::string decoded;  // the string being read, once it has an escape
  std::string_view fault;
  const char* fault_at = nullptr;

  bool fail(std::string_view what, const char* at) {
    fault = what;
    fault_at = at;
    return false;
  }

  void skip_blanks() {
    while (p != end && is_blank(*p)) ++p;
  }

  // `open`: containers open around this value.
  bool value(std::size_t open) {
    if (p == end) return fail(EOF_IN_VALUE, p);
    switch (*p) {
      case '"':
        return string();
      case '[':
        return array(open);
      case '{':
        return object(open);
      case 'n':
        return literal("null", JsonValue{});
      case 't':
        return literal("true", boolean(true));
      case 'f':
        return literal("false", boolean(false));
      default:
        if (*p == '-' || is_digit(*p)) return number();
        return fail("expected value", p);
    }
  }

  static JsonValue boolean(bool b) {
    JsonValue v{JsonType::boolean, 0, {}};
    v.boolean = b;
    return v;
  }

  bool literal(std::string_view word, const JsonValue& v) {
    for (const char c : word) {
      if (p == end) return fail(EOF_IN_VALUE, p);
      if (*p != c) return fail("invalid literal", p);
      ++p;
    }
    stack.push_back(v);
    return true;
  }

  // One or more digits, as a fraction and an exponent need them.
  bool digits() {
    if (p == end) return fail(EOF_IN_VALUE, p);
    if (!is_digit(*p)) return fail(INVALID_NUMBER, p);
    while (p != end && is_digit(*p)) ++p;
    return true;
  }

  bool number() {
    const char* const start = p;
    const bool negative = *p == '-';
    if (negative) ++p;
    if (p != end && *p == '0') {
      ++p;
    } else if (!digits()) {
      return false;
    }
    bool integral = true;
    if (p != end && *p == '.') {
      integral = false;
      ++p;
      if (!digits()) return false;
    }
    if (p != end && (*p == 'e' || *p == 'E')) {
      integral = false;
      ++p;
      if (p != end && (*p == '+' || *p == '-')) ++p;
      if (!digits()) return false;
    }
    JsonValue v;
    if (integral && !negative && std::from_chars(start, p, v.u64).ec == std::errc()) {
      v.type = JsonType::unsigned_integer;
      stack.push_back(v);
      return true;
    }
    // "-0" is not negative: it stays a double, sign included.
    if (integral && negative && std::from_chars(start, p, v.i64).ec == std::errc() && v.i64 != 0) {
      v.type = JsonType::signed_integer;
      stack.push_back(v);
      return true;
    }
    v.type = JsonType::real;
    const auto [last, ec] = std::from_chars(start, p, v.real);
    if (ec == std::errc::result_out_of_range && underflows({start, static_cast<std::size_t>(p - start)})) {
      v.real = negative ? -0.0 : 0.0;
    } else if (ec != std::errc() || last != p) {
      return fail("number out of range", start);
    }
    stack.push_back(v);
    return true;
  }

  // The escape at `p` (its backslash), decoded onto `decoded`. A surrogate
  // pair counts as one escape; a fault anywhere in it is reported at its start.
  bool escape() {
    const char* const at = p;
    if (end - at < 2) return fail(EOF_IN_STRING, end);
    char simple = 0;
    switch (at[1]) {
      case '"': simple = '"'; break;
      case '\\': simple = '\\'; break;
      case '/': simple = '/'; break;
      case 'b': simple = '\b'; break;
      case 'f': simple = '\f'; break;
      case 'n': simple = '\n'; break;
      case 'r': simple = '\r'; break;
      case 't': simple = '\t'; break;
      case 'u': break;
      default: return fail(INVALID_ESCAPE, at);
    }
    if (simple != 0) {
      decoded += simple;
      p = at + 2;
      return true;
    }
    int cp = hex4(at + 2, end);
    if (cp == HEX_CUT_OFF) return fail(EOF_IN_STRING, end);
    if (cp == HEX_INVALID) return fail(INVALID_ESCAPE, at);
    if (is_low_surrogate(cp)) return fail(LONE_SURROGATE, at);
    p = at + 6;
    if (is_high_surrogate(cp)) {
      if (end - at < 7) return fail(EOF_IN_STRING, end);
      if (at[6] != '\\') return fail(LONE_SURROGATE, at);
      if (end - at < 8) return fail(EOF_IN_STRING, end);
      if (at[7] != 'u') return fail(LONE_SURROGATE, at);
      const int low = hex4(at + 8, end);
      if (low == HEX_CUT_OFF) return fail(EOF_IN_STRING, end);
      if (low == HEX_INVALID) return fail(INVALID_ESCAPE, at);
      if (!is_low_surrogate(low)) return fail(LONE_SURROGATE, at);
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      p = at + 12;
    }
    append_utf8(decoded, static_cast<unsigned>(cp));
    return true;
  }

  // A string without escapes points into the text; one with escapes is
  // decoded into the document's storage.
  bool string() {
    const char* const content = ++p;
    const char* run = content;  // bytes since the last escape, not yet in `decoded`
    bool escaped = false;
    for (;;) {
      while (p != end && PLAIN_IN_STRING[static_cast<unsigned char>(*p)]) ++p;
      if (p == end) return fail(EOF_IN_STRING, p);
      const unsigned char c = static_cast<unsigned char>(*p);
      if (c == '"') break;
      if (c == '\\') {
        if (!escaped) decoded.clear();
        escaped = true;
        decoded.append(run, p);
        if (!escape()) return false;
        run = p;
      } else if (c < 0x20) {
        return fail(CONTROL_IN_STRING, p);
      } else {
        const std::size_t n = utf8_length(p, end);
        if (n == 0) return fail("invalid UTF-8", p);
        p += n;
      }
    }
    const char* chars = content;
    std::size_t size = static_cast<std::size_t>(p - content);
    if (escaped) {
      decoded.append(run, p);
      size = decoded.size();
      char* copy = static_cast<char*>(storage->allocate(size, 1));
      std::memcpy(copy, decoded.data(), size);
      chars = copy;
    }
    if (size > std::numeric_limits<std::uint32_t>::max()) return fail("string too long", content - 1);
    ++p;
    JsonValue v{JsonType::string, static_cast<std::uint32_t>(size), {}};
    v.chars = chars;
    stack.push_back(v);
    return true;
  }

  bool array(std::size_t open) {
    if (open == MAX_DEPTH) return fail("recursion limit exceeded", p);
    ++p;
    const std::size_t first = stack.size();
    skip_blanks();
    if (p != end && *p == ']') {
      ++p;
    } else {
      for (;;) {
        if (!value(open + 1)) return false;
        skip_blanks();
        if (p == end) return fail(EOF_IN_LIST, p);
        if (*p == ']') {
          ++p;
          break;
        }
        if (*p != ',') return fail("expected `,` or `]`", p);
        ++p;
        skip_blanks();
      }
    }
    const std::size_t n = stack.size() - first;
    JsonValue v{JsonType::array, static_cast<std::uint32_t>(n), {}};
    v.elements = nullptr;
    if (n > 0) {
      auto* block = static_cast<JsonValue*>(storage->allocate(n * sizeof(JsonValue), alignof(JsonValue)));
      std::uninitialized_copy(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end(), block);
      v.elements = block;
    }
    stack.resize(first);
    stack.push_back(v);
    return true;
  }

  bool object(std::size_t open) {
    if (open == MAX_DEPTH) return fail("recursion limit exceeded", p);
    ++p;
    const std::size_t first = stack.size();  // keys and values in turn
    skip_blanks();
    if (p != end && *p == '}') {
      ++p;
    } else {
      for (;;) {
        if (p == end) return fail(EOF_IN_OBJECT, p);
        if (*p != '"') return fail("key must be a string", p);
        if (!string()) return false;
        skip_blanks();
        if (p == end) return fail(EOF_IN_OBJECT, p);
        if (*p != ':') return fail("expected `:`", p);
        ++p;
        skip_blanks();
        if (!value(open + 1)) return false;
        skip_blanks();
        if (p == end) return fail(EOF_IN_OBJECT, p);
        if (*p == '}') {
          ++p;
          break;
        }
        if (*p != ',') return fail("expected `,` or `}`", p);
        ++p;
        skip_blanks();
      }
    }
    const std::size_t n = (stack.size() - first) / 2;
    JsonValue v{JsonType::object, static_cast<std::uint32_t>(n), {}};
    v.members = nullptr;
    if (n > 0) {
      auto* block = static_cast<JsonMember*>(storage->allocate(n * sizeof(JsonMember), alignof(JsonMember)));
      for (std::size_t k = 0; k < n; ++k) {
        const JsonValue& key = stack[first + 2 * k];
        ::new (static_cast<void*>(block + k)) JsonMember{{key.chars, key.size}, stack[first + 2 * k + 1]};
      }
      v.members = block;
    }
    stack.resize(first);
    stack.push_back(v);
    return true;
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

// Reads `text`, which must outlive `doc` unchanged: strings without escapes
// point into it.
std::expected<JsonDocument, ErrorText> read_document(std::string_view text, JsonDocument doc) {
  doc.storage = std::make_unique<std::pmr::monotonic_buffer_resource>(text.size() / 2 + 4096);
  Reader reader{text.data(), text.data() + text.size(), text.data(), doc.storage.get(), {}, {}, {}, nullptr};
  reader.stack.reserve(text.size() / 64 + 64);
  reader.skip_blanks();
  bool ok = reader.value(0);
  if (ok) {
    reader.skip_blanks();
    if (reader.p != reader.end) ok = reader.fail("trailing characters", reader.p);
  }
  if (!ok) return std::unexpected(error_at(reader.fault, text, static_cast<std::size_t>(reader.fault_at - reader.begin)));
  doc.root = reader.stack.back();
  return doc;
}

}  // namespace

std::expected<JsonDocument, ErrorText> parse_json(std::string_view text) {
  JsonDocument doc;
  doc.text = std::make_unique_for_overwrite<char[]>(text.size());
  if (!text.empty()) std::memcpy(doc.text.get(), text.data(), text.size());
  const std::string_view copy(doc.text.get(), text.size());
  return read_document(copy, std::move(doc));
}

std::expected<JsonDocument, ErrorText> parse_json_borrowing(std::string& text) {
  return read_document(text, JsonDocument{});
}

const JsonValue* json_member(const JsonValue& object, std::string_view key) {
  if (object.type != JsonType::object) return nullptr;
  for (std::size_t i = object.size; i-- > 0;)
    if (object.members[i].key == key) return &object.members[i].value;
  return nullptr;
}

const JsonValue* json_member(const JsonValue* object, std::string_view key) {
  return object ? json_member(*object, key) : nullptr;
}

std::optional<std::string_view> json_string(const JsonValue* value) {
  if (!value || value->type != JsonType::string) return std::nullopt;
  return std::string_view(value->chars, value->size);
}

std::optional<std::uint64_t> json_unsigned(const JsonValue* value) {
  if (!value || value->type != JsonType::unsigned_integer) return std::nullopt;
  return value->u64;
}

std::span<const JsonValue> json_elements(const JsonValue* value) {
  if (!value || value->type != JsonType::array || value->size == 0) return {};
  return {value->elements, value->size};
}

std::span<const JsonMember> json_members(const JsonValue* value) {
  if (!value || value->type != JsonType::object || value->size == 0) return {};
  return {value->members, value->size};
}
