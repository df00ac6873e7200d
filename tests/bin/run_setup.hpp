// Runs the built setup program as a user would: its arguments, its standard
// input from a file, and what it leaves on its two output streams.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/temp_dir.hpp"

extern char** environ;

struct SetupRun {
  int exit_code = -1;
  std::string out;
  std::string err;
  off_t input_consumed = -1;  // bytes of standard input that the program read
};

// `input` none: the program starts with its standard input closed.
inline SetupRun run_setup(const std::vector<std::string>& args,
                          const std::optional<std::string>& input = "") {
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

  std::vector<std::string> argv_text = {REEFTOWN_SETUP_BINARY};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  SetupRun run;
  pid_t pid = 0;
  if (::posix_spawn(&pid, REEFTOWN_SETUP_BINARY, &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  if (input) run.input_consumed = ::lseek(in, 0, SEEK_CUR);
  ::close(in);
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  return run;
}
