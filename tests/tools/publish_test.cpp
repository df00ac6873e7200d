#include "tools/publisher.hpp"
#include "tools/static_server.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "lib/hexdigest.hpp"
#include "release/http.hpp"
#include "release/offered_release.hpp"
#include "release/release_info.hpp"
#include "support/child.hpp"
#include "support/temp_dir.hpp"
#include "support/test_key.hpp"
#include "tools/tool_test_helpers.hpp"

namespace fs = std::filesystem;

namespace {

const std::string TEST_KEY_PEM = REEFTOWN_TEST_DATA_DIR "/test_release_key.pem";
constexpr std::uint64_t SMALL_PIECE = 65536;

std::string decode_piece(std::string_view zst) {
  const unsigned long long size = ZSTD_getFrameContentSize(zst.data(), zst.size());
  if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN) return "<bad frame>";
  std::string out(size, '\0');
  const std::size_t got = ZSTD_decompress(out.data(), out.size(), zst.data(), zst.size());
  if (ZSTD_isError(got)) return "<bad frame>";
  out.resize(got);
  return out;
}

// The test key, encrypted under a pass phrase.
void write_locked_key(const fs::path& path) {
  FILE* in = std::fopen(TEST_KEY_PEM.c_str(), "r");
  ASSERT_NE(in, nullptr);
  EVP_PKEY* key = PEM_read_PrivateKey(in, nullptr, nullptr, nullptr);
  std::fclose(in);
  ASSERT_NE(key, nullptr);
  FILE* out = std::fopen(path.c_str(), "w");
  ASSERT_NE(out, nullptr);
  static const char phrase[] = "pass phrase";
  const int wrote = PEM_write_PrivateKey(out, key, EVP_aes_256_cbc(),
                                         reinterpret_cast<const unsigned char*>(phrase), sizeof phrase - 1,
                                         nullptr, nullptr);
  std::fclose(out);
  EVP_PKEY_free(key);
  ASSERT_EQ(wrote, 1);
}

// The game of the tests: a launcher, an empty file, a file in a subfolder
// of 2.5 pieces, and one whose three pieces are equal.
void make_game(const fs::path& game) {
  write_file(game / "ReefTown.exe", "MZ reef town game executable\n");
  write_file(game / "empty.dat", "");
  write_file(game / "Content/Paks/reef.pak", noise(SMALL_PIECE * 5 / 2, 1));
  write_file(game / "Content/same.bin", noise(SMALL_PIECE, 2) + noise(SMALL_PIECE, 2) + noise(SMALL_PIECE, 2));
}

struct PublishTest : ::testing::Test {
  TempDir temp;
  fs::path game = temp.path / "game";
  fs::path tree = temp.path / "tree";

  PublishRequest request(std::string version, std::uint64_t released) const {
    PublishRequest r;
    r.game_dir = game;
    r.tree_dir = tree;
    r.version = std::move(version);
    r.released = released;
    r.key_pem = TEST_KEY_PEM;
    r.piece_size = SMALL_PIECE;
    return r;
  }
};

TEST_F(PublishTest, TheProgramFetchesWhatWasPublished) {
  make_game(game);
  PublishRequest r = request("1.0.0", 1765000000);
  r.launch = "ReefTown.exe";
  r.eac_product_id = "eac-product-7";
  const auto published = publish_release(r);
  ASSERT_TRUE(published) << published.error();
  EXPECT_EQ(published->file_count, 4u);
  // reef.pak: 3 pieces; same.bin: 1 piece three times; ReefTown.exe: 1.
  EXPECT_EQ(published->pieces_written.size(), 5u);
  EXPECT_TRUE(published->pieces_skipped.empty());

  auto server = start_static_server(tree);
  ASSERT_TRUE(server) << server.error();
  const auto info = fetch_offered_release(server->base_url(), TEST_PUBLIC_KEY_HEX, loopback());
  ASSERT_TRUE(info) << info.error();
  EXPECT_EQ(server->requested_paths(),
            (std::vector<std::string>{"latest.json", "v/1.0.0/manifest.json", "v/1.0.0/manifest.json.sig"}));
  EXPECT_EQ(info->manifest_json, published->manifest_json);
  EXPECT_EQ(info->version, "1.0.0");
  EXPECT_EQ(info->released, 1765000000u);
  EXPECT_EQ(info->launch, "ReefTown.exe");
  EXPECT_EQ(info->eac_product_id, "eac-product-7");

  std::vector<std::string> paths;
  std::set<std::string> ids;
  for (const FileEntry& file : info->files) {
    paths.push_back(file.path);
    const std::string content = read_file(game / file.path);
    EXPECT_EQ(file.size, content.size()) << file.path;
    EXPECT_EQ(file.hash, sha256_of(content)) << file.path;
    std::uint64_t at = 0;
    for (const FilePiece& piece : file.pieces) {
      EXPECT_LE(piece.length, SMALL_PIECE);
      EXPECT_GT(piece.length, 0u);
      EXPECT_EQ(piece.id, sha256_of(std::string_view(content).substr(at, piece.length))) << file.path;
      at += piece.length;
      ids.insert(piece.id);
    }
    EXPECT_EQ(at, content.size()) << file.path;
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"Content/Paks/reef.pak", "Content/same.bin", "ReefTown.exe",
                                             "empty.dat"}));
  EXPECT_TRUE(info->files[3].pieces.empty());
  EXPECT_EQ(info->files[1].pieces.size(), 3u);

  // "chunks" names every piece once, with the size of its file on the server.
  ASSERT_EQ(info->chunks.size(), ids.size());
  for (const std::string& id : ids) {
    ASSERT_TRUE(info->chunks.contains(id)) << id;
    EXPECT_EQ(info->chunks.at(id), fs::file_size(tree / piece_path(id))) << id;
  }
  EXPECT_EQ(std::set<std::string>(published->pieces_written.begin(), published->pieces_written.end()), ids);

  // A piece as a download worker gets it: one zstd frame whose decoded bytes
  // hash to its id.
  const std::string id = info->files[0].pieces[1].id;
  const auto zst = fetch_bytes(server->base_url() + "/" + piece_path(id));
  ASSERT_TRUE(zst) << zst.error();
  EXPECT_EQ(sha256_of(decode_piece(*zst)), id);
  EXPECT_EQ(piece_requests(server->requested_paths()), 1u);
}

TEST_F(PublishTest, ASecondVersionWritesOnlyTheNewPieces) {
  make_game(game);
  const auto first = publish_release(request("1.0.0", 100));
  ASSERT_TRUE(first) << first.error();
  const auto before = tree_listing(tree);

  // The last piece of reef.pak changes, a new file comes, one file goes.
  std::string pak = read_file(game / "Content/Paks/reef.pak");
  pak.back() ^= 1;
  write_file(game / "Content/Paks/reef.pak", pak);
  write_file(game / "new.txt", "new in 1.1\n");
  fs::remove(game / "Content/same.bin");
  const auto second = publish_release(request("1.1.0", 200));
  ASSERT_TRUE(second) << second.error();

  const std::vector<std::string> written{sha256_of(std::string_view(pak).substr(2 * SMALL_PIECE)),
                                         sha256_of("new in 1.1\n")};
  EXPECT_EQ(second->pieces_written, written);
  EXPECT_EQ(second->pieces_skipped.size(), 3u);  // two of reef.pak, ReefTown.exe

  // What the tree held stays byte for byte; only latest.json moves on.
  const auto after = tree_listing(tree);
  for (const auto& [path, content] : before) {
    if (path == "latest.json") continue;
    ASSERT_TRUE(after.contains(path)) << path;
    EXPECT_EQ(after.at(path), content) << path;
  }
  EXPECT_EQ(after.size(), before.size() + 2 /* pieces */ + 2 /* c/xx folders */ + 3 /* v/1.1.0 */);

  auto server = start_static_server(tree);
  ASSERT_TRUE(server) << server.error();
  const auto info = fetch_offered_release(server->base_url(), TEST_PUBLIC_KEY_HEX, loopback());
  ASSERT_TRUE(info) << info.error();
  EXPECT_EQ(info->version, "1.1.0");
  EXPECT_EQ(info->released, 200u);
  EXPECT_EQ(info->launch, "ReefTown.exe");  // left out: the program's default
  EXPECT_EQ(info->eac_product_id, "");
  EXPECT_EQ(info->files.size(), 4u);
  for (const auto& [id, size] : info->chunks) EXPECT_EQ(size, fs::file_size(tree / piece_path(id))) << id;
  EXPECT_EQ(info->chunks.size(), 5u);
}

TEST_F(PublishTest, RefusalsLeaveTheTreeAsItWas) {
  struct Case {
    std::string name;
    std::function<void(PublishTest&, PublishRequest&)> setup;
    std::string error_part;
  };
  const std::vector<Case> cases = {
      {"missing key file", [](PublishTest& t, PublishRequest& r) { r.key_pem = t.temp.path / "none.pem"; },
       "cannot open the private key"},
      {"key file that is no PEM",
       [](PublishTest& t, PublishRequest& r) {
         write_file(t.temp.path / "junk.pem", "not a key\n");
         r.key_pem = t.temp.path / "junk.pem";
       },
       "holds no unencrypted PEM private key"},
      {"hex text in place of a PEM key",
       [](PublishTest& t, PublishRequest& r) {
         write_file(t.temp.path / "pub.pem", read_file(REEFTOWN_TEST_DATA_DIR "/test_release_key.pub.hex"));
         r.key_pem = t.temp.path / "pub.pem";
       },
       "holds no unencrypted PEM private key"},
      {"key under a pass phrase",
       [](PublishTest& t, PublishRequest& r) {
         r.key_pem = t.temp.path / "locked.pem";
         write_locked_key(r.key_pem);
       },
       "holds no unencrypted PEM private key"},
      {"missing game folder", [](PublishTest& t, PublishRequest& r) { r.game_dir = t.temp.path / "nothing"; },
       "does not exist"},
      {"game folder that is a file",
       [](PublishTest& t, PublishRequest& r) { r.game_dir = t.game / "ReefTown.exe"; }, "is not a folder"},
      {"version that exists", [](PublishTest&, PublishRequest& r) { r.version = "1.0.0"; },
       "version 1.0.0 exists already"},
      {"version with a slash", [](PublishTest&, PublishRequest& r) { r.version = "1.0/x"; }, "bad version"},
      {"version of two dots", [](PublishTest&, PublishRequest& r) { r.version = ".."; }, "bad version"},
      {"empty version", [](PublishTest&, PublishRequest& r) { r.version = ""; }, "must not be empty"},
      {"piece size 0", [](PublishTest&, PublishRequest& r) { r.piece_size = 0; }, "bad piece size"},
      {"piece size above what the program takes",
       [](PublishTest&, PublishRequest& r) { r.piece_size = MAX_PIECE_SIZE + 1; }, "bad piece size"},
      {"link in the game folder",
       [](PublishTest& t, PublishRequest&) { fs::create_symlink("/etc/passwd", t.game / "passwd"); },
       "it is a link"},
      {"fifo in the game folder",
       [](PublishTest& t, PublishRequest&) { ::mkfifo((t.game / "pipe").c_str(), 0600); },
       "neither a regular file nor a folder"},
      {"name the program refuses",
       [](PublishTest& t, PublishRequest&) { write_file(t.game / "a..b.txt", "x"); }, "the setup program refuses"},
      {"name with a colon", [](PublishTest& t, PublishRequest&) { write_file(t.game / "sub/c:d", "x"); },
       "the setup program refuses"},
      {"tree inside the game folder", [](PublishTest& t, PublishRequest& r) { r.tree_dir = t.game / "out"; },
       "lies inside the game folder"},
      // Fails after the new pieces are written: they are taken away again.
      {"no room for the version's folder",
       [](PublishTest& t, PublishRequest&) {
         write_file(t.game / "extra.bin", noise(1000, 9));
         fs::rename(t.tree / "v", t.temp.path / "v-aside");
         write_file(t.tree / "v", "a file in the way");
       },
       "cannot make the folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Each case starts from the same game and tree.
    fs::remove_all(game);
    make_game(game);
    fs::remove_all(tree);
    fs::remove_all(temp.path / "v-aside");
    fs::remove_all(temp.path / "out");
    ASSERT_TRUE(publish_release(request("1.0.0", 100)));
    PublishRequest r = request("2.0.0", 200);
    c.setup(*this, r);
    const auto before = tree_listing(tree);
    const auto result = publish_release(r);
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().find(c.error_part), std::string::npos) << result.error();
    EXPECT_EQ(tree_listing(tree), before);
    EXPECT_FALSE(fs::exists(game / "out"));
  }
}

TEST_F(PublishTest, AFreshTreeIsNotMadeForARefusedRelease) {
  make_game(game);
  PublishRequest r = request("1.0.0", 1);
  r.key_pem = temp.path / "none.pem";
  ASSERT_FALSE(publish_release(r));
  r = request("1.0.0", 1);
  fs::create_symlink("/etc", game / "etc");
  ASSERT_FALSE(publish_release(r));
  EXPECT_FALSE(fs::exists(tree));
}

// The release that the tree's latest.json names, read from disk as the setup
// program reads it from the server.
std::expected<ReleaseInfo, std::string> announced_in(const fs::path& tree) {
  const std::string pointer = read_file(tree / "latest.json");
  const std::size_t at = pointer.find("\"v/");
  if (at == std::string::npos) return std::unexpected("no release in latest.json: " + pointer);
  const std::string manifest = pointer.substr(at + 1, pointer.find('"', at + 1) - at - 1);
  return parse_release_info(read_file(tree / manifest), read_file(tree / (manifest + ".sig")), TEST_PUBLIC_KEY_HEX);
}

// The version that the tree announces when every piece it names is there;
// otherwise what is wrong.
std::string whole_announced_version(const fs::path& tree) {
  const auto announced = announced_in(tree);
  if (!announced) return announced.error();
  std::string missing;
  for (const FileEntry& file : announced->files)
    for (const FilePiece& piece : file.pieces)
      if (!fs::exists(tree / piece_path(piece.id))) missing += " " + piece.id;
  if (!missing.empty()) return announced->version + " without the pieces" + missing;
  return announced->version;
}

TEST_F(PublishTest, TwoPublishesStartedTogetherAnnounceOneWholeRelease) {
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    fs::remove_all(tree);
    fs::remove_all(game);
    make_game(game);
    ASSERT_TRUE(publish_release(request("1.0.0", 100)));
    write_file(game / "new.bin", noise(SMALL_PIECE * 3, 10 + round));
    std::array<std::expected<PublishResult, ErrorText>, 2> results;
    std::atomic<int> arrived{0};
    {
      std::vector<std::jthread> publishers;
      for (auto& result : results)
        publishers.emplace_back([&] {
          arrived.fetch_add(1);
          while (arrived.load() < 2) std::this_thread::yield();
          result = publish_release(request("2.0.0", 200));
        });
    }
    int succeeded = 0;
    for (const auto& result : results) {
      if (result) {
        ++succeeded;
        continue;
      }
      EXPECT_TRUE(result.error().find("another publish into the server tree") != std::string::npos ||
                  result.error().find("version 2.0.0 exists already") != std::string::npos)
          << result.error();
    }
    EXPECT_EQ(succeeded, 1);
    EXPECT_EQ(whole_announced_version(tree), "2.0.0");
  }
}

TEST_F(PublishTest, APublishBesideARunningOneIsRefusedAndTheFailingOneTakesOnlyItsOwn) {
  make_game(game);
  ASSERT_TRUE(publish_release(request("1.0.0", 100)));
  write_file(game / "new.bin", noise(SMALL_PIECE * 3, 11));
  const auto before = tree_listing(tree);

  // 3.0 fails late, its game changing under it; 2.0 starts while it runs.
  std::optional<std::expected<PublishResult, ErrorText>> beside;
  PublishSeams seams;
  seams.after_piece_read = [&](const fs::path& file) {
    if (beside || file.filename() != "new.bin") return;
    beside = publish_release(request("2.0.0", 200));
    write_file(file, "changed");
  };
  const auto failing = publish_release(request("3.0.0", 300), seams);
  ASSERT_FALSE(failing);
  EXPECT_NE(failing.error().find("changed while it was read"), std::string::npos) << failing.error();
  ASSERT_TRUE(beside);
  ASSERT_FALSE(*beside);
  EXPECT_NE(beside->error().find("another publish into the server tree \"" + tree.string() + "\" is running"),
            std::string::npos)
      << beside->error();
  EXPECT_EQ(tree_listing(tree), before);

  const auto valid = publish_release(request("2.0.0", 200));
  ASSERT_TRUE(valid) << valid.error();
  EXPECT_EQ(whole_announced_version(tree), "2.0.0");
}

TEST_F(PublishTest, AFailedPublishKeepsThePiecesAReleaseNames) {
  make_game(game);
  const auto first = publish_release(request("1.0.0", 100));
  ASSERT_TRUE(first) << first.error();
  // A damaged tree: the announced release lacks a piece that 2.0.0 writes
  // again before it fails.
  const std::string lost = first->pieces_written.front();
  fs::remove(tree / piece_path(lost));
  PublishSeams seams;
  seams.after_piece_read = [](const fs::path& file) {
    if (file.filename() == "ReefTown.exe") write_file(file, "MZ changed");
  };
  const auto failed = publish_release(request("2.0.0", 200), seams);
  ASSERT_FALSE(failed);
  EXPECT_EQ(whole_announced_version(tree), "1.0.0");
  EXPECT_FALSE(fs::exists(tree / "v/2.0.0"));
}

TEST_F(PublishTest, ARerunFinishesAPublishKilledBeforeItAnnounced) {
  make_game(game);
  ASSERT_TRUE(publish_release(request("1.0.0", 100)));
  write_file(game / "new.bin", noise(SMALL_PIECE * 2, 12));
  const auto killed_publish = [&] {
    const pid_t child = ::fork();
    if (child == 0) {
      PublishSeams seams;
      seams.before_announcing = [] { ::raise(SIGKILL); };
      (void)publish_release(request("2.0.0", 200), seams);
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    return child;
  };
  const pid_t dead = killed_publish();
  ASSERT_TRUE(fs::exists(tree / "v/2.0.0/manifest.json"));
  EXPECT_EQ(announced_in(tree).value_or(ReleaseInfo{}).version, "1.0.0");

  // What kills at other moments leave, and a file of a process that runs.
  const std::string dead_part = ".part-" + std::to_string(dead);
  const std::string live_part = ".part-" + std::to_string(::getppid());
  const std::vector<std::string> leftovers = {"latest.json" + dead_part, "c/ab/ab12.zst" + dead_part,
                                              "v/.3.0.0" + dead_part + "/manifest.json"};
  for (const std::string& left : leftovers) write_file(tree / left, "left over");
  write_file(tree / ("latest.json" + live_part), "in use");

  // Another game under the same version is not taken for the killed one.
  const std::string kept = read_file(game / "new.bin");
  write_file(game / "new.bin", "other");
  const auto other = publish_release(request("2.0.0", 200));
  ASSERT_FALSE(other);
  EXPECT_NE(other.error().find("version 2.0.0 exists already"), std::string::npos) << other.error();
  EXPECT_NE(other.error().find("holds another release"), std::string::npos) << other.error();
  write_file(game / "new.bin", kept);

  const auto rerun = publish_release(request("2.0.0", 200));
  ASSERT_TRUE(rerun) << rerun.error();
  EXPECT_TRUE(rerun->pieces_written.empty());
  EXPECT_EQ(rerun->manifest_json, read_file(tree / "v/2.0.0/manifest.json"));
  EXPECT_EQ(whole_announced_version(tree), "2.0.0");
  for (const std::string& left : leftovers) EXPECT_FALSE(fs::exists(tree / left)) << left;
  EXPECT_FALSE(fs::exists(tree / ("v/.3.0.0" + dead_part)));
  EXPECT_TRUE(fs::exists(tree / ("latest.json" + live_part)));

  const auto again = publish_release(request("2.0.0", 200));
  ASSERT_FALSE(again);
  EXPECT_NE(again.error().find("version 2.0.0 exists already"), std::string::npos) << again.error();
}

TEST_F(PublishTest, AnOlderReleaseIsAnnouncedOnlyWhenAsked) {
  struct Case {
    std::uint64_t released;
    bool announce_older;
    std::string error_part;  // empty: announced
  };
  const std::vector<Case> cases = {
      {50, false, "version 0.9 (released 50) is not later than version 1.1 (released 200), which latest.json names"},
      {200, false, "is not later than version 1.1"},
      {50, true, ""},
      {201, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.released);
    fs::remove_all(tree);
    fs::remove_all(game);
    make_game(game);
    ASSERT_TRUE(publish_release(request("1.1", 200)));
    write_file(game / "old.txt", "0.9");
    const auto before = tree_listing(tree);
    PublishRequest r = request("0.9", c.released);
    r.announce_older = c.announce_older;
    const auto result = publish_release(r);
    if (!c.error_part.empty()) {
      ASSERT_FALSE(result);
      EXPECT_NE(result.error().find(c.error_part), std::string::npos) << result.error();
      EXPECT_EQ(tree_listing(tree), before);
      continue;
    }
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(announced_in(tree).value_or(ReleaseInfo{}).version, "0.9");
  }
}

TEST_F(PublishTest, AFileThatChangesWhileItIsReadIsRefused) {
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> change;
  };
  const std::vector<Case> cases = {
      {"shrinks", [](const fs::path& file) { fs::resize_file(file, SMALL_PIECE + 10); }},
      {"same size, new bytes",
       [](const fs::path& file) { write_file(file, noise(SMALL_PIECE * 5 / 2, 99)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(tree);
    fs::remove_all(game);
    make_game(game);
    ASSERT_TRUE(publish_release(request("1.0.0", 100)));
    write_file(game / "Content/Paks/reef.pak", noise(SMALL_PIECE * 5 / 2, 7));
    const auto before = tree_listing(tree);
    bool changed = false;
    PublishSeams seams;
    seams.after_piece_read = [&](const fs::path& file) {
      if (changed || file.filename() != "reef.pak") return;
      // A moment later than the read before, whatever the clock's grain.
      const auto stamp = fs::last_write_time(file);
      c.change(file);
      fs::last_write_time(file, stamp + std::chrono::seconds(1));
      changed = true;
    };
    const auto result = publish_release(request("2.0.0", 200), seams);
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().find("the file \"" + (game / "Content/Paks/reef.pak").string() +
                                  "\" changed while it was read"),
              std::string::npos)
        << result.error();
    EXPECT_EQ(tree_listing(tree), before);
  }
}

TEST_F(PublishTest, ReleaseInformationTooLargeIsRefusedBeforeAnyPiece) {
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> make;
    std::uint64_t piece_size;
    std::string error_part;
  };
  const std::vector<Case> cases = {
      // Each file is one piece, and each takes its place in "files" and in
      // "chunks": only the number of files decides.
      {"many small files",
       [](const fs::path& dir) {
         const fs::path deep = dir / std::string(240, 'd') / std::string(240, 'e') / std::string(240, 'f') /
                               std::string(160, 'g');
         fs::create_directories(deep);
         for (int i = 0; i < 9500; ++i) write_file(deep / ("f" + std::to_string(10000 + i)), std::to_string(i));
       },
       SMALL_PIECE, "it grows with the number of files (9500), which a larger piece size does not change"},
      {"one file in tiny pieces", [](const fs::path& dir) { write_file(dir / "big.bin", noise(200000, 13)); }, 1,
       "choose a larger piece size (at most 33554432 bytes)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(game);
    c.make(game);
    PublishRequest r = request("1.0.0", 100);
    r.piece_size = c.piece_size;
    int pieces_read = 0;
    PublishSeams seams;
    seams.after_piece_read = [&](const fs::path&) { ++pieces_read; };
    const auto result = publish_release(r, seams);
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().find("more than the setup program reads (10485760)"), std::string::npos)
        << result.error();
    EXPECT_NE(result.error().find(c.error_part), std::string::npos) << result.error();
    EXPECT_EQ(pieces_read, 0);
    EXPECT_FALSE(fs::exists(tree));
  }
}

TEST_F(PublishTest, SmallFilesAtTheLargestPieceSizeTakeLittleMemory) {
  for (int i = 0; i < 100; ++i) write_file(game / ("f" + std::to_string(i)), "small file " + std::to_string(i));
  PublishRequest r = request("1.0.0", 100);
  r.piece_size = MAX_PIECE_SIZE;
  // Memory first touched by this thread: a buffer of the piece size for
  // each file would take 32 MiB a file.
  rusage start{}, end{};
  ::getrusage(RUSAGE_THREAD, &start);
  const auto result = publish_release(r);
  ::getrusage(RUSAGE_THREAD, &end);
  ASSERT_TRUE(result) << result.error();
  const long touched = (end.ru_minflt - start.ru_minflt) * ::sysconf(_SC_PAGESIZE);
  EXPECT_LT(touched, 256L << 20);
}

TEST_F(PublishTest, AnUnreadableFolderIsNamed) {
  make_game(game);
  const fs::path locked = game / "Content/locked";
  write_file(locked / "inside.bin", "x");
  fs::permissions(locked, fs::perms::none);
  // The checkout may lie in a folder only its owner can enter: the child reads
  // a copy of the key from the test's own folder.
  PublishRequest r = request("1.0.0", 100);
  r.key_pem = temp.path / "key.pem";
  fs::copy_file(TEST_KEY_PEM, r.key_pem);
  ASSERT_TRUE(give_to_nobody(temp.path));
  const std::string error = in_child(drop_root, [&] {
    const auto result = publish_release(r);
    return result ? std::string("published") : result.error();
  });
  fs::permissions(locked, fs::perms::owner_all);
  EXPECT_TRUE(error.starts_with("cannot read the folder \"" + locked.string() + "\" (")) << error;
}

// ---- the two programs ----

// Runs `command` with a shell; its exit code and what it wrote to stderr.
std::pair<int, std::string> run(const std::string& command) {
  FILE* pipe = ::popen((command + " 2>&1 >/dev/null").c_str(), "r");
  std::string out;
  char buf[4096];
  std::size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, got);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST_F(PublishTest, TheProgramsPublishAndServe) {
  make_game(game);
  const std::string publish = std::string(REEFTOWN_PUBLISH_BINARY) + " --game '" + game.string() + "' --tree '" +
                              tree.string() + "' --released 5 --key '" + TEST_KEY_PEM + "'";
  const auto ok = run(publish + " --version 3.0 --piece-size 100000 --launch ReefTown.exe --eac-product-id p1");
  EXPECT_EQ(ok.first, 0) << ok.second;
  EXPECT_NE(ok.second.find("published version 3.0"), std::string::npos) << ok.second;
  const auto again = run(publish + " --version 3.0");
  EXPECT_EQ(again.first, 1);
  EXPECT_TRUE(again.second.starts_with("reeftown-publish: version 3.0 exists already")) << again.second;
  const auto bad = run(publish + " --version 3.1 --piece-size lots");
  EXPECT_EQ(bad.first, 1);
  EXPECT_TRUE(bad.second.starts_with("reeftown-publish: --piece-size needs")) << bad.second;
  const auto missing = run(std::string(REEFTOWN_PUBLISH_BINARY) + " --game '" + game.string() + "'");
  EXPECT_EQ(missing.first, 1);
  EXPECT_TRUE(missing.second.starts_with("reeftown-publish: ")) << missing.second;

  // The server program prints its port first, serves, and ends on SIGTERM.
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::execl(REEFTOWN_SERVE_BINARY, REEFTOWN_SERVE_BINARY, "--root", tree.c_str(), "--threads", "4", nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  std::string line;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(out[0]);
  const auto info = fetch_offered_release("http://127.0.0.1:" + line, TEST_PUBLIC_KEY_HEX, loopback());
  ::kill(child, SIGTERM);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(info) << info.error() << " (port line \"" << line << "\")";
  EXPECT_EQ(info->version, "3.0");
  EXPECT_EQ(info->eac_product_id, "p1");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  // An older release goes out only when asked for.
  const std::string older = std::string(REEFTOWN_PUBLISH_BINARY) + " --game '" + game.string() + "' --tree '" +
                            tree.string() + "' --released 4 --key '" + TEST_KEY_PEM + "' --version 2.9";
  const auto refused = run(older);
  EXPECT_EQ(refused.first, 1);
  EXPECT_NE(refused.second.find("is not later than version 3.0"), std::string::npos) << refused.second;
  const auto announced = run(older + " --announce-older");
  EXPECT_EQ(announced.first, 0) << announced.second;
  EXPECT_NE(announced.second.find("latest.json names 2.9"), std::string::npos) << announced.second;
}

}  // namespace
