// reeftown-make-game: makes the game folder of the install benchmark
// (bench/install-bench), and changes a share of its pieces for the update.
//
//   reeftown-make-game --dir DIR [--bytes N] [--files N] [--seed N]
//   reeftown-make-game --change DIR --fraction F [--piece-size BYTES] [--seed N]
//
// The folder: a few large files holding 60% of the bytes and many small to
// middling ones (log-uniform sizes) holding the rest; every 64 KiB block is
// either random bytes or text made of a small word list, half and half, so
// that the whole compresses only partly. Everything follows from the seed, and
// no two blocks are alike, so no piece is shared.
//
// --change cuts every file into pieces of BYTES as the publisher does, picks
// round(F * all pieces) of them and flips a few bytes in each, so exactly
// that many pieces are new in the next release. The count goes to stderr.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/console.hpp"
#include "tools/command_line.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view USAGE =
    "usage: reeftown-make-game --dir DIR [--bytes N] [--files N] [--seed N]\n"
    "       reeftown-make-game --change DIR --fraction F [--piece-size BYTES] [--seed N]\n";

constexpr std::uint64_t DEFAULT_BYTES = 2147483648;
constexpr std::uint64_t DEFAULT_FILES = 300;
constexpr std::uint64_t DEFAULT_PIECE = 1048576;
constexpr std::size_t BLOCK = 65536;

// xoshiro256**: fast, and the same stream on every machine for one seed.
struct Rng {
  std::array<std::uint64_t, 4> s{};
};

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

Rng seeded(std::uint64_t seed) {
  Rng rng;
  for (std::uint64_t& word : rng.s) {  // splitmix64 spreads the seed
    seed += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = seed;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    word = z ^ (z >> 31);
  }
  return rng;
}

std::uint64_t next(Rng& rng) {
  auto& s = rng.s;
  const std::uint64_t result = rotl(s[1] * 5, 7) * 9;
  const std::uint64_t t = s[1] << 17;
  s[2] ^= s[0];
  s[3] ^= s[1];
  s[1] ^= s[2];
  s[0] ^= s[3];
  s[2] ^= t;
  s[3] = rotl(s[3], 45);
  return result;
}

double unit(Rng& rng) { return static_cast<double>(next(rng) >> 11) * 0x1.0p-53; }

constexpr std::array<std::string_view, 32> WORDS = {
    "reef",  "coral",  "tide",   "harbour", "lantern", "shell",  "anchor", "kelp",
    "gull",  "pier",   "market", "sail",    "drift",   "current", "lagoon", "crab",
    "mesh",  "vertex", "shader", "texture", "sound",   "quest",  "villager", "island",
    "night", "storm",  "boat",   "net",     "fish",    "pearl",  "dock",   "wave"};

void fill_block(Rng& rng, char* out, std::size_t size) {
  if (next(rng) & 1) {
    for (std::size_t i = 0; i < size; i += 8) {
      const std::uint64_t word = next(rng);
      std::memcpy(out + i, &word, std::min<std::size_t>(8, size - i));
    }
    return;
  }
  std::size_t at = 0;
  while (at < size) {
    const std::uint64_t pick = next(rng);
    const std::string_view word = WORDS[pick % WORDS.size()];
    const char gap = (pick >> 8) % 12 == 0 ? '\n' : ' ';
    for (char c : word) {
      if (at == size) break;
      out[at++] = c;
    }
    if (at < size) out[at++] = gap;
  }
}

struct Planned {
  std::string path;
  std::uint64_t size = 0;
};

std::vector<Planned> plan_files(Rng& rng, std::uint64_t bytes, std::uint64_t count) {
  // The large ones: 60% of the bytes in four files.
  const std::array<std::pair<std::string_view, double>, 4> large = {
      {{"data/world.pak", 0.24}, {"data/textures.pak", 0.16}, {"data/audio.pak", 0.12}, {"ReefTown.exe", 0.08}}};
  constexpr std::array<std::string_view, 8> folders = {"data/maps",  "data/sounds", "data/models", "data/scripts",
                                                       "data/fonts", "data/locale", "bin",         "config"};
  constexpr std::array<std::string_view, 8> kinds = {"map", "ogg", "mdl", "lua", "ttf", "txt", "dll", "ini"};
  std::vector<Planned> files;
  std::uint64_t used = 0;
  for (std::size_t i = 0; i < large.size() && i < count; ++i) {
    const auto size = static_cast<std::uint64_t>(static_cast<double>(bytes) * large[i].second);
    files.push_back({std::string(large[i].first), size});
    used += size;
  }
  if (count <= files.size()) return files;
  // The rest: sizes from 1 KiB to 16 MiB, log-uniform, scaled to fill up.
  const std::size_t rest = count - files.size();
  std::vector<double> raw(rest);
  double sum = 0;
  for (double& r : raw) {
    r = std::exp(std::log(1024.0) + unit(rng) * (std::log(16777216.0) - std::log(1024.0)));
    sum += r;
  }
  const double left = static_cast<double>(bytes > used ? bytes - used : 0);
  for (std::size_t i = 0; i < rest; ++i) {
    const std::size_t kind = next(rng) % folders.size();
    const auto size = static_cast<std::uint64_t>(raw[i] * left / sum);
    files.push_back({std::string(folders[kind]) + "/" + std::string(kinds[kind]) + "_" + std::to_string(i) + "." +
                         std::string(kinds[kind]),
                     size});
  }
  return files;
}

int fail(const std::string& message) {
  print("reeftown-make-game: " + message + "\n");
  return 1;
}

int make_game(const fs::path& dir, std::uint64_t bytes, std::uint64_t count, std::uint64_t seed) {
  Rng rng = seeded(seed);
  const std::vector<Planned> files = plan_files(rng, bytes, count);
  std::vector<char> block(BLOCK);
  std::uint64_t total = 0;
  for (const Planned& file : files) {
    const fs::path path = dir / file.path;
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    if (ec) return fail("cannot create " + path.parent_path().string() + ": " + ec.message());
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return fail("cannot create " + path.string());
    for (std::uint64_t at = 0; at < file.size; at += BLOCK) {
      const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(BLOCK, file.size - at));
      fill_block(rng, block.data(), size);
      if (std::fwrite(block.data(), 1, size, out) != size) {
        std::fclose(out);
        return fail("cannot write " + path.string());
      }
    }
    if (std::fclose(out) != 0) return fail("cannot write " + path.string());
    total += file.size;
  }
  print("made " + std::to_string(files.size()) + " files, " + std::to_string(total) + " bytes in " + dir.string() +
        "\n");
  return 0;
}

struct PieceAt {
  std::size_t file = 0;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

int change_pieces(const fs::path& dir, double fraction, std::uint64_t piece_size, std::uint64_t seed) {
  std::vector<std::pair<fs::path, std::uint64_t>> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_regular_file()) files.emplace_back(it->path(), it->file_size());
  }
  if (ec) return fail("cannot walk " + dir.string() + ": " + ec.message());
  std::sort(files.begin(), files.end());
  std::vector<PieceAt> pieces;
  for (std::size_t f = 0; f < files.size(); ++f) {
    for (std::uint64_t at = 0; at < files[f].second; at += piece_size)
      pieces.push_back({f, at, std::min(piece_size, files[f].second - at)});
  }
  const auto chosen = static_cast<std::size_t>(std::llround(fraction * static_cast<double>(pieces.size())));
  // Seeded differently from the folder's own stream, so the change is not a
  // replay of the content.
  Rng rng = seeded(seed ^ 0x5eed5eed5eed5eedULL);
  for (std::size_t i = 0; i < chosen; ++i)
    std::swap(pieces[i], pieces[i + next(rng) % (pieces.size() - i)]);
  for (std::size_t i = 0; i < chosen; ++i) {
    const PieceAt& piece = pieces[i];
    std::fstream file(files[piece.file].first, std::ios::in | std::ios::out | std::ios::binary);
    const std::uint64_t span = std::min<std::uint64_t>(16, piece.length);
    const std::uint64_t at = piece.offset + next(rng) % (piece.length - span + 1);
    std::array<char, 16> bytes{};
    file.seekg(static_cast<std::streamoff>(at));
    file.read(bytes.data(), static_cast<std::streamsize>(span));
    // XOR with an odd value changes every byte, so the piece is surely new.
    for (std::uint64_t b = 0; b < span; ++b) bytes[b] = static_cast<char>(bytes[b] ^ ((next(rng) & 0xfe) | 1));
    file.seekp(static_cast<std::streamoff>(at));
    file.write(bytes.data(), static_cast<std::streamsize>(span));
    file.close();
    if (!file) return fail("cannot change " + files[piece.file].first.string());
  }
  print("changed " + std::to_string(chosen) + " of " + std::to_string(pieces.size()) + " pieces in " +
        dir.string() + "\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  console_unbuffered();
  std::optional<fs::path> dir, change;
  std::uint64_t bytes = DEFAULT_BYTES, count = DEFAULT_FILES, piece_size = DEFAULT_PIECE, seed = 1;
  std::optional<double> fraction;
  const auto read = read_options(argc, argv, USAGE, {},
                                 [&](std::string_view option, std::string_view text) -> std::optional<std::string> {
    const std::string value(text);
    if (option == "--dir") {
      dir = value;
      return std::nullopt;
    }
    if (option == "--change") {
      change = value;
      return std::nullopt;
    }
    if (option == "--fraction") {
      char* end = nullptr;
      const double f = std::strtod(value.c_str(), &end);
      if (end == value.c_str() || *end != '\0' || !(f >= 0 && f <= 1))
        return "--fraction needs a number from 0 to 1, not \"" + value + "\"";
      fraction = f;
      return std::nullopt;
    }
    const std::optional<std::uint64_t> n = whole_number(value);
    if (!n) return std::string(option) + " needs a whole number, not \"" + value + "\"";
    if (option == "--bytes") bytes = *n;
    else if (option == "--files") count = *n;
    else if (option == "--piece-size") piece_size = *n;
    else if (option == "--seed") seed = *n;
    else return unknown_option(option, USAGE);
    return std::nullopt;
  });
  if (!read) return fail(read.error());
  if (*read == OptionsRead::help) return 0;
  if (dir && !change) return make_game(*dir, bytes, count, seed);
  if (change && !dir && fraction && piece_size > 0) return change_pieces(*change, *fraction, piece_size, seed);
  return fail(std::string(USAGE));
}
