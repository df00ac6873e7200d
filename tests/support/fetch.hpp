// GETs through the program's own agent, for tests of the servers that the
// tests and the tools start on 127.0.0.1. Header only: a test program that
// includes it links the release library.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "release/http.hpp"

// Bounded waits: a fault fails the test in seconds, a loaded machine does not.
inline AgentSettings loopback() {
  AgentSettings settings;
  settings.connect_timeout = std::chrono::seconds(10);
  settings.read_timeout = std::chrono::seconds(10);
  return settings;
}

// The whole body of a GET; the error names how many bytes came before it.
inline std::expected<std::string, std::string> fetch_bytes(const std::string& url,
                                                           AgentSettings settings = loopback()) {
  auto response = make_agent(settings).get(url);
  if (!response) return std::unexpected(describe_http_error(response.error()));
  std::string body;
  std::vector<std::uint8_t> buf(1 << 20);
  for (;;) {
    auto got = read_body(response->body, buf);
    if (!got) return std::unexpected(got.error() + " after " + std::to_string(body.size()) + " bytes");
    if (*got == 0) return body;
    body.append(reinterpret_cast<const char*>(buf.data()), *got);
  }
}
