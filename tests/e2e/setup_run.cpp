#include "e2e/setup_run.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string_view>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/temp_dir.hpp"

extern char** environ;

SetupProcess start_setup(const std::filesystem::path& binary, const std::vector<std::string>& args,
                         const EnvChanges& env, const std::string& input,
                         const std::filesystem::path& work, ErrStream err) {
  static_assert(sizeof(pid_t) <= sizeof(long));
  SetupProcess process;
  std::filesystem::create_directories(work);
  const std::string tag = std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  const std::filesystem::path in_path = work / ("stdin-" + tag);
  process.err_path = work / ("stderr-" + tag);
  write_file(in_path, input);

  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    if (!env.contains(name)) env_text.push_back(entry);
  }
  for (const auto& [name, value] : env)
    if (value) env_text.push_back(name + "=" + *value);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::vector<std::string> argv_text = {binary.string()};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  int pipe_ends[2] = {-1, -1};
  switch (err) {
    case ErrStream::file:
      posix_spawn_file_actions_addopen(&actions, 2, process.err_path.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
      break;
    case ErrStream::closed: posix_spawn_file_actions_addclose(&actions, 2); break;
    case ErrStream::broken_pipe:
      if (::pipe2(pipe_ends, O_CLOEXEC) == 0) {
        ::close(pipe_ends[0]);
        posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 2);
      }
      break;
  }
  if (::posix_spawn(&process.pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
    process.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (pipe_ends[1] >= 0) ::close(pipe_ends[1]);
  return process;
}

SetupExit wait_setup(const SetupProcess& process, std::chrono::milliseconds bound) {
  SetupExit result;
  if (process.pid <= 0) return result;
  int status = 0;
  const bool ended = wait_until(
      [&] { return ::waitpid(process.pid, &status, WNOHANG) == process.pid; }, bound);
  if (!ended) {
    result.timed_out = true;
    ::kill(process.pid, SIGKILL);
    ::waitpid(process.pid, &status, 0);
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.err = read_file(process.err_path);
  return result;
}

std::string without_progress(const std::string& err) {
  // Each redraw starts with a carriage return and ends at its own last words.
  struct Redraw {
    std::string_view start;
    std::string_view end;
  };
  constexpr Redraw REDRAWS[] = {{"\r  downloading ", " min left   "},
                                {"\r  building files ", "   "}};
  std::string kept;
  std::size_t at = 0;
  while (at < err.size()) {
    bool skipped = false;
    for (const Redraw& redraw : REDRAWS) {
      if (err.compare(at, redraw.start.size(), redraw.start) != 0) continue;
      const std::size_t end = err.find(redraw.end, at + redraw.start.size());
      if (end == std::string::npos) continue;
      at = end + redraw.end.size();
      skipped = true;
      break;
    }
    if (!skipped) kept.push_back(err[at++]);
  }
  return kept;
}
