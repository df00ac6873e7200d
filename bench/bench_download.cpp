// download_pieces of 1 GiB in 1 MiB pieces (text-like data, zstd level 3)
// from a static file server on loopback that runs inside this process, into
// an empty cache folder; then the same phase again with every piece cached,
// beside find | xargs sha256sum over the cache folder.
//
// The server answers each connection with one sendfile from the pieces on
// disk, on eight threads of its own, and its CPU time is counted apart so
// that its share cannot pass for ours.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
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
constexpr int SERVER_THREADS = 8;
constexpr double PEAK_GOAL_MIB = 128;
constexpr double SPEED_GOAL_GBPS = 1.0;
// Short, so that the phase's last sleep of the progress thread does not
// count against it.
constexpr std::chrono::milliseconds BENCH_PROGRESS_INTERVAL{10};

double thread_cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double process_cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
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

// A static file server for the pieces: each of its threads accepts a
// connection, answers its one request with the file under `root` and closes
// it, as the agent never reuses a connection.
struct PieceServer {
  fs::path root;
  int listen_fd = -1;
  std::uint16_t port = 0;
  std::atomic<std::uint64_t> requests{0};
  std::atomic<std::uint64_t> cpu_ns{0};
  std::vector<std::thread> threads;
};

void answer(PieceServer& server, int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char head[8192];
  std::size_t got = 0;
  while (got < sizeof head) {
    const ssize_t n = ::recv(fd, head + got, sizeof head - got, 0);
    if (n <= 0) return;
    got += static_cast<std::size_t>(n);
    if (::memmem(head, got, "\r\n\r\n", 4)) break;
  }
  const std::string_view request(head, got);
  const std::size_t first = request.find(' ');
  const std::size_t second = request.find(' ', first + 1);
  if (first == std::string_view::npos || second == std::string_view::npos) return;
  const std::string target(request.substr(first + 1, second - first - 1));
  server.requests.fetch_add(1);

  const int file = target.find("..") == std::string::npos
                       ? ::open((server.root.string() + target).c_str(), O_RDONLY | O_CLOEXEC)
                       : -1;
  struct stat st {};
  if (file < 0 || ::fstat(file, &st) != 0) {
    const char* missing =
        "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    (void)::send(fd, missing, std::strlen(missing), MSG_NOSIGNAL);
    if (file >= 0) ::close(file);
    return;
  }
  char reply[256];
  const int length = std::snprintf(
      reply, sizeof reply, "HTTP/1.1 200 OK\r\nContent-Length: %lld\r\nConnection: close\r\n\r\n",
      static_cast<long long>(st.st_size));
  (void)::send(fd, reply, static_cast<std::size_t>(length), MSG_MORE | MSG_NOSIGNAL);
  off_t offset = 0;
  while (offset < st.st_size)
    if (::sendfile(fd, file, &offset, static_cast<std::size_t>(st.st_size - offset)) <= 0) break;
  ::close(file);
}

void serve(PieceServer& server) {
  for (;;) {
    const int fd = ::accept4(server.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      break;  // the listening socket was shut down
    }
    answer(server, fd);
    ::close(fd);
  }
  server.cpu_ns.fetch_add(static_cast<std::uint64_t>(thread_cpu_seconds() * 1e9));
}

bool start(PieceServer& server) {
  server.listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (server.listen_fd < 0 ||
      ::bind(server.listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(server.listen_fd, 128) != 0 ||
      ::getsockname(server.listen_fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return false;
  server.port = ntohs(address.sin_port);
  for (int t = 0; t < SERVER_THREADS; ++t) server.threads.emplace_back(serve, std::ref(server));
  return true;
}

void stop(PieceServer& server) {
  ::shutdown(server.listen_fd, SHUT_RDWR);
  for (std::thread& thread : server.threads) thread.join();
  server.threads.clear();
  ::close(server.listen_fd);
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
  double cpu = 0;         // the whole process, server included
  double server_cpu = 0;  // the server's threads alone
  std::uint64_t requests = 0;
  double peak_mib = -1;
};

PhaseRun run_phase(const fs::path& root, const fs::path& cache, const ReleaseInfo& release,
                   const std::vector<std::string>& ids) {
  PhaseRun run;
  PieceServer server;
  server.root = root;
  if (!start(server)) return run;
  DownloadOptions options;
  options.progress_interval = BENCH_PROGRESS_INTERVAL;
  const std::string base = "http://127.0.0.1:" + std::to_string(server.port);
  const bool peak_known = reset_peak_resident();
  const double cpu_before = process_cpu_seconds();
  const auto start_time = std::chrono::steady_clock::now();
  {
    QuietStderr quiet;
    run.ok = download_pieces(base, cache, release, ids, options).has_value();
  }
  run.seconds = seconds_since(start_time);
  stop(server);
  run.cpu = process_cpu_seconds() - cpu_before;
  run.server_cpu = static_cast<double>(server.cpu_ns.load()) / 1e9;
  run.requests = server.requests.load();
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
    const PhaseRun run = run_phase(root, cache, release, ids);
    if (!run.ok || run.requests != PIECE_COUNT)
      return {{fetch_workload, "failed", "-", "-", false}};
    if (round == 0 || run.seconds < best.seconds) best = run;
    worst_peak = std::max(worst_peak, run.peak_mib);
  }
  const double speed = static_cast<double>(TOTAL_SIZE) / best.seconds / 1e9;
  std::vector<BenchRow> rows;
  rows.push_back({fetch_workload, format("%.2f GB/s decoded (%.3f s)", speed, best.seconds),
                  format("server %.0f%% of %.2f CPU-s", 100 * best.server_cpu / best.cpu, best.cpu),
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
    const PhaseRun run = run_phase(root, cache, release, ids);
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
