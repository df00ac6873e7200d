// The folders that the uninstall and the "cmd" stand-in never remove.
#include "platform/protected_folders.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

// The password database's answer, as a test chooses it.
std::optional<fs::path> g_password_home;
std::optional<fs::path> fake_password_home() { return g_password_home; }

bool refused(const fs::path& folder, const std::vector<fs::path>& homes) {
  struct stat info {};
  return ::stat(folder.c_str(), &info) == 0 && is_root_or_above_home(info, homes);
}

// With HOME unset the password database still names the home folder.
TEST(ProtectedFolders, HomeFromThePasswordDatabaseWhenHomeIsUnset) {
  TempDir dir;
  const fs::path home = dir.path / "users" / "reef";
  fs::create_directories(home / "Games" / "Reef Town");
  fs::create_directory_symlink(home, dir.path / "home-link");
  g_password_home = home;
  ScopedEnv keep("HOME", "/");
  ::unsetenv("HOME");
  const std::vector<fs::path> homes = home_folders(fake_password_home);
  ASSERT_EQ(homes, std::vector<fs::path>{home});

  struct Case {
    fs::path folder;
    bool refused;
  };
  const std::vector<Case> cases = {
      {home, true},
      {home / ".", true},
      {home / "Games" / "..", true},
      {dir.path / "home-link", true},
      {dir.path / "users", true},
      {dir.path, true},
      {"/", true},
      {home / "Games", false},
      {home / "Games" / "Reef Town", false},
  };
  for (const Case& c : cases) EXPECT_EQ(refused(c.folder, homes), c.refused) << c.folder;
}

TEST(ProtectedFolders, BothHomesCount) {
  TempDir dir;
  fs::create_directories(dir.path / "env-home");
  fs::create_directories(dir.path / "db-home");
  g_password_home = dir.path / "db-home";
  ScopedEnv home("HOME", (dir.path / "env-home").string());
  const std::vector<fs::path> homes = home_folders(fake_password_home);
  EXPECT_TRUE(refused(dir.path / "env-home", homes));
  EXPECT_TRUE(refused(dir.path / "db-home", homes));
  // A relative HOME names no folder for sure.
  ScopedEnv relative("HOME", "relative");
  EXPECT_EQ(home_folders(fake_password_home), std::vector<fs::path>{dir.path / "db-home"});
}

}  // namespace
