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
#include "standins.hpp"
#include "support/child.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

const std::string KEY(UNINSTALL_KEY);
const std::string FFFD = "\xEF\xBF\xBD";

ReleaseInfo sample_release() {
  ReleaseInfo release;
  release.version = "1.2.3";
  release.launch = "Bin/Other.exe";  // the steps name ReefTown.exe whatever the launch value
  release.eac_product_id = "reef'town";
  release.files = {{"EasyAntiCheat/EasyAntiCheat_EOS_Setup.exe", "", {}, 1000},
                   {"ReefTown.exe", "", {}, 2000},
                   {"Content/data.pak", "", {}, 1048576}};
  return release;  // 1,051,576 bytes: 1026 KiB
}

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

struct Call {
  std::string marker;  // which copy of the fake ran
  std::string program;
  std::vector<std::string> args;
  bool operator==(const Call&) const = default;
};

void PrintTo(const Call& call, std::ostream* out) {
  *out << call.marker << " " << call.program;
  for (const std::string& arg : call.args) *out << " [" << arg << "]";
}

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

std::vector<Call> registry_rows(const std::string& marker, const std::string& dir,
                                const std::string& version, const std::string& size_kib) {
  const auto add = [&](const char* name, const char* type, const std::string& data) {
    return Call{marker, "reg", {"add", KEY, "/v", name, "/t", type, "/d", data, "/f"}};
  };
  return {add("DisplayName", "REG_SZ", "Reef Town"),
          add("DisplayVersion", "REG_SZ", version),
          add("Publisher", "REG_SZ", "KORVANE"),
          add("InstallLocation", "REG_SZ", dir),
          add("DisplayIcon", "REG_SZ", dir + "/ReefTown.exe"),
          add("URLInfoAbout", "REG_SZ", "https://www.korvane.example/games/reef-town"),
          add("UninstallString", "REG_SZ", "\"" + dir + "/ReefTownSetup.exe\" --uninstall"),
          add("NoModify", "REG_DWORD", "1"),
          add("EstimatedSize", "REG_DWORD", size_kib)};
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
