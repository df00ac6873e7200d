#include "bin/setup/options.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <stdlib.h>

#include "platform/environment.hpp"

namespace {

TEST(Options, SettingsAndModeFromTheCommandLine) {
  struct Case {
    const char* name;
    std::vector<std::string> args;  // the program's own name first
    std::optional<std::string> local_app_data;
    std::string want_dir;
    std::string want_base;
    Mode want_mode;
    bool want_env_read;
    // LOCALAPPDATA is put in the process's own environment and read from there.
    bool from_environment = false;
  };
  const std::string def(DEFAULT_BASE_URL);
  const std::string local = "/home/u/.local/share";
  const std::vector<Case> cases = {
      {"no arguments", {"setup"}, local, local + "/Programs/Reef Town", def, Mode::normal, true},
      {"variable ending in '/'", {"setup"}, "/data/", "/data/Programs/Reef Town", def, Mode::normal, true},
      {"variable unset", {"setup"}, std::nullopt, "./Programs/Reef Town", def, Mode::normal, true},
      {"variable empty", {"setup"}, "", "Programs/Reef Town", def, Mode::normal, true},
      {"variable not UTF-8", {"setup"}, "/home/\xFF", "./Programs/Reef Town", def, Mode::normal, true},
      {"--dir last", {"setup", "--dir"}, local, local + "/Programs/Reef Town", def, Mode::normal, true},
      {"--dir=X is no option", {"setup", "--dir=X"}, local, local + "/Programs/Reef Town", def,
       Mode::normal, true},
      {"first --dir wins", {"setup", "--dir", "A", "--dir", "B"}, local, "A", def, Mode::normal, false},
      {"first --dir last, later one ignored", {"setup", "--dir", "--dir"}, local, "--dir", def,
       Mode::normal, false},
      {"value used unchanged", {"setup", "--dir", "./a/../b/"}, local, "./a/../b/", def, Mode::normal,
       false},
      {"empty value", {"setup", "--dir", ""}, local, "", def, Mode::normal, false},
      {"--dir followed by --check", {"setup", "--dir", "--check"}, local, "--check", def, Mode::check,
       false},
      {"own name counts", {"--dir", "X"}, local, "X", def, Mode::normal, false},
      {"--Check is no flag", {"setup", "--Check"}, local, local + "/Programs/Reef Town", def,
       Mode::normal, true},
      {"check", {"setup", "--check", "--dir", "D"}, local, "D", def, Mode::check, false},
      {"uninstall before check", {"setup", "--uninstall", "--check"}, local,
       local + "/Programs/Reef Town", def, Mode::uninstall, true},
      {"check before uninstall", {"setup", "--check", "x", "--uninstall"}, local,
       local + "/Programs/Reef Town", def, Mode::uninstall, true},
      {"unknown arguments ignored", {"setup", "--no-launch", "-v", "extra"}, local,
       local + "/Programs/Reef Town", def, Mode::normal, true},
      {"base with three '/'", {"setup", "--base", "http://h/x///"}, local,
       local + "/Programs/Reef Town", "http://h/x", Mode::normal, true},
      {"base ending in a backslash", {"setup", "--base", "http://h/x\\"}, local,
       local + "/Programs/Reef Town", "http://h/x\\", Mode::normal, true},
      {"base ending in a blank", {"setup", "--base", "http://h/x/ "}, local,
       local + "/Programs/Reef Town", "http://h/x/ ", Mode::normal, true},
      {"base of '/' only", {"setup", "--base", "///"}, local, local + "/Programs/Reef Town", "",
       Mode::normal, true},
      {"--base last", {"setup", "--base"}, local, local + "/Programs/Reef Town", def, Mode::normal,
       true},
      {"base taken by --dir too", {"setup", "--dir", "--base", "--base", "http://h/"}, local, "--base",
       "--base", Mode::normal, false},
      {"environment: variable set", {"setup"}, local, local + "/Programs/Reef Town", def, Mode::normal,
       true, true},
      {"environment: variable unset", {"setup"}, std::nullopt, "./Programs/Reef Town", def,
       Mode::normal, true, true},
      {"environment: variable empty", {"setup"}, "", "Programs/Reef Town", def, Mode::normal, true,
       true},
      {"environment: --dir given", {"setup", "--dir", "D"}, local, "D", def, Mode::normal, false,
       true},
  };
  const std::optional<std::string> saved = environment_variable("LOCALAPPDATA");
  for (const Case& c : cases) {
    bool env_read = false;
    Settings settings;
    if (c.from_environment) {
      if (c.local_app_data) {
        ::setenv("LOCALAPPDATA", c.local_app_data->c_str(), 1);
      } else {
        ::unsetenv("LOCALAPPDATA");
      }
      settings = settings_from_args(c.args);
    } else {
      settings = settings_from_args(c.args, [&] {
        env_read = true;
        return c.local_app_data;
      });
    }
    EXPECT_EQ(settings.install_dir.native(), c.want_dir) << c.name;
    EXPECT_EQ(settings.base_url, c.want_base) << c.name;
    EXPECT_EQ(choose_mode(c.args), c.want_mode) << c.name;
    // Whether the real environment was read shows only in the folder.
    if (!c.from_environment) {
      EXPECT_EQ(env_read, c.want_env_read) << c.name;
    }
  }
  if (saved) {
    ::setenv("LOCALAPPDATA", saved->c_str(), 1);
  } else {
    ::unsetenv("LOCALAPPDATA");
  }
}

TEST(Options, NoLaunchFlag) {
  struct Case {
    std::vector<std::string> args;
    bool launch;
  };
  const std::vector<Case> cases = {
      {{"setup"}, true},
      {{"setup", "--no-launch"}, false},
      {{"setup", "--dir", "D", "--no-launch", "--check"}, false},
      {{"setup", "--No-Launch"}, true},
      {{"setup", "--no-launch=1"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    EXPECT_EQ(settings_from_args(c.args, [] { return std::optional<std::string>("L"); }).launch,
              c.launch);
  }
}

TEST(Options, InstallFolderMadeAbsoluteWithoutResolvingLinks) {
  struct Case {
    std::string dir;
    std::string working_dir;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"./Programs/Reef Town", "/home/u", "/home/u/Programs/Reef Town"},
      {"Programs/Reef Town", "/home/u", "/home/u/Programs/Reef Town"},
      {"a//./b/", "/home/u/", "/home/u/a/b"},
      {".", "/home/u", "/home/u"},
      {"link/../b", "/home/u", "/home/u/link/../b"},
      {"--check", "/", "/--check"},
      {"/opt/./Reef Town/", "/home/u", "/opt/./Reef Town/"},
      {"/.", "/home/u", "/."},
      {"", "/home/u", ""},
      {"Reef Town", "", "Reef Town"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(absolute_install_dir(c.dir, c.working_dir).native(), c.want)
        << "\"" << c.dir << "\" in \"" << c.working_dir << "\"";
}

}  // namespace
