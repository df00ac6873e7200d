#include "support/test_key.hpp"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include "lib/hexdigest.hpp"

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

std::string sign_with(EVP_PKEY* key, std::string_view message) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  std::vector<std::uint8_t> sig(64);
  std::size_t len = sig.size();
  const bool ok = ctx && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
                  EVP_DigestSign(ctx, sig.data(), &len,
                                 reinterpret_cast<const unsigned char*>(message.data()),
                                 message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  if (!ok || len != 64) throw std::runtime_error("test signing failed");
  return hex_encode(sig);
}

Pkey key_from_seed(std::string_view seed_hex) {
  auto seed = hex_decode(seed_hex);
  if (!seed || seed->size() != 32) throw std::runtime_error("bad test seed");
  Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed->data(), seed->size()));
  if (!key) throw std::runtime_error("bad test seed");
  return key;
}

}  // namespace

std::string test_sign_hex(std::string_view message) {
  static const Pkey key = [] {
    FILE* f = std::fopen(REEFTOWN_TEST_DATA_DIR "/test_release_key.pem", "r");
    if (!f) throw std::runtime_error("cannot open the test signing key");
    Pkey k(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
    std::fclose(f);
    if (!k) throw std::runtime_error("cannot read the test signing key");
    return k;
  }();
  return sign_with(key.get(), message);
}

std::string sign_hex_with_seed(std::string_view seed_hex, std::string_view message) {
  return sign_with(key_from_seed(seed_hex).get(), message);
}

std::string public_key_hex_of_seed(std::string_view seed_hex) {
  Pkey key = key_from_seed(seed_hex);
  std::vector<std::uint8_t> pub(32);
  std::size_t len = pub.size();
  EVP_PKEY_get_raw_public_key(key.get(), pub.data(), &len);
  return hex_encode(pub);
}
