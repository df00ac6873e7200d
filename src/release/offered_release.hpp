// The release that the download server offers: the pointer "latest.json",
// then the release information and its signature, verified and checked
// against the version the pointer announced.
#pragma once

#include <expected>
#include <string_view>

#include "lib/error_text.hpp"
#include "release/http.hpp"
#include "release/release_info.hpp"

// Letters, digits and ".-_" only (ASCII), so that a version is one harmless
// path segment; the empty text passes.
bool is_version_text(std::string_view version);

// Three downloads in a row under `base_url` (no trailing "/"); every failure
// is a finished text that the caller shows or drops. `agent_settings` are for
// tests; the program keeps the defaults.
std::expected<ReleaseInfo, ErrorText> fetch_offered_release(
    std::string_view base_url, std::string_view public_key_hex = RELEASE_PUBLIC_KEY,
    const AgentSettings& agent_settings = {});
