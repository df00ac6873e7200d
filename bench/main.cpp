// reeftown_bench [--work DIR] [hash] [parse] [scan] [build] [download]
// Prints one table: our figure beside the baseline's for every workload.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bench.hpp"

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string gb_per_second(double bytes, double seconds) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f GB/s (%.3f s)", bytes / seconds / 1e9, seconds);
  return buf;
}

double time_command(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  const int rc = std::system((command + " >/dev/null 2>&1").c_str());
  if (rc != 0) return -1;
  return seconds_since(start);
}

int main(int argc, char** argv) {
  BenchArgs args{std::filesystem::temp_directory_path() / "reeftown-bench"};
  std::vector<std::string> chosen;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--work" && i + 1 < argc) {
      args.work_dir = argv[++i];
    } else {
      chosen.emplace_back(a);
    }
  }
  if (chosen.empty()) chosen = {"hash", "parse", "scan", "build", "download"};
  std::filesystem::create_directories(args.work_dir);

  std::vector<BenchRow> rows;
  for (const std::string& name : chosen) {
    std::vector<BenchRow> got;
    if (name == "hash") got = bench_hash(args);
    else if (name == "parse") got = bench_parse(args);
    else if (name == "scan") got = bench_scan(args);
    else if (name == "build") got = bench_build(args);
    else if (name == "download") got = bench_download(args);
    else {
      std::fprintf(stderr, "unknown workload: %s\n", name.c_str());
      return 2;
    }
    rows.insert(rows.end(), got.begin(), got.end());
  }

  bool all_met = true;
  std::fprintf(stderr, "%-44s %-22s %-34s %-16s %s\n", "workload", "ours", "baseline", "goal", "met");
  for (const BenchRow& r : rows) {
    std::fprintf(stderr, "%-44s %-22s %-34s %-16s %s\n", r.workload.c_str(), r.ours.c_str(),
                 r.baseline.c_str(), r.goal.c_str(), r.met ? "yes" : "NO");
    all_met = all_met && r.met;
  }
  return all_met ? 0 : 1;
}
