#include "platform/process.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Owned by this user or by root, and writable by nobody else: nobody else
// can have put it there or changed it. Write access for `private_group`
// gives nobody else a way in.
bool safe_from_others(const struct stat& info, std::optional<gid_t> private_group) {
  const bool owner_trusted = info.st_uid == ::geteuid() || info.st_uid == 0;
  if (!owner_trusted || (info.st_mode & S_IWOTH) != 0) return false;
  return (info.st_mode & S_IWGRP) == 0 || (private_group && info.st_gid == *private_group);
}

// The stat of `file` when it is a regular file that this process may execute.
std::optional<struct stat> executable_file(const fs::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  if (::faccessat(AT_FDCWD, file.c_str(), X_OK, AT_EACCESS) != 0) return std::nullopt;
  return info;
}

// `folder`/`name` when the folder and the program in it are safe from
// others.
std::optional<fs::path> trusted_program(const fs::path& folder, std::string_view name,
                                        std::optional<gid_t> private_group) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
      !safe_from_others(info, private_group))
    return std::nullopt;
  fs::path candidate = folder / name;
  const std::optional<struct stat> file = executable_file(candidate);
  if (!file || !safe_from_others(*file, private_group)) return std::nullopt;
  return candidate;
}

struct Launch {
  ChildStdio stdio = ChildStdio::Inherit;
  bool stdin_null = false;
  bool new_session = false;
  const fs::path* working_dir = nullptr;
};

std::optional<int> wait_exit_code(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::nullopt;
  }
  if (!WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

// Starts `program` with argv[0] `arg0` and `args`. Not detached: waits and
// gives the exit code. Detached: an intermediate process starts the child
// and ends at once, so the child is reaped by the system, never by us; the
// result is 0 when the child started.
std::optional<int> spawn(const fs::path& program, std::string_view arg0,
                         const std::vector<std::string>& args, const Launch& how, bool detached) {
  std::vector<std::string> argv_text;
  argv_text.reserve(args.size() + 1);
  argv_text.emplace_back(arg0);
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(argv_text.size() + 1);
  for (std::string& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  ::posix_spawnattr_init(&attr);
  ::posix_spawn_file_actions_init(&actions);

  // The setup program ignores SIGPIPE; its children must not inherit that.
  sigset_t all;
  sigset_t none;
  ::sigfillset(&all);
  ::sigemptyset(&none);
  ::posix_spawnattr_setsigdefault(&attr, &all);
  ::posix_spawnattr_setsigmask(&attr, &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (how.new_session) flags |= POSIX_SPAWN_SETSID;
  ::posix_spawnattr_setflags(&attr, flags);

  if (how.stdio == ChildStdio::Null || how.stdin_null)
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (how.stdio == ChildStdio::Null) {
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  // Nothing of ours but the three standard streams reaches a child.
  ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (how.working_dir != nullptr)
    ::posix_spawn_file_actions_addchdir_np(&actions, how.working_dir->c_str());

  std::optional<int> result;
  if (!detached) {
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ) == 0)
      result = wait_exit_code(pid);
  } else {
    const pid_t middle = ::fork();
    if (middle == 0) {
      pid_t pid = 0;
      const int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
      ::_exit(rc == 0 ? 0 : 1);
    }
    if (middle > 0) {
      const std::optional<int> code = wait_exit_code(middle);
      if (code == 0) result = 0;
    }
  }
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attr);
  return result;
}

}  // namespace

std::optional<fs::path> own_folder() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return std::nullopt;
  const fs::path exe(std::string(buffer, static_cast<std::size_t>(n)));
  if (!exe.is_absolute()) return std::nullopt;
  return exe.parent_path();
}

std::optional<gid_t> private_group() {
  // Far more than any real entry needs; a longer one only costs the trust.
  std::vector<char> text(16384);
  passwd user {};
  passwd* found = nullptr;
  const uid_t uid = ::geteuid();
  if (::getpwuid_r(uid, &user, text.data(), text.size(), &found) != 0 || found == nullptr)
    return std::nullopt;
  const gid_t gid = user.pw_gid;
  const std::string user_name = user.pw_name;

  group primary {};
  group* group_found = nullptr;
  if (::getgrgid_r(gid, &primary, text.data(), text.size(), &group_found) != 0 ||
      group_found == nullptr)
    return std::nullopt;
  for (char** member = primary.gr_mem; *member != nullptr; ++member)
    if (user_name != *member) return std::nullopt;

  // Nor may another account have it as its own primary group.
  bool alone = true;
  ::setpwent();
  passwd other {};
  passwd* next = nullptr;
  while (alone && ::getpwent_r(&other, text.data(), text.size(), &next) == 0 && next != nullptr)
    alone = other.pw_gid != gid || other.pw_uid == uid;
  ::endpwent();
  if (!alone) return std::nullopt;
  return gid;
}

std::optional<fs::path> find_program_in(std::string_view name, const std::optional<fs::path>& own,
                                        std::string_view path_list,
                                        std::optional<gid_t> writable_group) {
  if (name.empty() || name.find('/') != std::string_view::npos || name == "." || name == "..")
    return std::nullopt;

  if (own) {
    for (const fs::path& folder : {*own, own->parent_path() / STANDIN_FOLDER_FROM_PREFIX})
      if (auto program = trusted_program(folder, name, writable_group)) return program;
  }

  // Empty, "." and other relative entries would mean the working folder.
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path_list.find(':', start);
    const std::string_view entry =
        path_list.substr(start, end == std::string_view::npos ? end : end - start);
    if (!entry.empty() && entry.front() == '/') {
      const fs::path candidate = fs::path(entry) / name;
      if (executable_file(candidate)) return candidate;
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<fs::path> find_program(std::string_view name) {
  const char* path_list = std::getenv("PATH");
  return find_program_in(name, own_folder(), path_list == nullptr ? "" : path_list);
}

std::optional<int> run_and_wait(const fs::path& program, const std::vector<std::string>& args,
                                ChildStdio stdio) {
  return spawn(program, program.native(), args, Launch{.stdio = stdio}, false);
}

std::optional<int> run_program(std::string_view name, const std::vector<std::string>& args,
                               ChildStdio stdio) {
  const std::optional<fs::path> program = find_program(name);
  if (!program) return std::nullopt;
  return spawn(*program, name, args, Launch{.stdio = stdio}, false);
}

bool start_program_detached(std::string_view name, const std::vector<std::string>& args) {
  const std::optional<fs::path> program = find_program(name);
  if (!program) return false;
  return spawn(*program, name, args, Launch{.stdin_null = true, .new_session = true}, true)
      .has_value();
}

bool start_detached(const fs::path& program, const fs::path& working_dir) {
  return spawn(program, program.native(), {}, Launch{.working_dir = &working_dir}, true)
      .has_value();
}
