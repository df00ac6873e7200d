// A fresh folder two levels below the system's temporary folder, inside a
// folder of its own; both are removed with all they hold when the test is
// done.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>

struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::filesystem::path path;
};

// Writes `content` to `path`, creating its parent folders.
void write_file(const std::filesystem::path& path, std::string_view content);

// The whole content of `path`; empty when it cannot be read.
std::string read_file(const std::filesystem::path& path);

// The permission bits of the entry at `path` itself (a link is not
// followed); 0 when there is none.
unsigned permission_bits(const std::filesystem::path& path);

// Everything below `root` by its relative path: a file's content, "<folder>",
// "<link> " and the link's target, or "<other>" (never read, so a FIFO cannot
// block). A tree to compare before and after; empty when `root` is missing.
std::map<std::string, std::string> tree_listing(const std::filesystem::path& root);
