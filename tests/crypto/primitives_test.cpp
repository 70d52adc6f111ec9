#include "crypto/primitives.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "crypto/secret.h"
#include "hex_util.h"
#include "p256_paths.h"

namespace qb {
namespace {

using test::bytes_of;
using test::hex;
using test::P256Path;
using test::unhex;

template <class T>
std::string_view code_of(const CryptoResult<T>& r) {
  return r ? std::string_view("ok") : r.error().code;
}

std::array<std::uint8_t, 32> scalar_of(std::string_view h) {
  std::array<std::uint8_t, 32> out{};
  auto v = unhex(h);
  std::copy(v.begin(), v.end(), out.begin());
  return out;
}

std::array<std::uint8_t, 12> nonce_of(std::string_view h) {
  std::array<std::uint8_t, 12> out{};
  auto v = unhex(h);
  std::copy(v.begin(), v.end(), out.begin());
  return out;
}

TEST(PrimitivesSha256, KnownAnswers) {
  EXPECT_EQ(hex(sha256({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex(sha256(bytes_of("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(PrimitivesDigestEq, ComparesDigestsOfAnyLength) {
  struct Case {
    std::string a, b;
    bool equal;
  };
  const Case cases[] = {
      {"", "", true},
      {"abc", "abc", true},
      {"abc", "abd", false},
      {"abc", "abcd", false},
      {std::string("a"), std::string("a\0", 2), false},
      {std::string(1000, 'x'), std::string(1000, 'x'), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a.size());
    EXPECT_EQ(digest_eq(bytes_of(c.a), bytes_of(c.b)), c.equal);
  }
}

// The GCM paper's test cases 1, 4, 13 and 16 (McGrew and Viega), as NIST adopted them.
TEST(PrimitivesAead, GcmKnownAnswers) {
  const std::string pt4 =
      "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de"
      "657ba637b39";
  const std::string aad4 = "feedfacedeadbeeffeedfacedeadbeefabaddad2";
  struct Case {
    std::string key, nonce, aad, pt, sealed;
  };
  const Case cases[] = {
      {"00000000000000000000000000000000", "000000000000000000000000", "", "", "58e2fccefa7e3061367f1d57a4e7455a"},
      {"feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888", aad4, pt4,
       "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac"
       "973d58e0915bc94fbc3221a5db94fae95ae7121a47"},
      {std::string(64, '0'), "000000000000000000000000", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
      {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888", aad4, pt4,
       "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a"
       "0abcc9f66276fc6ece0f4e1768cddf8853bb2d551b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sealed);
    auto key = unhex(c.key);
    auto nonce = nonce_of(c.nonce);
    auto sealed = aead_seal(key, nonce, unhex(c.aad), unhex(c.pt));
    ASSERT_TRUE(sealed);
    EXPECT_EQ(hex(*sealed), c.sealed);
    auto opened = aead_open(key, nonce, unhex(c.aad), unhex(c.sealed));
    ASSERT_TRUE(opened);
    EXPECT_EQ(hex(opened->span()), c.pt);
  }
}

TEST(PrimitivesAead, KeyLengthsOtherThan16Or32AreRefused) {
  const std::array<std::uint8_t, 12> nonce{};
  const std::vector<std::uint8_t> sealed(40, 0);
  for (std::size_t len : {0, 8, 15, 17, 24, 31, 33, 64}) {
    SCOPED_TRACE(len);
    const std::vector<std::uint8_t> key(len, 7);
    EXPECT_EQ(code_of(aead_key(key)), "QB-0001");
    EXPECT_EQ(code_of(aead_seal(key, nonce, {}, bytes_of("x"))), "QB-0001");
    EXPECT_EQ(code_of(aead_open(key, nonce, {}, sealed)), "QB-0001");
    EXPECT_EQ(code_of(aead_encrypt(key, bytes_of("x"))), "QB-0001");
    EXPECT_EQ(code_of(aead_decrypt(key, sealed)), "QB-0001");
  }
}

TEST(PrimitivesAead, ShortInputs) {
  const std::vector<std::uint8_t> key16(16, 1), key24(24, 1);
  const std::array<std::uint8_t, 12> nonce{};
  struct Case {
    const char* what;
    std::string_view got;
    std::string_view want;
  };
  const Case cases[] = {
      // The length is tested before the key.
      {"decrypt 27 bytes, bad key", code_of(aead_decrypt(key24, std::vector<std::uint8_t>(27))), "QB-0010"},
      {"decrypt 27 bytes", code_of(aead_decrypt(key16, std::vector<std::uint8_t>(27))), "QB-0010"},
      {"decrypt nothing", code_of(aead_decrypt(key16, {})), "QB-0010"},
      {"decrypt 28 bad tag", code_of(aead_decrypt(key16, std::vector<std::uint8_t>(28))), "QB-0003"},
      {"open 15 bytes", code_of(aead_open(key16, nonce, {}, std::vector<std::uint8_t>(15))), "QB-0003"},
      {"open nothing", code_of(aead_open(key16, nonce, {}, {})), "QB-0003"},
      // The key is tested before the length.
      {"open 15 bytes, bad key", code_of(aead_open(key24, nonce, {}, std::vector<std::uint8_t>(15))), "QB-0001"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;

  auto empty = aead_encrypt(key16, {});
  ASSERT_TRUE(empty);
  ASSERT_EQ(empty->size(), 28u);
  auto opened = aead_decrypt(key16, *empty);
  ASSERT_TRUE(opened);
  EXPECT_TRUE(opened->empty());
}

TEST(PrimitivesAead, AnyFlippedBitFailsTheTag) {
  const std::vector<std::uint8_t> key(32, 9);
  const auto nonce = nonce_of("0102030405060708090a0b0c");
  const auto aad = bytes_of("hdr");
  const auto pt = bytes_of("secret");
  auto sealed = aead_seal(key, nonce, aad, pt);
  ASSERT_TRUE(sealed);
  ASSERT_EQ(sealed->size(), pt.size() + 16);

  for (std::size_t bit = 0; bit < nonce.size() * 8; ++bit) {
    auto n = nonce;
    n[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_EQ(code_of(aead_open(key, n, aad, *sealed)), "QB-0003") << "nonce bit " << bit;
  }
  // Ciphertext and tag.
  for (std::size_t bit = 0; bit < sealed->size() * 8; ++bit) {
    auto s = *sealed;
    s[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_EQ(code_of(aead_open(key, nonce, aad, s)), "QB-0003") << "sealed bit " << bit;
  }
  for (std::size_t bit = 0; bit < aad.size() * 8; ++bit) {
    auto a = aad;
    a[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_EQ(code_of(aead_open(key, nonce, a, *sealed)), "QB-0003") << "aad bit " << bit;
  }
  EXPECT_EQ(code_of(aead_open(key, nonce, {}, *sealed)), "QB-0003");
  EXPECT_EQ(code_of(aead_open(std::vector<std::uint8_t>(32, 8), nonce, aad, *sealed)), "QB-0003");
}

TEST(PrimitivesAead, EncryptCarriesAFreshNonce) {
  for (std::size_t key_len : {16, 32}) {
    SCOPED_TRACE(key_len);
    const std::vector<std::uint8_t> key(key_len, 3);
    const auto pt = bytes_of("the same text");
    auto a = aead_encrypt(key, pt);
    auto b = aead_encrypt(key, pt);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->size(), pt.size() + 28);
    EXPECT_NE(std::vector<std::uint8_t>(a->begin(), a->begin() + 12),
              std::vector<std::uint8_t>(b->begin(), b->begin() + 12));
    // The layout is nonce || aead_seal output with empty associated data.
    auto opened = aead_open(key, std::span<const std::uint8_t>(*a).first<12>(), {},
                            std::span<const std::uint8_t>(*a).subspan(12));
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->text(), "the same text");
    auto decrypted = aead_decrypt(key, *b);
    ASSERT_TRUE(decrypted);
    EXPECT_EQ(decrypted->text(), "the same text");
  }
}

TEST(PrimitivesHkdf, Rfc5869Vectors) {
  struct Case {
    std::vector<std::uint8_t> ikm;
    std::string salt, info;
    std::size_t len;
    std::string okm;
  };
  std::vector<std::uint8_t> ikm2;
  std::string salt2, info2;
  for (int i = 0; i < 80; ++i) {
    ikm2.push_back(static_cast<std::uint8_t>(i));
    salt2 += hex(std::vector<std::uint8_t>{static_cast<std::uint8_t>(0x60 + i)});
    info2 += hex(std::vector<std::uint8_t>{static_cast<std::uint8_t>(0xb0 + i)});
  }
  const Case cases[] = {
      {std::vector<std::uint8_t>(22, 0x0b), "000102030405060708090a0b0c", "f0f1f2f3f4f5f6f7f8f9", 42,
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {ikm2, salt2, info2, 82,
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09da3275600c2f09b"
       "8"
       "367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
      {std::vector<std::uint8_t>(22, 0x0b), "", "", 42,
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.okm);
    auto okm = detail::hkdf_sha256_any_salt(unhex(c.salt), c.ikm, unhex(c.info), c.len);
    EXPECT_EQ(hex(okm.span()), c.okm);
  }

  // Case 3 through the public entry: no salt, and a 32-byte zero salt, are the same.
  const std::vector<std::uint8_t> ikm(22, 0x0b);
  const std::array<std::uint8_t, 32> zeros{};
  auto no_salt = hkdf_sha256(ikm, std::nullopt, {}, 42);
  auto zero_salt = hkdf_sha256(ikm, zeros, {}, 42);
  EXPECT_EQ(hex(no_salt.span()), cases[2].okm);
  EXPECT_EQ(no_salt, zero_salt);
}

// OpenSSL 3.0's own HKDF refuses long infos; vault labels reach this one unbounded.
TEST(PrimitivesHkdf, LongInfoMatchesTheHmacChain) {
  std::vector<std::uint8_t> info(5000);
  for (std::size_t i = 0; i < info.size(); ++i) info[i] = static_cast<std::uint8_t>((i * 7 + 3) & 0xff);
  std::array<std::uint8_t, 32> salt{};
  for (std::size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<std::uint8_t>(i);
  const auto ikm = bytes_of("quorbelt");

  auto okm = hkdf_sha256(ikm, salt, info, 64);
  // Computed independently (Python's hmac module).
  EXPECT_EQ(
      hex(okm.span()),
      "361efd1723a65591f21b9aa158463871eb6bc0ef54d629298a34ac7a5ab82df022be64fadbb840987cc4cda97d1fff6c3a8d2a6b968a"
      "841007a070ae82a8e031");

  // RFC 5869 spelled out over HMAC: T(1) = HMAC(PRK, info || 1), T(2) = HMAC(PRK, T(1) || info || 2).
  auto prk = hmac_sha256(salt, ikm);
  auto m1 = info;
  m1.push_back(1);
  auto t1 = hmac_sha256(prk, m1);
  std::vector<std::uint8_t> m2(t1.begin(), t1.end());
  m2.insert(m2.end(), info.begin(), info.end());
  m2.push_back(2);
  auto t2 = hmac_sha256(prk, m2);
  EXPECT_EQ(hex(okm.span()), hex(t1) + hex(t2));

  auto no_salt = hkdf_sha256(unhex("000102030405060708090a0b0c0d0e0f101112131415"), std::nullopt, info, 42);
  EXPECT_EQ(hex(no_salt.span()),
            "af61734f7bcc2ef5d97cca50b91fa20ca56477f689d3ce0da17b4fdca96a14ed3808b1968d2c442951a0");
}

TEST(PrimitivesHkdf, OutputLengthBounds) {
  const auto ikm = bytes_of("k");
  EXPECT_TRUE(hkdf_sha256(ikm, std::nullopt, {}, 0).empty());
  auto longest = hkdf_sha256(ikm, std::nullopt, {}, kHkdfMaxLen);
  EXPECT_EQ(longest.size(), kHkdfMaxLen);
  // Every prefix is the shorter output.
  auto short_one = hkdf_sha256(ikm, std::nullopt, {}, 33);
  EXPECT_TRUE(std::equal(short_one.begin(), short_one.end(), longest.begin()));
}

TEST(PrimitivesHkdfDeathTest, TooLongAnOutputIsABug) {
  EXPECT_DEATH(hkdf_sha256(bytes_of("k"), std::nullopt, {}, kHkdfMaxLen + 1),
               "internal error: entered unreachable code: the caller bounds the HKDF length");
}

TEST(PrimitivesHmac, Rfc4231Vectors) {
  struct Case {
    std::vector<std::uint8_t> key, data;
    std::string tag;
  };
  const Case cases[] = {
      {std::vector<std::uint8_t>(20, 0x0b), bytes_of("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {bytes_of("Jefe"), bytes_of("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::vector<std::uint8_t>(20, 0xaa), std::vector<std::uint8_t>(50, 0xdd),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {std::vector<std::uint8_t>(131, 0xaa), bytes_of("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {std::vector<std::uint8_t>(131, 0xaa),
       bytes_of("This is a test using a larger than block-size key and a larger than block-size data. The key needs to "
                "be hashed before being used by the HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
      // The empty key (Python's hmac module).
      {{}, {}, "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tag);
    EXPECT_EQ(hex(hmac_sha256(c.key, c.data)), c.tag);
  }
}

// Every P-256 test runs on both paths: the same answers, checks and rows.
class PrimitivesP256 : public test::P256PathTest {};
INSTANTIATE_TEST_SUITE_P(Path, PrimitivesP256, ::testing::ValuesIn(test::kBothP256Paths), test::p256_path_name);

// RFC 5903, section 8.1 (256-bit random ECP group).
constexpr std::string_view kI = "c88f01f510d9ac3f70a292daa2316de544e9aab8afe84049c62a9c57862d1433";
constexpr std::string_view kGi =
    "04dad0b65394221cf9b051e1feca5787d098dfe637fc90b9ef945d0c37725811805271a0461cdb8252d61f1c456fa3e59ab1f45b33accf5f58"
    "389e0577b8990bb3";
constexpr std::string_view kR = "c6ef9c5d78ae012a011164acb397ce2088685d8f06bf9be0b283ab46476bee53";
constexpr std::string_view kGr =
    "04d12dfb5289c8d4f81208b70270398c342296970a0bccb74c736fc7554494bf6356fbf3ca366cc23e8157854c13c58d6aac23f046ada30f83"
    "53e74f33039872ab";
constexpr std::string_view kGirx = "d6840f6b42f6edafd13116e0e12565202fef8e9ece7dce03812464d04b9442de";
constexpr std::string_view kOrder = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";

TEST_P(PrimitivesP256, Rfc5903Agreement) {
  auto gi = p256_public_from_scalar(scalar_of(kI));
  auto gr = p256_public_from_scalar(scalar_of(kR));
  ASSERT_TRUE(gi && gr);
  EXPECT_EQ(hex(*gi), kGi);
  EXPECT_EQ(hex(*gr), kGr);
  auto a = p256_agree(scalar_of(kI), unhex(kGr));
  auto b = p256_agree(scalar_of(kR), unhex(kGi));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(hex(a->span()), kGirx);
  EXPECT_EQ(hex(b->span()), kGirx);
}

TEST_P(PrimitivesP256, ScalarsOutsideTheGroupOrderAreRefused) {
  auto n_plus_1 = scalar_of(kOrder);
  n_plus_1[31] += 1;
  const std::pair<const char*, std::array<std::uint8_t, 32>> refused[] = {
      {"zero", {}},
      {"n", scalar_of(kOrder)},
      {"n + 1", n_plus_1},
      {"all ones", scalar_of(std::string(64, 'f'))},
  };
  for (const auto& [name, scalar] : refused) {
    SCOPED_TRACE(name);
    EXPECT_EQ(code_of(p256_key_from_scalar(scalar)), "QB-0027");
    EXPECT_EQ(code_of(p256_public_from_scalar(scalar)), "QB-0027");
    EXPECT_EQ(code_of(p256_agree(scalar, unhex(kGr))), "QB-0027");
  }

  auto n_minus_1 = scalar_of(kOrder);
  n_minus_1[31] -= 1;
  std::array<std::uint8_t, 32> one{};
  one[31] = 1;
  auto g = p256_public_from_scalar(one);
  ASSERT_TRUE(g);
  EXPECT_EQ(
      hex(*g),
      "046b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c2964fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b31"
      "5ececbb6406837bf51f5");
  // (n - 1) G = -G: same X, Y negated.
  auto minus_g = p256_public_from_scalar(n_minus_1);
  ASSERT_TRUE(minus_g);
  EXPECT_EQ(hex(std::span<const std::uint8_t>(*minus_g).first(33)), hex(std::span<const std::uint8_t>(*g).first(33)));
  EXPECT_NE(*minus_g, *g);
}

// The encodings of a peer's point that are refused, with what each one is.
std::vector<std::pair<const char*, std::vector<std::uint8_t>>> refused_peer_encodings() {
  const auto gr = unhex(kGr);
  // The same point in the encodings OpenSSL also accepts.
  std::vector<std::uint8_t> compressed(gr.begin(), gr.begin() + 33);
  compressed[0] = (gr[64] & 1) ? 0x03 : 0x02;
  auto hybrid = gr;
  hybrid[0] = (gr[64] & 1) ? 0x07 : 0x06;
  auto wrong_prefix_65 = gr;
  wrong_prefix_65[0] = 0x02;
  auto off_curve = gr;
  off_curve[64] ^= 0x01;
  std::vector<std::uint8_t> zero_point(65, 0);
  zero_point[0] = 0x04;
  auto x_beyond_p = gr;
  std::fill(x_beyond_p.begin() + 1, x_beyond_p.begin() + 33, 0xff);

  return {
      {"compressed", compressed},
      {"hybrid", hybrid},
      {"65 bytes with 0x02", wrong_prefix_65},
      {"off the curve", off_curve},
      {"(0, 0)", zero_point},
      {"X above p", x_beyond_p},
      {"infinity", {0x00}},
      {"empty", {}},
      {"64 bytes", std::vector<std::uint8_t>(gr.begin(), gr.end() - 1)},
      {"66 bytes",
       [&] {
         auto v = gr;
         v.push_back(0);
         return v;
       }()},
  };
}

TEST_P(PrimitivesP256, PeerKeysOtherThanUncompressedPointsAreRefused) {
  for (const auto& [name, peer] : refused_peer_encodings()) {
    EXPECT_EQ(code_of(p256_agree(scalar_of(kI), peer)), "QB-0027") << name;
  }
}

// Points read for agreements by scalar are checked as peer keys are, and agree as they do.
TEST_P(PrimitivesP256, PeerPointsAreCheckedAndAgreeAsPeerKeys) {
  for (const auto& [name, peer] : refused_peer_encodings()) {
    EXPECT_EQ(code_of(p256_peer_point(peer)), "QB-0027") << name;
  }
  auto gr = p256_peer_point(unhex(kGr));
  ASSERT_TRUE(gr);
  auto rfc = p256_agree(scalar_of(kI), *gr);
  ASSERT_TRUE(rfc);
  EXPECT_EQ(hex(rfc->span()), kGirx);
  EXPECT_EQ(code_of(p256_agree(scalar_of(kI), P256PeerPoint())), "QB-0027");
  auto n_plus_1 = scalar_of(kOrder);
  n_plus_1[31] += 1;
  for (const auto& scalar : {std::array<std::uint8_t, 32>{}, scalar_of(kOrder), n_plus_1}) {
    EXPECT_EQ(code_of(p256_agree(scalar, *gr)), "QB-0027");
  }
}

// A scalar pair is one key: its point is the scalar's, and it agrees with a library key both ways.
TEST_P(PrimitivesP256, GeneratedScalarPairHoldsOneKey) {
  auto a = p256_generate_scalar_pair();
  auto a2 = p256_generate_scalar_pair();
  auto b = p256_generate_pair();
  ASSERT_TRUE(a && a2 && b);
  EXPECT_FALSE(a->scalar == a2->scalar);
  auto pub = p256_public_from_scalar(a->scalar);
  ASSERT_TRUE(pub);
  EXPECT_EQ(*pub, a->pub);
  auto b_point = p256_peer_point(b->pub);
  auto a_key = p256_peer_key(a->pub);
  ASSERT_TRUE(b_point && a_key);
  auto by_scalar = p256_agree(a->scalar, *b_point);
  auto by_key = p256_agree(b->key, *a_key);
  ASSERT_TRUE(by_scalar && by_key);
  EXPECT_TRUE(*by_scalar == *by_key);
}

TEST_P(PrimitivesP256, GeneratedKeysAgree) {
  auto a = p256_generate();
  auto b = p256_generate();
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(*a == *b);
  auto pa = p256_public_from_scalar(*a);
  auto pb = p256_public_from_scalar(*b);
  ASSERT_TRUE(pa && pb);
  auto ab = p256_agree(*a, *pb);
  auto ba = p256_agree(*b, *pa);
  ASSERT_TRUE(ab && ba);
  EXPECT_TRUE(*ab == *ba);
}

// A generated pair's scalar, ready key and point are one key: the scalar rebuilds the same point
// and agrees as the ready key does, with a ready peer key and with the peer's bytes.
TEST_P(PrimitivesP256, GeneratedPairHoldsOneKey) {
  auto a = p256_generate_pair();
  auto b = p256_generate_pair();
  ASSERT_TRUE(a && b);
  auto pub = p256_public_from_scalar(a->scalar);
  ASSERT_TRUE(pub);
  EXPECT_EQ(*pub, a->pub);
  auto peer = p256_peer_key(b->pub);
  auto peer_a = p256_peer_key(a->pub);
  ASSERT_TRUE(peer && peer_a);
  auto ready = p256_agree(a->key, *peer);
  auto from_scalar = p256_agree(a->scalar, b->pub);
  auto other_way = p256_agree(b->key, *peer_a);
  ASSERT_TRUE(ready && from_scalar && other_way);
  EXPECT_TRUE(*ready == *from_scalar);
  EXPECT_TRUE(*ready == *other_way);
  // A copy shares the key; an empty key agrees with nothing.
  const P256Key copy = a->key;
  auto again = p256_agree(copy, *peer);
  ASSERT_TRUE(again);
  EXPECT_TRUE(*again == *ready);
  EXPECT_EQ(code_of(p256_agree(P256Key(), *peer)), "QB-0027");
}

// The tabled peer is the same agreement: the RFC answer, the edge scalars 1 and n - 1 (whose
// products are the point and its negation, same X), the ready-key path on generated keys, and the
// same refusals of scalars outside the group and of a missing table.
TEST_P(PrimitivesP256, TabledPeerAgreesAsThePlainOne) {
  auto gr = p256_peer_point(unhex(kGr));
  ASSERT_TRUE(gr);
  auto tabled = p256_fixed_peer(*gr);
  ASSERT_TRUE(tabled);
  auto rfc = p256_agree(scalar_of(kI), *tabled);
  ASSERT_TRUE(rfc);
  EXPECT_EQ(hex(rfc->span()), kGirx);

  std::array<std::uint8_t, 32> one{};
  one[31] = 1;
  auto n_minus_1 = scalar_of(kOrder);
  n_minus_1[31] -= 1;
  for (const auto& scalar : {one, n_minus_1}) {
    auto a = p256_agree(scalar, *tabled);
    ASSERT_TRUE(a);
    EXPECT_EQ(hex(a->span()), hex(unhex(kGr)).substr(2, 64));
  }

  for (int i = 0; i < 3; ++i) {
    auto own = p256_generate_pair();
    auto peer = p256_generate_pair();
    ASSERT_TRUE(own && peer);
    auto peer_key = p256_peer_key(peer->pub);
    auto peer_point = p256_peer_point(peer->pub);
    ASSERT_TRUE(peer_key && peer_point);
    auto table = p256_fixed_peer(*peer_point);
    ASSERT_TRUE(table);
    auto plain = p256_agree(own->key, *peer_key);
    auto via_table = p256_agree(own->scalar, *table);
    ASSERT_TRUE(plain && via_table);
    EXPECT_TRUE(*plain == *via_table);
  }

  auto n_plus_1 = scalar_of(kOrder);
  n_plus_1[31] += 1;
  for (const auto& scalar : {std::array<std::uint8_t, 32>{}, scalar_of(kOrder), n_plus_1}) {
    EXPECT_EQ(code_of(p256_agree(scalar, *tabled)), "QB-0027");
  }
  EXPECT_EQ(code_of(p256_agree(scalar_of(kI), P256FixedPeer())), "QB-0027");
  EXPECT_EQ(code_of(p256_fixed_peer(P256PeerPoint())), "QB-0005");
}

// The provider path keeps no low-level point or table: a peer is the provider's key, and a table
// is that key alone. Without this both runs could be the fast path twice.
TEST_P(PrimitivesP256, EachPathHoldsItsOwnKindOfPeer) {
  const bool provider = GetParam() == P256Path::provider;
  auto gr = p256_peer_point(unhex(kGr));
  ASSERT_TRUE(gr);
  EXPECT_EQ(gr->get() == nullptr, provider);
  EXPECT_EQ(static_cast<bool>(gr->key()), provider);
  auto tabled = p256_fixed_peer(*gr);
  ASSERT_TRUE(tabled);
  EXPECT_EQ(tabled->group() == nullptr, provider);
}

// Peers read on one path still agree after a switch to the other, as a table kept from before the
// switch must.
TEST(PrimitivesP256Switch, PeersMadeOnOnePathAgreeOnTheOther) {
  for (const auto& [made_on, used_on] :
       {std::pair{P256Path::fast, P256Path::provider}, std::pair{P256Path::provider, P256Path::fast}}) {
    SCOPED_TRACE(made_on == P256Path::fast ? "fast, then provider" : "provider, then fast");
    P256PeerPoint gr;
    P256FixedPeer tabled;
    {
      test::ScopedP256Path path(made_on);
      auto point = p256_peer_point(unhex(kGr));
      ASSERT_TRUE(point);
      auto table = p256_fixed_peer(*point);
      ASSERT_TRUE(table);
      gr = *point;
      tabled = *table;
    }
    test::ScopedP256Path path(used_on);
    auto plain = p256_agree(scalar_of(kI), gr);
    auto via_table = p256_agree(scalar_of(kI), tabled);
    auto table_again = p256_fixed_peer(gr);
    ASSERT_TRUE(plain && via_table && table_again);
    EXPECT_EQ(hex(plain->span()), kGirx);
    EXPECT_EQ(hex(via_table->span()), kGirx);
    auto again = p256_agree(scalar_of(kI), *table_again);
    ASSERT_TRUE(again);
    EXPECT_EQ(hex(again->span()), kGirx);
  }
}

TEST(PrimitivesRandom, FillsTheBuffer) {
  std::array<std::uint8_t, 64> a{}, b{};
  ASSERT_TRUE(random_bytes(a));
  ASSERT_TRUE(random_bytes(b));
  EXPECT_NE(a, b);
  EXPECT_TRUE(random_bytes({}));
}

// Stored configuration files depend on these keys: a change here is a break, not a refactoring.
TEST(PrimitivesConfigKeys, AreFixed) {
  EXPECT_EQ(hex(derive_config_key().span()), "9f06335e51fd2f3d0f36438fa9d09b05");
  EXPECT_EQ(hex(derive_config_mac_key().span()), "648ca14e1b3c3aef25ad480334d64103");
}

TEST(PrimitivesSecretBytes, ResizeKeepsThePrefixAndZeroFills) {
  SecretBytes s{1, 2, 3};
  s.resize(2);
  s.resize(4);
  EXPECT_EQ(hex(s.span()), "01020000");
  SecretBytes copy = s;
  EXPECT_TRUE(copy == s);
  copy[0] = 9;
  EXPECT_FALSE(copy == s);
  SecretBytes moved = std::move(copy);
  EXPECT_EQ(moved[0], 9);
  moved.clear();
  EXPECT_TRUE(moved.empty());
}

// What a moved-from or released text leaves in memory it still owns: the bytes up to its capacity.
bool buffer_is_zero(const SecretString& s, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (s.data()[i] != 0) return false;
  return true;
}

TEST(PrimitivesSecretString, MovesAndReleasesLeaveNoCopy) {
  // Short texts live in the inline buffer, where a plain move leaves them behind.
  for (const std::string_view text : {std::string_view("tok"), std::string_view("a credential past the inline size")}) {
    SCOPED_TRACE(text);
    SecretString a(text);
    SecretString b(std::move(a));
    EXPECT_EQ(b, text);
    EXPECT_TRUE(a.empty());
    EXPECT_TRUE(buffer_is_zero(a, 3));

    SecretString c("x");
    c = std::move(b);
    EXPECT_EQ(c, text);
    EXPECT_TRUE(buffer_is_zero(b, 3));

    c.clear();
    EXPECT_TRUE(c.empty());
    EXPECT_TRUE(buffer_is_zero(c, std::min<std::size_t>(text.size(), 15)));
  }
}

TEST(PrimitivesSecretString, TakingAPlainStringWipesTheDonor) {
  std::string plain = "Bearer abc";
  const char* donor = plain.data();
  const SecretString s(std::move(plain));
  EXPECT_EQ(s, "Bearer abc");
  EXPECT_TRUE(plain.empty());
  for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(donor[i], 0) << i;
}

TEST(PrimitivesSecretString, ComparesByContent) {
  const SecretString a("abc");
  EXPECT_TRUE(a == SecretString("abc"));
  EXPECT_TRUE(a == std::string("abc"));
  EXPECT_FALSE(a == "abd");
  EXPECT_FALSE(a == "ab");
  EXPECT_TRUE(SecretString() == "");
  SecretString b;
  b.append("ab").append("c");
  EXPECT_TRUE(a == b);
}

}  // namespace
}  // namespace qb
