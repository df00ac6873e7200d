// The steps that register an installed game with the system: the anti-cheat
// service, the two shortcuts and the uninstall entry, and the pieces the
// uninstall uses to take them away again. Each hands its work to a side
// program found by bare name (platform/process.hpp) and ignores the outcome.
// Main thread only.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "release/release_info.hpp"

inline constexpr std::string_view UNINSTALL_KEY =
    "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ReefTown";
inline constexpr std::string_view SHORTCUT_FILE = "Reef Town.lnk";
inline constexpr std::string_view URL_INFO_ABOUT = "https://www.korvane.example/games/reef-town";

// Removes both shortcuts; a missing one is no error.
inline constexpr std::string_view REMOVE_SHORTCUTS_SCRIPT =
    "Remove-Item -ErrorAction SilentlyContinue "
    "([Environment]::GetFolderPath('Desktop')+'\\Reef Town.lnk'),"
    "([Environment]::GetFolderPath('Programs')+'\\Reef Town.lnk')";

// `text` made safe between PowerShell's single quotes: every character that
// PowerShell reads as a single quote (U+0027 and U+2018 to U+201B) is
// doubled, which PowerShell reads back as one.
std::string powershell_quoted(std::string_view text);

// install_dir/EasyAntiCheat/EasyAntiCheat_EOS_Setup.exe
std::filesystem::path anti_cheat_installer(const std::filesystem::path& install_dir);

// Runs "powershell.exe -NoProfile -ExecutionPolicy Bypass -Command {script}"
// with the shared console and waits for it; every failure is ignored.
void run_powershell(const std::string& script);

std::string shortcut_script(std::string_view folder, const std::filesystem::path& target,
                            const std::filesystem::path& working_dir,
                            const std::filesystem::path& icon);

// The anti-cheat call in its PowerShell form; `action` is "install" or
// "uninstall".
std::string anti_cheat_script(const std::filesystem::path& install_dir,
                              std::string_view eac_product_id, std::string_view action);

void install_anti_cheat_service(const std::filesystem::path& install_dir, const ReleaseInfo& target,
                                bool installed_loaded, const std::vector<std::size_t>& to_update);
void create_shortcuts(const std::filesystem::path& install_dir);
void write_uninstall_entry(const std::filesystem::path& install_dir, const ReleaseInfo& target);

// "reg delete {UNINSTALL_KEY} /f", waited for, with its standard streams on
// /dev/null; every failure is ignored.
void delete_uninstall_entry();
