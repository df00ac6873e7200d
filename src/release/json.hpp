// A JSON value tree for the documents the program reads ("latest.json" and
// the release information): strict RFC 8259 text, at most 127 levels of
// nesting, the later member winning when an object repeats a key. Errors
// read "{what} at line {n} column {n}". No state: safe on any thread.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <memory_resource>
#include <optional>
#include <span>
#include <string_view>

#include "lib/error_text.hpp"

enum class JsonType : std::uint8_t {
  null,
  boolean,
  unsigned_integer,  // no sign, fraction or exponent; at most 2^64 - 1
  signed_integer,    // negative, no fraction or exponent; at least -2^63
  real,              // every other number
  string,
  array,
  object,
};

struct JsonMember;

// One value. Strings and child blocks live in the JsonDocument that the value
// came from and stay valid while it does. Read the union member that `type`
// names, or use the accessors below.
struct JsonValue {
  JsonType type = JsonType::null;
  std::uint32_t size = 0;  // bytes of a string, elements of an array, members of an object
  union {
    std::uint64_t u64 = 0;
    std::int64_t i64;
    double real;
    bool boolean;
    const char* chars;           // string: `size` bytes of UTF-8, not terminated
    const JsonValue* elements;   // array
    const JsonMember* members;   // object, in text order; a key may repeat
  };
};

struct JsonMember {
  std::string_view key;
  JsonValue value;
};

// A parsed text. It owns all storage its values point into (unless it came
// from parse_json_borrowing); moving it keeps them valid.
struct JsonDocument {
  std::unique_ptr<char[]> text;  // the copy that strings point into
  std::unique_ptr<std::pmr::monotonic_buffer_resource> storage;  // child blocks
  JsonValue root;
};

std::expected<JsonDocument, ErrorText> parse_json(std::string_view text);

// The same without a copy: string values without escapes point into `text`,
// which must outlive the document unchanged. `text` is only read; it is taken
// by reference so that a temporary cannot be passed.
std::expected<JsonDocument, ErrorText> parse_json_borrowing(std::string& text);

// The value of `key` in `object`: nullptr when it is no object or has no such
// member; of repeated keys, the later one.
const JsonValue* json_member(const JsonValue& object, std::string_view key);
const JsonValue* json_member(const JsonValue* object, std::string_view key);

// The string when `value` is non-null and a JSON string.
std::optional<std::string_view> json_string(const JsonValue* value);

// The number when `value` is non-null and an unsigned integer.
std::optional<std::uint64_t> json_unsigned(const JsonValue* value);

// The elements of an array, the members of an object; empty for anything else
// (nullptr included).
std::span<const JsonValue> json_elements(const JsonValue* value);
std::span<const JsonMember> json_members(const JsonValue* value);
