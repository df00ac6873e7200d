// The names of everything the program keeps on disk, in one place. The three
// release files lie in the install folder; the work folders beside it.
#pragma once

#include <string_view>

inline constexpr std::string_view MANIFEST_FILE = ".manifest.json";
inline constexpr std::string_view SIGNATURE_FILE = ".manifest.sig";
inline constexpr std::string_view VERSION_FILE = ".version";

inline constexpr std::string_view CACHE_DIR_NAME = ".reeftown-cache";
inline constexpr std::string_view STAGE_DIR_NAME = ".reeftown-stage";
inline constexpr std::string_view OLD_DIR_NAME = ".reeftown-old";
