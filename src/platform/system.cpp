#include "platform/system.hpp"

#include <chrono>
#include <cstdlib>
#include <thread>

unsigned logical_processor_count() { return std::thread::hardware_concurrency(); }

void sleep_seconds(unsigned seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); }

std::optional<std::string> environment_variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}
