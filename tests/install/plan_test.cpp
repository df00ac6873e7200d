#include "install/plan.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "install/download.hpp"
#include "support/sha256.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAreArray;

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

// Piece contents, each of another length so that wrong offsets show.
const std::string A = "alpha piece ";
const std::string B = "bravo piece, longer ";
const std::string C = "charlie";
const std::string D = "delta piece, new in the target";
const std::string X = "x-ray, shared by two files";
const std::string E = "echo";

FilePiece piece(const std::string& bytes) { return {sha256_of(bytes), bytes.size()}; }

// A file made of `parts` in order, its hash and size true to them.
FileEntry entry(std::string path, const std::vector<std::string>& parts) {
  FileEntry file{std::move(path), "", {}, 0};
  std::string content;
  for (const std::string& part : parts) {
    file.pieces.push_back(piece(part));
    content += part;
  }
  file.hash = sha256_of(content);
  file.size = content.size();
  return file;
}

// A file whose hash and size are true to `content` but whose pieces are
// listed as given, as a release that lies about their lengths would list it.
FileEntry listed(std::string path, const std::string& content, std::vector<FilePiece> pieces) {
  return {std::move(path), sha256_of(content), std::move(pieces), content.size()};
}

struct Located {
  std::string bytes;  // the piece's content, which names its id
  std::string path;   // relative to the install folder
  std::uint64_t offset;
};

struct Case {
  std::string name;
  // None: no installed release and no scan.
  std::optional<std::vector<FileEntry>> installed;
  // Installed paths the scan verified, each with its installed hash.
  std::vector<std::string> verified = {};
  // Written before planning; bytes on disk may differ from the release.
  std::vector<std::pair<std::string, std::string>> disk = {};
  std::vector<FileEntry> target = {};
  std::vector<Located> salvaged = {};
  std::vector<std::size_t> to_update = {};
  std::vector<std::string> to_download = {};  // piece contents
  std::vector<std::string> to_remove = {};
  std::vector<ExtraFile> extras = {};
  std::function<void(const fs::path&)> prepare = nullptr;
};

// Salvage and the three lists, one fresh install folder per row.
TEST(Plan, SalvageAndLists) {
  // A FIFO at a release path must not hang the plan; this ends the whole
  // program if it does.
  ::alarm(60);
  const std::string fffd = "\xEF\xBF\xBD";
  const std::uint64_t huge = std::uint64_t{1} << 40;
  const std::uint64_t over_limit = PIECE_DECODED_LIMIT + 1;

  const std::vector<Case> cases = {
      {.name = "verified file whose hash changes in the target: all pieces salvaged, none read",
       .installed = std::vector{entry("game.pak", {A, B, C})},
       .verified = {"game.pak"},
       // Other bytes of the same size since the scan: only a read would notice.
       .disk = {{"game.pak", std::string(A.size() + B.size() + C.size(), '?')}},
       .target = {entry("game.pak", {A, D, C})},
       .salvaged = {{A, "game.pak", 0}, {B, "game.pak", A.size()}, {C, "game.pak", A.size() + B.size()}},
       .to_update = {0},
       .to_download = {D}},
      {.name = "one changed byte: every other piece salvaged",
       .installed = std::vector{entry("game.pak", {A, B, C})},
       .disk = {{"game.pak", A + "bravo piece, lOnger " + C}},
       .target = {entry("game.pak", {A, B, C})},
       .salvaged = {{A, "game.pak", 0}, {C, "game.pak", A.size() + B.size()}},
       .to_update = {0},
       .to_download = {B}},
      {.name = "file shorter than its pieces: the pieces past its end are short",
       .installed = std::vector{entry("game.pak", {A, B, C})},
       .disk = {{"game.pak", A + B + C.substr(0, 3)}},
       .target = {entry("game.pak", {A, B, C})},
       .salvaged = {{A, "game.pak", 0}, {B, "game.pak", A.size()}},
       .to_update = {0},
       .to_download = {C}},
      {.name = "file cut short before an empty piece past its end: the empty piece is salvaged",
       .installed = std::vector{entry("game.pak", {A, ""})},
       .disk = {{"game.pak", A.substr(0, 4)}},
       .target = {entry("game.pak", {A, ""})},
       .salvaged = {{"", "game.pak", A.size()}},
       .to_update = {0},
       .to_download = {A}},
      {.name = "empty piece beyond the largest file offset: not salvaged",
       .installed = std::vector{listed("game.pak", A,
                                       {piece(A), {sha256_of(D), std::uint64_t{1} << 63}, piece("")})},
       .disk = {{"game.pak", A}},
       .target = {entry("game.pak", {A, ""})},
       .salvaged = {{A, "game.pak", 0}},
       .to_update = {0},
       .to_download = {""}},
      {.name = "same id in two files, the searched one first: its location stays",
       .installed = std::vector{entry("one.pak", {A, X}), entry("two.pak", {X})},
       .verified = {"two.pak"},
       .disk = {{"one.pak", A + X + "!"}, {"two.pak", X}},
       .target = {entry("one.pak", {A, X}), entry("two.pak", {X})},
       .salvaged = {{A, "one.pak", 0}, {X, "one.pak", A.size()}},
       .to_update = {0},
       .to_download = {}},
      {.name = "same id in two files, the intact one first: its location stays",
       .installed = std::vector{entry("one.pak", {A, X}), entry("two.pak", {X})},
       .verified = {"one.pak"},
       .disk = {{"one.pak", A + X}, {"two.pak", X + "!"}},
       .target = {entry("one.pak", {A, X}), entry("two.pak", {X})},
       .salvaged = {{A, "one.pak", 0}, {X, "one.pak", A.size()}},
       .to_update = {1},
       .to_download = {}},
      {.name = "same id twice in one file and in two files to update: fetched once",
       .installed = std::nullopt,
       .target = {entry("one.pak", {D, A, D}), entry("two.pak", {A, B})},
       .to_update = {0, 1},
       .to_download = {D, A, B}},
      {.name = "no installed release: nothing salvaged though the right bytes lie there",
       .installed = std::nullopt,
       .disk = {{"game.pak", A + B}},
       .target = {entry("game.pak", {A, B}), entry("more.pak", {B, C})},
       .to_update = {0, 1},
       .to_download = {A, B, C}},
      {.name = "path listed twice in the target: built once, as its last entry",
       .installed = std::nullopt,
       .target = {entry("a.pak", {A}), entry("b.pak", {B}), entry("a.pak", {C})},
       .to_update = {1, 2},
       .to_download = {B, C}},
      {.name = "path listed twice in the target, its last entry intact: not built at all",
       .installed = std::vector{entry("a.pak", {A})},
       .verified = {"a.pak"},
       .disk = {{"a.pak", A}},
       .target = {entry("a.pak", {D}), entry("b.pak", {B}), entry("a.pak", {A})},
       .salvaged = {{A, "a.pak", 0}},
       .to_update = {1},
       .to_download = {B}},
      {.name = "intact file with lengths left out (0): no location from the release alone",
       .installed = std::vector{listed("game.pak", A + B, {{sha256_of(A), 0}, {sha256_of(B), 0}})},
       .verified = {"game.pak"},
       .disk = {{"game.pak", A + B}},
       .target = {entry("game.pak", {A, B, E})},
       .to_update = {0},
       .to_download = {A, B, E}},
      {.name = "intact file with one length short: searched, what its bytes prove is kept",
       .installed = std::vector{listed("game.pak", A + B + C, {piece(A), piece(B), {sha256_of(C), 0}})},
       .verified = {"game.pak"},
       .disk = {{"game.pak", A + B + C}},
       .target = {entry("game.pak", {A, B, C, E})},
       .salvaged = {{A, "game.pak", 0}, {B, "game.pak", A.size()}},
       .to_update = {0},
       .to_download = {C, E}},
      {.name = "intact file with lengths that add up only by wrapping around",
       // Taken literally, B would lie one byte before A's end.
       .installed = std::vector{listed("game.pak", A + B,
                                       {piece(A), {sha256_of(D), U64_MAX}, piece(B), {sha256_of(E), 1}})},
       .verified = {"game.pak"},
       .disk = {{"game.pak", A + B}},
       .target = {entry("new.pak", {A, B})},
       .salvaged = {{A, "game.pak", 0}},
       .to_update = {0},
       .to_download = {B},
       .to_remove = {"game.pak"}},
      {.name = "intact file with a piece beyond the decoded limit: that piece is never salvaged",
       .installed = std::vector{FileEntry{"game.pak", sha256_of(A + D), {piece(A), {sha256_of(D), over_limit}},
                                          A.size() + over_limit}},
       .verified = {"game.pak"},
       .target = {entry("game.pak", {A, D, E})},
       .salvaged = {{A, "game.pak", 0}},
       .to_update = {0},
       .to_download = {D, E}},
      {.name = "searched file with a piece of 2^40 bytes: never buffered, the others still found",
       .installed = std::vector{listed("game.pak", A + B + D, {piece(A), piece(B), {sha256_of(D), huge}})},
       .disk = {{"game.pak", A + B + D}},
       .target = {entry("game.pak", {A, B, D})},
       .salvaged = {{A, "game.pak", 0}, {B, "game.pak", A.size()}},
       .to_update = {0},
       .to_download = {D}},
      {.name = "FIFO at a release path and a missing file: passed over, later files searched",
       .installed = std::vector{entry("pipe.pak", {A}), entry("gone.pak", {B}), entry("last.pak", {C})},
       .disk = {{"last.pak", C}},
       .target = {entry("pipe.pak", {A}), entry("gone.pak", {B}), entry("last.pak", {C})},
       .salvaged = {{C, "last.pak", 0}},
       .to_update = {0, 1, 2},
       .to_download = {A, B},
       .prepare = [](const fs::path& dir) { ASSERT_EQ(::mkfifo((dir / "pipe.pak").c_str(), 0600), 0); }},
      {.name = "removals: installed paths the target lacks in order, twice when listed twice, then "
               "the extras by their raw names",
       .installed = std::vector{entry("old.dll", {A}), entry("keep.pak", {B}), entry("Old2.dll", {C}),
                                entry("old.dll", {A})},
       .verified = {"keep.pak"},
       .disk = {{"keep.pak", B}},
       .target = {entry("keep.pak", {B}), entry("old2.dll", {C})},
       .salvaged = {{B, "keep.pak", 0}},
       .to_update = {1},
       .to_download = {C},
       .to_remove = {"old.dll", "Old2.dll", "old.dll", "mods/bad\xFF.dll", "x.exe"},
       .extras = {{"mods/bad" + fffd + ".dll", "mods/bad\xFF.dll"}, {"x.exe", "x.exe"}}},
      {.name = "extras alone, with no installed path to remove",
       .installed = std::vector<FileEntry>{},
       .target = {},
       .to_update = {},
       .to_download = {},
       .to_remove = {"x.exe"},
       .extras = {{"x.exe", "x.exe"}}},
      {.name = "letter case counts: another case is another path",
       .installed = std::vector{entry("Data/Maps.pak", {A})},
       .verified = {"Data/Maps.pak"},
       .disk = {{"Data/Maps.pak", A}},
       .target = {entry("data/maps.pak", {A})},
       .salvaged = {{A, "Data/Maps.pak", 0}},
       .to_update = {0},
       .to_download = {},
       .to_remove = {"Data/Maps.pak"}},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    for (const auto& [path, content] : c.disk) write_file(dir.path / path, content);
    if (c.prepare) c.prepare(dir.path);

    std::optional<ReleaseInfo> installed;
    std::optional<ScanReport> report;
    if (c.installed) {
      installed.emplace().files = *c.installed;
      report.emplace();
      for (const std::string& path : c.verified)
        for (const FileEntry& file : *c.installed)
          if (file.path == path) report->verified.insert_or_assign(path, file.hash);
      report->extras = c.extras;
    }
    ReleaseInfo target;
    target.files = c.target;

    const UpdatePlan plan = plan_update(target, installed, report, dir.path);

    EXPECT_EQ(plan.salvaged.size(), c.salvaged.size());
    for (const Located& want : c.salvaged) {
      const auto found = plan.salvaged.find(sha256_of(want.bytes));
      ASSERT_NE(found, plan.salvaged.end()) << "not salvaged: " << want.bytes;
      EXPECT_EQ(found->second.file, dir.path / want.path) << want.bytes;
      EXPECT_EQ(found->second.offset, want.offset) << want.bytes;
    }
    EXPECT_THAT(plan.to_update, ElementsAreArray(c.to_update));
    std::vector<std::string> want_ids;
    for (const std::string& bytes : c.to_download) want_ids.push_back(sha256_of(bytes));
    EXPECT_THAT(plan.to_download, ElementsAreArray(want_ids));
    EXPECT_THAT(plan.to_remove, ElementsAreArray(c.to_remove));
  }
  ::alarm(0);
}

// A stray file whose name is not UTF-8, found by a real scan: the removal
// names the file itself, not the lossy text that the problem line prints.
TEST(Plan, StrayFileWithNameThatIsNotUtf8) {
  TempDir dir;
  ReleaseInfo installed;
  installed.files.push_back(entry("game.pak", {A}));
  write_file(dir.path / "game.pak", A);
  const std::string raw = "mods/bad\xFF.dll";
  write_file(dir.path / raw, "x");

  const ScanReport report = scan_install(dir.path, installed);
  ASSERT_THAT(report.problems, ElementsAreArray({"not part of the game: mods/bad\xEF\xBF\xBD.dll"}));
  const UpdatePlan plan = plan_update(installed, installed, report, dir.path);
  ASSERT_THAT(plan.to_remove, ElementsAreArray({raw}));
  EXPECT_TRUE(fs::exists(dir.path / plan.to_remove[0]));
  EXPECT_TRUE(plan.to_update.empty());
}

}  // namespace
