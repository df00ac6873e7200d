// Whole-file reads for the small documents the program keeps beside the game.
// No state; safe on any thread.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

// The whole content of the regular file at `path` (links followed); none when
// it cannot be opened or read, when it holds more than `limit` bytes (nothing
// past the limit is read), when it does not fit in memory, or when it is not
// a regular file: opening does not wait for a FIFO's writer, and a device is
// never read.
std::optional<std::string> read_regular_file(const std::filesystem::path& path, std::size_t limit);

// The same for a file that the program itself wrote into a work folder,
// where another user may have put something first: a link at the last name
// is not followed, and a file that another user owns gives none.
std::optional<std::string> read_work_file(const std::filesystem::path& path, std::size_t limit);
