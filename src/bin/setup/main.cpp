#include <string>
#include <vector>

#include "bin/setup/check_mode.hpp"
#include "bin/setup/modes.hpp"
#include "bin/setup/options.hpp"
#include "platform/console.hpp"
#include "platform/process_setup.hpp"

int main(int argc, char** argv) {
  prepare_process();
  console_unbuffered();
  const std::vector<std::string> args(argv, argv + argc);
  Settings settings = settings_from_args(args);
  settings.install_dir = absolute_install_dir(settings.install_dir);
  switch (choose_mode(args)) {
    case Mode::uninstall: return run_uninstall(settings);
    case Mode::check: return run_check(settings);
    case Mode::normal: break;
  }
  return run_normal(settings);
}
