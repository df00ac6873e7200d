// reeftown-serve: serves a server tree on 127.0.0.1 until it is ended
// (SIGINT or SIGTERM). The bound port is the first line on standard output,
// for scripts; everything else goes to standard error. With --log FILE, the
// path of every request (relative to the root, in arrival order, one a line)
// is appended to FILE when the server ends, for benchmarks that count what a
// client fetched.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include <pthread.h>

#include "platform/console.hpp"
#include "tools/command_line.hpp"
#include "tools/static_server.hpp"

namespace {

constexpr std::string_view USAGE = "usage: reeftown-serve --root DIR [--port N] [--threads N] [--log FILE]\n";

int fail(std::string_view message) {
  print("reeftown-serve: " + std::string(message) + "\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  console_unbuffered();
  std::optional<std::string> root;
  std::optional<std::string> log;
  unsigned port = 0;
  unsigned threads = DEFAULT_SERVE_THREADS;
  const auto read = read_options(argc, argv, USAGE, {},
                                 [&](std::string_view option, std::string_view value) -> std::optional<std::string> {
    if (option == "--root") {
      root = std::string(value);
    } else if (option == "--log") {
      log = std::string(value);
    } else if (option == "--port") {
      const auto n = whole_number(value, 65535);
      if (!n) return "--port needs a number from 0 to 65535, not \"" + std::string(value) + "\"";
      port = static_cast<unsigned>(*n);
    } else if (option == "--threads") {
      const auto n = whole_number(value, 1024);
      if (!n || *n == 0) return "--threads needs a number from 1 to 1024, not \"" + std::string(value) + "\"";
      threads = static_cast<unsigned>(*n);
    } else {
      return unknown_option(option, USAGE);
    }
    return std::nullopt;
  });
  if (!read) return fail(read.error());
  if (*read == OptionsRead::help) return 0;
  if (!root) return fail("--root is required\n" + std::string(USAGE));

  // Blocked before any thread starts, so that only sigwait below takes them.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  // Request paths are kept only for --log, so that a long run does not grow.
  auto server = start_static_server(*root, static_cast<std::uint16_t>(port), threads,
                                    ServeSettings{.keep_log = log.has_value()});
  if (!server) return fail(server.error());
  std::printf("%u\n", static_cast<unsigned>(server->port()));
  std::fflush(stdout);
  print("reeftown-serve: serving " + *root + " at " + server->base_url() + "\n");

  int signal_number = 0;
  sigwait(&ending, &signal_number);
  server->stop();
  if (log) {
    std::ofstream out(*log, std::ios::app);
    for (const std::string& path : server->requested_paths()) out << path << '\n';
    out.close();
    if (!out) return fail("cannot write " + *log);
  }
  return 0;
}
