// The steps that register an installed game with the system: the anti-cheat
// service, the two shortcuts and the uninstall entry. Each hands its work to
// a side program found by bare name and ignores the outcome. Main thread only.
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

// Runs "powershell.exe -NoProfile -ExecutionPolicy Bypass -Command {script}"
// and waits for it; every failure is ignored.
void run_powershell(const std::string& script);

std::string shortcut_script(std::string_view folder, const std::filesystem::path& target,
                            const std::filesystem::path& working_dir,
                            const std::filesystem::path& icon);

// The anti-cheat call in its PowerShell form; `action` is "install" or
// "uninstall".
std::string anti_cheat_script(const std::filesystem::path& install_dir,
                              std::string_view eac_product_id, std::string_view action);

void install_anti_cheat_service(const std::filesystem::path& install_dir,
                                const ReleaseInfo& target, bool installed_loaded,
                                const std::vector<std::size_t>& to_update);
void create_shortcuts(const std::filesystem::path& install_dir);
void write_uninstall_entry(const std::filesystem::path& install_dir, const ReleaseInfo& target);
