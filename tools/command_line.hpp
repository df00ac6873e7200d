// What the command lines of the tool programs share: the option loop and
// numbers read whole.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "lib/error_text.hpp"
#include "platform/console.hpp"

// `text` as a number of decimal digits and nothing else, at most `most`.
inline std::optional<std::uint64_t> whole_number(std::string_view text,
                                                 std::uint64_t most = UINT64_MAX) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value > most)
    return std::nullopt;
  return value;
}

// How a command line read by read_options ended: every option taken, or the
// usage printed for --help (the program then ends at once, successfully).
enum class OptionsRead { taken, help };

// The message for an option the program does not know.
inline ErrorText unknown_option(std::string_view option, std::string_view usage) {
  return "unknown option " + std::string(option) + "\n" + std::string(usage);
}

// Reads argv[1..]: "--help" or "-h" prints `usage` and stops; an option named
// in `flags` stands alone; every other one takes the next argument as its
// value. `take(option, value)` takes each option (a flag with an empty value)
// and returns the error to end with, or nothing.
template <typename Take>
std::expected<OptionsRead, ErrorText> read_options(int argc, char** argv, std::string_view usage,
                                                   std::initializer_list<std::string_view> flags, Take take) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--help" || option == "-h") {
      print(usage);
      return OptionsRead::help;
    }
    std::string_view value;
    if (std::ranges::find(flags, option) == flags.end()) {
      if (i + 1 >= argc)
        return std::unexpected("unknown option or missing value: " + std::string(option) + "\n" + std::string(usage));
      value = argv[++i];
    }
    if (std::optional<ErrorText> error = take(option, value)) return std::unexpected(std::move(*error));
  }
  return OptionsRead::taken;
}
