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
#include <string>
#include <unordered_map>
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

// `report` is the scan of `install_dir` against `installed`; both are present
// or both absent.
UpdatePlan plan_update(const ReleaseInfo& target, const std::optional<ReleaseInfo>& installed,
                       const std::optional<ScanReport>& report,
                       const std::filesystem::path& install_dir);
