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
#include "release/install_layout.hpp"

namespace {

// The release information files, passed over only directly in the install
// folder and only in this exact case.
constexpr std::array<std::string_view, 3> RELEASE_INFO_FILES = {VERSION_FILE, MANIFEST_FILE,
                                                                 SIGNATURE_FILE};

std::string fold_a_to_z(std::string_view text) {
  std::string folded(text);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

bool has_suspect_extension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  const std::string extension = fold_a_to_z(utf8_lossy(name.substr(dot + 1)));
  return std::ranges::find(SUSPECT_EXTENSIONS, extension) != SUSPECT_EXTENSIONS.end();
}

struct PendingFolder {
  std::filesystem::path path;
  std::string relative_prefix;  // raw bytes of the names below install_dir, each followed by '/'
};

// A real folder, not a link to one: the walk never goes through a link, so a
// link to an ancestor cannot make it endless and a link out of the install
// folder cannot bring a user's own files into `extras`.
bool is_real_folder(const dirent& entry, const std::filesystem::path& path) {
  if (entry.d_type == DT_DIR) return true;
  if (entry.d_type != DT_UNKNOWN) return false;
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The install folder is listed as given, a link the user chose included. A
// subfolder is listed only while it is still no link: it may have been swapped
// for one since its parent was listed.
DIR* open_listing(const PendingFolder& folder) {
  const bool top = folder.relative_prefix.empty();
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (top ? 0 : O_NOFOLLOW);
  const int fd = ::open(folder.path.c_str(), flags);
  if (fd < 0) return nullptr;
  DIR* listing = ::fdopendir(fd);
  if (listing == nullptr) ::close(fd);
  return listing;
}

void judge_file(std::string_view name, const std::string& raw_relative,
                const std::unordered_set<std::string>& expected, ScanReport& report) {
  // '\' is an ordinary name byte here, so it stays: the path must name the file again.
  std::string relative = utf8_lossy(raw_relative);
  if (expected.contains(fold_a_to_z(relative))) return;
  if (std::ranges::find(RELEASE_INFO_FILES, relative) != RELEASE_INFO_FILES.end()) return;
  if (!has_suspect_extension(name)) return;
  report.problems.push_back("not part of the game: " + relative);
  report.extras.push_back(std::move(relative));
}

// Last in, first out: every file of a folder is judged while it is listed,
// and its subfolders wait on the stack, the one listed last walked first.
void walk(const std::filesystem::path& install_dir, const std::unordered_set<std::string>& expected,
          ScanReport& report) {
  std::vector<PendingFolder> stack;
  stack.push_back({install_dir, ""});
  while (!stack.empty()) {
    PendingFolder folder = std::move(stack.back());
    stack.pop_back();
    DIR* listing = open_listing(folder);
    if (listing == nullptr) continue;
    // readdir gives entries in the file system's own order; nothing is sorted.
    // A failed read ends this listing: readdir cannot step past a bad entry.
    while (const dirent* entry = ::readdir(listing)) {
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      std::filesystem::path path = folder.path / name;
      std::string raw_relative = folder.relative_prefix;
      raw_relative += name;
      if (is_real_folder(*entry, path)) {
        raw_relative += '/';
        stack.push_back({std::move(path), std::move(raw_relative)});
      } else {
        judge_file(name, raw_relative, expected, report);
      }
    }
    ::closedir(listing);
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

ScanReport scan_install(const std::filesystem::path& install_dir, const ReleaseInfo& release,
                        unsigned processors) noexcept {
  ScanReport report;

  std::unordered_set<std::string> expected;
  for (const FileEntry& file : release.files) expected.insert(fold_a_to_z(file.path));

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
    for (std::size_t w = 0; w < count; ++w) {
      try {
        workers.emplace_back(verify_worker, std::ref(ctx));
      } catch (const std::system_error&) {
        short_of_threads = true;
        break;
      }
    }
    // Without all its threads the scan still ends complete: the calling
    // thread hashes whatever the started workers do not take.
    if (short_of_threads) verify_worker(ctx);
  }  // joins every worker

  for (std::string& line : ctx.modified) report.problems.push_back(std::move(line));
  report.verified = std::move(ctx.verified);
  return report;
}
