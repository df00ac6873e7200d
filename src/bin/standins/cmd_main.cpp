// Stand-in for "cmd": "/C" with the command text that removes the install
// folder after a wait, "timeout /t N /nobreak >nul & rmdir /s /q \"DIR\"".
#include <string>
#include <vector>

#include "platform/console.hpp"
#include "platform/protected_folders.hpp"
#include "platform/sleep.hpp"
#include "cmd.hpp"

int main(int argc, char** argv) {
  console_unbuffered();
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::optional<DelayedRemoval> removal;
  if (args.size() == 2 && (args[0] == "/C" || args[0] == "/c"))
    removal = parse_delayed_removal(args[1]);
  if (!removal) {
    print(
        "cmd (stand-in): only \"/C\" with \"timeout /t N /nobreak >nul & rmdir /s /q \\\"DIR\\\"\" "
        "is carried out\n");
    return 1;
  }
  sleep_seconds(removal->seconds);
  if (const std::expected<void, ErrorText> removed =
          remove_folder_tree(removal->folder, home_folders());
      !removed) {
    print(removed.error() + "\n");
    return 1;
  }
  return 0;
}
