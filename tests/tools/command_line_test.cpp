#include "tools/command_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(CommandLineTest, ReadOptionsTakesValuesAndFlagsAndStopsAtTheFirstError) {
  constexpr std::string_view usage = "usage: tool --name N [--quiet]\n";
  struct Case {
    std::vector<std::string> args;
    std::string taken;  // "option=value;" for each option taken, in order
    std::string outcome;  // "taken", "help" or the error
  };
  const std::vector<Case> cases = {
      {{}, "", "taken"},
      {{"--name", "a", "--quiet", "--name", "--quiet"}, "--name=a;--quiet=;--name=--quiet;", "taken"},
      {{"--quiet", "--name", "b"}, "--quiet=;--name=b;", "taken"},
      // Help ends the reading before anything after it is looked at.
      {{"--name", "a", "-h", "--bogus"}, "--name=a;", "help"},
      {{"--help"}, "", "help"},
      {{"--name"}, "", "unknown option or missing value: --name\n" + std::string(usage)},
      {{"--bogus", "1", "--name", "a"}, "--bogus=1;", "unknown option --bogus\n" + std::string(usage)},
      {{"--name", "bad", "--name", "a"}, "--name=bad;", "bad name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::vector<char*> argv = {const_cast<char*>("tool")};
    for (const std::string& arg : c.args) argv.push_back(const_cast<char*>(arg.c_str()));
    std::string taken;
    const auto read = read_options(static_cast<int>(argv.size()), argv.data(), usage, {"--quiet"},
                                   [&](std::string_view option, std::string_view value) -> std::optional<ErrorText> {
                                     taken += std::string(option) + "=" + std::string(value) + ";";
                                     if (option != "--name" && option != "--quiet") return unknown_option(option, usage);
                                     if (value == "bad") return "bad name";
                                     return std::nullopt;
                                   });
    EXPECT_EQ(taken, c.taken);
    EXPECT_EQ(read ? (*read == OptionsRead::help ? "help" : "taken") : read.error(), c.outcome);
  }
}

}  // namespace
