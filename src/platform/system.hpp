// The process's view of the system: processor count, sleeping and the
// environment. No state; safe on any thread.
#pragma once

#include <optional>
#include <string>

// Logical processors that the system reports; 0 when it reports none.
unsigned logical_processor_count();

// Blocks the calling thread for `seconds`.
void sleep_seconds(unsigned seconds);

// The value of the environment variable `name` as raw bytes; none when it is
// not set. Whether the bytes are valid text is the caller's business.
std::optional<std::string> environment_variable(const char* name);
