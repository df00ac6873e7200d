#include "release/install_layout.hpp"

#include <string>
#include <system_error>

std::optional<std::filesystem::path> install_parent(const std::filesystem::path& install_dir) {
  std::string text = install_dir.native();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  if (text.empty()) return std::nullopt;
  const std::size_t slash = text.rfind('/');
  if (slash == std::string::npos) return std::filesystem::path();
  std::string last = text.substr(slash + 1);
  if (last.empty()) return std::nullopt;  // only slashes: the root
  std::string parent = text.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  if (parent.empty()) parent = "/";
  return std::filesystem::path(parent);
}

std::expected<WorkFolders, ErrorText> work_folders(const std::filesystem::path& install_dir) {
  std::optional<std::filesystem::path> parent = install_parent(install_dir);
  if (!parent) return std::unexpected(ErrorText(BAD_FOLDER_TEXT));
  std::error_code error;
  const std::filesystem::path real = std::filesystem::canonical(install_dir, error);
  if (!error) {
    // The real folder's parent; the root itself has none.
    std::optional<std::filesystem::path> real_parent = install_parent(real);
    if (!real_parent) return std::unexpected(ErrorText(BAD_FOLDER_TEXT));
    parent = std::move(real_parent);
  }
  WorkFolders folders;
  folders.parent = *parent;
  folders.cache_dir = *parent / CACHE_DIR_NAME;
  folders.stage_dir = *parent / STAGE_DIR_NAME;
  folders.old_dir = *parent / OLD_DIR_NAME;
  return folders;
}
