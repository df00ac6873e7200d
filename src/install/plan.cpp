#include "install/plan.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/hexdigest.hpp"
#include "platform/unique_fd.hpp"

namespace {

constexpr auto MAX_FILE_OFFSET = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// No server delivers a longer piece, so a longer one cannot be real; its
// bytes are never looked for and never buffered.
bool length_can_be_real(std::uint64_t length) { return length <= PIECE_DECODED_LIMIT; }

// A release may leave lengths out (0) or give wrong ones; offsets taken from
// such a list would point at other bytes, and the built file would never
// verify. Only a list that covers the file exactly is trusted without a read.
bool lengths_cover(const FileEntry& file) {
  std::uint64_t total = 0;
  for (const FilePiece& piece : file.pieces) {
    if (piece.length > std::numeric_limits<std::uint64_t>::max() - total) return false;
    total += piece.length;
  }
  return total == file.size;
}

// The pieces of a file the scan verified, from the release alone.
void record_intact(const FileEntry& file, const std::filesystem::path& full, SalvageMap& salvaged) {
  std::uint64_t offset = 0;
  for (const FilePiece& piece : file.pieces) {
    if (length_can_be_real(piece.length) && !salvaged.contains(piece.id))
      salvaged.emplace(piece.id, PieceLocation{full, offset});
    offset += piece.length;  // cannot wrap: lengths_cover held
  }
}

// Up to `length` bytes at `offset` into `buffer`: stops early only at the end
// of the file. None on a read error.
std::optional<std::size_t> read_at(int fd, std::uint8_t* buffer, std::size_t length,
                                   std::uint64_t offset) {
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::pread(fd, buffer + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

// Every piece of `file` whose bytes lie at its offset in `full`. Each error
// only costs the piece (or the file) it concerns.
void search_file(const FileEntry& file, const std::filesystem::path& full, SalvageMap& salvaged) {
  // The system call would stop at a NUL and open another, shorter path.
  if (full.native().find('\0') != std::string::npos) return;
  // Non-blocking, so that a FIFO at the path does not wait for a writer; only
  // a regular file is read.
  const int fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  UniqueFd closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return;
  const auto size = static_cast<std::uint64_t>(info.st_size);

  // A piece that reaches past the end is short, so the one buffer never needs
  // to be larger than the file.
  std::uint64_t capacity = 0;
  for (const FilePiece& piece : file.pieces)
    if (length_can_be_real(piece.length) && piece.length <= size)
      capacity = std::max(capacity, piece.length);
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(capacity));
  } catch (const std::bad_alloc&) {
    return;
  }

  std::uint64_t offset = 0;
  for (const FilePiece& piece : file.pieces) {
    const std::uint64_t length = piece.length;
    // An empty piece needs no byte of the file, only an offset that can be
    // set, which may lie past the file's end.
    const bool fits = length == 0 ? offset <= MAX_FILE_OFFSET
                                  : length <= buffer.size() && offset <= size - length;
    if (fits && !salvaged.contains(piece.id)) {
      const auto got = read_at(fd, buffer.data(), static_cast<std::size_t>(length), offset);
      if (got && *got == length) {
        const std::string digest = sha256_hex(std::span(buffer.data(), *got));
        if (!digest.empty() && digest == piece.id) salvaged.emplace(piece.id, PieceLocation{full, offset});
      }
    }
    // Past this no offset is real: every later piece would be short.
    if (length > std::numeric_limits<std::uint64_t>::max() - offset) return;
    offset += length;
  }
}

struct Salvage {
  IntactFiles intact_files;
  SalvageMap salvaged;
};

Salvage salvage(const ReleaseInfo& installed, const ScanReport& report,
                const std::filesystem::path& install_dir) {
  Salvage result;
  for (const FileEntry& file : installed.files) {
    const std::filesystem::path full = install_dir / file.path;
    const auto verified = report.verified.find(file.path);
    const bool intact = verified != report.verified.end() && verified->second == file.hash;
    if (intact) result.intact_files.insert_or_assign(file.path, file.hash);
    // The bytes of an intact file whose lengths cannot be right are still
    // worth what their hashes prove.
    if (intact && lengths_cover(file))
      record_intact(file, full, result.salvaged);
    else
      search_file(file, full, result.salvaged);
  }
  return result;
}

}  // namespace

UpdatePlan plan_update(const ReleaseInfo& target, const std::optional<ReleaseInfo>& installed,
                       const std::optional<ScanReport>& report,
                       const std::filesystem::path& install_dir) {
  UpdatePlan plan;
  IntactFiles intact_files;
  if (installed && report) {
    Salvage found = salvage(*installed, *report, install_dir);
    intact_files = std::move(found.intact_files);
    plan.salvaged = std::move(found.salvaged);
  }

  // A path listed more than once counts only at its last position: the file
  // built there is the one the swap leaves in place, and placing the same
  // path twice would lose the backup of the original.
  std::unordered_map<std::string_view, std::size_t> last_position;
  for (std::size_t i = 0; i < target.files.size(); ++i)
    last_position.insert_or_assign(target.files[i].path, i);
  for (std::size_t i = 0; i < target.files.size(); ++i) {
    const FileEntry& file = target.files[i];
    if (last_position.at(file.path) != i) continue;
    const auto intact = intact_files.find(file.path);
    if (intact != intact_files.end() && intact->second == file.hash) continue;
    plan.to_update.push_back(i);
  }

  if (installed) {
    std::unordered_set<std::string_view> target_paths;
    for (const FileEntry& file : target.files) target_paths.insert(file.path);
    for (const FileEntry& file : installed->files)
      if (!target_paths.contains(file.path)) plan.to_remove.push_back(file.path);
  }
  if (report) {
    // The raw name bytes name the file even when its text is lossy.
    for (const ExtraFile& extra : report->extras) plan.to_remove.push_back(extra.raw);
  }

  // Each piece that lies nowhere on disk, once, in the order the files to
  // build need them.
  std::unordered_set<std::string_view> seen;
  for (const std::size_t i : plan.to_update)
    for (const FilePiece& piece : target.files[i].pieces)
      if (!plan.salvaged.contains(piece.id) && seen.insert(piece.id).second)
        plan.to_download.push_back(piece.id);
  return plan;
}
