// The stand-ins as programs, run from PATH the way the setup program's steps
// run them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cmd.hpp"
#include "install/windows_steps.hpp"
#include "platform/process.hpp"
#include "reg.hpp"
#include "support/child.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"
#include "support/windows_calls.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::IsEmpty;
using ::testing::Not;

// The real stand-ins on PATH, with a profile folder and a home of the test's.
class StandIns : public ::testing::Test {
 protected:
  StandIns()
      : path_("PATH", REEFTOWN_STANDIN_DIR),
        data_home_("XDG_DATA_HOME", (dir_.path / "xdg").string()),
        home_env_("HOME", (dir_.path / "home").string()) {
    fs::create_directories(home_);
  }

  TempDir dir_;
  fs::path profile_ = dir_.path / "xdg" / "reeftown-windows";
  fs::path home_ = dir_.path / "home";
  fs::path install_ = dir_.path / "o'brien \xE2\x80\x99games" / "Reef Town";
  ScopedEnv path_;
  ScopedEnv data_home_;
  ScopedEnv home_env_;
};

TEST_F(StandIns, ShortcutsAreSavedAndRemoved) {
  create_shortcuts(install_);
  const std::string dir = install_.string();
  const std::string want = "TargetPath=" + dir + "/ReefTownSetup.exe\nWorkingDirectory=" + dir +
                           "\nIconLocation=" + dir + "/ReefTown.exe,0\n";
  EXPECT_EQ(read_file(profile_ / "Desktop" / "Reef Town.lnk"), want);
  EXPECT_EQ(read_file(profile_ / "Programs" / "Reef Town.lnk"), want);

  run_powershell(std::string(REMOVE_SHORTCUTS_SCRIPT));
  EXPECT_FALSE(fs::exists(profile_ / "Desktop" / "Reef Town.lnk"));
  EXPECT_FALSE(fs::exists(profile_ / "Programs" / "Reef Town.lnk"));
  EXPECT_EQ(run_program("powershell.exe", {"-NoProfile", "-ExecutionPolicy", "Bypass", "-Command",
                                           std::string(REMOVE_SHORTCUTS_SCRIPT)}),
            0);
}

TEST_F(StandIns, AntiCheatInstallerRunsWithItsTwoArgumentsAndIsWaitedFor) {
  const fs::path ran = dir_.path / "ran";
  write_file(anti_cheat_installer(install_),
             "#!/bin/sh\nsleep 0.2\necho \"$#:$1:$2\" >> '" + ran.string() + "'\n");
  fs::permissions(anti_cheat_installer(install_), fs::perms(0755));
  install_anti_cheat_service(install_, sample_release(), false, {});
  EXPECT_EQ(read_file(ran), "2:install:reef'town\n");
  run_powershell(anti_cheat_script(install_, "reef'town", "uninstall"));
  EXPECT_EQ(read_file(ran), "2:install:reef'town\n2:uninstall:reef'town\n");
}

TEST_F(StandIns, RegistryKeepsEveryValueUntilTheKeyIsDeleted) {
  write_uninstall_entry(install_, sample_release());
  std::vector<RegistryValue> want;
  for (const Call& row : registry_rows("", install_.string(), "1.2.3", "1026"))
    want.push_back({row.args[3], row.args[5], row.args[7]});
  const auto as_tuple = [](const RegistryValue& v) { return std::tuple(v.name, v.type, v.data); };
  const auto tuples = [&](const std::vector<RegistryValue>& values) {
    std::vector<std::tuple<std::string, std::string, std::string>> t;
    for (const RegistryValue& v : values) t.push_back(as_tuple(v));
    return t;
  };
  EXPECT_EQ(tuples(registry_values(profile_, KEY)), tuples(want));

  // Another value later keeps the nine; the same name again replaces its data.
  EXPECT_EQ(
      run_program("reg", {"add", KEY, "/v", "Extra", "/t", "REG_SZ", "/d", "/a\tb\nc\\d", "/f"},
                  ChildStdio::Null),
      0);
  EXPECT_EQ(
      run_program("reg", {"add", KEY, "/v", "DisplayVersion", "/t", "REG_SZ", "/d", "2.0", "/f"},
                  ChildStdio::Null),
      0);
  want[1].data = "2.0";
  want.push_back({"Extra", "REG_SZ", "/a\tb\nc\\d"});
  EXPECT_EQ(tuples(registry_values(profile_, KEY)), tuples(want));

  delete_uninstall_entry();
  EXPECT_THAT(registry_values(profile_, KEY), IsEmpty());
  EXPECT_EQ(run_program("reg", {"delete", KEY, "/f"}, ChildStdio::Null), 1);
}

// What the real programs would refuse, the stand-ins refuse with a message
// and exit code 1.
TEST_F(StandIns, UnknownRequestsFailWithAMessage) {
  const std::string valid_removal =
      "timeout /t 0 /nobreak >nul & rmdir /s /q \"" + (dir_.path / "x").string() + "\"";
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"powershell.exe", {"-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", "Get-ChildItem"}},
      {"powershell.exe",
       {"-NoProfile", "-ExecutionPolicy", "Bypass", "-Command",
        "Start-Process -FilePath '/no/such/file' -ArgumentList 'install','x' -Verb RunAs -Wait"}},
      {"powershell.exe", {"-Command", std::string(REMOVE_SHORTCUTS_SCRIPT)}},
      {"powershell.exe",
       {"-NoProfile", "-ExecutionPolicy", "Bypass", "-Command",
        shortcut_script("Startup", "/t", "/w", "/i")}},
      {"reg", {"query", KEY}},
      {"reg", {"add", KEY, "/v", "X", "/t", "REG_BINARY", "/d", "00", "/f"}},
      {"reg", {"add", KEY, "/v", "X", "/t", "REG_DWORD", "/d", "4294967296", "/f"}},
      {"reg", {"add", "HKCU\\..\\..\\escape", "/v", "X", "/t", "REG_SZ", "/d", "x", "/f"}},
      {"reg", {"add", KEY, "/v", "X", "/t", "REG_SZ", "/d", "x"}},
      {"cmd", {"/C", "dir"}},
      {"cmd", {"/K", valid_removal}},
      {"cmd", {"/C", valid_removal + " & echo more"}},
  };
  fs::create_directories(dir_.path / "x");
  for (const auto& [program, args] : cases) {
    SCOPED_TRACE(program + " " + args.back());
    ::testing::internal::CaptureStderr();
    const std::optional<int> code = run_program(program, args);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, 1);
    EXPECT_THAT(err, Not(IsEmpty()));
  }
  EXPECT_TRUE(fs::exists(dir_.path / "x"));
  EXPECT_FALSE(fs::exists(dir_.path / "registry"));
  EXPECT_FALSE(fs::exists(profile_ / "registry" / "escape"));
}

std::string removal_text(unsigned seconds, const fs::path& folder) {
  return "timeout /t " + std::to_string(seconds) + " /nobreak >nul & rmdir /s /q \"" +
         folder.string() + "\"";
}

TEST_F(StandIns, DelayedRemovalWaitsThenRemovesTheFolderWithoutFollowingLinks) {
  const fs::path game = dir_.path / "game";
  const fs::path outside = dir_.path / "outside";
  write_file(game / "Content" / "Paks" / "data.pak", "data");
  write_file(game / "ReefTown.exe", "game");
  write_file(outside / "keep", "keep");
  fs::create_symlink(outside / "keep", game / "file-link");
  fs::create_directory_symlink(outside, game / "Content" / "folder-link");

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run_program("cmd", {"/C", removal_text(1, game)}), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_FALSE(fs::exists(fs::symlink_status(game)));
  EXPECT_EQ(read_file(outside / "keep"), "keep");
}

// The root, the home folder and everything above it are refused, however
// they are spelled; so is anything that is not a folder by lstat.
TEST_F(StandIns, RemovalRefusesRootHomeAndWhatIsNoFolder) {
  write_file(home_ / "notes", "mine");
  fs::create_directory_symlink(home_, dir_.path / "home-link");
  write_file(dir_.path / "file", "file");
  const std::vector<fs::path> refused = {home_,
                                         dir_.path,
                                         home_ / ".." / "home",
                                         home_ / ".",
                                         dir_.path / "home-link",
                                         dir_.path / "file",
                                         dir_.path / "missing"};
  for (const fs::path& target : refused) {
    SCOPED_TRACE(target.string());
    EXPECT_TRUE(removal_refusal(target, {home_}).has_value());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run_program("cmd", {"/C", removal_text(0, target)}), 1);
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), Not(IsEmpty()));
  }
  EXPECT_EQ(read_file(home_ / "notes"), "mine");
  EXPECT_TRUE(fs::is_symlink(dir_.path / "home-link"));
  EXPECT_EQ(read_file(dir_.path / "file"), "file");

  EXPECT_TRUE(removal_refusal("/", {}).has_value());
  EXPECT_TRUE(removal_refusal("//", {home_}).has_value());
  EXPECT_TRUE(removal_refusal("/tmp/..", {home_}).has_value());
  EXPECT_FALSE(removal_refusal(home_ / "..", {}).has_value());

  // The root through the stand-in itself, only as an unprivileged user so
  // that a fault here could not cost the machine.
  // The build tree may lie where "nobody" cannot reach: a copy of the
  // stand-in in a folder open to all.
  if (::geteuid() != 0) return;
  TempDir open_dir;
  const fs::path cmd = open_dir.path / "cmd";
  fs::copy_file(fs::path(REEFTOWN_STANDIN_DIR) / "cmd", cmd);
  const auto readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec;
  fs::permissions(open_dir.path, readable);
  fs::permissions(cmd, readable);
  const std::string code = in_child(drop_root, [&] {
    return std::to_string(
        run_and_wait(cmd, {"/C", removal_text(0, "/")}, ChildStdio::Null).value_or(3));
  });
  EXPECT_EQ(code, "1");
}

}  // namespace
