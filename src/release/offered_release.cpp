#include "release/offered_release.hpp"

#include <string>

#include "release/json.hpp"

bool is_version_text(std::string_view version) {
  for (char c : version) {
    const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
    if (!allowed) return false;
  }
  return true;
}

namespace {

}  // namespace

std::expected<ReleaseInfo, ErrorText> fetch_offered_release(std::string_view base_url,
                                                            std::string_view public_key_hex,
                                                            const AgentSettings& agent_settings) {
  const std::string base(base_url);
  auto pointer = fetch_text(base + "/latest.json", agent_settings);
  if (!pointer) return std::unexpected(pointer.error());
  auto document = parse_json(*pointer);
  if (!document) return std::unexpected(document.error());

  const std::string version(json_string(json_member(document->root, "version")).value_or(""));
  const std::string manifest(json_string(json_member(document->root, "manifest")).value_or(""));
  if (manifest != "v/" + version + "/manifest.json")
    return std::unexpected(ErrorText(BAD_RELEASE_TEXT));
  if (!is_version_text(version)) return std::unexpected(ErrorText(BAD_RELEASE_TEXT));

  auto manifest_json = fetch_text(base + "/" + manifest, agent_settings);
  if (!manifest_json) return std::unexpected(manifest_json.error());
  auto manifest_sig = fetch_text(base + "/" + manifest + ".sig", agent_settings);
  if (!manifest_sig) return std::unexpected(manifest_sig.error());

  auto info =
      parse_release_info(std::move(*manifest_json), std::move(*manifest_sig), public_key_hex);
  if (!info) return std::unexpected(info.error());
  if (info->version != version) return std::unexpected(ErrorText(BAD_RELEASE_TEXT) + " (version)");
  return info;
}
