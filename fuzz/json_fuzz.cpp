// libFuzzer target for the JSON reader. On every input: a copied and a
// borrowed text give the same outcome and the borrowed text comes back
// unchanged; an error names a place inside the text; a tree written back out
// as JSON reads in again as the same tree.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "release/json.hpp"

namespace {

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "json_fuzz: %s\n", what);
  std::abort();
}

void write_string(std::string_view s, std::string& out) {
  out += '"';
  for (const char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  out += '"';
}

// JSON text for `v` that reads back as the same value, number class included.
void write(const JsonValue& v, std::string& out) {
  switch (v.type) {
    case JsonType::null:
      out += "null";
      break;
    case JsonType::boolean:
      out += v.boolean ? "true" : "false";
      break;
    case JsonType::unsigned_integer:
      out += std::to_string(v.u64);
      break;
    case JsonType::signed_integer:
      out += std::to_string(v.i64);
      break;
    case JsonType::real: {
      char number[40];
      std::snprintf(number, sizeof number, "%.17g", v.real);
      out += number;
      if (!std::strpbrk(number, ".e")) out += ".0";  // else it would read back as an integer
      break;
    }
    case JsonType::string:
      write_string({v.chars, v.size}, out);
      break;
    case JsonType::array:
      out += '[';
      for (const JsonValue& e : json_elements(&v)) write(e, out), out += ',';
      if (out.back() == ',') out.back() = ']';
      else out += ']';
      break;
    case JsonType::object:
      out += '{';
      for (const JsonMember& m : json_members(&v)) {
        write_string(m.key, out);
        out += ':';
        write(m.value, out);
        out += ',';
      }
      if (out.back() == ',') out.back() = '}';
      else out += '}';
      break;
  }
}

std::string outcome(const std::expected<JsonDocument, ErrorText>& doc) {
  if (!doc) return "error " + doc.error();
  std::string out = "tree ";
  write(doc->root, out);
  return out;
}

// The error's line and column lie inside `text`.
void check_position(const ErrorText& error, std::string_view text) {
  const std::size_t at = error.rfind(" at line ");
  unsigned long line = 0;
  unsigned long column = 0;
  check(at != std::string::npos && std::sscanf(error.c_str() + at, " at line %lu column %lu", &line, &column) == 2,
        "error without a position");
  std::size_t start = 0;
  for (unsigned long l = 1; l < line; ++l) {
    start = text.find('\n', start);
    check(start != std::string_view::npos, "error line past the text");
    ++start;
  }
  const std::size_t line_end = std::min(text.find('\n', start), text.size());
  check(column <= line_end - start + (line_end < text.size() ? 1 : 0), "error column past its line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto copied = parse_json(text);
  std::string borrowed_text(text);
  const std::string copied_outcome = outcome(copied);
  check(outcome(parse_json_borrowing(borrowed_text)) == copied_outcome, "borrowed and copied differ");
  check(borrowed_text == text, "borrowed text changed");
  if (!copied) {
    check_position(copied.error(), text);
    return 0;
  }
  const std::string written = copied_outcome.substr(5);
  check(outcome(parse_json(written)) == copied_outcome, "tree written out reads back differently");
  return 0;
}
