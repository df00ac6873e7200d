#include "release/installed_release.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "lib/utf8.hpp"
#include "release/install_layout.hpp"

namespace {

// Everything from `fd` to its end; none on a read error or when it does not
// fit in memory.
std::optional<std::string> read_to_end(int fd, std::size_t size) {
  try {
    std::string text;
    text.reserve(size);
    char block[65536];
    for (;;) {
      const ssize_t n = ::read(fd, block, sizeof block);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::nullopt;
      if (n == 0) return text;
      text.append(block, static_cast<std::size_t>(n));
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  } catch (const std::length_error&) {
    return std::nullopt;
  }
}

// The whole file as text; none when it cannot be opened or read, or when its
// bytes are not valid UTF-8 (nothing is replaced). Only a regular file
// counts: opening does not wait for a FIFO's writer, and a device is never
// read.
std::optional<std::string> read_utf8_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> text;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
    text = read_to_end(fd, static_cast<std::size_t>(info.st_size));
  ::close(fd);
  if (!text || !is_valid_utf8(*text)) return std::nullopt;
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
