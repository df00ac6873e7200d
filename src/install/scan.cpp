#include "install/scan.hpp"

#include <algorithm>
#include <functional>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/hexdigest.hpp"
#include "lib/utf8.hpp"
#include "platform/unique_fd.hpp"
#include "release/install_layout.hpp"

namespace {

// The release information files, passed over only directly in the install
// folder and only in this exact case.
constexpr std::array<std::string_view, 3> RELEASE_INFO_FILES = {VERSION_FILE, MANIFEST_FILE,
                                                                 SIGNATURE_FILE};

bool has_suspect_extension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  // A name without '/' or "." comes back folded and otherwise unchanged.
  const std::string extension = scan_path_key(utf8_lossy(name.substr(dot + 1)));
  return std::ranges::find(SUSPECT_EXTENSIONS, extension) != SUSPECT_EXTENSIONS.end();
}

// A subfolder is opened by its name in its parent, never through a link: a
// folder swapped for a link anywhere above cannot lead the walk out of the
// install folder, and no full path can grow past the system's limit.
UniqueFd open_subfolder(int parent, const std::string& name) {
  return UniqueFd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// The folder at `prefix` below the install folder, opened name by name.
UniqueFd reopen_below(int top, std::string_view prefix) {
  UniqueFd folder(::fcntl(top, F_DUPFD_CLOEXEC, 0));
  std::size_t at = 0;
  while (folder && at < prefix.size()) {
    const std::size_t slash = prefix.find('/', at);
    folder = open_subfolder(folder.get(), std::string(prefix.substr(at, slash - at)));
    at = slash + 1;
  }
  return folder;
}

// A real folder, not a link to one: a link to an ancestor cannot make the walk
// endless, and a link out of the install folder cannot bring a user's own
// files into `extras`.
bool is_real_folder(int parent, const dirent& entry) {
  if (entry.d_type == DT_DIR) return true;
  if (entry.d_type != DT_UNKNOWN) return false;
  struct stat st {};
  return ::fstatat(parent, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

void judge_file(std::string_view name, std::string raw_relative,
                const std::unordered_set<std::string>& expected, ScanReport& report) {
  std::string relative = utf8_lossy(raw_relative);
  if (expected.contains(scan_path_key(relative))) return;
  if (std::ranges::find(RELEASE_INFO_FILES, relative) != RELEASE_INFO_FILES.end()) return;
  if (!has_suspect_extension(name)) return;
  report.problems.push_back("not part of the game: " + relative);
  report.extras.push_back({std::move(relative), std::move(raw_relative)});
}

// Judges every file of the open folder `folder` at once and gives back its
// subfolders in listing order. readdir gives entries in the file system's own
// order; nothing is sorted. A failed read ends the listing: readdir cannot
// step past a bad entry.
std::vector<std::string> list_folder(int folder, const std::string& prefix,
                                     const std::unordered_set<std::string>& expected,
                                     ScanReport& report) {
  std::vector<std::string> subfolders;
  // The listing gets its own descriptor: `folder` stays open for its subfolders.
  const int listing_fd = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
  if (listing_fd < 0) return subfolders;
  DIR* listing = ::fdopendir(listing_fd);
  if (listing == nullptr) {
    ::close(listing_fd);
    return subfolders;
  }
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (is_real_folder(folder, *entry)) {
      subfolders.emplace_back(name);
    } else {
      judge_file(name, prefix + std::string(name), expected, report);
    }
  }
  ::closedir(listing);
  return subfolders;
}

// A listed folder whose subfolders are still to be walked.
struct PendingFolder {
  UniqueFd fd;                          // closed while parked, see OPEN_FOLDERS_MAX
  std::string prefix;                   // raw names below install_dir, each followed by '/'
  std::vector<std::string> subfolders;  // listing order: the last is walked first
};

// Pending folders that keep their descriptor open. A folder deeper down the
// stack gives its descriptor up and is opened again name by name from the
// install folder when its turn comes, so a deep tree of many branches cannot
// run the process out of descriptors.
constexpr std::size_t OPEN_FOLDERS_MAX = 32;

void park_deep_folders(std::vector<PendingFolder>& stack) {
  std::size_t open = 0;
  for (auto it = stack.rbegin(); it != stack.rend(); ++it)
    if (it->fd && ++open > OPEN_FOLDERS_MAX) it->fd.reset();
}

// Every file of a folder is judged while it is listed, and its subfolders
// wait on the stack, the one listed last walked first.
void walk(const std::filesystem::path& install_dir, const std::unordered_set<std::string>& expected,
          ScanReport& report) {
  // The install folder itself is opened as given, a link the user chose included.
  const UniqueFd top(::open(install_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!top) return;
  std::vector<PendingFolder> stack;
  const auto list = [&](UniqueFd folder, std::string prefix) {
    std::vector<std::string> subfolders = list_folder(folder.get(), prefix, expected, report);
    if (subfolders.empty()) return;
    stack.push_back({std::move(folder), std::move(prefix), std::move(subfolders)});
    park_deep_folders(stack);
  };
  list(UniqueFd(::fcntl(top.get(), F_DUPFD_CLOEXEC, 0)), "");
  while (!stack.empty()) {
    PendingFolder& parent = stack.back();
    if (!parent.fd) parent.fd = reopen_below(top.get(), parent.prefix);
    const std::string name = std::move(parent.subfolders.back());
    parent.subfolders.pop_back();
    UniqueFd folder = parent.fd ? open_subfolder(parent.fd.get(), name) : UniqueFd();
    std::string prefix = parent.prefix + name + '/';
    // Done with the parent before its last subfolder is walked: a long chain
    // of single folders holds one descriptor, not one per level.
    if (parent.subfolders.empty()) stack.pop_back();
    if (folder) list(std::move(folder), std::move(prefix));
  }
}

enum class Metadata { missing, wrong_size, not_a_file, candidate };

Metadata check_metadata(const std::filesystem::path& path, std::uint64_t size) {
  // stat would stop at a NUL and look at another, shorter path.
  if (path.native().find('\0') != std::string::npos) return Metadata::missing;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Metadata::missing;
  if (static_cast<std::uint64_t>(st.st_size) != size) return Metadata::wrong_size;
  // A pipe or a device (a link to /dev/zero, say) would block the hash or
  // never end; only regular files are read.
  if (!S_ISREG(st.st_mode)) return Metadata::not_a_file;
  return Metadata::candidate;
}

bool start_worker(std::vector<std::jthread>& workers, VerifyContext& ctx) {
  try {
    workers.emplace_back(verify_worker, std::ref(ctx));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace

std::uint64_t file_size_of(const std::vector<FileEntry>& files, std::size_t i) {
  return files[i].size;
}

bool larger_file_first(const ReleaseInfo& release, std::size_t a, std::size_t b) {
  return file_size_of(release.files, a) > file_size_of(release.files, b);
}

std::size_t scan_worker_count(unsigned processors) {
  if (processors == 0) return 4;
  return std::min<std::size_t>(processors, SCAN_WORKERS_MAX);
}

void verify_worker(VerifyContext& ctx) noexcept {
  for (;;) {
    const std::size_t i = ctx.next_index.fetch_add(1);
    if (i >= ctx.order.size()) return;
    const FileEntry& file = ctx.release.files[ctx.order[i]];
    const auto digest = sha256_file_hex(ctx.install_dir / file.path);
    if (digest && *digest == file.hash) {
      std::lock_guard lock(ctx.verified_lock);
      ctx.verified.insert_or_assign(file.path, file.hash);
    } else {
      std::string line = "modified: " + file.path;
      std::lock_guard lock(ctx.modified_lock);
      ctx.modified.push_back(std::move(line));
    }
  }
}

ScanReport scan_install(const std::filesystem::path& given_dir, const ReleaseInfo& release,
                        unsigned processors, ThreadStarts starts) noexcept {
  ScanReport report;
  // The system opens no folder at the empty path, yet joins a release path
  // onto it as a path in the working folder: walk and check that folder alike.
  const std::filesystem::path install_dir = given_dir.empty() ? "." : given_dir;

  std::unordered_set<std::string> expected;
  for (const FileEntry& file : release.files) expected.insert(scan_path_key(file.path));

  walk(install_dir, expected, report);

  std::vector<std::size_t> candidates;
  std::vector<std::string> unreadable;
  for (std::size_t k = 0; k < release.files.size(); ++k) {
    const FileEntry& file = release.files[k];
    switch (check_metadata(install_dir / file.path, file.size)) {
      case Metadata::missing: report.problems.push_back("missing: " + file.path); break;
      case Metadata::wrong_size: report.problems.push_back("changed: " + file.path); break;
      case Metadata::not_a_file: unreadable.push_back("modified: " + file.path); break;
      case Metadata::candidate: candidates.push_back(k); break;
    }
  }

  std::ranges::stable_sort(candidates, [&release](std::size_t a, std::size_t b) {
    return larger_file_first(release, a, b);
  });

  VerifyContext ctx{.next_index{0}, .order = candidates, .release = release,
                    .install_dir = install_dir, .verified_lock{}, .verified{},
                    .modified_lock{}, .modified = std::move(unreadable)};
  const std::size_t count = scan_worker_count(processors);
  {
    std::vector<std::jthread> workers;
    workers.reserve(count);
    bool short_of_threads = false;
    for (std::size_t w = 0; w < count && !short_of_threads; ++w)
      short_of_threads = w >= starts.limit || !start_worker(workers, ctx);
    if (starts.started != nullptr) *starts.started = workers.size();
    // Without all its threads the scan still ends complete: the calling
    // thread hashes whatever the started workers do not take.
    if (short_of_threads) verify_worker(ctx);
  }  // joins every worker

  for (std::string& line : ctx.modified) report.problems.push_back(std::move(line));
  report.verified = std::move(ctx.verified);
  return report;
}
