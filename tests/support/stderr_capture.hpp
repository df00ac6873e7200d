// Everything written to the standard error stream (descriptor 2) while a
// capture lives, for tests of what the program prints. One capture at a
// time: it swaps descriptor 2 for the whole process.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include <unistd.h>

#include "support/wait_until.hpp"

struct StderrCapture {
  StderrCapture() {
    std::fflush(stderr);
    saved = ::dup(2);
    file = std::tmpfile();
    ::dup2(::fileno(file), 2);
  }
  ~StderrCapture() { finish(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Puts the stream back; all that was written. Later calls give the same.
  std::string finish() {
    if (!file) return text;
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::rewind(file);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0;) text.append(buf, n);
    std::fclose(file);
    file = nullptr;
    return text;
  }
  // What has been written so far, while the capture goes on.
  std::string so_far() const {
    std::string seen;
    if (!file) return text;
    char buf[4096];
    for (ssize_t n; (n = ::pread(::fileno(file), buf, sizeof buf, static_cast<off_t>(seen.size()))) > 0;)
      seen.append(buf, static_cast<std::size_t>(n));
    return seen;
  }
  // Waits, bounded, until the output so far holds `needle`.
  bool wait_for(std::string_view needle) const {
    return wait_until([&] { return so_far().find(needle) != std::string::npos; });
  }

  int saved = -1;
  std::FILE* file = nullptr;
  std::string text;
};

// Runs `call` while capturing; what it printed.
template <typename Call>
std::string captured_stderr(const Call& call) {
  StderrCapture capture;
  call();
  return capture.finish();
}
