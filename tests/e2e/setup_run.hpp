// Runs the built setup program as a user would, in the background or to its
// end, with an environment of the test's choosing; every wait is bounded so
// that a hang fails the test instead of the suite.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "support/wait_until.hpp"

struct SetupProcess {
  pid_t pid = -1;
  std::filesystem::path err_path;
};

struct SetupExit {
  int exit_code = -1;  // -1 when it ended by a signal or did not end in time
  int signal = 0;
  bool timed_out = false;
  std::string err;
};

// Environment changes for the child: a value sets the variable, none unsets it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// Where the child's standard error goes.
enum class ErrStream {
  file,         // a file in the work folder, read back by wait_setup
  closed,       // no descriptor 2 at all
  broken_pipe,  // a pipe whose reader has gone
};

// Starts `binary` with `args`; standard input reads `input`, standard output
// is dropped.
SetupProcess start_setup(const std::filesystem::path& binary, const std::vector<std::string>& args,
                         const EnvChanges& env, const std::string& input,
                         const std::filesystem::path& work, ErrStream err = ErrStream::file);

// Waits at most `bound`; a process still running then is killed.
SetupExit wait_setup(const SetupProcess& process,
                     std::chrono::milliseconds bound = std::chrono::seconds(120));

// Removes what the program draws over and over in place: the download and
// build progress texts, so that the rest can be compared as exact text.
std::string without_progress(const std::string& err);
