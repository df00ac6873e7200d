// Folder removal that never follows a link, and flushing a file system to
// disk: what the swap of an installation needs beyond single renames. No
// state; safe on any thread.
#pragma once

#include <filesystem>
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

// Writes everything of the file system that holds `path` to disk (syncfs).
// The error of the open or of the flush, which includes a write-back error
// of a file written earlier.
std::error_code sync_file_system(const std::filesystem::path& path);
