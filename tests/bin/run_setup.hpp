// Runs the built setup program as a user would: its arguments, its standard
// input from a file, and what it leaves on its two output streams. A program
// that does not end in time is killed, and the test fails rather than hangs.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"
#include "support/wait_until.hpp"

extern char** environ;

struct SetupRun {
  int exit_code = -1;
  std::string out;
  std::string err;
  off_t input_consumed = -1;  // bytes of standard input that the program read
};

// Waits for `pid` until `timeout` has passed; then kills it. The wait status,
// or none when the program had to be killed.
inline std::optional<int> wait_bounded(pid_t pid, std::chrono::seconds timeout) {
  int status = 0;
  pid_t done = 0;
  if (wait_until([&] { return (done = ::waitpid(pid, &status, WNOHANG)) != 0; }, timeout)) {
    if (done == pid) return status;
    return std::nullopt;
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return std::nullopt;
}

// `input` none: the program starts with its standard input closed.
// `working_dir` empty: the test's own working folder.
inline SetupRun run_setup(const std::vector<std::string>& args,
                          const std::optional<std::string>& input = "",
                          const std::filesystem::path& working_dir = {},
                          std::chrono::seconds timeout = std::chrono::seconds(60)) {
  TempDir work;
  write_file(work.path / "stdin", input.value_or(""));
  const int in = ::open((work.path / "stdin").c_str(), O_RDONLY | O_CLOEXEC);
  const std::string out_path = (work.path / "stdout").string();
  const std::string err_path = (work.path / "stderr").string();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The child shares the open file, so its offset afterwards tells how far it read.
  if (input) {
    posix_spawn_file_actions_adddup2(&actions, in, 0);
  } else {
    posix_spawn_file_actions_addclose(&actions, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!working_dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, working_dir.c_str());

  std::vector<std::string> argv_text = {REEFTOWN_SETUP_BINARY};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  SetupRun run;
  pid_t pid = 0;
  if (::posix_spawn(&pid, REEFTOWN_SETUP_BINARY, &actions, nullptr, argv.data(), environ) == 0) {
    const std::optional<int> status = wait_bounded(pid, timeout);
    if (!status) {
      ADD_FAILURE() << "the program did not end within " << timeout.count() << " s";
    } else if (WIFEXITED(*status)) {
      run.exit_code = WEXITSTATUS(*status);
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  if (input) run.input_consumed = ::lseek(in, 0, SEEK_CUR);
  ::close(in);
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  return run;
}
