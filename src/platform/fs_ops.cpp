#include "platform/fs_ops.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/errno_text.hpp"

namespace {

// The names in the open folder `fd`, read whole before anything is removed,
// since a listing that changes while it is read may skip or repeat names.
// The folder's descriptor stays open; the errno of a listing that could not
// be read to its end, 0 when it was.
int list_names(int fd, std::vector<std::string>& names) {
  const int listing_fd = ::dup(fd);
  if (listing_fd < 0) return errno;
  DIR* listing = ::fdopendir(listing_fd);
  if (listing == nullptr) {
    const int error = errno;
    ::close(listing_fd);
    return error;
  }
  ::rewinddir(listing);
  errno = 0;
  while (const dirent* entry = ::readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      names.emplace_back(entry->d_name);
    errno = 0;
  }
  const int error = errno;
  ::closedir(listing);
  return error;
}

bool remove_folder(const std::filesystem::path& path, bool folders_only) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  const bool emptied = !empty_open_folder(fd, path, folders_only);
  ::close(fd);
  return emptied && ::rmdir(path.c_str()) == 0;
}

}  // namespace

std::string path_failure_text(std::string_view what, const std::filesystem::path& path, int error) {
  std::string text(what);
  text += ' ';
  text += path.string();
  text += ": ";
  text += errno_text(error);
  return text;
}

std::optional<std::string> empty_open_folder(int fd, const std::filesystem::path& shown,
                                             bool folders_only) {
  std::optional<std::string> first_error;
  const auto note = [&first_error](std::string_view what, const std::filesystem::path& path,
                                   int error) {
    if (!first_error) first_error = path_failure_text(what, path, error);
  };
  std::vector<std::string> names;
  if (const int error = list_names(fd, names)) note("cannot list", shown, error);
  for (const std::string& name : names) {
    // A folder cannot be unlinked; any other entry, a link included, goes
    // here unless only folders may go.
    int unlink_error = EISDIR;
    if (!folders_only) {
      if (::unlinkat(fd, name.c_str(), 0) == 0) continue;
      unlink_error = errno;
      if (unlink_error == ENOENT) continue;
    }
    const int sub = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub >= 0) {
      std::optional<std::string> inner = empty_open_folder(sub, shown / name, folders_only);
      if (inner && !first_error) first_error = std::move(inner);
      ::close(sub);
    } else if (errno == ENOENT) {
      continue;
    } else if (errno == ENOTDIR || errno == ELOOP) {
      // No folder: a file or link that could not be unlinked, or one kept
      // when only folders go, which keeps its folder too.
      if (folders_only)
        note("cannot remove", shown, ENOTEMPTY);
      else
        note("cannot remove", shown / name, unlink_error);
      continue;
    }
    // A folder that could not be opened may still be empty.
    if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0) note("cannot remove", shown / name, errno);
  }
  return first_error;
}
bool remove_tree(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) == 0) return true;
  if (errno == ENOENT) return true;
  return remove_folder(path, false);
}

bool remove_empty_folders(const std::filesystem::path& path) { return remove_folder(path, true); }

namespace {

std::error_code errno_code(int error = errno) { return std::error_code(error, std::generic_category()); }

}  // namespace

std::expected<int, std::error_code> create_fresh_file(const std::filesystem::path& base,
                                                      std::string_view relative, mode_t mode) {
  std::error_code error;
  std::filesystem::create_directories(base, error);
  if (error) return std::unexpected(error);
  int folder = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return std::unexpected(errno_code());
  std::string_view rest = relative;
  for (;;) {
    while (rest.starts_with('/')) rest.remove_prefix(1);
    const std::size_t slash = rest.find('/');
    const std::string name(rest.substr(0, slash));
    if (slash == std::string_view::npos) {
      if (::unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT) {
        const int saved = errno;  // a folder there, say
        ::close(folder);
        return std::unexpected(errno_code(saved));
      }
      const int fd = ::openat(folder, name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      const int saved = errno;
      ::close(folder);
      if (fd < 0) return std::unexpected(errno_code(saved));
      return fd;
    }
    rest.remove_prefix(slash + 1);
    if (name.empty() || name == ".") continue;
    if (::mkdirat(folder, name.c_str(), 0777) != 0 && errno != EEXIST) {
      const int saved = errno;
      ::close(folder);
      return std::unexpected(errno_code(saved));
    }
    const int sub = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int saved = errno;
    ::close(folder);
    if (sub < 0) return std::unexpected(errno_code(saved));
    folder = sub;
  }
}

std::expected<bool, std::error_code> make_own_folder(const std::filesystem::path& path) {
  std::error_code error;
  if (path.has_relative_path() && path.has_parent_path())
    std::filesystem::create_directories(path.parent_path(), error);
  if (error) return std::unexpected(error);
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  if (errno != EEXIST) return std::unexpected(errno_code());
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return std::unexpected(errno_code());
  return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid();
}

int write_all(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

std::error_code write_fresh_file(const std::filesystem::path& folder, std::string_view name,
                                 std::span<const std::uint8_t> bytes, mode_t mode) {
  const auto created = create_fresh_file(folder, name, mode);
  if (!created) return created.error();
  if (const int error = write_all(*created, bytes.data(), bytes.size())) {
    ::close(*created);
    return errno_code(error);
  }
  // Linux closes the descriptor even when close is interrupted.
  if (::close(*created) != 0 && errno != EINTR) return errno_code();
  return {};
}

std::expected<int, std::error_code> open_regular_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(errno == ELOOP ? errno_code(ENOENT) : errno_code());
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::unexpected(errno_code(S_ISDIR(info.st_mode) ? EISDIR : ENOENT));
  }
  return fd;
}
