#include "platform/process.hpp"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/child.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"
#include "support/wait_until.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAreArray;

void write_script(const fs::path& path, const std::string& body, fs::perms mode = fs::perms(0755)) {
  write_file(path, "#!/bin/sh\n" + body);
  fs::permissions(path, mode);
}

// Waits up to ten seconds for a file that a detached child writes.
std::string wait_for_file(const fs::path& path) {
  wait_until([&] { return fs::exists(path); }, std::chrono::seconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the writer finish its line
  return read_file(path);
}

bool has_no_child() {
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
}

// The search rule, one fresh own folder per row: the own folder, then
// libexec/reeftown beside it, each counting only when nobody else can have put
// the program there (a private group may write); PATH counts only with
// absolute folders, in order; names with a '/' are not searched.
TEST(ProgramSearch, OwnFolderWhenSafeThenAbsolutePathFolders) {
  // Which group the search is told is private.
  enum class Group { none, folders, another };
  struct Case {
    const char* name;
    const char* program;
    fs::perms own_folder_mode;
    fs::perms own_file_mode;
    bool other_owner_folder;
    bool other_owner_file;
    const char* path_list;  // "P1", "P2" stand for the two absolute fake folders
    const char* want;       // "own", "lib", "P1", "P2" or "" for none
    Group group = Group::none;
    fs::perms lib_folder_mode = fs::perms(0755);
  };
  const fs::perms safe = fs::perms(0755);
  const std::vector<Case> cases = {
      {"own folder first", "tool", safe, safe, false, false, "P1:P2", "own"},
      {"group-writable own folder", "tool", fs::perms(0775), safe, false, false, "P1:P2", "P1"},
      {"world-writable own folder", "tool", fs::perms(0757), safe, false, false, "P1:P2", "P1"},
      {"group-writable program", "tool", safe, fs::perms(0775), false, false, "P1:P2", "P1"},
      {"world-writable program", "tool", safe, fs::perms(0757), false, false, "P1:P2", "P1"},
      {"own folder of another user", "tool", safe, safe, true, false, "P1:P2", "P1"},
      {"program of another user", "tool", safe, safe, false, true, "P1:P2", "P1"},
      {"not executable in the own folder", "tool", safe, fs::perms(0644), false, false, "P2", "P2"},
      {"PATH in its order", "tool", fs::perms(0775), safe, false, false, "P2:P1", "P2"},
      {"first absolute PATH folder that has it", "only-in-path", safe, safe, false, false, "P2:P1",
       "P2"},
      {"relative PATH entries are skipped", "only-in-cwd", safe, safe, false, false,
       ":.:sub:P1::", ""},
      {"a folder of that name is no program", "folder-name", safe, safe, false, false, "P1", ""},
      {"non-executable file in PATH is skipped", "data", safe, safe, false, false, "P1:P2", "P2"},
      {"a name with a slash", "sub/only-in-cwd", safe, safe, false, false, "P1", ""},
      {"an empty name", "", safe, safe, false, false, "P1", ""},
      {"unknown program", "nowhere", safe, safe, false, false, "P1:P2", ""},
      {"private group may write the own folder and program", "tool", fs::perms(0775),
       fs::perms(0775), false, false, "P1", "own", Group::folders},
      {"another group may write the own folder", "tool", fs::perms(0775), safe, false, false, "P1",
       "P1", Group::another},
      {"another group may write the program", "tool", safe, fs::perms(0775), false, false, "P1",
       "P1", Group::another},
      {"a private group does not make others safe", "tool", fs::perms(0777), safe, false, false,
       "P1", "P1", Group::folders},
      {"libexec/reeftown after the own folder", "lib-tool", safe, safe, false, false, "P2", "lib"},
      {"libexec/reeftown with a private group", "lib-tool", safe, safe, false, false, "P2", "lib",
       Group::folders, fs::perms(0775)},
      {"libexec/reeftown writable by another group", "lib-tool", safe, safe, false, false, "P2",
       "P2", Group::another, fs::perms(0775)},
      {"libexec/reeftown writable by all", "lib-tool", safe, safe, false, false, "P2", "P2",
       Group::none, fs::perms(0757)},
  };
  const bool root = ::geteuid() == 0;
  const fs::path start = fs::current_path();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if ((c.other_owner_folder || c.other_owner_file) && !root) continue;  // needs chown
    TempDir dir;
    const fs::path own = dir.path / "prefix" / "bin";
    const fs::path lib = dir.path / "prefix" / "libexec" / "reeftown";
    const fs::path p1 = dir.path / "p1";
    const fs::path p2 = dir.path / "p2";
    const fs::path cwd = dir.path / "cwd";
    write_script(own / "tool", "exit 0\n", c.own_file_mode);
    fs::permissions(own, c.own_folder_mode);
    if (c.other_owner_folder) {
      ASSERT_EQ(::chown(own.c_str(), NOBODY, NOBODY), 0);
    }
    if (c.other_owner_file) {
      ASSERT_EQ(::chown((own / "tool").c_str(), NOBODY, NOBODY), 0);
    }
    write_script(lib / "lib-tool", "exit 0\n", c.group == Group::none ? safe : fs::perms(0775));
    fs::permissions(lib, c.lib_folder_mode);
    write_script(p2 / "lib-tool", "exit 0\n");
    write_script(p1 / "tool", "exit 0\n");
    write_script(p2 / "tool", "exit 0\n");
    write_script(p2 / "only-in-path", "exit 0\n");
    write_script(p1 / "data", "exit 0\n", fs::perms(0644));
    write_script(p2 / "data", "exit 0\n");
    fs::create_directories(p1 / "folder-name");
    fs::permissions(p1 / "folder-name", fs::perms(0755));
    write_script(cwd / "only-in-cwd", "exit 0\n");
    write_script(cwd / "sub" / "only-in-cwd", "exit 0\n");
    write_script(cwd / "tool", "exit 0\n");

    std::string path_list;
    for (const char* at = c.path_list; *at != '\0'; ++at) {
      if (at[0] == 'P' && (at[1] == '1' || at[1] == '2')) {
        path_list += (at[1] == '1' ? p1 : p2).string();
        ++at;
      } else {
        path_list += *at;
      }
    }
    fs::current_path(cwd);
    struct stat own_info {};
    ASSERT_EQ(::stat(own.c_str(), &own_info), 0);
    const std::optional<gid_t> group =
        c.group == Group::none      ? std::nullopt
        : c.group == Group::folders ? std::optional<gid_t>(own_info.st_gid)
                                    : std::optional<gid_t>(own_info.st_gid + 1);
    const std::optional<fs::path> found = find_program_in(c.program, own, path_list, group);
    fs::current_path(start);

    const std::string want = c.want;
    if (want.empty()) {
      EXPECT_EQ(found, std::nullopt);
    } else {
      const fs::path folder = want == "own" ? own : want == "lib" ? lib : want == "P1" ? p1 : p2;
      EXPECT_EQ(found, folder / c.program);
    }
  }
}

TEST(ProgramSearch, OwnFolderIsTheRunningProgramsFolder) {
  char buffer[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", buffer, sizeof buffer - 1), 0);
  EXPECT_EQ(own_folder(), fs::path(buffer).parent_path());
}

TEST(RunProgram, EveryArgumentArrivesUnchangedAsOne) {
  TempDir dir;
  const fs::path script = dir.path / "echo-args";
  write_script(script, "printf '%s\\0' \"$0\" \"$@\" > \"" + (dir.path / "args").string() + "\"\n");
  const std::vector<std::string> args = {"",
                                         "two words",
                                         "it's \"quoted\"",
                                         "line\nbreak",
                                         "back\\slash",
                                         "\xFF\xFE not utf-8",
                                         "*",
                                         "$HOME",
                                         "-x",
                                         "; rm -rf /"};
  EXPECT_EQ(run_and_wait(script, args), 0);

  std::vector<std::string> got;
  const std::string raw = read_file(dir.path / "args");
  for (std::size_t start = 0, end; (end = raw.find('\0', start)) != std::string::npos;
       start = end + 1)
    got.push_back(raw.substr(start, end - start));
  std::vector<std::string> want = {script.string()};
  want.insert(want.end(), args.begin(), args.end());
  EXPECT_THAT(got, ElementsAreArray(want));
}

TEST(RunProgram, ResultIsTheExitCodeOrNone) {
  TempDir dir;
  write_script(dir.path / "seven", "exit 7\n");
  write_script(dir.path / "killed", "kill -9 $$\n");
  write_file(dir.path / "not-executable", "#!/bin/sh\n");
  EXPECT_EQ(run_and_wait(dir.path / "seven", {}), 7);
  EXPECT_EQ(run_and_wait(dir.path / "killed", {}), std::nullopt);
  EXPECT_EQ(run_and_wait(dir.path / "missing", {}), std::nullopt);
  EXPECT_EQ(run_and_wait(dir.path / "not-executable", {}), std::nullopt);
  EXPECT_EQ(run_program("reeftown-no-such-program", {}), std::nullopt);

  const ScopedEnv path("PATH", dir.path.string());
  EXPECT_EQ(run_program("seven", {}), 7);
}

// The child sees what it was promised, whatever the setup program did to its
// own signals and descriptors: default dispositions, an empty mask, no
// descriptor of ours beyond the three standard ones.
TEST(RunProgram, ChildStartsCleanWithTheChosenStdio) {
  TempDir dir;
  const fs::path report = dir.path / "report";
  const int leaked = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(leaked, 0);
  write_script(
      dir.path / "inspect",
      "in=$(readlink /proc/$$/fd/0); out=$(readlink /proc/$$/fd/1); err=$(readlink /proc/$$/fd/2)\n"
      "{ echo \"$in\"; echo \"$out\"; echo \"$err\";\n"
      "  sed -n 's/^SigBlk:\\t//p; s/^SigIgn:\\t//p' /proc/$$/status;\n"
      "  if [ -e /proc/$$/fd/" +
          std::to_string(leaked) +
          " ]; then echo leaked; else echo closed; fi\n"
          "} > \"" +
          report.string() + "\"\n");
  struct sigaction ignore {};
  struct sigaction old_pipe {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old_pipe);
  sigset_t block;
  sigset_t old_mask;
  ::sigemptyset(&block);
  ::sigaddset(&block, SIGUSR1);
  ::sigprocmask(SIG_BLOCK, &block, &old_mask);

  EXPECT_EQ(run_and_wait(dir.path / "inspect", {}, ChildStdio::Null), 0);
  const std::string with_null = read_file(report);
  EXPECT_EQ(run_and_wait(dir.path / "inspect", {}, ChildStdio::Inherit), 0);
  const std::string inherited = read_file(report);

  ::sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  ::sigaction(SIGPIPE, &old_pipe, nullptr);
  ::close(leaked);

  // Lines: the three standard streams, the blocked and the ignored signals,
  // and whether the extra descriptor reached the child.
  const auto lines = [](const std::string& text) {
    std::vector<std::string> split;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1)
      split.push_back(text.substr(start, end - start));
    return split;
  };
  // glibc's posix_spawn leaves its two internal signals (32 and 33, which
  // glibc programs handle themselves) ignored; every other signal must be
  // at its default.
  const std::uint64_t glibc_internal = 0x180000000ull;
  char own_stderr[4096] = {};
  ASSERT_GT(::readlink("/proc/self/fd/2", own_stderr, sizeof own_stderr - 1), 0);
  for (const auto& [report_text, err_target] : {std::pair{with_null, std::string("/dev/null")},
                                                std::pair{inherited, std::string(own_stderr)}}) {
    const std::vector<std::string> got = lines(report_text);
    ASSERT_EQ(got.size(), 6u) << report_text;
    if (err_target == "/dev/null") {
      EXPECT_EQ(got[0], "/dev/null");
      EXPECT_EQ(got[1], "/dev/null");
    }
    EXPECT_EQ(got[2], err_target);
    EXPECT_EQ(std::stoull(got[3], nullptr, 16), 0u) << "blocked: " << got[3];
    EXPECT_EQ(std::stoull(got[4], nullptr, 16) & ~glibc_internal, 0u) << "ignored: " << got[4];
    EXPECT_EQ(got[5], "closed");
  }
}

// A searched program started in a session of its own with standard input on
// /dev/null; the call does not wait for it (the child waits for the test's
// go file), and leaves no child behind, zombie or running.
TEST(StartDetached, SearchedProgramRunsInItsOwnSessionAndIsNotOurs) {
  TempDir dir;
  const fs::path go = dir.path / "go";
  const fs::path report = dir.path / "report";
  write_script(dir.path / "bin" / "detached",
               "PATH=/usr/bin:/bin\ni=0; while [ ! -e \"" + go.string() +
                   "\" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n"
                   "{ echo \"$# $1 $2\"; readlink /proc/$$/fd/0;\n"
                   "  [ \"$(cut -d' ' -f6 /proc/$$/stat)\" = \"$$\" ] && echo leader; } > \"" +
                   report.string() + ".part\"\nmv \"" + report.string() + ".part\" \"" +
                   report.string() + "\"\n");
  fs::permissions(dir.path / "bin", fs::perms(0755));
  const ScopedEnv path("PATH", (dir.path / "bin").string());

  ASSERT_TRUE(start_program_detached("detached", {"/C", "two words"}));
  EXPECT_FALSE(fs::exists(report));
  EXPECT_TRUE(has_no_child());
  write_file(go, "");
  EXPECT_EQ(wait_for_file(report), "2 /C two words\n/dev/null\nleader\n");

  EXPECT_FALSE(start_program_detached("reeftown-no-such-program", {}));
  EXPECT_TRUE(has_no_child());
}

TEST(StartDetached, ProgramByPathStartsInTheWorkingFolderWithoutArguments) {
  TempDir dir;
  const fs::path report = dir.path / "report";
  write_script(dir.path / "game", "{ echo \"$#\"; pwd; } > \"" + report.string() +
                                      ".part\"\nmv \"" + report.string() + ".part\" \"" +
                                      report.string() + "\"\n");
  fs::create_directories(dir.path / "install dir");

  ASSERT_TRUE(start_detached(dir.path / "game", dir.path / "install dir"));
  EXPECT_TRUE(has_no_child());
  EXPECT_EQ(wait_for_file(report), "0\n" + (dir.path / "install dir").string() + "\n");

  EXPECT_FALSE(start_detached(dir.path / "missing", dir.path));
  EXPECT_FALSE(start_detached(dir.path / "game", dir.path / "no such folder"));
  EXPECT_TRUE(has_no_child());
}

}  // namespace
