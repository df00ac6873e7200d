// A file descriptor that closes itself when it goes out of scope.
#pragma once

#include <unistd.h>

struct UniqueFd {
  int fd = -1;

  explicit UniqueFd(int owned) : fd(owned) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd >= 0) ::close(fd);
  }

  // Closes now and gives close's result, which may report a write that
  // failed late.
  int close_now() {
    const int result = ::close(fd);
    fd = -1;
    return result;
  }
};
