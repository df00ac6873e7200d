// What the stand-ins for the side programs of the game's home system do: a
// user profile folder, the PowerShell script forms that the setup program
// sends, a registry kept as text files, and the delayed folder removal of the
// command shell. Each stand-in is a small program of its own; they share
// this library.
#pragma once

#include <sys/stat.h>

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/error_text.hpp"

// $XDG_DATA_HOME/reeftown-windows, or ~/.local/share/reeftown-windows when
// XDG_DATA_HOME is unset or relative; none without a home folder.
std::optional<std::filesystem::path> windows_profile_folder();

// The home folder: $HOME when absolute, else the user database's entry.
std::optional<std::filesystem::path> home_folder();

// ---- powershell.exe

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

// ---- reg

struct RegistryValue {
  std::string name;
  std::string type;  // "REG_SZ" or "REG_DWORD"
  std::string data;  // a DWORD as decimal digits
};

// The folder that holds `key` (roots in short form, e.g. HKCU), or the error.
std::expected<std::filesystem::path, ErrorText> registry_key_folder(
    const std::filesystem::path& profile, std::string_view key);

// Adds or replaces one value; the key's other values stay.
std::expected<void, ErrorText> registry_add(const std::filesystem::path& profile,
                                            std::string_view key, RegistryValue value);

// Removes the key with its values and subkeys.
std::expected<void, ErrorText> registry_delete(const std::filesystem::path& profile,
                                               std::string_view key);

// The key's values in the order they were first added; empty when it has none.
std::vector<RegistryValue> registry_values(const std::filesystem::path& profile,
                                           std::string_view key);

// ---- cmd

struct DelayedRemoval {
  unsigned seconds = 0;
  std::string folder;
};

// "timeout /t N /nobreak >nul & rmdir /s /q \"DIR\"".
std::optional<DelayedRemoval> parse_delayed_removal(std::string_view command);

// Why `folder` must not be removed: it is no folder by lstat, or it is the
// root, one of `homes` or a folder above one (is_root_or_above_home). None
// when it may be removed.
std::optional<ErrorText> removal_refusal(const std::filesystem::path& folder,
                                         const std::vector<std::filesystem::path>& homes);

// Removes `folder` with everything in it, never following a link, after the
// checks of removal_refusal.
std::expected<void, ErrorText> remove_folder_tree(const std::filesystem::path& folder,
                                                  const std::vector<std::filesystem::path>& homes);
