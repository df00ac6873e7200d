// reeftown-publish: makes a release of a folder of game files on a server
// tree. See usage() and publisher.hpp.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/console.hpp"
#include "tools/command_line.hpp"
#include "tools/publisher.hpp"

namespace {

constexpr std::string_view USAGE =
    "usage: reeftown-publish --game DIR --tree DIR --version V --released N --key PEM\n"
    "                        [--piece-size BYTES] [--launch NAME] [--eac-product-id ID]\n"
    "                        [--announce-older]\n";

int fail(std::string_view message) {
  print("reeftown-publish: " + std::string(message) + "\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  console_unbuffered();
  PublishRequest request;
  bool have_game = false, have_tree = false, have_version = false, have_released = false, have_key = false;
  const auto read = read_options(argc, argv, USAGE, {"--announce-older"},
                                 [&](std::string_view option, std::string_view value) -> std::optional<std::string> {
    // Moves every new user back to this release: only when asked for.
    if (option == "--announce-older") {
      request.announce_older = true;
    } else if (option == "--game") {
      request.game_dir = value;
      have_game = true;
    } else if (option == "--tree") {
      request.tree_dir = value;
      have_tree = true;
    } else if (option == "--version") {
      request.version = value;
      have_version = true;
    } else if (option == "--released") {
      const auto n = whole_number(value);
      if (!n) return "--released needs a whole number, not \"" + std::string(value) + "\"";
      request.released = *n;
      have_released = true;
    } else if (option == "--key") {
      request.key_pem = value;
      have_key = true;
    } else if (option == "--piece-size") {
      const auto n = whole_number(value);
      if (!n) return "--piece-size needs a whole number of bytes, not \"" + std::string(value) + "\"";
      request.piece_size = *n;
    } else if (option == "--launch") {
      request.launch = std::string(value);
    } else if (option == "--eac-product-id") {
      request.eac_product_id = std::string(value);
    } else {
      return unknown_option(option, USAGE);
    }
    return std::nullopt;
  });
  if (!read) return fail(read.error());
  if (*read == OptionsRead::help) return 0;
  if (!have_game || !have_tree || !have_version || !have_released || !have_key)
    return fail("--game, --tree, --version, --released and --key are required\n" + std::string(USAGE));

  const auto result = publish_release(request);
  if (!result) return fail(result.error());
  print("published version " + request.version + " of " + request.game_dir.string() + " to " +
        request.tree_dir.string() + ": " + std::to_string(result->file_count) + " files, " +
        std::to_string(result->pieces_written.size()) + " pieces written, " +
        std::to_string(result->pieces_skipped.size()) + " already there; latest.json names " + request.version +
        "\n");
  return 0;
}
