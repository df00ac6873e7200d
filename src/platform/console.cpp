#include "platform/console.hpp"

#include <cerrno>
#include <cstdio>

#include <unistd.h>

void console_unbuffered() { std::setvbuf(stderr, nullptr, _IONBF, 0); }

void print(std::string_view text) {
  // fwrite retries short writes itself; on an unbuffered stream it goes out at once.
  (void)std::fwrite(text.data(), 1, text.size(), stderr);
}

std::string read_line(int fd) {
  std::string line;
  for (;;) {
    char byte = 0;
    const ssize_t n = ::read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    line.push_back(byte);
    if (byte == '\n') break;
  }
  return line;
}
