// The "powershell.exe" stand-in: the PowerShell script forms that the setup
// program sends, read back into requests. No state.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ShortcutRequest {
  std::string folder;  // "Desktop" or "Programs"
  std::string target;
  std::string working_dir;
  std::string icon;  // without the ",0" icon index
};

// One or more shortcut scripts joined by ';', quotes read back; none for any
// other text.
std::optional<std::vector<ShortcutRequest>> parse_shortcut_scripts(std::string_view script);

struct StartProcessRequest {
  std::string file;
  std::vector<std::string> args;
};

// "Start-Process -FilePath '…' -ArgumentList '…','…' -Verb RunAs -Wait".
std::optional<StartProcessRequest> parse_start_process(std::string_view script);

// True for the script that removes both shortcuts.
bool is_remove_shortcuts_script(std::string_view script);

// The text of a shortcut file.
std::string shortcut_file_text(const ShortcutRequest& shortcut);
