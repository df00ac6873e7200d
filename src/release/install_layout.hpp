// The names of everything the program keeps on disk, in one place, and the
// one rule for where the work folders lie. The three release files lie in the
// install folder; the work folders beside it, in its parent folder.
#pragma once

#include <array>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "lib/error_text.hpp"

inline constexpr std::string_view MANIFEST_FILE = ".manifest.json";
inline constexpr std::string_view SIGNATURE_FILE = ".manifest.sig";
inline constexpr std::string_view VERSION_FILE = ".version";

// The swap writes the new release files whole under these names in the stage
// folder first and then renames them, in this order, over the three above.
// No release path holds a ':', so no game file can ever take these names.
inline constexpr std::string_view STAGED_MANIFEST_FILE = ":manifest.json";
inline constexpr std::string_view STAGED_SIGNATURE_FILE = ":manifest.sig";
inline constexpr std::string_view STAGED_VERSION_FILE = ":version";

// The three release files, and their staged copies, in the order of the swap.
inline constexpr std::array<std::string_view, 3> RELEASE_FILES = {MANIFEST_FILE, SIGNATURE_FILE,
                                                                  VERSION_FILE};
inline constexpr std::array<std::string_view, 3> STAGED_RELEASE_FILES = {
    STAGED_MANIFEST_FILE, STAGED_SIGNATURE_FILE, STAGED_VERSION_FILE};

inline constexpr std::string_view CACHE_DIR_NAME = ".reeftown-cache";
inline constexpr std::string_view STAGE_DIR_NAME = ".reeftown-stage";
inline constexpr std::string_view OLD_DIR_NAME = ".reeftown-old";

// Appended to a piece id in the cache folder for the file the piece is
// written to before its rename.
inline constexpr std::string_view PART_FILE_SUFFIX = ".part";

inline constexpr std::string_view BAD_FOLDER_TEXT = "bad folder";

struct WorkFolders {
  std::filesystem::path parent;  // may be empty: the working folder
  std::filesystem::path cache_dir;
  std::filesystem::path stage_dir;
  std::filesystem::path old_dir;
};

// The one form in which paths are compared with the folder's entries: A-Z
// folded to lower case, empty and "." components dropped, '/' between the
// rest. No other byte changes: a backslash is an ordinary name byte.
std::string scan_path_key(std::string_view path);

// True when `path`, compared as scan_path_key compares, names one of the
// three release files at the top of the install folder.
bool names_release_file(std::string_view path);

// The path as given without trailing '/' (the root stays "/"), so that lstat
// sees a link itself rather than the folder it leads to.
std::filesystem::path without_trailing_slashes(const std::filesystem::path& path);

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
