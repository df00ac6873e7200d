// The "cmd" stand-in: the delayed removal of a folder that the uninstall asks
// for, with the guard that keeps the root and home folders out of reach. No
// state.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/error_text.hpp"

struct DelayedRemoval {
  unsigned seconds = 0;
  std::string folder;
};

// "timeout /t N /nobreak >nul & rmdir /s /q \"DIR\"".
std::optional<DelayedRemoval> parse_delayed_removal(std::string_view command);

// Why `folder` must not be removed: it is no folder by lstat, or it is the
// root, one of `homes` or a folder above one (is_root_or_above_home). None
// when it may be removed.
std::optional<ErrorText> removal_refusal(const std::filesystem::path& folder,
                                         const std::vector<std::filesystem::path>& homes);

// Removes `folder` with everything in it, never following a link, after the
// checks of removal_refusal.
std::expected<void, ErrorText> remove_folder_tree(const std::filesystem::path& folder,
                                                  const std::vector<std::filesystem::path>& homes);
