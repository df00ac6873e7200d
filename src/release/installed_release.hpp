// The release information that an earlier installation left in the install
// folder, verified again on every load.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "release/release_info.hpp"

// Present only when ".manifest.json" and ".manifest.sig" were read as valid
// UTF-8 and verified; the cause of a failure is never reported.
std::optional<ReleaseInfo> load_installed_release(
    const std::filesystem::path& install_dir,
    std::string_view public_key_hex = RELEASE_PUBLIC_KEY);
