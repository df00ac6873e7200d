// The modes that main chooses between, and the one way a failure reaches the
// user: the final error line and the closing prompt. Every mode returns the
// process's exit code to main. Main thread only.
#pragma once

#include <string>
#include <string_view>

#include "bin/setup/options.hpp"
#include "install/pass.hpp"
#include "lib/error_text.hpp"
#include "platform/protected_folders.hpp"

inline constexpr int MAX_PASSES = 4;
inline constexpr unsigned LAUNCH_SLEEP_S = 2;

// What tests may change; the defaults are the program's own.
struct RunOptions {
  PassOptions pass;  // its key and agent settings serve every fetch of the run
  unsigned launch_sleep_s = LAUNCH_SLEEP_S;
  int input_fd = 0;  // where the closing prompt reads
  // The password database's home folder, which the uninstall never removes.
  std::optional<std::filesystem::path> (*password_home)() = password_database_home;
};

// The normal run: fetch, install or repair, launch.
int run_normal(const Settings& settings, const RunOptions& options = {});

// "--uninstall".
int run_uninstall(const Settings& settings, const RunOptions& options = {});

// Prints "\nReef Town could not start: {error}\n", waits for Enter and gives
// the exit code 1.
int fail_with(const ErrorText& error, int input_fd = 0);

// "\nPress Enter to close.", then one line from `input_fd`; returns at once at
// the end of input.
void pause_for_enter(int input_fd = 0);
