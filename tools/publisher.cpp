#include "tools/publisher.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "lib/hexdigest.hpp"
#include "lib/utf8.hpp"
#include "platform/errno_text.hpp"
#include "platform/folder_lock.hpp"
#include "platform/fs_ops.hpp"
#include "platform/unique_fd.hpp"
#include "platform/whole_file.hpp"
#include "release/http.hpp"
#include "release/offered_release.hpp"
#include "release/release_info.hpp"

namespace fs = std::filesystem;

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct CctxFree {
  void operator()(ZSTD_CCtx* cctx) const { ZSTD_freeCCtx(cctx); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

std::string quoted(const fs::path& path) { return "\"" + path.string() + "\""; }

// A path the setup program installs: it refuses "..", ":" and a leading
// backslash, and a backslash is a folder separator where the game runs.
bool is_installable_path(std::string_view path) {
  return is_valid_utf8(path) && path.find("..") == std::string_view::npos &&
         path.find(':') == std::string_view::npos && path.find('\\') == std::string_view::npos;
}

std::expected<Pkey, ErrorText> load_private_key(const fs::path& pem) {
  FILE* file = std::fopen(pem.c_str(), "r");
  if (!file) return std::unexpected("cannot open the private key " + quoted(pem) + " (" + errno_text(errno) + ")");
  // No pass phrase callback: an encrypted key fails instead of prompting on
  // the terminal of an unattended run.
  const auto no_pass_phrase = [](char*, int, int, void*) { return -1; };
  Pkey key(PEM_read_PrivateKey(file, nullptr, no_pass_phrase, nullptr));
  std::fclose(file);
  ERR_clear_error();
  if (!key) return std::unexpected("the file " + quoted(pem) + " holds no unencrypted PEM private key");
  if (EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
    return std::unexpected("the key in " + quoted(pem) + " is not an Ed25519 private key");
  return key;
}

std::expected<std::string, ErrorText> sign_hex(EVP_PKEY* key, std::string_view message) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  std::array<std::uint8_t, 64> sig{};
  std::size_t len = sig.size();
  const bool ok = ctx && EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key) == 1 &&
                  EVP_DigestSign(ctx.get(), sig.data(), &len,
                                 reinterpret_cast<const unsigned char*>(message.data()),
                                 message.size()) == 1 &&
                  len == sig.size();
  ERR_clear_error();
  if (!ok) return std::unexpected(ErrorText("cannot sign the release information"));
  return hex_encode(sig);
}

std::string public_key_hex(EVP_PKEY* key) {
  std::array<std::uint8_t, 32> pub{};
  std::size_t len = pub.size();
  if (EVP_PKEY_get_raw_public_key(key, pub.data(), &len) != 1 || len != pub.size()) {
    ERR_clear_error();
    return "";
  }
  return hex_encode(pub);
}

// The ids of the pieces that the releases in the tree name, whether
// announced or not; none when one of them cannot be read, for then any piece
// may be needed.
std::optional<std::set<std::string>> pieces_named_in(const fs::path& tree) {
  std::set<std::string> named;
  std::error_code ec;
  fs::directory_iterator it(tree / "v", ec);
  if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) return named;
  if (ec) return std::nullopt;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // Temporary folders of publishes, never a release.
    if (name.starts_with(".")) continue;
    const fs::path manifest = it->path() / "manifest.json";
    if (!fs::exists(fs::symlink_status(manifest, ec))) continue;
    const std::optional<std::string> text = read_regular_file(manifest, TEXT_BODY_LIMIT);
    rapidjson::Document doc;
    if (!text || doc.Parse(text->data(), text->size()).HasParseError() || !doc.IsObject()) return std::nullopt;
    if (const auto chunks = doc.FindMember("chunks"); chunks != doc.MemberEnd() && chunks->value.IsObject())
      for (const auto& chunk : chunks->value.GetObject())
        named.emplace(chunk.name.GetString(), chunk.name.GetStringLength());
    const auto files = doc.FindMember("files");
    if (files == doc.MemberEnd() || !files->value.IsArray()) continue;
    for (const auto& file : files->value.GetArray()) {
      if (!file.IsObject()) continue;
      const auto list = file.FindMember("c");
      if (list == file.MemberEnd() || !list->value.IsArray()) continue;
      for (const auto& piece : list->value.GetArray())
        if (piece.IsArray() && !piece.Empty() && piece[0].IsString())
          named.emplace(piece[0].GetString(), piece[0].GetStringLength());
    }
  }
  if (ec) return std::nullopt;
  return named;
}

// What this call has added to the tree, to take away again when it fails.
struct Undo {
  fs::path tree;
  std::vector<fs::path> files;
  std::vector<std::pair<std::string, fs::path>> pieces;  // id and file
  std::vector<fs::path> dirs;  // in the order made

  void run() const {
    std::error_code ec;
    for (auto it = files.rbegin(); it != files.rend(); ++it) fs::remove(*it, ec);
    // A piece that a release in the tree names stays, even one this call
    // wrote: that release needs it.
    if (!pieces.empty())
      if (const auto named = pieces_named_in(tree))
        for (const auto& [id, file] : pieces)
          if (!named->contains(id)) fs::remove(file, ec);
    // Removes only what stayed empty.
    for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) fs::remove(*it, ec);
  }
};

// Makes `dir` and the parents it lacks, noting each one made.
std::expected<void, ErrorText> make_dirs(const fs::path& dir, Undo& undo) {
  std::vector<fs::path> missing;
  std::error_code ec;
  for (fs::path at = dir; !at.empty() && !fs::exists(fs::symlink_status(at, ec)); at = at.parent_path()) {
    missing.push_back(at);
    if (at == at.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0755) != 0 && errno != EEXIST)
      return std::unexpected("cannot make the folder " + quoted(*it) + " (" + errno_text(errno) + ")");
    undo.dirs.push_back(*it);
  }
  return {};
}

std::expected<void, ErrorText> sync_dir(const fs::path& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.fd < 0 || ::fsync(fd.fd) != 0)
    return std::unexpected("cannot flush the folder " + quoted(dir) + " (" + errno_text(errno) + ")");
  return {};
}

// `bytes` as the whole new file `path`, on disk before this returns.
std::expected<void, ErrorText> write_synced(const fs::path& path, std::string_view bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (fd.fd < 0) return std::unexpected("cannot create " + quoted(path) + " (" + errno_text(errno) + ")");
  if (const int error = write_all(fd.fd, bytes.data(), bytes.size()))
    return std::unexpected("cannot write " + quoted(path) + " (" + errno_text(error) + ")");
  if (::fsync(fd.fd) != 0) return std::unexpected("cannot write " + quoted(path) + " (" + errno_text(errno) + ")");
  return {};
}

// Written under a temporary name, then renamed over `path`: a reader sees the
// old file or the whole new one.
std::expected<void, ErrorText> write_replacing(const fs::path& path, std::string_view bytes) {
  fs::path temp = path;
  temp += ".part-" + std::to_string(::getpid());
  if (auto wrote = write_synced(temp, bytes); !wrote) {
    std::error_code ec;
    fs::remove(temp, ec);
    return wrote;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    std::error_code ec;
    fs::remove(temp, ec);
    return std::unexpected("cannot rename " + quoted(temp) + " to " + quoted(path) + " (" + errno_text(err) + ")");
  }
  return {};
}

struct GameFile {
  std::string path;  // relative, '/' between names
  std::string hash;
  std::uint64_t size = 0;
  std::vector<FilePiece> pieces;
  std::uint64_t listed_size = 0;  // as the listing found it
};

// Every regular file below `game_dir`, in byte order of the relative paths.
std::expected<std::vector<GameFile>, ErrorText> list_game_files(const fs::path& game_dir) {
  std::vector<GameFile> files;
  std::vector<fs::path> folders{game_dir};
  while (!folders.empty()) {
    const fs::path folder = std::move(folders.back());
    folders.pop_back();
    std::error_code ec;
    const auto cannot_read = [&](const std::error_code& why) {
      return std::unexpected("cannot read the folder " + quoted(folder) + " (" + why.message() + ")");
    };
    fs::directory_iterator it(folder, ec);
    if (ec) return cannot_read(ec);
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      const fs::file_status status = it->symlink_status(ec);
      if (ec) return cannot_read(ec);
      const std::string relative = it->path().lexically_relative(game_dir).generic_string();
      // A link could name anything on this machine, and the setup program
      // installs only files: links are refused, not followed.
      if (fs::is_symlink(status))
        return std::unexpected("cannot publish " + quoted(it->path()) +
                               ": it is a link (only regular files and folders are published)");
      if (fs::is_directory(status)) {
        folders.push_back(it->path());
        continue;
      }
      if (!fs::is_regular_file(status))
        return std::unexpected("cannot publish " + quoted(it->path()) + ": it is neither a regular file nor a folder");
      if (!is_installable_path(relative))
        return std::unexpected("cannot publish " + quoted(it->path()) +
                               ": the setup program refuses paths with \"..\", \":\" or \"\\\" and names that "
                               "are not UTF-8");
      const std::uintmax_t size = it->file_size(ec);
      if (ec) return std::unexpected("cannot read " + quoted(it->path()) + " (" + ec.message() + ")");
      files.push_back(GameFile{.path = relative, .hash = {}, .size = 0, .pieces = {}, .listed_size = size});
    }
    if (ec) return cannot_read(ec);
  }
  std::sort(files.begin(), files.end(), [](const GameFile& a, const GameFile& b) { return a.path < b.path; });
  return files;
}

bool same_time(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// Reads the regular file `path` in pieces of at most `piece_size` bytes and
// hands each to `take`. The file must not change meanwhile: a piece of new
// content beside pieces of old content would make a file that never existed.
template <typename Take>
std::expected<void, ErrorText> read_pieces(const fs::path& path, std::uint64_t piece_size, std::string& buffer,
                                           Take&& take) {
  const auto cannot_read = [&](int err) {
    return std::unexpected("cannot read " + quoted(path) + " (" + errno_text(err) + ")");
  };
  // Opened without following a link that replaced the file meanwhile.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.fd < 0) return cannot_read(errno);
  struct stat before {};
  if (::fstat(fd.fd, &before) != 0) return cannot_read(errno);
  if (!S_ISREG(before.st_mode))
    return std::unexpected("cannot publish " + quoted(path) + ": it is not a regular file");
  // As much as the file needs, not a whole piece: at a large piece size, a
  // small file must not cost a large buffer.
  const std::size_t want = std::min<std::uint64_t>(piece_size, static_cast<std::uint64_t>(before.st_size));
  if (buffer.size() < want) buffer.resize(want);
  std::uint64_t total = 0;
  for (;;) {
    std::size_t filled = 0;
    while (filled < want) {
      const ssize_t got = ::read(fd.fd, buffer.data() + filled, want - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return cannot_read(errno);
      if (got == 0) break;
      filled += static_cast<std::size_t>(got);
    }
    if (filled == 0) break;
    total += filled;
    if (auto taken = take(std::string_view(buffer.data(), filled)); !taken) return taken;
    if (filled < want) break;
  }
  struct stat after {};
  if (::fstat(fd.fd, &after) != 0) return cannot_read(errno);
  if (total != static_cast<std::uint64_t>(before.st_size) || after.st_size != before.st_size ||
      !same_time(after.st_mtim, before.st_mtim))
    return std::unexpected("the file " + quoted(path) +
                           " changed while it was read; publish again when it stays as it is");
  return {};
}

// Cuts the files into pieces, hashes them, and writes every piece that the
// tree lacks. `chunks` gains each piece's download size.
struct PieceWriter {
  const PublishRequest& request;
  const PublishSeams& seams;
  Undo& undo;
  PublishResult& result;
  std::map<std::string, std::uint64_t>& chunks;
  std::unique_ptr<ZSTD_CCtx, CctxFree> cctx;  // made at the first piece to compress
  std::string compressed;
  std::string buffer;

  std::expected<void, ErrorText> add_piece(const std::string& id, std::string_view bytes) {
    if (chunks.contains(id)) return {};
    const fs::path final = request.tree_dir / piece_path(id);
    std::error_code ec;
    if (fs::is_regular_file(fs::symlink_status(final, ec))) {
      const std::uintmax_t size = fs::file_size(final, ec);
      if (ec) return std::unexpected("cannot read " + quoted(final) + " (" + ec.message() + ")");
      chunks.emplace(id, size);
      result.pieces_skipped.push_back(id);
      return {};
    }
    if (!cctx) cctx.reset(ZSTD_createCCtx());
    if (!cctx) return std::unexpected(ErrorText("cannot start the zstd compressor"));
    compressed.resize(ZSTD_compressBound(bytes.size()));
    const std::size_t size = ZSTD_compressCCtx(cctx.get(), compressed.data(), compressed.size(), bytes.data(),
                                               bytes.size(), request.zstd_level);
    if (ZSTD_isError(size))
      return std::unexpected("cannot compress piece " + id + " (" + ZSTD_getErrorName(size) + ")");
    if (auto made = make_dirs(final.parent_path(), undo); !made) return made;
    if (auto wrote = write_replacing(final, std::string_view(compressed).substr(0, size)); !wrote) return wrote;
    undo.pieces.emplace_back(id, final);
    chunks.emplace(id, size);
    result.pieces_written.push_back(id);
    return {};
  }

  std::expected<void, ErrorText> add_file(GameFile& file) {
    const fs::path path = request.game_dir / fs::path(file.path);
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> whole(EVP_MD_CTX_new());
    if (!whole || EVP_DigestInit_ex(whole.get(), EVP_sha256(), nullptr) != 1)
      return std::unexpected(ErrorText("cannot start SHA-256"));
    const auto take = [&](std::string_view bytes) -> std::expected<void, ErrorText> {
      EVP_DigestUpdate(whole.get(), bytes.data(), bytes.size());
      const std::string id = sha256_hex(bytes);
      if (auto added = add_piece(id, bytes); !added) return added;
      file.pieces.push_back(FilePiece{.id = id, .length = bytes.size()});
      file.size += bytes.size();
      if (seams.after_piece_read) seams.after_piece_read(path);
      return {};
    };
    if (auto read = read_pieces(path, request.piece_size, buffer, take); !read) return read;
    std::array<std::uint8_t, 32> digest{};
    EVP_DigestFinal_ex(whole.get(), digest.data(), nullptr);
    file.hash = digest_hex(digest);
    return {};
  }
};

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                     rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>;

bool write_string(JsonWriter& w, std::string_view text) {
  return w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

std::expected<std::string, ErrorText> release_json(const PublishRequest& request, const std::vector<GameFile>& files,
                                                   const std::map<std::string, std::uint64_t>& chunks) {
  rapidjson::StringBuffer buffer;
  JsonWriter w(buffer);
  w.StartObject();
  w.Key("version");
  write_string(w, request.version);
  w.Key("released");
  w.Uint64(request.released);
  if (request.launch) {
    w.Key("launch");
    if (!write_string(w, *request.launch)) return std::unexpected(ErrorText("the launch name is not UTF-8 text"));
  }
  if (request.eac_product_id) {
    w.Key("eac_product_id");
    if (!write_string(w, *request.eac_product_id))
      return std::unexpected(ErrorText("the anti-cheat product id is not UTF-8 text"));
  }
  w.Key("files");
  w.StartArray();
  for (const GameFile& file : files) {
    w.StartObject();
    w.Key("p");
    write_string(w, file.path);
    w.Key("n");
    w.Uint64(file.size);
    w.Key("h");
    write_string(w, file.hash);
    w.Key("c");
    w.StartArray();
    for (const FilePiece& piece : file.pieces) {
      w.StartArray();
      write_string(w, piece.id);
      w.Uint64(piece.length);
      w.EndArray();
    }
    w.EndArray();
    w.EndObject();
  }
  w.EndArray();
  w.Key("chunks");
  w.StartObject();
  for (const auto& [id, size] : chunks) {
    w.Key(id.data(), static_cast<rapidjson::SizeType>(id.size()));
    w.Uint64(size);
  }
  w.EndObject();
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

std::string latest_json(std::string_view version, std::string_view manifest) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  w.StartObject();
  w.Key("version");
  w.String(version.data(), static_cast<rapidjson::SizeType>(version.size()));
  w.Key("manifest");
  w.String(manifest.data(), static_cast<rapidjson::SizeType>(manifest.size()));
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

std::expected<void, ErrorText> check_request(const PublishRequest& request) {
  if (request.version.empty()) return std::unexpected(ErrorText("the version must not be empty"));
  // "." and ".." pass the character rule but name no folder of their own.
  if (!is_version_text(request.version) || request.version == "." || request.version == "..")
    return std::unexpected("bad version \"" + request.version +
                           "\" (ASCII letters, digits, \".\", \"-\" and \"_\" only)");
  if (request.piece_size == 0 || request.piece_size > MAX_PIECE_SIZE)
    return std::unexpected("bad piece size " + std::to_string(request.piece_size) + " (1 to " +
                           std::to_string(MAX_PIECE_SIZE) + " bytes)");
  if (request.zstd_level < ZSTD_minCLevel() || request.zstd_level > ZSTD_maxCLevel())
    return std::unexpected("bad zstd level " + std::to_string(request.zstd_level));
  if (request.launch && !is_valid_utf8(*request.launch))
    return std::unexpected(ErrorText("the launch name is not UTF-8 text"));
  if (request.eac_product_id && !is_valid_utf8(*request.eac_product_id))
    return std::unexpected(ErrorText("the anti-cheat product id is not UTF-8 text"));
  return {};
}

std::uint64_t pieces_of(const std::vector<GameFile>& files, std::uint64_t piece_size) {
  std::uint64_t count = 0;
  for (const GameFile& file : files) count += (file.listed_size + piece_size - 1) / piece_size;
  return count;
}

// Why release information of `bytes` bytes cannot go out, and what bounds it.
ErrorText too_large(std::uint64_t bytes, bool at_least, const std::vector<GameFile>& files,
                    std::uint64_t piece_size) {
  std::string text = "the release information would take " + std::string(at_least ? "at least " : "") +
                     std::to_string(bytes) + " bytes, more than the setup program reads (" +
                     std::to_string(TEXT_BODY_LIMIT) + ")";
  if (pieces_of(files, MAX_PIECE_SIZE) < pieces_of(files, piece_size))
    return text + "; choose a larger piece size (at most " + std::to_string(MAX_PIECE_SIZE) + " bytes)";
  return text + "; it grows with the number of files (" + std::to_string(files.size()) +
         "), which a larger piece size does not change";
}

// Bytes that `count` members of "chunks" add, each size of `digits` digits.
std::uint64_t chunks_bytes(std::uint64_t count, std::uint64_t digits) {
  // "{64 hex digits}":{size} and a comma between two.
  return count == 0 ? 0 : count * (64 + 3 + digits) + count - 1;
}

// Refuses, before any piece is written, release information that would be
// larger than the setup program reads. Everything but the "chunks" sizes is
// known from the listing; when only the number of distinct pieces decides,
// the files are hashed once to count them.
std::expected<void, ErrorText> check_release_size(const PublishRequest& request, const std::vector<GameFile>& files,
                                                  std::string& buffer) {
  std::vector<GameFile> shaped = files;
  const std::string placeholder(64, '0');
  std::uint64_t pieces = 0;
  for (GameFile& file : shaped) {
    file.hash = placeholder;
    file.size = file.listed_size;
    for (std::uint64_t at = 0; at < file.listed_size; at += request.piece_size, ++pieces)
      file.pieces.push_back(
          FilePiece{.id = placeholder, .length = std::min(request.piece_size, file.listed_size - at)});
  }
  auto skeleton = release_json(request, shaped, {});
  if (!skeleton) return std::unexpected(skeleton.error());
  const std::uint64_t bare = skeleton->size();
  const std::uint64_t most_digits = std::to_string(ZSTD_compressBound(request.piece_size)).size();
  if (bare + chunks_bytes(pieces, most_digits) <= TEXT_BODY_LIMIT) return {};
  std::unordered_set<std::string> distinct;
  if (bare + chunks_bytes(std::min<std::uint64_t>(pieces, 1), 1) <= TEXT_BODY_LIMIT) {
    for (const GameFile& file : files) {
      auto read = read_pieces(request.game_dir / fs::path(file.path), request.piece_size, buffer,
                              [&](std::string_view bytes) -> std::expected<void, ErrorText> {
                                distinct.insert(sha256_hex(bytes));
                                return {};
                              });
      if (!read) return std::unexpected(read.error());
    }
  }
  const std::uint64_t chunks = std::max<std::uint64_t>(distinct.size(), std::min<std::uint64_t>(pieces, 1));
  const std::uint64_t least = bare + chunks_bytes(chunks, 1);
  if (least > TEXT_BODY_LIMIT) return std::unexpected(too_large(least, true, files, request.piece_size));
  return {};
}

// Holds the tree's lock while it lives: one publish at a time per tree. The
// folder itself is locked, so that no lock file stands in the tree; a tree
// removed and made again meanwhile is locked anew.
std::expected<FolderLock, ErrorText> lock_tree(const fs::path& tree) {
  for (int round = 0; round < 10; ++round) {
    LockAttempt attempt = try_lock_folder(tree);
    switch (attempt.state) {
      case LockAttempt::locked:
        break;
      case LockAttempt::busy:
        return std::unexpected("another publish into the server tree " + quoted(tree) +
                               " is running; publish again when it has ended");
      case LockAttempt::no_folder:
        return std::unexpected("cannot open the server tree " + quoted(tree) + " (" +
                               errno_text(attempt.error) + ")");
      case LockAttempt::failed:
        return std::unexpected("cannot lock the server tree " + quoted(tree) + " (" +
                               errno_text(attempt.error) + ")");
    }
    struct stat held {}, now {};
    if (::fstat(attempt.lock.fd.get(), &held) == 0 && ::stat(tree.c_str(), &now) == 0 &&
        held.st_dev == now.st_dev && held.st_ino == now.st_ino)
      return std::move(attempt.lock);
  }
  return std::unexpected("cannot lock the server tree " + quoted(tree) + " (it keeps being replaced)");
}

// Whether `name` ends in ".part-{pid}" for a process that no longer runs.
bool is_dead_part(const std::string& name) {
  const std::size_t at = name.rfind(".part-");
  if (at == std::string::npos || at + 6 == name.size()) return false;
  const std::string digits = name.substr(at + 6);
  if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  const pid_t pid = static_cast<pid_t>(std::stol(digits));
  return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Removes the temporary files and folders that killed publishes left: the
// tree's lock is held, so no running publish owns them.
void remove_dead_parts(const fs::path& tree) {
  std::error_code ec;
  std::vector<fs::path> places{tree, tree / "v"};
  for (fs::directory_iterator it(tree / "c", ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    if (it->is_directory(ec) && !it->is_symlink(ec)) places.push_back(it->path());
  for (const fs::path& place : places) {
    std::error_code walk;
    for (fs::directory_iterator it(place, walk); !walk && it != fs::directory_iterator(); it.increment(walk))
      if (is_dead_part(it->path().filename().string())) (void)remove_tree(it->path());
  }
}

// The release that latest.json names: its version and "released" value.
struct Announced {
  std::string version;
  std::uint64_t released = 0;
};

// None when the tree has no latest.json, or one that names no release that
// can be read: such a pointer offers the setup program nothing, and any
// release replaces it.
std::optional<Announced> announced_release(const fs::path& tree) {
  const std::optional<std::string> pointer = read_regular_file(tree / "latest.json", TEXT_BODY_LIMIT);
  rapidjson::Document doc;
  if (!pointer || doc.Parse(pointer->data(), pointer->size()).HasParseError() || !doc.IsObject()) return std::nullopt;
  const auto version = doc.FindMember("version");
  if (version == doc.MemberEnd() || !version->value.IsString()) return std::nullopt;
  Announced announced{.version = version->value.GetString(), .released = 0};
  if (announced.version.empty() || !is_version_text(announced.version)) return std::nullopt;
  const std::optional<std::string> info =
      read_regular_file(tree / "v" / announced.version / "manifest.json", TEXT_BODY_LIMIT);
  rapidjson::Document release;
  if (!info || release.Parse(info->data(), info->size()).HasParseError() || !release.IsObject()) return std::nullopt;
  // Read as the setup program reads it: missing or not a number is 0.
  if (const auto released = release.FindMember("released");
      released != release.MemberEnd() && released->value.IsUint64())
    announced.released = released->value.GetUint64();
  return announced;
}

// The folders: what can be refused before the tree is touched.
std::expected<void, ErrorText> check_places(const PublishRequest& request) {
  std::error_code ec;
  const fs::file_status game = fs::status(request.game_dir, ec);
  if (!fs::exists(game)) return std::unexpected("the game folder " + quoted(request.game_dir) + " does not exist");
  if (!fs::is_directory(game))
    return std::unexpected("the game folder " + quoted(request.game_dir) + " is not a folder");
  const fs::file_status tree = fs::status(request.tree_dir, ec);
  if (fs::exists(tree) && !fs::is_directory(tree))
    return std::unexpected("the server tree " + quoted(request.tree_dir) + " is not a folder");
  // The walk of the game folder would meet the pieces being written.
  const auto real = [&](const fs::path& path) {
    fs::path out = fs::weakly_canonical(path, ec);
    return out.has_filename() ? out : out.parent_path();
  };
  const fs::path game_real = real(request.game_dir);
  const fs::path tree_real = real(request.tree_dir);
  const auto [g, t] = std::mismatch(game_real.begin(), game_real.end(), tree_real.begin(), tree_real.end());
  if (g == game_real.end())
    return std::unexpected("the server tree " + quoted(request.tree_dir) + " lies inside the game folder " +
                           quoted(request.game_dir));
  return {};
}

// Moves the finished folder `temp` to `final` unless something is there.
std::expected<void, ErrorText> rename_no_replace(const fs::path& temp, const fs::path& final,
                                                 std::string_view version) {
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, final.c_str(), RENAME_NOREPLACE) == 0) return {};
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    // A file system without the no-replace flag: a plain rename of a folder
    // still fails over a folder that holds anything.
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(final, ec)) && ::rename(temp.c_str(), final.c_str()) == 0) return {};
    err = fs::exists(fs::symlink_status(final, ec)) ? EEXIST : errno;
  }
  if (err == EEXIST || err == ENOTEMPTY)
    return std::unexpected("version " + std::string(version) + " exists already in " + quoted(final.parent_path().parent_path()));
  return std::unexpected("cannot rename " + quoted(temp) + " to " + quoted(final) + " (" + errno_text(err) + ")");
}

std::expected<PublishResult, ErrorText> publish(const PublishRequest& request, const PublishSeams& seams, Undo& undo,
                                                FolderLock& lock) {
  if (auto ok = check_request(request); !ok) return std::unexpected(ok.error());
  auto key = load_private_key(request.key_pem);
  if (!key) return std::unexpected(key.error());
  const std::string public_hex = public_key_hex(key->get());
  if (auto ok = check_places(request); !ok) return std::unexpected(ok.error());
  auto files = list_game_files(request.game_dir);
  if (!files) return std::unexpected(files.error());
  if (files->empty()) return std::unexpected("the game folder " + quoted(request.game_dir) + " holds no files");
  std::string buffer;
  if (auto ok = check_release_size(request, *files, buffer); !ok) return std::unexpected(ok.error());

  if (auto made = make_dirs(request.tree_dir, undo); !made) return std::unexpected(made.error());
  auto locked = lock_tree(request.tree_dir);
  if (!locked) return std::unexpected(locked.error());
  lock = std::move(*locked);
  remove_dead_parts(request.tree_dir);
  const fs::path versions = request.tree_dir / "v";
  const fs::path final = versions / request.version;
  std::error_code ec;
  const bool folder_exists = fs::exists(fs::symlink_status(final, ec));
  const std::optional<Announced> announced = announced_release(request.tree_dir);
  if (folder_exists && announced && announced->version == request.version)
    return std::unexpected("version " + request.version + " exists already in " + quoted(request.tree_dir));
  if (announced && announced->version != request.version && !request.announce_older &&
      request.released <= announced->released)
    return std::unexpected("version " + request.version + " (released " + std::to_string(request.released) +
                           ") is not later than version " + announced->version + " (released " +
                           std::to_string(announced->released) +
                           "), which latest.json names; announce it anyway with --announce-older");

  PublishResult result;
  result.file_count = files->size();
  std::map<std::string, std::uint64_t> chunks;
  PieceWriter writer{.request = request, .seams = seams, .undo = undo, .result = result, .chunks = chunks,
                     .cctx = {}, .compressed = {}, .buffer = std::move(buffer)};
  for (GameFile& file : *files)
    if (auto added = writer.add_file(file); !added) return std::unexpected(added.error());

  auto json = release_json(request, *files, chunks);
  if (!json) return std::unexpected(json.error());
  if (json->size() > TEXT_BODY_LIMIT)
    return std::unexpected(too_large(json->size(), false, *files, request.piece_size));
  auto sig = sign_hex(key->get(), *json);
  if (!sig) return std::unexpected(sig.error());
  *sig += "\n";
  // Read back the way the setup program reads it, under the key's public
  // half, so that a release it would refuse never goes out.
  auto readback = parse_release_info(*json, *sig, public_hex);
  if (!readback) return std::unexpected("the release information does not read back (" + readback.error() + ")");

  // Every piece must be on disk before a release that names it.
  for (const std::string& id : result.pieces_written) {
    const fs::path folder = (request.tree_dir / piece_path(id)).parent_path();
    if (auto synced = sync_dir(folder); !synced) return std::unexpected(synced.error());
  }
  if (folder_exists) {
    // A publish killed before it announced this version left its folder:
    // finished only when it holds, signed by this key, what this request makes.
    const auto held_json = read_regular_file(final / "manifest.json", TEXT_BODY_LIMIT);
    const auto held_sig = read_regular_file(final / "manifest.json.sig", TEXT_BODY_LIMIT);
    if (!held_json || !held_sig || *held_json != *json || !parse_release_info(*held_json, *held_sig, public_hex))
      return std::unexpected("version " + request.version + " exists already in " + quoted(request.tree_dir) +
                             " and holds another release");
    *sig = *held_sig;
  } else {
    // The version's folder is filled under a temporary name and appears whole.
    if (auto made = make_dirs(versions, undo); !made) return std::unexpected(made.error());
    const fs::path temp = versions / ("." + request.version + ".part-" + std::to_string(::getpid()));
    fs::remove_all(temp, ec);
    if (::mkdir(temp.c_str(), 0755) != 0)
      return std::unexpected("cannot make the folder " + quoted(temp) + " (" + errno_text(errno) + ")");
    undo.dirs.push_back(temp);
    const fs::path temp_json = temp / "manifest.json";
    const fs::path temp_sig = temp / "manifest.json.sig";
    undo.files.push_back(temp_json);
    undo.files.push_back(temp_sig);
    if (auto wrote = write_synced(temp_json, *json); !wrote) return std::unexpected(wrote.error());
    if (auto wrote = write_synced(temp_sig, *sig); !wrote) return std::unexpected(wrote.error());
    if (auto synced = sync_dir(temp); !synced) return std::unexpected(synced.error());
    if (auto moved = rename_no_replace(temp, final, request.version); !moved) return std::unexpected(moved.error());
    undo.files.erase(undo.files.end() - 2, undo.files.end());
    undo.files.push_back(final / "manifest.json");
    undo.files.push_back(final / "manifest.json.sig");
    std::replace(undo.dirs.begin(), undo.dirs.end(), temp, final);
  }
  if (auto synced = sync_dir(versions); !synced) return std::unexpected(synced.error());
  if (seams.before_announcing) seams.before_announcing();

  const std::string manifest = "v/" + request.version + "/manifest.json";
  if (auto wrote = write_replacing(request.tree_dir / "latest.json", latest_json(request.version, manifest)); !wrote)
    return std::unexpected(wrote.error());
  // Announced: nothing may be taken back now.
  undo.files.clear();
  undo.pieces.clear();
  undo.dirs.clear();
  if (auto synced = sync_dir(request.tree_dir); !synced) return std::unexpected(synced.error());

  result.manifest_json = std::move(*json);
  result.manifest_sig = std::move(*sig);
  return result;
}

}  // namespace

std::string piece_path(std::string_view id) {
  return "c/" + std::string(id.substr(0, 2)) + "/" + std::string(id) + ".zst";
}

std::expected<PublishResult, ErrorText> publish_release(const PublishRequest& request, const PublishSeams& seams) {
  // The undo runs while the lock is still held.
  FolderLock lock;
  Undo undo{.tree = request.tree_dir, .files = {}, .pieces = {}, .dirs = {}};
  auto result = publish(request, seams, undo, lock);
  if (!result) undo.run();
  return result;
}
