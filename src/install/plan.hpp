// Salvage and the update plan: where the bytes of pieces already lie on disk,
// which files of the target release must be built, which installed paths must
// go and which pieces must be fetched. Runs on the pass's thread; reads the
// installed files that are not intact (and those whose listed piece lengths
// cannot be right), prints nothing and cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "install/scan.hpp"
#include "release/release_info.hpp"

// Where the bytes of one piece lie: `offset` bytes into `file`, which is the
// install folder joined with the path of a file of the installed release.
struct PieceLocation {
  std::filesystem::path file;
  std::uint64_t offset = 0;
};

// Piece id to its first location found on disk.
using SalvageMap = std::unordered_map<std::string, PieceLocation>;

struct UpdatePlan {
  SalvageMap salvaged;
  // Positions in the target release's files, ascending; each path once.
  std::vector<std::size_t> to_update;
  // Relative paths to move out of the install folder, as raw name bytes: the
  // installed release's paths, then the scan's extras (not lossy text, so
  // that a name that is not UTF-8 still names its file).
  std::vector<std::string> to_remove;
  // Piece ids to fetch, each once.
  std::vector<std::string> to_download;
};

// Installed path to hash, for the installed files the scan verified with the
// installed release's own hash for them.
using IntactFiles = std::unordered_map<std::string, std::string>;

// The lists are made by four steps, each called until it yields nothing. The
// steps borrow everything they read; the caller keeps it alive meanwhile.

// Over the target's files. A path listed more than once counts only at its
// last position: the file built there is the one the swap leaves in place,
// and placing the same path twice would lose the backup of the original.
struct UpdateStep {
  std::span<const FileEntry> files;
  std::size_t next = 0;
  const IntactFiles& intact_files;
  // Each path of `files` to its last position; see last_positions.
  const std::unordered_map<std::string, std::size_t>& last_position;
};

std::unordered_map<std::string, std::size_t> last_positions(std::span<const FileEntry> files);

// The next position whose file must be built: not left intact by an installed
// file of the same path text and hash.
std::optional<std::size_t> next_file_to_update(UpdateStep& step);

// Over the installed release's files not yet looked at.
struct RemoveStep {
  std::span<const FileEntry> rest;
  const std::unordered_set<std::string>& target_paths;
};

// A copy of the next installed path that the target does not list.
std::optional<std::string> next_file_to_remove(RemoveStep& step);

// Over the rest of one file's pieces.
struct NewPieceStep {
  std::span<const FilePiece> rest;
  const SalvageMap& salvaged;
  std::unordered_set<std::string>& seen;
};

// The next piece that lies nowhere on disk and was not met before (its id then
// joins `seen`); none at the end of the file.
const FilePiece* next_new_piece(NewPieceStep& step);

// Over the positions of `to_update` not yet begun, with the rest of the
// current file's pieces in `pieces`.
struct DownloadStep {
  std::span<const FileEntry> files;
  std::span<const std::size_t> positions;
  NewPieceStep pieces;
};

// A copy of the next id to fetch.
std::optional<std::string> next_download_id(DownloadStep& step);

// `report` is the scan of `install_dir` against `installed`; both are present
// or both absent.
UpdatePlan plan_update(const ReleaseInfo& target, const std::optional<ReleaseInfo>& installed,
                       const std::optional<ScanReport>& report,
                       const std::filesystem::path& install_dir);
