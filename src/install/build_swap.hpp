// The last file stages of a pass: every file to update built whole in the
// stage folder and verified, then moved into the install folder by renames
// that undo themselves on failure, then the release files, then the work
// folders removed. Runs on the pass's thread; starts no threads.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "install/plan.hpp"
#include "lib/error_text.hpp"
#include "release/install_layout.hpp"
#include "release/release_info.hpp"

inline constexpr std::size_t BUILD_BUFFER_SIZE = 4194304;

// One move of the swap: `backup` is where the entry that stood at `target`
// went, none when nothing stood there.
struct FileMove {
  std::filesystem::path target;
  std::optional<std::filesystem::path> backup;
};

// Builds every file of `to_update` in folders.stage_dir from `salvaged` and
// folders.cache_dir, printing "\r  building files {}/{}   " and a final "\n".
std::expected<void, ErrorText> build_files(const WorkFolders& folders, const ReleaseInfo& target,
                                           const std::vector<std::size_t>& to_update,
                                           const SalvageMap& salvaged);

// Moves `path` (relative) out of `install_dir` into `old_dir` when something
// stands there, then `staged` in when given; every move lands in `moves`.
std::expected<void, ErrorText> place_file(const std::filesystem::path& install_dir,
                                          const std::filesystem::path& old_dir,
                                          std::vector<FileMove>& moves, std::string_view path,
                                          const std::optional<std::filesystem::path>& staged);

// The swap with its rollback: the built files in, `to_remove` out, the three
// release files written; on failure every move undone, newest first.
std::expected<void, ErrorText> swap_files(const std::filesystem::path& install_dir,
                                          const WorkFolders& folders, const ReleaseInfo& target,
                                          const std::vector<std::size_t>& to_update,
                                          const std::vector<std::string>& to_remove);

// Removes old_dir, stage_dir and cache_dir; cannot fail.
void clean_up(const WorkFolders& folders);
