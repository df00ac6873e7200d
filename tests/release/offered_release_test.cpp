#include "release/offered_release.hpp"

#include <gtest/gtest.h>

#include <optional>

#include "support/fetch.hpp"
#include "support/http_server.hpp"
#include "support/test_key.hpp"

namespace {

constexpr std::string_view BASE_PATH = "/reef-town";

std::string pointer(std::string_view version, std::string_view manifest) {
  return "{\"version\": \"" + std::string(version) + "\", \"manifest\": \"" +
         std::string(manifest) + "\"}";
}

// Release information with one file; `version` left out when absent.
std::string release_json(std::optional<std::string_view> version) {
  std::string json = "{";
  if (version) json += "\"version\": \"" + std::string(*version) + "\", ";
  json +=
      "\"released\": 7, \"files\": [{\"p\": \"ReefTown.exe\", \"n\": 0, \"h\": \"\", \"c\": []}]}";
  return json;
}

// What the server holds under BASE_PATH.
struct Publication {
  std::optional<std::string> latest;     // "latest.json", none for 404
  std::string manifest_path;             // relative to the base
  std::optional<std::string> manifest;   // none for 404
  std::optional<std::string> signature;  // none for 404; default: a good one
  bool sign = true;
};

Publication publication(std::optional<std::string> latest, std::string manifest_path,
                        std::optional<std::string> manifest,
                        std::optional<std::string> signature = std::nullopt, bool sign = true) {
  return {std::move(latest), std::move(manifest_path), std::move(manifest), std::move(signature),
          sign};
}

void publish(TestServer& server, const Publication& p) {
  const std::string base(BASE_PATH);
  if (p.latest) server.route(base + "/latest.json", text_reply(*p.latest));
  if (p.manifest) {
    server.route(base + "/" + p.manifest_path, text_reply(*p.manifest));
    const std::string sig = p.signature ? *p.signature : test_sign_hex(*p.manifest);
    if (p.sign) server.route(base + "/" + p.manifest_path + ".sig", text_reply(sig));
  }
}

TEST(OfferedRelease, FetchesPointerInformationAndSignatureInOrder) {
  TestServer server = start_server();
  ASSERT_EQ(server.error, "");
  const std::string json = release_json("1.2.0");
  const std::string sig = test_sign_hex(json) + "\n";
  publish(server, publication(pointer("1.2.0", "v/1.2.0/manifest.json"), "v/1.2.0/manifest.json",
                              json, sig));

  auto info = fetch_offered_release(server.url(BASE_PATH), TEST_PUBLIC_KEY_HEX, loopback());
  ASSERT_TRUE(info.has_value()) << info.error();
  EXPECT_EQ(info->version, "1.2.0");
  EXPECT_EQ(info->released, 7u);
  // The texts travel unchanged, so that the installed copy verifies again.
  EXPECT_EQ(info->manifest_json, json);
  EXPECT_EQ(info->manifest_sig, sig);
  EXPECT_EQ(server.targets(),
            (std::vector<std::string>{"/reef-town/latest.json", "/reef-town/v/1.2.0/manifest.json",
                                      "/reef-town/v/1.2.0/manifest.json.sig"}));
}

TEST(OfferedRelease, RefusesPointersBeforeFetchingAnythingElse) {
  struct Case {
    const char* name;
    std::string latest;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"manifest in another letter case", pointer("1.2.0", "V/1.2.0/manifest.json"),
       "bad release information"},
      {"leading slash", pointer("1.2.0", "/v/1.2.0/manifest.json"), "bad release information"},
      {"another file name", pointer("1.2.0", "v/1.2.0/release.json"), "bad release information"},
      {"version with a blank", pointer("1.2 0", "v/1.2 0/manifest.json"),
       "bad release information"},
      {"version with a plus", pointer("1.2+0", "v/1.2+0/manifest.json"), "bad release information"},
      {"version with a slash", pointer("1/2", "v/1/2/manifest.json"), "bad release information"},
      {"version with a non-ASCII letter", pointer("1.2.\xC3\xA9", "v/1.2.\xC3\xA9/manifest.json"),
       "bad release information"},
      {"version that is a number", "{\"version\": 120, \"manifest\": \"v/120/manifest.json\"}",
       "bad release information"},
      {"root that is no object", "[\"v//manifest.json\"]", "bad release information"},
      {"not JSON", "<html>", "expected value at line 1 column 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestServer server = start_server();
    ASSERT_EQ(server.error, "");
    publish(server, publication(c.latest, "", std::nullopt));
    auto info = fetch_offered_release(server.url(BASE_PATH), TEST_PUBLIC_KEY_HEX, loopback());
    ASSERT_FALSE(info.has_value());
    EXPECT_EQ(info.error(), c.error);
    EXPECT_EQ(server.targets(), std::vector<std::string>{"/reef-town/latest.json"});
  }
}

TEST(OfferedRelease, ChecksWhatTheSignedInformationSays) {
  const std::string good = release_json("1.2.0");
  struct Case {
    const char* name;
    Publication publication;
    std::string error;  // {base} for the base URL; empty for success
    std::vector<std::string> requested;
  };
  const std::vector<Case> cases = {
      {"empty version and no version inside",
       publication(pointer("", "v//manifest.json"), "v//manifest.json", release_json(std::nullopt)),
       "",
       {"/reef-town/latest.json", "/reef-town/v//manifest.json",
        "/reef-town/v//manifest.json.sig"}},
      {"missing version counts as empty",
       publication("{\"manifest\": \"v//manifest.json\"}", "v//manifest.json",
                   release_json(std::nullopt)),
       "",
       {"/reef-town/latest.json", "/reef-town/v//manifest.json",
        "/reef-town/v//manifest.json.sig"}},
      {"a version of two dots is a dot segment",
       publication(pointer("..", "v/../manifest.json"), "manifest.json", release_json("..")),
       "",
       {"/reef-town/latest.json", "/reef-town/manifest.json", "/reef-town/manifest.json.sig"}},
      {"empty version but a version inside",
       publication(pointer("", "v//manifest.json"), "v//manifest.json", release_json("1.0")),
       "bad release information (version)",
       {"/reef-town/latest.json", "/reef-town/v//manifest.json",
        "/reef-town/v//manifest.json.sig"}},
      {"another version inside",
       publication(pointer("1.2.0", "v/1.2.0/manifest.json"), "v/1.2.0/manifest.json",
                   release_json("1.2.1")),
       "bad release information (version)",
       {"/reef-town/latest.json", "/reef-town/v/1.2.0/manifest.json",
        "/reef-town/v/1.2.0/manifest.json.sig"}},
      {"signature of other bytes",
       publication(pointer("1.2.0", "v/1.2.0/manifest.json"), "v/1.2.0/manifest.json", good,
                   test_sign_hex(good + " ")),
       std::string(NOT_SIGNED_TEXT),
       {"/reef-town/latest.json", "/reef-town/v/1.2.0/manifest.json",
        "/reef-town/v/1.2.0/manifest.json.sig"}},
      // Replaced before the check, so the bytes as sent no longer verify.
      {"signed bytes that are not UTF-8",
       publication(pointer("1.2.0", "v/1.2.0/manifest.json"), "v/1.2.0/manifest.json",
                   "{\"version\": \"1.2.0\", \"name\": \"caf\xE9\", \"files\": []}"),
       std::string(NOT_SIGNED_TEXT),
       {"/reef-town/latest.json", "/reef-town/v/1.2.0/manifest.json",
        "/reef-town/v/1.2.0/manifest.json.sig"}},
      {"signed in the form the download arrives in",
       publication(pointer("1.2.0", "v/1.2.0/manifest.json"), "v/1.2.0/manifest.json",
                   "{\"version\": \"1.2.0\", \"name\": \"caf\xE9\", \"files\": []}",
                   test_sign_hex("{\"version\": \"1.2.0\", \"name\": \"caf\xEF\xBF\xBD\", "
                                 "\"files\": []}")),
       "",
       {"/reef-town/latest.json", "/reef-town/v/1.2.0/manifest.json",
        "/reef-town/v/1.2.0/manifest.json.sig"}},
      {"no signature on the server",
       publication(pointer("1.2.0", "v/1.2.0/manifest.json"), "v/1.2.0/manifest.json", good, {},
                   false),
       "cannot reach the download server ({base}/v/1.2.0/manifest.json.sig: status code 404)",
       {"/reef-town/latest.json", "/reef-town/v/1.2.0/manifest.json",
        "/reef-town/v/1.2.0/manifest.json.sig"}},
      {"no release information on the server",
       publication(pointer("1.2.0", "v/1.2.0/manifest.json"), "v/1.2.0/manifest.json",
                   std::nullopt),
       "cannot reach the download server ({base}/v/1.2.0/manifest.json: status code 404)",
       {"/reef-town/latest.json", "/reef-town/v/1.2.0/manifest.json"}},
      {"no pointer on the server",
       publication(std::nullopt, "", std::nullopt),
       "cannot reach the download server ({base}/latest.json: status code 404)",
       {"/reef-town/latest.json"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestServer server = start_server();
    ASSERT_EQ(server.error, "");
    publish(server, c.publication);
    const std::string base = server.url(BASE_PATH);
    auto info = fetch_offered_release(base, TEST_PUBLIC_KEY_HEX, loopback());
    if (c.error.empty()) {
      EXPECT_TRUE(info.has_value()) << info.error();
    } else {
      std::string error = c.error;
      if (auto at = error.find("{base}"); at != std::string::npos) error.replace(at, 6, base);
      ASSERT_FALSE(info.has_value());
      EXPECT_EQ(info.error(), error);
    }
    EXPECT_EQ(server.targets(), c.requested);
  }
}

}  // namespace
