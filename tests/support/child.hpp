// Work in a forked child, for tests about permissions and limits: root is
// held to neither, and CI runs as root, so such a test gives root up in a
// child and lets the parent judge the folders afterwards.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

inline constexpr uid_t NOBODY = 65534;

// Becomes "nobody" when running as root; any other user stays as it is.
inline bool drop_root() {
  if (::geteuid() != 0) return true;
  return ::setgid(NOBODY) == 0 && ::setuid(NOBODY) == 0;
}

// Hands `root` and everything below it to "nobody" when running as root.
inline bool give_to_nobody(const std::filesystem::path& root) {
  if (::geteuid() != 0) return true;
  if (::lchown(root.c_str(), NOBODY, NOBODY) != 0) return false;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       !error && it != std::filesystem::end(it); it.increment(error))
    if (::lchown(it->path().c_str(), NOBODY, NOBODY) != 0) return false;
  return !error;
}

// Runs `work` in a child process after `prepare` (dropping root, lowering a
// limit) and gives back the text that `work` returned; "child failed" when
// `prepare` failed or the child did not end normally.
template <typename Prepare, typename Work>
std::string in_child(const Prepare& prepare, const Work& work) {
  int channel[2];
  if (::pipe(channel) != 0) return "no pipe";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    if (!prepare()) ::_exit(2);
    const std::string text = work();
    if (::write(channel[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) ::_exit(3);
    ::_exit(0);
  }
  ::close(channel[1]);
  std::string text;
  char block[4096];
  for (ssize_t n; (n = ::read(channel[0], block, sizeof block)) > 0;)
    text.append(block, static_cast<std::size_t>(n));
  ::close(channel[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    return "child failed";
  return text;
}
