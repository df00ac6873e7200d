#include "bin/setup/options.hpp"

#include <algorithm>
#include <string_view>
#include <system_error>

#include "lib/utf8.hpp"
#include "platform/environment.hpp"

namespace {

// One '/' between the parts, unless the left part is empty or already ends with one.
std::string join(std::string left, std::string_view right) {
  if (!left.empty() && left.back() != '/') left += '/';
  left += right;
  return left;
}

}  // namespace

std::optional<std::string> option_value(std::span<const std::string> args, std::string_view name) {
  const auto match = std::ranges::find(args, name);
  if (match == args.end() || match + 1 == args.end()) return std::nullopt;
  return *(match + 1);
}

bool has_flag(std::span<const std::string> args, std::string_view name) {
  return std::ranges::find(args, name) != args.end();
}

std::filesystem::path default_install_dir(const std::optional<std::string>& local_app_data) {
  std::string base = ".";
  if (local_app_data && is_valid_utf8(*local_app_data)) base = *local_app_data;
  return join(join(std::move(base), "Programs"), "Reef Town");
}

std::string url_without_trailing_slashes(std::string text) {
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

std::optional<std::string> local_app_data_from_environment() {
  return environment_variable("LOCALAPPDATA");
}

Settings settings_from_args(std::span<const std::string> args,
                            const std::function<std::optional<std::string>()>& local_app_data) {
  Settings settings;
  if (auto dir = option_value(args, "--dir")) {
    settings.install_dir = std::move(*dir);
  } else {
    settings.install_dir = default_install_dir(local_app_data());
  }
  settings.base_url = url_without_trailing_slashes(
      option_value(args, "--base").value_or(std::string(DEFAULT_BASE_URL)));
  settings.launch = !has_flag(args, "--no-launch");
  return settings;
}

std::filesystem::path absolute_install_dir(const std::filesystem::path& dir,
                                           const std::filesystem::path& working_dir) {
  const std::string& text = dir.native();
  if (text.empty() || text.front() == '/' || working_dir.empty()) return dir;
  std::string absolute = working_dir.native();
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t slash = text.find('/', at);
    if (slash == std::string::npos) slash = text.size();
    const std::string_view name = std::string_view(text).substr(at, slash - at);
    if (!name.empty() && name != ".") absolute = join(std::move(absolute), name);
    at = slash + 1;
  }
  return absolute;
}

std::filesystem::path absolute_install_dir(const std::filesystem::path& dir) {
  std::error_code error;
  const std::filesystem::path working_dir = std::filesystem::current_path(error);
  return absolute_install_dir(dir, error ? std::filesystem::path() : working_dir);
}

Mode choose_mode(std::span<const std::string> args) {
  if (has_flag(args, "--uninstall")) return Mode::uninstall;
  if (has_flag(args, "--check")) return Mode::check;
  return Mode::normal;
}
