// The release information that an earlier installation left in the install
// folder, verified again on every load.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>

#include "release/http.hpp"
#include "release/release_info.hpp"

// Larger files than these never came from the download server and are not
// read: release information no larger than any document fetched, a signature
// of 128 hex digits with a little white space around it.
inline constexpr std::size_t INSTALLED_MANIFEST_LIMIT = TEXT_BODY_LIMIT;
inline constexpr std::size_t INSTALLED_SIGNATURE_LIMIT = 4096;

// Present only when ".manifest.json" and ".manifest.sig" were read as valid
// UTF-8 within their limits and verified; the cause of a failure is never
// reported.
std::optional<ReleaseInfo> load_installed_release(
    const std::filesystem::path& install_dir,
    std::string_view public_key_hex = RELEASE_PUBLIC_KEY);
