// The folders that nothing of ours may ever remove: the root, the user's home
// folders and every folder above one. The setup program and the "cmd"
// stand-in judge a folder by the same rule. No state; safe on any thread.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <vector>

// The home folder that the password database gives the real user id
// (getpwuid_r); none when it has no absolute one.
std::optional<std::filesystem::path> password_database_home();

// The home folders: $HOME when it is absolute, and the password database's
// entry, which still names the home when HOME is unset or points elsewhere.
// `password_home` is a seam for tests; the default is the real lookup.
std::vector<std::filesystem::path> home_folders(
    std::optional<std::filesystem::path> (*password_home)() = password_database_home);

// True when `info` (a stat result) is the root, one of `homes` or a folder
// above one, compared by device and inode, so that no spelling of a path
// ("/.", "home/..", a link) slips through.
bool is_root_or_above_home(const struct stat& info, const std::vector<std::filesystem::path>& homes);
