// A scriptable HTTP/1.1 server on 127.0.0.1 for tests, plain or with TLS:
// it answers each request by its target with a scripted Reply, or with a
// file of a folder that it serves, and keeps the raw bytes of every request. One thread accepts and one thread serves each
// connection; every socket operation waits only a moment at a time, so
// stop() (and the destructor) ends and joins all of them promptly, and a
// connection left alone ends by itself after a few seconds.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One scripted answer. By default: the status, the headers, then the body
// with a Content-Length.
struct Reply {
  enum class Framing { Length, Chunked, Close };

  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  Framing framing = Framing::Length;
  std::size_t chunk_size = 1024;
  // Sends the gzip of `body` with "Content-Encoding: gzip".
  bool gzip = false;
  // Announced instead of the body's real size; with a larger value the body
  // is short, and the connection closes after it.
  std::optional<std::size_t> content_length;
  // Says nothing at all, then only waits for the client to go.
  bool stall_before_head = false;
  // Goes silent after this many bytes that follow the head.
  std::optional<std::size_t> stall_after;
  // With stall_after: when not zero, the silence lasts this long and the
  // rest follows.
  std::chrono::milliseconds stall_for{0};
  // Pause before each byte that follows the head, or before each byte of
  // `raw`.
  std::chrono::milliseconds trickle{0};
  // Sent exactly as it is instead of everything above; then the connection
  // closes.
  std::string raw;
  // Sent after `raw` over and over, as fast as the client takes it, until
  // the client goes, the server stops or `flood_limit` bytes of it are out.
  std::string flood;
  std::size_t flood_limit = std::size_t{64} << 20;
};

Reply text_reply(std::string body, int status = 200);
Reply redirect_reply(int status, std::string location);

// `data` as one gzip member.
std::string gzip_bytes(std::string_view data);

// A certificate and key (PEM files) for the TLS server, and what it offers.
struct TlsIdentity {
  std::string cert_file;
  std::string key_file;
  int max_version = 0;        // e.g. TLS1_2_VERSION; 0 for the library's highest
  std::string tls12_ciphers;  // OpenSSL cipher list for TLS 1.2; empty for the default
};

// Issued by the test authority for 127.0.0.1, ::1 and localhost.
TlsIdentity test_server_identity();
// Self-signed for the same names: trusted by nobody.
TlsIdentity untrusted_identity();
// PEM text of the test authority's certificate.
std::string test_ca_pem();

struct ServerOptions {
  std::optional<TlsIdentity> tls;
  // When set: a target without a route is answered with the regular file of
  // that path below this folder (query left out), 404 when there is none.
  std::optional<std::filesystem::path> folder = std::nullopt;
};

// How a file of the served folder is answered instead of plainly, for tests
// that need a slow, failing, stalled or held download.
struct ServeRule {
  // Waited before the answer.
  std::chrono::milliseconds delay{0};
  // When not 0: this status with an empty body instead of the file.
  int fail_status = 0;
  // The head and only this many bytes of the body, then silence.
  std::optional<std::size_t> stall_after;
  // When set: only this many requests of the path are answered from the
  // time the rule is set; later ones wait (after `delay`) until set_rule
  // gives the path a rule that lets them through, or the server stops.
  std::optional<std::uint64_t> answer_at_most;
};

struct LoggedRequest {
  std::string raw;     // the request's bytes up to and including the blank line
  std::string target;  // as in the request line
  bool tls_resumed = false;
};

struct ServerState;

struct TestServer {
  TestServer();
  TestServer(TestServer&&) noexcept;
  TestServer& operator=(TestServer&&) noexcept;
  ~TestServer();

  // Empty when the server runs; otherwise why it could not start.
  std::string error;
  std::unique_ptr<ServerState> state;

  // The reply for a request target: the exact target first, then its path
  // without the query. Other targets get 404.
  void route(const std::string& target, Reply reply);
  // "http://127.0.0.1:{port}{path}", or https with TLS.
  std::string url(std::string_view path) const;
  std::uint16_t port() const;
  // Every request so far, in the order they arrived.
  std::vector<LoggedRequest> requests() const;
  // The target of every request so far, as in the request line.
  std::vector<std::string> targets() const;
  // The path of every request so far as a path of the served folder: no
  // leading "/", no query.
  std::vector<std::string> requested_paths() const;
  // GET requests below "c/" (the pieces of a server tree) so far, whatever
  // their answer.
  std::uint64_t piece_gets() const;
  // Answers the folder's file `path` (as in requested_paths) by `rule` from
  // now on.
  void set_rule(const std::string& path, const ServeRule& rule);
  // "http://127.0.0.1:{port}", or https with TLS: the base URL of the folder.
  std::string base_url() const;
  // Bytes of Reply::flood sent so far over all connections, not counting a
  // piece whose write failed: about the most that a client can have taken.
  std::size_t flooded() const;
  // Ends every connection and joins every thread; the destructor calls it.
  void stop();
};

TestServer start_server(const ServerOptions& options = {});
