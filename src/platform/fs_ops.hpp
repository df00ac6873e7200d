// Folder removal that never follows a link, and files and folders made fresh
// and owned: what the swap of an installation needs beyond single renames. No
// state; safe on any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

// Removes `path` with everything below it. A link, at the top or inside, is
// removed as a link: nothing outside the tree is touched, also when a link
// is put in place while the removal runs. True when nothing is left; what
// could not be removed stays.
bool remove_tree(const std::filesystem::path& path);

// Removes the folder `path` and the folders below it as long as they hold
// nothing but folders; never removes a file or a link. True when the folder
// is gone. A folder that holds a file is left with the file.
bool remove_empty_folders(const std::filesystem::path& path);

// "{what} {path}: {reason}", the wording of a failed call on `path`, e.g.
// "cannot remove /games/x: Permission denied".
std::string path_failure_text(std::string_view what, const std::filesystem::path& path, int error);

// Removes everything inside the folder open as `fd`, the walk under
// remove_tree: a link as a link, a subfolder opened through its parent
// without following a link, so an entry swapped for a link after it was
// listed is never entered. With `folders_only` only folders go, as in
// remove_empty_folders. `shown` is the folder's path for messages. The first
// failure as path_failure_text's "cannot list {path}: {reason}" or "cannot
// remove {path}: {reason}"; none when the folder is empty.
std::optional<std::string> empty_open_folder(int fd, const std::filesystem::path& shown,
                                             bool folders_only = false);

// Creates the file `relative` ('/'-separated) below the folder `base`, with
// the folders it needs, for writing: fresh, whatever stood at its name removed
// first, and never through a link, neither `base` itself nor a folder below
// it nor the file. For work folders that another user may have made first.
// The open descriptor, or the error.
std::expected<int, std::error_code> create_fresh_file(const std::filesystem::path& base,
                                                      std::string_view relative, mode_t mode);

// Makes the folder `path`, and any missing folder above it, unless a folder
// of this user's own already stands there: true then. False when anything
// else stands at the name: a folder that another user made (who could swap
// its files under the program), or a link. The error of a failed creation.
std::expected<bool, std::error_code> make_own_folder(const std::filesystem::path& path);

// Writes all `size` bytes of `data` to `fd`, again after an interrupted or
// short write. Zero, or the error number (EIO for a write that took nothing).
int write_all(int fd, const void* data, std::size_t size);

// `bytes` whole in a file made by create_fresh_file(`folder`, `name`, `mode`),
// then closed: nothing another user put at that name is written through. The
// error of the creation, of a write or of the close (where a delayed write
// error, a full disk on some file systems, shows up); none on success.
std::error_code write_fresh_file(const std::filesystem::path& folder, std::string_view name,
                                 std::span<const std::uint8_t> bytes, mode_t mode);

// Opens the regular file at `path` for reading without following a link at
// its last name and without waiting (a FIFO never blocks). The descriptor,
// or EISDIR for a folder and ENOENT for anything else that is not a regular
// file (a link, a FIFO): such an entry counts as absent.
std::expected<int, std::error_code> open_regular_file(const std::filesystem::path& path);
