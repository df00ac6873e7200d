#include "platform/sleep.hpp"

#include <chrono>
#include <thread>

void sleep_seconds(unsigned seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); }
