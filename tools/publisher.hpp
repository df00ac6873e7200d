// The publisher: turns a folder of game files into a release on a server
// tree (the folder layout that the download server serves), signed with the
// publisher's Ed25519 private key. Used by the reeftown-publish program and
// by tests that need real releases. No state; one publish into a tree at a
// time.
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
// then latest.json. Refuses, before writing anything: a bad request or key,
// a missing game folder, a version the tree holds already, a game entry that
// is neither a regular file nor a folder (links included), and a file path
// the setup program would refuse. On a later failure the pieces this call
// wrote are removed again.
std::expected<PublishResult, ErrorText> publish_release(const PublishRequest& request);

// "c/{first two}/{id}.zst": where a piece lies below the tree (and below the
// download base URL).
std::string piece_path(std::string_view id);
