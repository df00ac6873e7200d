#include "support/temp_dir.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// True when every folder from the root down to `folder` lets others pass.
bool others_can_pass(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::path walked = std::filesystem::canonical(folder, ec);
  if (ec) return false;
  for (;;) {
    struct stat info {};
    if (::stat(walked.c_str(), &info) != 0 || !(info.st_mode & S_IXOTH)) return false;
    if (walked == walked.root_path()) return true;
    walked = walked.parent_path();
  }
}

// The temporary folder; as root, /tmp instead when the temporary folder is
// private (a TMPDIR made by mktemp -d), where the child that gives up root
// could not reach the test's files.
std::filesystem::path temp_root() {
  std::filesystem::path root = std::filesystem::temp_directory_path();
  if (::geteuid() == 0 && !others_can_pass(root) && others_can_pass("/tmp")) return "/tmp";
  return root;
}

}  // namespace

// The folder handed out lies one level below a folder of its own, so that
// whatever a test does beside it (the work folders and the run lock of an
// install folder, which lie in its parent) stays the test's own, even when
// other runs share the temporary folder.
TempDir::TempDir() {
  std::string pattern = (temp_root() / "reeftown-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  // Others may pass through it, as through the temporary folder itself, for
  // tests that give up root in a child.
  std::filesystem::permissions(pattern, std::filesystem::perms(0711));
  path = std::filesystem::path(pattern) / "t";
  std::filesystem::create_directory(path);
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

TempDir::~TempDir() {
  const std::filesystem::path own = path.parent_path();
  std::error_code ec;
  // Tests make folders without permissions; give them back before removing.
  for (auto it = std::filesystem::recursive_directory_iterator(
           own, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
  }
  std::filesystem::permissions(own, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(own, ec);
}

void write_file(const std::filesystem::path& path, std::string_view content) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

unsigned permission_bits(const std::filesystem::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

std::map<std::string, std::string> tree_listing(const std::filesystem::path& root) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  if (!std::filesystem::exists(root, ec)) return out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string rel = entry.path().lexically_relative(root).generic_string();
    if (entry.is_symlink()) {
      out[rel] = "<link> " + std::filesystem::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      out[rel] = "<folder>";
    } else {
      out[rel] = entry.is_regular_file() ? read_file(entry.path()) : "<other>";
    }
  }
  return out;
}
