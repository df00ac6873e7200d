// parse_release_info of generated release documents (signature check
// included) beside RapidJSON's own DOM parse of the same text: 2,000 files of
// 60 pieces each with a "chunks" member for every piece, and the largest such
// document the download accepts (10 MiB).
#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <rapidjson/document.h>

#include "bench.hpp"
#include "lib/hexdigest.hpp"
#include "release/release_info.hpp"

namespace {

constexpr int PIECES_PER_FILE = 60;
constexpr int ROUNDS = 10;

std::string random_hex64(std::mt19937_64& rng) {
  std::vector<std::uint8_t> bytes(32);
  for (std::size_t i = 0; i < bytes.size(); i += 8) {
    const std::uint64_t v = rng();
    for (int k = 0; k < 8; ++k) bytes[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
  }
  return hex_encode(bytes);
}

std::string make_document(int files) {
  std::mt19937_64 rng(42);
  std::vector<std::string> ids;
  std::string json = "{\n\"version\": \"1.8.3\",\n\"released\": 1718236800,\n\"launch\": \"ReefTown.exe\",\n"
                     "\"eac_product_id\": \"" + random_hex64(rng).substr(0, 32) + "\",\n\"files\": [\n";
  for (int f = 0; f < files; ++f) {
    std::uint64_t size = 0;
    std::string pieces;
    for (int p = 0; p < PIECES_PER_FILE; ++p) {
      const std::uint64_t length = 262144 + rng() % 786432;
      size += length;
      ids.push_back(random_hex64(rng));
      pieces += (p ? "," : "") + std::string("[\"") + ids.back() + "\"," + std::to_string(length) + "]";
    }
    json += (f ? ",\n" : "") + std::string("{\"p\":\"Content/Paks/reef_") + std::to_string(f) + ".pak\",\"n\":" +
            std::to_string(size) + ",\"h\":\"" + random_hex64(rng) + "\",\"c\":[" + pieces + "]}";
  }
  json += "\n],\n\"chunks\": {\n";
  for (std::size_t i = 0; i < ids.size(); ++i)
    json += (i ? ",\n\"" : "\"") + ids[i] + "\":" + std::to_string(100000 + rng() % 600000);
  json += "\n}\n}\n";
  return json;
}

struct Signer {
  std::string public_key_hex;
  std::string signature_hex;
};

// Signs with a key made from a fixed seed, the way the publisher would.
Signer sign(std::string_view message) {
  std::vector<std::uint8_t> seed(32, 0x5a);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()), EVP_PKEY_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::vector<std::uint8_t> sig(64);
  std::size_t sig_len = sig.size();
  std::vector<std::uint8_t> pub(32);
  std::size_t pub_len = pub.size();
  if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), sig.data(), &sig_len, reinterpret_cast<const unsigned char*>(message.data()),
                     message.size()) != 1 ||
      EVP_PKEY_get_raw_public_key(key.get(), pub.data(), &pub_len) != 1)
    return {};
  return {hex_encode(pub), hex_encode(sig) + "\n"};
}

std::string millis(double seconds) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f ms", seconds * 1e3);
  return buf;
}

BenchRow time_parse(int files) {
  const std::string json = make_document(files);
  const Signer signer = sign(json);
  char name[96];
  std::snprintf(name, sizeof name, "parse_release_info %dx%d (%.1f MiB, best of %d)", files, PIECES_PER_FILE,
                json.size() / 1048576.0, ROUNDS);

  double ours = 1e9;
  for (int round = 0; round < ROUNDS; ++round) {
    std::string text = json;
    std::string sig = signer.signature_hex;
    const auto start = std::chrono::steady_clock::now();
    auto info = parse_release_info(std::move(text), std::move(sig), signer.public_key_hex);
    const double t = seconds_since(start);
    if (!info || info->files.size() != static_cast<std::size_t>(files) ||
        info->chunks.size() != static_cast<std::size_t>(files) * PIECES_PER_FILE)
      return {name, "failed: " + (info ? std::string("wrong content") : info.error()), "-", "< 60 ms", false};
    ours = std::min(ours, t);
  }

  double base = 1e9;
  for (int round = 0; round < ROUNDS; ++round) {
    const auto start = std::chrono::steady_clock::now();
    rapidjson::Document doc;
    doc.Parse(json.data(), json.size());
    const double t = seconds_since(start);
    if (doc.HasParseError()) break;
    base = std::min(base, t);
  }
  return {name, millis(ours), "RapidJSON DOM, no signature " + millis(base), "< 60 ms", ours < 0.060};
}

}  // namespace

std::vector<BenchRow> bench_parse(const BenchArgs&) {
  // 1,140 files of this shape come to just under 10 MiB.
  return {time_parse(2000), time_parse(1140)};
}
