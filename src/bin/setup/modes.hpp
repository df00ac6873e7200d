// The modes that main chooses between, and the one way a failure reaches the
// user: the final error line and the closing prompt. Every mode returns the
// process's exit code to main. Main thread only.
#pragma once

#include <span>
#include <string>

#include "bin/setup/options.hpp"
#include "lib/error_text.hpp"

// The normal run: fetch, install or repair, launch.
int run_normal(const Settings& settings, std::span<const std::string> args);

// "--uninstall".
int run_uninstall(const Settings& settings, std::span<const std::string> args);

// Prints "\nReef Town could not start: {error}\n", waits for Enter and gives
// the exit code 1.
int fail_with(const ErrorText& error, int input_fd = 0);

// "\nPress Enter to close.", then one line from `input_fd`; returns at once at
// the end of input.
void pause_for_enter(int input_fd = 0);
