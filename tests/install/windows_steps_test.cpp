#include "install/windows_steps.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "lib/utf8.hpp"
#include "platform/process.hpp"
#include "powershell.hpp"
#include "support/child.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"
#include "support/windows_calls.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

const std::string FFFD = "\xEF\xBF\xBD";

// A copy of this test program started with REEFTOWN_STEPS_HELPER set to an
// install folder runs the three steps there and ends before any test runs,
// so that its own folder is one the test made.
[[maybe_unused]] const bool steps_helper = [] {
  const char* install_dir = std::getenv("REEFTOWN_STEPS_HELPER");
  if (install_dir == nullptr) return false;
  const ReleaseInfo release = sample_release();
  install_anti_cheat_service(install_dir, release, false, {});
  create_shortcuts(install_dir);
  write_uninstall_entry(install_dir, release);
  std::_Exit(0);
}();

// Fakes of the three programs that append their arguments to `log` and say
// something on both output streams.
void make_fakes(const fs::path& folder, const std::string& marker, const fs::path& log) {
  for (const std::string name : {"powershell.exe", "reg", "cmd"}) {
    write_file(folder / name, "#!/bin/sh\nprintf '%s\\0' '" + marker + "' '" + name +
                                  "' \"$#\" \"$@\" >> '" + log.string() + "'\necho 'out from " +
                                  name + "'\necho 'err from " + name + "' >&2\n");
    fs::permissions(folder / name, fs::perms(0755));
  }
  fs::permissions(folder, fs::perms(0755));
}

std::vector<Call> read_calls(const fs::path& log) {
  std::vector<std::string> fields;
  const std::string raw = read_file(log);
  for (std::size_t start = 0, end; (end = raw.find('\0', start)) != std::string::npos;
       start = end + 1)
    fields.push_back(raw.substr(start, end - start));
  std::vector<Call> calls;
  for (std::size_t i = 0; i + 3 <= fields.size();) {
    Call call{fields[i], fields[i + 1], {}};
    const std::size_t count = std::stoul(fields[i + 2]);
    i += 3;
    for (std::size_t k = 0; k < count && i < fields.size(); ++k) call.args.push_back(fields[i++]);
    calls.push_back(std::move(call));
  }
  return calls;
}

Call powershell(const std::string& marker, const std::string& script) {
  return {
      marker, "powershell.exe", {"-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", script}};
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// The shortcut pair for an install folder whose text between single quotes
// is `quoted_dir`.
std::string shortcut_pair(const std::string& quoted_dir) {
  return replace_all(
      "$s=(New-Object -ComObject "
      "WScript.Shell).CreateShortcut([Environment]::GetFolderPath('Desktop')+"
      "'\\Reef Town.lnk');$s.TargetPath='DIR/ReefTownSetup.exe';$s.WorkingDirectory='DIR';"
      "$s.IconLocation='DIR/ReefTown.exe,0';$s.Save();"
      "$s=(New-Object -ComObject "
      "WScript.Shell).CreateShortcut([Environment]::GetFolderPath('Programs')+"
      "'\\Reef Town.lnk');$s.TargetPath='DIR/ReefTownSetup.exe';$s.WorkingDirectory='DIR';"
      "$s.IconLocation='DIR/ReefTown.exe,0';$s.Save()",
      "DIR", quoted_dir);
}

TEST(WindowsTexts, ScriptsHaveTheirExactForm) {
  const std::string shortcut =
      shortcut_script("Desktop", "/g/ReefTownSetup.exe", "/g", "/g/ReefTown.exe");
  EXPECT_EQ(shortcut,
            "$s=(New-Object -ComObject WScript.Shell).CreateShortcut([Environment]::GetFolderPath("
            "'Desktop')+'\\Reef Town.lnk');$s.TargetPath='/g/ReefTownSetup.exe';"
            "$s.WorkingDirectory='/g';$s.IconLocation='/g/ReefTown.exe,0';$s.Save()");
  EXPECT_EQ(std::ranges::count(shortcut, '\\'), 1);

  EXPECT_EQ(anti_cheat_script("/g", "abc", "install"),
            "Start-Process -FilePath '/g/EasyAntiCheat/EasyAntiCheat_EOS_Setup.exe' "
            "-ArgumentList 'install','abc' -Verb RunAs -Wait");
  EXPECT_EQ(anti_cheat_script("/g/", "abc", "uninstall"),
            "Start-Process -FilePath '/g/EasyAntiCheat/EasyAntiCheat_EOS_Setup.exe' "
            "-ArgumentList 'uninstall','abc' -Verb RunAs -Wait");

  EXPECT_EQ(REMOVE_SHORTCUTS_SCRIPT.size(), 160u);
  EXPECT_EQ(REMOVE_SHORTCUTS_SCRIPT,
            "Remove-Item -ErrorAction SilentlyContinue ([Environment]::GetFolderPath('Desktop')+"
            "'\\Reef Town.lnk'),([Environment]::GetFolderPath('Programs')+'\\Reef Town.lnk')");
}

// Every character PowerShell takes for a single quote is doubled, nothing
// else changes, and the stand-in reads each value back as it was.
TEST(WindowsTexts, QuotesInValuesAreDoubledAndReadBack) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/home/o'brien/games", "/home/o''brien/games"},
      {"''", "''''"},
      {"\xE2\x80\x98x\xE2\x80\x99y\xE2\x80\x9Az\xE2\x80\x9B",
       "\xE2\x80\x98\xE2\x80\x98x\xE2\x80\x99\xE2\x80\x99y\xE2\x80\x9A\xE2\x80\x9Az\xE2\x80\x9B\xE2"
       "\x80\x9B"},
      {"\xE2\x80\x9C double \xE2\x80\x9D \" $(calc) `n",
       "\xE2\x80\x9C double \xE2\x80\x9D \" $(calc) `n"},
      {"plain", "plain"},
  };
  for (const auto& [text, want] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(powershell_quoted(text), want);
    const std::optional<std::vector<ShortcutRequest>> read =
        parse_shortcut_scripts(shortcut_script("Programs", text + "/t", text, text + "/i"));
    ASSERT_TRUE(read.has_value());
    ASSERT_EQ(read->size(), 1u);
    EXPECT_EQ(read->front().target, text + "/t");
    EXPECT_EQ(read->front().working_dir, text);
    EXPECT_EQ(read->front().icon, text + "/i");
    const std::optional<StartProcessRequest> start =
        parse_start_process(anti_cheat_script(text, text, "install"));
    ASSERT_TRUE(start.has_value());
    EXPECT_EQ(start->file, text + "/EasyAntiCheat/EasyAntiCheat_EOS_Setup.exe");
    EXPECT_THAT(start->args, ElementsAre("install", text));
  }
  // A quote that ends the value early would let the rest run as code.
  EXPECT_EQ(shortcut_script("Desktop", "/x';Remove-Item C:\\ -Recurse;'", "/x", "/x"),
            "$s=(New-Object -ComObject WScript.Shell).CreateShortcut([Environment]::GetFolderPath("
            "'Desktop')+'\\Reef Town.lnk');$s.TargetPath='/x'';Remove-Item C:\\ -Recurse;''';"
            "$s.WorkingDirectory='/x';$s.IconLocation='/x,0';$s.Save()");
  EXPECT_EQ(display("/games/Reef\xFF"
                    "Town"),
            "/games/Reef" + FFFD + "Town");
}

// Fakes of the three programs in a folder on PATH; the test program's own
// folder holds none.
class StepsWithFakes : public ::testing::Test {
 protected:
  StepsWithFakes() : path_("PATH", (dir_.path / "fakes").string()) {
    make_fakes(dir_.path / "fakes", "fake", log_);
  }
  std::vector<Call> calls() const { return read_calls(log_); }

  TempDir dir_;
  fs::path log_ = dir_.path / "log";
  fs::path install_ = dir_.path / "Reef Town";
  ScopedEnv path_;
};

// Whether the anti-cheat installer runs, one case per row.
TEST_F(StepsWithFakes, AntiCheatRunsOnlyWhenNeededAndPossible) {
  struct Case {
    const char* name;
    bool installed_loaded;
    std::vector<std::size_t> to_update;
    const char* product_id;
    bool installer_present;
    bool want_run;
  };
  const std::vector<Case> cases = {
      {"first install", false, {0, 1, 2, 3, 4}, "reef'town", true, true},
      {"repair outside the anti-cheat folder", true, {1, 2}, "reef'town", true, false},
      {"update of a file in the anti-cheat folder", true, {1, 3}, "reef'town", true, true},
      {"the folder name in other letter case", true, {2}, "reef'town", true, false},
      {"a longer folder name", true, {4}, "reef'town", true, false},
      {"nothing rebuilt", true, {}, "reef'town", true, false},
      {"empty product id", false, {}, "", true, false},
      {"installer missing", false, {}, "reef'town", false, false},
  };
  ReleaseInfo release = sample_release();
  release.files = {{"EasyAntiCheat/EasyAntiCheat_EOS_Setup.exe", "", {}, 1},
                   {"ReefTown.exe", "", {}, 1},
                   {"easyanticheat/x.dll", "", {}, 1},
                   {"EasyAntiCheat/Certificates/base.bin", "", {}, 1},
                   {"EasyAntiCheatTools/y.dll", "", {}, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(install_);
    fs::remove(log_);
    if (c.installer_present) write_file(anti_cheat_installer(install_), "installer");
    release.eac_product_id = c.product_id;

    ::testing::internal::CaptureStderr();
    install_anti_cheat_service(install_, release, c.installed_loaded, c.to_update);
    const std::string err = ::testing::internal::GetCapturedStderr();

    const std::string message =
        "Installing the Easy Anti-Cheat service (Windows will ask for permission)...\n";
    if (c.want_run) {
      EXPECT_THAT(err, HasSubstr(message));
      EXPECT_THAT(calls(),
                  ElementsAre(powershell(
                      "fake", "Start-Process -FilePath '" + install_.string() +
                                  "/EasyAntiCheat/EasyAntiCheat_EOS_Setup.exe' -ArgumentList "
                                  "'install','reef''town' -Verb RunAs -Wait")));
    } else {
      EXPECT_EQ(err, "");
      EXPECT_THAT(calls(), IsEmpty());
    }
  }
}

TEST_F(StepsWithFakes, ShortcutsAreOnePowerShellRunSharingTheConsole) {
  ::testing::internal::CaptureStderr();
  create_shortcuts(install_);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(calls(), ElementsAre(powershell("fake", shortcut_pair(install_.string()))));
  EXPECT_EQ(err, "err from powershell.exe\n");
}

TEST_F(StepsWithFakes, UninstallEntryIsNineSilentRegRunsInOrder) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  write_uninstall_entry(install_, sample_release());
  const std::string err = ::testing::internal::GetCapturedStderr();
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_THAT(calls(), ElementsAreArray(registry_rows("fake", install_.string(), "1.2.3", "1026")));
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");

  fs::remove(log_);
  delete_uninstall_entry();
  EXPECT_THAT(calls(), ElementsAre(Call{"fake", "reg", {"delete", KEY, "/f"}}));
}

TEST_F(StepsWithFakes, EstimatedSizeIsWholeKibibytesOfAllFiles) {
  const std::vector<std::pair<std::vector<std::uint64_t>, std::string>> cases = {
      {{}, "0"},           {{1023}, "0"},     {{1024}, "1"},
      {{1048575}, "1023"}, {{1000, 24}, "1"}, {{1ull << 40, 1ull << 40}, "2147483648"},
  };
  for (const auto& [sizes, want] : cases) {
    SCOPED_TRACE(want);
    fs::remove(log_);
    ReleaseInfo release = sample_release();
    release.files.clear();
    for (const std::uint64_t size : sizes) release.files.push_back({"f", "", {}, size});
    write_uninstall_entry(install_, release);
    const std::vector<Call> written = calls();
    ASSERT_EQ(written.size(), 9u);
    EXPECT_THAT(written.back().args, ElementsAre("add", KEY, "/v", "EstimatedSize", "/t",
                                                 "REG_DWORD", "/d", want, "/f"));
  }
}

// A relative folder stays relative, and bytes that are not UTF-8 become U+FFFD.
TEST_F(StepsWithFakes, PathsAreTheFolderAsWrittenInDisplayText) {
  const fs::path relative = "games/Reef\xFF";
  const std::string shown = "games/Reef" + FFFD;
  create_shortcuts(relative);
  write_uninstall_entry(relative, sample_release());
  std::vector<Call> want = {powershell("fake", shortcut_pair(shown))};
  for (Call& row : registry_rows("fake", shown, "1.2.3", "1026")) want.push_back(row);
  EXPECT_THAT(calls(), ElementsAreArray(want));
}

TEST(WindowsSteps, MissingProgramsAreSkippedSilently) {
  TempDir dir;
  const ScopedEnv path("PATH", dir.path.string());
  ::testing::internal::CaptureStderr();
  create_shortcuts(dir.path);
  write_uninstall_entry(dir.path, sample_release());
  delete_uninstall_entry();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// Runs `program` in `cwd` with this process's environment, PATH replaced and
// `extra` added.
int run_with_env(const fs::path& program, const fs::path& cwd, const std::string& path_value,
                 const std::string& extra) {
  std::vector<std::string> env_text;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!std::string_view(*entry).starts_with("PATH=")) env_text.emplace_back(*entry);
  }
  env_text.push_back("PATH=" + path_value);
  env_text.push_back(extra);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string arg0 = program.string();
  char* argv[] = {arg0.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = 0;
  int status = -1;
  if (::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()) == 0)
    ::waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
  return status;
}

// A copy of this program in a folder beside fakes of the three programs,
// started in a working folder that holds fakes too and with relative PATH
// entries that lead to them: the own folder's fakes run while nobody else
// can write there, then the fakes of the absolute PATH folder; the working
// folder's never. A quote in the install folder is doubled in the scripts.
TEST(CopiedSetupProgram, FindsProgramsInItsOwnFolderNeverInTheWorkingFolder) {
  TempDir dir;
  const fs::path log = dir.path / "log";
  const fs::path bin = dir.path / "bin";
  fs::create_directories(bin);
  fs::copy_file("/proc/self/exe", bin / "steps");
  fs::permissions(bin / "steps", fs::perms(0755));
  make_fakes(bin, "own", log);
  make_fakes(dir.path / "path", "path", log);
  make_fakes(dir.path / "work", "cwd", log);
  make_fakes(dir.path / "work" / "sub", "cwd", log);
  const fs::path install = dir.path / "o'brien games" / "Reef Town";
  write_file(anti_cheat_installer(install), "installer");
  const std::string quoted = dir.path.string() + "/o''brien games/Reef Town";
  const std::string path_value = ".::sub:" + (dir.path / "path").string();

  // Others may write the own folder: by its mode, or through a group that
  // is not this user's alone (root can give it one).
  struct Row {
    fs::perms mode;
    bool shared_group;
    const char* marker;
  };
  std::vector<Row> rows = {{fs::perms(0755), false, "own"}, {fs::perms(0757), false, "path"}};
  if (::geteuid() == 0) rows.push_back({fs::perms(0775), true, "path"});
  for (const auto& [mode, shared_group, marker] : rows) {
    SCOPED_TRACE(marker);
    fs::permissions(bin, mode);
    if (shared_group) {
      ASSERT_EQ(::chown(bin.c_str(), 0, NOBODY), 0);
    }
    fs::remove(log);
    const int status = run_with_env(bin / "steps", dir.path / "work", path_value,
                                    "REEFTOWN_STEPS_HELPER=" + install.string());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::vector<Call> want = {
        powershell(marker, "Start-Process -FilePath '" + quoted +
                               "/EasyAntiCheat/EasyAntiCheat_EOS_Setup.exe' -ArgumentList "
                               "'install','reef''town' -Verb RunAs -Wait"),
        powershell(marker, shortcut_pair(quoted))};
    for (Call& row : registry_rows(marker, install.string(), "1.2.3", "1026")) want.push_back(row);
    EXPECT_THAT(read_calls(log), ElementsAreArray(want));
  }
}

}  // namespace
