#include "release/installed_release.hpp"

#include <string>
#include <utility>

#include "lib/utf8.hpp"
#include "platform/whole_file.hpp"
#include "release/install_layout.hpp"

namespace {

// The whole file as text; none when it cannot be read, holds more than
// `limit` bytes or its bytes are not valid UTF-8 (nothing is replaced).
std::optional<std::string> read_utf8_file(const std::filesystem::path& path, std::size_t limit) {
  auto text = read_regular_file(path, limit);
  if (!text || !is_valid_utf8(*text)) return std::nullopt;
  return text;
}

}  // namespace

std::optional<ReleaseInfo> load_installed_release(const std::filesystem::path& install_dir,
                                                  std::string_view public_key_hex) {
  auto json = read_utf8_file(install_dir / MANIFEST_FILE, INSTALLED_MANIFEST_LIMIT);
  if (!json) return std::nullopt;
  auto sig = read_utf8_file(install_dir / SIGNATURE_FILE, INSTALLED_SIGNATURE_LIMIT);
  if (!sig) return std::nullopt;
  auto info = parse_release_info(std::move(*json), std::move(*sig), public_key_hex);
  if (!info) return std::nullopt;
  return std::move(*info);
}
