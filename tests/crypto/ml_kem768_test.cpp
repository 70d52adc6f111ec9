#include "crypto/ml_kem768.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "crypto/ml_kem768_internal.h"

namespace qb::mlkem768 {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes from_hex(const std::string& hex) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Bytes out;
  if (hex.size() % 2 != 0) ADD_FAILURE() << "odd hex length";
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) ADD_FAILURE() << "bad hex digit";
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return out;
}

nlohmann::json load_vectors(const std::string& name) {
  std::ifstream in(std::string(QB_MLKEM_VECTOR_DIR) + "/" + name);
  EXPECT_TRUE(in) << "cannot open " << name;
  return nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
}

Bytes field(const nlohmann::json& c, const char* name) { return from_hex(c.at(name).get<std::string>()); }

template <std::size_t N>
std::span<const std::uint8_t, N> fixed(const Bytes& b) {
  EXPECT_EQ(b.size(), N);
  if (b.size() != N) std::abort();  // a malformed vector file; the spans below would overrun
  return std::span<const std::uint8_t, N>(b.data(), N);
}

// "ok", or the code of the refusal.
template <class R>
std::string outcome(const R& r) {
  return r ? "ok" : std::string(r.error().code);
}

template <class A>
Bytes bytes_of(const A& a) {
  return Bytes(a.begin(), a.end());
}

// ---- NIST ACVP vectors ------------------------------------------------------------------------

TEST(Acvp, KeyGen) {
  const auto cases = load_vectors("mlkem768-keygen.json");
  ASSERT_EQ(cases.size(), 25u);
  for (const auto& c : cases) {
    SCOPED_TRACE("tcId " + std::to_string(c.at("tcId").get<int>()));
    const Bytes d = field(c, "d"), z = field(c, "z");
    const KeyPair kp = keygen_internal(fixed<kSeedBytes>(d), fixed<kSeedBytes>(z));
    EXPECT_EQ(bytes_of(kp.ek), field(c, "ek"));
    EXPECT_EQ(bytes_of(kp.dk), field(c, "dk"));
  }
}

TEST(Acvp, Encapsulation) {
  const auto cases = load_vectors("mlkem768-encap.json");
  ASSERT_EQ(cases.size(), 25u);
  for (const auto& c : cases) {
    SCOPED_TRACE("tcId " + std::to_string(c.at("tcId").get<int>()));
    const Bytes ek = field(c, "ek"), m = field(c, "m");
    const auto r = encaps_internal(ek, fixed<kSeedBytes>(m));
    ASSERT_TRUE(r);
    EXPECT_EQ(bytes_of(r->ciphertext), field(c, "c"));
    EXPECT_EQ(bytes_of(r->shared_secret), field(c, "k"));
  }
}

// Includes the modified ciphertexts, for which the implicit-rejection key is the expected result.
TEST(Acvp, Decapsulation) {
  const auto cases = load_vectors("mlkem768-decap.json");
  ASSERT_EQ(cases.size(), 10u);
  int rejected = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE("tcId " + std::to_string(c.at("tcId").get<int>()));
    const Bytes dk = field(c, "dk"), ct = field(c, "c");
    if (c.at("reason") == "modified ciphertext") ++rejected;
    const auto r = decapsulate(dk, fixed<kCiphertextBytes>(ct));
    ASSERT_TRUE(r);
    EXPECT_EQ(bytes_of(*r), field(c, "k"));
  }
  EXPECT_EQ(rejected, 5);
}

// The negative ek cases are 1600 bytes long: refused by length, as a wrong length must be.
TEST(Acvp, KeyChecks) {
  const auto cases = load_vectors("mlkem768-keycheck.json");
  ASSERT_EQ(cases.size(), 20u);
  for (const auto& c : cases) {
    SCOPED_TRACE("tcId " + std::to_string(c.at("tcId").get<int>()));
    const std::string expected = c.at("testPassed").get<bool>() ? "ok" : "QB-0027";
    if (c.at("function") == "encapsulationKeyCheck") {
      const Bytes ek = field(c, "ek");
      EXPECT_EQ(outcome(check_encapsulation_key(ek)), expected);
      const Bytes m(kSeedBytes, 7);
      EXPECT_EQ(outcome(encaps_internal(ek, fixed<kSeedBytes>(m))), expected);
    } else {
      const Bytes dk = field(c, "dk");
      EXPECT_EQ(outcome(check_decapsulation_key(dk)), expected);
      const Bytes ct(kCiphertextBytes, 0);
      EXPECT_EQ(outcome(decapsulate(dk, fixed<kCiphertextBytes>(ct))), expected);
    }
  }
}

// ---- Refusals of our own ----------------------------------------------------------------------

class KnownKey : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto cases = load_vectors("mlkem768-keygen.json");
    ASSERT_FALSE(cases.empty());
    ek_ = field(cases[0], "ek");
    dk_ = field(cases[0], "dk");
  }

  // Sets 12-bit coefficient i of the encoded t-hat to v.
  static void set_coefficient(Bytes& ek, std::size_t i, unsigned v) {
    std::uint8_t* p = ek.data() + 3 * (i / 2);
    if (i % 2 == 0) {
      p[0] = static_cast<std::uint8_t>(v);
      p[1] = static_cast<std::uint8_t>((p[1] & 0xf0) | (v >> 8));
    } else {
      p[1] = static_cast<std::uint8_t>((p[1] & 0x0f) | ((v & 0x0f) << 4));
      p[2] = static_cast<std::uint8_t>(v >> 4);
    }
  }

  Bytes ek_, dk_;
};

TEST_F(KnownKey, ModulusCheckRefusesCoefficientsFromQ) {
  struct Case {
    std::size_t index;
    unsigned value;
    bool accepted;
  };
  // Both nibble alignments, the first, a middle and the last of the 768 coefficients.
  const Case cases[] = {{0, 3329, false},   {1, 3329, false}, {767, 3329, false}, {400, 4095, false},
                        {401, 3330, false}, {0, 3328, true},  {767, 3328, true},  {1, 0, true}};
  const Bytes m(kSeedBytes, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE("coefficient " + std::to_string(c.index) + " = " + std::to_string(c.value));
    Bytes ek = ek_;
    set_coefficient(ek, c.index, c.value);
    const std::string expected = c.accepted ? "ok" : "QB-0027";
    EXPECT_EQ(outcome(check_encapsulation_key(ek)), expected);
    EXPECT_EQ(outcome(encapsulate(ek)), expected);
    EXPECT_EQ(outcome(encaps_internal(ek, fixed<kSeedBytes>(m))), expected);
  }
}

// Each thread keeps the last key it expanded: keys that differ in one coefficient or one byte of
// rho, taken in turns, must give what a thread that never saw another key gives.
TEST_F(KnownKey, AlternatingKeysGiveWhatAFreshThreadGives) {
  Bytes other_t = ek_;
  set_coefficient(other_t, 5, 7);
  Bytes other_rho = ek_;
  other_rho.back() ^= 0x01;
  const Bytes m(kSeedBytes, 3);
  auto encrypt = [&](const Bytes& ek) {
    auto r = encaps_internal(ek, fixed<kSeedBytes>(m));
    EXPECT_TRUE(r);
    return r ? bytes_of(r->ciphertext) : Bytes();
  };
  auto in_fresh_thread = [&](const Bytes& ek) {
    Bytes out;
    std::thread([&] { out = encrypt(ek); }).join();
    return out;
  };
  const Bytes* order[] = {&ek_, &other_t, &ek_, &other_rho, &ek_, &other_rho, &other_t};
  for (const Bytes* ek : order) EXPECT_EQ(encrypt(*ek), in_fresh_thread(*ek));
  EXPECT_NE(encrypt(ek_), encrypt(other_t));
  EXPECT_NE(encrypt(ek_), encrypt(other_rho));
}

TEST_F(KnownKey, WrongLengthsAreRefused) {
  for (std::size_t len : {std::size_t{0}, kPublicKeyBytes - 1, kPublicKeyBytes + 1, std::size_t{1249}}) {
    SCOPED_TRACE("ek length " + std::to_string(len));
    Bytes ek = ek_;
    ek.resize(len, 0);
    EXPECT_EQ(outcome(encapsulate(ek)), "QB-0027");
  }
  const Bytes ct(kCiphertextBytes, 0);
  for (std::size_t len : {std::size_t{0}, kSecretKeyBytes - 1, kSecretKeyBytes + 1}) {
    SCOPED_TRACE("dk length " + std::to_string(len));
    Bytes dk = dk_;
    dk.resize(len, 0);
    EXPECT_EQ(outcome(decapsulate(dk, fixed<kCiphertextBytes>(ct))), "QB-0027");
  }
}

// A dk whose embedded ek no longer matches its H(ek) is refused, whichever side changed.
TEST_F(KnownKey, HashCheckOfDecapsulationKey) {
  const Bytes ct(kCiphertextBytes, 0);
  for (std::size_t pos : {std::size_t{1152}, std::size_t{2335}, std::size_t{2336}, std::size_t{2367}}) {
    SCOPED_TRACE("byte " + std::to_string(pos));
    Bytes dk = dk_;
    dk[pos] ^= 0x01;
    EXPECT_EQ(outcome(decapsulate(dk, fixed<kCiphertextBytes>(ct))), "QB-0027");
  }
  // The secret part and z are not covered by the hash: such a key is accepted.
  Bytes dk = dk_;
  dk[0] ^= 0x01;
  dk[2399] ^= 0x01;
  EXPECT_EQ(outcome(decapsulate(dk, fixed<kCiphertextBytes>(ct))), "ok");
}

// ---- Random keys ------------------------------------------------------------------------------

TEST(RandomKeys, RoundTripAndImplicitRejection) {
  for (int round = 0; round < 3; ++round) {
    const auto kp = keygen();
    ASSERT_TRUE(kp);
    const auto enc = encapsulate(kp->ek);
    ASSERT_TRUE(enc);
    const auto dec = decapsulate(kp->dk, enc->ciphertext);
    ASSERT_TRUE(dec);
    EXPECT_EQ(bytes_of(*dec), bytes_of(enc->shared_secret));

    Ciphertext tampered = enc->ciphertext;
    tampered[static_cast<std::size_t>(round) * 500] ^= 0x80;
    const auto rej = decapsulate(kp->dk, tampered);
    ASSERT_TRUE(rej);
    EXPECT_NE(bytes_of(*rej), bytes_of(enc->shared_secret));
  }
  const auto a = keygen(), b = keygen();
  ASSERT_TRUE(a && b);
  EXPECT_NE(bytes_of(a->ek), bytes_of(b->ek));
}

// ---- Sampling from one SHAKE128 call ----------------------------------------------------------

// The result must not depend on how much output is taken first: recomputing a longer stream has to
// continue exactly where the shorter one stopped.
TEST(SampleNtt, ExtendingTheStreamGivesTheSameCoefficients) {
  std::array<std::uint8_t, 34> seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i * 37 + 5);
  detail::Poly reference{};
  detail::sample_ntt(reference, seed);
  for (const std::size_t first : {std::size_t{3}, std::size_t{168}, std::size_t{470}, std::size_t{4096}}) {
    SCOPED_TRACE("first " + std::to_string(first));
    detail::Poly p{};
    detail::sample_ntt(p, seed, first);
    EXPECT_EQ(p, reference);
  }
  EXPECT_TRUE(std::all_of(reference.begin(), reference.end(), [](std::int16_t c) { return c >= 0 && c < detail::kQ; }));
}

}  // namespace
}  // namespace qb::mlkem768
