// Signed release information: what one release of the game holds, and the
// one way to obtain it, parse_release_info, which verifies the Ed25519
// signature over the exact JSON bytes before reading anything. A ReleaseInfo
// never changes once built; worker threads read it through shared references.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lib/error_text.hpp"
#include "release/release_key.hpp"

// The most decoded bytes one piece holds: no server delivers a longer piece,
// so a longer one is never fetched whole nor looked for on disk.
inline constexpr std::size_t PIECE_DECODED_LIMIT = 33554432;

// One piece of a file: the SHA-256 (hex) of its decoded bytes, which is also
// its name on the server and in the piece cache, and its length in the file.
struct FilePiece {
  std::string id;
  std::uint64_t length = 0;
};

// One game file, relative to the install folder with '/' between names. Its
// content is the decoded bytes of its pieces in list order.
struct FileEntry {
  std::string path;
  std::string hash;
  std::vector<FilePiece> pieces;
  std::uint64_t size = 0;
};

// Piece id to the bytes that fetching it counts for; an id without an entry
// counts 0.
using ChunkMap = std::unordered_map<std::string, std::uint64_t>;
using ChunkEntry = ChunkMap::value_type;

struct ReleaseInfo {
  std::string manifest_json;  // exactly as received or read: the signature covers these bytes
  std::string manifest_sig;   // exactly as received or read, white space included
  std::string version;
  std::string launch = "ReefTown.exe";
  std::string eac_product_id;
  std::vector<FileEntry> files;
  ChunkMap chunks;
  std::uint64_t released = 0;
};

inline constexpr std::string_view NOT_SIGNED_TEXT =
    "the release information is not signed by KORVANE (it may have been tampered with)";
inline constexpr std::string_view BAD_RELEASE_TEXT = "bad release information";
inline constexpr std::string_view BAD_PATH_TEXT = "bad release information (file path)";

// True when `manifest_sig` (hex text) is an Ed25519 signature of the bytes of
// `manifest_json` under the public key given as hex text.
bool release_signature_verifies(std::string_view public_key_hex, std::string_view manifest_json,
                                std::string_view manifest_sig);

// The file paths that release information text lists, read without any check
// of its signature or of the paths: what a copy that the program wrote itself
// named, after the copy was damaged. Empty when the text does not parse.
std::vector<std::string> unverified_file_paths(std::string_view manifest_json);

// Verifies, then parses. Both texts are taken over: on success they become
// manifest_json and manifest_sig unchanged.
std::expected<ReleaseInfo, ErrorText> parse_release_info(
    std::string manifest_json, std::string manifest_sig,
    std::string_view public_key_hex = RELEASE_PUBLIC_KEY);
