#include "platform/folder_lock.hpp"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

LockAttempt try_lock_folder(const std::filesystem::path& folder) {
  LockAttempt attempt;
  const std::filesystem::path where = folder.empty() ? std::filesystem::path(".") : folder;
  UniqueFd fd(::open(where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) {
    attempt.error = errno;
    return attempt;
  }
  for (;;) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
      attempt.state = LockAttempt::locked;
      attempt.lock.fd = std::move(fd);
      return attempt;
    }
    if (errno == EINTR) continue;
    attempt.error = errno;
    attempt.state = errno == EWOULDBLOCK ? LockAttempt::busy : LockAttempt::failed;
    return attempt;
  }
}
