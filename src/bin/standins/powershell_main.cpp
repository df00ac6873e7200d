// Stand-in for "powershell.exe": carries out the script forms that the setup
// program sends, in the profile folder of standins.hpp.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/console.hpp"
#include "platform/process.hpp"
#include "powershell.hpp"
#include "standins.hpp"

namespace {

namespace fs = std::filesystem;

int fail(const std::string& message) {
  print(message + "\n");
  return 1;
}

int save_shortcuts(const fs::path& profile, const std::vector<ShortcutRequest>& shortcuts) {
  for (const ShortcutRequest& shortcut : shortcuts) {
    const fs::path folder = profile / shortcut.folder;
    std::error_code ec;
    fs::create_directories(folder, ec);
    std::ofstream out(folder / "Reef Town.lnk", std::ios::binary | std::ios::trunc);
    out << shortcut_file_text(shortcut);
    if (!out.flush())
      return fail("Exception calling \"Save\": cannot write " +
                  (folder / "Reef Town.lnk").string());
  }
  return 0;
}

int start_process(const StartProcessRequest& request) {
  struct stat info {};
  if (::stat(request.file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      ::access(request.file.c_str(), X_OK) != 0)
    return fail(
        "Start-Process : This command cannot be run due to the error: The system cannot "
        "find the file specified: " +
        request.file);
  // No elevation prompt here: the file runs as this user, and is waited for.
  (void)run_and_wait(request.file, request.args);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  console_unbuffered();
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() != 5 || args[0] != "-NoProfile" || args[1] != "-ExecutionPolicy" ||
      args[2] != "Bypass" || args[3] != "-Command")
    return fail(
        "powershell.exe (stand-in): expected -NoProfile -ExecutionPolicy Bypass -Command SCRIPT");
  const std::string& script = args[4];

  const std::optional<fs::path> profile = windows_profile_folder();
  if (!profile) return fail("powershell.exe (stand-in): no home folder for the profile");

  if (std::optional<std::vector<ShortcutRequest>> shortcuts = parse_shortcut_scripts(script))
    return save_shortcuts(*profile, *shortcuts);
  if (std::optional<StartProcessRequest> request = parse_start_process(script))
    return start_process(*request);
  if (is_remove_shortcuts_script(script)) {
    std::error_code ec;
    fs::remove(*profile / "Desktop" / "Reef Town.lnk", ec);
    fs::remove(*profile / "Programs" / "Reef Town.lnk", ec);
    return 0;
  }
  return fail("powershell.exe (stand-in): this script is not one the stand-in carries out: " +
              script);
}
