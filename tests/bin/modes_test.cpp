// How a run ends: the final error line and the closing prompt, on the built
// program so that standard input is the real one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "bin/run_setup.hpp"
#include "support/temp_dir.hpp"

namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;

// A server that cannot be reached and nothing installed: the run fails.
SetupRun failing_run(const std::optional<std::string>& input) {
  TempDir dir;
  return run_setup({"--dir", (dir.path / "game").string(), "--base", "http://127.0.0.1:9"}, input);
}

TEST(FinalError, PromptReadsOneLineOnly) {
  struct Case {
    const char* name;
    std::optional<std::string> input;  // none: standard input closed
    off_t want_consumed;
  };
  const std::vector<Case> cases = {
      {"end of input at once", "", 0},
      {"standard input closed", std::nullopt, -1},
      {"two lines waiting", "first\nsecond\n", 6},
      {"no line feed", "typed", 5},
      {"empty line first", "\nsecond\n", 1},
  };
  for (const Case& c : cases) {
    const SetupRun run = failing_run(c.input);
    EXPECT_EQ(run.exit_code, 1) << c.name;
    EXPECT_THAT(run.err, HasSubstr("\nReef Town could not start: ")) << c.name;
    EXPECT_THAT(run.err, EndsWith("\n\nPress Enter to close.")) << c.name;
    EXPECT_EQ(run.input_consumed, c.want_consumed) << c.name;
    EXPECT_EQ(run.out, "") << c.name;
  }
}

}  // namespace
