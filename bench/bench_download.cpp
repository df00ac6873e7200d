// download_pieces of 1 GiB in 1 MiB pieces (text-like data, zstd level 3)
// from reeftown-serve on loopback into an empty cache folder; then the same
// phase again with every piece cached, beside find | xargs sha256sum over the
// cache folder.
//
// The server is a process of its own, started for each phase, so that its
// CPU time is never counted as ours; it is shown beside ours, from the
// resource use that waiting for it gives back.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench.hpp"
#include "install/download.hpp"
#include "lib/hexdigest.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t PIECE_SIZE = 1 << 20;
constexpr std::size_t PIECE_COUNT = 1024;
constexpr std::uint64_t TOTAL_SIZE = std::uint64_t{PIECE_SIZE} * PIECE_COUNT;
constexpr const char* SERVER_THREADS = "8";
constexpr double PEAK_GOAL_MIB = 128;
constexpr double SPEED_GOAL_GBPS = 1.0;
// Short, so that the phase's last sleep of the progress thread does not
// count against it.
constexpr std::chrono::milliseconds BENCH_PROGRESS_INTERVAL{10};

double cpu_seconds(const rusage& usage) {
  auto seconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double process_cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return cpu_seconds(usage);
}

// Resets the peak resident size that VmHWM reports; false where the kernel
// does not allow it.
bool reset_peak_resident() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

double peak_resident_mib() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with("VmHWM:")) return std::stod(line.substr(6)) / 1024;
  return -1;
}

// Text-like bytes: words of a vocabulary of its own for each piece.
std::string piece_content(std::size_t index) {
  std::mt19937_64 rng(index * 7919 + 1);
  std::vector<std::string> words(2048);
  for (std::string& word : words) {
    word.resize(3 + rng() % 8);
    for (char& c : word) c = static_cast<char>('a' + rng() % 26);
  }
  std::string text;
  text.reserve(PIECE_SIZE + 16);
  while (text.size() < PIECE_SIZE) {
    text += words[rng() % words.size()];
    text += rng() % 12 == 0 ? '\n' : ' ';
  }
  text.resize(PIECE_SIZE);
  return text;
}

fs::path served_path(const fs::path& root, const std::string& id) {
  return root / "c" / id.substr(0, 2) / (id + ".zst");
}

// The compressed pieces under `root` as the server lays them out, made once;
// their ids are kept beside them so that later runs only check the files.
std::vector<std::string> make_pieces(const fs::path& dir, const fs::path& root) {
  const fs::path ids_path = dir / "ids.txt";
  std::vector<std::string> ids;
  {
    std::ifstream in(ids_path);
    for (std::string line; std::getline(in, line);) ids.push_back(line);
  }
  bool fresh = ids.size() != PIECE_COUNT;
  for (std::size_t i = 0; i < ids.size() && !fresh; ++i)
    fresh = !fs::exists(served_path(root, ids[i]));
  if (!fresh) return ids;

  ids.assign(PIECE_COUNT, {});
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    std::string frame;
    for (std::size_t i; (i = next.fetch_add(1)) < PIECE_COUNT;) {
      const std::string content = piece_content(i);
      frame.resize(ZSTD_compressBound(content.size()));
      const std::size_t n =
          ZSTD_compress(frame.data(), frame.size(), content.data(), content.size(), 3);
      ids[i] = sha256_hex({reinterpret_cast<const std::uint8_t*>(content.data()), content.size()});
      const fs::path path = served_path(root, ids[i]);
      fs::create_directories(path.parent_path());
      std::ofstream(path, std::ios::binary | std::ios::trunc)
          .write(frame.data(), static_cast<std::streamsize>(n));
    }
  };
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back(work);
  }
  std::ofstream out(ids_path, std::ios::trunc);
  for (const std::string& id : ids) out << id << '\n';
  return ids;
}

// reeftown-serve serving `root`, every request path written to `log` when
// it ends.
struct ServerProcess {
  pid_t pid = -1;
  std::uint16_t port = 0;
};

std::optional<ServerProcess> start_server(const fs::path& root, const fs::path& log) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const std::string root_text = root.string(), log_text = log.string();
  const char* argv[] = {REEFTOWN_SERVE_BINARY, "--root", root_text.c_str(), "--threads", SERVER_THREADS,
                        "--log", log_text.c_str(), nullptr};
  ServerProcess server;
  const int spawned = ::posix_spawn(&server.pid, REEFTOWN_SERVE_BINARY, &actions, nullptr,
                                    const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  // The first line is the port, once the server listens.
  std::string line;
  char c = 0;
  while (spawned == 0 && ::read(out[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(out[0]);
  if (spawned != 0) return std::nullopt;
  const int port = line.empty() ? 0 : std::atoi(line.c_str());
  if (port <= 0 || port > 65535) {
    ::kill(server.pid, SIGKILL);
    ::waitpid(server.pid, nullptr, 0);
    return std::nullopt;
  }
  server.port = static_cast<std::uint16_t>(port);
  return server;
}

// Ends the server; its CPU seconds, or a negative value when it failed.
double stop_server(const ServerProcess& server) {
  ::kill(server.pid, SIGTERM);
  int status = 0;
  rusage usage{};
  if (::wait4(server.pid, &status, 0, &usage) != server.pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    return -1;
  return cpu_seconds(usage);
}

std::uint64_t count_lines(const fs::path& path) {
  std::ifstream in(path);
  std::uint64_t lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines;
}

// Standard error goes to /dev/null while it lives: the progress line would
// run into the table.
struct QuietStderr {
  QuietStderr() : saved(::dup(2)) {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, 2);
    ::close(null);
  }
  ~QuietStderr() {
    ::dup2(saved, 2);
    ::close(saved);
  }
  int saved;
};

struct PhaseRun {
  bool ok = false;
  double seconds = 0;
  double cpu = 0;         // this process
  double server_cpu = 0;  // the server's process
  std::uint64_t requests = 0;
  double peak_mib = -1;
};

PhaseRun run_phase(const fs::path& root, const fs::path& log, const fs::path& cache, const ReleaseInfo& release,
                   const std::vector<std::string>& ids) {
  PhaseRun run;
  fs::remove(log);
  const std::optional<ServerProcess> server = start_server(root, log);
  if (!server) return run;
  DownloadOptions options;
  options.progress_interval = BENCH_PROGRESS_INTERVAL;
  const std::string base = "http://127.0.0.1:" + std::to_string(server->port);
  const bool peak_known = reset_peak_resident();
  const double cpu_before = process_cpu_seconds();
  const auto start_time = std::chrono::steady_clock::now();
  {
    QuietStderr quiet;
    run.ok = download_pieces(base, cache, release, ids, options).has_value();
  }
  run.seconds = seconds_since(start_time);
  run.cpu = process_cpu_seconds() - cpu_before;
  run.server_cpu = stop_server(*server);
  if (run.server_cpu < 0) run.ok = false;
  run.requests = count_lines(log);
  if (peak_known) run.peak_mib = peak_resident_mib();
  return run;
}

std::string format(const char* pattern, auto... values) {
  char buf[256];
  std::snprintf(buf, sizeof buf, pattern, values...);
  return buf;
}

}  // namespace

std::vector<BenchRow> bench_download(const BenchArgs& args) {
  const fs::path dir = args.work_dir / "download-1gib";
  const fs::path root = dir / "server";
  const fs::path cache = dir / "cache";
  const fs::path log = dir / "requests.log";
  const std::vector<std::string> ids = make_pieces(dir, root);
  ReleaseInfo release;
  for (const std::string& id : ids) release.chunks[id] = fs::file_size(served_path(root, id));

  const std::string fetch_workload = "download_pieces 1 GiB, 1 MiB pieces (best of 3)";
  const std::string memory_workload = "download_pieces 1 GiB: peak resident (worst of 3)";
  PhaseRun best;
  double worst_peak = 0;
  for (int round = 0; round < 3; ++round) {
    fs::remove_all(cache);
    fs::create_directories(cache);
    const PhaseRun run = run_phase(root, log, cache, release, ids);
    if (!run.ok || run.requests != PIECE_COUNT)
      return {{fetch_workload, "failed", "-", "-", false}};
    if (round == 0 || run.seconds < best.seconds) best = run;
    worst_peak = std::max(worst_peak, run.peak_mib);
  }
  const double speed = static_cast<double>(TOTAL_SIZE) / best.seconds / 1e9;
  std::vector<BenchRow> rows;
  rows.push_back({fetch_workload, format("%.2f GB/s decoded (%.3f s)", speed, best.seconds),
                  format("ours %.2f CPU-s, server %.2f", best.cpu, best.server_cpu),
                  format(">= %.1f GB/s", SPEED_GOAL_GBPS), speed >= SPEED_GOAL_GBPS});
  rows.push_back({memory_workload, worst_peak < 0 ? "unknown" : format("%.1f MiB", worst_peak), "-",
                  format("< %.0f MiB", PEAK_GOAL_MIB),
                  worst_peak >= 0 && worst_peak < PEAK_GOAL_MIB});

  // Every piece cached: the phase only hashes the cache folder.
  const std::string check_workload = "download_pieces 1 GiB all cached (best of 3)";
  const std::string baseline =
      "find '" + cache.string() + "' -type f -print0 | xargs -0 -P8 -n32 sha256sum";
  double ours = 1e9;
  double base = 1e9;
  for (int round = 0; round < 3; ++round) {
    const PhaseRun run = run_phase(root, log, cache, release, ids);
    if (!run.ok || run.requests != 0) {
      rows.push_back({check_workload, "failed", "-", "-", false});
      return rows;
    }
    ours = std::min(ours, run.seconds);
    const double b = time_command(baseline);
    if (b > 0) base = std::min(base, b);
  }
  auto figure = [](double seconds) {
    return format("%.3f s (%.2f GB/s)", seconds, static_cast<double>(TOTAL_SIZE) / seconds / 1e9);
  };
  rows.push_back({check_workload, figure(ours) + format(", %.2fx", ours / base),
                  "find|xargs -P8 -n32 sha256sum " + figure(base), "<= baseline", ours <= base});
  return rows;
}
