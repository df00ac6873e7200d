// The last file stages of a pass: every file to update built whole in the
// stage folder and verified, then moved into the install folder by renames
// that undo themselves on failure, then the release files, then the work
// folders removed. Runs on the pass's thread; the build and the flush before
// the first rename of the swap have helper threads, joined before they return.
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
// A piece at least this large is written as it is, without a copy into the
// write buffer.
inline constexpr std::size_t BUILD_DIRECT_WRITE_SIZE = 65536;
static_assert(BUILD_DIRECT_WRITE_SIZE <= BUILD_BUFFER_SIZE);

// The two programs that the system itself starts: the launch file of the
// release and this one. They are built executable (0755 less the umask),
// every other file 0644 less the umask.
inline constexpr std::string_view ANTI_CHEAT_SETUP_PATH = "EasyAntiCheat/EasyAntiCheat_EOS_Setup.exe";

// True for the release path of one of those two programs, compared as the
// scan compares paths: a launch value "./ReefTown.exe" names "ReefTown.exe".
bool starts_as_program(std::string_view path, const ReleaseInfo& target);

// Makes the work folder `folder` or finds it this user's own: the I/O error
// text, or "{folder} is not a folder of your own; remove it and run setup
// again" for another user's folder or a link, whose files could be swapped
// between the build and the swap.
std::expected<void, ErrorText> make_work_folder(const std::filesystem::path& folder);

// One move of the swap: `backup` is where the entry that stood at `target`
// went, none when nothing stood there.
struct FileMove {
  std::filesystem::path target;
  std::optional<std::filesystem::path> backup;
};

// Builds every file of `to_update` in folders.stage_dir (cleared first of all
// but staged release copies) from `salvaged` and folders.cache_dir, on as
// many threads as the scan hashes with, largest file first; prints
// "\r  building files {}/{}   " for each file as the ones before it end, and a
// final "\n". The first failure ends the build with its message.
std::expected<void, ErrorText> build_files(const WorkFolders& folders, const ReleaseInfo& target,
                                           const std::vector<std::size_t>& to_update,
                                           const SalvageMap& salvaged);

// Moves `path` (relative) out of `install_dir` into `old_dir` when an entry
// stands there (a link to nothing counts), then `staged` in when given; every
// move lands in `moves`.
std::expected<void, ErrorText> place_file(const std::filesystem::path& install_dir,
                                          const std::filesystem::path& old_dir,
                                          std::vector<FileMove>& moves, std::string_view path,
                                          const std::optional<std::filesystem::path>& staged);

// The swap with its rollback: the three release files written whole as their
// staged copies in the stage folder and flushed to disk with the built files,
// then an entry of `to_remove` that stands where a folder of a built file
// must go moved out, the built files in, the rest of `to_remove` out (an
// entry that is a file just placed, or a folder holding one, stays), the
// release files renamed into place in the order manifest, signature, version;
// on failure every move undone, newest first, and the staged copies removed.
std::expected<void, ErrorText> swap_files(const std::filesystem::path& install_dir,
                                          const WorkFolders& folders, const ReleaseInfo& target,
                                          const std::vector<std::size_t>& to_update,
                                          const std::vector<std::string>& to_remove);

// Removes old_dir, stage_dir and cache_dir; cannot fail.
void clean_up(const WorkFolders& folders);

// The release that a swap stopped between the renames of its release files
// (a kill) was committing: the staged copies it had not yet renamed together
// with the files it had, when they verify and the version file agrees. None
// when no commit was under way. Changes nothing.
std::optional<ReleaseInfo> interrupted_commit(const std::filesystem::path& install_dir,
                                              std::string_view public_key_hex);

// Completes such a commit: the staged copies left in folders.stage_dir are
// renamed into place and the work folders removed, as the stopped run would
// have done. True when a commit was completed.
bool finish_interrupted_commit(const std::filesystem::path& install_dir, const WorkFolders& folders,
                               std::string_view public_key_hex);

// The installed release as a completed commit would leave it: the
// interrupted commit's release when there is one, else load_installed_release.
std::optional<ReleaseInfo> load_committed_release(const std::filesystem::path& install_dir,
                                                  std::string_view public_key_hex);
