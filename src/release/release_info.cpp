#include "release/release_info.hpp"

#include <memory>
#include <utility>

#include <openssl/err.h>
#include <openssl/evp.h>

#include "lib/hexdigest.hpp"
#include "release/install_layout.hpp"
#include "release/json.hpp"

namespace {

constexpr std::size_t PUBLIC_KEY_BYTES = 32;
constexpr std::size_t SIGNATURE_BYTES = 64;

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// Only the texts the format names count: a path that could leave the install
// folder fails. A leading backslash names the root of the current drive on
// the platform, and the file system calls end a path at a NUL, so that it
// would name another file: both fail as well.
bool path_is_safe(std::string_view path) {
  if (path.empty()) return false;
  if (path.find("..") != std::string_view::npos) return false;
  if (path.front() == '/') return false;
  if (path.find(':') != std::string_view::npos) return false;
  if (path.front() == '\\') return false;
  if (path.find('\0') != std::string_view::npos) return false;
  // The program's own files at the top: a release listing one would
  // overwrite it with a game file, or have the swap replace the game file.
  if (names_release_file(path)) return false;
  return true;
}

std::string string_or(const JsonValue* value, std::string_view fallback) {
  return std::string(json_string(value).value_or(fallback));
}

FileEntry read_file_entry(const JsonValue& file) {
  FileEntry entry;
  entry.path = string_or(json_member(file, "p"), "");
  entry.size = json_unsigned(json_member(file, "n")).value_or(0);
  entry.hash = string_or(json_member(file, "h"), "");
  const auto pieces = json_elements(json_member(file, "c"));
  entry.pieces.reserve(pieces.size());
  for (const JsonValue& piece : pieces) {
    // Every element yields a piece; what it lacks takes the defaults.
    const auto parts = json_elements(&piece);
    FilePiece& out = entry.pieces.emplace_back();
    if (parts.size() >= 1) out.id = string_or(&parts[0], "");
    if (parts.size() >= 2) out.length = json_unsigned(&parts[1]).value_or(0);
  }
  return entry;
}

}  // namespace

bool release_signature_verifies(std::string_view public_key_hex, std::string_view manifest_json,
                                std::string_view manifest_sig) {
  const auto key = hex_decode(public_key_hex);
  if (!key || key->size() != PUBLIC_KEY_BYTES) return false;
  const auto sig = hex_decode(manifest_sig);
  if (!sig || sig->size() != SIGNATURE_BYTES) return false;

  // Loading only copies the bytes; whether they encode a point is decided
  // when verifying.
  std::unique_ptr<EVP_PKEY, PkeyFree> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key->data(), key->size()));
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  const bool verified =
      pkey && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
      EVP_DigestVerify(ctx.get(), sig->data(), sig->size(),
                       reinterpret_cast<const unsigned char*>(manifest_json.data()), manifest_json.size()) == 1;
  // A refusal leaves entries on this thread's OpenSSL error queue; they must
  // not surface in a later, unrelated call such as a TLS handshake.
  if (!verified) ERR_clear_error();
  return verified;
}

std::expected<ReleaseInfo, ErrorText> parse_release_info(std::string manifest_json, std::string manifest_sig,
                                                         std::string_view public_key_hex) {
  if (!release_signature_verifies(public_key_hex, manifest_json, manifest_sig))
    return std::unexpected(ErrorText(NOT_SIGNED_TEXT));

  // The text is ours until it moves into the result, and comes back
  // unchanged: no copy of megabytes.
  auto doc = parse_json_borrowing(manifest_json);
  if (!doc) return std::unexpected(std::move(doc.error()));
  const JsonValue& root = doc->root;

  const JsonValue* files = json_member(root, "files");
  if (!files || files->type != JsonType::array) return std::unexpected(ErrorText(BAD_RELEASE_TEXT));

  ReleaseInfo info;
  const auto elements = json_elements(files);
  info.files.reserve(elements.size());
  for (const JsonValue& file : elements) info.files.push_back(read_file_entry(file));

  // Checked only once every entry is built, in list order.
  for (const FileEntry& entry : info.files)
    if (!path_is_safe(entry.path)) return std::unexpected(ErrorText(BAD_PATH_TEXT));

  const auto chunks = json_members(json_member(root, "chunks"));
  info.chunks.reserve(chunks.size());
  for (const JsonMember& member : chunks)
    info.chunks.insert_or_assign(std::string(member.key), json_unsigned(&member.value).value_or(0));

  info.version = string_or(json_member(root, "version"), "");
  info.released = json_unsigned(json_member(root, "released")).value_or(0);
  info.launch = string_or(json_member(root, "launch"), "ReefTown.exe");
  info.eac_product_id = string_or(json_member(root, "eac_product_id"), "");
  info.manifest_json = std::move(manifest_json);
  info.manifest_sig = std::move(manifest_sig);
  return info;
}

std::vector<std::string> unverified_file_paths(std::string_view manifest_json) {
  std::vector<std::string> paths;
  std::string text(manifest_json);
  auto doc = parse_json_borrowing(text);
  if (!doc) return paths;
  for (const JsonValue& file : json_elements(json_member(doc->root, "files")))
    if (auto path = json_string(json_member(file, "p")); path && !path->empty())
      paths.emplace_back(*path);
  return paths;
}
