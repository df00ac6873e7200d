// The console of the setup program: every message goes to the standard error
// stream, unbuffered, and the only input is one line for the closing prompt.
// Called from the main thread only.
#pragma once

#include <string>
#include <string_view>

// Makes the standard error stream unbuffered; the first thing main does, so
// that a line is on screen before a slow step begins.
void console_unbuffered();

// Writes every byte of `text` to the standard error stream; a write error is
// dropped, as there is nowhere left to report it.
void print(std::string_view text);

// Reads one line from `fd` (standard input by default): the bytes up to and
// including the first line feed, or up to the end of input. Reads one byte at
// a time so that nothing after that line is taken from a shared pipe or file.
// Returns what was read; a read error ends the line where it stands.
std::string read_line(int fd = 0);
