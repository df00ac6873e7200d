// A file descriptor that closes itself when it goes out of scope.
#pragma once

#include <unistd.h>

#include <utility>

struct UniqueFd {
  int fd = -1;

  UniqueFd() = default;
  explicit UniqueFd(int owned) : fd(owned) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd = std::exchange(other.fd, -1);
    }
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd; }
  explicit operator bool() const { return fd >= 0; }

  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  // Closes now and gives close's result, which may report a write that
  // failed late.
  int close_now() {
    const int result = ::close(fd);
    fd = -1;
    return result;
  }
};
