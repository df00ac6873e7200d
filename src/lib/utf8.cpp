#include "lib/utf8.hpp"

#include <cstdint>

namespace {

// Bounds of the second byte of a sequence, by its lead byte; every later
// byte is 80..BF. This is the table of well-formed byte sequences.
struct LeadRule {
  std::size_t length;
  std::uint8_t second_lo;
  std::uint8_t second_hi;
};

LeadRule lead_rule(std::uint8_t lead) {
  if (lead < 0x80) return {1, 0, 0};
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead >= 0xE1 && lead <= 0xEC) return {3, 0x80, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xEE && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

std::size_t utf8_sequence_length(std::string_view bytes, std::size_t& maximal_subpart) {
  maximal_subpart = 0;
  if (bytes.empty()) return 0;
  const auto lead = static_cast<std::uint8_t>(bytes[0]);
  const LeadRule rule = lead_rule(lead);
  if (rule.length == 0) {
    maximal_subpart = 1;
    return 0;
  }
  if (rule.length == 1) return 1;
  std::size_t i = 1;
  for (; i < rule.length; ++i) {
    if (i >= bytes.size()) break;
    const auto b = static_cast<std::uint8_t>(bytes[i]);
    const std::uint8_t lo = i == 1 ? rule.second_lo : 0x80;
    const std::uint8_t hi = i == 1 ? rule.second_hi : 0xBF;
    if (b < lo || b > hi) break;
  }
  if (i == rule.length) return rule.length;
  maximal_subpart = i;
  return 0;
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    // Runs of ASCII are the common case in JSON and signature text.
    if (static_cast<std::uint8_t>(bytes[pos]) < 0x80) {
      ++pos;
      continue;
    }
    std::size_t bad = 0;
    const std::size_t n = utf8_sequence_length(bytes.substr(pos), bad);
    if (n == 0) return false;
    pos += n;
  }
  return true;
}

std::string display(const std::filesystem::path& path) { return utf8_lossy(path.native()); }

std::string utf8_lossy(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 16);
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t bad = 0;
    const std::size_t n = utf8_sequence_length(bytes.substr(pos), bad);
    if (n > 0) {
      out.append(bytes.substr(pos, n));
      pos += n;
    } else {
      out.append("\xEF\xBF\xBD");
      pos += bad;
    }
  }
  return out;
}
