// The names of everything the program keeps on disk, in one place, and the
// one rule for where the work folders lie. The three release files lie in the
// install folder; the work folders beside it, in its parent folder.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string_view>

#include "lib/error_text.hpp"

inline constexpr std::string_view MANIFEST_FILE = ".manifest.json";
inline constexpr std::string_view SIGNATURE_FILE = ".manifest.sig";
inline constexpr std::string_view VERSION_FILE = ".version";

// The new release files are written whole under these names first and then
// renamed over the three above, so that a failure never leaves them empty.
inline constexpr std::string_view NEW_MANIFEST_FILE = ".manifest.json.new";
inline constexpr std::string_view NEW_SIGNATURE_FILE = ".manifest.sig.new";
inline constexpr std::string_view NEW_VERSION_FILE = ".version.new";

inline constexpr std::string_view CACHE_DIR_NAME = ".reeftown-cache";
inline constexpr std::string_view STAGE_DIR_NAME = ".reeftown-stage";
inline constexpr std::string_view OLD_DIR_NAME = ".reeftown-old";

inline constexpr std::string_view BAD_FOLDER_TEXT = "bad folder";

struct WorkFolders {
  std::filesystem::path parent;  // may be empty: the working folder
  std::filesystem::path cache_dir;
  std::filesystem::path stage_dir;
  std::filesystem::path old_dir;
};

// The path with its last component taken away; a trailing '/' is no
// component, so "a/b/" gives "a" and a single name gives "". None for the
// empty path and for a path whose last component is the root.
std::optional<std::filesystem::path> install_parent(const std::filesystem::path& install_dir);

// The work folders, beside the install folder's real path (links resolved)
// once it exists, so that every rename of the swap stays on one file system;
// beside the path as given before that, and beside an install folder that is
// a link when the link's folder lies on the real folder's file system.
// BAD_FOLDER_TEXT when there is no parent, the real folder's included.
std::expected<WorkFolders, ErrorText> work_folders(const std::filesystem::path& install_dir);
