// The text of an errno value, the one way every part of the program and its
// tools words a failed system call. No state; safe on any thread.
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

// The system's message for `error`, e.g. "No such file or directory".
inline std::string errno_text(int error) {
  return std::error_code(error, std::generic_category()).message();
}
