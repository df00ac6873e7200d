#include "platform/system.hpp"

#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

unsigned logical_processor_count() { return std::thread::hardware_concurrency(); }

void sleep_seconds(unsigned seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); }

std::optional<std::string> environment_variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open gives the lowest free descriptor: this one.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) ::close(opened);
  }
  ::signal(SIGPIPE, SIG_IGN);
}

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
  if (fd < 0) return attempt;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      attempt.state = LockAttempt::locked;
      attempt.lock.fd = fd;
      return attempt;
    }
    if (errno == EINTR) continue;
    attempt.state = errno == EWOULDBLOCK ? LockAttempt::busy : LockAttempt::no_folder;
    ::close(fd);
    return attempt;
  }
}
