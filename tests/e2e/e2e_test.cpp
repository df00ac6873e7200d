// The whole program as a user runs it: the built ReefTownSetup against
// releases made by the publisher and served on 127.0.0.1, with the stand-ins
// of the side programs beside it and a profile folder of the test's own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e/setup_run.hpp"
#include "lib/hexdigest.hpp"
#include "platform/process.hpp"
#include "release/install_layout.hpp"
#include "release/release_info.hpp"
#include "support/child.hpp"
#include "support/http_server.hpp"
#include "support/temp_dir.hpp"
#include "support/test_key.hpp"
#include "tools/publisher.hpp"
#include "tools/static_server.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr std::uint64_t PIECE = 262144;
const std::string BANNER = "Reef Town\n=========\n\nChecking for updates...\n";

// Bytes that look like game data: runs that compress well between runs that
// do not, the same for the same seed.
std::string game_bytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint64_t state = 0x9e3779b97f4a7c15ULL * (seed + 1);
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    bytes[i] = (i / 4096) % 2 == 0 ? static_cast<char>(state >> 56) : static_cast<char>('a' + i % 7);
  }
  return bytes;
}

// Answers `count` more requests of a path, then holds the rest until the
// test sets another rule for it.
ServeRule answering(std::uint64_t count) {
  ServeRule rule;
  rule.answer_at_most = count;
  return rule;
}

bool was_requested(const TestServer& server, const std::string& path) {
  for (const std::string& requested : server.requested_paths())
    if (requested == path) return true;
  return false;
}

std::string sha256_of(const fs::path& path) { return sha256_file_hex(path).value_or("unreadable"); }

std::string one_decimal(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::vector<std::string> files_below(const fs::path& root) {
  std::vector<std::string> names;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::end(it);
       it.increment(error))
    if (!it->is_directory()) names.push_back(fs::relative(it->path(), root).string());
  std::sort(names.begin(), names.end());
  return names;
}

struct EndToEnd : ::testing::Test {
  TempDir root;
  fs::path tree = root.path / "server";
  fs::path games = root.path / "games";
  fs::path install = games / "Reef Town";
  fs::path profile = root.path / "profile";
  fs::path work = root.path / "work";
  TestServer server;
  bool big = false;  // a large file too, so that the build and the swap take a while

  void SetUp() override {
    fs::create_directories(tree);
    fs::create_directories(games);
    server = start_server({.tls = std::nullopt, .folder = tree});
    ASSERT_TRUE(server.error.empty()) << server.error;
  }

  EnvChanges env() const {
    return {{"XDG_DATA_HOME", profile.string()}, {"LOCALAPPDATA", std::nullopt}};
  }

  // A game folder: version 1 of the files, or version 2, which changes one
  // piece of one file, drops one file and adds another.
  fs::path make_game(int version) {
    const fs::path dir = root.path / ("game-" + std::to_string(version));
    fs::remove_all(dir);
    write_file(dir / "ReefTown.exe",
               "#!/bin/sh\necho \"$# $(pwd)\" > \"$(dirname \"$0\")/../launched\"\n");
    write_file(dir / "ReefTownSetup.exe", game_bytes(5000, 1));
    std::string base = game_bytes(3 * PIECE + 1000, 2);
    write_file(dir / "Content/Paks/base.pak", base);
    std::string extra = game_bytes(2 * PIECE, 3);
    if (version == 2) extra[PIECE + 5] ^= 0x55;
    write_file(dir / "Content/Paks/extra.pak", extra);
    if (big) write_file(dir / "Content/Paks/big.pak", game_bytes(64 * PIECE, 4));
    if (version == 1) write_file(dir / "readme.txt", "Reef Town\n");
    if (version == 2) write_file(dir / "notes.txt", "new in 2.0\n");
    return dir;
  }

  PublishResult publish(const std::string& version, std::uint64_t released, int game_version,
                        const fs::path& into = {}, std::optional<std::string> launch = {}) {
    PublishRequest request;
    request.game_dir = make_game(game_version);
    request.tree_dir = into.empty() ? tree : into;
    request.version = version;
    request.released = released;
    request.key_pem = fs::path(REEFTOWN_TEST_DATA_DIR) / "test_release_key.pem";
    request.piece_size = PIECE;
    request.launch = std::move(launch);
    auto result = publish_release(request);
    EXPECT_TRUE(result.has_value()) << (result ? "" : result.error());
    return result.value_or(PublishResult{});
  }

  PublishResult publish_folder(const std::string& version, std::uint64_t released, const fs::path& game) {
    PublishRequest request;
    request.game_dir = game;
    request.tree_dir = tree;
    request.version = version;
    request.released = released;
    request.key_pem = fs::path(REEFTOWN_TEST_DATA_DIR) / "test_release_key.pem";
    request.piece_size = PIECE;
    auto result = publish_release(request);
    EXPECT_TRUE(result.has_value()) << (result ? "" : result.error());
    return result.value_or(PublishResult{});
  }

  static ReleaseInfo release_of(const PublishResult& published) {
    auto release =
        parse_release_info(published.manifest_json, published.manifest_sig, TEST_PUBLIC_KEY_HEX);
    EXPECT_TRUE(release.has_value());
    return release.value_or(ReleaseInfo{});
  }

  SetupProcess start(std::vector<std::string> args, const std::string& input = "",
                     const std::string& base = {}) {
    std::vector<std::string> all = {"--dir", install.string(), "--base",
                                    base.empty() ? server.base_url() : base};
    all.insert(all.end(), args.begin(), args.end());
    return start_setup(REEFTOWN_SETUP_BINARY, all, env(), input, work);
  }

  SetupExit run(std::vector<std::string> args, const std::string& input = "",
                const std::string& base = {}) {
    return wait_setup(start(std::move(args), input, base));
  }

  // The plan line of a pass that downloads `ids` (each once) of `release`.
  static std::string plan_line(const std::string& verb, const ReleaseInfo& release,
                               const std::vector<std::string>& ids, std::size_t files) {
    std::uint64_t bytes = 0;
    std::unordered_set<std::string> seen;
    for (const std::string& id : ids)
      if (seen.insert(id).second && release.chunks.contains(id)) bytes += release.chunks.at(id);
    std::uint64_t total = 0;
    for (const FileEntry& file : release.files) total += file.size;
    return verb + " Reef Town " + release.version + ": " +
           one_decimal(static_cast<double>(bytes) / 1048576.0) + " MB to download, " +
           std::to_string(files) + " files to update, " +
           one_decimal(static_cast<double>(total) / 1e9) + " GB installed\n";
  }

  static std::vector<std::string> all_ids(const ReleaseInfo& release) {
    std::vector<std::string> ids;
    for (const FileEntry& file : release.files)
      for (const FilePiece& piece : file.pieces) ids.push_back(piece.id);
    return ids;
  }

  // The install folder holds exactly the game of `game_version` and the
  // release files of `published`, and no work folder is left beside it.
  void expect_installed(const PublishResult& published, int game_version) {
    const fs::path game = root.path / ("game-" + std::to_string(game_version));
    std::vector<std::string> want = files_below(game);
    want.insert(want.end(), {".manifest.json", ".manifest.sig", ".version"});
    std::sort(want.begin(), want.end());
    EXPECT_EQ(files_below(install), want);
    for (const std::string& name : files_below(game))
      EXPECT_EQ(sha256_of(install / name), sha256_of(game / name)) << name;
    EXPECT_EQ(read_file(install / ".manifest.json"), published.manifest_json);
    EXPECT_EQ(read_file(install / ".manifest.sig"), published.manifest_sig);
    EXPECT_EQ(read_file(install / ".version"), release_of(published).version);
    for (const char* name : {".reeftown-cache", ".reeftown-stage", ".reeftown-old"})
      EXPECT_FALSE(fs::exists(games / name)) << name;
  }

  std::string up_to_date_run(const ReleaseInfo& release) const {
    return BANNER + "Checking the installed files...\nReef Town " + release.version +
           " - up to date, all " + std::to_string(release.files.size()) + " files verified.\n";
  }

  // A release's install from nothing, as a first run prints it.
  std::string first_install_text(const ReleaseInfo& release) const {
    return BANNER + "Checking the installed files...\n" +
           plan_line("Installing", release, all_ids(release), release.files.size()) + "\n\n" +
           "Reef Town " + release.version + " is installed.\n" + "Checking for updates again...\n" +
           "Checking the installed files...\n" + "Reef Town " + release.version +
           " - up to date, all " + std::to_string(release.files.size()) + " files verified.\n";
  }

  std::uint64_t count_piece_gets() const { return server.piece_gets(); }

  // The program under strace, every rename held 0.4 s after it is done, so
  // that a kill lands between two of them.
  SetupProcess start_traced(std::vector<std::string> args) {
    std::vector<std::string> all = {"-f", "-qq", "-o", "/dev/null", "-e", "trace=rename,renameat,renameat2",
                                    "-e", "inject=rename,renameat,renameat2:delay_exit=400000",
                                    REEFTOWN_SETUP_BINARY, "--dir", install.string(), "--base",
                                    server.base_url()};
    all.insert(all.end(), args.begin(), args.end());
    return start_setup(STRACE, all, env(), "", work);
  }

  // Kills the traced program (strace's child), then strace.
  static void kill_traced(const SetupProcess& tracer) {
    std::string children = read_file("/proc/" + std::to_string(tracer.pid) + "/task/" +
                                     std::to_string(tracer.pid) + "/children");
    if (!children.empty()) ::kill(static_cast<pid_t>(std::stol(children)), SIGKILL);
    (void)wait_setup(tracer, std::chrono::seconds(10));
  }

  static constexpr const char* STRACE = "/usr/bin/strace";
};

TEST_F(EndToEnd, FirstInstallThenUpToDate) {
  const PublishResult v1 = publish("1.0", 100, 1);
  const ReleaseInfo release = release_of(v1);

  const SetupExit first = run({"--no-launch"});
  EXPECT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(without_progress(first.err), first_install_text(release));
  EXPECT_THAT(first.err, HasSubstr("\r  building files 5/5   "));
  expect_installed(v1, 1);
  EXPECT_EQ(count_piece_gets(), v1.pieces_written.size());
  // The shortcuts and the uninstall entry, through the stand-ins.
  EXPECT_TRUE(fs::exists(profile / "reeftown-windows" / "Desktop" / "Reef Town.lnk"));
  EXPECT_TRUE(fs::exists(profile / "reeftown-windows" / "Programs" / "Reef Town.lnk"));

  const std::uint64_t before = count_piece_gets();
  const SetupExit second = run({"--no-launch"});
  EXPECT_EQ(second.exit_code, 0) << second.err;
  EXPECT_EQ(second.err, up_to_date_run(release));
  EXPECT_EQ(count_piece_gets(), before);
}

TEST_F(EndToEnd, RepairDownloadsOnlyWhatCannotBeSalvaged) {
  const ReleaseInfo release = release_of(publish("1.0", 100, 1));
  ASSERT_EQ(run({"--no-launch"}).exit_code, 0);

  // One byte in the second piece of base.pak; and readme.txt gone.
  {
    std::fstream pak(install / "Content/Paks/base.pak", std::ios::in | std::ios::out | std::ios::binary);
    pak.seekp(PIECE + 17);
    pak.put('\x7f');
  }
  fs::remove(install / "readme.txt");
  const FileEntry* pak = nullptr;
  const FileEntry* readme = nullptr;
  for (const FileEntry& file : release.files) {
    if (file.path == "Content/Paks/base.pak") pak = &file;
    if (file.path == "readme.txt") readme = &file;
  }
  ASSERT_TRUE(pak && readme);

  const std::uint64_t before = count_piece_gets();
  const SetupExit repair = run({"--no-launch"});
  EXPECT_EQ(repair.exit_code, 0) << repair.err;
  const std::vector<std::string> fetched = {pak->pieces[1].id, readme->pieces[0].id};
  EXPECT_EQ(without_progress(repair.err),
            BANNER + "Checking the installed files...\n" +
                "Some game files were changed or are missing:\n"
                "  missing: readme.txt\n"
                "  modified: Content/Paks/base.pak\n"
                "Repairing them.\n" +
                plan_line("Repairing", release, fetched, 2) + "\n\n" + "Reef Town 1.0 is installed.\n" +
                "Checking for updates again...\nChecking the installed files...\n" +
                "Reef Town 1.0 - up to date, all 5 files verified.\n");
  EXPECT_EQ(count_piece_gets() - before, 2u);
  EXPECT_EQ(run({"--check"}).exit_code, 0);
}

TEST_F(EndToEnd, UpdateFetchesOnlyNewPiecesAndRemovesDroppedFiles) {
  const PublishResult v1 = publish("1.0", 100, 1);
  ASSERT_EQ(run({"--no-launch"}).exit_code, 0);
  const PublishResult v2 = publish("2.0", 200, 2);
  const ReleaseInfo release = release_of(v2);
  ASSERT_EQ(v2.pieces_written.size(), 2u);  // one piece of extra.pak, notes.txt

  const std::uint64_t before = count_piece_gets();
  const SetupExit update = run({"--no-launch"});
  EXPECT_EQ(update.exit_code, 0) << update.err;
  EXPECT_EQ(count_piece_gets() - before, v2.pieces_written.size());
  EXPECT_EQ(without_progress(update.err),
            BANNER + "Checking the installed files...\n" +
                plan_line("Updating to", release, v2.pieces_written, 2) + "\n\n" +
                "Reef Town 2.0 is installed.\nChecking for updates again...\n"
                "Checking the installed files...\n"
                "Reef Town 2.0 - up to date, all 5 files verified.\n");
  expect_installed(v2, 2);
  EXPECT_FALSE(fs::exists(install / "readme.txt"));
}

TEST_F(EndToEnd, ReleasePublishedDuringTheDownloadIsTakenInstead) {
  const PublishResult v1 = publish("1.0", 100, 1);
  // Hold one piece back until the newer release is out.
  const std::string held = piece_path(v1.pieces_written.front());
  server.set_rule(held, answering(0));
  SetupProcess process = start({"--no-launch"});
  const bool requested = wait_until([&] { return was_requested(server, held); });
  const PublishResult v2 = publish("2.0", 200, 2);
  server.set_rule(held, ServeRule{});
  EXPECT_TRUE(requested);
  const SetupExit result = wait_setup(process);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const std::string text = without_progress(result.err);
  EXPECT_THAT(text, HasSubstr("Reef Town 2.0 was released while downloading - getting that instead.\n"));
  EXPECT_THAT(text, HasSubstr("Reef Town 2.0 is installed.\n"));
  EXPECT_THAT(text, HasSubstr("Reef Town 2.0 - up to date, all 5 files verified.\n"));
  EXPECT_THAT(text, ::testing::Not(HasSubstr("Reef Town 1.0 is installed.")));
  expect_installed(v2, 2);
}

// A release comes out after every pass: the run takes the new one after
// passes 1 to 3, never after the fourth, and then goes to the launch check
// without an up-to-date line.
TEST_F(EndToEnd, FourPassesAtMost) {
  publish("1", 1, 1);
  // Every fetch of the pointer waits for the test: the one that a line
  // announces is let through once the next release is out, any other at once.
  server.set_rule("latest.json", answering(0));
  SetupProcess process = start({"--no-launch"});
  int published = 1;
  std::size_t let_through = 0;
  const std::string again = "Checking for updates again...\n";
  const bool all_published = wait_until(
      [&] {
        std::size_t asked = 0;
        for (const std::string& path : server.requested_paths()) asked += path == "latest.json";
        if (asked <= let_through) return false;
        // The line comes before the fetch that it announces.
        const std::string err = read_file(process.err_path);
        std::size_t seen = 0;
        for (std::size_t at = err.find(again); at != std::string::npos; at = err.find(again, at + 1))
          ++seen;
        if (static_cast<int>(seen) >= published && published < 5) {
          ++published;
          publish(std::to_string(published), published, 1);
        }
        server.set_rule("latest.json", answering(1));
        ++let_through;
        return published == 5;
      },
      std::chrono::seconds(120));
  server.set_rule("latest.json", ServeRule{});
  const SetupExit result = wait_setup(process);
  ASSERT_TRUE(all_published) << result.err;
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const std::string text = without_progress(result.err);
  for (const char* line : {"Reef Town 1 is installed.\nChecking for updates again...\nReef Town 2 is out",
                           "Reef Town 3 is installed.\nChecking for updates again...\nReef Town 4 is out",
                           "Reef Town 4 is installed.\nChecking for updates again...\n"})
    EXPECT_THAT(text, HasSubstr(line));
  EXPECT_TRUE(text.ends_with("Reef Town 4 is installed.\nChecking for updates again...\n")) << text;
  EXPECT_THAT(text, ::testing::Not(HasSubstr("up to date")));
  EXPECT_EQ(read_file(install / ".version"), "4");
}

TEST_F(EndToEnd, InstalledLaterReleaseIsKeptOverAnOlderOffer) {
  const PublishResult v2 = publish("2.0", 200, 2);
  ASSERT_EQ(run({"--no-launch"}).exit_code, 0);
  const fs::path old_tree = root.path / "old-server";
  publish("1.0", 100, 1, old_tree);
  auto old_server = start_static_server(old_tree);
  ASSERT_TRUE(old_server.has_value());

  const SetupExit result = run({"--no-launch"}, "", old_server->base_url());
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, BANNER + "(the server offers 1.0, older than the installed 2.0; keeping 2.0)\n" +
                            "Checking the installed files...\n" +
                            "Reef Town 2.0 - up to date, all 5 files verified.\n");
  expect_installed(v2, 2);
}

// A loopback port that refuses every connection while the value lives: the
// socket is bound but never listens, so no other test's server can take the
// port meanwhile, as it could take one that a stopped server gave back.
struct RefusingPort {
  int fd = -1;
  std::string base_url;  // empty when no port could be had

  RefusingPort() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      base_url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  ~RefusingPort() {
    if (fd >= 0) ::close(fd);
  }
};

TEST_F(EndToEnd, OfflineFallback) {
  const RefusingPort closed;
  const std::string& offline_base = closed.base_url;
  ASSERT_FALSE(offline_base.empty());
  const std::string unreachable = "cannot reach the download server (" + offline_base + "/latest.json: ";

  // Nothing installed: the fetch's own text.
  SetupExit nothing = run({"--no-launch"}, "\n", offline_base);
  EXPECT_EQ(nothing.exit_code, 1);
  EXPECT_THAT(nothing.err, StartsWith(BANNER + "\nReef Town could not start: " + unreachable));
  EXPECT_THAT(nothing.err, ::testing::EndsWith(")\n\nPress Enter to close."));

  publish("1.0", 100, 1);
  ASSERT_EQ(run({"--no-launch"}).exit_code, 0);

  SetupExit intact = run({"--no-launch"}, "", offline_base);
  EXPECT_EQ(intact.exit_code, 0) << intact.err;
  EXPECT_THAT(intact.err, StartsWith(BANNER + "(" + unreachable));
  EXPECT_THAT(intact.err, ::testing::EndsWith(") - checking Reef Town 1.0 offline\n"));

  write_file(install / "readme.txt", "changed\n");
  SetupExit changed = run({"--no-launch"}, "\n", offline_base);
  EXPECT_EQ(changed.exit_code, 1);
  EXPECT_THAT(changed.err,
              ::testing::EndsWith(") - checking Reef Town 1.0 offline\n\nReef Town could not start: "
                                  "the game files were changed (changed: readme.txt); connect to the "
                                  "internet so setup can repair them\n\nPress Enter to close."));
}

TEST_F(EndToEnd, LaunchStartsTheGameInItsFolderWithoutArguments) {
  publish("1.0", 100, 1);
  const SetupExit result = run({});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.err, ::testing::EndsWith(" files verified.\nStarting Reef Town...\n"));
  const fs::path marker = games / "launched";
  ASSERT_TRUE(wait_until([&] { return read_file(marker).ends_with("\n"); }));
  EXPECT_EQ(read_file(marker), "0 " + fs::canonical(install).string() + "\n");
}

// The update builds nothing: the game file it now launches was installed
// before as a plain file, and must start all the same.
TEST_F(EndToEnd, UpdateThatOnlyChangesTheLaunchFileStartsTheGame) {
  publish("1.0", 100, 1, {}, "readme.txt");
  ASSERT_EQ(run({"--no-launch"}).exit_code, 0);
  publish("1.1", 200, 1, {}, "ReefTown.exe");
  const SetupExit result = run({});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.err, HasSubstr("Reef Town 1.1 is installed.\n"));
  EXPECT_THAT(result.err, ::testing::EndsWith("Starting Reef Town...\n"));
  EXPECT_TRUE(wait_until([&] { return read_file(games / "launched").ends_with("\n"); }))
      << "the game did not start";
}

// With LOCALAPPDATA unset the install folder lies below the working folder;
// the shortcuts, the uninstall entry and the messages name it absolutely, so
// that they still find the game when read from anywhere else.
TEST_F(EndToEnd, InstallFolderBelowTheWorkingFolderIsNamedAbsolutely) {
  publish("1.0", 100, 1);
  const fs::path cwd = root.path / "cwd";
  fs::create_directories(cwd);
  const auto run_in_cwd = [&](const std::vector<std::string>& args) {
    std::vector<std::string> all = {"-c", "cd \"$0\" && exec \"$@\"", cwd.string(),
                                    REEFTOWN_SETUP_BINARY, "--base", server.base_url()};
    all.insert(all.end(), args.begin(), args.end());
    return wait_setup(start_setup("/bin/sh", all, env(), "", work));
  };
  const SetupExit install_run = run_in_cwd({"--no-launch"});
  EXPECT_EQ(install_run.exit_code, 0) << install_run.err;

  const std::string folder = (fs::canonical(cwd) / "Programs" / "Reef Town").string();
  EXPECT_EQ(read_file(folder + "/.version"), "1.0");
  const fs::path windows = profile / "reeftown-windows";
  const std::string shortcut = "TargetPath=" + folder + "/ReefTownSetup.exe\nWorkingDirectory=" +
                               folder + "\nIconLocation=" + folder + "/ReefTown.exe,0\n";
  EXPECT_EQ(read_file(windows / "Desktop" / "Reef Town.lnk"), shortcut);
  EXPECT_EQ(read_file(windows / "Programs" / "Reef Town.lnk"), shortcut);
  const std::string values = read_file(
      windows / "registry/HKCU/Software/Microsoft/Windows/CurrentVersion/Uninstall/ReefTown/.values");
  for (const std::string& value :
       {"InstallLocation\tREG_SZ\t" + folder + "\n", "DisplayIcon\tREG_SZ\t" + folder + "/ReefTown.exe\n",
        "UninstallString\tREG_SZ\t\"" + folder + "/ReefTownSetup.exe\" --uninstall\n"})
    EXPECT_THAT(values, HasSubstr(value));

  const SetupExit check = run_in_cwd({"--check"});
  EXPECT_EQ(check.exit_code, 0) << check.err;
  EXPECT_EQ(check.err, "1.0 intact: " + folder + "\n");
}

TEST_F(EndToEnd, GameMissingAfterThePassesFails) {
  publish("1.0", 100, 1, {}, "Binaries/ReefTown.exe");
  const SetupExit result = run({}, "\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, ::testing::EndsWith(
                              " files verified.\n\nReef Town could not start: the game is not "
                              "installed completely; run setup again\n\nPress Enter to close."));
}

// Without a usable standard error the program still installs: no file it
// opens becomes descriptor 2, and a reader that went away does not end it.
TEST_F(EndToEnd, InstallsWithoutAUsableStandardError) {
  publish("1.0", 100, 1);
  for (ErrStream err : {ErrStream::closed, ErrStream::broken_pipe}) {
    fs::remove_all(install);
    const std::vector<std::string> args = {"--dir", install.string(), "--base", server.base_url(),
                                           "--no-launch"};
    const SetupExit result =
        wait_setup(start_setup(REEFTOWN_SETUP_BINARY, args, env(), "", work, err));
    EXPECT_EQ(result.exit_code, 0) << static_cast<int>(err);
    EXPECT_EQ(run({"--check"}).exit_code, 0) << static_cast<int>(err);
    EXPECT_EQ(read_file(install / ".version"), "1.0");
  }
}

TEST_F(EndToEnd, SecondRunEndsAtOnceWhileOneRuns) {
  const PublishResult v1 = publish("1.0", 100, 1);
  const std::string held = piece_path(v1.pieces_written.front());
  server.set_rule(held, answering(0));
  SetupProcess first = start({"--no-launch"});
  const bool requested = wait_until([&] { return was_requested(server, held); });
  const SetupExit second = run({"--no-launch"}, "\n");
  server.set_rule(held, ServeRule{});
  EXPECT_TRUE(requested);
  EXPECT_EQ(second.exit_code, 1);
  EXPECT_EQ(second.err, "\nReef Town could not start: setup is already running for " +
                            install.string() + "\n\nPress Enter to close.");
  const SetupExit first_end = wait_setup(first);
  EXPECT_EQ(first_end.exit_code, 0) << first_end.err;
  expect_installed(v1, 1);
}

// A link in the user's own folder to a game folder whose parent the user may
// not write (moved to a system folder on the same disk): the work folders go
// beside the link. Run as a user whom root's rights do not help.
TEST_F(EndToEnd, LinkToAFolderWhoseParentIsNotWritable) {
  const bool as_root = ::geteuid() == 0;
  if (as_root && !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "no setpriv to give root up";
  publish("1.0", 100, 1);
  const fs::path system = root.path / "opt";
  fs::create_directories(system / "reeftown");
  fs::create_symlink(system / "reeftown", install);
  // A copy that the user can reach, wherever the build tree lies.
  const fs::path bin = root.path / "bin";
  fs::create_directories(bin);
  fs::copy_file(REEFTOWN_SETUP_BINARY, bin / "ReefTownSetup");
  fs::create_directories(work);
  ASSERT_TRUE(give_to_nobody(root.path));
  fs::permissions(system, fs::perms(0555));

  std::vector<std::string> args = {"--dir", install.string(), "--base", server.base_url(),
                                   "--no-launch"};
  fs::path program = bin / "ReefTownSetup";
  if (as_root) {
    args.insert(args.begin(), {"--reuid=" + std::to_string(NOBODY), "--regid=" + std::to_string(NOBODY),
                               "--clear-groups", program.string()});
    program = "/usr/bin/setpriv";
  }
  const SetupExit result = wait_setup(start_setup(program, args, env(), "\n", work));
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(read_file(system / "reeftown" / ".version"), "1.0");
  for (const char* name : {".reeftown-cache", ".reeftown-stage", ".reeftown-old"}) {
    EXPECT_FALSE(fs::exists(system / name)) << name;
    EXPECT_FALSE(fs::exists(games / name)) << name;
  }
}

// An install folder that is a link keeps its work folders beside the link;
// a run given the real path keeps them beside the real folder. Either way
// round, the second run must still find the first.
TEST_F(EndToEnd, SecondRunByTheOtherPathEndsAtOnce) {
  const fs::path real = root.path / "real" / "Reef Town";
  fs::create_directories(real);
  fs::create_symlink(real, install);
  const PublishResult v1 = publish("1.0", 100, 1);
  const std::string held = piece_path(v1.pieces_written.front());
  for (const bool link_first : {true, false}) {
    SCOPED_TRACE(link_first ? "link first" : "real path first");
    fs::remove_all(real);
    fs::create_directories(real);
    server.set_rule(held, answering(0));
    const std::size_t seen = server.requested_paths().size();
    const auto run_at = [&](const fs::path& dir) {
      return start_setup(REEFTOWN_SETUP_BINARY,
                         {"--dir", dir.string(), "--base", server.base_url(), "--no-launch"}, env(),
                         "\n", work);
    };
    const fs::path first_dir = link_first ? install : real;
    const fs::path second_dir = link_first ? real : install;
    SetupProcess first = run_at(first_dir);
    ASSERT_TRUE(wait_until([&] {
      const std::vector<std::string> paths = server.requested_paths();
      for (std::size_t i = seen; i < paths.size(); ++i)
        if (paths[i] == held) return true;
      return false;
    }));
    const SetupExit second = wait_setup(run_at(second_dir));
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_EQ(second.err, "\nReef Town could not start: setup is already running for " +
                              second_dir.string() + "\n\nPress Enter to close.");
    server.set_rule(held, ServeRule{});
    const SetupExit first_end = wait_setup(first);
    EXPECT_EQ(first_end.exit_code, 0) << first_end.err;
    EXPECT_EQ(read_file(real / ".version"), "1.0");
  }
}

TEST_F(EndToEnd, UninstallRemovesWhatTheInstallMade) {
  publish("1.0", 100, 1);
  ASSERT_EQ(run({"--no-launch"}).exit_code, 0);
  const fs::path windows = profile / "reeftown-windows";
  ASSERT_TRUE(fs::exists(windows / "Desktop" / "Reef Town.lnk"));
  const fs::path key =
      windows / "registry/HKCU/Software/Microsoft/Windows/CurrentVersion/Uninstall/ReefTown";
  ASSERT_THAT(read_file(key / ".values"), HasSubstr("UninstallString\tREG_SZ\t\""));

  const SetupExit result = run({"--uninstall"}, "\n");
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "Removing Reef Town from " + install.string() +
                            "...\nReef Town was removed. Your Epic account and city progress stay "
                            "on our servers.\n\nPress Enter to close.");
  EXPECT_FALSE(fs::exists(windows / "Desktop" / "Reef Town.lnk"));
  EXPECT_FALSE(fs::exists(windows / "Programs" / "Reef Town.lnk"));
  EXPECT_FALSE(fs::exists(key));
  // The folder goes about two seconds later.
  EXPECT_TRUE(fs::exists(install));
  EXPECT_TRUE(wait_until([&] { return !fs::exists(install); }, std::chrono::seconds(10)));
  EXPECT_TRUE(fs::exists(games));
}

// Copies of the program and the real stand-ins, laid out as a build with
// umask 002 leaves them and as `cmake --install` puts them: the stand-ins
// are found, so the install makes its shortcuts.
TEST_F(EndToEnd, StandInsFoundWhereBuildAndInstallPutThem) {
  struct Case {
    const char* name;
    fs::path program_folder;
    fs::path standin_folder;
    fs::perms mode;  // of both folders and every program
  };
  const std::vector<Case> cases = {
      {"group-writable build folder of a private group", root.path / "build" / "bin",
       root.path / "build" / "bin", fs::perms(0775)},
      {"installed under a prefix", root.path / "prefix" / "bin",
       root.path / "prefix" / "libexec" / "reeftown", fs::perms(0755)},
  };
  publish("1.0", 100, 1);
  const fs::path built = fs::path(REEFTOWN_SETUP_BINARY).parent_path();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::create_directories(c.program_folder);
    fs::create_directories(c.standin_folder);
    fs::copy_file(REEFTOWN_SETUP_BINARY, c.program_folder / "ReefTownSetup");
    fs::permissions(c.program_folder / "ReefTownSetup", c.mode);
    for (const char* name : {"powershell.exe", "reg", "cmd"}) {
      fs::copy_file(built / name, c.standin_folder / name);
      fs::permissions(c.standin_folder / name, c.mode);
    }
    fs::permissions(c.program_folder, c.mode);
    fs::permissions(c.standin_folder, c.mode);
    struct stat folder {};
    ASSERT_EQ(::stat(c.standin_folder.c_str(), &folder), 0);
    if ((c.mode & fs::perms::group_write) != fs::perms::none && private_group() != folder.st_gid) {
      std::cerr << "skipped \"" << c.name << "\": the user's primary group is not private\n";
      continue;
    }
    fs::remove_all(install);
    fs::remove_all(profile);
    const SetupExit result = wait_setup(start_setup(
        c.program_folder / "ReefTownSetup",
        {"--dir", install.string(), "--base", server.base_url(), "--no-launch"}, env(), "", work));
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_TRUE(fs::exists(profile / "reeftown-windows" / "Desktop" / "Reef Town.lnk"));
  }
}

// A copy of the program beside a "cmd" that only records what it was asked,
// so that a guard that failed could not remove anything.
struct UninstallGuard : EndToEnd {
  fs::path bin = root.path / "bin";
  fs::path log = root.path / "cmd.log";

  void SetUp() override {
    EndToEnd::SetUp();
    fs::create_directories(bin);
    fs::copy_file(REEFTOWN_SETUP_BINARY, bin / "ReefTownSetup");
    for (const char* name : {"powershell.exe", "reg"})
      write_file(bin / name, "#!/bin/sh\nexit 0\n");
    write_file(bin / "cmd", "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + log.string() + "'\n");
    for (const char* name : {"powershell.exe", "reg", "cmd"})
      fs::permissions(bin / name, fs::perms::owner_all);
  }

  SetupExit uninstall(const fs::path& dir, const fs::path& home) {
    EnvChanges changes = env();
    changes["HOME"] = home.string();
    return wait_setup(start_setup(bin / "ReefTownSetup", {"--uninstall", "--dir", dir.string()},
                                  changes, "\n", work));
  }
};

TEST_F(UninstallGuard, FolderIsRemovedOnlyWhenItHoldsTheGameOrNothing) {
  const PublishResult v1 = publish("1.0", 100, 1);
  const auto install_release = [&](const fs::path& dir) {
    write_file(dir / ".manifest.json", v1.manifest_json);
    write_file(dir / ".manifest.sig", v1.manifest_sig);
    write_file(dir / ".version", "1.0");
  };
  const auto user_files = [&](const fs::path& dir) {
    write_file(dir / "notes.txt", "mine\n");
    write_file(dir / "Photos" / "beach.jpg", "photo");
  };
  const fs::path home = root.path / "home";
  fs::create_directories(home / "Documents");
  const fs::path other = root.path / "other";
  write_file(other / "notes.txt", "mine\n");
  const fs::path empty = root.path / "empty";
  fs::create_directories(empty);
  const fs::path game = root.path / "game";
  install_release(game);
  fs::create_directories(game / "Content");
  const fs::path stray_version = root.path / "stray-version";
  user_files(stray_version);
  write_file(stray_version / ".version", "1.0");
  const fs::path empty_manifest = root.path / "empty-manifest";
  user_files(empty_manifest);
  write_file(empty_manifest / ".manifest.json", "");
  const fs::path link = root.path / "game-link";
  fs::create_directory_symlink(game, link);
  const fs::path quoted = root.path / "Reef \"Town\"";
  install_release(quoted);
  const fs::path home_with_game = root.path / "home-with-game";
  install_release(home_with_game);
  // An update to 2.0 killed right after its ".manifest.json" rename: the
  // signature and version copies still wait in the stage folder beside it.
  const PublishResult v2 = publish("2.0", 200, 2);
  const fs::path cut_short = root.path / "cut" / "game";
  install_release(cut_short);
  write_file(cut_short / ".manifest.json", v2.manifest_json);
  write_file(root.path / "cut" / ".reeftown-stage" / STAGED_SIGNATURE_FILE, v2.manifest_sig);
  write_file(root.path / "cut" / ".reeftown-stage" / STAGED_VERSION_FILE, "2.0");

  const std::string no_game = " holds no Reef Town installation";
  struct Case {
    const char* name;
    fs::path dir;
    fs::path home;
    std::optional<fs::path> removed;  // the folder the shell is asked to remove
    std::string why_left;
  };
  const std::vector<Case> cases = {
      {"other files", other, home, std::nullopt, no_game},
      {"a stray .version beside a user's files", stray_version, home, std::nullopt, no_game},
      {"an empty .manifest.json beside a user's files", empty_manifest, home, std::nullopt, no_game},
      {"the home folder", home, home, std::nullopt, no_game},
      {"an ancestor of home", root.path, home, std::nullopt, no_game},
      {"the root by another name", "/.", home, std::nullopt, no_game},
      {"a home folder that holds the game", home_with_game, home_with_game, std::nullopt,
       " is the root, a home folder or a folder above one"},
      {"a path the command text cannot carry", quoted, home, std::nullopt,
       " has a '\"', '%' or line break in its path, which the removal command cannot carry,"},
      {"an empty folder", empty, home, empty, ""},
      {"release files", game, home, game, ""},
      {"a way up from inside", game / "Content" / "..", home, game, ""},
      {"a link to the game", link, home, game, ""},
      {"an update cut short between its release-file renames", cut_short, home, cut_short, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(log);
    const SetupExit result = uninstall(c.dir, c.home);
    EXPECT_EQ(result.exit_code, 0);
    const std::string left = "(" + c.dir.string() + c.why_left + " and was left as it is)\n";
    if (c.removed) {
      const std::string want =
          "/C\ntimeout /t 2 /nobreak >nul & rmdir /s /q \"" + c.removed->string() + "\"\n";
      // The shell starts detached and may write a moment after the program ends.
      EXPECT_TRUE(wait_until([&] { return read_file(log) == want; }, std::chrono::seconds(10)))
          << read_file(log);
      EXPECT_THAT(result.err, ::testing::Not(HasSubstr("was left as it is"))) << result.err;
    } else {
      EXPECT_THAT(result.err, HasSubstr(left + "Reef Town was removed.")) << result.err;
    }
  }
  // Nothing asked of the shell for the refused folders, also a little later.
  fs::remove(log);
  for (const Case& c : cases)
    if (!c.removed && c.dir != link) (void)uninstall(c.dir, c.home);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(read_file(log), "");
  // The link that named the folder is gone with it; the user's files stay.
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  EXPECT_EQ(read_file(stray_version / "notes.txt"), "mine\n");
  EXPECT_EQ(read_file(empty_manifest / "Photos" / "beach.jpg"), "photo");
}

// Stops the run where it is; false when it had ended already (it is reaped
// then).
bool stop_run(pid_t pid) {
  if (::kill(pid, SIGSTOP) != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, WUNTRACED) < 0)
    if (errno != EINTR) return false;
  return WIFSTOPPED(status);
}

// Killed at a chosen moment and run again, the program converges to an
// installation that checks intact, and never fetches again a piece that its
// cache already held. The run is stopped as soon as its moment shows and
// killed only once it shows to be still in that phase; a run that got past
// it first is made again from the start.
TEST_F(EndToEnd, KilledRunsConverge) {
  enum Moment { downloading, building, swapping };
  struct Case {
    const char* name;
    bool update;
    Moment moment;
  };
  const std::vector<Case> cases = {
      {"first install, download", false, downloading},
      {"first install, build", false, building},
      {"first install, swap", false, swapping},
      {"update, download", true, downloading},
      {"update, build", true, building},
      {"update, swap", true, swapping},
  };
  const fs::path cache = games / ".reeftown-cache";
  const fs::path stage = games / ".reeftown-stage";
  // Written when every file is built, renamed by the swap's last steps.
  const fs::path committing = stage / STAGED_MANIFEST_FILE;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string held;
    bool killed_in_phase = false;
    for (int attempt = 0; attempt < 5 && !killed_in_phase; ++attempt) {
      fs::remove_all(tree);
      fs::remove_all(games);
      fs::create_directories(tree);
      fs::create_directories(games);
      // A new server for the new tree, with no log or rule of the attempt
      // before.
      server.stop();
      server = start_server({.tls = std::nullopt, .folder = tree});
      ASSERT_TRUE(server.error.empty()) << server.error;
      big = true;
      const PublishResult v1 = publish("1.0", 100, 1);
      std::string v2_last;
      if (c.update) {
        ASSERT_EQ(run({"--no-launch"}).exit_code, 0);
        v2_last = publish("2.0", 200, 2).pieces_written.back();
      }
      held = piece_path(c.update ? v2_last : v1.pieces_written.back());
      // Held back until the kill, while the other pieces come in.
      if (c.moment == downloading) server.set_rule(held, answering(0));
      SetupProcess process = start({"--no-launch"});
      const auto reached = [&] {
        switch (c.moment) {
          case downloading: {
            if (!was_requested(server, held)) return false;
            std::error_code error;
            for (auto it = fs::directory_iterator(cache, error); !error && it != fs::end(it);
                 it.increment(error))
              if (it->path().extension() != ".part") return true;
            return false;
          }
          case building: return fs::exists(stage);
          case swapping: return fs::exists(committing);
        }
        return false;
      };
      const auto in_phase = [&] {
        switch (c.moment) {
          case downloading: return !fs::exists(stage);
          case building: return fs::exists(stage) && !fs::exists(committing);
          case swapping: return fs::exists(committing);
        }
        return false;
      };
      const bool at_moment = wait_until(reached);
      // A run that ended before it could be stopped has been reaped already.
      const bool stopped = at_moment && stop_run(process.pid);
      killed_in_phase = stopped && in_phase();
      if (!at_moment || stopped) {
        ::kill(process.pid, SIGKILL);
        const SetupExit killed = wait_setup(process);
        if (stopped) {
          EXPECT_EQ(killed.signal, SIGKILL) << "a stopped run ends by the kill";
        }
      }
      server.set_rule(held, ServeRule{});
    }
    ASSERT_TRUE(killed_in_phase) << "no run was killed in the phase";

    // What the cache held that hashes right must not be fetched again.
    std::set<std::string> cached;
    std::error_code error;
    for (auto it = fs::directory_iterator(cache, error); !error && it != fs::end(it); it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (sha256_of(it->path()) == name) cached.insert(name);
    }
    const std::size_t seen = server.requested_paths().size();
    const SetupExit rerun = run({"--no-launch"});
    EXPECT_EQ(rerun.exit_code, 0) << rerun.err;
    const std::vector<std::string> paths = server.requested_paths();
    for (std::size_t i = seen; i < paths.size(); ++i)
      for (const std::string& id : cached) EXPECT_NE(paths[i], piece_path(id));
    EXPECT_EQ(run({"--check"}).exit_code, 0);
  }
}

// A run killed right after it renamed the new ".manifest.json" into place,
// before the signature: the next run completes the change instead of taking
// the folder for a first install, so the update fetched only its new pieces;
// "--check" meanwhile reports the completed release and changes nothing.
TEST_F(EndToEnd, KillBetweenTheReleaseFileRenamesIsCompleted) {
  if (!fs::exists(STRACE)) GTEST_SKIP() << "needs strace";
  const PublishResult v1 = publish("1.0", 100, 1);
  ASSERT_EQ(run({"--no-launch"}).exit_code, 0);
  const PublishResult v2 = publish("2.0", 200, 2);
  const std::uint64_t before = count_piece_gets();

  SetupProcess traced = start_traced({"--no-launch"});
  const bool renamed = wait_until([&] { return read_file(install / ".manifest.json") == v2.manifest_json; },
                                  std::chrono::seconds(60));
  kill_traced(traced);
  ASSERT_TRUE(renamed);
  ASSERT_EQ(read_file(install / ".manifest.sig"), v1.manifest_sig) << "the kill came too late";

  const SetupExit check = run({"--check"});
  EXPECT_EQ(check.exit_code, 0) << check.err;
  EXPECT_THAT(check.err, HasSubstr("2.0 intact: "));
  EXPECT_EQ(read_file(install / ".manifest.sig"), v1.manifest_sig);

  const SetupExit rerun = run({"--no-launch"});
  EXPECT_EQ(rerun.exit_code, 0) << rerun.err;
  EXPECT_EQ(rerun.err, up_to_date_run(release_of(v2)));
  EXPECT_EQ(count_piece_gets() - before, v2.pieces_written.size());
  expect_installed(v2, 2);
}

// A first install killed during its swap, then a release that lacks one of
// the files the killed run had placed: those files are the program's own.
TEST_F(EndToEnd, FirstInstallKilledInItsSwapThenAChangedOffer) {
  if (!fs::exists(STRACE)) GTEST_SKIP() << "needs strace";
  publish("1.0", 100, 1);
  SetupProcess traced = start_traced({"--no-launch"});
  const bool placed = wait_until([&] { return fs::exists(install / "readme.txt"); }, std::chrono::seconds(60));
  kill_traced(traced);
  ASSERT_TRUE(placed);
  ASSERT_FALSE(fs::exists(install / ".manifest.json")) << "the kill came too late";

  const PublishResult v2 = publish("2.0", 200, 2);
  const SetupExit rerun = run({"--no-launch"});
  EXPECT_EQ(rerun.exit_code, 0) << rerun.err;
  EXPECT_THAT(rerun.err, HasSubstr("Reef Town 2.0 - up to date, all 5 files verified.\n"));
  EXPECT_EQ(run({"--check"}).exit_code, 0);
}

// Names that the program keeps for itself: a game file that only looks like
// one installs and stays like any other; a release that lists a release file
// is refused before anything is downloaded.
TEST_F(EndToEnd, ReleasesNamingTheProgramsOwnFiles) {
  const fs::path game = root.path / "own-names";
  write_file(game / "ReefTown.exe", "#!/bin/sh\n");
  write_file(game / ".manifest.json.new", "a game file");
  write_file(game / ".version.new", "another");
  const PublishResult lookalike = publish_folder("1.0", 100, game);
  const SetupExit first = run({"--no-launch"});
  EXPECT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(without_progress(first.err), first_install_text(release_of(lookalike)));
  EXPECT_EQ(read_file(install / ".manifest.json.new"), "a game file");
  EXPECT_EQ(read_file(install / ".manifest.json"), lookalike.manifest_json);
  const SetupExit again = run({"--no-launch"});
  EXPECT_EQ(again.err, up_to_date_run(release_of(lookalike)));
  EXPECT_EQ(run({"--check"}).exit_code, 0);

  // Signed by hand: the publisher itself refuses such a release.
  for (const std::string own : {".manifest.json", "./.Version"}) {
    SCOPED_TRACE(own);
    fs::remove_all(install);
    const std::string version = own == ".manifest.json" ? "2.0" : "2.1";
    const std::string json = R"({"version":")" + version + R"(","released":300,"files":[{"p":")" + own +
                             R"(","n":3,"h":")" + std::string(64, 'a') + R"(","c":[[")" +
                             std::string(64, 'a') + R"(",3]]}],"chunks":{}})";
    write_file(tree / "v" / version / "manifest.json", json);
    write_file(tree / "v" / version / "manifest.json.sig", test_sign_hex(json) + "\n");
    write_file(tree / "latest.json",
               R"({"version":")" + version + R"(","manifest":"v/)" + version + R"(/manifest.json"})");
    const std::uint64_t before = count_piece_gets();
    const SetupExit refused = run({"--no-launch"}, "\n");
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(refused.err,
              BANNER + "\nReef Town could not start: bad release information (file path)\n\nPress Enter to close.");
    EXPECT_EQ(count_piece_gets(), before);
    EXPECT_FALSE(fs::exists(install));
  }
}

// Another user made the cache folder first and put a link and a FIFO at the
// part-file names: the download neither writes through the link nor waits.
TEST_F(EndToEnd, PlantedEntriesInTheCacheAreNeverFollowed) {
  const PublishResult v1 = publish("1.0", 100, 1);
  const fs::path cache = games / ".reeftown-cache";
  fs::create_directories(cache);
  const fs::path user_file = root.path / "user" / "thesis.txt";
  write_file(user_file, "years of work");
  const std::vector<std::string>& ids = v1.pieces_written;
  ASSERT_GE(ids.size(), 4u);
  fs::create_symlink(user_file, cache / (ids[0] + ".part"));
  ASSERT_EQ(::mkfifo((cache / (ids[1] + ".part")).c_str(), 0666), 0);
  fs::create_symlink(user_file, cache / ids[2]);
  ASSERT_EQ(::mkfifo((cache / ids[3]).c_str(), 0666), 0);

  const SetupExit result = wait_setup(start({"--no-launch"}), std::chrono::seconds(60));
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(read_file(user_file), "years of work");
  expect_installed(v1, 1);
}

// Two runs started together where not even the install folder's parent
// exists yet: one runs, the other says so and ends.
TEST_F(EndToEnd, TwoFirstInstallsAtOnce) {
  const PublishResult v1 = publish("1.0", 100, 1);
  // The run that gets the lock waits on this piece until the other has ended.
  const std::string held = piece_path(v1.pieces_written.front());
  server.set_rule(held, answering(0));
  install = root.path / "new-machine" / "Programs" / "Reef Town";
  SetupProcess one = start({"--no-launch"}, "\n");
  SetupProcess two = start({"--no-launch"}, "\n");
  const bool refused = wait_until([&] {
    for (const SetupProcess* p : {&one, &two})
      if (read_file(p->err_path).find("setup is already running") != std::string::npos) return true;
    return false;
  });
  server.set_rule(held, ServeRule{});
  EXPECT_TRUE(refused);
  const SetupExit first = wait_setup(one);
  const SetupExit second = wait_setup(two);
  const std::string busy = "\nReef Town could not start: setup is already running for " + install.string() +
                           "\n\nPress Enter to close.";
  EXPECT_EQ((first.exit_code == 0) + (second.exit_code == 0), 1) << first.err << second.err;
  const SetupExit& loser = first.exit_code == 0 ? second : first;
  EXPECT_EQ(loser.exit_code, 1);
  EXPECT_EQ(loser.err, busy);
  EXPECT_EQ(run({"--check"}).exit_code, 0);
}

}  // namespace
