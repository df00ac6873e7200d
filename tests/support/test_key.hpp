// The test signing key pair: its private half lives in tests/data so that
// tests can sign release information the way the publisher does.
#pragma once

#include <string>
#include <string_view>

inline constexpr std::string_view TEST_PUBLIC_KEY_HEX =
    "ecd1e7a611cced3c9951bd5470d4074c440979ee8d7579514d89fc5943c3cc86";

// Hex text (128 lower-case digits) of the Ed25519 signature of `message`
// under the test private key.
std::string test_sign_hex(std::string_view message);

// Hex text of the signature of `message` under the 32-byte private seed
// given as hex, for tests that need keys of their own.
std::string sign_hex_with_seed(std::string_view seed_hex, std::string_view message);

// The public key (hex) that belongs to a private seed given as hex.
std::string public_key_hex_of_seed(std::string_view seed_hex);
