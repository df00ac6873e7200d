#include "install/build_swap.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>

#include "install/scan.hpp"
#include "lib/hexdigest.hpp"
#include "lib/utf8.hpp"
#include "platform/console.hpp"
#include "platform/errno_text.hpp"
#include "platform/fs_ops.hpp"
#include "platform/processors.hpp"
#include "platform/unique_fd.hpp"
#include "platform/whole_file.hpp"
#include "release/installed_release.hpp"

namespace {

// The most that one read of a salvage location asks for.
constexpr std::size_t SALVAGE_READ_SIZE = BUILD_BUFFER_SIZE;

// `relative` below `base`, as bytes: unlike operator/, a relative path that
// begins with '/' cannot name a place outside `base`.
std::filesystem::path join(const std::filesystem::path& base, std::string_view relative) {
  std::string text = base.native();
  if (!text.empty() && text.back() != '/') text.push_back('/');
  text.append(relative);
  return std::filesystem::path(std::move(text));
}

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// Starts up to `count` threads running `work`, fewer when the system has no
// thread left to give; they join when `threads` goes.
template <typename Work>
void start_threads(std::vector<std::jthread>& threads, std::size_t count, const Work& work) {
  for (std::size_t t = 0; t < count; ++t) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      return;
    }
  }
}

// The bytes of one piece at a time; emptied before each piece, its memory
// kept for the next one of the same file, so a file of equal pieces
// allocates once and nothing is zero-filled.
struct PieceBuffer {
  std::unique_ptr<unsigned char[]> data;
  std::size_t capacity = 0;
  std::size_t size = 0;

  // Room for `more` bytes after `size`; false when memory runs out.
  bool make_room(std::size_t more) {
    if (capacity - size >= more) return true;
    if (more > std::numeric_limits<std::size_t>::max() / 2 - size) return false;
    const std::size_t wanted = std::max(size + more, capacity * 2);
    try {
      auto bigger = std::make_unique_for_overwrite<unsigned char[]>(wanted);
      if (size > 0) std::copy_n(data.get(), size, bigger.get());
      data = std::move(bigger);
      capacity = wanted;
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
};

// Up to `length` bytes of `location`, fewer when its file ends first.
// Zero, or the error number of the open or of a read.
int read_salvaged(const PieceLocation& location, std::uint64_t length, PieceBuffer& piece) {
  // The file may have changed since the plan: a FIFO there must not hang
  // the build, a link must not lead elsewhere.
  const auto opened = open_regular_file(location.file);
  if (!opened) return opened.error().value();
  UniqueFd closer{*opened};
  const int fd = *opened;
  if (location.offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EINVAL;
  auto offset = static_cast<off_t>(location.offset);
  while (length > 0) {
    const std::size_t ask = static_cast<std::size_t>(std::min<std::uint64_t>(length, SALVAGE_READ_SIZE));
    if (!piece.make_room(ask)) return ENOMEM;
    const ssize_t n = ::pread(fd, piece.data.get() + piece.size, ask, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    piece.size += static_cast<std::size_t>(n);
    offset += n;
    length -= static_cast<std::uint64_t>(n);
  }
  return 0;
}

// The whole cache file at `path`, whatever its length. Zero, or the error
// number of the open or of a read.
int read_cached(const std::filesystem::path& path, PieceBuffer& piece) {
  const auto opened = open_regular_file(path);
  if (!opened) return opened.error().value();
  UniqueFd closer{*opened};
  const int fd = *opened;
  // One byte more than the file holds, so that the read that finds the end
  // needs no growth.
  struct stat info {};
  if (::fstat(fd, &info) == 0 && info.st_size > 0 &&
      !piece.make_room(static_cast<std::size_t>(info.st_size) + 1))
    return ENOMEM;
  for (;;) {
    if (piece.capacity == piece.size && !piece.make_room(65536)) return ENOMEM;
    const ssize_t n = ::read(fd, piece.data.get() + piece.size, piece.capacity - piece.size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    piece.size += static_cast<std::size_t>(n);
  }
}

// Gathers small pieces in a buffer of BUILD_BUFFER_SIZE bytes and writes it
// out when the next piece no longer fits; a piece of BUILD_DIRECT_WRITE_SIZE
// or more is not copied but goes out directly, after what the buffer held.
struct BuildWriter {
  int fd;
  std::unique_ptr<unsigned char[]> buffer;
  std::size_t used = 0;

  int flush() {
    const int error = write_all(fd, buffer.get(), used);
    used = 0;
    return error;
  }

  int write(const unsigned char* data, std::size_t size) {
    if (used + size > BUILD_BUFFER_SIZE || size >= BUILD_DIRECT_WRITE_SIZE) {
      if (const int error = flush()) return error;
    }
    if (size >= BUILD_DIRECT_WRITE_SIZE) return write_all(fd, data, size);
    std::copy_n(data, size, buffer.get() + used);
    used += size;
    return 0;
  }
};

mode_t built_file_mode(const FileEntry& file, const ReleaseInfo& target) {
  return starts_as_program(file.path, target) ? 0755 : 0644;
}

// `stop` is set when another file's build has failed: this one then ends
// at its next piece, with an error nobody reads.
std::expected<void, ErrorText> build_file(const WorkFolders& folders, const ReleaseInfo& target,
                                          const FileEntry& file, const SalvageMap& salvaged,
                                          const std::atomic<bool>& stop) {
  const auto created = create_fresh_file(folders.stage_dir, file.path, built_file_mode(file, target));
  if (!created) return std::unexpected(created.error().message());
  const int fd = *created;
  UniqueFd closer{fd};

  BuildWriter writer{fd, nullptr};
  try {
    writer.buffer = std::make_unique_for_overwrite<unsigned char[]>(BUILD_BUFFER_SIZE);
  } catch (const std::bad_alloc&) {
    return std::unexpected(errno_text(ENOMEM));
  }
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> sha(EVP_MD_CTX_new());
  if (!sha || EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr) != 1)
    return std::unexpected(errno_text(ENOMEM));
  PieceBuffer piece;

  for (const FilePiece& part : file.pieces) {
    if (stop.load(std::memory_order_relaxed)) return std::unexpected("stopped");
    piece.size = 0;
    if (const auto found = salvaged.find(part.id); found != salvaged.end()) {
      if (const int failure = read_salvaged(found->second, part.length, piece))
        return std::unexpected(errno_text(failure));
    } else if (const int failure = read_cached(join(folders.cache_dir, part.id), piece)) {
      return std::unexpected("missing piece " + part.id + " (" + errno_text(failure) + ")");
    }
    if (EVP_DigestUpdate(sha.get(), piece.data.get(), piece.size) != 1)
      return std::unexpected(errno_text(EIO));
    if (const int failure = writer.write(piece.data.get(), piece.size))
      return std::unexpected(errno_text(failure));
  }
  if (const int failure = writer.flush()) return std::unexpected(errno_text(failure));
  // Write-back starts now, so the flush before the swap mostly finds the
  // bytes already on disk; its own errors show again in that flush.
  (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);

  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(sha.get(), digest.data(), &length) != 1 || length != digest.size() ||
      digest_hex(digest) != file.hash)
    return std::unexpected(file.path + " did not verify after building it");
  if (closer.close_now() != 0) return std::unexpected(errno_text(errno));
  return {};
}

// Identity of a directory entry, so that two path texts that name one entry
// (letter case on a file system that ignores it, "./x" against "x") are
// known as one.
using EntryId = std::pair<dev_t, ino_t>;

std::optional<struct stat> entry_info(const std::filesystem::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return info;
}

EntryId entry_id(const struct stat& info) { return {info.st_dev, info.st_ino}; }

// The folders that the built files go into, each proper ancestor of their
// paths once, as paths below `install_dir`.
std::vector<std::filesystem::path> folders_of_built_files(const std::filesystem::path& install_dir,
                                                          const ReleaseInfo& target,
                                                          const std::vector<std::size_t>& to_update) {
  std::unordered_set<std::string> seen;
  std::vector<std::filesystem::path> folders;
  for (const std::size_t position : to_update) {
    const std::string& path = target.files[position].path;
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      if (slash == 0) continue;
      std::string folder = path.substr(0, slash);
      if (seen.insert(folder).second) folders.push_back(join(install_dir, folder));
    }
  }
  return folders;
}

// Every move of the swap, in order; the first failure ends it.
std::expected<void, ErrorText> move_files(const std::filesystem::path& install_dir,
                                          const WorkFolders& folders, const ReleaseInfo& target,
                                          const std::vector<std::size_t>& to_update,
                                          const std::vector<std::string>& to_remove,
                                          std::vector<FileMove>& moves) {
  const std::vector<std::filesystem::path> built_folders =
      folders_of_built_files(install_dir, target, to_update);

  // An installed file where a built file needs a folder (a file that became
  // a folder) goes first; placing below it would only fail.
  std::set<EntryId> in_the_way;
  for (const std::filesystem::path& folder : built_folders)
    if (const auto info = entry_info(folder); info && !S_ISDIR(info->st_mode))
      in_the_way.insert(entry_id(*info));
  std::vector<bool> moved_first(to_remove.size(), false);
  if (!in_the_way.empty()) {
    for (std::size_t i = 0; i < to_remove.size(); ++i) {
      const auto info = entry_info(join(install_dir, to_remove[i]));
      if (!info || !in_the_way.contains(entry_id(*info))) continue;
      if (auto placed = place_file(install_dir, folders.old_dir, moves, to_remove[i], std::nullopt); !placed)
        return placed;
      moved_first[i] = true;
    }
  }

  std::set<EntryId> placed_entries;
  for (const std::size_t position : to_update) {
    const std::string& path = target.files[position].path;
    if (auto placed = place_file(install_dir, folders.old_dir, moves, path, join(folders.stage_dir, path));
        !placed)
      return placed;
    if (const auto info = entry_info(moves.back().target)) placed_entries.insert(entry_id(*info));
  }
  for (const std::filesystem::path& folder : built_folders)
    if (const auto info = entry_info(folder); info && S_ISDIR(info->st_mode))
      placed_entries.insert(entry_id(*info));

  // An entry that is a file just placed, or a folder holding one, is part of
  // the new release under another spelling: moving it out would undo the
  // update it belongs to.
  for (std::size_t i = 0; i < to_remove.size(); ++i) {
    if (moved_first[i]) continue;
    if (const auto info = entry_info(join(install_dir, to_remove[i]));
        info && placed_entries.contains(entry_id(*info)))
      continue;
    if (auto placed = place_file(install_dir, folders.old_dir, moves, to_remove[i], std::nullopt); !placed)
      return placed;
  }
  return {};
}

void roll_back(const std::vector<FileMove>& moves) {
  for (auto move = moves.rbegin(); move != moves.rend(); ++move) {
    (void)::unlink(move->target.c_str());
    if (!move->backup) continue;
    // Where a file turned into a folder, the swap made the folder; with the
    // files in it deleted, it is in the way of the file coming back.
    if (const auto info = entry_info(move->target); info && S_ISDIR(info->st_mode))
      (void)remove_empty_folders(move->target);
    (void)::rename(move->backup->c_str(), move->target.c_str());
  }
}

// Zero when the bytes of the file at `path` are on disk, or when nothing is
// there (its move fails and says so); the error number otherwise.
int flush_file(const std::filesystem::path& path) {
  const auto opened = open_regular_file(path);
  if (!opened) return opened.error().value() == ENOENT ? 0 : opened.error().value();
  UniqueFd closer{*opened};
  return ::fdatasync(*opened) == 0 ? 0 : errno;
}

// Each file of `paths` flushed on its own, then `folder`, which holds the
// new names of some of them. A flush mostly waits for the disk, so several
// run at once; the first failure stops the others from starting more.
std::expected<void, ErrorText> flush_to_disk(const std::vector<std::filesystem::path>& paths,
                                             const std::filesystem::path& folder) {
  std::atomic<std::size_t> next{0};
  std::atomic<int> failure{0};
  const auto flush_some = [&] {
    while (failure.load() == 0) {
      const std::size_t i = next.fetch_add(1);
      if (i >= paths.size()) return;
      if (const int error = flush_file(paths[i])) {
        int none = 0;
        failure.compare_exchange_strong(none, error);
      }
    }
  };
  {
    // The calling thread flushes too, and whatever no helper takes.
    std::vector<std::jthread> helpers;
    const std::size_t count = std::min(paths.size(), scan_worker_count(logical_processor_count()));
    start_threads(helpers, count > 0 ? count - 1 : 0, flush_some);
    flush_some();
  }  // joins the helpers
  if (const int error = failure.load()) return std::unexpected(errno_text(error));
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::unexpected(errno_text(errno));
  UniqueFd closer{fd};
  if (::fsync(fd) != 0) return std::unexpected(errno_text(errno));
  return {};
}


}  // namespace

std::expected<void, ErrorText> make_work_folder(const std::filesystem::path& folder) {
  const auto own = make_own_folder(folder);
  if (!own) return std::unexpected(own.error().message());
  if (!*own)
    return std::unexpected(display(folder) + " is not a folder of your own; remove it and run setup again");
  return {};
}

bool starts_as_program(std::string_view path, const ReleaseInfo& target) {
  const std::string key = scan_path_key(path);
  return key == scan_path_key(target.launch) || key == scan_path_key(ANTI_CHEAT_SETUP_PATH);
}

namespace {

// Clears what an earlier run left in the stage folder but the staged release
// copies: after a first install killed in its swap they alone name the files
// it had moved into the install folder, which the next run must know for the
// program's own even when that run is stopped too. The next swap writes them
// fresh. Another user's folder, or a link, goes whole.
void clear_stage_folder(const std::filesystem::path& stage_dir) {
  struct stat info {};
  if (::lstat(stage_dir.c_str(), &info) != 0) return;
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
    (void)remove_tree(stage_dir);
    return;
  }
  std::vector<std::filesystem::path> left;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(stage_dir, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    // Only a file at a copy's name is a copy: a folder there would stop every
    // later swap from writing its copy.
    const bool copy = std::ranges::find(STAGED_RELEASE_FILES, it->path().filename().string()) !=
                          STAGED_RELEASE_FILES.end() &&
                      it->symlink_status(error).type() == std::filesystem::file_type::regular;
    if (!copy) left.push_back(it->path());
  }
  for (const std::filesystem::path& entry : left) (void)remove_tree(entry);
}

}  // namespace

std::expected<void, ErrorText> build_files(const WorkFolders& folders, const ReleaseInfo& target,
                                           const std::vector<std::size_t>& to_update,
                                           const SalvageMap& salvaged) {
  clear_stage_folder(folders.stage_dir);
  if (to_update.empty()) {
    (void)::rmdir(folders.stage_dir.c_str());  // stays while it holds the copies
    return {};
  }
  if (auto made = make_work_folder(folders.stage_dir); !made) return made;

  // Largest first, so that a large file does not start last and end alone.
  std::vector<std::size_t> order = to_update;
  std::ranges::stable_sort(order, [&target](std::size_t a, std::size_t b) {
    return larger_file_first(target, a, b);
  });

  // Files that have ended, built or failed; the builders tell the printing
  // thread through it. A failure is set before its file counts as ended.
  std::atomic<std::size_t> ended{0};
  std::atomic<bool> failed{false};
  std::atomic<std::size_t> next{0};
  std::mutex first_error_lock;
  std::optional<ErrorText> first_error;
  // Builds the next file; false when none is left or a build has failed.
  const auto build_next = [&] {
    if (failed.load()) return false;
    const std::size_t k = next.fetch_add(1);
    if (k >= order.size()) return false;
    auto built = build_file(folders, target, target.files[order[k]], salvaged, failed);
    if (!built) {
      std::lock_guard<std::mutex> hold(first_error_lock);
      if (!first_error) first_error = std::move(built.error());
      failed.store(true);
    }
    ended.fetch_add(1);
    ended.notify_one();
    return !failed.load();
  };

  const std::string count = std::to_string(order.size());
  std::size_t shown = 0;
  // The line counts the files that have ended, one number at a time, showing
  // the file under way: "1/N" at the start, "N/N" while the last one builds.
  const auto show_up_to = [&](std::size_t done) {
    for (; shown < std::min(done + 1, order.size()); ++shown)
      print("\r  building files " + std::to_string(shown + 1) + "/" + count + "   ");
  };
  // The first file's line stands before any build can fail.
  show_up_to(0);
  {
    std::vector<std::jthread> builders;
    start_threads(builders, std::min(order.size(), scan_worker_count(logical_processor_count())),
                  [&] { while (build_next()) {} });
    // With no builder at all this thread builds.
    if (builders.empty()) {
      while (build_next()) show_up_to(ended.load());
    } else {
      for (std::size_t done = ended.load(); !failed.load();) {
        show_up_to(done);
        if (done == order.size()) break;
        ended.wait(done);
        done = ended.load();
      }
    }
  }  // joins the builders
  if (first_error) return std::unexpected(std::move(*first_error));
  print("\n");
  return {};
}

std::expected<void, ErrorText> place_file(const std::filesystem::path& install_dir,
                                          const std::filesystem::path& old_dir,
                                          std::vector<FileMove>& moves, std::string_view path,
                                          const std::optional<std::filesystem::path>& staged) {
  std::filesystem::path target = join(install_dir, path);
  // The entry itself: a dangling link stands there too and must go.
  if (entry_info(target)) {
    std::filesystem::path backup = join(old_dir, path);
    std::error_code error;
    std::filesystem::create_directories(backup.parent_path(), error);
    if (error) return std::unexpected(error.message());
    if (::rename(target.c_str(), backup.c_str()) != 0)
      return std::unexpected(utf8_lossy(path) + " is in use - close Reef Town and try again (" +
                             errno_text(errno) + ")");
    moves.push_back(FileMove{std::move(target), std::move(backup)});
  } else {
    moves.push_back(FileMove{std::move(target), std::nullopt});
  }
  if (staged) {
    const std::filesystem::path& placed = moves.back().target;
    std::error_code error;
    std::filesystem::create_directories(placed.parent_path(), error);
    if (error) return std::unexpected(error.message());
    if (::rename(staged->c_str(), placed.c_str()) != 0) return std::unexpected(errno_text(errno));
  }
  return {};
}

std::expected<void, ErrorText> swap_files(const std::filesystem::path& install_dir,
                                          const WorkFolders& folders, const ReleaseInfo& target,
                                          const std::vector<std::size_t>& to_update,
                                          const std::vector<std::string>& to_remove) {
  (void)remove_tree(folders.old_dir);
  if (auto made = make_work_folder(folders.stage_dir); !made) return made;

  // Written whole into the stage folder before anything moves and renamed
  // over the old ones at the end: a kill or a full disk never leaves empty
  // release files, and a kill between the renames leaves the copies that
  // finish_interrupted_commit completes the change with.
  const std::array<const std::string*, 3> contents = {&target.manifest_json, &target.manifest_sig,
                                                      &target.version};
  const auto remove_new_files = [&] {
    for (const std::string_view staged : STAGED_RELEASE_FILES)
      (void)::unlink(join(folders.stage_dir, staged).c_str());
  };
  for (std::size_t i = 0; i < contents.size(); ++i) {
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(contents[i]->data()),
                                              contents[i]->size());
    if (const std::error_code error =
            write_fresh_file(folders.stage_dir, STAGED_RELEASE_FILES[i], bytes, 0644)) {
      remove_new_files();
      return std::unexpected(error.message());
    }
  }
  // The built files and the new release files reach the disk before the
  // first rename: otherwise a power cut after the clean-up could leave empty
  // new files where the old ones and the cache are gone. Each is flushed on
  // its own; the rest of the file system (the cache, other programs' data)
  // is not waited for.
  std::vector<std::filesystem::path> to_flush;
  to_flush.reserve(to_update.size() + STAGED_RELEASE_FILES.size());
  for (const std::size_t position : to_update)
    to_flush.push_back(join(folders.stage_dir, target.files[position].path));
  for (const std::string_view staged : STAGED_RELEASE_FILES) to_flush.push_back(join(folders.stage_dir, staged));
  if (auto flushed = flush_to_disk(to_flush, folders.stage_dir); !flushed) {
    remove_new_files();
    return flushed;
  }

  // Made only now, when the files are about to move: the replaced files go
  // into it, so it must be this user's own.
  if (auto made = make_work_folder(folders.old_dir); !made) {
    remove_new_files();
    return made;
  }
  std::vector<FileMove> moves;
  auto moved = move_files(install_dir, folders, target, to_update, to_remove, moves);
  if (moved) {
    for (std::size_t i = 0; i < RELEASE_FILES.size(); ++i) {
      if (::rename(join(folders.stage_dir, STAGED_RELEASE_FILES[i]).c_str(),
                   join(install_dir, RELEASE_FILES[i]).c_str()) != 0) {
        moved = std::unexpected(errno_text(errno));
        break;
      }
    }
  }
  if (!moved) {
    remove_new_files();
    roll_back(moves);
  }
  return moved;
}

void clean_up(const WorkFolders& folders) {
  (void)remove_tree(folders.old_dir);
  (void)remove_tree(folders.stage_dir);
  (void)remove_tree(folders.cache_dir);
}

namespace {

std::optional<ReleaseInfo> interrupted_commit_in(const std::filesystem::path& install_dir,
                                                 const WorkFolders& folders,
                                                 std::string_view public_key_hex) {
  // The copies are written and renamed in one order, so a commit is under
  // way exactly when the first copy is gone and a later one is still there.
  const auto staged = [&](std::size_t i) {
    // A work folder: a link that another user put there counts as absent.
    return read_work_file(join(folders.stage_dir, STAGED_RELEASE_FILES[i]), INSTALLED_MANIFEST_LIMIT);
  };
  const auto installed = [&](std::size_t i) {
    return read_regular_file(join(install_dir, RELEASE_FILES[i]), INSTALLED_MANIFEST_LIMIT);
  };
  struct stat info {};
  if (::lstat(join(folders.stage_dir, STAGED_MANIFEST_FILE).c_str(), &info) == 0) return std::nullopt;
  std::optional<std::string> sig = staged(1);
  std::optional<std::string> version = staged(2);
  if (!sig && !version) return std::nullopt;
  if (!sig) sig = installed(1);
  if (!version) version = installed(2);
  std::optional<std::string> json = installed(0);
  if (!json || !sig || !version || !is_valid_utf8(*json) || !is_valid_utf8(*sig)) return std::nullopt;
  auto info_parsed = parse_release_info(std::move(*json), std::move(*sig), public_key_hex);
  if (!info_parsed || info_parsed->version != *version) return std::nullopt;
  return std::move(*info_parsed);
}

}  // namespace

std::optional<ReleaseInfo> interrupted_commit(const std::filesystem::path& install_dir,
                                              std::string_view public_key_hex) {
  const auto folders = work_folders(install_dir);
  if (!folders) return std::nullopt;
  return interrupted_commit_in(install_dir, *folders, public_key_hex);
}

bool finish_interrupted_commit(const std::filesystem::path& install_dir, const WorkFolders& folders,
                               std::string_view public_key_hex) {
  if (!interrupted_commit_in(install_dir, folders, public_key_hex)) return false;
  for (std::size_t i = 0; i < RELEASE_FILES.size(); ++i) {
    const std::filesystem::path from = join(folders.stage_dir, STAGED_RELEASE_FILES[i]);
    struct stat info {};
    // Only the copies that were read: a link there was taken for absent.
    if (::lstat(from.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    if (::rename(from.c_str(), join(install_dir, RELEASE_FILES[i]).c_str()) != 0) return false;
  }
  // What the stopped run would have done next.
  clean_up(folders);
  return true;
}

std::optional<ReleaseInfo> load_committed_release(const std::filesystem::path& install_dir,
                                                  std::string_view public_key_hex) {
  if (auto pending = interrupted_commit(install_dir, public_key_hex)) return pending;
  return load_installed_release(install_dir, public_key_hex);
}
