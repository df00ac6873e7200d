#include "support/http_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <list>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#if defined(__SANITIZE_THREAD__)
// The system's libssl and libcrypto are not built for ThreadSanitizer: the
// atomic reference counts with which they hand a cached TLS session from one
// connection to another are invisible to it, so it takes the free of a
// session's last reference for a race with the thread that dropped the one
// before. Their own memory traffic is left out of its view.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libssl.so\n"
         "called_from_lib:libcrypto.so\n";
}
#endif

namespace {

using Clock = std::chrono::steady_clock;

// How long one socket call may block before the stop flag is looked at.
constexpr std::chrono::milliseconds TICK{20};
// How long a connection may wait for its peer before it gives up.
constexpr std::chrono::seconds PATIENCE{10};
constexpr std::size_t MAX_HEAD = 65536;

std::string data_path(std::string_view name) {
  return std::string(REEFTOWN_TEST_DATA_DIR) + "/tls/" + std::string(name);
}

const char* reason_phrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 300:
      return "Multiple Choices";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

}  // namespace

// One serving thread; `done` is set as its last act, so the acceptor can join
// it without waiting.
struct Connection {
  std::thread thread;
  std::atomic<bool> done{false};
};

struct ServerState {
  int listen_fd = -1;
  SSL_CTX* tls = nullptr;
  std::uint16_t port = 0;
  std::atomic<bool> stopping{false};
  std::atomic<std::size_t> flooded{0};
  std::thread acceptor;

  std::optional<std::filesystem::path> folder;

  mutable std::mutex mutex;
  std::map<std::string, Reply> routes;
  std::vector<LoggedRequest> log;
  std::map<std::string, ServeRule, std::less<>> rules;
  // Requests answered under each path's rule since it was set.
  std::map<std::string, std::uint64_t, std::less<>> answered;
  // Touched by the acceptor only, and by stop() once the acceptor has ended.
  std::list<Connection> connections;
};

namespace {

// One accepted connection, plain or TLS.
struct Conn {
  ServerState& server;
  int fd = -1;
  SSL* ssl = nullptr;
};

bool give_up(const Conn& c, Clock::time_point deadline) {
  return c.server.stopping.load() || Clock::now() >= deadline;
}

// Bytes read (> 0), or 0 at the end, on an error, at the deadline or at stop.
std::size_t conn_read(Conn& c, char* buf, std::size_t size, Clock::time_point deadline) {
  for (;;) {
    if (c.ssl) {
      const int got = SSL_read(c.ssl, buf, static_cast<int>(size));
      if (got > 0) return static_cast<std::size_t>(got);
      const int why = SSL_get_error(c.ssl, got);
      if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) return 0;
      ERR_clear_error();
    } else {
      const ssize_t got = ::recv(c.fd, buf, size, 0);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return 0;
    }
    if (give_up(c, deadline)) return 0;
  }
}

bool conn_write(Conn& c, std::string_view data) {
  const Clock::time_point deadline = Clock::now() + PATIENCE;
  while (!data.empty()) {
    if (c.ssl) {
      const int sent = SSL_write(c.ssl, data.data(), static_cast<int>(data.size()));
      if (sent > 0) {
        data.remove_prefix(static_cast<std::size_t>(sent));
        continue;
      }
      const int why = SSL_get_error(c.ssl, sent);
      if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) return false;
      ERR_clear_error();
    } else {
      const ssize_t sent = ::send(c.fd, data.data(), data.size(), MSG_NOSIGNAL);
      if (sent >= 0) {
        data.remove_prefix(static_cast<std::size_t>(sent));
        continue;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    }
    if (give_up(c, deadline)) return false;
  }
  return true;
}

// Sleeps for `pause`, or less when the server stops.
void nap(const ServerState& s, std::chrono::milliseconds pause) {
  const Clock::time_point until = Clock::now() + pause;
  while (!s.stopping.load() && Clock::now() < until)
    std::this_thread::sleep_for(std::min<Clock::duration>(TICK, until - Clock::now()));
}

// Sends nothing more until the client goes away, the server stops or the
// patience runs out.
void stall(Conn& c) {
  const Clock::time_point deadline = Clock::now() + PATIENCE;
  while (!give_up(c, deadline)) {
    pollfd p{c.fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(TICK.count())) <= 0) continue;
    char sink[4096];
    // Whatever arrives now (a TLS alert, then the end) is only read away.
    if (::recv(c.fd, sink, sizeof sink, 0) <= 0) return;
  }
}

std::string encode_chunked(std::string_view body, std::size_t chunk_size) {
  std::string out;
  if (chunk_size == 0) chunk_size = 1;
  for (std::size_t at = 0; at < body.size(); at += chunk_size) {
    const std::string_view chunk = body.substr(at, chunk_size);
    std::ostringstream size;
    size << std::hex << chunk.size();
    out += size.str() + "\r\n";
    out += chunk;
    out += "\r\n";
  }
  out += "0\r\n\r\n";
  return out;
}

// Sends `reply.flood` until the client stops taking it, the server stops,
// the limit is reached or the patience runs out.
void flood(Conn& c, const Reply& reply) {
  const Clock::time_point deadline = Clock::now() + PATIENCE;
  std::size_t left = reply.flood_limit;
  while (left > 0 && !give_up(c, deadline)) {
    const std::string_view part = std::string_view(reply.flood).substr(0, left);
    if (!conn_write(c, part)) return;
    left -= part.size();
    c.server.flooded += part.size();
  }
}

// Sends the reply; true when the connection may carry another request.
bool send_reply(Conn& c, const Reply& reply) {
  if (reply.stall_before_head) {
    stall(c);
    return false;
  }
  if (!reply.raw.empty()) {
    bool sent = true;
    if (reply.trickle.count() == 0) {
      sent = conn_write(c, reply.raw);
    } else {
      for (char byte : reply.raw) {
        nap(c.server, reply.trickle);
        sent = !c.server.stopping.load() && conn_write(c, std::string_view(&byte, 1));
        if (!sent) break;
      }
    }
    if (sent && !reply.flood.empty()) flood(c, reply);
    return false;
  }
  const std::string body = reply.gzip ? gzip_bytes(reply.body) : reply.body;
  std::string head =
      "HTTP/1.1 " + std::to_string(reply.status) + " " + reason_phrase(reply.status) + "\r\n";
  for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
  if (reply.gzip) head += "Content-Encoding: gzip\r\n";
  std::string rest;
  bool keep_open = false;
  switch (reply.framing) {
    case Reply::Framing::Length:
      head +=
          "Content-Length: " + std::to_string(reply.content_length.value_or(body.size())) + "\r\n";
      rest = body;
      keep_open = !reply.content_length || *reply.content_length == body.size();
      break;
    case Reply::Framing::Chunked:
      head += "Transfer-Encoding: chunked\r\n";
      rest = encode_chunked(body, reply.chunk_size);
      keep_open = true;
      break;
    case Reply::Framing::Close:
      head += "Connection: close\r\n";
      rest = body;
      break;
  }
  head += "\r\n";
  if (!conn_write(c, head)) return false;

  std::string_view to_send = rest;
  const bool stalls = reply.stall_after.has_value();
  if (stalls) to_send = to_send.substr(0, std::min(*reply.stall_after, to_send.size()));
  if (reply.trickle.count() > 0) {
    for (char byte : to_send) {
      nap(c.server, reply.trickle);
      if (c.server.stopping.load() || !conn_write(c, std::string_view(&byte, 1))) return false;
    }
  } else if (!conn_write(c, to_send)) {
    return false;
  }
  if (stalls && reply.stall_for.count() > 0) {
    nap(c.server, reply.stall_for);
    if (c.server.stopping.load() || !conn_write(c, std::string_view(rest).substr(to_send.size())))
      return false;
  } else if (stalls) {
    stall(c);
    return false;
  }
  return keep_open;
}

std::optional<Reply> route_for(const ServerState& s, const std::string& target) {
  std::lock_guard lock(s.mutex);
  auto found = s.routes.find(target);
  if (found == s.routes.end()) found = s.routes.find(target.substr(0, target.find('?')));
  if (found != s.routes.end()) return found->second;
  return std::nullopt;
}

// A request target as a path of the served folder.
std::string folder_path(std::string_view target) {
  if (target.starts_with('/')) target.remove_prefix(1);
  return std::string(target.substr(0, target.find_first_of("?#")));
}

// The content of the regular file `path` below `folder`; none for a path
// that names anything else or steps out of the folder.
std::optional<std::string> read_below(const std::filesystem::path& folder, const std::string& path) {
  const std::filesystem::path relative(path);
  if (path.empty() || relative.is_absolute()) return std::nullopt;
  for (const auto& part : relative)
    if (part == "..") return std::nullopt;
  std::error_code error;
  if (!std::filesystem::is_regular_file(folder / relative, error)) return std::nullopt;
  std::ifstream in(folder / relative, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  if (!in) return std::nullopt;
  return content.str();
}

// The folder's file for `target`, answered by its rule; none when the
// server stops first.
std::optional<Reply> folder_reply(ServerState& s, const std::string& target) {
  const std::string path = folder_path(target);
  std::optional<ServeRule> rule;
  {
    std::lock_guard lock(s.mutex);
    if (auto it = s.rules.find(path); it != s.rules.end()) rule = it->second;
  }
  if (rule && rule->delay.count() > 0) nap(s, rule->delay);
  // A held request looks again each tick for a rule that lets it through.
  while (rule && rule->answer_at_most && !s.stopping.load()) {
    {
      std::lock_guard lock(s.mutex);
      const auto it = s.rules.find(path);
      rule = it == s.rules.end() ? std::nullopt : std::optional<ServeRule>(it->second);
      if (!rule || !rule->answer_at_most) break;
      std::uint64_t& answered = s.answered[path];
      if (answered < *rule->answer_at_most) {
        ++answered;
        break;
      }
    }
    nap(s, TICK);
  }
  if (s.stopping.load()) return std::nullopt;
  if (rule && rule->fail_status != 0) return text_reply("", rule->fail_status);
  std::optional<std::string> content = read_below(*s.folder, path);
  if (!content) return text_reply("not found\n", 404);
  Reply reply = text_reply(std::move(*content));
  if (rule) reply.stall_after = rule->stall_after;
  return reply;
}

void serve_connection(ServerState& s, int fd) {
  Conn c{s, fd, nullptr};
  const timeval tick{0, static_cast<suseconds_t>(TICK.count() * 1000)};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tick, sizeof tick);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  bool resumed = false;
  bool ready = true;
  if (s.tls) {
    c.ssl = SSL_new(s.tls);
    ready = c.ssl && SSL_set_fd(c.ssl, fd) == 1;
    const Clock::time_point deadline = Clock::now() + PATIENCE;
    while (ready) {
      const int done = SSL_accept(c.ssl);
      if (done == 1) break;
      const int why = SSL_get_error(c.ssl, done);
      ERR_clear_error();
      if ((why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) || give_up(c, deadline))
        ready = false;
    }
    if (ready) resumed = SSL_session_reused(c.ssl) == 1;
  }

  std::string pending;
  while (ready) {
    const Clock::time_point deadline = Clock::now() + PATIENCE;
    std::size_t end = pending.find("\r\n\r\n");
    while (end == std::string::npos && pending.size() < MAX_HEAD) {
      char buf[4096];
      const std::size_t got = conn_read(c, buf, sizeof buf, deadline);
      if (got == 0) break;
      pending.append(buf, got);
      end = pending.find("\r\n\r\n");
    }
    if (end == std::string::npos) break;
    LoggedRequest request;
    request.raw = pending.substr(0, end + 4);
    pending.erase(0, end + 4);
    const std::size_t first = request.raw.find(' ');
    const std::size_t second = request.raw.find(' ', first + 1);
    if (first != std::string::npos && second != std::string::npos)
      request.target = request.raw.substr(first + 1, second - first - 1);
    request.tls_resumed = resumed;
    std::optional<Reply> reply = route_for(s, request.target);
    {
      std::lock_guard lock(s.mutex);
      s.log.push_back(request);
    }
    if (!reply && s.folder) reply = folder_reply(s, request.target);
    else if (!reply) reply = text_reply("not found\n", 404);
    if (!reply || !send_reply(c, *reply)) break;
  }
  if (c.ssl) {
    SSL_shutdown(c.ssl);
    SSL_free(c.ssl);
  }
  ::close(fd);
}

void serve(ServerState& s, int fd, std::atomic<bool>& done) {
  serve_connection(s, fd);
  done.store(true);
}

void accept_loop(ServerState& s) {
  while (!s.stopping.load()) {
    // Finished threads are joined as we go, so a long test does not pile
    // them up.
    std::erase_if(s.connections, [](Connection& c) {
      if (!c.done.load()) return false;
      c.thread.join();
      return true;
    });
    pollfd p{s.listen_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(TICK.count())) <= 0) continue;
    const int fd = ::accept4(s.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    Connection& c = s.connections.emplace_back();
    c.thread = std::thread(serve, std::ref(s), fd, std::ref(c.done));
  }
}

std::string tls_setup_error(std::string_view what) {
  std::string text(what);
  if (const unsigned long code = ERR_get_error()) {
    char detail[256];
    ERR_error_string_n(code, detail, sizeof detail);
    text += ": ";
    text += detail;
  }
  return text;
}

}  // namespace

Reply text_reply(std::string body, int status) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

Reply redirect_reply(int status, std::string location) {
  Reply reply;
  reply.status = status;
  reply.headers.emplace_back("Location", std::move(location));
  return reply;
}

std::string gzip_bytes(std::string_view data) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

TlsIdentity test_server_identity() {
  return {data_path("server.pem"), data_path("server-key.pem"), 0, {}};
}

TlsIdentity untrusted_identity() {
  return {data_path("untrusted.pem"), data_path("untrusted-key.pem"), 0, {}};
}

std::string test_ca_pem() {
  std::ifstream in(data_path("ca.pem"), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TestServer::TestServer() = default;
TestServer::TestServer(TestServer&&) noexcept = default;
TestServer& TestServer::operator=(TestServer&& other) noexcept {
  if (this != &other) {
    stop();
    error = std::move(other.error);
    state = std::move(other.state);
  }
  return *this;
}
TestServer::~TestServer() { stop(); }

void TestServer::route(const std::string& target, Reply reply) {
  if (!state) return;
  std::lock_guard lock(state->mutex);
  state->routes[target] = std::move(reply);
}

std::string TestServer::url(std::string_view path) const {
  if (!state) return {};
  return std::string(state->tls ? "https" : "http") +
         "://127.0.0.1:" + std::to_string(state->port) + std::string(path);
}

std::uint16_t TestServer::port() const { return state ? state->port : 0; }

std::vector<LoggedRequest> TestServer::requests() const {
  if (!state) return {};
  std::lock_guard lock(state->mutex);
  return state->log;
}

std::vector<std::string> TestServer::targets() const {
  std::vector<std::string> seen;
  for (const LoggedRequest& request : requests()) seen.push_back(request.target);
  return seen;
}

std::vector<std::string> TestServer::requested_paths() const {
  std::vector<std::string> paths;
  for (const LoggedRequest& request : requests()) paths.push_back(folder_path(request.target));
  return paths;
}

std::uint64_t TestServer::piece_gets() const {
  std::uint64_t count = 0;
  for (const LoggedRequest& request : requests())
    count += request.raw.starts_with("GET ") && folder_path(request.target).starts_with("c/");
  return count;
}

void TestServer::set_rule(const std::string& path, const ServeRule& rule) {
  if (!state) return;
  std::lock_guard lock(state->mutex);
  state->rules.insert_or_assign(path, rule);
  state->answered.erase(path);
}

std::string TestServer::base_url() const { return url(""); }

std::size_t TestServer::flooded() const { return state ? state->flooded.load() : 0; }

void TestServer::stop() {
  if (!state) return;
  state->stopping.store(true);
  if (state->acceptor.joinable()) state->acceptor.join();
  for (Connection& connection : state->connections) connection.thread.join();
  state->connections.clear();
  if (state->listen_fd >= 0) ::close(state->listen_fd);
  if (state->tls) SSL_CTX_free(state->tls);
  state.reset();
}

TestServer start_server(const ServerOptions& options) {
  // A client that hangs up while TLS data is being written must not end the
  // test program.
  std::signal(SIGPIPE, SIG_IGN);
  TestServer server;
  server.state = std::make_unique<ServerState>();
  ServerState& s = *server.state;
  s.folder = options.folder;

  if (options.tls) {
    s.tls = SSL_CTX_new(TLS_server_method());
    if (!s.tls) {
      server.error = tls_setup_error("cannot make the TLS context");
      return server;
    }
    SSL_CTX_set_min_proto_version(s.tls, TLS1_2_VERSION);
    if (options.tls->max_version) SSL_CTX_set_max_proto_version(s.tls, options.tls->max_version);
    static const unsigned char context[] = "reeftown-test";
    SSL_CTX_set_session_id_context(s.tls, context, sizeof context - 1);
    if (SSL_CTX_use_certificate_chain_file(s.tls, options.tls->cert_file.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(s.tls, options.tls->key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
      server.error = tls_setup_error("cannot load " + options.tls->cert_file);
      return server;
    }
    if (!options.tls->tls12_ciphers.empty() &&
        SSL_CTX_set_cipher_list(s.tls, options.tls->tls12_ciphers.c_str()) != 1) {
      server.error = tls_setup_error("bad cipher list");
      return server;
    }
  }

  s.listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (s.listen_fd < 0 ||
      ::bind(s.listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(s.listen_fd, 64) != 0 ||
      ::getsockname(s.listen_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    server.error = std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno);
    return server;
  }
  s.port = ntohs(address.sin_port);
  s.acceptor = std::thread(accept_loop, std::ref(s));
  return server;
}
