// The process's view of the system: processor count, sleeping and the
// environment. No state; safe on any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

// Logical processors that the system reports; 0 when it reports none.
unsigned logical_processor_count();

// Blocks the calling thread for `seconds`.
void sleep_seconds(unsigned seconds);

// The value of the environment variable `name` as raw bytes; none when it is
// not set. Whether the bytes are valid text is the caller's business.
std::optional<std::string> environment_variable(const char* name);

// Makes sure descriptors 0 to 2 exist (on /dev/null when closed), so that no
// file the program opens later can become its standard error, and ignores
// SIGPIPE, so that a reader of standard error that went away cannot end the
// program in the middle of a swap. The first thing main does.
void prepare_process();

// An exclusive advisory lock (flock) on a folder, held while the value lives
// and never inherited by a child.
struct FolderLock {
  int fd = -1;
  FolderLock() = default;
  FolderLock(FolderLock&& other) noexcept;
  FolderLock& operator=(FolderLock&& other) noexcept;
  ~FolderLock();
};

struct LockAttempt {
  enum State { locked, busy, no_folder };
  State state = no_folder;
  FolderLock lock;
};

// Takes the lock without waiting: busy when another process holds it,
// no_folder when the folder cannot be opened (nothing there to guard yet).
LockAttempt try_lock_folder(const std::filesystem::path& folder);
