#include "release/install_layout.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

TEST(InstallLayout, ParentOfInstallFolder) {
  struct Case {
    std::string dir;
    std::optional<std::string> parent;
  };
  const std::vector<Case> cases = {
      {"a/b", "a"},       {"a/b/", "a"},      {"a/b//", "a"},   {"a//b", "a"},
      {"/a/b/c", "/a/b"}, {"/a", "/"},        {"/a/", "/"},     {"//a", "/"},
      {"a", ""},          {"a/", ""},         {".", ""},        {"..", ""},
      {"a/..", "a"},      {"/", std::nullopt}, {"//", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("dir \"" + c.dir + "\"");
    const std::optional<fs::path> parent = install_parent(c.dir);
    ASSERT_EQ(parent.has_value(), c.parent.has_value());
    if (parent) {
      EXPECT_EQ(parent->native(), *c.parent);
    }
  }
}

TEST(InstallLayout, WorkFoldersLieBesideTheRealFolder) {
  TempDir tmp;
  const fs::path disk = tmp.path / "disk";
  const fs::path home = tmp.path / "home";
  fs::create_directories(disk / "Reef Town");
  fs::create_directories(home);
  fs::create_symlink(disk / "Reef Town", home / "Reef Town");

  // Through a link on the same file system: beside the link, in the user's
  // own folder, also when a trailing '/' would lead through it. (A link to
  // another file system: Pass.SymlinkedInstallFolder.)
  for (const fs::path& link : {home / "Reef Town", fs::path((home / "Reef Town").string() + "/")}) {
    SCOPED_TRACE(link.string());
    auto linked = work_folders(link);
    ASSERT_TRUE(linked.has_value()) << linked.error();
    EXPECT_EQ(linked->parent, home);
    EXPECT_EQ(linked->cache_dir, home / ".reeftown-cache");
    EXPECT_EQ(linked->stage_dir, home / ".reeftown-stage");
    EXPECT_EQ(linked->old_dir, home / ".reeftown-old");
  }

  // Below a linked folder: beside the real folder.
  fs::create_symlink(disk, home / "Games");
  auto below = work_folders(home / "Games" / "Reef Town");
  ASSERT_TRUE(below.has_value()) << below.error();
  EXPECT_EQ(below->parent, fs::canonical(disk));

  // Not there yet: beside the path as given.
  auto absent = work_folders(home / "New" / "Reef Town/");
  ASSERT_TRUE(absent.has_value()) << absent.error();
  EXPECT_EQ(absent->parent, home / "New");
  EXPECT_EQ(absent->cache_dir, home / "New" / ".reeftown-cache");

  // A bare name: relative to the working folder.
  auto bare = work_folders("no-such-folder-here");
  ASSERT_TRUE(bare.has_value()) << bare.error();
  EXPECT_EQ(bare->cache_dir, fs::path(".reeftown-cache"));

  for (const char* bad : {"", "/", "//"}) {
    auto none = work_folders(bad);
    ASSERT_FALSE(none.has_value()) << bad;
    EXPECT_EQ(none.error(), "bad folder");
  }
  // A link to the root has no parent once it is resolved.
  fs::create_symlink("/", home / "root-link");
  auto root = work_folders(home / "root-link");
  ASSERT_FALSE(root.has_value());
  EXPECT_EQ(root.error(), "bad folder");
}

}  // namespace
