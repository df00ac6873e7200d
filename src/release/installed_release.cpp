#include "release/installed_release.hpp"

// Placeholder until the loader lands: nothing counts as installed.
std::optional<ReleaseInfo> load_installed_release(const std::filesystem::path&, std::string_view) {
  return std::nullopt;
}
