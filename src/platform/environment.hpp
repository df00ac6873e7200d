// The process's environment variables, read only. No state of its own.
#pragma once

#include <optional>
#include <string>

// The value of the environment variable `name` as raw bytes; none when it is
// not set. Whether the bytes are valid text is the caller's business.
std::optional<std::string> environment_variable(const char* name);
