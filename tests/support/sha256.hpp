// SHA-256 for what tests expect, taken from OpenSSL directly so that the
// program's own digest code is never the judge of itself.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "lib/hexdigest.hpp"

// Lower-case hex, as piece ids and file hashes are written.
inline std::string sha256_of(std::string_view bytes) {
  std::array<std::uint8_t, 32> digest{};
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), nullptr, EVP_sha256(), nullptr);
  return digest_hex(digest);
}
