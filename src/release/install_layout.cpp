#include "release/install_layout.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <system_error>

#include <sys/stat.h>

namespace {

std::string fold_a_to_z(std::string_view text) {
  std::string folded(text);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

}  // namespace

std::string scan_path_key(std::string_view path) {
  std::string key;
  key.reserve(path.size());
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t slash = path.find('/', at);
    if (slash == std::string_view::npos) slash = path.size();
    const std::string_view name = path.substr(at, slash - at);
    if (!name.empty() && name != ".") {
      if (!key.empty()) key += '/';
      key += fold_a_to_z(name);
    }
    at = slash + 1;
  }
  return key;
}

bool names_release_file(std::string_view path) {
  return std::ranges::find(RELEASE_FILES, scan_path_key(path)) != RELEASE_FILES.end();
}

std::filesystem::path without_trailing_slashes(const std::filesystem::path& path) {
  std::string text = path.native();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::optional<std::filesystem::path> install_parent(const std::filesystem::path& install_dir) {
  // Path text, not path components: std::filesystem::path::parent_path gives
  // "a/b" for "a/b/", where the trailing '/' is no component of its own.
  std::string_view text = install_dir.native();
  while (text.size() > 1 && text.back() == '/') text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  const std::size_t slash = text.rfind('/');
  if (slash == std::string_view::npos) return std::filesystem::path();
  if (slash + 1 == text.size()) return std::nullopt;  // only slashes: the root
  std::string_view parent = text.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  if (parent.empty()) return std::filesystem::path("/");
  return std::filesystem::path(std::string(parent));
}

namespace {

// True when `install_dir` is a link whose own folder `parent` lies on the
// file system of the folder it leads to: the swap's renames work from there,
// and the link's folder is the user's, where the real folder's parent may
// belong to someone else.
bool link_beside_its_target(const std::filesystem::path& install_dir,
                            const std::filesystem::path& parent) {
  const std::filesystem::path text = without_trailing_slashes(install_dir);
  struct stat link {};
  struct stat target {};
  struct stat folder {};
  return ::lstat(text.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
         ::stat(text.c_str(), &target) == 0 &&
         ::stat(parent.empty() ? "." : parent.c_str(), &folder) == 0 &&
         folder.st_dev == target.st_dev;
}

}  // namespace

std::expected<WorkFolders, ErrorText> work_folders(const std::filesystem::path& install_dir) {
  std::optional<std::filesystem::path> parent = install_parent(install_dir);
  if (!parent) return std::unexpected(ErrorText(BAD_FOLDER_TEXT));
  std::error_code error;
  const std::filesystem::path real = std::filesystem::canonical(install_dir, error);
  if (!error) {
    // The real folder's parent; the root itself has none.
    std::optional<std::filesystem::path> real_parent = install_parent(real);
    if (!real_parent) return std::unexpected(ErrorText(BAD_FOLDER_TEXT));
    if (!link_beside_its_target(install_dir, *parent)) parent = std::move(real_parent);
  }
  WorkFolders folders;
  folders.parent = *parent;
  folders.cache_dir = *parent / CACHE_DIR_NAME;
  folders.stage_dir = *parent / STAGE_DIR_NAME;
  folders.old_dir = *parent / OLD_DIR_NAME;
  return folders;
}
