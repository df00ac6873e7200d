#include "install/scan.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <stdio.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lib/hexdigest.hpp"
#include "lib/utf8.hpp"
#include "support/child.hpp"
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

// The lines' texts and the raw names of a report's extras, in report order.
std::vector<std::string> extra_texts(const ScanReport& report) {
  std::vector<std::string> texts;
  for (const ExtraFile& extra : report.extras) texts.push_back(extra.text);
  return texts;
}

std::vector<std::string> extra_raws(const ScanReport& report) {
  std::vector<std::string> raws;
  for (const ExtraFile& extra : report.extras) raws.push_back(extra.raw);
  return raws;
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
      // The extension comes from the file's own name, not from its path.
      {"leading dot only, in a subfolder", {"sub/.exe"}, {}, {}},
      {"two leading dots, in a subfolder", {"sub/..exe"}, {}, {"sub/..exe"}},
      {"dotted folder, plain file", {"mods.d/readme"}, {}, {}},
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
    EXPECT_THAT(extra_texts(report), UnorderedElementsAreArray(c.want)) << c.name;
    EXPECT_EQ(report.verified.count("ReefTown.exe"), 1u) << c.name;
    // Each raw path names the file on disk and reads as its extra.
    for (const ExtraFile& extra : report.extras) {
      EXPECT_EQ(utf8_lossy(extra.raw), extra.text) << c.name;
      EXPECT_TRUE(fs::exists(fs::symlink_status(dir.path / extra.raw))) << c.name;
    }
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
  EXPECT_THAT(extra_texts(report), ElementsAreArray(want));
  EXPECT_THAT(extra_raws(report), ElementsAreArray(want));
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
    EXPECT_THAT(extra_texts(report), UnorderedElementsAreArray(want)) << c.name;
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

// One folder and one release per row; the lines come in their fixed order.
TEST(Scan, Scenarios) {
  struct Case {
    const char* name;
    // Fills the folder and the release; gives the path to scan.
    std::function<fs::path(const fs::path& dir, ReleaseInfo& release)> make;
    std::vector<std::string> problems;
    std::vector<std::string> extra_paths;  // raw bytes; the extras are read off the lines
    std::vector<std::string> verified;
    bool from_working_folder = false;  // scan the empty path with `dir` as working folder
  };
  const std::string fffd = "\xEF\xBF\xBD";
  const std::vector<Case> cases = {
      // The walk folds A-Z, so no line; but this file system keeps case, so
      // the per-file check under the release's spelling finds nothing.
      {"release path in other case on disk",
       [](const fs::path& dir, ReleaseInfo& release) {
         add_intact(release, dir, "Data/Maps.PAK", "maps");
         release.files[0].path = "data/maps.pak";
         return dir;
       },
       {"missing: data/maps.pak"}, {}, {}},
      {"release paths with empty and dot components",
       [](const fs::path& dir, ReleaseInfo& release) {
         add_intact(release, dir, "Content/Paks/a.pak", "a");
         release.files[0].path = "Content//Paks/a.pak";
         add_intact(release, dir, "ReefTown.exe", "game");
         release.files[1].path = "./ReefTown.exe";
         add_intact(release, dir, "Data/x.dll", "x");
         release.files[2].path = "Data/./x.dll";
         return dir;
       },
       {}, {}, {"Content//Paks/a.pak", "./ReefTown.exe", "Data/./x.dll"}},
      {"hash compared as exact text",
       [](const fs::path& dir, ReleaseInfo& release) {
         add_intact(release, dir, "game.dll", "content");
         for (char& c : release.files[0].hash) c = static_cast<char>(std::toupper(c));
         return dir;
       },
       {"modified: game.dll"}, {}, {}},
      // A pipe would block the hash for ever; only regular files are read.
      {"release paths that are no regular files",
       [](const fs::path& dir, ReleaseInfo& release) {
         EXPECT_EQ(::mkfifo((dir / "pipe.bin").c_str(), 0600), 0);
         release.files.push_back({"pipe.bin", NO_SUCH_HASH, {}, 0});
         fs::create_symlink("/dev/zero", dir / "zero.bin");
         release.files.push_back({"zero.bin", NO_SUCH_HASH, {}, 0});
         return dir;
       },
       {"modified: pipe.bin", "modified: zero.bin"}, {}, {}},
      // The system would stop reading a path at a NUL; such a release path
      // names no file, not the file named by its part before the NUL.
      {"release path with a NUL",
       [](const fs::path& dir, ReleaseInfo& release) {
         add_intact(release, dir, "game.bin", "content");
         release.files[0].path += std::string(1, '\0') + "x";
         return dir;
       },
       {"missing: game.bin" + std::string(1, '\0') + "x"}, {}, {}},
      {"install folder that does not exist",
       [](const fs::path& dir, ReleaseInfo& release) {
         release.files.push_back({"a.dll", NO_SUCH_HASH, {}, 1});
         release.files.push_back({"b/c.pak", NO_SUCH_HASH, {}, 0});
         return dir / "absent";
       },
       {"missing: a.dll", "missing: b/c.pak"}, {}, {}},
      {"empty release still reports suspect files",
       [](const fs::path& dir, ReleaseInfo&) {
         write_file(dir / "a.dll", "x");
         write_file(dir / "notes.txt", "x");
         return dir;
       },
       {"not part of the game: a.dll"}, {"a.dll"}, {}},
      {"extra whose name is not UTF-8",
       [](const fs::path& dir, ReleaseInfo&) {
         write_file(dir / "sub/bad\xFF\xFE.dll", "x");
         return dir;
       },
       {"not part of the game: sub/bad" + fffd + fffd + ".dll"}, {"sub/bad\xFF\xFE.dll"}, {}},
      {"the empty path is the working folder, for the walk as for the checks",
       [](const fs::path& dir, ReleaseInfo& release) {
         add_intact(release, dir, "ReefTown.exe", "game");
         release.files.push_back({"gone.pak", NO_SUCH_HASH, {}, 1});
         write_file(dir / "cheat.dll", "x");
         return fs::path();
       },
       {"not part of the game: cheat.dll", "missing: gone.pak"}, {"cheat.dll"}, {"ReefTown.exe"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ReleaseInfo release;
    const fs::path scanned = c.make(dir.path, release);
    const fs::path working = fs::current_path();
    if (c.from_working_folder) fs::current_path(dir.path);
    const ScanReport report = scan_install(scanned, release);
    if (c.from_working_folder) fs::current_path(working);

    EXPECT_THAT(report.problems, ElementsAreArray(c.problems));
    std::vector<std::string> want_extras;
    for (const std::string& line : c.problems)
      if (line.starts_with("not part of the game: ")) want_extras.push_back(line.substr(22));
    EXPECT_THAT(extra_texts(report), ElementsAreArray(want_extras));
    EXPECT_THAT(extra_raws(report), ElementsAreArray(c.extra_paths));
    std::vector<std::string> verified;
    for (const auto& [path, hash] : report.verified) verified.push_back(path);
    EXPECT_THAT(verified, UnorderedElementsAreArray(c.verified));
  }
}

TEST(Scan, PathKey) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"ReefTown.exe", "reeftown.exe"},
      {"Content//Paks/a.pak", "content/paks/a.pak"},
      {"./ReefTown.exe", "reeftown.exe"},
      {"a/./b", "a/b"},
      {"a/b/", "a/b"},
      {"a///.//./b", "a/b"},
      {"/a", "a"},
      {".", ""},
      {"", ""},
      {".manifest.json", ".manifest.json"},
      {"...", "..."},
      {"a/.b/c.", "a/.b/c."},
      {"Tools\\Run.EXE", "tools\\run.exe"},        // a backslash is a name byte here
      {"\xC3\x89T\xC3\x89.PAK", "\xC3\x89t\xC3\x89.pak"},  // A-Z only
      {"AZ@[`{az", "az@[`{az"},
  };
  for (const auto& [path, want] : cases) EXPECT_EQ(scan_path_key(path), want) << path;
}

// Makes a chain of `levels` folders named `name` below `dir`, with "x.dll" at
// its end and, when `branch`, a folder "s" holding "x.dll" beside every link
// of the chain. Made name by name: the chain's path may outgrow what the
// system takes at once. Gives the relative paths of the ".dll" files.
std::vector<std::string> make_deep_tree(const fs::path& dir, const std::string& name, int levels,
                                        bool branch) {
  std::vector<std::string> dlls;
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string prefix;
  const auto touch = [](int at, const char* file_name) {
    const int file = ::openat(at, file_name, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_GE(file, 0) << file_name;
    if (file >= 0) ::close(file);
  };
  for (int level = 0; level < levels && fd >= 0; ++level) {
    if (branch) {
      EXPECT_EQ(::mkdirat(fd, "s", 0700), 0);
      touch(fd, "s/x.dll");
      dlls.push_back(prefix + "s/x.dll");
    }
    EXPECT_EQ(::mkdirat(fd, name.c_str(), 0700), 0);
    const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
    prefix += name + "/";
  }
  EXPECT_GE(fd, 0);
  touch(fd, "x.dll");
  dlls.push_back(prefix + "x.dll");
  ::close(fd);
  return dlls;
}

// Takes a tree from make_deep_tree apart from the top, lifting the chain one
// level at a time, so that no path ever grows long.
void remove_deep_tree(const fs::path& dir, const std::string& name) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  while (::renameat(fd, (name + "/" + name).c_str(), fd, "lifted") == 0) {
    fs::remove_all(dir / name);
    ::renameat(fd, "lifted", fd, name.c_str());
  }
  ::close(fd);
  fs::remove_all(dir / name);
}

// A tree deeper than a path can name is walked to its end, and a tree of
// many branches does not run the walk out of descriptors.
TEST(Scan, DeepTreesAreWalkedWhole) {
  struct Case {
    const char* name;
    std::string folder;
    int levels;
    bool branch;
  };
  const std::vector<Case> cases = {
      {"chain longer than a path", std::string(200, 'd'), 30, false},
      {"long chain of short names", "d", 1000, false},
      {"a branch at every level", "d", 150, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::vector<std::string> dlls = make_deep_tree(dir.path, c.folder, c.levels, c.branch);
    const ScanReport report = scan_install(dir.path, ReleaseInfo{});
    remove_deep_tree(dir.path, c.folder);
    EXPECT_THAT(extra_texts(report), UnorderedElementsAreArray(dlls));
    EXPECT_THAT(extra_raws(report), UnorderedElementsAreArray(dlls));
    EXPECT_EQ(report.problems.size(), dlls.size());
  }
}

// A folder that turns into a link to somewhere else while the walk is inside
// it: the walk goes on in the folder it opened, never behind the link.
TEST(Scan, FolderSwappedForALinkIsNotFollowed) {
  TempDir dir;
  TempDir outside;
  write_file(outside.path / "b/user.dll", "mine");
  write_file(dir.path / "a/b/own.dll", "x");
  fs::create_symlink(outside.path, dir.path / "link");
  std::atomic<bool> stop{false};
  // Swaps the folder "a" and the link "link" back and forth, each swap atomic.
  std::thread swapper([&] {
    while (!stop) ::renameat2(AT_FDCWD, (dir.path / "a").c_str(), AT_FDCWD,
                              (dir.path / "link").c_str(), RENAME_EXCHANGE);
  });
  int behind_link = 0;
  for (int i = 0; i < 400; ++i) {
    const ScanReport report = scan_install(dir.path, ReleaseInfo{}, 1);
    for (const ExtraFile& extra : report.extras)
      if (extra.text.ends_with("user.dll")) ++behind_link;
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(behind_link, 0) << "the walk read the user's own folder through the link";
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
  EXPECT_THAT(extra_texts(report), ElementsAre("z/extra.exe"));
  ASSERT_EQ(report.verified.size(), 1u);
  EXPECT_EQ(report.verified.at("d.dll"), release.files[3].hash);
}

// Runs `scan` in a child process that has given up root, since permissions
// do not bind root and CI runs as root.
template <typename Scan>
bool passes_without_root(const Scan& scan) {
  return in_child(drop_root, [&] { return std::string(scan() ? "pass" : "fail"); }) == "pass";
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
           extra_texts(report) == std::vector<std::string>{"top.dll"};
  })) << "an unreadable folder is passed over, an unreadable release file is modified";
}

// With one worker the "modified" lines show the hash order: larger first,
// equal sizes in release order. A sort that is not stable keeps the order of
// a few files too, so one row has many of equal size.
TEST(Scan, HashOrderIsLargestFirstAndStable) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::size_t>> files;  // release order
    std::vector<std::string> want;
  };
  std::vector<std::pair<std::string, std::size_t>> many;
  std::vector<std::string> many_want;
  for (int i = 0; i < 48; ++i) many.push_back({"f" + std::to_string(i), static_cast<std::size_t>(i % 3)});
  for (int size = 2; size >= 0; --size)
    for (int i = size; i < 48; i += 3) many_want.push_back("f" + std::to_string(i));
  const std::vector<Case> cases = {
      {"six files",
       {{"z5", 5}, {"m9", 9}, {"a5", 5}, {"q12", 12}, {"b9", 9}, {"c0", 0}},
       {"q12", "m9", "b9", "z5", "a5", "c0"}},
      {"forty-eight files of three sizes", many, many_want},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ReleaseInfo release;
    for (const auto& [name, size] : c.files) {
      write_file(dir.path / name, std::string(size, 'x'));
      release.files.push_back({name, NO_SUCH_HASH, {}, size});
    }
    std::vector<std::string> want;
    for (const std::string& name : c.want) want.push_back("modified: " + name);

    const ScanReport report = scan_install(dir.path, release, 1);
    EXPECT_THAT(report.problems, ElementsAreArray(want)) << c.name;
  }
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

// Many workers over many files: each file is hashed by exactly one of them,
// and as many workers start as the processor count allows. When starts fail,
// the calling thread hashes what the started workers leave.
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
  struct Case {
    unsigned processors;
    std::size_t start_limit;
    std::size_t want_started;
  };
  const std::size_t any = ThreadStarts{}.limit;
  const std::vector<Case> cases = {
      {16, any, 8}, {9, any, 8}, {2, any, 2}, {0, any, 4}, {1, any, 1},
      {16, 3, 3},   {16, 0, 0},  {0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.processors << " processors, " << c.start_limit
                                    << " starts possible");
    std::size_t started = 99;
    const ScanReport report =
        scan_install(dir.path, release, c.processors, {.limit = c.start_limit, .started = &started});
    EXPECT_EQ(started, c.want_started);
    EXPECT_THAT(report.problems, UnorderedElementsAreArray(want_modified));
    EXPECT_EQ(report.verified.size(), 40u);
  }
}

}  // namespace
