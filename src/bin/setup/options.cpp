#include "bin/setup/options.hpp"

#include <algorithm>

#include "lib/utf8.hpp"
#include "platform/system.hpp"

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

std::string without_trailing_slashes(std::string text) {
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
  settings.base_url =
      without_trailing_slashes(option_value(args, "--base").value_or(std::string(DEFAULT_BASE_URL)));
  return settings;
}

Mode choose_mode(std::span<const std::string> args) {
  if (has_flag(args, "--uninstall")) return Mode::uninstall;
  if (has_flag(args, "--check")) return Mode::check;
  return Mode::normal;
}
