// A static file server on 127.0.0.1 for a server tree (see publisher.hpp):
// HTTP/1.1 GET and HEAD of the regular files below its root, with
// Content-Length and keep-alive, 404 for anything else. It never serves
// outside the root: a target with a "." or ".." segment is refused, and no
// link is followed, not even one that stays inside the root.
//
// One thread accepts connections and waits for their request heads; a fixed
// pool of threads answers whole requests, bodies going out with sendfile. So
// an idle or trickling client costs a descriptor, never a thread: a request
// from anyone else is answered meanwhile. A connection has a fixed time for
// each whole request head; beyond the descriptors the process may open,
// further connections wait in the listen queue. Every wait also watches the
// stop signal, so stop() (and the destructor) ends and joins every thread
// promptly. The member functions may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lib/error_text.hpp"

inline constexpr unsigned DEFAULT_SERVE_THREADS = 16;
// Bytes of one request head, its closing blank line included; a longer one
// is answered 400.
inline constexpr std::size_t MAX_REQUEST_HEAD = 16384;

struct ServeSettings {
  // The path of every request is kept for requested_paths(); without it the
  // server's memory does not grow with the number of requests.
  bool keep_log = true;
  // Time for one whole request head, from the connection's start or the end
  // of the answer before.
  std::chrono::milliseconds head_deadline{15000};
};

struct StaticServerState;

struct StaticServer {
  StaticServer();
  StaticServer(StaticServer&&) noexcept;
  StaticServer& operator=(StaticServer&&) noexcept;
  ~StaticServer();

  std::unique_ptr<StaticServerState> state;

  std::uint16_t port() const;
  // "http://127.0.0.1:{port}": the download base URL of the tree.
  std::string base_url() const;
  // The path of every request so far, relative to the root (no leading "/",
  // as piece_path() writes it), in the order the requests arrived; empty
  // unless the settings keep the log.
  std::vector<std::string> requested_paths() const;
  // Ends every connection and joins every thread; later calls do nothing.
  void stop();
};

// Serves `root` on 127.0.0.1:`port` (0: a free port of the system's choice)
// with `threads` answering threads.
std::expected<StaticServer, ErrorText> start_static_server(const std::filesystem::path& root,
                                                           std::uint16_t port = 0,
                                                           unsigned threads = DEFAULT_SERVE_THREADS,
                                                           ServeSettings settings = {});
