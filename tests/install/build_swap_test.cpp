#include "install/build_swap.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lib/hexdigest.hpp"
#include "platform/fs_ops.hpp"
#include "release/installed_release.hpp"
#include "support/child.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"
#include "support/test_key.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

// Bytes that differ from piece to piece, so that a piece in the wrong place
// or a byte lost at a buffer's edge changes the hash.
std::string pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

bool exists_entry(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

// An install folder "game" in a fresh folder, with its work folders beside it.
struct Install {
  TempDir dir;
  fs::path install_dir = dir.path / "game";
  WorkFolders folders;
  ReleaseInfo target;

  Install() {
    fs::create_directories(install_dir);
    folders = work_folders(install_dir).value();
    target.manifest_json = R"({"version":"2.0"})";
    target.manifest_sig = "00ff\n";
    target.version = "2.0";
  }

  // A piece with `content` in the cache, named by its hash.
  FilePiece cached(const std::string& content) {
    const std::string id = sha256_hex(content);
    write_file(folders.cache_dir / id, content);
    return {id, content.size()};
  }

  // A target file built from `pieces` whose bytes are `content`; its position.
  std::size_t add_file(const std::string& path, std::vector<FilePiece> pieces, const std::string& content) {
    target.files.push_back({path, sha256_hex(content), std::move(pieces), content.size()});
    return target.files.size() - 1;
  }

  void write_release_files(const std::string& json, const std::string& sig, const std::string& version) {
    write_file(install_dir / ".manifest.json", json);
    write_file(install_dir / ".manifest.sig", sig);
    write_file(install_dir / ".version", version);
  }

  std::vector<std::string> release_files() const {
    return {read_file(install_dir / ".manifest.json"), read_file(install_dir / ".manifest.sig"),
            read_file(install_dir / ".version")};
  }

  bool new_release_files_left() const {
    return exists_entry(folders.stage_dir / STAGED_MANIFEST_FILE) ||
           exists_entry(folders.stage_dir / STAGED_SIGNATURE_FILE) ||
           exists_entry(folders.stage_dir / STAGED_VERSION_FILE);
  }

  // Builds every target file; the test fails when the build does.
  std::vector<std::size_t> build_all() {
    std::vector<std::size_t> all;
    for (std::size_t i = 0; i < target.files.size(); ++i) all.push_back(i);
    std::expected<void, ErrorText> built;
    captured_stderr([&] { built = build_files(folders, target, all, {}); });
    EXPECT_TRUE(built.has_value()) << built.error();
    return all;
  }
};

std::string swap_result(const std::expected<void, ErrorText>& result) {
  return result ? "ok" : result.error();
}

// ---------------------------------------------------------------- build

TEST(Build, FilesFromSalvageAndCacheWithProgress) {
  Install in;
  const mode_t old_mask = ::umask(022);
  // A salvaged piece is taken from the installed file although the cache
  // holds other bytes under its id.
  const std::string salvage_bytes = "SALVAGED";
  write_file(in.install_dir / "old.bin", "xyz" + salvage_bytes + "tail");
  const std::string salvage_id = sha256_hex(salvage_bytes);
  write_file(in.folders.cache_dir / salvage_id, "wrong bytes");
  SalvageMap salvaged{{salvage_id, {in.install_dir / "old.bin", 3}}};
  const FilePiece from_install{salvage_id, salvage_bytes.size()};

  const FilePiece a = in.cached("alpha-");
  const FilePiece b = in.cached("beta-");
  // A cache file longer than the piece's length is copied whole.
  FilePiece long_one = in.cached("ten bytes!");
  long_one.length = 3;

  in.add_file("ReefTown.exe", {a, from_install, a}, "alpha-SALVAGEDalpha-");
  in.add_file("Data/Sub/level.pak", {long_one, b}, "ten bytes!beta-");
  in.add_file("empty.bin", {}, "");
  in.add_file(std::string(ANTI_CHEAT_SETUP_PATH), {b}, "beta-");

  std::expected<void, ErrorText> built;
  const std::string printed =
      captured_stderr([&] { built = build_files(in.folders, in.target, {0, 1, 2, 3}, salvaged); });
  ::umask(old_mask);
  ASSERT_TRUE(built.has_value()) << built.error();
  EXPECT_EQ(printed,
            "\r  building files 1/4   \r  building files 2/4   \r  building files 3/4   "
            "\r  building files 4/4   \n");

  const fs::path& stage = in.folders.stage_dir;
  EXPECT_EQ(read_file(stage / "ReefTown.exe"), "alpha-SALVAGEDalpha-");
  EXPECT_EQ(read_file(stage / "Data/Sub/level.pak"), "ten bytes!beta-");
  EXPECT_TRUE(fs::is_regular_file(stage / "empty.bin"));
  EXPECT_EQ(fs::file_size(stage / "empty.bin"), 0u);
  // The two programs the system starts are executable, nothing else is.
  EXPECT_EQ(permission_bits(stage / "ReefTown.exe"), 0755u);
  EXPECT_EQ(permission_bits(stage / ANTI_CHEAT_SETUP_PATH), 0755u);
  EXPECT_EQ(permission_bits(stage / "Data/Sub/level.pak"), 0644u);
  EXPECT_EQ(permission_bits(stage / "empty.bin"), 0644u);
  // The build reads and never changes the install folder.
  EXPECT_EQ(read_file(in.install_dir / "old.bin"), "xyzSALVAGEDtail");
}

// Pieces around and beyond the write buffer's size keep their order: a piece
// of BUILD_BUFFER_SIZE or more goes out after what the buffer held, and so
// does one written directly.
TEST(Build, PiecesLargerThanTheWriteBufferKeepTheirOrder) {
  Install in;
  const std::vector<std::size_t> sizes = {100, BUILD_BUFFER_SIZE + 5, 3, BUILD_BUFFER_SIZE - 2, 7,
                                          BUILD_BUFFER_SIZE, BUILD_BUFFER_SIZE - 1, 2,
                                          BUILD_DIRECT_WRITE_SIZE - 1, BUILD_DIRECT_WRITE_SIZE, 5,
                                          BUILD_DIRECT_WRITE_SIZE + 1};
  std::vector<FilePiece> pieces;
  std::string content;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const std::string bytes = pattern(sizes[i], static_cast<unsigned>(i));
    pieces.push_back(in.cached(bytes));
    content += bytes;
  }
  in.add_file("big.pak", pieces, content);
  in.build_all();
  EXPECT_TRUE(read_file(in.folders.stage_dir / "big.pak") == content);
}

TEST(Build, NothingToUpdatePrintsNothingAndMakesNoStageFolder) {
  Install in;
  write_file(in.folders.stage_dir / "left/over.bin", "from a failed pass");
  std::expected<void, ErrorText> built;
  const std::string printed = captured_stderr([&] { built = build_files(in.folders, in.target, {}, {}); });
  ASSERT_TRUE(built.has_value());
  EXPECT_EQ(printed, "");
  EXPECT_FALSE(exists_entry(in.folders.stage_dir));
}

// A first install killed in its swap left its staged release copies, which
// name the files it had placed; a later build clears everything else.
TEST(Build, StagedReleaseCopiesOutlastTheClearingOfTheStageFolder) {
  for (const bool nothing_to_build : {true, false}) {
    SCOPED_TRACE(nothing_to_build ? "nothing to build" : "a file to build");
    Install in;
    write_file(in.folders.stage_dir / "left/over.bin", "from a failed pass");
    write_file(in.folders.stage_dir / "game.pak", "half built");
    for (const std::string_view staged : STAGED_RELEASE_FILES)
      write_file(in.folders.stage_dir / staged, "kept " + std::string(staged));
    std::vector<std::size_t> to_update;
    if (!nothing_to_build) to_update.push_back(in.add_file("game.pak", {in.cached("new bytes")}, "new bytes"));
    std::expected<void, ErrorText> built;
    captured_stderr([&] { built = build_files(in.folders, in.target, to_update, {}); });
    ASSERT_TRUE(built.has_value()) << built.error();
    std::map<std::string, std::string> expected;
    for (const std::string_view staged : STAGED_RELEASE_FILES)
      expected[std::string(staged)] = "kept " + std::string(staged);
    if (!nothing_to_build) expected["game.pak"] = "new bytes";
    EXPECT_EQ(tree_listing(in.folders.stage_dir), expected);
  }
  // Only files count as copies: a folder at a copy's name, which would stop
  // the swap from writing that copy, goes.
  Install in;
  fs::create_directories(in.folders.stage_dir / STAGED_VERSION_FILE / "inside");
  const std::size_t one = in.add_file("game.pak", {in.cached("new bytes")}, "new bytes");
  std::expected<void, ErrorText> built;
  captured_stderr([&] { built = build_files(in.folders, in.target, {one}, {}); });
  ASSERT_TRUE(built.has_value()) << built.error();
  EXPECT_FALSE(exists_entry(in.folders.stage_dir / STAGED_VERSION_FILE));
}

TEST(Build, Failures) {
  struct Case {
    std::string name;
    std::string expected;  // "{id}" stands for the missing piece's id
  };
  const std::vector<Case> cases = {
      {"upper-case hash", "game.pak did not verify after building it"},
      {"missing piece", "missing piece {id} (No such file or directory)"},
      {"salvage file shorter than the piece", "game.pak did not verify after building it"},
      {"salvage file gone", "No such file or directory"},
      {"cache entry is a folder", "missing piece {id} (Is a directory)"},
      // Put there by someone else: counted as absent, never followed or waited on.
      {"cache entry is a FIFO", "missing piece {id} (No such file or directory)"},
      {"cache entry is a link to the right bytes", "missing piece {id} (No such file or directory)"},
      {"salvage file became a FIFO", "No such file or directory"},
      {"salvage file became a link", "No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Install in;
    const FilePiece good = in.cached("good bytes");
    const std::string other = "other piece";
    const FilePiece absent{sha256_hex(other), other.size()};
    SalvageMap salvaged;
    std::size_t position = 0;
    if (c.name == "upper-case hash") {
      position = in.add_file("game.pak", {good}, "good bytes");
      for (char& ch : in.target.files[position].hash) ch = static_cast<char>(std::toupper(ch));
    } else if (c.name == "missing piece") {
      position = in.add_file("game.pak", {good, absent}, "good bytes" + other);
    } else if (c.name == "cache entry is a folder") {
      fs::create_directories(in.folders.cache_dir / absent.id);
      position = in.add_file("game.pak", {good, absent}, "good bytes" + other);
    } else if (c.name == "cache entry is a FIFO") {
      ASSERT_EQ(::mkfifo((in.folders.cache_dir / absent.id).c_str(), 0600), 0);
      position = in.add_file("game.pak", {good, absent}, "good bytes" + other);
    } else if (c.name == "cache entry is a link to the right bytes") {
      write_file(in.dir.path / "elsewhere", other);
      fs::create_symlink(in.dir.path / "elsewhere", in.folders.cache_dir / absent.id);
      position = in.add_file("game.pak", {good, absent}, "good bytes" + other);
    } else {
      write_file(in.install_dir / "old.pak", "12345" + other.substr(0, 4));
      salvaged[absent.id] = {in.install_dir / "old.pak", 5};
      if (c.name == "salvage file gone") fs::remove(in.install_dir / "old.pak");
      if (c.name == "salvage file became a FIFO") {
        fs::remove(in.install_dir / "old.pak");
        ASSERT_EQ(::mkfifo((in.install_dir / "old.pak").c_str(), 0600), 0);
      }
      if (c.name == "salvage file became a link") {
        fs::rename(in.install_dir / "old.pak", in.dir.path / "old.pak");
        fs::create_symlink(in.dir.path / "old.pak", in.install_dir / "old.pak");
      }
      position = in.add_file("game.pak", {good, absent}, "good bytes" + other);
    }
    std::expected<void, ErrorText> built;
    const std::string printed =
        captured_stderr([&] { built = build_files(in.folders, in.target, {position}, salvaged); });
    ASSERT_FALSE(built.has_value());
    std::string expected = c.expected;
    if (const auto at = expected.find("{id}"); at != std::string::npos) expected.replace(at, 4, absent.id);
    EXPECT_EQ(built.error(), expected);
    // A failed build leaves its line open and its partial file behind.
    EXPECT_EQ(printed, "\r  building files 1/1   ");
    EXPECT_TRUE(exists_entry(in.folders.stage_dir / "game.pak"));
  }
}

// Files are built on several threads: many files in shared subfolders, with
// pieces that many of them read at once, come out whole, and the line counts
// every number in turn.
TEST(Build, ManyFilesAtOnce) {
  Install in;
  const std::string salvage_bytes = pattern(70000, 99);
  write_file(in.install_dir / "old.bin", "xy" + salvage_bytes);
  const FilePiece from_install{sha256_hex(salvage_bytes), salvage_bytes.size()};
  SalvageMap salvaged{{from_install.id, {in.install_dir / "old.bin", 2}}};
  const std::string shared_bytes = pattern(5000, 7);
  const FilePiece shared = in.cached(shared_bytes);

  std::vector<std::size_t> all;
  std::vector<std::string> contents;
  constexpr std::size_t files = 60;
  for (std::size_t i = 0; i < files; ++i) {
    const std::string own = pattern(1 + (i * 7919) % 300000, static_cast<unsigned>(i));
    std::string content = own + shared_bytes;
    std::vector<FilePiece> pieces{in.cached(own), shared};
    if (i % 3 == 0) {
      pieces.push_back(from_install);
      content += salvage_bytes;
    }
    all.push_back(in.add_file("sub" + std::to_string(i % 4) + "/deep/f" + std::to_string(i), pieces, content));
    contents.push_back(content);
  }

  std::expected<void, ErrorText> built;
  const std::string printed = captured_stderr([&] { built = build_files(in.folders, in.target, all, salvaged); });
  ASSERT_TRUE(built.has_value()) << built.error();
  std::string expected;
  for (std::size_t k = 1; k <= files; ++k)
    expected += "\r  building files " + std::to_string(k) + "/" + std::to_string(files) + "   ";
  EXPECT_EQ(printed, expected + "\n");
  for (std::size_t i = 0; i < files; ++i)
    EXPECT_TRUE(read_file(in.folders.stage_dir / in.target.files[i].path) == contents[i]) << i;
}

// The first failure among many files ends the build with its own message; the
// line stays open at a number already reached, never past one not yet shown.
TEST(Build, FirstFailureAmongManyFilesEndsTheBuild) {
  Install in;
  const std::string other = "never cached";
  const FilePiece absent{sha256_hex(other), other.size()};
  std::vector<std::size_t> all;
  constexpr std::size_t files = 40;
  for (std::size_t i = 0; i < files; ++i) {
    const std::string own = pattern(1000 + i, static_cast<unsigned>(i));
    // The largest file is built first, so its failure comes early.
    if (i == 17) {
      all.push_back(in.add_file("broken.pak", {in.cached(pattern(50000, 1)), absent}, "x"));
      continue;
    }
    all.push_back(in.add_file("f" + std::to_string(i), {in.cached(own)}, own));
  }
  std::expected<void, ErrorText> built;
  const std::string printed = captured_stderr([&] { built = build_files(in.folders, in.target, all, {}); });
  ASSERT_FALSE(built.has_value());
  EXPECT_EQ(built.error(), "missing piece " + absent.id + " (No such file or directory)");
  std::string numbers;
  for (std::size_t k = 1; k <= files && numbers.size() < printed.size(); ++k)
    numbers += "\r  building files " + std::to_string(k) + "/" + std::to_string(files) + "   ";
  EXPECT_EQ(printed, numbers);
  EXPECT_NE(printed.back(), '\n');
}

// ---------------------------------------------------------------- place_file

TEST(PlaceFile, RecordsEveryMoveAndMovesOutWhatStandsThere) {
  Install in;
  write_file(in.install_dir / "sub/old.dll", "old");
  write_file(in.folders.stage_dir / "sub/old.dll", "new");
  write_file(in.folders.stage_dir / "fresh/new.dat", "fresh");
  // A link to nothing still stands at its path.
  fs::create_symlink("nowhere", in.install_dir / "Launcher.exe");
  write_file(in.folders.stage_dir / "Launcher.exe", "launcher");

  std::vector<FileMove> moves;
  const fs::path& old_dir = in.folders.old_dir;
  ASSERT_TRUE(place_file(in.install_dir, old_dir, moves, "sub/old.dll", in.folders.stage_dir / "sub/old.dll"));
  ASSERT_TRUE(place_file(in.install_dir, old_dir, moves, "fresh/new.dat", in.folders.stage_dir / "fresh/new.dat"));
  ASSERT_TRUE(place_file(in.install_dir, old_dir, moves, "Launcher.exe", in.folders.stage_dir / "Launcher.exe"));
  ASSERT_TRUE(place_file(in.install_dir, old_dir, moves, "not/there.dll", std::nullopt));

  ASSERT_EQ(moves.size(), 4u);
  EXPECT_EQ(moves[0].target, in.install_dir / "sub/old.dll");
  EXPECT_EQ(moves[0].backup, old_dir / "sub/old.dll");
  EXPECT_EQ(moves[1].target, in.install_dir / "fresh/new.dat");
  EXPECT_EQ(moves[1].backup, std::nullopt);
  EXPECT_EQ(moves[2].backup, old_dir / "Launcher.exe");
  EXPECT_EQ(moves[3].target, in.install_dir / "not/there.dll");
  EXPECT_EQ(moves[3].backup, std::nullopt);

  EXPECT_EQ(read_file(in.install_dir / "sub/old.dll"), "new");
  EXPECT_EQ(read_file(old_dir / "sub/old.dll"), "old");
  EXPECT_EQ(read_file(in.install_dir / "fresh/new.dat"), "fresh");
  EXPECT_EQ(read_file(in.install_dir / "Launcher.exe"), "launcher");
  EXPECT_TRUE(fs::is_symlink(old_dir / "Launcher.exe"));
}

// A failure after the move out keeps the record, so the rollback brings the
// installed file back.
TEST(PlaceFile, FailedMoveInKeepsTheRecordOfTheMoveOut) {
  Install in;
  write_file(in.install_dir / "game.pak", "old");
  std::vector<FileMove> moves;
  const auto placed = place_file(in.install_dir, in.folders.old_dir, moves, "game.pak",
                                 in.folders.stage_dir / "game.pak");
  ASSERT_FALSE(placed.has_value());
  EXPECT_EQ(placed.error(), "No such file or directory");
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0].backup, in.folders.old_dir / "game.pak");
}

// ---------------------------------------------------------------- swap

TEST(Swap, PlacesRemovesWritesReleaseFilesAndCleansUp) {
  Install in;
  in.write_release_files("old json", "old sig", "1.0");
  write_file(in.install_dir / "a.txt", "old a");
  write_file(in.install_dir / "gone.dll", "gone");
  write_file(in.install_dir / "keep/me.txt", "untouched");
  in.add_file("a.txt", {in.cached("new a")}, "new a");
  in.add_file("new/x.bin", {in.cached("x")}, "x");
  const std::vector<std::size_t> all = in.build_all();

  ASSERT_EQ(swap_result(swap_files(in.install_dir, in.folders, in.target, all, {"gone.dll", "vanished.dll"})), "ok");
  EXPECT_EQ(read_file(in.install_dir / "a.txt"), "new a");
  EXPECT_EQ(read_file(in.install_dir / "new/x.bin"), "x");
  EXPECT_EQ(read_file(in.install_dir / "keep/me.txt"), "untouched");
  EXPECT_FALSE(exists_entry(in.install_dir / "gone.dll"));
  EXPECT_EQ(read_file(in.folders.old_dir / "gone.dll"), "gone");
  EXPECT_EQ(read_file(in.folders.old_dir / "a.txt"), "old a");
  EXPECT_THAT(in.release_files(), ElementsAre(in.target.manifest_json, in.target.manifest_sig, "2.0"));
  EXPECT_FALSE(in.new_release_files_left());

  clean_up(in.folders);
  EXPECT_FALSE(exists_entry(in.folders.old_dir));
  EXPECT_FALSE(exists_entry(in.folders.stage_dir));
  EXPECT_FALSE(exists_entry(in.folders.cache_dir));
  EXPECT_EQ(read_file(in.install_dir / "a.txt"), "new a");
}

// Nothing to build: the removals and the release files still happen.
TEST(Swap, OnlyRemovals) {
  Install in;
  write_file(in.install_dir / "stray.dll", "x");
  ASSERT_EQ(swap_result(swap_files(in.install_dir, in.folders, in.target, {}, {"stray.dll"})), "ok");
  EXPECT_FALSE(exists_entry(in.install_dir / "stray.dll"));
  EXPECT_THAT(in.release_files(), ElementsAre(in.target.manifest_json, in.target.manifest_sig, "2.0"));
  clean_up(in.folders);
  EXPECT_FALSE(exists_entry(in.folders.old_dir));
}

// Makes every later fdatasync and fsync of the calling process fail with
// EIO, as a write-back error of the disk would.
bool fail_flushes() {
#if defined(__x86_64__)
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 4),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fdatasync, 1, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fsync, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
#else
  return false;
#endif
}

// A swap that fails at any step leaves the install folder as it was: every
// move is undone newest first, no new release file is left, and the work
// folders stay for the next pass.
TEST(Swap, FailureRollsBack) {
  enum Fault {
    // A file that cannot be moved out. "gone.dll" stands twice in
    // `to_remove`: undone oldest first, the second record's delete would take
    // the file just brought back.
    move_out_denied,
    // A built file that cannot be moved in: its own record brings the
    // replaced file back.
    staged_file_missing,
    // Writing the new release files fails for real (the file size limit acts
    // as a full disk): nothing has moved and the old release files are whole.
    disk_full,
    // The built files and the new release files reach the disk before the
    // first rename: when that flush fails, nothing has moved yet.
    flush_fails,
    // Renaming ".version" into place fails (a folder stands there): the two
    // release files renamed before keep their new content.
    version_rename_fails,
  };
  struct Case {
    const char* name;
    Fault fault;
    std::vector<std::string> to_remove;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"move out denied", move_out_denied, {"gone.dll", "gone.dll", "locked/held.dll"},
       "locked/held.dll is in use - close Reef Town and try again (Permission denied)"},
      {"staged file missing", staged_file_missing, {}, "No such file or directory"},
      {"disk full", disk_full, {"gone.dll"}, "File too large"},
      {"flush fails", flush_fails, {"gone.dll"}, "Input/output error"},
      {"version rename fails", version_rename_fails, {"gone.dll", "gone.dll"}, "Is a directory"},
  };
  const auto limit_file_size = [] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1024, 1024};
    return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
#if !defined(__x86_64__)
    if (c.fault == flush_fails) continue;  // the flush fault is injected on x86-64 only
#endif
    Install in;
    in.write_release_files("old json", "old sig", "1.0");
    write_file(in.install_dir / "a.txt", "old a");
    write_file(in.install_dir / "gone.dll", "gone");
    in.add_file("a.txt", {in.cached("new a")}, "new a");
    switch (c.fault) {
      case move_out_denied:
        write_file(in.install_dir / "locked/held.dll", "held");
        in.add_file("new.txt", {in.cached("new")}, "new");
        break;
      case staged_file_missing:
        write_file(in.install_dir / "b.txt", "old b");
        in.add_file("b.txt", {in.cached("new b")}, "new b");
        break;
      case version_rename_fails:
        fs::remove(in.install_dir / ".version");
        write_file(in.install_dir / ".version/blocker", "x");
        in.add_file("added.txt", {in.cached("added")}, "added");
        break;
      case disk_full:
      case flush_fails:
        break;
    }
    const std::vector<std::size_t> all = in.build_all();
    switch (c.fault) {
      case move_out_denied:
        ASSERT_TRUE(give_to_nobody(in.dir.path));
        fs::permissions(in.install_dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
        break;
      case staged_file_missing:
        fs::remove(in.folders.stage_dir / "b.txt");
        break;
      case disk_full:
        in.target.manifest_sig = std::string(4096, 'f');
        break;
      case flush_fails:
      case version_rename_fails:
        break;
    }
    const auto prepare = [&] {
      switch (c.fault) {
        case move_out_denied: return drop_root();
        case disk_full: return limit_file_size();
        case flush_fails: return fail_flushes();
        case staged_file_missing:
        case version_rename_fails: return true;
      }
      return false;
    };
    const std::string result = in_child(prepare, [&] {
      return swap_result(swap_files(in.install_dir, in.folders, in.target, all, c.to_remove));
    });

    EXPECT_EQ(result, c.error);
    EXPECT_EQ(read_file(in.install_dir / "a.txt"), "old a");
    EXPECT_EQ(read_file(in.install_dir / "gone.dll"), "gone");
    EXPECT_FALSE(in.new_release_files_left());
    EXPECT_TRUE(exists_entry(in.folders.cache_dir));
    if (c.fault == version_rename_fails) {
      EXPECT_EQ(read_file(in.install_dir / ".manifest.json"), in.target.manifest_json);
      EXPECT_EQ(read_file(in.install_dir / ".manifest.sig"), in.target.manifest_sig);
    } else {
      EXPECT_THAT(in.release_files(), ElementsAre("old json", "old sig", "1.0"));
    }
    switch (c.fault) {
      case move_out_denied:
        EXPECT_FALSE(exists_entry(in.install_dir / "new.txt"));
        EXPECT_EQ(read_file(in.install_dir / "locked/held.dll"), "held");
        break;
      case staged_file_missing:
        EXPECT_EQ(read_file(in.install_dir / "b.txt"), "old b");
        break;
      case disk_full:
        EXPECT_EQ(read_file(in.folders.stage_dir / "a.txt"), "new a");
        break;
      case flush_fails:
        EXPECT_FALSE(exists_entry(in.folders.old_dir));
        break;
      case version_rename_fails:
        EXPECT_FALSE(exists_entry(in.install_dir / "added.txt"));
        break;
    }
  }
}

// Leftover new release files of a killed run, a link among them, are
// replaced and never written through.
TEST(Swap, LeftoverNewReleaseFilesAreReplaced) {
  Install in;
  write_file(in.dir.path / "outside.txt", "must stay");
  fs::create_directories(in.folders.stage_dir);
  fs::create_symlink(in.dir.path / "outside.txt", in.folders.stage_dir / STAGED_MANIFEST_FILE);
  write_file(in.folders.stage_dir / STAGED_VERSION_FILE, "stale");
  ASSERT_EQ(swap_result(swap_files(in.install_dir, in.folders, in.target, {}, {})), "ok");
  EXPECT_EQ(read_file(in.dir.path / "outside.txt"), "must stay");
  EXPECT_THAT(in.release_files(), ElementsAre(in.target.manifest_json, in.target.manifest_sig, "2.0"));
  EXPECT_FALSE(in.new_release_files_left());
}

// An entry of `to_remove` that names a file this swap has just placed, or a
// folder holding one, stays; another spelling of an older file still goes.
TEST(Swap, RemovalNeverTakesAFileJustPlaced) {
  Install in;
  // An extra at a path that the new release adds.
  write_file(in.install_dir / "data/new.pak", "extra");
  write_file(in.install_dir / "Data/Old.pak", "old spelling");
  in.add_file("data/new.pak", {in.cached("new pak")}, "new pak");
  in.add_file("data/old.pak", {in.cached("renamed")}, "renamed");
  const std::vector<std::size_t> all = in.build_all();

  ASSERT_EQ(swap_result(swap_files(in.install_dir, in.folders, in.target, all,
                                   {"data/new.pak", "./data/new.pak", "data", "Data/Old.pak"})),
            "ok");
  EXPECT_EQ(read_file(in.install_dir / "data/new.pak"), "new pak");
  EXPECT_EQ(read_file(in.install_dir / "data/old.pak"), "renamed");
  EXPECT_EQ(read_file(in.folders.old_dir / "data/new.pak"), "extra");
  // On a file system that tells letter case apart the old file is another file.
  EXPECT_FALSE(exists_entry(in.install_dir / "Data/Old.pak"));
  EXPECT_EQ(read_file(in.folders.old_dir / "Data/Old.pak"), "old spelling");
}

// A dangling link named like a program is itself moved out.
TEST(Swap, DanglingLinkIsMovedOut) {
  Install in;
  fs::create_symlink("missing-target", in.install_dir / "Cheat.exe");
  ASSERT_EQ(swap_result(swap_files(in.install_dir, in.folders, in.target, {}, {"Cheat.exe"})), "ok");
  EXPECT_FALSE(exists_entry(in.install_dir / "Cheat.exe"));
  EXPECT_TRUE(fs::is_symlink(in.folders.old_dir / "Cheat.exe"));
}

// Installed "maps" is a file, the new release has "maps/b.pak": the file
// goes before the folder is made; a rollback brings the file back in place
// of the folders the swap made.
TEST(Swap, FileThatBecomesAFolder) {
  for (const bool fail : {false, true}) {
    SCOPED_TRACE(fail ? "rolled back" : "completed");
    Install in;
    in.write_release_files("old json", "old sig", "1.0");
    write_file(in.install_dir / "maps", "old maps file");
    in.add_file("maps/deep/b.pak", {in.cached("b")}, "b");
    in.add_file("maps/c.pak", {in.cached("c")}, "c");
    const std::vector<std::size_t> all = in.build_all();
    if (fail) {
      fs::remove(in.install_dir / ".version");
      write_file(in.install_dir / ".version/blocker", "x");
    }

    const std::string result = swap_result(swap_files(in.install_dir, in.folders, in.target, all, {"maps"}));
    if (!fail) {
      ASSERT_EQ(result, "ok");
      EXPECT_EQ(read_file(in.install_dir / "maps/deep/b.pak"), "b");
      EXPECT_EQ(read_file(in.install_dir / "maps/c.pak"), "c");
      EXPECT_EQ(read_file(in.folders.old_dir / "maps"), "old maps file");
    } else {
      EXPECT_EQ(result, "Is a directory");
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(in.install_dir / "maps")));
      EXPECT_EQ(read_file(in.install_dir / "maps"), "old maps file");
    }
  }
}

// ---------------------------------------------------------------- clean-up

// The removal of the work folders never follows a link: neither a link in
// them nor a work folder that is itself a link.
TEST(CleanUp, RemovesWorkFoldersWithoutFollowingLinks) {
  Install in;
  write_file(in.dir.path / "outside/keep.txt", "keep");
  write_file(in.folders.old_dir / "a/b.txt", "x");
  fs::create_symlink(in.dir.path / "outside", in.folders.old_dir / "a/link");
  fs::create_symlink(in.dir.path / "outside", in.folders.stage_dir);
  write_file(in.folders.cache_dir / "piece", "x");

  clean_up(in.folders);
  EXPECT_FALSE(exists_entry(in.folders.old_dir));
  EXPECT_FALSE(exists_entry(in.folders.stage_dir));
  EXPECT_FALSE(exists_entry(in.folders.cache_dir));
  EXPECT_EQ(read_file(in.dir.path / "outside/keep.txt"), "keep");
  // Absent folders are no error.
  clean_up(in.folders);
}

}  // namespace

namespace {

// A swap killed between the renames of its release files: the next run
// completes the change from the staged copies when they verify with what
// was already renamed; the view of it changes nothing.
TEST(InterruptedCommit, IsCompletedFromTheStagedCopies) {
  const auto signed_json = [](const std::string& version) {
    return R"({"version":")" + version + R"(","files":[]})";
  };
  const std::string old_json = signed_json("1.0");
  const std::string new_json = signed_json("2.0");
  const std::string old_sig = test_sign_hex(old_json) + "\n";
  const std::string new_sig = test_sign_hex(new_json) + "\n";
  // How the staged copies came to be there: written by this user, or put
  // there by another user who can write the work folders' parent.
  enum Planted { own, link, other_user };
  struct Case {
    const char* name;
    std::vector<std::string> installed;  // json, sig, version
    std::vector<std::optional<std::string>> staged;
    std::optional<std::string> completed_version;
    Planted planted = own;
  };
  const std::vector<Case> cases = {
      {"killed after the manifest rename", {new_json, old_sig, "1.0"}, {std::nullopt, new_sig, "2.0"}, "2.0"},
      {"killed after the signature rename", {new_json, new_sig, "1.0"}, {std::nullopt, std::nullopt, "2.0"}, "2.0"},
      {"killed before the commit", {old_json, old_sig, "1.0"}, {new_json, new_sig, "2.0"}, std::nullopt},
      {"no commit at all", {old_json, old_sig, "1.0"}, {std::nullopt, std::nullopt, std::nullopt}, std::nullopt},
      {"copies of another release", {new_json, old_sig, "1.0"}, {std::nullopt, old_sig, "1.0"}, std::nullopt},
      // Copies the program did not write are never taken, nor followed.
      {"links at the copies' names", {new_json, old_sig, "1.0"}, {std::nullopt, new_sig, "2.0"}, std::nullopt,
       link},
      {"copies another user wrote", {new_json, old_sig, "1.0"}, {std::nullopt, new_sig, "2.0"}, std::nullopt,
       other_user},
  };
  const std::array<std::string_view, 3> names = {".manifest.json", ".manifest.sig", ".version"};
  const std::array<std::string_view, 3> staged_names = {STAGED_MANIFEST_FILE, STAGED_SIGNATURE_FILE,
                                                        STAGED_VERSION_FILE};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.planted == other_user && ::geteuid() != 0) continue;  // needs a second user
    Install in;
    fs::create_directories(in.folders.stage_dir);
    fs::create_directories(in.folders.cache_dir);
    for (std::size_t i = 0; i < 3; ++i) {
      write_file(in.install_dir / names[i], c.installed[i]);
      if (!c.staged[i]) continue;
      const fs::path staged = in.folders.stage_dir / staged_names[i];
      if (c.planted == link) {
        const fs::path elsewhere = in.dir.path / ("elsewhere" + std::to_string(i));
        write_file(elsewhere, *c.staged[i]);
        fs::create_symlink(elsewhere, staged);
      } else {
        write_file(staged, *c.staged[i]);
        if (c.planted == other_user) {
          ASSERT_EQ(::lchown(staged.c_str(), NOBODY, NOBODY), 0);
        }
      }
    }

    const auto view = interrupted_commit(in.install_dir, TEST_PUBLIC_KEY_HEX);
    EXPECT_EQ(view ? std::optional(view->version) : std::nullopt, c.completed_version);
    EXPECT_EQ(read_file(in.install_dir / ".manifest.sig"), c.installed[1]);

    EXPECT_EQ(finish_interrupted_commit(in.install_dir, in.folders, TEST_PUBLIC_KEY_HEX), c.completed_version.has_value());
    const auto loaded = load_installed_release(in.install_dir, TEST_PUBLIC_KEY_HEX);
    if (c.completed_version) {
      ASSERT_TRUE(loaded.has_value());
      EXPECT_EQ(loaded->version, *c.completed_version);
      EXPECT_EQ(read_file(in.install_dir / ".version"), *c.completed_version);
      EXPECT_FALSE(exists_entry(in.folders.stage_dir));
      EXPECT_FALSE(exists_entry(in.folders.cache_dir));
    } else {
      for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(read_file(in.install_dir / names[i]), c.installed[i]);
      EXPECT_TRUE(exists_entry(in.folders.cache_dir));
    }
  }
}

}  // namespace
