#include "standins.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

#include "platform/files.hpp"
#include "platform/fs_ops.hpp"
#include "platform/protected_folders.hpp"

namespace {

namespace fs = std::filesystem;

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

std::optional<ShortcutRequest> parse_one_shortcut(Cursor& in) {
  ShortcutRequest shortcut;
  if (!in.literal("$s=(New-Object -ComObject WScript.Shell).CreateShortcut("
                  "[Environment]::GetFolderPath('"))
    return std::nullopt;
  std::optional<std::string> folder = in.quoted();
  if (!folder || !in.literal(")+'\\Reef Town.lnk');$s.TargetPath='")) return std::nullopt;
  std::optional<std::string> target = in.quoted();
  if (!target || !in.literal(";$s.WorkingDirectory='")) return std::nullopt;
  std::optional<std::string> working_dir = in.quoted();
  if (!working_dir || !in.literal(";$s.IconLocation='")) return std::nullopt;
  std::optional<std::string> icon = in.quoted();
  if (!icon || !icon->ends_with(",0") || !in.literal(";$s.Save()")) return std::nullopt;
  if (*folder != "Desktop" && *folder != "Programs") return std::nullopt;
  icon->resize(icon->size() - 2);
  return ShortcutRequest{std::move(*folder), std::move(*target), std::move(*working_dir),
                         std::move(*icon)};
}

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

// ---- folder removal

std::string error_text(std::string_view what, const fs::path& path, int error) {
  return std::string(what) + " " + path.string() + ": " + std::strerror(error);
}

}  // namespace

std::optional<fs::path> home_folder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return fs::path(home);
  const passwd* entry = ::getpwuid(::getuid());
  if (entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] == '/')
    return fs::path(entry->pw_dir);
  return std::nullopt;
}

std::optional<fs::path> windows_profile_folder() {
  const char* data_home = std::getenv("XDG_DATA_HOME");
  if (data_home != nullptr && data_home[0] == '/') return fs::path(data_home) / "reeftown-windows";
  const std::optional<fs::path> home = home_folder();
  if (!home) return std::nullopt;
  return *home / ".local" / "share" / "reeftown-windows";
}

std::optional<std::vector<ShortcutRequest>> parse_shortcut_scripts(std::string_view script) {
  Cursor in{script};
  std::vector<ShortcutRequest> shortcuts;
  do {
    std::optional<ShortcutRequest> shortcut = parse_one_shortcut(in);
    if (!shortcut) return std::nullopt;
    shortcuts.push_back(std::move(*shortcut));
  } while (in.literal(";"));
  if (!in.rest.empty()) return std::nullopt;
  return shortcuts;
}

std::optional<StartProcessRequest> parse_start_process(std::string_view script) {
  Cursor in{script};
  StartProcessRequest request;
  if (!in.literal("Start-Process -FilePath '")) return std::nullopt;
  std::optional<std::string> file = in.quoted();
  if (!file || !in.literal(" -ArgumentList '")) return std::nullopt;
  do {
    std::optional<std::string> arg = in.quoted();
    if (!arg) return std::nullopt;
    request.args.push_back(std::move(*arg));
  } while (in.literal(",'"));
  if (!in.literal(" -Verb RunAs -Wait") || !in.rest.empty()) return std::nullopt;
  request.file = std::move(*file);
  return request;
}

bool is_remove_shortcuts_script(std::string_view script) {
  return script ==
         "Remove-Item -ErrorAction SilentlyContinue "
         "([Environment]::GetFolderPath('Desktop')+'\\Reef Town.lnk'),"
         "([Environment]::GetFolderPath('Programs')+'\\Reef Town.lnk')";
}

std::string shortcut_file_text(const ShortcutRequest& shortcut) {
  return "TargetPath=" + shortcut.target + "\nWorkingDirectory=" + shortcut.working_dir +
         "\nIconLocation=" + shortcut.icon + ",0\n";
}

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

std::optional<DelayedRemoval> parse_delayed_removal(std::string_view command) {
  Cursor in{command};
  if (!in.literal("timeout /t ")) return std::nullopt;
  DelayedRemoval removal;
  std::size_t digits = 0;
  while (digits < in.rest.size() && in.rest[digits] >= '0' && in.rest[digits] <= '9') {
    removal.seconds = removal.seconds * 10 + static_cast<unsigned>(in.rest[digits] - '0');
    if (++digits > 5) return std::nullopt;  // timeout accepts at most 99999
  }
  if (digits == 0) return std::nullopt;
  in.rest.remove_prefix(digits);
  if (!in.literal(" /nobreak >nul & rmdir /s /q \"")) return std::nullopt;
  if (in.rest.size() < 2 || !in.rest.ends_with('"')) return std::nullopt;
  removal.folder = in.rest.substr(0, in.rest.size() - 1);
  if (removal.folder.find('"') != std::string::npos) return std::nullopt;
  return removal;
}

std::optional<ErrorText> removal_refusal(const fs::path& folder, const std::vector<fs::path>& homes) {
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) return "The system cannot find the file specified.";
  if (!S_ISDIR(info.st_mode)) return "The directory name is invalid.";
  if (is_root_or_above_home(info, homes))
    return "Access is denied: " + folder.string() + " is the root, the home folder or above it.";
  return std::nullopt;
}

std::expected<void, ErrorText> remove_folder_tree(const fs::path& folder,
                                                  const std::vector<fs::path>& homes) {
  if (std::optional<ErrorText> refused = removal_refusal(folder, homes))
    return std::unexpected(*refused);

  // Open the last name without following a link, and judge what was opened.
  fs::path lexical = folder;
  while (!lexical.has_filename() && lexical.has_relative_path()) lexical = lexical.parent_path();
  const fs::path name = lexical.filename();
  if (name.empty() || name == "." || name == "..")
    return std::unexpected(
        "The process cannot access the file because it is being used by another process.");
  const fs::path parent = lexical.has_parent_path() ? lexical.parent_path() : fs::path(".");
  const int parent_fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent_fd < 0) return std::unexpected(error_text("cannot open", parent, errno));
  const int fd = ::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    ::close(parent_fd);
    return std::unexpected("The directory name is invalid.");
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || is_root_or_above_home(info, homes)) {
    ::close(fd);
    ::close(parent_fd);
    return std::unexpected("Access is denied.");
  }

  std::optional<ErrorText> first_error = empty_open_folder(fd, folder);
  ::close(fd);
  if (::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) != 0 && !first_error)
    first_error = error_text("cannot remove", folder, errno);
  ::close(parent_fd);
  if (first_error) return std::unexpected(*first_error);
  return {};
}
