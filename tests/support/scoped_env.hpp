// Sets an environment variable for one test and puts the old value back.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

struct ScopedEnv {
  ScopedEnv(const char* name, const std::string& value) : name(name) {
    if (const char* old_value = std::getenv(name)) old = old_value;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old) {
      ::setenv(name, old->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  const char* name;
  std::optional<std::string> old;
};
