#include "vault/field_decrypt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/runtime.h"
#include "core/runtime_async.h"
#include "crypto/codecs.h"
#include "crypto/primitives.h"

namespace qb {
namespace {

SecretArray<16> make_l2(std::uint8_t seed) {
  SecretArray<16> l2;
  for (std::size_t i = 0; i < l2.size(); ++i) l2[i] = static_cast<std::uint8_t>(seed + i);
  return l2;
}

// Raw sealed bytes the way the vault writes a tier-2 value: nonce || ciphertext || tag under
// HKDF-SHA256(l2, no salt, "quorbelt-field-" || label).
std::vector<std::uint8_t> seal_raw(const SecretArray<16>& l2, std::string_view label, std::string_view plaintext) {
  std::string info = "quorbelt-field-";
  info += label;
  const auto key = hkdf_sha256(l2.span(), std::nullopt,
                               ByteView(reinterpret_cast<const std::uint8_t*>(info.data()), info.size()), 32);
  auto sealed =
      aead_encrypt(key.span(), ByteView(reinterpret_cast<const std::uint8_t*>(plaintext.data()), plaintext.size()));
  EXPECT_TRUE(sealed);
  return *sealed;
}

std::string seal(const SecretArray<16>& l2, std::string_view label, std::string_view plaintext) {
  return encode_base64(seal_raw(l2, label, plaintext));
}

ProxyResult<SecretString> open(std::string label, std::string ciphertext, const SecretArray<16>& l2) {
  return run_field_decrypt(FieldDecryptJob{std::move(label), std::move(ciphertext), l2});
}

std::string failure_text(std::string_view label, const QuorbeltError& row) {
  return "decrypt " + std::string(label) + ": " + row.debug();
}

TEST(FieldDecryptTest, RoundTrips) {
  const auto l2 = make_l2(1);
  for (std::string_view plain : {std::string_view("s3cret-\u2713"), std::string_view("")}) {
    auto got = open("api_key", seal(l2, "api_key", plain), l2);
    ASSERT_TRUE(got) << got.error().display();
    EXPECT_EQ(*got, plain);
  }
  // Nonce and tag only: 28 bytes give the empty text.
  EXPECT_EQ(seal_raw(l2, "api_key", "").size(), 28u);
  // An empty label derives from the prefix alone.
  auto empty_label = open("", seal(l2, "", "v"), l2);
  ASSERT_TRUE(empty_label);
  EXPECT_EQ(*empty_label, "v");
  // Any label length goes into the derivation.
  const std::string long_label(5000, 'L');
  auto long_one = open(long_label, seal(l2, long_label, "long"), l2);
  ASSERT_TRUE(long_one) << long_one.error().display();
  EXPECT_EQ(*long_one, "long");
}

TEST(FieldDecryptTest, RefusalTextIsExact) {
  const auto got = open("api_key", "", make_l2(1));
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().code, codes::QB_5036);
  EXPECT_EQ(got.error().detail,
            "decrypt api_key: QuorbeltError { code: \"QB-0010\", user_msg: \"Encrypted data is truncated.\", "
            "tech_msg: \"AES-GCM ciphertext shorter than nonce(12) + tag(16) = 28 bytes\", resolution: \"The "
            "encrypted data was corrupted in transit or storage. Re-save the entry.\", severity: Error, "
            "component: Crypto }");
}

TEST(FieldDecryptTest, Refusals) {
  const auto l2 = make_l2(1);
  // 29 bytes: one "=" of padding.
  const std::string good = seal(l2, "token", "x");
  ASSERT_EQ(good.back(), '=');
  ASSERT_NE(good[good.size() - 2], '=');

  auto tampered_tag = seal_raw(l2, "token", "x");
  tampered_tag.back() ^= 0x01;
  auto tampered_nonce = seal_raw(l2, "token", "x");
  tampered_nonce.front() ^= 0x80;
  // The symbol before "=" carries 2 unused bits; set one.
  constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string trailing_bits = good;
  char& last = trailing_bits[trailing_bits.size() - 2];
  last = kAlphabet[(kAlphabet.find(last) & ~std::size_t{3}) | 1];

  struct Case {
    std::string name;
    std::string label;
    std::string ciphertext;
    SecretArray<16> l2;
    QuorbeltError row;
  };
  const std::vector<Case> cases = {
      {"label in other case", "TOKEN", good, l2, catalogue::QB_0003},
      {"wrong l2", "token", good, make_l2(2), catalogue::QB_0003},
      {"tampered tag", "token", encode_base64(tampered_tag), l2, catalogue::QB_0003},
      {"tampered nonce", "token", encode_base64(tampered_nonce), l2, catalogue::QB_0003},
      {"missing padding", "token", good.substr(0, good.size() - 1), l2, catalogue::QB_0002},
      {"surplus padding", "token", good + "=", l2, catalogue::QB_0002},
      {"inner line break", "token", good.substr(0, 20) + "\n" + good.substr(20), l2, catalogue::QB_0002},
      {"trailing line break", "token", good + "\n", l2, catalogue::QB_0002},
      {"url-safe alphabet", "token", "-_-_", l2, catalogue::QB_0002},
      {"non-zero trailing bits", "token", trailing_bits, l2, catalogue::QB_0002},
      {"empty", "token", "", l2, catalogue::QB_0010},
      {"27 bytes", "token", encode_base64(std::vector<std::uint8_t>(27, 7)), l2, catalogue::QB_0010},
      {"invalid UTF-8", "token", seal(l2, "token", "ok\xff\xfe"), l2, catalogue::QB_0006},
      {"surrogate in UTF-8", "token", seal(l2, "token", "\xed\xa0\x80"), l2, catalogue::QB_0006},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto got = open(c.label, c.ciphertext, c.l2);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().code, codes::QB_5036);
    EXPECT_EQ(got.error().detail, failure_text(c.label, c.row));
  }
}

boost::asio::awaitable<ProxyResult<SecretString>> decrypt_on_pool(BlockingPool& pool, std::string label,
                                                                  std::string ciphertext, SecretArray<16> l2) {
  FieldDecryptJob job{std::move(label), std::move(ciphertext), l2};
  co_return co_await spawn_field_decrypt(pool, std::move(job));
}

using Results = std::vector<ProxyResult<SecretString>>;

boost::asio::awaitable<Results> decrypt_both(BlockingPool& pool, std::string good, SecretArray<16> l2) {
  Results out;
  auto first = decrypt_on_pool(pool, "pw", std::move(good), l2);
  out.push_back(co_await std::move(first));
  auto second = decrypt_on_pool(pool, "pw", "not base64", l2);
  out.push_back(co_await std::move(second));
  co_return out;
}

TEST(FieldDecryptTest, RunsOnTheBlockingPool) {
  Runtime rt(1, 4);
  const auto l2 = make_l2(9);
  const Results got = block_on(rt, decrypt_both(rt.blocking(), seal(l2, "pw", "hunter2"), l2));
  ASSERT_EQ(got.size(), 2u);
  ASSERT_TRUE(got[0]) << got[0].error().display();
  EXPECT_EQ(*got[0], "hunter2");
  ASSERT_FALSE(got[1]);
  EXPECT_EQ(got[1].error().code, codes::QB_5036);
  EXPECT_EQ(got[1].error().detail, failure_text("pw", catalogue::QB_0002));
}

}  // namespace
}  // namespace qb
