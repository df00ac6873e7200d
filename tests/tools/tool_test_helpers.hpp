// Helpers shared by the tests of the publisher and of the static server.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/fetch.hpp"
#include "support/sha256.hpp"

// Bytes that do not compress away, the same for the same seed.
inline std::string noise(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    c = static_cast<char>(x);
  }
  return out;
}

// Requests below "c/" in a server's log: the pieces asked for.
inline std::uint64_t piece_requests(const std::vector<std::string>& paths) {
  return static_cast<std::uint64_t>(
      std::count_if(paths.begin(), paths.end(), [](const std::string& path) { return path.starts_with("c/"); }));
}
