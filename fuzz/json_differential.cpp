// libFuzzer target: the old and the new JSON reader must give the same tree
// or the same error text, for a copied and for a borrowed text alike, and a
// borrowed text must come back unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "release/json.hpp"

std::expected<JsonDocument, ErrorText> old_parse_json(std::string_view text);
std::expected<JsonDocument, ErrorText> old_parse_json_borrowing(std::string& text);

namespace {

// Every detail of a value: its class, a double's bits, a string's bytes.
void render(const JsonValue& v, std::string& out) {
  out += std::to_string(static_cast<int>(v.type));
  switch (v.type) {
    case JsonType::null:
      break;
    case JsonType::boolean:
      out += v.boolean ? 't' : 'f';
      break;
    case JsonType::unsigned_integer:
    case JsonType::signed_integer:
    case JsonType::real: {
      std::uint64_t bits = 0;
      std::memcpy(&bits, &v.u64, sizeof bits);
      out += std::to_string(bits);
      break;
    }
    case JsonType::string:
      out += std::to_string(v.size) + ':';
      out.append(v.chars, v.size);
      break;
    case JsonType::array:
      out += '[';
      for (const JsonValue& e : json_elements(&v)) render(e, out), out += ',';
      out += ']';
      break;
    case JsonType::object:
      out += '{';
      for (const JsonMember& m : json_members(&v)) {
        out += std::to_string(m.key.size()) + ':';
        out += m.key;
        render(m.value, out);
        out += ',';
      }
      out += '}';
      break;
  }
}

std::string outcome(const std::expected<JsonDocument, ErrorText>& doc) {
  if (!doc) return "error " + doc.error();
  std::string out = "tree ";
  render(doc->root, out);
  return out;
}

// Byte offset that "... at line L column C" names in `text`.
std::size_t error_offset(const std::string& outcome, std::string_view text) {
  unsigned long line = 0;
  unsigned long column = 0;
  const std::size_t at = outcome.rfind(" at line ");
  if (at == std::string::npos || std::sscanf(outcome.c_str() + at, " at line %lu column %lu", &line, &column) != 2)
    std::abort();
  std::size_t offset = 0;
  for (unsigned long l = 1; l < line; ++l) offset = text.find('\n', offset) + 1;
  return offset + (column > 0 ? column - 1 : 0);
}

// Bytes of the longest JSON number at the start of `text`.
std::size_t number_length(std::string_view text) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i > from;
  };
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '0') ++i;
  else if (!digits()) return 0;
  if (i < text.size() && text[i] == '.' && (++i, !digits())) return 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (!digits()) return 0;
  }
  return i;
}

// Differences already looked at, where the old reader was wrong: the class
// name, or nullptr for a new one.
const char* known_difference(const std::string& old_result, const std::string& new_result, std::string_view text) {
  // The old reader refused a number that a double holds (0e400, say) and,
  // when a fault followed it, reported the number instead of that fault.
  if (old_result.starts_with("error number out of range") && new_result.starts_with("error ") &&
      !new_result.starts_with("error number out of range")) {
    const std::size_t at = error_offset(old_result, text);
    const std::size_t end = at + number_length(text.substr(at));
    if (end > at && parse_json(text.substr(at, end - at)) && error_offset(new_result, text) >= end) return "representable number before a fault";
  }
  // It refused more than 308 digits before the point as too large even when
  // what followed them made the number malformed.
  if (old_result.starts_with("error number out of range") &&
      (new_result.starts_with("error invalid number") || new_result.starts_with("error EOF while parsing a value"))) {
    const std::size_t at = error_offset(old_result, text);
    std::size_t end = at + (at < text.size() && text[at] == '-');
    const std::size_t first_digit = end;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end - first_digit > 308 && error_offset(new_result, text) >= end) return "malformed number after 309 digits";
  }
  return nullptr;
}

struct Counts {
  unsigned long inputs = 0;
  std::map<std::string, unsigned long> known;  // inputs per class
  const char* input_known = nullptr;
  ~Counts() {
    std::fprintf(stderr, "differential: %lu inputs", inputs);
    for (const auto& [name, n] : known) std::fprintf(stderr, ", %lu %s", n, name.c_str());
    std::fprintf(stderr, "\n");
  }
};
Counts counts;

void expect_same(const char* what, const std::string& old_result, const std::string& new_result,
                 std::string_view text) {
  if (old_result == new_result) return;
  if (const char* known = known_difference(old_result, new_result, text)) {
    counts.input_known = known;
    return;
  }
  std::fprintf(stderr, "%s differ on %zu bytes\n  old: %s\n  new: %s\n", what, text.size(), old_result.c_str(),
               new_result.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ++counts.inputs;
  const std::string old_copied = outcome(old_parse_json(text));
  const std::string new_copied = outcome(parse_json(text));
  expect_same("copied", old_copied, new_copied, text);

  std::string old_text(text);
  const std::string old_borrowed = outcome(old_parse_json_borrowing(old_text));
  std::string new_text(text);
  const std::string new_borrowed = outcome(parse_json_borrowing(new_text));
  expect_same("borrowed", old_borrowed, new_borrowed, text);
  expect_same("borrowed against copied", new_copied, new_borrowed, text);
  if (old_text != text || new_text != text) std::abort();
  if (counts.input_known) ++counts.known[counts.input_known];
  counts.input_known = nullptr;
  return 0;
}
