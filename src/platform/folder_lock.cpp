#include "platform/folder_lock.hpp"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

FolderLock::FolderLock(FolderLock&& other) noexcept : fd(std::exchange(other.fd, -1)) {}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) ::close(fd);
    fd = std::exchange(other.fd, -1);
  }
  return *this;
}

FolderLock::~FolderLock() {
  if (fd >= 0) ::close(fd);
}

LockAttempt try_lock_folder(const std::filesystem::path& folder) {
  LockAttempt attempt;
  const std::filesystem::path where = folder.empty() ? std::filesystem::path(".") : folder;
  const int fd = ::open(where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    attempt.error = errno;
    return attempt;
  }
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      attempt.state = LockAttempt::locked;
      attempt.lock.fd = fd;
      return attempt;
    }
    if (errno == EINTR) continue;
    attempt.error = errno;
    attempt.state = errno == EWOULDBLOCK ? LockAttempt::busy : LockAttempt::failed;
    ::close(fd);
    return attempt;
  }
}
