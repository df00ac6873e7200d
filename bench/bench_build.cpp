// The build step of one 1 GiB file from 1024 cached pieces of 1 MiB beside
// `cat` of the same pieces into one file plus `sha256sum` of that file.
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <random>
#include <vector>

#include "bench.hpp"
#include "install/build_swap.hpp"
#include "lib/hexdigest.hpp"
#include "platform/fs_ops.hpp"

namespace {

constexpr std::size_t PIECE_SIZE = 1 << 20;
constexpr std::size_t PIECE_COUNT = 1024;
constexpr double FILE_BYTES = static_cast<double>(PIECE_SIZE) * PIECE_COUNT;

// The pieces in the cache and a release of one file made of them; the ids
// in file order go to `order_file` for `cat`. Pieces of an earlier run are
// used again.
bool make_inputs(const WorkFolders& folders, const std::filesystem::path& order_file, ReleaseInfo& release) {
  FileEntry file{"game.pak", "", {}, static_cast<std::uint64_t>(FILE_BYTES)};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> whole(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(whole.get(), EVP_sha256(), nullptr);
  std::filesystem::create_directories(folders.cache_dir);
  std::ofstream order(order_file, std::ios::trunc);
  std::mt19937_64 rng(7);
  std::vector<std::uint64_t> block(PIECE_SIZE / 8);
  for (std::size_t i = 0; i < PIECE_COUNT; ++i) {
    for (auto& v : block) v = rng();
    const std::string id = sha256_hex({reinterpret_cast<const std::uint8_t*>(block.data()), PIECE_SIZE});
    const auto path = folders.cache_dir / id;
    std::error_code ec;
    if (std::filesystem::file_size(path, ec) != PIECE_SIZE) {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(block.data()), PIECE_SIZE);
      if (!out) return false;
    }
    EVP_DigestUpdate(whole.get(), block.data(), PIECE_SIZE);
    file.pieces.push_back({id, PIECE_SIZE});
    order << id << '\n';
  }
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(whole.get(), digest.data(), &length);
  file.hash = digest_hex(digest);
  release.files.push_back(std::move(file));
  return static_cast<bool>(order.flush());
}

// build_files with its progress line kept out of the table.
bool build_quietly(const WorkFolders& folders, const ReleaseInfo& release) {
  std::fflush(stderr);
  const int saved = ::dup(2);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ::dup2(null, 2);
  const bool built = build_files(folders, release, {0}, {}).has_value();
  ::dup2(saved, 2);
  ::close(saved);
  ::close(null);
  return built;
}

}  // namespace

std::vector<BenchRow> bench_build(const BenchArgs& args) {
  const std::string name = "build 1 GiB from 1 MiB pieces (best of 3)";
  const auto root = args.work_dir / "build";
  const auto install_dir = root / "game";
  std::filesystem::create_directories(install_dir);
  const WorkFolders folders = work_folders(install_dir).value();
  const auto order_file = root / "order.txt";
  const auto cat_out = root / "cat-out.bin";
  ReleaseInfo release;
  if (!make_inputs(folders, order_file, release)) return {{name, "no inputs", "-", ">= cat+sha256sum", false}};

  const std::string baseline = "cd '" + folders.cache_dir.string() + "' && xargs -a '" + order_file.string() +
                               "' cat > '" + cat_out.string() + "' && sha256sum '" + cat_out.string() + "'";
  // Warm the page cache so both read the pieces from memory.
  (void)time_command(baseline);

  double ours = 1e9;
  double base = 1e9;
  for (int round = 0; round < 3; ++round) {
    (void)remove_tree(folders.stage_dir);
    ::sync();
    const auto start = std::chrono::steady_clock::now();
    if (!build_quietly(folders, release)) return {{name, "failed", "-", ">= cat+sha256sum", false}};
    ours = std::min(ours, seconds_since(start));

    std::filesystem::remove(cat_out);
    ::sync();
    const double t = time_command(baseline);
    if (t > 0) base = std::min(base, t);
  }
  (void)remove_tree(folders.stage_dir);
  std::filesystem::remove(cat_out);
  const double bytes = static_cast<double>(FILE_BYTES);
  return {{name, gb_per_second(bytes, ours), "cat+sha256sum " + gb_per_second(bytes, base),
           ">= cat+sha256sum", ours <= base * 1.05}};
}
