// The inner pieces of the download phase that its tests reach: the piece URL
// and the progress line. Only download.cpp and the tests include this.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "install/download.hpp"

// What the progress thread is given; it owns its share of the two counters.
struct ProgressState {
  std::shared_ptr<std::atomic<bool>> stop;
  std::shared_ptr<std::atomic<std::uint64_t>> done_bytes;
  std::uint64_t total_bytes = 0;
  std::chrono::milliseconds interval{PROGRESS_INTERVAL_MS};
};

// "{base_url}/c/{first two characters}/{id}.zst", nothing escaped; none for
// an id of fewer than two whole UTF-8 characters.
std::optional<std::string> piece_url(std::string_view base_url, std::string_view id);

// One redraw of the progress line: "\r  downloading ..." with the figures for
// `done_bytes` (at most `total_bytes`) after `elapsed_s` seconds (at least
// PROGRESS_MIN_ELAPSED_S).
std::string progress_line(std::uint64_t done_bytes, std::uint64_t total_bytes, double elapsed_s);

// The body of the progress thread: redraws every state.interval until stop
// is set, never after it.
void progress_reporter(ProgressState state) noexcept;
