#include "install/pass.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/sha.h>
#include <zstd.h>

#include "lib/hexdigest.hpp"
#include "install/build_swap.hpp"
#include "release/install_layout.hpp"
#include "support/child.hpp"
#include "support/http_server.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"
#include "support/test_key.hpp"

namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- releases

std::string sha256_text(std::string_view bytes) {
  std::array<std::uint8_t, 32> digest{};
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest.data());
  return digest_hex(digest);
}

std::string zstd_bytes(std::string_view bytes) {
  std::string out(ZSTD_compressBound(bytes.size()), '\0');
  const std::size_t n = ZSTD_compress(out.data(), out.size(), bytes.data(), bytes.size(), 3);
  if (ZSTD_isError(n)) throw std::runtime_error("zstd failed");
  out.resize(n);
  return out;
}

constexpr std::size_t PIECE_SIZE = 8;
// Every piece counts half a megabyte in the download figures.
constexpr std::uint64_t PIECE_DOWNLOAD_SIZE = 524288;

using GameFiles = std::map<std::string, std::string>;  // release path to content

struct TestRelease {
  ReleaseInfo info;
  std::map<std::string, std::string> pieces;  // id to decoded bytes
};

// A release signed with the test key; each file cut into pieces of
// PIECE_SIZE bytes.
TestRelease make_release(const std::string& version, std::uint64_t released,
                         const GameFiles& files, const std::string& launch = "") {
  TestRelease release;
  std::string json = R"({"version":")" + version + R"(","released":)" +
                     std::to_string(released) + R"(,"files":[)";
  if (!launch.empty()) json.insert(1, R"("launch":")" + launch + R"(",)");
  bool first_file = true;
  for (const auto& [path, content] : files) {
    json += first_file ? "" : ",";
    first_file = false;
    json += R"({"p":")" + path + R"(","n":)" + std::to_string(content.size()) + R"(,"h":")" +
            sha256_text(content) + R"(","c":[)";
    for (std::size_t at = 0; at < content.size(); at += PIECE_SIZE) {
      const std::string piece = content.substr(at, PIECE_SIZE);
      const std::string id = sha256_text(piece);
      release.pieces[id] = piece;
      json += (at == 0 ? "" : ",") + std::string(R"([")") + id + R"(",)" +
              std::to_string(piece.size()) + "]";
    }
    json += "]}";
  }
  json += R"(],"chunks":{)";
  bool first_chunk = true;
  for (const auto& [id, piece] : release.pieces) {
    json += (first_chunk ? "\"" : ",\"") + id + "\":" + std::to_string(PIECE_DOWNLOAD_SIZE);
    first_chunk = false;
  }
  json += "}}";
  std::string sig = test_sign_hex(json) + "\n";
  auto info = parse_release_info(std::move(json), std::move(sig), TEST_PUBLIC_KEY_HEX);
  if (!info) throw std::runtime_error(info.error());
  release.info = std::move(*info);
  return release;
}

std::string piece_target(const std::string& id) { return "/c/" + id.substr(0, 2) + "/" + id + ".zst"; }

// ---------------------------------------------------------------- console

// True when `text` has the form of `pattern`, where '#' stands for any
// blanks followed by at least one digit and every other character for itself.
bool has_form(std::string_view text, std::string_view pattern) {
  std::size_t at = 0;
  for (char p : pattern) {
    if (p != '#') {
      if (at == text.size() || text[at] != p) return false;
      ++at;
      continue;
    }
    while (at < text.size() && text[at] == ' ') ++at;
    const std::size_t digits = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    if (at == digits) return false;
  }
  return at == text.size();
}

// The console text with each redraw of the download progress line taken out;
// fails the test when one has another form.
std::string without_download_progress(const std::string& text) {
  constexpr std::string_view start = "\r  downloading ";
  constexpr std::string_view end = " min left   ";
  std::string out;
  std::size_t at = 0;
  for (std::size_t found; (found = text.find(start, at)) != std::string::npos;) {
    out += text.substr(at, found - at);
    const std::size_t stop = text.find(end, found);
    EXPECT_NE(stop, std::string::npos) << ::testing::PrintToString(text);
    if (stop == std::string::npos) return text;
    const std::string_view redraw = std::string_view(text).substr(found, stop + end.size() - found);
    EXPECT_TRUE(has_form(redraw, "\r  downloading #.# / #.# MB  #.# MB/s  about # min left   "))
        << ::testing::PrintToString(std::string(redraw));
    at = stop + end.size();
  }
  return out + text.substr(at);
}

std::string building(std::size_t n) {
  std::string text;
  for (std::size_t k = 1; k <= n; ++k)
    text += "\r  building files " + std::to_string(k) + "/" + std::to_string(n) + "   ";
  return n == 0 ? text : text + "\n";
}

struct PassRun {
  std::expected<PassOutcome, ErrorText> result;
  std::string console;  // download progress taken out
};

// ---------------------------------------------------------------- fixture

GameFiles base_files() {
  return {{"ReefTown.exe", "the game program, version one"},
          {"Data/maps.pak", "maps of the reef and the town"},
          {"Data/Sub/voice.dll", "voices"}};
}

GameFiles folder_files(const fs::path& dir) {
  GameFiles files;
  if (!fs::exists(dir)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (!entry.is_directory()) files[fs::relative(entry.path(), dir).generic_string()] = read_file(entry.path());
  return files;
}

GameFiles with_release_files(GameFiles files, const ReleaseInfo& info) {
  files[".manifest.json"] = info.manifest_json;
  files[".manifest.sig"] = info.manifest_sig;
  files[".version"] = info.version;
  return files;
}

class Pass : public ::testing::Test {
 protected:
  Pass() {
    options.public_key_hex = TEST_PUBLIC_KEY_HEX;
    options.download.first_retry_wait = std::chrono::milliseconds(1);
    options.download.progress_interval = std::chrono::milliseconds(20);
    options.download.agent.connect_timeout = std::chrono::seconds(5);
    options.download.agent.read_timeout = std::chrono::seconds(5);
  }

  // Serves `release` and its pieces; `latest` points at it when asked.
  void serve(const TestRelease& release, bool latest = true) {
    const std::string manifest = "/v/" + release.info.version + "/manifest.json";
    server.route(manifest, text_reply(release.info.manifest_json));
    server.route(manifest + ".sig", text_reply(release.info.manifest_sig));
    for (const auto& [id, piece] : release.pieces) server.route(piece_target(id), text_reply(zstd_bytes(piece)));
    if (latest) point_latest_at(release.info.version);
  }
  void point_latest_at(const std::string& version) {
    server.route("/latest.json", text_reply(R"({"version":")" + version +
                                            R"(","manifest":"v/)" + version + R"(/manifest.json"})"));
  }

  PassRun run(const fs::path& dir, const ReleaseInfo& target) {
    StderrCapture capture;
    auto result = install_pass(server.url(""), dir, target, options);
    return {std::move(result), without_download_progress(capture.finish())};
  }

  std::size_t piece_requests() const {
    std::size_t n = 0;
    for (const LoggedRequest& request : server.requests()) n += request.target.starts_with("/c/");
    return n;
  }
  std::multiset<std::string> piece_targets_since(std::size_t first_request) const {
    std::multiset<std::string> targets;
    const auto requests = server.requests();
    for (std::size_t i = first_request; i < requests.size(); ++i)
      if (requests[i].target.starts_with("/c/")) targets.insert(requests[i].target);
    return targets;
  }

  // A first install of `release` into `dir` that must succeed.
  void install(const fs::path& dir, const TestRelease& release) {
    serve(release);
    const PassRun first = run(dir, release.info);
    ASSERT_TRUE(first.result.has_value()) << first.result.error();
    ASSERT_TRUE(std::holds_alternative<Installed>(*first.result)) << first.console;
  }

  TestServer server = start_server();
  TempDir tmp;
  PassOptions options;
  const fs::path dir = tmp.path / "Games" / "Reef Town";
};

bool work_folders_in(const fs::path& parent) {
  for (std::string_view name : {CACHE_DIR_NAME, STAGE_DIR_NAME, OLD_DIR_NAME})
    if (fs::exists(fs::symlink_status(parent / name))) return true;
  return false;
}

// The plan line's figure for `pieces` pieces of PIECE_DOWNLOAD_SIZE.
std::string megabytes(std::size_t pieces) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(pieces) * 0.5);
  return text;
}

std::string plan_line(const std::string& verb, const std::string& version, const std::string& mb,
                      std::size_t files) {
  return verb + " Reef Town " + version + ": " + mb + " MB to download, " + std::to_string(files) +
         " files to update, 0.0 GB installed\n";
}

// ---------------------------------------------------------------- passes

TEST_F(Pass, FirstInstallThenUpToDate) {
  ASSERT_EQ(server.error, "");
  const TestRelease release = make_release("1.0", 100, base_files());
  serve(release);

  const PassRun first = run(dir, release.info);
  ASSERT_TRUE(first.result.has_value()) << first.result.error();
  EXPECT_TRUE(std::holds_alternative<Installed>(*first.result));
  EXPECT_EQ(first.console, "Checking the installed files...\n" +
                               plan_line("Installing", "1.0", megabytes(release.pieces.size()), 3) + "\n" + building(3) +
                               "Reef Town 1.0 is installed.\n");
  EXPECT_EQ(piece_requests(), release.pieces.size());
  EXPECT_EQ(folder_files(dir), with_release_files(base_files(), release.info));
  EXPECT_FALSE(work_folders_in(dir.parent_path()));

  const std::size_t requests_before = server.requests().size();
  const PassRun second = run(dir, release.info);
  ASSERT_TRUE(second.result.has_value()) << second.result.error();
  EXPECT_TRUE(std::holds_alternative<UpToDate>(*second.result));
  EXPECT_EQ(second.console, "Checking the installed files...\n");
  EXPECT_FALSE(work_folders_in(dir.parent_path()));
  EXPECT_EQ(server.requests().size(), requests_before);
  EXPECT_EQ(folder_files(dir), with_release_files(base_files(), release.info));
}

TEST_F(Pass, RepairListsAtMostEightProblems) {
  GameFiles files;
  for (char c = 'a'; c <= 'j'; ++c) files[std::string("file_") + c + ".bin"] = std::string("content ") + c;
  const TestRelease release = make_release("1.0", 100, files);
  for (std::size_t missing : {8u, 9u}) {
    SCOPED_TRACE(std::to_string(missing) + " missing");
    TempDir here;
    const fs::path folder = here.path / "Reef Town";
    install(folder, release);

    std::string listing = "Some game files were changed or are missing:\n";
    std::size_t n = 0;
    for (const auto& [path, content] : files) {
      if (n == missing) break;
      fs::remove(folder / path);
      if (n < 8) listing += "  missing: " + path + "\n";
      ++n;
    }
    if (missing > 8) listing += "  ... and " + std::to_string(missing - 8) + " more\n";
    listing += "Repairing them.\n";

    // Each file is two pieces, "content " and its letter; the first lies
    // intact in the files that are left.
    const std::string mb = megabytes(missing);
    const PassRun repair = run(folder, release.info);
    ASSERT_TRUE(repair.result.has_value()) << repair.result.error();
    EXPECT_TRUE(std::holds_alternative<Installed>(*repair.result));
    EXPECT_EQ(repair.console, "Checking the installed files...\n" + listing +
                                  plan_line("Repairing", "1.0", mb, missing) + "\n" +
                                  building(missing) + "Reef Town 1.0 is installed.\n");
    EXPECT_EQ(folder_files(folder), with_release_files(files, release.info));
  }
}

TEST_F(Pass, SameVersionPassRemovesStrayFile) {
  const TestRelease release = make_release("1.0", 100, base_files());
  install(dir, release);
  write_file(dir / "Data" / "cheat.dll", "injected");
  write_file(dir / "notes.txt", "the user's own notes");
  const std::size_t pieces_before = piece_requests();

  const PassRun pass = run(dir, release.info);
  ASSERT_TRUE(pass.result.has_value()) << pass.result.error();
  EXPECT_TRUE(std::holds_alternative<Installed>(*pass.result));
  EXPECT_EQ(pass.console, "Checking the installed files...\n"
                          "Some game files were changed or are missing:\n"
                          "  not part of the game: Data/cheat.dll\n"
                          "Repairing them.\n" +
                              plan_line("Repairing", "1.0", "0.0", 0) + "\n" + building(0) +
                              "Reef Town 1.0 is installed.\n");
  EXPECT_EQ(piece_requests(), pieces_before);
  GameFiles want = with_release_files(base_files(), release.info);
  want["notes.txt"] = "the user's own notes";  // no suspect extension: not the game's business
  EXPECT_EQ(folder_files(dir), want);
  EXPECT_FALSE(work_folders_in(dir.parent_path()));
}

struct ScopedUmask {
  mode_t saved;
  explicit ScopedUmask(mode_t mask) : saved(::umask(mask)) {}
  ~ScopedUmask() { ::umask(saved); }
};

// The launch file and the anti-cheat setup are programs after every pass
// that ends with the game in place, built by that pass or not: 0755 less the
// umask, here 027.
TEST_F(Pass, ProgramsAreExecutableAfterEveryPassThatEndsInPlace) {
  struct Case {
    const char* name;
    std::string installed_launch;
    std::string target_launch;  // of a release 1.1 with the same files; empty: 1.0 again
    bool modes_lost;            // the installed programs lost their execute bits
  };
  const std::vector<Case> cases = {
      {"update that only names another launch file", "other.dat", "ReefTown.exe", false},
      {"launch value written with './'", "other.dat", "./ReefTown.exe", false},
      {"up to date after the modes were lost", "./ReefTown.exe", "", true},
  };
  GameFiles files = base_files();
  files["other.dat"] = "another program";
  files[std::string(ANTI_CHEAT_SETUP_PATH)] = "the anti-cheat setup";
  const ScopedUmask mask(027);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir here;
    const fs::path folder = here.path / "Reef Town";
    const TestRelease one = make_release("1.0", 100, files, c.installed_launch);
    install(folder, one);
    EXPECT_EQ(permission_bits(folder / "ReefTown.exe"), c.modes_lost ? 0750u : 0640u);
    if (c.modes_lost) {
      fs::permissions(folder / "ReefTown.exe", fs::perms(0640));
      fs::permissions(folder / ANTI_CHEAT_SETUP_PATH, fs::perms(0640));
    }
    const TestRelease target =
        c.target_launch.empty() ? one : make_release("1.1", 200, files, c.target_launch);
    serve(target);

    const PassRun pass = run(folder, target.info);
    ASSERT_TRUE(pass.result.has_value()) << pass.result.error();
    if (c.target_launch.empty()) {
      EXPECT_TRUE(std::holds_alternative<UpToDate>(*pass.result));
    } else {
      EXPECT_TRUE(std::holds_alternative<Installed>(*pass.result));
      EXPECT_EQ(pass.console, "Checking the installed files...\n" +
                                  plan_line("Updating to", "1.1", "0.0", 0) + "\n" +
                                  "Reef Town 1.1 is installed.\n");
    }
    EXPECT_EQ(permission_bits(folder / "ReefTown.exe"), 0750u);
    EXPECT_EQ(permission_bits(folder / ANTI_CHEAT_SETUP_PATH), 0750u);
    EXPECT_EQ(permission_bits(folder / "Data/maps.pak"), 0640u);
  }
}

TEST_F(Pass, UpdateFetchesOnlyNewPieces) {
  const TestRelease one = make_release("1.0", 100, base_files());
  install(dir, one);
  write_file(dir / "stray.dll", "found by the scan, not listed on an update");

  GameFiles files = base_files();
  files["ReefTown.exe"] = "the game program, version two";  // the last of four pieces changes
  files.erase("Data/Sub/voice.dll");
  files["Data/new.pak"] = "new content";  // two new pieces
  const TestRelease two = make_release("2.0", 200, files);
  serve(two);
  const std::size_t first_request = server.requests().size();

  const PassRun update = run(dir, two.info);
  ASSERT_TRUE(update.result.has_value()) << update.result.error();
  EXPECT_TRUE(std::holds_alternative<Installed>(*update.result));
  EXPECT_EQ(update.console, "Checking the installed files...\n" +
                                plan_line("Updating to", "2.0", "1.5", 2) + "\n" + building(2) +
                                "Reef Town 2.0 is installed.\n");
  std::multiset<std::string> want;
  for (const auto& [id, piece] : two.pieces)
    if (!one.pieces.contains(id)) want.insert(piece_target(id));
  EXPECT_EQ(want.size(), 3u);
  EXPECT_EQ(piece_targets_since(first_request), want);
  EXPECT_EQ(folder_files(dir), with_release_files(files, two.info));
}

TEST_F(Pass, ServerOfferAfterTheDownload) {
  struct Case {
    const char* name;
    std::optional<std::pair<std::string, std::uint64_t>> offer;  // none: latest.json fails
    bool newer;
  };
  const std::vector<Case> cases = {
      {"same version, later stamp", std::pair{std::string("1.1"), 300}, false},
      {"other version, equal stamp", std::pair{std::string("1.0.1"), 200}, false},
      {"other version, earlier stamp", std::pair{std::string("0.9"), 50}, false},
      {"nothing to be had", std::nullopt, false},
      {"other version, later stamp", std::pair{std::string("1.2"), 201}, true},
  };
  GameFiles next_files = base_files();
  next_files["ReefTown.exe"] = "the game program, version 1.1";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir here;
    const fs::path folder = here.path / "Reef Town";
    const TestRelease one = make_release("1.0", 100, base_files());
    install(folder, one);
    const GameFiles before = folder_files(folder);

    const TestRelease target = make_release("1.1", 200, next_files);
    serve(target, false);
    if (c.offer) {
      GameFiles offered_files = base_files();
      offered_files["extra.txt"] = c.offer->first;
      serve(make_release(c.offer->first, c.offer->second, offered_files));
    } else {
      server.route("/latest.json", text_reply("gone", 404));
    }

    const PassRun pass = run(folder, target.info);
    ASSERT_TRUE(pass.result.has_value()) << pass.result.error();
    const std::string head = "Checking the installed files...\n" +
                             plan_line("Updating to", "1.1", "0.5", 1) + "\n";
    if (c.newer) {
      ASSERT_TRUE(std::holds_alternative<NewerRelease>(*pass.result));
      EXPECT_EQ(std::get<NewerRelease>(*pass.result).release.version, c.offer->first);
      EXPECT_EQ(pass.console,
                head + "Reef Town " + c.offer->first + " was released while downloading - getting that instead.\n");
      EXPECT_EQ(folder_files(folder), before);
      // The piece fetched for 1.1 waits in the cache for the next pass.
      EXPECT_EQ(folder_files(here.path / ".reeftown-cache").size(), 1u);
    } else {
      EXPECT_TRUE(std::holds_alternative<Installed>(*pass.result));
      EXPECT_EQ(pass.console, head + building(1) + "Reef Town 1.1 is installed.\n");
      EXPECT_EQ(folder_files(folder), with_release_files(next_files, target.info));
    }
  }
}

TEST_F(Pass, PassAfterFailedDownloadReusesTheCache) {
  // Slow enough that the other workers are well done when the broken piece
  // gives up; which of the rest they took by then is theirs to decide.
  options.download.first_retry_wait = std::chrono::milliseconds(40);
  const TestRelease release = make_release("1.0", 100, base_files());
  serve(release);
  const std::string broken = release.pieces.begin()->first;
  server.route(piece_target(broken), text_reply("no", 404));

  const PassRun failed = run(dir, release.info);
  ASSERT_FALSE(failed.result.has_value());
  EXPECT_EQ(failed.result.error(), "download failed (" + server.url(piece_target(broken)) +
                                       ": status code 404); run setup again to continue");
  EXPECT_EQ(failed.console, "Checking the installed files...\n" +
                                plan_line("Installing", "1.0", megabytes(release.pieces.size()), 3) +
                                "\n");
  EXPECT_TRUE(fs::is_directory(dir));
  EXPECT_EQ(folder_files(dir), GameFiles{});
  const fs::path cache_dir = dir.parent_path() / ".reeftown-cache";
  std::multiset<std::string> still_missing;
  std::size_t cached = 0;
  for (const auto& [id, piece] : release.pieces) {
    if (fs::exists(cache_dir / id)) {
      EXPECT_EQ(read_file(cache_dir / id), piece);
      ++cached;
    } else {
      still_missing.insert(piece_target(id));
    }
  }
  EXPECT_FALSE(fs::exists(cache_dir / broken));
  EXPECT_GE(cached, DOWNLOAD_WORKERS - 1);

  server.route(piece_target(broken), text_reply(zstd_bytes(release.pieces.begin()->second)));
  const std::size_t first_request = server.requests().size();
  const PassRun again = run(dir, release.info);
  ASSERT_TRUE(again.result.has_value()) << again.result.error();
  EXPECT_TRUE(std::holds_alternative<Installed>(*again.result));
  EXPECT_EQ(again.console, "Checking the installed files...\n" +
                               plan_line("Installing", "1.0", megabytes(still_missing.size()), 3) +
                               "\n" + building(3) + "Reef Town 1.0 is installed.\n");
  EXPECT_EQ(piece_targets_since(first_request), still_missing);
  EXPECT_EQ(folder_files(dir), with_release_files(base_files(), release.info));
}

// A folder of the test's own on /dev/shm, which is another file system than
// the temporary folder on most hosts; below `fallback` where there is none.
struct OtherDisk {
  fs::path path;
  explicit OtherDisk(const fs::path& fallback) {
    std::string pattern = fs::exists("/dev/shm") ? "/dev/shm/reeftown-disk-XXXXXX"
                                                 : (fallback / "disk-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~OtherDisk() {
    if (!path.empty()) fs::remove_all(path);
  }
  OtherDisk(const OtherDisk&) = delete;
  OtherDisk& operator=(const OtherDisk&) = delete;
};

bool same_file_system(const fs::path& a, const fs::path& b) {
  struct stat a_st {};
  struct stat b_st {};
  return ::stat(a.c_str(), &a_st) == 0 && ::stat(b.c_str(), &b_st) == 0 && a_st.st_dev == b_st.st_dev;
}

// A folder of the game moved to another disk behind a link: the scan finds
// the game intact through it, but no file can be renamed into or out of it,
// so a pass that would do so stops before the download and names the folder.
TEST_F(Pass, GameFolderBelowOnAnotherFileSystem) {
  const OtherDisk disk(tmp.path);
  ASSERT_FALSE(disk.path.empty());
  if (same_file_system(disk.path, tmp.path)) GTEST_SKIP() << "no second file system here";
  struct Case {
    const char* name;
    GameFiles target_files;  // of release 1.1
    bool refused;
  };
  GameFiles maps_changed = base_files();
  maps_changed["Data/maps.pak"] = "maps of the reef, the town and the bay";
  GameFiles new_folder = base_files();
  new_folder["Data/New/bay.pak"] = "the bay";
  GameFiles voice_dropped = base_files();
  voice_dropped.erase("Data/Sub/voice.dll");
  GameFiles game_changed = base_files();
  game_changed["ReefTown.exe"] = "the game program, version 1.1";
  const std::vector<Case> cases = {
      {"a file below it is updated", maps_changed, true},
      {"a file goes into a new folder below it", new_folder, true},
      {"a file below it is dropped", voice_dropped, true},
      {"only files elsewhere change", game_changed, false},
  };
  const TestRelease one = make_release("1.0", 100, base_files());
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir here;
    const fs::path folder = here.path / "Reef Town";
    install(folder, one);
    const fs::path moved = disk.path / std::to_string(++n);
    fs::create_directories(moved);
    fs::copy(folder / "Data", moved / "Data", fs::copy_options::recursive);
    fs::remove_all(folder / "Data");
    fs::create_symlink(moved / "Data", folder / "Data");
    // The game as the user sees it, through the link.
    const auto game = [&] {
      GameFiles files = folder_files(folder);
      for (const auto& [path, content] : folder_files(moved)) files[path] = content;
      return files;
    };
    const GameFiles before = game();

    const TestRelease target = make_release("1.1", 200, c.target_files);
    serve(target);
    const std::size_t pieces_before = piece_requests();
    const PassRun pass = run(folder, target.info);
    if (c.refused) {
      ASSERT_FALSE(pass.result.has_value());
      EXPECT_EQ(pass.result.error(), (folder / "Data").string() + " and its work folders in " +
                                         fs::canonical(here.path).string() +
                                         " lie on different file systems");
      EXPECT_EQ(piece_requests(), pieces_before);
      EXPECT_EQ(game(), before);
      EXPECT_FALSE(work_folders_in(here.path));
    } else {
      ASSERT_TRUE(pass.result.has_value()) << pass.result.error();
      EXPECT_TRUE(std::holds_alternative<Installed>(*pass.result));
      EXPECT_EQ(game(), with_release_files(c.target_files, target.info));
      EXPECT_TRUE(fs::is_symlink(folder / "Data"));
    }
  }
}

// A folder moved to another disk behind a link: the work folders must lie on
// the disk of the real folder, or no rename of the swap can succeed. /dev/shm
// is another file system on most hosts; where it is not, they lie beside the
// link.
TEST_F(Pass, SymlinkedInstallFolder) {
  const OtherDisk disk(tmp.path);
  ASSERT_FALSE(disk.path.empty());
  fs::create_directories(disk.path / "Reef Town");
  fs::create_directories(dir.parent_path());
  fs::create_symlink(disk.path / "Reef Town", dir);
  const bool apart = !same_file_system(disk.path, dir.parent_path());
  const fs::path work_parent = apart ? disk.path : dir.parent_path();
  const fs::path other_parent = apart ? dir.parent_path() : disk.path;

  const TestRelease one = make_release("1.0", 100, base_files());
  install(dir, one);
  EXPECT_EQ(folder_files(disk.path / "Reef Town"), with_release_files(base_files(), one.info));
  EXPECT_TRUE(fs::is_symlink(dir));

  // A pass that keeps its cache shows where the work folders went.
  GameFiles files = base_files();
  files["ReefTown.exe"] = "the game program, version 1.1";
  const TestRelease target = make_release("1.1", 200, files);
  serve(target, false);
  serve(make_release("1.2", 300, base_files()));
  const PassRun pass = run(dir, target.info);
  ASSERT_TRUE(pass.result.has_value()) << pass.result.error();
  EXPECT_TRUE(std::holds_alternative<NewerRelease>(*pass.result));
  EXPECT_TRUE(fs::is_directory(work_parent / ".reeftown-cache"));
  EXPECT_FALSE(work_folders_in(other_parent));

  point_latest_at("1.1");
  const PassRun done = run(dir, target.info);
  ASSERT_TRUE(done.result.has_value()) << done.result.error();
  EXPECT_TRUE(std::holds_alternative<Installed>(*done.result));
  EXPECT_EQ(folder_files(disk.path / "Reef Town"), with_release_files(files, target.info));
  EXPECT_FALSE(work_folders_in(disk.path));
  EXPECT_FALSE(work_folders_in(dir.parent_path()));
}

// A cache folder that another user made beside the install folder (in a
// parent that others may write), or a link at its name, is never used: its
// pieces could be swapped under the program between the download and the
// build. The pass ends before it fetches anything.
TEST_F(Pass, WorkFolderOfAnotherUserIsNeverUsed) {
  const TestRelease release = make_release("1.0", 100, base_files());
  serve(release);
  const fs::path cache = dir.parent_path() / CACHE_DIR_NAME;
  const fs::path elsewhere = dir.parent_path() / "elsewhere";
  struct Case {
    const char* name;
    bool link;
  };
  for (const Case& c : {Case{"another user's folder", false}, Case{"a link to a folder", true}}) {
    SCOPED_TRACE(c.name);
    if (!c.link && ::geteuid() != 0) continue;  // needs a second user
    fs::remove_all(cache);
    fs::create_directories(elsewhere);
    if (c.link) {
      fs::create_directory_symlink(elsewhere, cache);
    } else {
      fs::create_directories(cache);
      fs::permissions(cache, fs::perms::all);
      ASSERT_EQ(::lchown(cache.c_str(), NOBODY, NOBODY), 0);
    }
    const std::size_t pieces_before = piece_requests();
    const PassRun pass = run(dir, release.info);
    ASSERT_FALSE(pass.result.has_value());
    EXPECT_EQ(pass.result.error(),
              cache.string() + " is not a folder of your own; remove it and run setup again");
    EXPECT_EQ(piece_requests(), pieces_before);
    EXPECT_TRUE(fs::is_empty(elsewhere));
  }
  fs::remove_all(cache);
}

TEST_F(Pass, FirstInstallIntoForeignFolder) {
  const TestRelease release = make_release("1.0", 100, base_files());
  serve(release);
  struct Case {
    const char* name;
    GameFiles files;
    std::vector<std::string> folders;
    bool link_to_setup;
    bool refused;
    // A copy of release information in the stage folder, as a swap writes
    // it, and whether another user (who can write the parent) put it there.
    std::optional<std::string> staged_manifest = std::nullopt;
    bool staged_by_other_user = false;
  };
  const std::string names_tool = R"({"files":[{"p":"tool.dll"}]})";
  const std::vector<Case> cases = {
      {"a file of the user's", {{"notes.txt", "mine"}}, {}, false, true},
      {"another program below", {{"Other/app.exe", "x"}}, {}, false, true},
      {"release file name below the top", {{"Data/.version", "1.0"}}, {}, false, true},
      {"a file the target lists under another path", {{"maps.pak", "x"}}, {}, false, true},
      {"empty folders only", {}, {"Data/Sub", "Empty"}, false, false},
      {"a first install killed in its swap",
       {{"ReefTown.exe", "the game program, version one"},
        {"data/MAPS.PAK", "stale"},
        {".manifest.sig", "x"},
        {".version", "1.0"}},
       {},
       false,
       false},
      {"the running setup program", {}, {}, true, false},
      {"files that the folder's damaged release information names",
       {{".manifest.json", R"({"files":[{"p":"tool.dll"},{"p":"Old/Data.pak"}]})"},
        {"tool.dll", "kept"},
        {"old/data.pak", "kept"}},
       {},
       false,
       false},
      {"an empty release information beside the user's files",
       {{".manifest.json", ""},
        {"tool.exe", "mine"},
        {"work/report.json", "mine"},
        {"work/build.bat", "mine"}},
       {},
       false,
       true},
      {"release information naming nothing beside a user's file",
       {{".manifest.json", "{}"}, {"tool.dll", "mine"}},
       {},
       false,
       true},
      {"release information naming other files",
       {{".manifest.json", R"({"files":[{"p":"other.dll"}]})"}, {"tool.dll", "mine"}},
       {},
       false,
       true},
      {"files that this user's staged copy names", {{"tool.dll", "kept"}}, {}, false, false, names_tool},
      {"files that another user's copy in the stage folder names",
       {{"tool.dll", "mine"}},
       {},
       false,
       true,
       names_tool,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.staged_by_other_user && ::geteuid() != 0) continue;  // needs a second user
    TempDir here;
    const fs::path folder = here.path / "Games";
    fs::create_directories(folder);
    if (c.staged_manifest) {
      const fs::path copy = here.path / STAGE_DIR_NAME / STAGED_MANIFEST_FILE;
      write_file(copy, *c.staged_manifest);
      if (c.staged_by_other_user) {
        ASSERT_EQ(::lchown(copy.c_str(), NOBODY, NOBODY), 0);
      }
    }
    for (const auto& [path, content] : c.files) write_file(folder / path, content);
    for (const std::string& sub : c.folders) fs::create_directories(folder / sub);
    if (c.link_to_setup) fs::create_symlink(fs::read_symlink("/proc/self/exe"), folder / "ReefTownSetup");
    const GameFiles before = folder_files(folder);

    const PassRun pass = run(folder, release.info);
    if (c.refused) {
      ASSERT_FALSE(pass.result.has_value());
      EXPECT_EQ(pass.result.error(), folder.string() +
                                         " is not empty and holds no Reef Town installation; "
                                         "choose an empty folder");
      EXPECT_EQ(pass.console, "Checking the installed files...\n");
      EXPECT_EQ(folder_files(folder), before);
      if (!c.staged_manifest) {
        EXPECT_FALSE(work_folders_in(here.path));
      }
    } else {
      ASSERT_TRUE(pass.result.has_value()) << pass.result.error();
      EXPECT_TRUE(std::holds_alternative<Installed>(*pass.result));
      EXPECT_EQ(pass.console, "Checking the installed files...\n" +
                                  plan_line("Installing", "1.0", megabytes(release.pieces.size()), 3) +
                                  "\n" + building(3) + "Reef Town 1.0 is installed.\n");
      for (const auto& [path, content] : base_files()) EXPECT_EQ(read_file(folder / path), content);
    }
  }
}

TEST_F(Pass, FolderWithoutParent) {
  const TestRelease release = make_release("1.0", 100, base_files());
  serve(release);
  for (const char* bad : {"", "/"}) {
    SCOPED_TRACE(std::string("dir \"") + bad + "\"");
    const PassRun pass = run(bad, release.info);
    ASSERT_FALSE(pass.result.has_value());
    EXPECT_EQ(pass.result.error(), "bad folder");
    EXPECT_EQ(pass.console, "Checking the installed files...\n");
  }
  EXPECT_EQ(piece_requests(), 0u);
}

// An install folder that is a file system of its own (a mount point) with
// its work folders on another: the pass must stop before the download. Made
// in a child with a mount namespace of its own; skipped where the host
// allows none.
TEST_F(Pass, InstallFolderOnAnotherFileSystemThanItsWorkFolders) {
  const TestRelease release = make_release("1.0", 100, base_files());
  serve(release);
  fs::create_directories(dir);
  const std::string url = server.url("");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0) ::_exit(77);
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(77);
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") != 0) ::_exit(77);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    auto result = install_pass(url, dir, release.info, options);
    const std::string want = dir.string() + " and its work folders in " +
                             fs::canonical(dir.parent_path()).string() +
                             " lie on different file systems";
    const bool ok = !result.has_value() && result.error() == want &&
                    !fs::exists(dir.parent_path() / ".reeftown-cache");
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(piece_requests(), 0u);
}

}  // namespace
