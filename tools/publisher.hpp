// The publisher: turns a folder of game files into a release on a server
// tree (the folder layout that the download server serves), signed with the
// publisher's Ed25519 private key. Used by the reeftown-publish program and
// by tests that need real releases. No state of its own; a lock on the tree
// lets one publish at a time write into it, and refuses any other meanwhile.
//
// The tree it writes and adds to:
//   c/{first two}/{id}.zst        one zstd frame per piece; id = SHA-256 (hex)
//                                 of the decoded bytes; never written twice
//   v/{version}/manifest.json     the release information
//   v/{version}/manifest.json.sig hex text of its Ed25519 signature
//   latest.json                   {"version": ..., "manifest": "v/{version}/manifest.json"}
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/error_text.hpp"

inline constexpr std::uint64_t DEFAULT_PIECE_SIZE = 1048576;
// The setup program takes at most this many decoded bytes of a piece.
inline constexpr std::uint64_t MAX_PIECE_SIZE = 33554432;
inline constexpr int DEFAULT_ZSTD_LEVEL = 3;

struct PublishRequest {
  std::filesystem::path game_dir;  // every regular file below it becomes a game file
  std::filesystem::path tree_dir;  // created when missing
  std::string version;             // ASCII letters, digits, ".", "-", "_"
  std::uint64_t released = 0;      // of two releases, the greater is the later
  std::filesystem::path key_pem;   // Ed25519 private key, PEM
  std::uint64_t piece_size = DEFAULT_PIECE_SIZE;
  std::optional<std::string> launch;          // left out: the program starts "ReefTown.exe"
  std::optional<std::string> eac_product_id;  // left out: no anti-cheat step
  int zstd_level = DEFAULT_ZSTD_LEVEL;
  // A release whose "released" is not greater than that of the release
  // latest.json names is refused unless this is set.
  bool announce_older = false;
};

// Points where tests change a game file or end the process; empty in real use.
struct PublishSeams {
  // After each piece of the game file `file` was read and handled.
  std::function<void(const std::filesystem::path& file)> after_piece_read;
  // After the version's folder appeared, before latest.json names it.
  std::function<void()> before_announcing;
};

struct PublishResult {
  std::string manifest_json;  // exactly as written and signed
  std::string manifest_sig;   // exactly as written
  std::size_t file_count = 0;
  // Piece ids in the order first met, each once: those this call wrote, and
  // those the tree held already.
  std::vector<std::string> pieces_written;
  std::vector<std::string> pieces_skipped;
};

// Writes the pieces the tree lacks, then the version's folder with the
// release information and its signature (it appears whole, by one rename),
// then latest.json. Refuses, before writing any piece: a bad request or key,
// a missing game folder, a game entry that is neither a regular file nor a
// folder (links included), a file path the setup program would refuse,
// release information larger than the setup program reads, a tree that
// another publish holds, a version latest.json names already, and a release
// not later than the announced one (unless `announce_older`). A version
// whose folder a killed publish left unannounced is finished when this
// request makes the same release. A game file that changes while it is read
// fails the publish. On a failure the pieces this call wrote are removed
// again, except those that a release in the tree names; leftover temporary
// files of dead publishes are removed.
std::expected<PublishResult, ErrorText> publish_release(const PublishRequest& request,
                                                        const PublishSeams& seams = {});

// "c/{first two}/{id}.zst": where a piece lies below the tree (and below the
// download base URL).
std::string piece_path(std::string_view id);
