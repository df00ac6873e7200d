// Whether a folder that holds no installation of the game may receive a first
// install: a walk of its own beside the scan, which only looks at folders
// that release information describes. Main thread; no state.
#pragma once

#include <filesystem>

#include "release/install_layout.hpp"
#include "release/release_info.hpp"

// True when the folder holds a file that a first install must not take over.
// A later pass's scan would call every foreign ".exe" or ".json" in it "not
// part of the game" and remove it, so an install never begins in a folder
// that holds something else. A folder that cannot be looked into may hold
// anything and counts as holding something; links are judged, never walked.
// `folders` are install_dir's work folders.
bool holds_foreign_files(const std::filesystem::path& install_dir, const WorkFolders& folders,
                         const ReleaseInfo& target);
