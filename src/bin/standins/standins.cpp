#include "standins.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace fs = std::filesystem;

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
