// UTF-8 checks for text that enters the program: strict for files of the
// install folder, lenient for what the download server sends.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// True when `bytes` is well-formed UTF-8 (no surrogates, no overlong forms,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// `bytes` as UTF-8 text: well-formed sequences are kept, and each maximal
// ill-formed subpart becomes one U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// A path as text for messages: its bytes through utf8_lossy.
std::string display(const std::filesystem::path& path);

// Length of the well-formed sequence at the start of `bytes`, or 0 when the
// first byte does not begin one; `maximal_subpart` then receives the number
// of bytes that one U+FFFD replaces (at least 1 for non-empty input).
std::size_t utf8_sequence_length(std::string_view bytes, std::size_t& maximal_subpart);
