#include "install/windows_steps.hpp"

#include <cstdint>

#include "lib/utf8.hpp"
#include "platform/console.hpp"
#include "platform/process.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view ANTI_CHEAT_FOLDER = "EasyAntiCheat/";

void run_reg(const std::vector<std::string>& args) {
  (void)run_program("reg", args, ChildStdio::Null);
}

}  // namespace

std::string powershell_quoted(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\'') {
      quoted += "''";
      continue;
    }
    // U+2018 to U+201B: E2 80 98 to E2 80 9B.
    if (text.substr(i, 2) == "\xE2\x80" && i + 2 < text.size()) {
      const auto third = static_cast<unsigned char>(text[i + 2]);
      if (third >= 0x98 && third <= 0x9B) {
        const std::string_view quote = text.substr(i, 3);
        quoted.append(quote).append(quote);
        i += 2;
        continue;
      }
    }
    quoted += text[i];
  }
  return quoted;
}

fs::path anti_cheat_installer(const fs::path& install_dir) {
  return install_dir / "EasyAntiCheat" / "EasyAntiCheat_EOS_Setup.exe";
}

void run_powershell(const std::string& script) {
  (void)run_program("powershell.exe",
                    {"-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", script},
                    ChildStdio::Inherit);
}

std::string shortcut_script(std::string_view folder, const fs::path& target,
                            const fs::path& working_dir, const fs::path& icon) {
  return "$s=(New-Object -ComObject WScript.Shell).CreateShortcut([Environment]::GetFolderPath('" +
         powershell_quoted(folder) + "')+'\\Reef Town.lnk');$s.TargetPath='" +
         powershell_quoted(display(target)) + "';$s.WorkingDirectory='" +
         powershell_quoted(display(working_dir)) + "';$s.IconLocation='" +
         powershell_quoted(display(icon)) + ",0';$s.Save()";
}

std::string anti_cheat_script(const fs::path& install_dir, std::string_view eac_product_id,
                              std::string_view action) {
  return "Start-Process -FilePath '" +
         powershell_quoted(display(anti_cheat_installer(install_dir))) + "' -ArgumentList '" +
         powershell_quoted(action) + "','" + powershell_quoted(eac_product_id) +
         "' -Verb RunAs -Wait";
}

void install_anti_cheat_service(const fs::path& install_dir, const ReleaseInfo& target,
                                bool installed_loaded, const std::vector<std::size_t>& to_update) {
  bool needed = !installed_loaded;
  for (const std::size_t position : to_update) {
    if (position < target.files.size() &&
        target.files[position].path.starts_with(ANTI_CHEAT_FOLDER))
      needed = true;
  }
  if (!needed || target.eac_product_id.empty()) return;
  std::error_code ec;
  if (!fs::exists(fs::status(anti_cheat_installer(install_dir), ec))) return;

  print("Installing the Easy Anti-Cheat service (Windows will ask for permission)...\n");
  run_powershell(anti_cheat_script(install_dir, target.eac_product_id, "install"));
}

void create_shortcuts(const fs::path& install_dir) {
  const fs::path setup_exe = install_dir / "ReefTownSetup.exe";
  const fs::path game_exe = install_dir / "ReefTown.exe";
  run_powershell(shortcut_script("Desktop", setup_exe, install_dir, game_exe) + ";" +
                 shortcut_script("Programs", setup_exe, install_dir, game_exe));
}

void write_uninstall_entry(const fs::path& install_dir, const ReleaseInfo& target) {
  std::uint64_t total = 0;
  for (const FileEntry& file : target.files) total += file.size;

  const std::string key(UNINSTALL_KEY);
  const struct {
    const char* name;
    const char* type;
    std::string data;
  } rows[] = {
      {"DisplayName", "REG_SZ", "Reef Town"},
      {"DisplayVersion", "REG_SZ", target.version},
      {"Publisher", "REG_SZ", "KORVANE"},
      {"InstallLocation", "REG_SZ", display(install_dir)},
      {"DisplayIcon", "REG_SZ", display(install_dir / "ReefTown.exe")},
      {"URLInfoAbout", "REG_SZ", std::string(URL_INFO_ABOUT)},
      {"UninstallString", "REG_SZ",
       "\"" + display(install_dir / "ReefTownSetup.exe") + "\" --uninstall"},
      {"NoModify", "REG_DWORD", "1"},
      {"EstimatedSize", "REG_DWORD", std::to_string(total >> 10)},
  };
  for (const auto& row : rows)
    run_reg({"add", key, "/v", row.name, "/t", row.type, "/d", row.data, "/f"});
}

void delete_uninstall_entry() { run_reg({"delete", std::string(UNINSTALL_KEY), "/f"}); }
