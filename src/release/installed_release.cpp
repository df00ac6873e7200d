#include "release/installed_release.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "lib/utf8.hpp"
#include "release/install_layout.hpp"

namespace {

// The whole file as text; none when it cannot be opened or read, or when its
// bytes are not valid UTF-8 (nothing is replaced).
std::optional<std::string> read_utf8_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  std::error_code ec;
  if (const auto size = std::filesystem::file_size(path, ec); !ec) text.reserve(size);
  char block[65536];
  bool failed = false;
  for (;;) {
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    text.append(block, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (failed || !is_valid_utf8(text)) return std::nullopt;
  return text;
}

}  // namespace

std::optional<ReleaseInfo> load_installed_release(const std::filesystem::path& install_dir,
                                                  std::string_view public_key_hex) {
  auto json = read_utf8_file(install_dir / MANIFEST_FILE);
  if (!json) return std::nullopt;
  auto sig = read_utf8_file(install_dir / SIGNATURE_FILE);
  if (!sig) return std::nullopt;
  auto info = parse_release_info(std::move(*json), std::move(*sig), public_key_hex);
  if (!info) return std::nullopt;
  return std::move(*info);
}
