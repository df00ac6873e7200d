// The benchmark program: each workload measures our code beside a baseline
// on the same input in the same run and gives rows of one table.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

struct BenchRow {
  std::string workload;  // what was measured, with its input size
  std::string ours;      // our figure, e.g. "1.92 GB/s" or "41.3 ms"
  std::string baseline;  // the baseline's name and figure, or "-"
  std::string goal;      // the target, e.g. ">= baseline" or "< 60 ms"
  bool met = true;       // whether the goal was met
};

struct BenchArgs {
  std::filesystem::path work_dir;  // where workloads make their inputs
};

// Seconds since `start` on the monotonic clock.
double seconds_since(std::chrono::steady_clock::time_point start);

// "{bytes / seconds} GB/s ({seconds} s)": the figure of a throughput row.
std::string gb_per_second(double bytes, double seconds);

// Runs a shell command, its output discarded; the time it took in seconds,
// or a negative value when it failed.
double time_command(const std::string& command);

std::vector<BenchRow> bench_hash(const BenchArgs& args);
std::vector<BenchRow> bench_parse(const BenchArgs& args);
std::vector<BenchRow> bench_scan(const BenchArgs& args);
std::vector<BenchRow> bench_build(const BenchArgs& args);
std::vector<BenchRow> bench_download(const BenchArgs& args);
