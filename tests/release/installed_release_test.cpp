#include "release/installed_release.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "release/install_layout.hpp"
#include "support/temp_dir.hpp"
#include "support/test_key.hpp"

namespace {

constexpr std::string_view JSON =
    "{\n  \"version\": \"2.0.1\",\n  \"files\": [{\"p\": \"ReefTown.exe\", \"n\": 1}]\n}\n";

struct FolderCase {
  const char* name;
  std::optional<std::string> json;  // content of the manifest file, none: no file
  std::optional<std::string> sig;
  bool loads;
};

TEST(LoadInstalledRelease, OnlyAVerifiedPairOfValidFiles) {
  const std::string sig = test_sign_hex(JSON) + "\n";
  std::string one_byte(JSON);
  one_byte[one_byte.find("2.0.1")] = '3';
  std::string crlf;
  for (char c : JSON) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  // Latin-1 bytes in a string: the signature covers them, but they are no UTF-8.
  const std::string latin1 = "{\"version\": \"caf\xE9\", \"files\": []}";

  const std::vector<FolderCase> cases = {
      {"good", std::string(JSON), sig, true},
      {"nothing installed", std::nullopt, std::nullopt, false},
      {"no signature", std::string(JSON), std::nullopt, false},
      {"signature only", std::nullopt, sig, false},
      {"one byte changed", one_byte, sig, false},
      {"LF to CR LF", crlf, sig, false},
      {"signature of other bytes", std::string(JSON), test_sign_hex("{}") + "\n", false},
      {"not UTF-8, signed as it is", latin1, test_sign_hex(latin1), false},
  };
  for (const FolderCase& c : cases) {
    TempDir dir;
    if (c.json) write_file(dir.path / MANIFEST_FILE, *c.json);
    if (c.sig) write_file(dir.path / SIGNATURE_FILE, *c.sig);
    const auto info = load_installed_release(dir.path, TEST_PUBLIC_KEY_HEX);
    ASSERT_EQ(info.has_value(), c.loads) << c.name;
    if (info) {
      EXPECT_EQ(info->manifest_json, *c.json) << c.name;
      EXPECT_EQ(info->manifest_sig, *c.sig) << c.name;
      EXPECT_EQ(info->version, "2.0.1") << c.name;
    }
  }
}

TEST(LoadInstalledRelease, MissingFolder) {
  TempDir dir;
  EXPECT_FALSE(load_installed_release(dir.path / "absent", TEST_PUBLIC_KEY_HEX).has_value());
}

// Names of the files opened in `folder` while `action` runs.
std::vector<std::string> files_opened(const std::filesystem::path& folder,
                                      const std::function<void()>& action) {
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch < 0 || ::inotify_add_watch(watch, folder.c_str(), IN_OPEN) < 0) {
    if (watch >= 0) ::close(watch);
    ADD_FAILURE() << "cannot watch " << folder;
    return {};
  }
  action();
  std::vector<std::string> names;
  alignas(inotify_event) char buf[4096];
  for (;;) {
    const ssize_t n = ::read(watch, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buf + at);
      if (event->len > 0) names.emplace_back(event->name);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  ::close(watch);
  return names;
}

TEST(LoadInstalledRelease, TheSignatureIsOpenedOnlyAfterAReadableManifest) {
  const std::string sig = test_sign_hex(JSON);
  struct Case {
    const char* name;
    std::optional<std::string> json;
    bool sig_opened;
  };
  const std::vector<Case> cases = {
      {"good pair", std::string(JSON), true},
      {"no manifest", std::nullopt, false},
      {"manifest not UTF-8", std::string("{\"files\": [], \"v\": \"\xFF\"}"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (c.json) write_file(dir.path / MANIFEST_FILE, *c.json);
    write_file(dir.path / SIGNATURE_FILE, sig);
    bool loaded = false;
    const auto opened = files_opened(dir.path, [&] {
      loaded = load_installed_release(dir.path, TEST_PUBLIC_KEY_HEX).has_value();
    });
    EXPECT_EQ(loaded, c.sig_opened);
    EXPECT_EQ(std::count(opened.begin(), opened.end(), std::string(SIGNATURE_FILE)) > 0,
              c.sig_opened);
  }
}

TEST(LoadInstalledRelease, OnlyRegularFilesAreRead) {
  const std::string sig = test_sign_hex(JSON) + "\n";
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> make;
    bool loads;
  };
  const auto fifo = [](const std::filesystem::path& path) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
  };
  const std::vector<Case> cases = {
      // Opening a FIFO for reading would wait for a writer that never comes.
      {"manifest is a FIFO",
       [&](const std::filesystem::path& dir) {
         fifo(dir / MANIFEST_FILE);
         write_file(dir / SIGNATURE_FILE, sig);
       },
       false},
      {"signature is a FIFO",
       [&](const std::filesystem::path& dir) {
         write_file(dir / MANIFEST_FILE, JSON);
         fifo(dir / SIGNATURE_FILE);
       },
       false},
      {"manifest is a folder",
       [&](const std::filesystem::path& dir) {
         std::filesystem::create_directory(dir / MANIFEST_FILE);
         write_file(dir / SIGNATURE_FILE, sig);
       },
       false},
      {"manifest behind a symbolic link",
       [&](const std::filesystem::path& dir) {
         write_file(dir / "elsewhere.json", JSON);
         std::filesystem::create_symlink("elsewhere.json", dir / MANIFEST_FILE);
         write_file(dir / SIGNATURE_FILE, sig);
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    c.make(dir.path);
    auto load = std::async(std::launch::async,
                           [&] { return load_installed_release(dir.path, TEST_PUBLIC_KEY_HEX); });
    if (load.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      // Let a reader that waits on a FIFO go, so that the test can end.
      for (const auto name : {MANIFEST_FILE, SIGNATURE_FILE}) {
        const int fd = ::open((dir.path / name).c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
      }
      ADD_FAILURE() << "the load waited";
    }
    EXPECT_EQ(load.get().has_value(), c.loads);
  }
}

// Bytes that this process has read so far, from its I/O account.
std::optional<std::uint64_t> bytes_read_by_process() {
  std::ifstream io("/proc/self/io");
  for (std::string key; io >> key;) {
    std::uint64_t value = 0;
    if (!(io >> value)) break;
    if (key == "rchar:") return value;
  }
  return std::nullopt;
}

// Neither file is read past what the server could ever have sent; a larger
// one counts as unreadable, and a huge one is refused without being read.
TEST(LoadInstalledRelease, FilesPastTheirLimitAreNotRead) {
  // The release information padded with blanks to `size` bytes, and its signature.
  const auto padded_json = [](std::size_t size) {
    std::string json(JSON);
    json.resize(size, ' ');
    return json;
  };
  const auto padded_sig = [](std::string_view json, std::size_t size) {
    std::string sig = test_sign_hex(json);
    sig.resize(size, '\n');
    return sig;
  };
  const std::string json_at_limit = padded_json(INSTALLED_MANIFEST_LIMIT);
  const std::string json_past_limit = padded_json(INSTALLED_MANIFEST_LIMIT + 1);
  struct Case {
    const char* name;
    std::string json;
    std::string sig;
    std::uint64_t sparse_json_size;  // when not 0: the manifest is a sparse file this large
    bool loads;
  };
  const std::vector<Case> cases = {
      {"manifest at its limit", json_at_limit, padded_sig(json_at_limit, 200), 0, true},
      {"manifest one byte past", json_past_limit, padded_sig(json_past_limit, 200), 0, false},
      {"signature at its limit", std::string(JSON), padded_sig(JSON, INSTALLED_SIGNATURE_LIMIT), 0,
       true},
      {"signature one byte past", std::string(JSON), padded_sig(JSON, INSTALLED_SIGNATURE_LIMIT + 1),
       0, false},
      {"manifest of 3 GiB", "", test_sign_hex(JSON), 3ull << 30, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir.path / MANIFEST_FILE, c.json);
    write_file(dir.path / SIGNATURE_FILE, c.sig);
    if (c.sparse_json_size != 0)
      std::filesystem::resize_file(dir.path / MANIFEST_FILE, c.sparse_json_size);
    const auto read_before = bytes_read_by_process();
    auto load = std::async(std::launch::async,
                           [&] { return load_installed_release(dir.path, TEST_PUBLIC_KEY_HEX); });
    ASSERT_EQ(load.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(load.get().has_value(), c.loads);
    const auto read_after = bytes_read_by_process();
    ASSERT_TRUE(read_before && read_after) << "no I/O account in /proc/self/io";
    // One byte past each limit would be enough to tell; a little slack for
    // whatever else the process reads meanwhile.
    EXPECT_LE(*read_after - *read_before,
              INSTALLED_MANIFEST_LIMIT + INSTALLED_SIGNATURE_LIMIT + 2 + 65536);
  }
}

}  // namespace
