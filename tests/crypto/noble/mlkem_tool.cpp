// Command-line face of the ML-KEM-768 code for the cross-check against another implementation.
// All values are lowercase hexadecimal, one per line on standard output.
//   mlkem_tool keygen [d||z]      -> ek, dk   (fresh random seeds without an argument)
//   mlkem_tool encaps ek          -> c, k
//   mlkem_tool decaps dk c        -> k
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/ml_kem768.h"

namespace {

namespace kem = qb::mlkem768;

std::optional<std::vector<std::uint8_t>> from_hex(std::string_view hex) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (hex.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return out;
}

void print_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string line;
  for (std::uint8_t b : bytes) {
    line += kDigits[b >> 4];
    line += kDigits[b & 15];
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
}

int fail(const std::string& why) {
  std::fprintf(stderr, "mlkem_tool: %s\n", why.c_str());
  return 1;
}

int keygen(int argc, char** argv) {
  if (argc == 2) {
    auto r = kem::keygen();
    if (!r) return fail(std::string(r.error().display()));
    print_hex(r->ek);
    print_hex(r->dk);
    return 0;
  }
  const auto seed = from_hex(argv[2]);
  if (!seed || seed->size() != 2 * kem::kSeedBytes) return fail("keygen wants 64 bytes of seed (d || z)");
  const auto kp =
      kem::keygen_internal(std::span<const std::uint8_t, kem::kSeedBytes>(seed->data(), kem::kSeedBytes),
                           std::span<const std::uint8_t, kem::kSeedBytes>(seed->data() + 32, kem::kSeedBytes));
  print_hex(kp.ek);
  print_hex(kp.dk);
  return 0;
}

int encaps(char** argv) {
  const auto ek = from_hex(argv[2]);
  if (!ek) return fail("bad hex");
  auto r = kem::encapsulate(*ek);
  if (!r) return fail(std::string(r.error().display()));
  print_hex(r->ciphertext);
  print_hex(r->shared_secret);
  return 0;
}

int decaps(char** argv) {
  const auto dk = from_hex(argv[2]);
  const auto c = from_hex(argv[3]);
  if (!dk || !c || c->size() != kem::kCiphertextBytes) return fail("bad hex or ciphertext length");
  auto r = kem::decapsulate(*dk, std::span<const std::uint8_t, kem::kCiphertextBytes>(c->data(), c->size()));
  if (!r) return fail(std::string(r.error().display()));
  print_hex(*r);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view cmd = argc > 1 ? argv[1] : "";
  if (cmd == "keygen" && (argc == 2 || argc == 3)) return keygen(argc, argv);
  if (cmd == "encaps" && argc == 3) return encaps(argv);
  if (cmd == "decaps" && argc == 4) return decaps(argv);
  std::fprintf(stderr, "usage: mlkem_tool keygen [seed] | encaps ek | decaps dk c\n");
  return 2;
}
