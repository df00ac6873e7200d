#include "cmd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fs_ops.hpp"
#include "platform/protected_folders.hpp"
#include "platform/unique_fd.hpp"
#include "script_cursor.hpp"

namespace {

namespace fs = std::filesystem;

}  // namespace

std::optional<DelayedRemoval> parse_delayed_removal(std::string_view command) {
  Cursor in{command};
  if (!in.literal("timeout /t ")) return std::nullopt;
  DelayedRemoval removal;
  std::size_t digits = 0;
  while (digits < in.rest.size() && in.rest[digits] >= '0' && in.rest[digits] <= '9') {
    removal.seconds = removal.seconds * 10 + static_cast<unsigned>(in.rest[digits] - '0');
    if (++digits > 5) return std::nullopt;  // timeout accepts at most 99999
  }
  if (digits == 0) return std::nullopt;
  in.rest.remove_prefix(digits);
  if (!in.literal(" /nobreak >nul & rmdir /s /q \"")) return std::nullopt;
  if (in.rest.size() < 2 || !in.rest.ends_with('"')) return std::nullopt;
  removal.folder = in.rest.substr(0, in.rest.size() - 1);
  if (removal.folder.find('"') != std::string::npos) return std::nullopt;
  return removal;
}

std::optional<ErrorText> removal_refusal(const fs::path& folder, const std::vector<fs::path>& homes) {
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) return "The system cannot find the file specified.";
  if (!S_ISDIR(info.st_mode)) return "The directory name is invalid.";
  if (is_root_or_above_home(info, homes))
    return "Access is denied: " + folder.string() + " is the root, the home folder or above it.";
  return std::nullopt;
}

std::expected<void, ErrorText> remove_folder_tree(const fs::path& folder,
                                                  const std::vector<fs::path>& homes) {
  if (std::optional<ErrorText> refused = removal_refusal(folder, homes))
    return std::unexpected(*refused);

  // Open the last name without following a link, and judge what was opened.
  fs::path lexical = folder;
  while (!lexical.has_filename() && lexical.has_relative_path()) lexical = lexical.parent_path();
  const fs::path name = lexical.filename();
  if (name.empty() || name == "." || name == "..")
    return std::unexpected(
        "The process cannot access the file because it is being used by another process.");
  const fs::path parent = lexical.has_parent_path() ? lexical.parent_path() : fs::path(".");
  const UniqueFd parent_fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent_fd) return std::unexpected(path_failure_text("cannot open", parent, errno));
  UniqueFd fd(::openat(parent_fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return std::unexpected("The directory name is invalid.");
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || is_root_or_above_home(info, homes))
    return std::unexpected("Access is denied.");

  std::optional<ErrorText> first_error = empty_open_folder(fd.get(), folder);
  fd.reset();
  if (::unlinkat(parent_fd.get(), name.c_str(), AT_REMOVEDIR) != 0 && !first_error)
    first_error = path_failure_text("cannot remove", folder, errno);
  if (first_error) return std::unexpected(*first_error);
  return {};
}
