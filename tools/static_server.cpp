#include "tools/static_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/errno_text.hpp"

namespace {

using Clock = std::chrono::steady_clock;
// How long a thread that answered a request waits for the client's next one
// before it hands the connection back to the door: a client that goes on at
// once is served without a hand-over, and an idle one holds no thread.
constexpr int NEXT_REQUEST_MS = 20;
// A client that takes nothing of a response for this long is dropped.
constexpr int WRITE_PATIENCE_MS = 60000;
// Most bytes handed to one sendfile call.
constexpr std::size_t SENDFILE_STEP = std::size_t{1} << 30;

// One client connection between its requests.
struct Connection {
  int fd = -1;
  std::string buffer;  // received and not yet answered
  Clock::time_point deadline;  // for the whole next request head
};

}  // namespace

struct StaticServerState {
  int root_fd = -1;
  int listen_fd = -1;
  int wake_fd = -1;  // an eventfd that turns readable when stop begins, and stays so
  int door_fd = -1;  // an eventfd: a worker gave a connection back or closed one
  std::uint16_t port = 0;
  ServeSettings settings;
  std::size_t max_connections = 0;
  std::thread door;  // accepts connections and waits for their request heads
  std::vector<std::thread> workers;
  std::atomic<std::size_t> open_connections{0};

  mutable std::mutex mutex;
  std::vector<std::string> log;

  // Hand-over between the door and the workers.
  std::mutex queue_mutex;
  std::condition_variable queue_changed;
  bool stopping = false;
  std::deque<Connection> ready;         // a whole head (or too long a one) received
  std::vector<Connection> given_back;   // answered; the door waits for the next head
};

namespace {

enum class Wait { ready, stop, timeout };

// Waits until `fd` shows one of `events` (any event when `fd` is -1 never
// comes), the server stops, or `timeout_ms` passes (-1: no time limit).
Wait wait_for(const StaticServerState& s, int fd, short events, int timeout_ms) {
  for (;;) {
    pollfd p[2] = {{s.wake_fd, POLLIN, 0}, {fd, events, 0}};
    const int n = ::poll(p, fd >= 0 ? 2 : 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Wait::stop;
    if (p[0].revents != 0) return Wait::stop;
    if (n == 0) return Wait::timeout;
    return Wait::ready;
  }
}

bool send_all(const StaticServerState& s, int fd, std::string_view data, bool more) {
  while (!data.empty()) {
    const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | (more ? MSG_MORE : 0));
    if (sent > 0) {
      data.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (wait_for(s, fd, POLLOUT, WRITE_PATIENCE_MS) != Wait::ready) return false;
      continue;
    }
    return false;
  }
  return true;
}

// `count` bytes of `file` from its start.
bool send_file(const StaticServerState& s, int fd, int file, std::uint64_t count) {
  off_t offset = 0;
  while (count > 0) {
    const ssize_t sent = ::sendfile(fd, file, &offset, std::min<std::uint64_t>(count, SENDFILE_STEP));
    if (sent > 0) {
      count -= static_cast<std::uint64_t>(sent);
      continue;
    }
    // The file shrank under us: the announced length cannot be kept.
    if (sent == 0) return false;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (wait_for(s, fd, POLLOUT, WRITE_PATIENCE_MS) != Wait::ready) return false;
      continue;
    }
    return false;
  }
  return true;
}

const char* reason_phrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

std::string response_head(int status, std::uint64_t length, bool keep_alive) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason_phrase(status) + "\r\n";
  head += "Content-Length: " + std::to_string(length) + "\r\n";
  if (status == 200) head += "Content-Type: application/octet-stream\r\n";
  if (status == 405) head += "Allow: GET, HEAD\r\n";
  head += keep_alive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
  return head;
}

// A status with a short text body; true when the connection may go on.
bool send_status(const StaticServerState& s, int fd, int status, bool head_only, bool keep_alive) {
  const std::string body = status == 200 ? "" : std::string(reason_phrase(status)) + "\n";
  std::string out = response_head(status, body.size(), keep_alive);
  if (!head_only) out += body;
  return send_all(s, fd, out, false) && keep_alive;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The path of an origin-form target below the root, percent escapes decoded,
// without its leading "/", query and fragment; none for a malformed target.
std::optional<std::string> target_path(std::string_view target) {
  if (target.empty() || target.front() != '/') return std::nullopt;
  const std::size_t cut = target.find_first_of("?#");
  target = target.substr(1, cut == std::string_view::npos ? std::string_view::npos : cut - 1);
  std::string path;
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target[i] != '%') {
      path += target[i];
      continue;
    }
    if (i + 2 >= target.size()) return std::nullopt;
    const int high = hex_value(target[i + 1]);
    const int low = hex_value(target[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    const char c = static_cast<char>(high * 16 + low);
    if (c == '\0') return std::nullopt;
    path += c;
    i += 2;
  }
  return path;
}

struct Opened {
  int fd = -1;
  int status = 200;  // 404 or 400 when fd is -1
};

// Opens the regular file `path` below the root one name at a time, never
// following a link, so nothing outside the root can be reached.
Opened open_below(int root_fd, std::string_view path) {
  std::vector<std::string> names;
  for (std::size_t start = 0;;) {
    const std::size_t slash = path.find('/', start);
    names.emplace_back(path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  for (const std::string& name : names) {
    if (name == "." || name == "..") return {.fd = -1, .status = 400};
    if (name.empty()) return {.fd = -1, .status = 404};
  }
  int dir = root_fd;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    const int next = ::openat(dir, names[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir != root_fd) ::close(dir);
    if (next < 0) return {.fd = -1, .status = 404};
    dir = next;
  }
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  const int file = ::openat(dir, names.back().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (dir != root_fd) ::close(dir);
  if (file < 0) return {.fd = -1, .status = 404};
  struct stat st {};
  if (::fstat(file, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(file);
    return {.fd = -1, .status = 404};
  }
  return {.fd = file, .status = 200};
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Answers one request whose head (without the blank line) is `head`; true
// when the connection may carry another request.
bool answer(StaticServerState& s, int fd, std::string_view head) {
  const std::size_t line_end = head.find("\r\n");
  const std::string_view request_line = head.substr(0, line_end);
  const std::size_t sp1 = request_line.find(' ');
  const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : request_line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) return send_status(s, fd, 400, false, false);
  const std::string_view method = request_line.substr(0, sp1);
  const std::string_view target = request_line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = request_line.substr(sp2 + 1);
  if (version != "HTTP/1.1" && version != "HTTP/1.0") return send_status(s, fd, 400, false, false);

  bool keep_alive = version == "HTTP/1.1";
  bool has_body = false;
  std::string_view rest = line_end == std::string_view::npos ? std::string_view() : head.substr(line_end + 2);
  while (!rest.empty()) {
    const std::size_t end = rest.find("\r\n");
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string name = lower(trim(line.substr(0, colon)));
    const std::string value = lower(trim(line.substr(colon + 1)));
    if (name == "connection" && value.find("close") != std::string::npos) keep_alive = false;
    if (name == "connection" && value.find("keep-alive") != std::string::npos) keep_alive = true;
    if ((name == "content-length" && value != "0") || name == "transfer-encoding") has_body = true;
  }
  const bool head_only = method == "HEAD";

  const std::optional<std::string> path = target_path(target);
  if (s.settings.keep_log) {
    std::lock_guard lock(s.mutex);
    s.log.push_back(path ? *path : std::string(target));
  }

  // A body is not read, so what follows it cannot be trusted as a request.
  if (has_body) return send_status(s, fd, 400, head_only, false);
  if (method != "GET" && method != "HEAD") return send_status(s, fd, 405, false, keep_alive);
  if (!path) return send_status(s, fd, 400, head_only, false);

  const Opened opened = open_below(s.root_fd, *path);
  if (opened.fd < 0) return send_status(s, fd, opened.status, head_only, keep_alive);
  struct stat st {};
  ::fstat(opened.fd, &st);
  const auto size = static_cast<std::uint64_t>(st.st_size);
  bool ok = send_all(s, fd, response_head(200, size, keep_alive), !head_only && size > 0);
  if (ok && !head_only) ok = send_file(s, fd, opened.fd, size);
  ::close(opened.fd);
  return ok && keep_alive;
}

enum class Head { whole, partial, too_long };

// Where the first request head in `buffer` ends (after its blank line).
Head find_head(const std::string& buffer, std::size_t& end) {
  const std::size_t at = buffer.find("\r\n\r\n");
  if (at != std::string::npos) {
    end = at + 4;
    return end <= MAX_REQUEST_HEAD ? Head::whole : Head::too_long;
  }
  return buffer.size() >= MAX_REQUEST_HEAD ? Head::too_long : Head::partial;
}

// Reads and drops what the client still sends, for a short while, so that
// closing with unread bytes does not reset the connection before the client
// has read the answer.
void drain_before_close(const StaticServerState& s, int fd) {
  ::shutdown(fd, SHUT_WR);
  const Clock::time_point until = Clock::now() + std::chrono::seconds(1);
  for (std::size_t dropped = 0; dropped < (std::size_t{1} << 20);) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0 || wait_for(s, fd, POLLIN, static_cast<int>(left)) != Wait::ready) return;
    char sink[8192];
    const ssize_t got = ::recv(fd, sink, sizeof sink, 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return;
    if (got > 0) dropped += static_cast<std::size_t>(got);
  }
}

// Answers every whole request in the connection's buffer; true when the
// connection stays open for another one.
bool answer_buffered(StaticServerState& s, Connection& c) {
  for (;;) {
    std::size_t end = 0;
    switch (find_head(c.buffer, end)) {
      case Head::partial:
        return true;
      case Head::too_long:
        send_status(s, c.fd, 400, false, false);
        drain_before_close(s, c.fd);
        return false;
      case Head::whole:
        break;
    }
    const std::string head = c.buffer.substr(0, end - 4);
    c.buffer.erase(0, end);
    if (!answer(s, c.fd, head)) return false;
  }
}

void close_connection(StaticServerState& s, int fd) {
  ::close(fd);
  s.open_connections.fetch_sub(1);
}

void poke(int event_fd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t wrote = ::write(event_fd, &one, sizeof one);
}

// Reads what `c` has sent so far; false when the client is gone.
bool receive(Connection& c) {
  for (;;) {
    char chunk[8192];
    const ssize_t got = ::recv(c.fd, chunk, sizeof chunk, 0);
    if (got > 0) {
      c.buffer.append(chunk, static_cast<std::size_t>(got));
      // A head is never longer: what follows waits in the socket.
      if (c.buffer.size() >= MAX_REQUEST_HEAD) return true;
      continue;
    }
    if (got == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

void worker(StaticServerState& s) {
  // sendfile to a socket the client has closed raises SIGPIPE; in this
  // thread it only makes the call fail.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

  for (;;) {
    Connection c;
    {
      std::unique_lock lock(s.queue_mutex);
      s.queue_changed.wait(lock, [&] { return s.stopping || !s.ready.empty(); });
      if (s.stopping) return;
      c = std::move(s.ready.front());
      s.ready.pop_front();
    }
    bool open = answer_buffered(s, c);
    std::size_t end = 0;
    while (open && wait_for(s, c.fd, POLLIN, NEXT_REQUEST_MS) == Wait::ready) {
      open = receive(c);
      if (!open || find_head(c.buffer, end) == Head::partial) break;
      open = answer_buffered(s, c);
    }
    if (open) {
      c.deadline = Clock::now() + s.settings.head_deadline;
      std::lock_guard lock(s.queue_mutex);
      s.given_back.push_back(std::move(c));
    } else {
      close_connection(s, c.fd);
    }
    poke(s.door_fd);
  }
}

// The door: accepts connections and watches every one that waits for its
// next request head, handing it to the workers once the head is whole.
void door(StaticServerState& s) {
  std::vector<Connection> waiting;
  std::vector<pollfd> polled;
  for (;;) {
    {
      std::lock_guard lock(s.queue_mutex);
      for (Connection& c : s.given_back) waiting.push_back(std::move(c));
      s.given_back.clear();
    }
    std::uint64_t pokes = 0;
    [[maybe_unused]] const ssize_t got = ::read(s.door_fd, &pokes, sizeof pokes);

    // A connection that has not sent a whole head in time is closed, however
    // slowly it keeps sending.
    const Clock::time_point now = Clock::now();
    std::erase_if(waiting, [&](const Connection& c) {
      if (c.deadline > now) return false;
      close_connection(s, c.fd);
      return true;
    });
    const bool accepting = s.open_connections.load() < s.max_connections;
    polled.clear();
    polled.push_back({s.wake_fd, POLLIN, 0});
    polled.push_back({s.door_fd, POLLIN, 0});
    polled.push_back({accepting ? s.listen_fd : -1, POLLIN, 0});
    int timeout_ms = -1;
    for (const Connection& c : waiting) {
      polled.push_back({c.fd, POLLIN, 0});
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(c.deadline - now).count();
      timeout_ms = static_cast<int>(timeout_ms < 0 ? left : std::min<long long>(timeout_ms, left));
    }
    if (::poll(polled.data(), polled.size(), timeout_ms) < 0 && errno != EINTR) break;
    if (polled[0].revents != 0) break;

    std::vector<Connection> kept;
    kept.reserve(waiting.size());
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      Connection& c = waiting[i];
      if (polled[3 + i].revents == 0) {
        kept.push_back(std::move(c));
        continue;
      }
      std::size_t end = 0;
      if (!receive(c)) {
        close_connection(s, c.fd);
      } else if (find_head(c.buffer, end) == Head::partial) {
        kept.push_back(std::move(c));
      } else {
        std::lock_guard lock(s.queue_mutex);
        s.ready.push_back(std::move(c));
        s.queue_changed.notify_one();
      }
    }
    waiting = std::move(kept);

    while (polled[2].revents != 0 && s.open_connections.load() < s.max_connections) {
      const int fd = ::accept4(s.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        // Out of descriptors: wait a little instead of spinning.
        if (errno == EMFILE || errno == ENFILE) wait_for(s, -1, 0, 100);
        break;  // else none left, or the client left
      }
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      s.open_connections.fetch_add(1);
      waiting.push_back(Connection{.fd = fd, .buffer = {}, .deadline = Clock::now() + s.settings.head_deadline});
    }
  }
  for (const Connection& c : waiting) close_connection(s, c.fd);
}

// Connections the process can hold open: its descriptor limit less room for
// the files being served and the server's own descriptors.
std::size_t connection_limit(unsigned threads) {
  rlimit limit{};
  const std::size_t reserve = 32 + 2 * std::size_t{threads};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 4096;
  return limit.rlim_cur > reserve + threads ? limit.rlim_cur - reserve : threads;
}

}  // namespace

StaticServer::StaticServer() = default;
StaticServer::StaticServer(StaticServer&&) noexcept = default;
StaticServer& StaticServer::operator=(StaticServer&& other) noexcept {
  if (this != &other) {
    stop();
    state = std::move(other.state);
  }
  return *this;
}
StaticServer::~StaticServer() { stop(); }

std::uint16_t StaticServer::port() const { return state ? state->port : 0; }

std::string StaticServer::base_url() const { return "http://127.0.0.1:" + std::to_string(port()); }

std::vector<std::string> StaticServer::requested_paths() const {
  if (!state) return {};
  std::lock_guard lock(state->mutex);
  return state->log;
}

void StaticServer::stop() {
  if (!state) return;
  if (state->wake_fd >= 0) poke(state->wake_fd);
  {
    std::lock_guard lock(state->queue_mutex);
    state->stopping = true;
  }
  state->queue_changed.notify_all();
  if (state->door.joinable()) state->door.join();
  for (std::thread& t : state->workers) t.join();
  state->workers.clear();
  for (Connection& c : state->ready) close_connection(*state, c.fd);
  for (Connection& c : state->given_back) close_connection(*state, c.fd);
  state->ready.clear();
  state->given_back.clear();
  for (int* fd : {&state->listen_fd, &state->wake_fd, &state->door_fd, &state->root_fd}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

std::expected<StaticServer, ErrorText> start_static_server(const std::filesystem::path& root, std::uint16_t port,
                                                           unsigned threads, ServeSettings settings) {
  StaticServer server;
  server.state = std::make_unique<StaticServerState>();
  StaticServerState& s = *server.state;
  threads = std::max(threads, 1u);
  s.settings = settings;
  s.max_connections = connection_limit(threads);

  s.root_fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (s.root_fd < 0) return std::unexpected("cannot open the folder \"" + root.string() + "\" (" + errno_text(errno) + ")");
  s.wake_fd = ::eventfd(0, EFD_CLOEXEC);
  if (s.wake_fd < 0) return std::unexpected("cannot make an eventfd (" + errno_text(errno) + ")");
  s.door_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (s.door_fd < 0) return std::unexpected("cannot make an eventfd (" + errno_text(errno) + ")");

  const std::string where = "127.0.0.1:" + std::to_string(port);
  s.listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s.listen_fd < 0) return std::unexpected("cannot listen on " + where + " (" + errno_text(errno) + ")");
  const int one = 1;
  ::setsockopt(s.listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  socklen_t len = sizeof addr;
  if (::bind(s.listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s.listen_fd, 512) != 0 ||
      ::getsockname(s.listen_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return std::unexpected("cannot listen on " + where + " (" + errno_text(errno) + ")");
  s.port = ntohs(addr.sin_port);

  try {
    s.door = std::thread(door, std::ref(s));
    for (unsigned i = 0; i < threads; ++i) s.workers.emplace_back(worker, std::ref(s));
  } catch (const std::system_error& e) {
    return std::unexpected("cannot start a server thread (" + std::string(e.what()) + ")");
  }
  return server;
}
