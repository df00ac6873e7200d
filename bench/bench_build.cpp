// The build step of 1 GiB from 1024 cached pieces of 1 MiB, as one file and
// as 16 files of 64 MiB, beside `cat` of the same pieces into one file plus
// `sha256sum` of that file.
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
constexpr std::size_t SPLIT_FILES = 16;
constexpr double FILE_BYTES = static_cast<double>(PIECE_SIZE) * PIECE_COUNT;

using Digest = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

Digest new_digest() {
  Digest d(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(d.get(), EVP_sha256(), nullptr);
  return d;
}

std::string finish_digest(const Digest& d) {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(d.get(), digest.data(), &length);
  return digest_hex(digest);
}

// The pieces in the cache, a release of one file made of them and one of
// SPLIT_FILES files made of them in turn; the ids in file order go to
// `order_file` for `cat`. Pieces of an earlier run are used again.
bool make_inputs(const WorkFolders& folders, const std::filesystem::path& order_file, ReleaseInfo& release,
                 ReleaseInfo& split) {
  constexpr std::size_t per_split = PIECE_COUNT / SPLIT_FILES;
  FileEntry file{"game.pak", "", {}, static_cast<std::uint64_t>(FILE_BYTES)};
  Digest whole = new_digest();
  Digest part = new_digest();
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
    EVP_DigestUpdate(part.get(), block.data(), PIECE_SIZE);
    file.pieces.push_back({id, PIECE_SIZE});
    order << id << '\n';
    if (i % per_split == 0)
      split.files.push_back({"part" + std::to_string(i / per_split) + ".pak", "", {}, per_split * PIECE_SIZE});
    split.files.back().pieces.push_back({id, PIECE_SIZE});
    if (i % per_split == per_split - 1) {
      split.files.back().hash = finish_digest(part);
      part = new_digest();
    }
  }
  file.hash = finish_digest(whole);
  release.files.push_back(std::move(file));
  return static_cast<bool>(order.flush());
}

// build_files with its progress line kept out of the table.
bool build_quietly(const WorkFolders& folders, const ReleaseInfo& release) {
  std::vector<std::size_t> all(release.files.size());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  std::fflush(stderr);
  const int saved = ::dup(2);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ::dup2(null, 2);
  const bool built = build_files(folders, release, all, {}).has_value();
  ::dup2(saved, 2);
  ::close(saved);
  ::close(null);
  return built;
}

}  // namespace

std::vector<BenchRow> bench_build(const BenchArgs& args) {
  const std::string names[2] = {"build 1 GiB from 1 MiB pieces (best of 3)",
                                "build 1 GiB as 16 files of 64 MiB (best of 3)"};
  const auto root = args.work_dir / "build";
  const auto install_dir = root / "game";
  std::filesystem::create_directories(install_dir);
  const WorkFolders folders = work_folders(install_dir).value();
  const auto order_file = root / "order.txt";
  const auto cat_out = root / "cat-out.bin";
  ReleaseInfo releases[2];
  if (!make_inputs(folders, order_file, releases[0], releases[1]))
    return {{names[0], "no inputs", "-", ">= cat+sha256sum", false}};

  const std::string baseline = "cd '" + folders.cache_dir.string() + "' && xargs -a '" + order_file.string() +
                               "' cat > '" + cat_out.string() + "' && sha256sum '" + cat_out.string() + "'";
  // Warm the page cache so both read the pieces from memory.
  (void)time_command(baseline);

  double ours[2] = {1e9, 1e9};
  double base = 1e9;
  for (int round = 0; round < 3; ++round) {
    for (int kind = 0; kind < 2; ++kind) {
      (void)remove_tree(folders.stage_dir);
      ::sync();
      const auto start = std::chrono::steady_clock::now();
      if (!build_quietly(folders, releases[kind])) return {{names[kind], "failed", "-", ">= cat+sha256sum", false}};
      ours[kind] = std::min(ours[kind], seconds_since(start));
    }
    std::filesystem::remove(cat_out);
    ::sync();
    const double t = time_command(baseline);
    if (t > 0) base = std::min(base, t);
  }
  (void)remove_tree(folders.stage_dir);
  std::filesystem::remove(cat_out);
  const double bytes = static_cast<double>(FILE_BYTES);
  std::vector<BenchRow> rows;
  for (int kind = 0; kind < 2; ++kind)
    rows.push_back({names[kind], gb_per_second(bytes, ours[kind]), "cat+sha256sum " + gb_per_second(bytes, base),
                    ">= cat+sha256sum", ours[kind] <= base * 1.05});
  return rows;
}
