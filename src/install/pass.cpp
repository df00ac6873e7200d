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

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "install/build_swap.hpp"
#include "install/plan.hpp"
#include "install/scan.hpp"
#include "install/windows_steps.hpp"
#include "lib/utf8.hpp"
#include "platform/console.hpp"
#include "platform/errno_text.hpp"
#include "platform/files.hpp"
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
void add_paths_of_own_release_files(const std::filesystem::path& install_dir, FirstInstallWalk& walk) {
  std::vector<std::filesystem::path> sources = {install_dir / MANIFEST_FILE};
  if (const auto folders = work_folders(install_dir))
    sources.push_back(folders->stage_dir / STAGED_MANIFEST_FILE);
  for (const std::filesystem::path& source : sources)
    if (const auto text = read_regular_file(source, INSTALLED_MANIFEST_LIMIT))
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
  static constexpr std::array<std::string_view, 3> RELEASE_FILES = {MANIFEST_FILE, SIGNATURE_FILE,
                                                                    VERSION_FILE};
  if (top && std::ranges::find(RELEASE_FILES, raw_relative) != RELEASE_FILES.end()) return true;
  struct stat st {};
  return walk.program && ::stat(path.c_str(), &st) == 0 && st.st_dev == walk.program->device &&
         st.st_ino == walk.program->inode;
}

// True when the folder holds a file that a first install must not take over.
// A later pass's scan would call every foreign ".exe" or ".json" in it "not
// part of the game" and remove it, so an install never begins in a folder
// that holds something else. A folder that cannot be looked into may hold
// anything and counts as holding something; links are judged, never walked.
bool holds_foreign_files(const std::filesystem::path& install_dir, const ReleaseInfo& target) {
  FirstInstallWalk walk;
  for (const FileEntry& file : target.files) walk.owned_keys.insert(scan_path_key(file.path));
  add_paths_of_own_release_files(install_dir, walk);
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

  if (!installed && holds_foreign_files(install_dir, offered))
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
  if (auto created = create_folder(folders->cache_dir); !created)
    return std::unexpected(created.error());

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
