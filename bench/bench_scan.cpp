// scan_install over a generated 2 GiB folder of 200 files beside find | xargs
// sha256sum over the same folder.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <vector>

#include "bench.hpp"
#include "install/scan.hpp"
#include "lib/hexdigest.hpp"

namespace {

constexpr int FILE_COUNT = 200;
constexpr std::uint64_t TOTAL_SIZE = 2ull << 30;
constexpr std::uint64_t SMALLEST = 64ull << 10;
constexpr std::uint64_t LARGEST = 64ull << 20;

// Sizes spread evenly on a log scale between SMALLEST and LARGEST, then
// scaled to sum to about TOTAL_SIZE, in a shuffled order so that the release
// order is not the hash order.
std::vector<std::uint64_t> file_sizes() {
  std::vector<double> raw;
  double sum = 0;
  for (int i = 0; i < FILE_COUNT; ++i) {
    raw.push_back(SMALLEST * std::pow(double(LARGEST) / SMALLEST, double(i) / (FILE_COUNT - 1)));
    sum += raw.back();
  }
  std::vector<std::uint64_t> sizes;
  for (double r : raw) sizes.push_back(static_cast<std::uint64_t>(r * (TOTAL_SIZE / sum)) / 4096 * 4096);
  std::shuffle(sizes.begin(), sizes.end(), std::mt19937_64(7));
  return sizes;
}

std::string relative_path(int i) {
  const char* folders[] = {"", "Data/", "Data/Maps/", "Binaries/", "Binaries/Win64/", "Content/Paks/"};
  return std::string(folders[i % 6]) + "file-" + std::to_string(i) + ".pak";
}

void write_random(const std::filesystem::path& path, std::uint64_t size, std::uint64_t seed) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::mt19937_64 rng(seed);
  std::vector<std::uint64_t> block(1 << 16);
  for (std::uint64_t done = 0; done < size;) {
    for (auto& v : block) v = rng();
    const std::uint64_t n = std::min<std::uint64_t>(size - done, block.size() * 8);
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    done += n;
  }
}

// The folder and its release, made once: the hashes are kept beside the
// folder so that later runs only check the sizes.
ReleaseInfo make_folder(const std::filesystem::path& root, const std::filesystem::path& game) {
  const auto sizes = file_sizes();
  const auto hashes_path = root / "hashes.txt";
  std::vector<std::string> hashes;
  {
    std::ifstream in(hashes_path);
    for (std::string line; std::getline(in, line);) hashes.push_back(line);
  }
  ReleaseInfo release;
  release.version = "bench";
  bool fresh = hashes.size() != sizes.size();
  for (int i = 0; i < FILE_COUNT && !fresh; ++i) {
    std::error_code ec;
    fresh = std::filesystem::file_size(game / relative_path(i), ec) != sizes[i] || ec;
  }
  if (fresh) {
    hashes.clear();
    for (int i = 0; i < FILE_COUNT; ++i) {
      const auto path = game / relative_path(i);
      write_random(path, sizes[i], static_cast<std::uint64_t>(i) + 1);
      hashes.push_back(sha256_file_hex(path).value_or(""));
    }
    std::ofstream out(hashes_path, std::ios::trunc);
    for (const auto& h : hashes) out << h << '\n';
  }
  for (int i = 0; i < FILE_COUNT; ++i)
    release.files.push_back({relative_path(i), hashes[i], {}, sizes[i]});
  return release;
}

std::string seconds_text(double seconds) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f s (%.2f GB/s)", seconds, TOTAL_SIZE / seconds / 1e9);
  return buf;
}

}  // namespace

std::vector<BenchRow> bench_scan(const BenchArgs& args) {
  const auto root = args.work_dir / "scan-2gib";
  const auto game = root / "game";
  const ReleaseInfo release = make_folder(root, game);
  const std::string workload = "scan_install 2 GiB, 200 files (best of 3)";

  // Warm the page cache; a clean result also shows the folder is whole.
  if (!scan_install(game, release).problems.empty())
    return {{workload, "not intact", "-", "<= baseline", false}};

  const std::string baseline =
      "find '" + game.string() + "' -type f -print0 | xargs -0 -P8 sha256sum";
  double ours = 1e9;
  double base = 1e9;
  for (int round = 0; round < 3; ++round) {
    const auto start = std::chrono::steady_clock::now();
    const ScanReport report = scan_install(game, release);
    const double t = seconds_since(start);
    if (!report.problems.empty()) return {{workload, "not intact", "-", "<= baseline", false}};
    ours = std::min(ours, t);
    const double b = time_command(baseline);
    if (b > 0) base = std::min(base, b);
  }
  char ratio[64];
  std::snprintf(ratio, sizeof ratio, ", %.2fx", ours / base);
  return {{workload, seconds_text(ours) + ratio, "find|xargs -P8 sha256sum " + seconds_text(base),
           "<= baseline", ours <= base}};
}
