// Lower-case hex text of bytes and SHA-256 digests, hex decoding, and the
// SHA-256 of a whole file. Every digest the program compares is text made
// here, so the output is always lower case. No state: safe on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

// Largest read of sha256_file_hex; a smaller file gets a buffer of its size.
inline constexpr std::size_t HASH_READ_SIZE = 4194304;

std::string hex_byte(std::uint8_t byte);
std::string hex_encode(std::span<const std::uint8_t> bytes);
std::string digest_hex(const std::array<std::uint8_t, 32>& digest);

// The state that hex_decode walks: the trimmed text, the next position and
// whether a bad pair was met.
struct HexDecodeState {
  std::string_view text;
  std::size_t pos = 0;
  bool error = false;
};

// The next pair of `state.text` as a byte; none at the end of the text, or at
// a bad pair, which also sets `state.error`.
std::optional<std::uint8_t> hex_decode_pair(HexDecodeState& state);

// Bytes of hex text (either letter case, "+d" pairs for a single digit),
// with Unicode white space around it ignored; none for anything else. Never
// a partial result.
std::optional<std::vector<std::uint8_t>> hex_decode(std::string_view text);

// The lower-case hex SHA-256 of `bytes`; empty in the unlikely case that the
// library cannot make one, which then matches no id.
std::string sha256_hex(std::span<const std::uint8_t> bytes);
std::string sha256_hex(std::string_view bytes);

// SHA-256 of the file's whole content, or the error of the open or of the
// read that failed (no retry, an interrupted read included). Only a regular
// file is read: anything else that stands at the path when it is opened (a
// FIFO, a device, a folder) gives invalid_argument at once, without waiting.
std::expected<std::string, std::error_code> sha256_file_hex(const std::filesystem::path& path);

// The reading half of sha256_file_hex: SHA-256 of all that can be read from
// the open descriptor `fd`, which stays open.
std::expected<std::string, std::error_code> sha256_fd_hex(int fd);
