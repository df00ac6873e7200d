// Reading the command texts that the stand-ins receive, in the fixed forms
// that the setup program sends. Header only; no state.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Reads a script left to right against the fixed parts of a form.
struct Cursor {
  std::string_view rest;

  bool literal(std::string_view text) {
    if (!rest.starts_with(text)) return false;
    rest.remove_prefix(text.size());
    return true;
  }

  // Length of the single-quote character at the front: U+0027 or U+2018 to
  // U+201B, all of which PowerShell reads as a single quote; 0 for none.
  static std::size_t quote_length(std::string_view text) {
    if (text.starts_with('\'')) return 1;
    if (text.size() >= 3 && text.starts_with("\xE2\x80")) {
      const auto third = static_cast<unsigned char>(text[2]);
      if (third >= 0x98 && third <= 0x9B) return 3;
    }
    return 0;
  }

  // The content of a single-quoted string whose opening quote is already
  // read, up to and including its closing quote; a doubled quote is one.
  std::optional<std::string> quoted() {
    std::string value;
    while (!rest.empty()) {
      const std::size_t first = quote_length(rest);
      if (first == 0) {
        value += rest.front();
        rest.remove_prefix(1);
        continue;
      }
      const std::size_t second = quote_length(rest.substr(first));
      if (second == 0) {
        rest.remove_prefix(first);
        return value;
      }
      value.append(rest.substr(first, second));
      rest.remove_prefix(first + second);
    }
    return std::nullopt;
  }
};
