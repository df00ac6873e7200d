#include "install/pass.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_set>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "install/build_swap.hpp"
#include "install/foreign_files.hpp"
#include "install/plan.hpp"
#include "install/scan.hpp"
#include "install/windows_steps.hpp"
#include "lib/utf8.hpp"
#include "platform/console.hpp"
#include "platform/errno_text.hpp"
#include "platform/whole_file.hpp"
#include "release/install_layout.hpp"
#include "release/installed_release.hpp"
#include "release/offered_release.hpp"

namespace {

constexpr double BYTES_PER_GB = 1e9;

// One digit after the point, no grouping: "0.0", "1234.5".
std::string one_decimal(double value) {
  std::array<char, 64> text{};
  const int n = std::snprintf(text.data(), text.size(), "%.1f", value);
  return std::string(text.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
}

// Only a regular file counts: the download takes anything else there (a
// link, a FIFO) for absent. A name the system cannot look up at all (one
// with a NUL) counts as absent.
bool cache_entry_exists(const std::filesystem::path& path) {
  if (path.native().find('\0') != std::string::npos) return false;
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void print_repair_listing(const std::vector<std::string>& problems) {
  print("Some game files were changed or are missing:\n");
  const std::size_t shown = std::min(problems.size(), PROBLEMS_SHOWN);
  for (std::size_t i = 0; i < shown; ++i) print("  " + problems[i] + "\n");
  if (problems.size() > PROBLEMS_SHOWN)
    print("  ... and " + std::to_string(problems.size() - PROBLEMS_SHOWN) + " more\n");
  print("Repairing them.\n");
}

// Pieces already lying in the cache are not counted: whatever file stands
// under an id's name there, the plan line treats as fetched.
std::uint64_t bytes_to_download(const ReleaseInfo& target, const std::vector<std::string>& ids,
                                const std::filesystem::path& cache_dir) {
  std::uint64_t total = 0;
  for (const std::string& id : ids) {
    if (cache_entry_exists(cache_dir / id)) continue;
    const auto chunk = target.chunks.find(id);
    if (chunk != target.chunks.end()) total += chunk->second;
  }
  return total;
}

std::uint64_t release_size(const ReleaseInfo& release) {
  std::uint64_t total = 0;
  for (const FileEntry& file : release.files) total += file.size;
  return total;
}

std::string plan_line(const ReleaseInfo& target, bool installed_loaded, bool same_version,
                      const UpdatePlan& plan, const std::filesystem::path& cache_dir) {
  const char* verb = !installed_loaded ? "Installing" : same_version ? "Repairing" : "Updating to";
  const double megabytes =
      static_cast<double>(bytes_to_download(target, plan.to_download, cache_dir)) / BYTES_PER_MB;
  const double gigabytes = static_cast<double>(release_size(target)) / BYTES_PER_GB;
  return std::string(verb) + " Reef Town " + target.version + ": " + one_decimal(megabytes) +
         " MB to download, " + std::to_string(plan.to_update.size()) + " files to update, " +
         one_decimal(gigabytes) + " GB installed\n";
}

std::string different_file_systems(const std::filesystem::path& folder,
                                   const std::filesystem::path& parent) {
  return display(folder) + " and its work folders in " + display(parent) +
         " lie on different file systems";
}

// Every rename of the swap goes between the work folders and the folders of
// the install folder where built files go in and old ones come out: across
// file systems each would fail, after the whole download. A folder below the
// install folder counts too, a link to another disk or a mount point alike;
// one that does not exist yet is made on its parent's file system.
std::expected<void, ErrorText> check_same_file_system(const std::filesystem::path& install_dir,
                                                      const WorkFolders& folders,
                                                      const ReleaseInfo& target,
                                                      const UpdatePlan& plan) {
  const std::filesystem::path parent = folders.parent.empty() ? "." : folders.parent;
  struct stat install_st {};
  struct stat parent_st {};
  if (::stat(install_dir.c_str(), &install_st) != 0)
    return std::unexpected(errno_text(errno));
  if (::stat(parent.c_str(), &parent_st) != 0)
    return std::unexpected(errno_text(errno));
  if (install_st.st_dev != parent_st.st_dev)
    return std::unexpected(different_file_systems(install_dir, parent));

  std::unordered_set<std::string_view> seen;
  // The folders above `relative`, links followed, and the entry itself.
  const auto elsewhere = [&](std::string_view relative) -> std::optional<std::filesystem::path> {
    for (std::size_t slash = relative.find('/'); slash != std::string_view::npos;
         slash = relative.find('/', slash + 1)) {
      const std::string_view folder = relative.substr(0, slash);
      if (folder.empty() || !seen.insert(folder).second) continue;
      std::filesystem::path path = install_dir / folder;
      struct stat st {};
      if (::stat(path.c_str(), &st) == 0 && st.st_dev != parent_st.st_dev) return path;
    }
    std::filesystem::path path = install_dir / relative;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && st.st_dev != parent_st.st_dev) return path;
    return std::nullopt;
  };
  for (const std::size_t position : plan.to_update)
    if (auto folder = elsewhere(target.files[position].path))
      return std::unexpected(different_file_systems(*folder, parent));
  for (const std::string& path : plan.to_remove)
    if (auto folder = elsewhere(path)) return std::unexpected(different_file_systems(*folder, parent));
  return {};
}

// The bits of 0111 that the umask leaves. Read by setting it and putting it
// back: no thread of the program creates files while a pass ends.
mode_t execute_bits() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0111 & ~mask;
}

// The launch file and the anti-cheat setup are started as programs. A pass
// builds them executable, but one that builds neither (an update that only
// names another launch file) must leave them executable too. Only regular
// files of the release are changed, never through a link.
void make_programs_executable(const std::filesystem::path& install_dir, const ReleaseInfo& target) {
  const mode_t bits = execute_bits();
  for (const FileEntry& file : target.files) {
    if (!starts_as_program(file.path, target)) continue;
    const std::filesystem::path path = install_dir / file.path;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & bits) != bits)
      (void)::fchmod(fd, (st.st_mode & 07777) | bits);
    ::close(fd);
  }
}

std::expected<void, ErrorText> create_folder(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) return std::unexpected(error.message());
  return {};
}

}  // namespace

std::expected<PassOutcome, ErrorText> install_pass(std::string_view base_url,
                                                   const std::filesystem::path& install_dir,
                                                   const ReleaseInfo& offered,
                                                   const PassOptions& options) {
  const std::optional<ReleaseInfo> installed =
      load_installed_release(install_dir, options.public_key_hex);
  print("Checking the installed files...\n");
  std::optional<ScanReport> report;
  if (installed) report = scan_install(install_dir, *installed);
  const UpdatePlan plan = plan_update(offered, installed, report, install_dir);

  const bool same_version = installed && installed->version == offered.version;
  if (plan.to_update.empty() && same_version && plan.to_remove.empty()) {
    make_programs_executable(install_dir, offered);
    return UpToDate{};
  }
  if (report && same_version && !report->problems.empty()) print_repair_listing(report->problems);

  auto folders = work_folders(install_dir);
  if (!folders) return std::unexpected(folders.error());

  if (!installed && holds_foreign_files(install_dir, *folders, offered))
    return std::unexpected(display(install_dir) +
                           " is not empty and holds no Reef Town installation; choose an empty "
                           "folder");

  print(plan_line(offered, installed.has_value(), same_version, plan, folders->cache_dir));

  if (auto created = create_folder(install_dir); !created)
    return std::unexpected(created.error());
  // Now that the install folder exists its real path is known: a link to
  // another disk puts the work folders there, beside the real folder.
  folders = work_folders(install_dir);
  if (!folders) return std::unexpected(folders.error());
  if (auto same = check_same_file_system(install_dir, *folders, offered, plan); !same)
    return std::unexpected(same.error());
  if (auto made = make_work_folder(folders->cache_dir); !made) return std::unexpected(made.error());

  if (auto downloaded = download_pieces(base_url, folders->cache_dir, offered, plan.to_download,
                                        options.download);
      !downloaded)
    return std::unexpected(downloaded.error());

  // The server may have moved on while the pieces came in; an error here only
  // means the check could not be made.
  if (auto latest = fetch_offered_release(base_url, options.public_key_hex, options.download.agent);
      latest && latest->version != offered.version && latest->released > offered.released) {
    print("Reef Town " + latest->version + " was released while downloading - getting that instead.\n");
    return NewerRelease{std::move(*latest)};
  }

  if (auto built = build_files(*folders, offered, plan.to_update, plan.salvaged); !built)
    return std::unexpected(built.error());
  if (auto swapped = swap_files(install_dir, *folders, offered, plan.to_update, plan.to_remove);
      !swapped)
    return std::unexpected(swapped.error());
  clean_up(*folders);
  make_programs_executable(install_dir, offered);

  install_anti_cheat_service(install_dir, offered, installed.has_value(), plan.to_update);
  create_shortcuts(install_dir);
  write_uninstall_entry(install_dir, offered);

  print("Reef Town " + offered.version + " is installed.\n");
  return Installed{};
}
