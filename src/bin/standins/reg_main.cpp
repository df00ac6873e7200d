// Stand-in for "reg": "add KEY /v NAME /t TYPE /d DATA /f" and
// "delete KEY /f" on the registry of reg.hpp. Arguments are read by
// position, since DATA is often a path that begins with '/'.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/console.hpp"
#include "reg.hpp"
#include "standins.hpp"

namespace {

int finish(const std::expected<void, ErrorText>& outcome) {
  if (!outcome) {
    print(outcome.error() + "\n");
    return 1;
  }
  std::fputs("The operation completed successfully.\n", stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  console_unbuffered();
  const std::vector<std::string> args(argv + 1, argv + argc);
  const std::optional<std::filesystem::path> profile = windows_profile_folder();
  if (!profile) {
    print("ERROR: no home folder for the profile\n");
    return 1;
  }
  if (args.size() == 9 && args[0] == "add" && args[2] == "/v" && args[4] == "/t" &&
      args[6] == "/d" && args[8] == "/f")
    return finish(registry_add(*profile, args[1], {args[3], args[5], args[7]}));
  if (args.size() == 3 && args[0] == "delete" && args[2] == "/f")
    return finish(registry_delete(*profile, args[1]));
  print("ERROR: Invalid syntax.\nType \"REG ADD /?\" or \"REG DELETE /?\" for usage.\n");
  return 1;
}
