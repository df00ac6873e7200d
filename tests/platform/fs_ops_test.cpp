// Files made and read in work folders that another user may reach: nothing
// is written through a link, nothing waits on a FIFO.
#include "platform/fs_ops.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

TEST(CreateFreshFile, ReplacesWhatStandsThereAndNeverFollowsALink) {
  enum Planted { nothing, file, link_to_file, fifo, link_as_folder, base_is_link };
  struct Case {
    const char* name;
    Planted planted;
    bool created;
  };
  const std::vector<Case> cases = {
      {"nothing there", nothing, true},
      {"an old file", file, true},
      {"a link to a user's file", link_to_file, true},
      {"a FIFO", fifo, true},
      {"a link where a folder belongs", link_as_folder, false},
      {"the work folder itself a link", base_is_link, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path base = dir.path / "work";
    const fs::path user = dir.path / "user";
    write_file(user / "notes.txt", "mine");
    fs::create_directories(base / "Content");
    const fs::path leaf = base / "Content" / "game.pak";
    switch (c.planted) {
      case nothing: break;
      case file: write_file(leaf, "old"); break;
      case link_to_file: fs::create_symlink(user / "notes.txt", leaf); break;
      case fifo: ASSERT_EQ(::mkfifo(leaf.c_str(), 0600), 0); break;
      case link_as_folder:
        fs::remove(base / "Content");
        fs::create_directory_symlink(user, base / "Content");
        break;
      case base_is_link:
        fs::remove_all(base);
        fs::create_directory_symlink(user, base);
        break;
    }
    const auto fd = create_fresh_file(base, "Content/game.pak", 0644);
    EXPECT_EQ(fd.has_value(), c.created);
    if (fd) {
      ASSERT_EQ(::write(*fd, "new", 3), 3);
      ::close(*fd);
      EXPECT_EQ(read_file(leaf), "new");
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(leaf)));
    }
    EXPECT_EQ(read_file(user / "notes.txt"), "mine");
    EXPECT_FALSE(fs::exists(user / "game.pak"));
    EXPECT_FALSE(fs::exists(user / "Content"));
  }
}

TEST(OpenRegularFile, AnythingButARegularFileCountsAsAbsent) {
  TempDir dir;
  write_file(dir.path / "piece", "bytes");
  fs::create_symlink(dir.path / "piece", dir.path / "link");
  ASSERT_EQ(::mkfifo((dir.path / "fifo").c_str(), 0600), 0);
  fs::create_directories(dir.path / "folder");
  struct Case {
    const char* name;
    int error;  // 0: opened
  };
  const std::vector<Case> cases = {
      {"piece", 0}, {"link", ENOENT}, {"fifo", ENOENT}, {"folder", EISDIR}, {"missing", ENOENT}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto fd = open_regular_file(dir.path / c.name);
    if (c.error == 0) {
      ASSERT_TRUE(fd.has_value());
      ::close(*fd);
    } else {
      ASSERT_FALSE(fd.has_value());
      EXPECT_EQ(fd.error().value(), c.error);
    }
  }
}

TEST(FsOps, RemoveEmptyFoldersKeepsFiles) {
  TempDir dir;
  fs::create_directories(dir.path / "empty/a/b");
  EXPECT_TRUE(remove_empty_folders(dir.path / "empty"));
  struct stat info {};
  EXPECT_NE(::lstat((dir.path / "empty").c_str(), &info), 0);
  write_file(dir.path / "full/a/file", "x");
  fs::create_directories(dir.path / "full/c");
  EXPECT_FALSE(remove_empty_folders(dir.path / "full"));
  EXPECT_EQ(read_file(dir.path / "full/a/file"), "x");
}

TEST(EmptyOpenFolder, RemovesLinksAsLinksAndNamesWhatStays) {
  struct Case {
    const char* name;
    bool folders_only;
    bool file_inside;
    // Relative to the emptied folder; empty when all went.
    std::string error;
    std::vector<std::string> left;
  };
  const std::vector<Case> cases = {
      {"everything", false, true, "", {}},
      {"folders only, none holds a file", true, false, "", {}},
      {"folders only, a file keeps its folders",
       true,
       true,
       "cannot remove {}/a/b: Directory not empty",
       {"a", "a/b", "a/b/file"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path tree = dir.path / "tree";
    const fs::path outside = dir.path / "outside";
    write_file(outside / "keep.txt", "mine");
    fs::create_directories(tree / "a" / "b");
    fs::create_directories(tree / "c");
    if (c.file_inside) write_file(tree / "a" / "b" / "file", "x");
    if (!c.folders_only) {
      fs::create_directory_symlink(outside, tree / "a" / "to-folder");
      fs::create_symlink(outside / "keep.txt", tree / "to-file");
    }

    const int fd = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::optional<std::string> error = empty_open_folder(fd, tree, c.folders_only);
    ::close(fd);

    std::string expected = c.error;
    if (const auto at = expected.find("{}"); at != std::string::npos)
      expected.replace(at, 2, tree.string());
    EXPECT_EQ(error.value_or(""), expected);
    std::vector<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(tree))
      left.push_back(fs::relative(entry.path(), tree).string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, c.left);
    EXPECT_TRUE(fs::exists(outside / "keep.txt"));
  }
}

}  // namespace
