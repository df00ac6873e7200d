#include "lib/hexdigest.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

#include <openssl/evp.h>

#include "platform/unique_fd.hpp"

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";

// UTF-8 forms of the 25 code points with the Unicode White_Space property.
constexpr std::string_view WHITE_SPACE[] = {
    "\x09", "\x0A", "\x0B", "\x0C", "\x0D", "\x20",
    "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",
    "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80",
};

std::size_t white_space_prefix(std::string_view text) {
  for (std::string_view ws : WHITE_SPACE)
    if (text.starts_with(ws)) return ws.size();
  return 0;
}

std::size_t white_space_suffix(std::string_view text) {
  for (std::string_view ws : WHITE_SPACE)
    if (text.ends_with(ws)) return ws.size();
  return 0;
}

std::string_view trim_white_space(std::string_view text) {
  while (std::size_t n = white_space_prefix(text)) text.remove_prefix(n);
  while (std::size_t n = white_space_suffix(text)) text.remove_suffix(n);
  return text;
}

std::optional<std::uint8_t> hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

std::string hex_byte(std::uint8_t byte) {
  return std::string{HEX_DIGITS[byte >> 4], HEX_DIGITS[byte & 0x0f]};
}

std::string hex_encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) out += hex_byte(b);
  return out;
}

std::string digest_hex(const std::array<std::uint8_t, 32>& digest) {
  return hex_encode(digest);
}

std::optional<std::uint8_t> hex_decode_pair(HexDecodeState& state) {
  if (state.pos >= state.text.size()) return std::nullopt;
  if (state.text.size() - state.pos < 2) {
    state.error = true;
    return std::nullopt;
  }
  const char first = state.text[state.pos];
  const char second = state.text[state.pos + 1];
  state.pos += 2;
  const auto low = hex_digit_value(second);
  if (!low) {
    state.error = true;
    return std::nullopt;
  }
  // A leading '+' is the sign of an unsigned number: the pair is one digit.
  if (first == '+') return *low;
  const auto high = hex_digit_value(first);
  if (!high) {
    state.error = true;
    return std::nullopt;
  }
  return static_cast<std::uint8_t>(*high * 16 + *low);
}

std::optional<std::vector<std::uint8_t>> hex_decode(std::string_view text) {
  const std::string_view trimmed = trim_white_space(text);
  if (trimmed.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(trimmed.size() / 2);
  HexDecodeState state{trimmed, 0, false};
  // Bytes outside ASCII are never hex digits, so they fail as bad pairs.
  while (auto byte = hex_decode_pair(state)) out.push_back(*byte);
  if (state.error) return std::nullopt;
  return out;
}

std::string sha256_hex(std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != digest.size())
    return {};
  return digest_hex(digest);
}

std::string sha256_hex(std::string_view bytes) {
  return sha256_hex({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

std::expected<std::string, std::error_code> sha256_file_hex(const std::filesystem::path& path) {
  // The system call would stop at a NUL and open some other, shorter path.
  if (path.native().find('\0') != std::string::npos)
    return std::unexpected(std::make_error_code(std::errc::invalid_argument));
  // Without O_NONBLOCK the open of a FIFO would wait for a writer. The file
  // may have been swapped since the caller looked at it, so what was opened
  // is checked, not what stood there before.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::unexpected(std::error_code(errno, std::system_category()));
  UniqueFd closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::unexpected(std::error_code(errno, std::system_category()));
  if (!S_ISREG(info.st_mode))
    return std::unexpected(std::make_error_code(std::errc::invalid_argument));
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return sha256_fd_hex(fd);
}

std::expected<std::string, std::error_code> sha256_fd_hex(int fd) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
    return std::unexpected(std::make_error_code(std::errc::not_enough_memory));

  // No larger than the file needs (one byte more, so that the read that
  // finds the end needs no second round), and not zero-filled: many small
  // files do not each pay for a whole block.
  std::size_t size = HASH_READ_SIZE;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0 &&
      static_cast<std::uint64_t>(info.st_size) < HASH_READ_SIZE)
    size = static_cast<std::size_t>(info.st_size) + 1;
  std::unique_ptr<std::uint8_t[]> buffer;
  try {
    buffer = std::make_unique_for_overwrite<std::uint8_t[]>(size);
  } catch (const std::bad_alloc&) {
    return std::unexpected(std::make_error_code(std::errc::not_enough_memory));
  }
  for (;;) {
    const ssize_t n = ::read(fd, buffer.get(), size);
    if (n < 0) return std::unexpected(std::error_code(errno, std::system_category()));
    if (n == 0) break;
    if (EVP_DigestUpdate(ctx.get(), buffer.get(), static_cast<std::size_t>(n)) != 1)
      return std::unexpected(std::make_error_code(std::errc::io_error));
  }
  // A digest the library did not finish is no digest: never hand out zeros.
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1 || length != digest.size())
    return std::unexpected(std::make_error_code(std::errc::io_error));
  return digest_hex(digest);
}
