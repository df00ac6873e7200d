#include "reg.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <utility>

#include "platform/whole_file.hpp"

namespace {

namespace fs = std::filesystem;

std::string escape_field(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string unescape_field(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return out;
}

std::vector<RegistryValue> read_values(const fs::path& file) {
  std::vector<RegistryValue> values;
  // A key holds a handful of values; a larger file is not ours.
  const std::optional<std::string> text = read_regular_file(file, 1 << 24);
  if (!text) return values;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    const std::size_t tab1 = line.find('\t');
    const std::size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string_view::npos) continue;
    values.push_back({unescape_field(line.substr(0, tab1)),
                      std::string(line.substr(tab1 + 1, tab2 - tab1 - 1)),
                      unescape_field(line.substr(tab2 + 1))});
  }
  return values;
}

bool same_name(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    const auto lower = [](char c) {
      return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return lower(x) == lower(y);
  });
}

constexpr std::string_view VALUES_FILE = ".values";

}  // namespace

std::expected<fs::path, ErrorText> registry_key_folder(const fs::path& profile,
                                                       std::string_view key) {
  const std::pair<std::string_view, std::string_view> roots[] = {{"HKCU", "HKEY_CURRENT_USER"},
                                                                 {"HKLM", "HKEY_LOCAL_MACHINE"},
                                                                 {"HKCR", "HKEY_CLASSES_ROOT"},
                                                                 {"HKU", "HKEY_USERS"},
                                                                 {"HKCC", "HKEY_CURRENT_CONFIG"}};
  const std::size_t first_end = key.find('\\');
  const std::string_view root = key.substr(0, first_end);
  fs::path folder = profile / "registry";
  bool root_known = false;
  for (const auto& [short_name, long_name] : roots) {
    if (same_name(root, short_name) || same_name(root, long_name)) {
      folder /= short_name;
      root_known = true;
    }
  }
  if (!root_known || first_end == std::string_view::npos)
    return std::unexpected("ERROR: Invalid key name.");
  std::string_view rest = key.substr(first_end + 1);
  for (;;) {
    const std::size_t end = rest.find('\\');
    const std::string_view part = rest.substr(0, end);
    // A leading '.' would reach outside the key or meet the values file.
    if (part.empty() || part.front() == '.' || part.find('/') != std::string_view::npos ||
        part.find('\0') != std::string_view::npos)
      return std::unexpected("ERROR: Invalid key name.");
    folder /= part;
    if (end == std::string_view::npos) return folder;
    rest.remove_prefix(end + 1);
  }
}

std::expected<void, ErrorText> registry_add(const fs::path& profile, std::string_view key,
                                            RegistryValue value) {
  const std::expected<fs::path, ErrorText> folder = registry_key_folder(profile, key);
  if (!folder) return std::unexpected(folder.error());
  if (value.type == "REG_DWORD") {
    errno = 0;
    char* end = nullptr;
    const unsigned long long number = std::strtoull(value.data.c_str(), &end, 0);
    if (value.data.empty() || value.data.front() == '-' || *end != '\0' || errno != 0 ||
        number > UINT32_MAX)
      return std::unexpected("ERROR: Invalid syntax.");
    value.data = std::to_string(number);
  } else if (value.type != "REG_SZ") {
    return std::unexpected("ERROR: Invalid syntax.");
  }

  std::error_code ec;
  fs::create_directories(*folder, ec);
  if (ec) return std::unexpected("ERROR: " + ec.message());
  std::vector<RegistryValue> values = read_values(*folder / VALUES_FILE);
  const auto same = std::ranges::find_if(
      values, [&](const RegistryValue& v) { return same_name(v.name, value.name); });
  if (same != values.end()) {
    *same = std::move(value);
  } else {
    values.push_back(std::move(value));
  }

  std::string text;
  for (const RegistryValue& v : values)
    text += escape_field(v.name) + "\t" + v.type + "\t" + escape_field(v.data) + "\n";
  const fs::path temporary = *folder / ".values.new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return std::unexpected("ERROR: cannot write " + temporary.string());
  }
  fs::rename(temporary, *folder / VALUES_FILE, ec);
  if (ec) return std::unexpected("ERROR: " + ec.message());
  return {};
}

std::expected<void, ErrorText> registry_delete(const fs::path& profile, std::string_view key) {
  const std::expected<fs::path, ErrorText> folder = registry_key_folder(profile, key);
  if (!folder) return std::unexpected(folder.error());
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(*folder, ec)))
    return std::unexpected(
        "ERROR: The system was unable to find the specified registry key or value.");
  fs::remove_all(*folder, ec);
  if (ec) return std::unexpected("ERROR: " + ec.message());
  return {};
}

std::vector<RegistryValue> registry_values(const fs::path& profile, std::string_view key) {
  const std::expected<fs::path, ErrorText> folder = registry_key_folder(profile, key);
  if (!folder) return {};
  return read_values(*folder / VALUES_FILE);
}
