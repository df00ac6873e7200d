// "--check": verifies an installation offline against its own release
// information and reports through its lines and its exit code only. Reads,
// never writes; no server access, no banner, no closing prompt.
#pragma once

#include <string_view>

#include "bin/setup/options.hpp"
#include "release/release_key.hpp"

inline constexpr std::string_view NOT_INSTALLED_TEXT =
    "not installed (or the release information was changed)\n";

// The exit code: 0 intact, 1 at least one problem, 2 nothing installed that verifies.
int run_check(const Settings& settings, std::string_view public_key_hex = RELEASE_PUBLIC_KEY);
