#include "platform/whole_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <stdexcept>

namespace {

// Everything from `fd` to its end; none on a read error, when there is more
// than `limit`, or when it does not fit in memory. The file may grow after its
// size was looked at, so the limit holds for the reads themselves.
std::optional<std::string> read_to_end(int fd, std::size_t size, std::size_t limit) {
  try {
    std::string text;
    text.reserve(std::min(size, limit));
    char block[65536];
    for (;;) {
      const std::size_t room = limit - text.size();
      // One byte past the limit is enough to tell a file that is too big.
      const ssize_t n = ::read(fd, block, room < sizeof block ? room + 1 : sizeof block);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::nullopt;
      if (n == 0) return text;
      if (static_cast<std::size_t>(n) > room) return std::nullopt;
      text.append(block, static_cast<std::size_t>(n));
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  } catch (const std::length_error&) {
    return std::nullopt;
  }
}

// The whole of the regular file open as `fd` (none for anything else, or
// when `fd` is no descriptor; with `own_only`, none for a file that another
// user owns); closes it.
std::optional<std::string> read_opened(int fd, std::size_t limit, bool own_only) {
  if (fd < 0) return std::nullopt;
  std::optional<std::string> text;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      (!own_only || info.st_uid == ::geteuid()) &&
      static_cast<std::uint64_t>(info.st_size) <= limit)
    text = read_to_end(fd, static_cast<std::size_t>(info.st_size), limit);
  ::close(fd);
  return text;
}

}  // namespace

std::optional<std::string> read_regular_file(const std::filesystem::path& path, std::size_t limit) {
  return read_opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK), limit, false);
}

std::optional<std::string> read_work_file(const std::filesystem::path& path, std::size_t limit) {
  return read_opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW), limit, true);
}
