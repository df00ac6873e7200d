#include "support/http_server.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/fetch.hpp"
#include "support/temp_dir.hpp"
#include "support/wait_until.hpp"

namespace fs = std::filesystem;

namespace {

struct FolderTest : ::testing::Test {
  TempDir temp;
  fs::path root = temp.path / "root";
};

TEST_F(FolderTest, ServesFilesBelowTheFolderAndRoutesFirst) {
  write_file(root / "latest.json", "{}\n");
  write_file(root / "c/ab/piece.zst", "zz");
  write_file(temp.path / "secret.txt", "outside");
  TestServer server = start_server({.tls = std::nullopt, .folder = root});
  ASSERT_TRUE(server.error.empty()) << server.error;
  server.route("/routed.json", text_reply("scripted"));
  write_file(root / "routed.json", "from the folder");

  struct Case {
    std::string target;
    std::string body;  // or the error's start
  };
  const std::vector<Case> cases = {
      {"/latest.json", "{}\n"},
      {"/c/ab/piece.zst?x=1", "zz"},
      {"/routed.json", "scripted"},
      {"/missing.json", "status code 404"},
      {"/c/ab", "status code 404"},
      {"/../secret.txt", "status code 404"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const auto got = fetch_bytes(server.base_url() + c.target);
    const std::string text = got ? *got : got.error();
    EXPECT_NE(text.find(c.body), std::string::npos) << text;
  }
  EXPECT_EQ(server.requested_paths().front(), "latest.json");
  EXPECT_EQ(server.requested_paths()[1], "c/ab/piece.zst");
  // "c/ab/piece.zst?x=1" and "c/ab", whatever their answer.
  EXPECT_EQ(server.piece_gets(), 2u);
}

TEST_F(FolderTest, RulesFailDelayAndStallAPath) {
  std::string big(300000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 % 251);
  write_file(root / "c/aa/one.zst", big);
  write_file(root / "c/bb/two.zst", "two");
  TestServer server = start_server({.tls = std::nullopt, .folder = root});
  ASSERT_TRUE(server.error.empty()) << server.error;
  const std::string base = server.base_url();

  server.set_rule("c/bb/two.zst", ServeRule{.delay = std::chrono::milliseconds(0), .fail_status = 503,
                                            .stall_after = std::nullopt, .answer_at_most = std::nullopt});
  const auto failed = fetch_bytes(base + "/c/bb/two.zst");
  ASSERT_FALSE(failed);
  EXPECT_NE(failed.error().find("status code 503"), std::string::npos) << failed.error();

  server.set_rule("c/bb/two.zst", ServeRule{.delay = std::chrono::milliseconds(300), .fail_status = 0,
                                            .stall_after = std::nullopt, .answer_at_most = std::nullopt});
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(fetch_bytes(base + "/c/bb/two.zst").value_or("<error>"), "two");
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));

  server.set_rule("c/aa/one.zst", ServeRule{.delay = std::chrono::milliseconds(0), .fail_status = 0,
                                            .stall_after = 1000, .answer_at_most = std::nullopt});
  AgentSettings impatient = loopback();
  impatient.read_timeout = std::chrono::milliseconds(500);
  const auto stalled = fetch_bytes(base + "/c/aa/one.zst", impatient);
  ASSERT_FALSE(stalled);
  EXPECT_NE(stalled.error().find("after 1000 bytes"), std::string::npos) << stalled.error();
  EXPECT_EQ(server.piece_gets(), 3u);

  // One answer, then a request held until a new rule lets it through.
  server.set_rule("c/bb/two.zst", ServeRule{.delay = std::chrono::milliseconds(0), .fail_status = 0,
                                            .stall_after = std::nullopt, .answer_at_most = 1});
  EXPECT_EQ(fetch_bytes(base + "/c/bb/two.zst").value_or("<error>"), "two");
  std::atomic<bool> answered = false;
  std::jthread held([&] {
    EXPECT_EQ(fetch_bytes(base + "/c/bb/two.zst").value_or("<error>"), "two");
    answered = true;
  });
  wait_until([&] { return server.piece_gets() >= 5; });
  EXPECT_EQ(server.piece_gets(), 5u);
  EXPECT_FALSE(answered.load());
  server.set_rule("c/bb/two.zst", ServeRule{});
  held.join();
  EXPECT_TRUE(answered.load());
}

TEST_F(FolderTest, StopEndsAHeldRequest) {
  write_file(root / "latest.json", "{}\n");
  TestServer server = start_server({.tls = std::nullopt, .folder = root});
  ASSERT_TRUE(server.error.empty()) << server.error;
  server.set_rule("latest.json", ServeRule{.delay = std::chrono::milliseconds(0), .fail_status = 0,
                                           .stall_after = std::nullopt, .answer_at_most = 0});
  std::jthread client([url = server.base_url() + "/latest.json"] { (void)fetch_bytes(url); });
  ASSERT_TRUE(wait_until([&] { return !server.requested_paths().empty(); }));
  const auto started = std::chrono::steady_clock::now();
  server.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace
