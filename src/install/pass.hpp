// One install, update or repair pass over an install folder: load, scan,
// plan, download, build, swap, clean up, register. Main thread; the scan, the
// download and the build start threads of their own and end them before they
// return.
#pragma once

#include <expected>
#include <filesystem>
#include <string_view>
#include <variant>

#include "install/download.hpp"
#include "lib/error_text.hpp"
#include "release/release_info.hpp"

inline constexpr std::size_t PROBLEMS_SHOWN = 8;

struct UpToDate {};
struct Installed {};
struct NewerRelease {
  ReleaseInfo release;
};
using PassOutcome = std::variant<UpToDate, Installed, NewerRelease>;

// What tests may change; the defaults are the program's own.
struct PassOptions {
  std::string_view public_key_hex = RELEASE_PUBLIC_KEY;
  DownloadOptions download;  // its agent settings serve the newer-release check too
};

std::expected<PassOutcome, ErrorText> install_pass(std::string_view base_url,
                                                   const std::filesystem::path& install_dir,
                                                   const ReleaseInfo& offered,
                                                   const PassOptions& options = {});
