#include "standins.hpp"

#include <cstdlib>

#include "platform/protected_folders.hpp"

namespace fs = std::filesystem;

std::optional<fs::path> windows_profile_folder() {
  const char* data_home = std::getenv("XDG_DATA_HOME");
  if (data_home != nullptr && data_home[0] == '/') return fs::path(data_home) / "reeftown-windows";
  // The home folder: $HOME when absolute, else the user database's entry.
  std::optional<fs::path> home;
  if (const char* value = std::getenv("HOME"); value != nullptr && value[0] == '/')
    home = fs::path(value);
  else
    home = password_database_home();
  if (!home) return std::nullopt;
  return *home / ".local" / "share" / "reeftown-windows";
}
