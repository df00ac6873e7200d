#include "tools/static_server.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>

#include "support/temp_dir.hpp"
#include "tools/tool_test_helpers.hpp"

namespace fs = std::filesystem;

namespace {

// A connection to 127.0.0.1:`port`, receiving into a buffer of about
// `receive_buffer` bytes when not 0; -1 when none is made.
int connect_to(std::uint16_t port, int receive_buffer = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (receive_buffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sends `request` as it is and returns everything the server says until it
// closes the connection (or a few seconds pass).
std::string raw_exchange(std::uint16_t port, std::string_view request) {
  const int fd = connect_to(port);
  if (fd < 0) return "";
  std::string out;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) break;
      char buf[4096];
      const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
      if (got <= 0) break;
      out.append(buf, static_cast<std::size_t>(got));
    }
  }
  ::close(fd);
  return out;
}

// A GET of latest.json, its query filled up so that the head takes `size` bytes.
std::string sized_request(std::size_t size) {
  const std::string start = "GET /latest.json?", end = " HTTP/1.1\r\nConnection: close\r\n\r\n";
  return start + std::string(size - start.size() - end.size(), 'q') + end;
}

struct ServerTest : ::testing::Test {
  TempDir temp;
  fs::path root = temp.path / "root";
};

TEST_F(ServerTest, AnswersGetHeadAndMissingFiles) {
  write_file(root / "latest.json", "{}\n");
  write_file(root / "c/ab/piece.zst", "zz");
  write_file(temp.path / "secret.txt", "outside");
  fs::create_symlink(temp.path / "secret.txt", root / "link.txt");
  fs::create_symlink(temp.path, root / "up");
  auto server = start_static_server(root);
  ASSERT_TRUE(server) << server.error();
  const std::uint16_t port = server->port();

  struct Case {
    std::string request;
    std::string status_line;
    std::string body;  // expected at the end of the answer
  };
  const std::vector<Case> cases = {
      {"GET /latest.json HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 OK", "\r\n\r\n{}\n"},
      {"HEAD /latest.json HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 OK",
       "Content-Length: 3\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n"},
      {"GET /c/ab/piece.zst?x=1 HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK", "\r\n\r\nzz"},
      {"GET /missing.json HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 404 Not Found", "Not Found\n"},
      {"GET /c/ HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 404 Not Found", "Not Found\n"},
      {"GET /c HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 404 Not Found", "Not Found\n"},
      {"GET /../secret.txt HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 400 Bad Request", "Bad Request\n"},
      {"GET /c/%2e%2e/../secret.txt HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 400 Bad Request",
       "Bad Request\n"},
      {"GET /link.txt HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 404 Not Found", "Not Found\n"},
      {"GET /up/secret.txt HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 404 Not Found", "Not Found\n"},
      {"GET latest.json HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 400 Bad Request", "Bad Request\n"},
      {"POST /latest.json HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "\n"},
      // The longest head taken, and one byte more.
      {sized_request(MAX_REQUEST_HEAD), "HTTP/1.1 200 OK", "\r\n\r\n{}\n"},
      {sized_request(MAX_REQUEST_HEAD + 1), "HTTP/1.1 400 Bad Request", "Bad Request\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    const std::string answer = raw_exchange(port, c.request);
    EXPECT_TRUE(answer.starts_with(c.status_line + "\r\n")) << answer;
    EXPECT_TRUE(answer.ends_with(c.body)) << answer;
    EXPECT_EQ(answer.find("outside"), std::string::npos) << answer;
  }
  // Two requests on one connection, the second one closing it.
  const std::string both = raw_exchange(port,
                                        "GET /latest.json HTTP/1.1\r\n\r\n"
                                        "GET /c/ab/piece.zst HTTP/1.1\r\nConnection: close\r\n\r\n");
  EXPECT_TRUE(both.starts_with("HTTP/1.1 200 OK\r\n")) << both;
  EXPECT_TRUE(both.ends_with("\r\n\r\nzz")) << both;
  EXPECT_NE(both.find("{}\nHTTP/1.1 200 OK\r\n"), std::string::npos) << both;
  // Below "c/" whatever the answer: "?x=1", "c/", the refused "%2e%2e" and
  // the second request of the kept connection.
  EXPECT_EQ(piece_requests(server->requested_paths()), 4u);
}

TEST_F(ServerTest, ServesABigFileWholeToSeveralClients) {
  const std::string big = noise(32 << 20, 3);
  write_file(root / "big.bin", big);
  auto server = start_static_server(root, 0, 3);
  ASSERT_TRUE(server) << server.error();
  const std::string want = sha256_of(big);
  std::array<std::string, 3> got;
  {
    std::vector<std::jthread> clients;
    for (std::string& out : got)
      clients.emplace_back([&out, url = server->base_url() + "/big.bin"] {
        auto body = fetch_bytes(url);
        out = body ? sha256_of(*body) : body.error();
      });
  }
  for (const std::string& g : got) EXPECT_EQ(g, want);
  EXPECT_EQ(server->requested_paths(), std::vector<std::string>(3, "big.bin"));
}

TEST_F(ServerTest, IdleAndTricklingClientsLeaveRoomForOthers) {
  write_file(root / "latest.json", "{}\n");
  // Two answering threads against many more connections that never finish
  // their request head: silent ones and ones sending a byte now and then.
  auto server = start_static_server(root, 0, 2);
  ASSERT_TRUE(server) << server.error();
  std::vector<int> silent, trickling;
  for (int i = 0; i < 24; ++i) silent.push_back(connect_to(server->port()));
  for (int i = 0; i < 8; ++i) trickling.push_back(connect_to(server->port()));
  std::atomic<bool> done{false};
  std::jthread trickle([&] {
    while (!done) {
      for (const int fd : trickling) ::send(fd, "G", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });

  // Well inside the 15 s that each of them may take for its head.
  AgentSettings impatient = loopback();
  impatient.read_timeout = std::chrono::seconds(3);
  for (int round = 0; round < 3; ++round)
    EXPECT_EQ(fetch_bytes(server->base_url() + "/latest.json", impatient).value_or("<error>"), "{}\n");
  done = true;
  trickle.join();
  for (const int fd : silent) EXPECT_GE(fd, 0);
  for (const int fd : silent) ::close(fd);
  for (const int fd : trickling) ::close(fd);
}

TEST_F(ServerTest, AHeadMustBeWholeInTime) {
  write_file(root / "latest.json", "{}\n");
  auto server = start_static_server(root, 0, 2, ServeSettings{.keep_log = true,
                                                              .head_deadline = std::chrono::milliseconds(300)});
  ASSERT_TRUE(server) << server.error();

  // How long the server keeps a connection whose client sends `first`, then
  // one byte of a head every `every` (zero: nothing more); at most 10 s.
  const auto kept_for = [&](std::string_view first, std::chrono::milliseconds every) {
    const int fd = connect_to(server->port());
    const auto started = std::chrono::steady_clock::now();
    ::send(fd, first.data(), first.size(), MSG_NOSIGNAL);
    std::string answers;
    while (std::chrono::steady_clock::now() - started < std::chrono::seconds(10)) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, every.count() > 0 ? static_cast<int>(every.count()) : 100) > 0) {
        char buf[4096];
        const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
        if (got <= 0) break;
        answers.append(buf, static_cast<std::size_t>(got));
      } else if (every.count() > 0) {
        ::send(fd, "x", 1, MSG_NOSIGNAL);
      }
    }
    ::close(fd);
    return std::pair(std::chrono::steady_clock::now() - started, answers);
  };
  struct Case {
    std::string name;
    std::string first;
    std::chrono::milliseconds every;
    std::string answered;
  };
  const std::vector<Case> cases = {
      {"silent", "", std::chrono::milliseconds(0), ""},
      {"trickling", "GET /latest.json HTTP/1.1\r\nX-Slow: ", std::chrono::milliseconds(30), ""},
      {"idle after an answer", "GET /latest.json HTTP/1.1\r\n\r\n", std::chrono::milliseconds(0), "{}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto [kept, answers] = kept_for(c.first, c.every);
    EXPECT_LT(kept, std::chrono::seconds(5));
    EXPECT_TRUE(answers.ends_with(c.answered)) << answers;
  }
}

TEST_F(ServerTest, KeepsTheRequestLogOnlyWhenAsked) {
  write_file(root / "c/ab/piece.zst", "zz");
  for (const bool keep : {true, false}) {
    SCOPED_TRACE(keep);
    auto server = start_static_server(root, 0, 2, ServeSettings{.keep_log = keep});
    ASSERT_TRUE(server) << server.error();
    EXPECT_EQ(fetch_bytes(server->base_url() + "/c/ab/piece.zst").value_or("<error>"), "zz");
    EXPECT_EQ(server->requested_paths(), keep ? std::vector<std::string>{"c/ab/piece.zst"} : std::vector<std::string>{});
  }
}

TEST_F(ServerTest, StopEndsAStalledConnectionAndRefusesABadRoot) {
  // More than the socket buffers hold, to a client that reads none of it:
  // the answering thread waits to write until stop() ends the wait.
  write_file(root / "slow.bin", noise(32 << 20, 5));
  auto server = start_static_server(root);
  ASSERT_TRUE(server) << server.error();
  const int client = connect_to(server->port(), 4096);
  ASSERT_GE(client, 0);
  const std::string_view request = "GET /slow.bin HTTP/1.1\r\n\r\n";
  ASSERT_EQ(::send(client, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  // Once the answer has begun to arrive, the rest waits in full buffers.
  for (int pending = 0; pending == 0;) {
    pollfd p{client, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    ::ioctl(client, FIONREAD, &pending);
  }
  ASSERT_FALSE(server->requested_paths().empty());
  const auto started = std::chrono::steady_clock::now();
  server->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  ::close(client);

  const auto missing = start_static_server(temp.path / "none");
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().find("cannot open the folder"), std::string::npos) << missing.error();
}

}  // namespace
