#include "release/installed_release.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
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

TEST(LoadInstalledRelease, WithoutTheManifestTheSignatureIsNotOpened) {
  TempDir dir;
  // Opening a FIFO for reading blocks until a writer comes, so an open shows.
  const auto fifo = dir.path / SIGNATURE_FILE;
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto load = std::async(std::launch::async, [&] { return load_installed_release(dir.path, TEST_PUBLIC_KEY_HEX); });
  if (load.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    const int fd = ::open(fifo.c_str(), O_WRONLY);  // let the reader go
    if (fd >= 0) ::close(fd);
    FAIL() << "the signature file was opened";
  }
  EXPECT_FALSE(load.get().has_value());
}

}  // namespace
