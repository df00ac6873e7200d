// The lock that keeps two runs of the program out of the same folders. No
// state beyond the lock itself; safe on any thread.
#pragma once

#include <filesystem>

#include "platform/unique_fd.hpp"

// An exclusive advisory lock (flock) on a folder, held while the value lives
// (the lock goes with its descriptor) and never inherited by a child.
struct FolderLock {
  UniqueFd fd;
};

struct LockAttempt {
  enum State { locked, busy, no_folder, failed };
  State state = no_folder;
  FolderLock lock;
  int error = 0;  // the errno of an open (no_folder) or a lock (failed) that failed
};

// Takes the lock without waiting: busy when another process holds it,
// no_folder when the folder cannot be opened (nothing there to guard yet),
// failed when the system refuses the lock itself.
LockAttempt try_lock_folder(const std::filesystem::path& folder);
