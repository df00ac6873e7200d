// The release that the download server offers: the pointer "latest.json",
// then the release information and its signature, verified and checked
// against the version the pointer announced.
#pragma once

#include <expected>
#include <string_view>

#include "lib/error_text.hpp"
#include "release/release_info.hpp"

std::expected<ReleaseInfo, ErrorText> fetch_offered_release(
    std::string_view base_url, std::string_view public_key_hex = RELEASE_PUBLIC_KEY);
