#include "platform/protected_folders.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

std::optional<std::filesystem::path> password_database_home() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  for (;;) {
    passwd entry {};
    passwd* found = nullptr;
    const int error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/')
      return std::nullopt;
    return std::filesystem::path(found->pw_dir);
  }
}

std::vector<std::filesystem::path> home_folders(std::optional<std::filesystem::path> (*password_home)()) {
  std::vector<std::filesystem::path> homes;
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') homes.emplace_back(home);
  if (std::optional<std::filesystem::path> entry = password_home()) homes.push_back(std::move(*entry));
  return homes;
}

bool is_root_or_above_home(const struct stat& info, const std::vector<std::filesystem::path>& homes) {
  const auto same = [&](const std::filesystem::path& path) {
    struct stat other {};
    return ::stat(path.c_str(), &other) == 0 && other.st_dev == info.st_dev &&
           other.st_ino == info.st_ino;
  };
  if (same("/")) return true;
  for (const std::filesystem::path& home : homes) {
    // Upwards by "..", which the system resolves as it really lies; the root
    // is its own parent, so the walk ends there at the latest.
    std::string step = home.native();
    struct stat previous {};
    for (int depth = 0; depth < 4096; ++depth) {
      struct stat here {};
      if (::stat(step.c_str(), &here) != 0) break;
      if (here.st_dev == info.st_dev && here.st_ino == info.st_ino) return true;
      if (depth > 0 && here.st_dev == previous.st_dev && here.st_ino == previous.st_ino) break;
      previous = here;
      step += "/..";
    }
  }
  return false;
}
