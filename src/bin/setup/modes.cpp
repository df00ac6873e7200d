#include "bin/setup/modes.hpp"

#include "platform/console.hpp"

int run_normal(const Settings&, std::span<const std::string>) {
  // Stand-in until the normal run is built.
  return fail_with("the normal run is not available in this build");
}

int run_uninstall(const Settings&, std::span<const std::string>) {
  // Stand-in until the uninstall mode is built.
  return fail_with("the uninstall mode is not available in this build");
}

int fail_with(const ErrorText& error, int input_fd) {
  print("\nReef Town could not start: " + error + "\n");
  pause_for_enter(input_fd);
  return 1;
}

void pause_for_enter(int input_fd) {
  print("\nPress Enter to close.");
  (void)read_line(input_fd);
}
