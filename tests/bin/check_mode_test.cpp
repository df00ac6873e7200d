// "--check" run end to end on the built program, against folders signed with
// the test key that the test build trusts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "bin/run_setup.hpp"
#include "bin/setup/check_mode.hpp"
#include "lib/hexdigest.hpp"
#include "release/install_layout.hpp"
#include "support/temp_dir.hpp"
#include "support/test_key.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

struct GameFile {
  std::string path;
  std::string content;
};

// Writes the game files and signed release information for them, as an
// installation leaves them.
void install_signed(const fs::path& dir, const std::vector<GameFile>& files) {
  std::string json = R"({"version":"1.4.2","released":7,"files":[)";
  for (std::size_t i = 0; i < files.size(); ++i) {
    write_file(dir / files[i].path, files[i].content);
    json += (i ? "," : "") + std::string(R"({"p":")") + files[i].path + R"(","n":)" +
            std::to_string(files[i].content.size()) + R"(,"h":")" +
            sha256_file_hex(dir / files[i].path).value() + R"(","c":[]})";
  }
  json += R"(],"chunks":{}})";
  write_file(dir / MANIFEST_FILE, json);
  write_file(dir / SIGNATURE_FILE, test_sign_hex(json) + "\n");
  write_file(dir / VERSION_FILE, "1.4.2");
}

const std::vector<GameFile> GAME = {
    {"ReefTown.exe", "game"}, {"Data/maps.pak", "maps"}, {"Data/sound.pak", "sound"}};

// Every kind of problem counts, a foreign file alone included; the check
// changes nothing on disk.
TEST(CheckMode, ProblemsInReportOrderThenSummary) {
  struct Case {
    const char* name;
    void (*damage)(const fs::path&);
    std::string want_lines;  // before the summary
    int want_exit;
    // "--dir" with the empty text, run in the install folder: the release
    // information and every file are looked for in the working folder.
    bool empty_dir_in_working_folder = false;
  };
  const std::vector<Case> cases = {
      {"intact", [](const fs::path&) {}, "", 0},
      {"three problems",
       [](const fs::path& dir) {
         fs::remove(dir / "Data/maps.pak");
         write_file(dir / "Data/sound.pak", "SOUND");  // same size, other content
         write_file(dir / "mods/cheat.dll", "x");
       },
       "not part of the game: mods/cheat.dll\n"
       "missing: Data/maps.pak\n"
       "modified: Data/sound.pak\n",
       1},
      {"a foreign file alone", [](const fs::path& dir) { write_file(dir / "cheat.dll", "x"); },
       "not part of the game: cheat.dll\n", 1},
      {"empty --dir: the working folder, intact", [](const fs::path&) {}, "", 0, true},
      {"empty --dir: the working folder, a foreign file",
       [](const fs::path& dir) { write_file(dir / "cheat.dll", "x"); },
       "not part of the game: cheat.dll\n", 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    install_signed(dir.path, GAME);
    c.damage(dir.path);
    const auto before = tree_listing(dir.path);

    const std::string dir_arg = c.empty_dir_in_working_folder ? "" : dir.path.string();
    const SetupRun run = run_setup({"--dir", dir_arg, "--check"}, "",
                                   c.empty_dir_in_working_folder ? dir.path : fs::path());
    EXPECT_EQ(run.exit_code, c.want_exit);
    EXPECT_EQ(run.err, c.want_lines + "1.4.2 " + (c.want_exit == 0 ? "intact" : "MODIFIED") + ": " +
                           dir_arg + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(tree_listing(dir.path), before);
  }
}

TEST(CheckMode, NothingInstalledThatVerifies) {
  struct Case {
    const char* name;
    void (*damage)(const fs::path&);
  };
  const std::vector<Case> cases = {
      {"signature altered",
       [](const fs::path& dir) {
         std::string sig = read_file(dir / SIGNATURE_FILE);
         sig[10] = sig[10] == '0' ? '1' : '0';
         write_file(dir / SIGNATURE_FILE, sig);
       }},
      {"release information altered",
       [](const fs::path& dir) {
         write_file(dir / MANIFEST_FILE, read_file(dir / MANIFEST_FILE) + " ");
       }},
      {"signature gone", [](const fs::path& dir) { fs::remove(dir / SIGNATURE_FILE); }},
      {"empty folder", [](const fs::path& dir) { fs::remove_all(dir); fs::create_directory(dir); }},
  };
  for (const Case& c : cases) {
    TempDir dir;
    install_signed(dir.path, GAME);
    c.damage(dir.path);

    const SetupRun run = run_setup({"--check", "--dir", dir.path.string()});
    EXPECT_EQ(run.exit_code, 2) << c.name;
    EXPECT_EQ(run.err, NOT_INSTALLED_TEXT) << c.name;
    EXPECT_EQ(run.out, "") << c.name;
  }
}

TEST(CheckMode, UninstallWinsOverCheck) {
  for (const std::vector<std::string>& flags :
       {std::vector<std::string>{"--uninstall", "--check"}, {"--check", "--uninstall"}}) {
    TempDir dir;
    install_signed(dir.path, GAME);
    std::vector<std::string> args = flags;
    args.insert(args.end(), {"--dir", dir.path.string()});

    const SetupRun run = run_setup(args);
    EXPECT_NE(run.exit_code, 2);
    EXPECT_THAT(run.err, Not(HasSubstr("intact: ")));
    EXPECT_THAT(run.err, HasSubstr("\nPress Enter to close."));
    EXPECT_EQ(run.out, "");
  }
}

}  // namespace
