#include "powershell.hpp"

#include <utility>

#include "script_cursor.hpp"

namespace {

std::optional<ShortcutRequest> parse_one_shortcut(Cursor& in) {
  ShortcutRequest shortcut;
  if (!in.literal("$s=(New-Object -ComObject WScript.Shell).CreateShortcut("
                  "[Environment]::GetFolderPath('"))
    return std::nullopt;
  std::optional<std::string> folder = in.quoted();
  if (!folder || !in.literal(")+'\\Reef Town.lnk');$s.TargetPath='")) return std::nullopt;
  std::optional<std::string> target = in.quoted();
  if (!target || !in.literal(";$s.WorkingDirectory='")) return std::nullopt;
  std::optional<std::string> working_dir = in.quoted();
  if (!working_dir || !in.literal(";$s.IconLocation='")) return std::nullopt;
  std::optional<std::string> icon = in.quoted();
  if (!icon || !icon->ends_with(",0") || !in.literal(";$s.Save()")) return std::nullopt;
  if (*folder != "Desktop" && *folder != "Programs") return std::nullopt;
  icon->resize(icon->size() - 2);
  return ShortcutRequest{std::move(*folder), std::move(*target), std::move(*working_dir),
                         std::move(*icon)};
}

}  // namespace

std::optional<std::vector<ShortcutRequest>> parse_shortcut_scripts(std::string_view script) {
  Cursor in{script};
  std::vector<ShortcutRequest> shortcuts;
  do {
    std::optional<ShortcutRequest> shortcut = parse_one_shortcut(in);
    if (!shortcut) return std::nullopt;
    shortcuts.push_back(std::move(*shortcut));
  } while (in.literal(";"));
  if (!in.rest.empty()) return std::nullopt;
  return shortcuts;
}

std::optional<StartProcessRequest> parse_start_process(std::string_view script) {
  Cursor in{script};
  StartProcessRequest request;
  if (!in.literal("Start-Process -FilePath '")) return std::nullopt;
  std::optional<std::string> file = in.quoted();
  if (!file || !in.literal(" -ArgumentList '")) return std::nullopt;
  do {
    std::optional<std::string> arg = in.quoted();
    if (!arg) return std::nullopt;
    request.args.push_back(std::move(*arg));
  } while (in.literal(",'"));
  if (!in.literal(" -Verb RunAs -Wait") || !in.rest.empty()) return std::nullopt;
  request.file = std::move(*file);
  return request;
}

bool is_remove_shortcuts_script(std::string_view script) {
  return script ==
         "Remove-Item -ErrorAction SilentlyContinue "
         "([Environment]::GetFolderPath('Desktop')+'\\Reef Town.lnk'),"
         "([Environment]::GetFolderPath('Programs')+'\\Reef Town.lnk')";
}

std::string shortcut_file_text(const ShortcutRequest& shortcut) {
  return "TargetPath=" + shortcut.target + "\nWorkingDirectory=" + shortcut.working_dir +
         "\nIconLocation=" + shortcut.icon + ",0\n";
}
