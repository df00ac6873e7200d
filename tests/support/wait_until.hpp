// A bounded poll for tests that wait on another thread or process: a fault
// fails the test once the bound has passed instead of hanging the suite.
#pragma once

#include <chrono>
#include <thread>

// Polls `ready` every millisecond for at most `bound`; its last answer.
template <typename Ready>
bool wait_until(Ready ready, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return ready();
}
