// The command line is the whole configuration: each lookup walks the raw
// argument list anew (the program's own name first), and two settings plus
// the mode are worked out from it once at the start of main.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

inline constexpr std::string_view DEFAULT_BASE_URL = "https://downloads.korvane.example/reef-town";

// The argument that follows the first argument equal to `name`; none when no
// argument equals it or the first that does is the last one.
std::optional<std::string> option_value(std::span<const std::string> args, std::string_view name);

bool has_flag(std::span<const std::string> args, std::string_view name);

// {local_app_data}/Programs/Reef Town; "." stands in for a variable that is
// unset or not valid UTF-8.
std::filesystem::path default_install_dir(const std::optional<std::string>& local_app_data);

// `text` without any '/' at its end, for the base URL (a path keeps a lone
// "/" through without_trailing_slashes).
std::string url_without_trailing_slashes(std::string text);

struct Settings {
  std::filesystem::path install_dir;
  std::string base_url;
  // False with "--no-launch": the normal run ends once the game is ready.
  bool launch = true;
};

// The value of LOCALAPPDATA in the process's environment.
std::optional<std::string> local_app_data_from_environment();

// `local_app_data` is asked only when "--dir" has no value.
Settings settings_from_args(
    std::span<const std::string> args,
    const std::function<std::optional<std::string>()>& local_app_data = local_app_data_from_environment);

// A relative `dir` joined onto `working_dir` without resolving links, so
// that every text that leaves the program (shortcuts, the uninstall entry,
// messages) names the folder wherever it is read: "." components and doubled
// '/' go, ".." stays (it may lead back through a link). An absolute path, and
// the empty path, which names no folder, stay as they are; so does every
// path when `working_dir` is empty (the working folder is unknown).
std::filesystem::path absolute_install_dir(const std::filesystem::path& dir,
                                           const std::filesystem::path& working_dir);

// The same against the process's working folder.
std::filesystem::path absolute_install_dir(const std::filesystem::path& dir);

enum class Mode { normal, check, uninstall };

// "--uninstall" wins over "--check".
Mode choose_mode(std::span<const std::string> args);
