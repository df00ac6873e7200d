#include "install/scan.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lib/hexdigest.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;

const std::string NO_SUCH_HASH(64, '0');

// Writes `content` at `path` below `dir` and lists it in `release` with its
// true hash and size.
void add_intact(ReleaseInfo& release, const fs::path& dir, const std::string& path,
                const std::string& content) {
  write_file(dir / path, content);
  release.files.push_back({path, sha256_file_hex(dir / path).value(), {}, content.size()});
}

std::vector<std::string> names_in_listing_order(const fs::path& dir, bool folders) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(dir.c_str());
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (fs::is_directory(fs::symlink_status(dir / name)) == folders) names.push_back(name);
  }
  ::closedir(listing);
  return names;
}

TEST(Scan, FolderHoldingExactlyTheReleaseIsClean) {
  TempDir dir;
  ReleaseInfo release;
  add_intact(release, dir.path, "ReefTown.exe", "game");
  add_intact(release, dir.path, "Data/maps.pak", "maps");
  add_intact(release, dir.path, "Data/Sub/deep.dll", "deep");
  add_intact(release, dir.path, "empty.bin", "");

  const ScanReport report = scan_install(dir.path, release);
  EXPECT_THAT(report.problems, IsEmpty());
  EXPECT_THAT(report.extras, IsEmpty());
  ASSERT_EQ(report.verified.size(), 4u);
  for (const FileEntry& file : release.files) EXPECT_EQ(report.verified.at(file.path), file.hash);
}

// Which foreign files the walk reports, one fresh folder per row, beside an
// intact release file that must never be reported itself.
TEST(Scan, WalkJudgesForeignFiles) {
  struct Case {
    const char* name;
    std::vector<std::string> files;
    std::vector<std::string> folders;
    std::vector<std::string> want;
  };
  const std::string fffd = "\xEF\xBF\xBD";
  const std::vector<Case> cases = {
      {"harmless names", {"notes.txt", "Saved/settings.ini"}, {}, {}},
      {"suspect in a subfolder, case kept", {"tools/run.PS1"}, {}, {"tools/run.PS1"}},
      {"release information files at the top", {".version", ".manifest.json", ".manifest.sig"}, {}, {}},
      {"release information file below the top", {"sub/.manifest.json"}, {}, {"sub/.manifest.json"}},
      {"release information file in other case", {".MANIFEST.JSON"}, {}, {".MANIFEST.JSON"}},
      {"leading dot only", {".json"}, {}, {}},
      {"bare dot extension", {".exe"}, {}, {}},
      {"two leading dots", {"..exe"}, {}, {"..exe"}},
      {"upper-case extension", {"Setup.EXE"}, {}, {"Setup.EXE"}},
      {"last of several dots", {"a.b.Json"}, {}, {"a.b.Json"}},
      {"no dot", {"exe"}, {}, {}},
      {"suspect before the last dot", {"game.exe.bak"}, {}, {}},
      {"empty extension", {"readme."}, {}, {}},
      {"folder named like a suspect file", {"mods.pak/readme.txt"}, {"mods.pak"}, {}},
      {"suspect file inside such a folder", {"mods.pak/inner.dll"}, {}, {"mods.pak/inner.dll"}},
      {"empty folder named like a suspect file", {}, {"x.exe"}, {}},
      {"every suspect extension",
       {"a.exe", "a.dll", "a.asi", "a.sys", "a.pak", "a.ucas", "a.utoc", "a.sig", "a.bat", "a.cmd",
        "a.ps1", "a.vbs", "a.js", "a.json"},
       {},
       {"a.exe", "a.dll", "a.asi", "a.sys", "a.pak", "a.ucas", "a.utoc", "a.sig", "a.bat", "a.cmd",
        "a.ps1", "a.vbs", "a.js", "a.json"}},
      {"near misses", {"a.ex", "a.dlls", "a.jsonx", "a.ps"}, {}, {}},
      {"name that is not UTF-8", {"bad\xFF.dll"}, {}, {"bad" + fffd + ".dll"}},
      {"extension that is not UTF-8", {"x.dl\xFF"}, {}, {}},
      {"backslash is part of the name here", {"tools\\run.exe"}, {}, {"tools\\run.exe"}},
      {"release file in another case", {"reeftown.EXE"}, {}, {}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ReleaseInfo release;
    add_intact(release, dir.path, "ReefTown.exe", "game");
    for (const std::string& f : c.files) write_file(dir.path / f, "x");
    for (const std::string& f : c.folders) fs::create_directories(dir.path / f);

    const ScanReport report = scan_install(dir.path, release);
    std::vector<std::string> want_lines;
    for (const std::string& w : c.want) want_lines.push_back("not part of the game: " + w);
    // Files of one folder come in the file system's own order.
    EXPECT_THAT(report.problems, UnorderedElementsAreArray(want_lines)) << c.name;
    EXPECT_THAT(report.extras, UnorderedElementsAreArray(c.want)) << c.name;
    EXPECT_EQ(report.verified.count("ReefTown.exe"), 1u) << c.name;
  }
}

// Every file of a folder is judged in listing order before its subfolders;
// subfolders go last in, first out.
TEST(Scan, WalkOrderFollowsTheListing) {
  TempDir dir;
  for (const char* f : {"b.dll", "a.dll", "c.dll", "one/x.dll", "one/deep/y.dll", "two/x.dll"})
    write_file(dir.path / f, "x");

  std::vector<std::string> want;
  for (const std::string& f : names_in_listing_order(dir.path, false)) want.push_back(f);
  std::vector<std::string> folders = names_in_listing_order(dir.path, true);
  ASSERT_EQ(folders.size(), 2u);
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    want.push_back(*it + "/x.dll");
    if (*it == "one") want.push_back("one/deep/y.dll");
  }

  const ScanReport report = scan_install(dir.path, ReleaseInfo{});
  EXPECT_THAT(report.extras, ElementsAreArray(want));
  ASSERT_EQ(report.problems.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ(report.problems[i], "not part of the game: " + want[i]);
}

// A link is judged as a file by its own name and never walked through.
TEST(Scan, LinksAreNotWalkedThrough) {
  TempDir outside;
  write_file(outside.path / "user.dll", "mine");
  struct Case {
    const char* name;
    std::string link;
    fs::path target;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"dangling link", "x.dll", "gone.dll", {"x.dll"}},
      {"link to the install folder itself", "loop", ".", {}},
      {"link to an ancestor", "up", "..", {}},
      {"suspect-named link to a folder", "mods.pak", outside.path, {"mods.pak"}},
      {"link out of the install folder", "linked", outside.path, {}},
      {"link to a file outside", "other.dll", outside.path / "user.dll", {"other.dll"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_file(dir.path / "sub/own.dll", "x");
    fs::create_symlink(c.target, dir.path / "sub" / c.link);

    const ScanReport report = scan_install(dir.path, ReleaseInfo{});
    std::vector<std::string> want = {"sub/own.dll"};
    for (const std::string& w : c.want) want.push_back("sub/" + w);
    EXPECT_THAT(report.extras, UnorderedElementsAreArray(want)) << c.name;
    EXPECT_EQ(report.problems.size(), want.size()) << c.name;
  }
}

TEST(Scan, ReleaseFilesAreCheckedThroughLinks) {
  TempDir dir;
  TempDir outside;
  ReleaseInfo release;
  add_intact(release, outside.path, "real.dll", "content");
  fs::create_symlink(outside.path / "real.dll", dir.path / "real.dll");
  release.files.push_back({"gone.dll", NO_SUCH_HASH, {}, 1});
  fs::create_symlink(outside.path / "nothing", dir.path / "gone.dll");

  const ScanReport report = scan_install(dir.path, release);
  EXPECT_THAT(report.problems, ElementsAre("missing: gone.dll"));
  EXPECT_THAT(report.extras, IsEmpty());
  EXPECT_EQ(report.verified.count("real.dll"), 1u);
}

// The walk folds A-Z, so no line; but this file system keeps case, so the
// per-file check under the release's spelling finds nothing.
TEST(Scan, ReleasePathInOtherCaseOnDisk) {
  TempDir dir;
  ReleaseInfo release;
  add_intact(release, dir.path, "Data/Maps.PAK", "maps");
  release.files[0].path = "data/maps.pak";

  const ScanReport report = scan_install(dir.path, release);
  EXPECT_THAT(report.problems, ElementsAre("missing: data/maps.pak"));
  EXPECT_THAT(report.extras, IsEmpty());
  EXPECT_THAT(report.verified, IsEmpty());
}

TEST(Scan, LinesComeInTheirFourGroups) {
  TempDir dir;
  ReleaseInfo release;
  write_file(dir.path / "b.dll", "1234");
  release.files.push_back({"b.dll", NO_SUCH_HASH, {}, 5});  // wrong size
  release.files.push_back({"a.dll", NO_SUCH_HASH, {}, 5});  // absent
  add_intact(release, dir.path, "c.dll", "right");
  write_file(dir.path / "c.dll", "other");                  // same size, other content
  add_intact(release, dir.path, "d.dll", "fine");
  write_file(dir.path / "z/extra.exe", "x");
  release.files.push_back({"e.dll", NO_SUCH_HASH, {}, 0});  // absent, after the rest

  const ScanReport report = scan_install(dir.path, release);
  EXPECT_THAT(report.problems,
              ElementsAre("not part of the game: z/extra.exe", "changed: b.dll", "missing: a.dll",
                          "missing: e.dll", "modified: c.dll"));
  EXPECT_THAT(report.extras, ElementsAre("z/extra.exe"));
  ASSERT_EQ(report.verified.size(), 1u);
  EXPECT_EQ(report.verified.at("d.dll"), release.files[3].hash);
}

TEST(Scan, HashIsComparedAsExactText) {
  TempDir dir;
  ReleaseInfo release;
  add_intact(release, dir.path, "game.dll", "content");
  for (char& c : release.files[0].hash) c = static_cast<char>(std::toupper(c));

  const ScanReport report = scan_install(dir.path, release);
  EXPECT_THAT(report.problems, ElementsAre("modified: game.dll"));
  EXPECT_THAT(report.verified, IsEmpty());
}

// A pipe would block the hash for ever; only regular files are read.
TEST(Scan, ReleasePathThatIsNotARegularFile) {
  TempDir dir;
  ReleaseInfo release;
  ASSERT_EQ(::mkfifo((dir.path / "pipe.bin").c_str(), 0600), 0);
  release.files.push_back({"pipe.bin", NO_SUCH_HASH, {}, 0});
  fs::create_symlink("/dev/zero", dir.path / "zero.bin");
  release.files.push_back({"zero.bin", NO_SUCH_HASH, {}, 0});

  const ScanReport report = scan_install(dir.path, release);
  EXPECT_THAT(report.problems, UnorderedElementsAreArray({"modified: pipe.bin", "modified: zero.bin"}));
}

// The system would stop reading a path at a NUL; such a release path names
// no file, not the file named by its part before the NUL.
TEST(Scan, ReleasePathWithNulNamesNoFile) {
  TempDir dir;
  ReleaseInfo release;
  add_intact(release, dir.path, "game.bin", "content");
  release.files[0].path += std::string(1, '\0') + "x";

  const ScanReport report = scan_install(dir.path, release);
  EXPECT_THAT(report.problems, ElementsAre("missing: " + release.files[0].path));
  EXPECT_THAT(report.verified, IsEmpty());
}

// Runs `scan` in a child process that has given up root, since permissions
// do not bind root and CI runs as root. The child's verdict comes back as
// its exit code.
template <typename Scan>
bool passes_without_root(const Scan& scan) {
  if (::geteuid() != 0) return scan();
  const pid_t child = ::fork();
  if (child == 0) {
    const uid_t nobody = 65534;
    if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) ::_exit(2);
    ::_exit(scan() ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Scan, UnreadableFolderAndFile) {
  TempDir dir;
  ReleaseInfo release;
  write_file(dir.path / "locked/inner.dll", "x");
  write_file(dir.path / "top.dll", "x");
  add_intact(release, dir.path, "secret.dat", "content");
  fs::permissions(dir.path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(dir.path / "locked", fs::perms::none);
  fs::permissions(dir.path / "secret.dat", fs::perms::none);

  EXPECT_TRUE(passes_without_root([&] {
    const ScanReport report = scan_install(dir.path, release);
    return report.problems == std::vector<std::string>{"not part of the game: top.dll",
                                                       "modified: secret.dat"} &&
           report.extras == std::vector<std::string>{"top.dll"};
  })) << "an unreadable folder is passed over, an unreadable release file is modified";
}

TEST(Scan, InstallFolderThatDoesNotExist) {
  TempDir dir;
  ReleaseInfo release;
  release.files.push_back({"a.dll", NO_SUCH_HASH, {}, 1});
  release.files.push_back({"b/c.pak", NO_SUCH_HASH, {}, 0});

  const ScanReport report = scan_install(dir.path / "absent", release);
  EXPECT_THAT(report.problems, ElementsAre("missing: a.dll", "missing: b/c.pak"));
  EXPECT_THAT(report.extras, IsEmpty());
}

TEST(Scan, EmptyReleaseStillReportsSuspectFiles) {
  TempDir dir;
  write_file(dir.path / "a.dll", "x");
  write_file(dir.path / "notes.txt", "x");

  const ScanReport report = scan_install(dir.path, ReleaseInfo{});
  EXPECT_THAT(report.problems, ElementsAre("not part of the game: a.dll"));
  EXPECT_THAT(report.verified, IsEmpty());
}

// With one worker the "modified" lines show the hash order: larger first,
// equal sizes in release order.
TEST(Scan, HashOrderIsLargestFirstAndStable) {
  TempDir dir;
  ReleaseInfo release;
  for (const auto& [name, size] : std::vector<std::pair<std::string, std::size_t>>{
           {"z5", 5}, {"m9", 9}, {"a5", 5}, {"q12", 12}, {"b9", 9}, {"c0", 0}}) {
    write_file(dir.path / name, std::string(size, 'x'));
    release.files.push_back({name, NO_SUCH_HASH, {}, size});
  }

  const ScanReport report = scan_install(dir.path, release, 1);
  EXPECT_THAT(report.problems, ElementsAre("modified: q12", "modified: m9", "modified: b9",
                                           "modified: z5", "modified: a5", "modified: c0"));
}

TEST(Scan, LargerFileFirstIsStrict) {
  ReleaseInfo release;
  release.files = {{"a", "", {}, 5}, {"b", "", {}, 9}, {"c", "", {}, 5}};
  EXPECT_TRUE(larger_file_first(release, 1, 0));
  EXPECT_FALSE(larger_file_first(release, 0, 1));
  EXPECT_FALSE(larger_file_first(release, 0, 2));
  EXPECT_FALSE(larger_file_first(release, 2, 0));
}

TEST(Scan, WorkerCount) {
  const std::vector<std::pair<unsigned, std::size_t>> cases = {
      {16, 8}, {2, 2}, {0, 4}, {1, 1}, {8, 8}, {9, 8}};
  for (const auto& [processors, want] : cases)
    EXPECT_EQ(scan_worker_count(processors), want) << processors << " processors";
}

// Many workers over many files: each file is hashed by exactly one of them.
TEST(Scan, EveryCandidateIsHashedOnce) {
  TempDir dir;
  ReleaseInfo release;
  std::vector<std::string> want_modified;
  for (int i = 0; i < 60; ++i) {
    const std::string name = "f" + std::to_string(i);
    add_intact(release, dir.path, name, std::string(static_cast<std::size_t>(i * 37), 'a' + i % 26));
    if (i % 3 == 0) {
      release.files.back().hash = NO_SUCH_HASH;
      want_modified.push_back("modified: " + name);
    }
  }
  for (unsigned processors : {16u, 2u, 0u}) {
    const ScanReport report = scan_install(dir.path, release, processors);
    EXPECT_THAT(report.problems, UnorderedElementsAreArray(want_modified)) << processors;
    EXPECT_EQ(report.verified.size(), 40u) << processors;
  }
}

}  // namespace
