#include "bin/setup/check_mode.hpp"

#include "install/build_swap.hpp"
#include "install/scan.hpp"
#include "lib/utf8.hpp"
#include "platform/console.hpp"
#include "release/installed_release.hpp"

int run_check(const Settings& settings, std::string_view public_key_hex) {
  // A commit that a killed run cut short is judged as completed, without
  // touching anything: the next normal run completes it.
  const auto release = load_committed_release(settings.install_dir, public_key_hex);
  if (!release) {
    print(NOT_INSTALLED_TEXT);
    return 2;
  }
  const ScanReport report = scan_install(settings.install_dir, *release);
  for (const std::string& line : report.problems) print(line + "\n");
  const bool intact = report.problems.empty();
  print(release->version + " " + (intact ? "intact" : "MODIFIED") + ": " +
        display(settings.install_dir) + "\n");
  return intact ? 0 : 1;
}
