#include "platform/processors.hpp"

#include <thread>

unsigned logical_processor_count() { return std::thread::hardware_concurrency(); }
