#include "platform/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <stdexcept>

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

}  // namespace

std::optional<std::string> read_regular_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> text;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
    text = read_to_end(fd, static_cast<std::size_t>(info.st_size));
  ::close(fd);
  return text;
}
