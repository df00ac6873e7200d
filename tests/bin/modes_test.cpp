// How a run ends: the final error line and the closing prompt, on the built
// program so that standard input is the real one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "bin/setup/modes.hpp"
#include "bin/run_setup.hpp"
#include "support/scoped_env.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"
#include "support/test_key.hpp"
#include "support/wait_until.hpp"

namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;

// A server that cannot be reached and nothing installed: the run fails.
SetupRun failing_run(const std::optional<std::string>& input) {
  TempDir dir;
  return run_setup({"--dir", (dir.path / "game").string(), "--base", "http://127.0.0.1:9"}, input);
}

TEST(FinalError, PromptReadsOneLineOnly) {
  struct Case {
    const char* name;
    std::optional<std::string> input;  // none: standard input closed
    off_t want_consumed;
  };
  const std::vector<Case> cases = {
      {"end of input at once", "", 0},
      {"standard input closed", std::nullopt, -1},
      {"two lines waiting", "first\nsecond\n", 6},
      {"no line feed", "typed", 5},
      {"empty line first", "\nsecond\n", 1},
  };
  for (const Case& c : cases) {
    const SetupRun run = failing_run(c.input);
    EXPECT_EQ(run.exit_code, 1) << c.name;
    EXPECT_THAT(run.err, HasSubstr("\nReef Town could not start: ")) << c.name;
    EXPECT_THAT(run.err, EndsWith("\n\nPress Enter to close.")) << c.name;
    EXPECT_EQ(run.input_consumed, c.want_consumed) << c.name;
    EXPECT_EQ(run.out, "") << c.name;
  }
}

namespace fs = std::filesystem;

// The password database as the uninstall test wants it.
std::optional<fs::path> g_password_home;
std::optional<fs::path> password_home_of_test() { return g_password_home; }

// With HOME unset, the home folder that the password database names is
// still never handed to the shell, even when it holds an installation.
TEST(Uninstall, HomeFolderWithHomeUnset) {
  TempDir dir;
  const fs::path home = dir.path / "home";
  const std::string json = R"({"version":"1.0","files":[]})";
  write_file(home / ".manifest.json", json);
  write_file(home / ".manifest.sig", test_sign_hex(json));
  write_file(home / ".version", "1.0");
  const fs::path bin = dir.path / "bin";
  const fs::path log = dir.path / "cmd.log";
  write_file(bin / "cmd", "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + log.string() + "'\n");
  for (const char* name : {"powershell.exe", "reg"}) write_file(bin / name, "#!/bin/sh\nexit 0\n");
  for (const char* name : {"cmd", "powershell.exe", "reg"}) fs::permissions(bin / name, fs::perms::owner_all);
  ScopedEnv path("PATH", bin.string());
  ScopedEnv data("XDG_DATA_HOME", (dir.path / "xdg").string());
  ScopedEnv unset_home("HOME", "/");
  ::unsetenv("HOME");

  struct Case {
    const char* name;
    fs::path password_home;
    bool handed_to_shell;
  };
  const std::vector<Case> cases = {
      {"the password database's home", home, false},
      {"another user's home", dir.path / "elsewhere", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(log);
    g_password_home = c.password_home;
    RunOptions options;
    options.pass.public_key_hex = TEST_PUBLIC_KEY_HEX;
    options.password_home = password_home_of_test;
    options.input_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int code = -1;
    const std::string err =
        captured_stderr([&] { code = run_uninstall(Settings{home, "http://127.0.0.1:9"}, options); });
    ::close(options.input_fd);
    EXPECT_EQ(code, 0);
    const std::string left =
        "(" + home.string() + " is the root, a home folder or a folder above one and was left as it is)\n";
    if (c.handed_to_shell) {
      wait_until([&] { return !read_file(log).empty(); }, std::chrono::seconds(10));
      EXPECT_THAT(read_file(log), HasSubstr("rmdir /s /q \"" + home.string() + "\""));
      EXPECT_THAT(err, ::testing::Not(HasSubstr(left)));
    } else {
      EXPECT_THAT(err, HasSubstr(left));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      EXPECT_EQ(read_file(log), "");
    }
  }
  EXPECT_TRUE(fs::exists(home / ".manifest.json"));
}

}  // namespace
