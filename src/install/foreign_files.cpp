#include "install/foreign_files.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/utf8.hpp"
#include "platform/whole_file.hpp"
#include "release/install_layout.hpp"
#include "release/installed_release.hpp"

namespace {

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};

// The running setup program, by identity: the user may well have put it in
// the folder that it is asked to install into, under any name.
std::optional<FileIdentity> running_program() {
  struct stat st {};
  if (::stat("/proc/self/exe", &st) != 0) return std::nullopt;
  return FileIdentity{st.st_dev, st.st_ino};
}

struct FirstInstallWalk {
  std::unordered_set<std::string> owned_keys;
  std::optional<FileIdentity> program;
};

// The paths that release information the program itself left names, whether
// or not its signature still verifies: the folder's own ".manifest.json" and
// the copy that a swap writes into the stage folder before it moves anything.
void add_paths_of_own_release_files(const std::filesystem::path& install_dir,
                                    const WorkFolders& folders, FirstInstallWalk& walk) {
  // The staged copy lies in a work folder that another user may write: only
  // one that this user wrote may vouch for files in the install folder.
  const std::array<std::optional<std::string>, 2> texts = {
      read_regular_file(install_dir / MANIFEST_FILE, INSTALLED_MANIFEST_LIMIT),
      read_work_file(folders.stage_dir / STAGED_MANIFEST_FILE, INSTALLED_MANIFEST_LIMIT)};
  for (const std::optional<std::string>& text : texts)
    if (text)
      for (const std::string& path : unverified_file_paths(*text))
        walk.owned_keys.insert(scan_path_key(path));
}

// Files a first install may find in its folder and take over: the target's
// own, those that the program's own release information names (a first
// install killed during its swap, a damaged ".manifest.json"), the release
// files at the top, and the running setup program.
bool may_take_over(const FirstInstallWalk& walk, const std::string& raw_relative,
                   const std::filesystem::path& path, bool top) {
  if (walk.owned_keys.contains(scan_path_key(utf8_lossy(raw_relative)))) return true;
  if (top && std::ranges::find(RELEASE_FILES, raw_relative) != RELEASE_FILES.end()) return true;
  struct stat st {};
  return walk.program && ::stat(path.c_str(), &st) == 0 && st.st_dev == walk.program->device &&
         st.st_ino == walk.program->inode;
}

}  // namespace

bool holds_foreign_files(const std::filesystem::path& install_dir, const WorkFolders& folders,
                         const ReleaseInfo& target) {
  FirstInstallWalk walk;
  for (const FileEntry& file : target.files) walk.owned_keys.insert(scan_path_key(file.path));
  add_paths_of_own_release_files(install_dir, folders, walk);
  walk.program = running_program();

  struct Pending {
    std::filesystem::path path;
    std::string relative_prefix;  // raw name bytes below install_dir, each followed by '/'
  };
  std::vector<Pending> stack;
  stack.push_back({install_dir, ""});
  while (!stack.empty()) {
    Pending folder = std::move(stack.back());
    stack.pop_back();
    const bool top = folder.relative_prefix.empty();
    const int fd = ::open(folder.path.c_str(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC | (top ? 0 : O_NOFOLLOW));
    // Nothing there yet, or no folder at all: the folder creation reports the latter.
    if (fd < 0 && top && (errno == ENOENT || errno == ENOTDIR)) return false;
    DIR* listing = fd < 0 ? nullptr : ::fdopendir(fd);
    if (listing == nullptr) {
      if (fd >= 0) ::close(fd);
      return true;
    }
    bool foreign = false;
    errno = 0;
    while (const dirent* entry = ::readdir(listing)) {
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      std::filesystem::path path = folder.path / name;
      std::string raw_relative = folder.relative_prefix;
      raw_relative += name;
      struct stat st {};
      if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        stack.push_back({std::move(path), raw_relative + '/'});
      } else if (!may_take_over(walk, raw_relative, path, top)) {
        foreign = true;
        break;
      }
      errno = 0;
    }
    if (!foreign && errno != 0) foreign = true;  // the listing broke off
    ::closedir(listing);
    if (foreign) return true;
  }
  return false;
}
