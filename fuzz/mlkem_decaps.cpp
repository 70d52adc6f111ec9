// ML-KEM-768 decapsulation with a fixed key: any ciphertext decapsulates (implicit rejection),
// a real one gives its secret back, a changed one does not; and the encapsulation-key check
// refuses exactly the keys with a coefficient of q or more.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "crypto/ml_kem768.h"
#include "fuzz_check.h"

namespace {

using namespace qb::mlkem768;

const KeyPair& pair() {
  static const KeyPair* kp = [] {
    std::array<std::uint8_t, kSeedBytes> d, z;
    d.fill(0x51);
    z.fill(0x52);
    return new KeyPair(keygen_internal(d, z));
  }();
  return *kp;
}

bool model_ek_ok(std::span<const std::uint8_t> ek) {
  for (std::size_t i = 0; i + 3 <= 1152; i += 3) {
    unsigned c0 = ek[i] | ((ek[i + 1] & 0x0fu) << 8);
    unsigned c1 = (ek[i + 1] >> 4) | (static_cast<unsigned>(ek[i + 2]) << 4);
    if (c0 >= 3329 || c1 >= 3329) return false;
  }
  return true;
}

bool same(const SharedSecret& a, const SharedSecret& b) { return std::equal(a.data(), a.data() + 32, b.data()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const KeyPair& kp = pair();
  const auto dk = std::span<const std::uint8_t>(kp.dk.data(), kSecretKeyBytes);

  Ciphertext c{};
  std::copy_n(data, std::min(size, c.size()), c.begin());
  auto s1 = decapsulate(dk, c);
  QB_FUZZ_CHECK(s1);
  auto s2 = decapsulate(dk, c);
  QB_FUZZ_CHECK(s2 && same(*s1, *s2));

  std::array<std::uint8_t, kSeedBytes> m{};
  std::copy_n(data, std::min(size, m.size()), m.begin());
  auto enc = encaps_internal(kp.ek, m);
  QB_FUZZ_CHECK(enc);
  auto real = decapsulate(dk, enc->ciphertext);
  QB_FUZZ_CHECK(real && same(*real, enc->shared_secret));

  Ciphertext changed = enc->ciphertext;
  std::size_t at = size == 0 ? 0 : (data[size - 1] * 7u + size) % changed.size();
  changed[at] ^= static_cast<std::uint8_t>(1u << (size % 8));
  auto rejected = decapsulate(dk, changed);
  QB_FUZZ_CHECK(rejected && !same(*rejected, enc->shared_secret));

  // Keys of the wrong length or with a wrong embedded hash are refused, never used.
  std::vector<std::uint8_t> bad_dk(dk.begin(), dk.end());
  bad_dk[kSecretKeyBytes - 64 + (size % 32)] ^= 0x80;
  QB_FUZZ_CHECK(!decapsulate(bad_dk, c));
  QB_FUZZ_CHECK(!decapsulate(dk.first(size % kSecretKeyBytes), c));

  std::vector<std::uint8_t> ek(data, data + std::min(size, kPublicKeyBytes));
  auto checked_raw = check_encapsulation_key(ek);
  QB_FUZZ_CHECK(bool(checked_raw) == (ek.size() == kPublicKeyBytes && model_ek_ok(ek)));
  ek.resize(kPublicKeyBytes, 0);
  auto checked = check_encapsulation_key(ek);
  QB_FUZZ_CHECK(bool(checked) == model_ek_ok(ek));
  auto to_input = encaps_internal(ek, m);
  QB_FUZZ_CHECK(bool(to_input) == bool(checked));
  if (!to_input) QB_FUZZ_CHECK(to_input.error().code == "QB-0027");
  return 0;
}
