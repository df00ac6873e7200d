// What the tests of the Windows steps and of the stand-ins both expect: the
// sample release that the steps run for, and the registry rows of its
// uninstall entry as calls of "reg".
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "install/windows_steps.hpp"
#include "release/release_info.hpp"

inline const std::string KEY(UNINSTALL_KEY);

inline ReleaseInfo sample_release() {
  ReleaseInfo release;
  release.version = "1.2.3";
  release.launch = "Bin/Other.exe";  // the steps name ReefTown.exe whatever the launch value
  release.eac_product_id = "reef'town";
  release.files = {{"EasyAntiCheat/EasyAntiCheat_EOS_Setup.exe", "", {}, 1000},
                   {"ReefTown.exe", "", {}, 2000},
                   {"Content/data.pak", "", {}, 1048576}};
  return release;  // 1,051,576 bytes: 1026 KiB
}

struct Call {
  std::string marker;  // which copy of the fake ran
  std::string program;
  std::vector<std::string> args;
  bool operator==(const Call&) const = default;
};

inline void PrintTo(const Call& call, std::ostream* out) {
  *out << call.marker << " " << call.program;
  for (const std::string& arg : call.args) *out << " [" << arg << "]";
}

inline std::vector<Call> registry_rows(const std::string& marker, const std::string& dir,
                                const std::string& version, const std::string& size_kib) {
  const auto add = [&](const char* name, const char* type, const std::string& data) {
    return Call{marker, "reg", {"add", KEY, "/v", name, "/t", type, "/d", data, "/f"}};
  };
  return {add("DisplayName", "REG_SZ", "Reef Town"),
          add("DisplayVersion", "REG_SZ", version),
          add("Publisher", "REG_SZ", "KORVANE"),
          add("InstallLocation", "REG_SZ", dir),
          add("DisplayIcon", "REG_SZ", dir + "/ReefTown.exe"),
          add("URLInfoAbout", "REG_SZ", "https://www.korvane.example/games/reef-town"),
          add("UninstallString", "REG_SZ", "\"" + dir + "/ReefTownSetup.exe\" --uninstall"),
          add("NoModify", "REG_DWORD", "1"),
          add("EstimatedSize", "REG_DWORD", size_kib)};
}
