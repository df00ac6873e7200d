// What the command lines of the tool programs share: numbers read whole.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

// `text` as a number of decimal digits and nothing else, at most `most`.
inline std::optional<std::uint64_t> whole_number(std::string_view text,
                                                 std::uint64_t most = UINT64_MAX) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value > most)
    return std::nullopt;
  return value;
}
