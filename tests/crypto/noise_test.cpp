#include "crypto/noise.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "crypto/noise_responder.h"
#include "hex_util.h"
#include "p256_paths.h"

namespace qb::noise {
namespace {

using test::hex;

std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

template <std::size_t N>
std::array<std::uint8_t, N> filled(std::uint8_t b) {
  std::array<std::uint8_t, N> a{};
  a.fill(b);
  return a;
}

// g++ 12 misreads vector::insert of a vector here (-Warray-bounds), so copy into place.
std::vector<std::uint8_t> concat(ByteView a, ByteView b) {
  std::vector<std::uint8_t> out(a.size() + b.size());
  std::copy(a.begin(), a.end(), out.begin());
  std::copy(b.begin(), b.end(), out.begin() + static_cast<std::ptrdiff_t>(a.size()));
  return out;
}

std::vector<std::uint8_t> pattern(std::size_t n) {
  std::vector<std::uint8_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return out;
}

P256Scalar fresh_scalar() {
  auto s = p256_generate();
  EXPECT_TRUE(s);
  return s ? *s : P256Scalar{};
}

P256Public public_of(P256ScalarView s) {
  auto p = p256_public_from_scalar(s);
  EXPECT_TRUE(p);
  return p ? *p : P256Public{};
}

// Every handshake test runs on both P-256 paths.
class NoiseTest : public test::P256PathTest {
 protected:
  static void SetUpTestSuite() {
    auto k = generate_responder_keys();
    ASSERT_TRUE(k);
    keys_ = new ResponderKeys(*k);
  }
  static void TearDownTestSuite() {
    delete keys_;
    keys_ = nullptr;
  }
  static const ResponderKeys& keys() { return *keys_; }

  // A fresh initiator state and a msg2 answering it with the given reply.
  struct Exchange {
    HandshakeState state;
    std::vector<std::uint8_t> msg2;
  };
  static Exchange exchange(ByteView reply) {
    auto s = fresh_scalar();
    auto m1 = write_msg1(keys().pub, s.span(), bytes_of("\x10{}"));
    EXPECT_TRUE(m1);
    auto opened = read_msg1(keys(), m1->bytes);
    EXPECT_TRUE(opened);
    auto m2 = write_msg2(std::move(opened->state), reply);
    EXPECT_TRUE(m2);
    return {std::move(m1->state), *m2};
  }

 private:
  static inline ResponderKeys* keys_ = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Path, NoiseTest, ::testing::ValuesIn(test::kBothP256Paths), test::p256_path_name);

TEST_P(NoiseTest, RoundTripCarriesPayloadsOfEverySize) {
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{1} << 20}) {
    SCOPED_TRACE(n);
    const auto request = pattern(n);
    const auto reply = pattern(n + 3);
    auto s = fresh_scalar();
    auto m1 = write_msg1(keys().pub, s.span(), request);
    ASSERT_TRUE(m1);
    EXPECT_EQ(m1->bytes.size(), n + 1250);

    auto opened = read_msg1(keys(), m1->bytes);
    ASSERT_TRUE(opened) << opened.error().code;
    EXPECT_TRUE(std::equal(opened->payload.begin(), opened->payload.end(), request.begin(), request.end()));
    EXPECT_EQ(opened->state.initiator_static(), public_of(s.span()));

    auto m2 = write_msg2(std::move(opened->state), reply);
    ASSERT_TRUE(m2);
    EXPECT_EQ(m2->size(), reply.size() + 81);
    EXPECT_FALSE(opened->state.symmetric().has_key());

    auto got = read_msg2(std::move(m1->state), *m2);
    ASSERT_TRUE(got) << got.error().code;
    EXPECT_TRUE(std::equal(got->begin(), got->end(), reply.begin(), reply.end()));
    EXPECT_FALSE(m1->state.symmetric().has_key());
  }
}

TEST_P(NoiseTest, EmptyReplyIsExactly81Bytes) {
  auto ex = exchange({});
  ASSERT_EQ(ex.msg2.size(), 81u);
  auto got = read_msg2(std::move(ex.state), ex.msg2);
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->empty());
}

TEST_P(NoiseTest, Msg1LayoutFollowsTheFixedOffsets) {
  const auto s = filled<32>(0x31);
  const auto e = filled<32>(0x41);
  const auto m = filled<32>(0x51);
  const auto payload = bytes_of("\x10{\"action\":\"system.ping\"}");
  auto m1 = detail::write_msg1_with(keys().pub, s, payload, e, m);
  ASSERT_TRUE(m1);
  const auto& b = m1->bytes;
  ASSERT_EQ(b.size(), payload.size() + 1250);

  const auto e_pub = public_of(e);
  EXPECT_TRUE(std::equal(e_pub.begin(), e_pub.end(), b.begin()));
  auto kem = mlkem768::encaps_internal(keys().pub.mlkem(), m);
  ASSERT_TRUE(kem);
  EXPECT_TRUE(std::equal(kem->ciphertext.begin(), kem->ciphertext.end(), b.begin() + 65));
  // 1153..1233 is s_pub sealed (65 + 16); 1234.. the payload sealed.
  EXPECT_EQ(b.size() - 1234, payload.size() + 16);

  auto opened = read_msg1(keys(), b);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->state.initiator_ephemeral(), e_pub);
  EXPECT_EQ(opened->state.initiator_static(), public_of(s));
  EXPECT_TRUE(std::equal(opened->payload.begin(), opened->payload.end(), payload.begin(), payload.end()));
}

TEST_P(NoiseTest, TwoExchangesDifferInEveryField) {
  auto s = fresh_scalar();
  const auto payload = bytes_of("\x10same");
  auto a = write_msg1(keys().pub, s.span(), payload);
  auto b = write_msg1(keys().pub, s.span(), payload);
  ASSERT_TRUE(a && b);
  const std::pair<std::size_t, std::size_t> fields[] = {{0, 65}, {65, 1153}, {1153, 1234}, {1234, a->bytes.size()}};
  for (auto [from, to] : fields) {
    SCOPED_TRACE(from);
    EXPECT_FALSE(std::equal(a->bytes.begin() + from, a->bytes.begin() + to, b->bytes.begin() + from));
  }
}

class NoiseKnownAnswer : public test::P256PathTest {};
INSTANTIATE_TEST_SUITE_P(Path, NoiseKnownAnswer, ::testing::ValuesIn(test::kBothP256Paths), test::p256_path_name);

// Fixed keys and randomness: any change to the transcript changes these hashes. The same three
// values come out of a separate script on node:crypto and @noble/post-quantum.
TEST_P(NoiseKnownAnswer, TranscriptIsPinned) {
  auto kem = mlkem768::keygen_internal(filled<32>(0x21), filled<32>(0x22));
  auto keys = make_responder_keys(filled<32>(0x11), kem);
  ASSERT_TRUE(keys);
  const auto request = bytes_of("\x10{\"action\":\"system.ping\",\"cred\":\"qbt_x\"}");
  const auto reply = bytes_of("\x10{\"ok\":true}");

  auto m1 = detail::write_msg1_with(keys->pub, filled<32>(0x31), request, filled<32>(0x41), filled<32>(0x51));
  ASSERT_TRUE(m1);
  auto opened = read_msg1(*keys, m1->bytes);
  ASSERT_TRUE(opened);
  auto m2 = detail::write_msg2_with(std::move(opened->state), reply, filled<32>(0x61));
  ASSERT_TRUE(m2);
  auto got = read_msg2(std::move(m1->state), *m2);
  ASSERT_TRUE(got);

  EXPECT_EQ(hex(sha256(m1->bytes)), "37246ed02c54f7e7190be364f1ec4a4e28c44e22ac9c0aa89c4d333554d19d6a");
  EXPECT_EQ(hex(sha256(*m2)), "4a1294b1bda4e0bc6a92322bd42181ae4f740db6f1800e57869239c77b3c8202");
  EXPECT_EQ(hex(m1->state.symmetric().handshake_hash()),
            "8ffb95dc8c88a24a4e19ee8409a7e20eadfd9678e387133ba62064e7d692a67b");
  EXPECT_EQ(m1->state.symmetric().handshake_hash(), opened->state.symmetric().handshake_hash());
}

// Repeated calls to one node switch its two agreements to a table of the node's point after the
// first; the transcript must not move.
TEST_P(NoiseKnownAnswer, RepeatedCallsToOneNodeKeepTheTranscript) {
  auto kem = mlkem768::keygen_internal(filled<32>(0x21), filled<32>(0x22));
  auto keys = make_responder_keys(filled<32>(0x11), kem);
  ASSERT_TRUE(keys);
  const auto request = bytes_of("\x10{\"action\":\"system.ping\",\"cred\":\"qbt_x\"}");
  const auto reply = bytes_of("\x10{\"ok\":true}");
  for (int call = 0; call < 3; ++call) {
    SCOPED_TRACE(call);
    auto m1 = detail::write_msg1_with(keys->pub, filled<32>(0x31), request, filled<32>(0x41), filled<32>(0x51));
    ASSERT_TRUE(m1);
    EXPECT_EQ(hex(sha256(m1->bytes)), "37246ed02c54f7e7190be364f1ec4a4e28c44e22ac9c0aa89c4d333554d19d6a");
    auto opened = read_msg1(*keys, m1->bytes);
    ASSERT_TRUE(opened);
    auto m2 = detail::write_msg2_with(std::move(opened->state), reply, filled<32>(0x61));
    ASSERT_TRUE(m2);
    auto got = read_msg2(std::move(m1->state), *m2);
    ASSERT_TRUE(got);
    EXPECT_EQ(hex(got->span()), hex(reply));
  }
}

// Threads calling one new node at once: one builds the node's table while the others agree the
// plain way, then all use it; every exchange opens on the responder's side. On the provider path
// every agreement is plain, the provider's keys shared by the threads.
class NoiseConcurrency : public test::P256PathTest {};
INSTANTIATE_TEST_SUITE_P(Path, NoiseConcurrency, ::testing::ValuesIn(test::kBothP256Paths), test::p256_path_name);

TEST_P(NoiseConcurrency, CallsToOneNewNodeFromManyThreadsAllOpen) {
  auto keys = generate_responder_keys();
  ASSERT_TRUE(keys);
  std::atomic<int> opened{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 3; ++i) {
        auto s = p256_generate();
        if (!s) return;
        auto m1 = write_msg1(keys->pub, s->span(), bytes_of("\x10{}"));
        if (!m1) return;
        auto in = read_msg1(*keys, m1->bytes);
        if (!in) return;
        auto m2 = write_msg2(std::move(in->state), bytes_of("\x10ok"));
        if (!m2) return;
        auto reply = read_msg2(std::move(m1->state), *m2);
        if (reply && hex(reply->span()) == hex(bytes_of("\x10ok"))) ++opened;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(opened.load(), 24);
}

TEST_P(NoiseTest, Msg2RefusalsCarryTheirRows) {
  const auto other_point = public_of(fresh_scalar().span());
  struct Case {
    const char* name;
    std::size_t reply_len;
    std::function<void(std::vector<std::uint8_t>&)> change;
    std::string_view code;
  };
  const Case cases[] = {
      // All zeros would fail the point check, so QB-0010 shows no agreement was tried.
      {"80 bytes", 0, [](auto& m) { m.assign(80, 0); }, "QB-0010"},
      {"empty", 0, [](auto& m) { m.clear(); }, "QB-0010"},
      {"one byte short", 0, [](auto& m) { m.pop_back(); }, "QB-0010"},
      {"compressed prefix", 0, [](auto& m) { m[0] = 0x02 | (m[64] & 1); }, "QB-0027"},
      {"hybrid prefix", 0, [](auto& m) { m[0] = 0x06 | (m[64] & 1); }, "QB-0027"},
      {"off the curve", 0, [](auto& m) { m[64] ^= 1; }, "QB-0027"},
      {"identity-like zeros", 4, [](auto& m) { std::fill(m.begin() + 1, m.begin() + 65, 0); }, "QB-0027"},
      {"another valid re", 4, [&](auto& m) { std::copy(other_point.begin(), other_point.end(), m.begin()); },
       "QB-0003"},
      {"truncated reply", 4, [](auto& m) { m.pop_back(); }, "QB-0003"},
      {"byte appended", 4, [](auto& m) { m.push_back(0); }, "QB-0003"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto ex = exchange(pattern(c.reply_len));
    c.change(ex.msg2);
    auto got = read_msg2(std::move(ex.state), ex.msg2);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().code, c.code);
    EXPECT_FALSE(ex.state.symmetric().has_key());
  }
  // Every byte after re, ciphertext and tag alike.
  for (std::size_t i = 65; i < 81 + 4; ++i) {
    SCOPED_TRACE(i);
    auto ex = exchange(pattern(4));
    ex.msg2[i] ^= 0x80;
    auto got = read_msg2(std::move(ex.state), ex.msg2);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().code, "QB-0003");
  }
}

TEST_P(NoiseTest, BadResponderKeyIsRefusedBeforeAnyMessage) {
  struct Case {
    const char* name;
    std::function<void(NodePublicKey&)> change;
  };
  const Case cases[] = {
      {"compressed P-256 prefix", [](auto& k) { k.bytes[0] = 0x02 | (k.bytes[64] & 1); }},
      {"P-256 point off the curve", [](auto& k) { k.bytes[64] ^= 1; }},
      {"P-256 part all zero", [](auto& k) { std::fill(k.bytes.begin(), k.bytes.begin() + 65, 0); }},
      // The first 12-bit coefficient becomes 4095, above q = 3329.
      {"ML-KEM coefficient not below q",
       [](auto& k) {
         k.bytes[65] = 0xff;
         k.bytes[66] |= 0x0f;
       }},
  };
  auto s = fresh_scalar();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NodePublicKey rs = keys().pub;
    c.change(rs);
    auto m1 = write_msg1(rs, s.span(), bytes_of("\x10{}"));
    ASSERT_FALSE(m1);
    EXPECT_EQ(m1.error().code, "QB-0027");
  }
  // An initiator scalar of zero is refused the same way.
  const std::array<std::uint8_t, 32> zero{};
  auto m1 = write_msg1(keys().pub, zero, {});
  ASSERT_FALSE(m1);
  EXPECT_EQ(m1.error().code, "QB-0027");
}

TEST_P(NoiseTest, ResponderRefusesForeignOrDamagedMsg1) {
  auto s = fresh_scalar();
  auto m1 = write_msg1(keys().pub, s.span(), bytes_of("\x10hello"));
  ASSERT_TRUE(m1);
  auto other = generate_responder_keys();
  ASSERT_TRUE(other);

  auto wrong_prologue = detail::read_msg1_with_prologue(keys(), m1->bytes, bytes_of("quorbelt-noise-v1"));
  ASSERT_FALSE(wrong_prologue);
  EXPECT_EQ(wrong_prologue.error().code, "QB-0003");

  auto wrong_keys = read_msg1(*other, m1->bytes);
  ASSERT_FALSE(wrong_keys);
  EXPECT_EQ(wrong_keys.error().code, "QB-0003");

  auto short_msg = read_msg1(keys(), ByteView(m1->bytes).first(1249));
  ASSERT_FALSE(short_msg);
  EXPECT_EQ(short_msg.error().code, "QB-0010");

  // A changed KEM ciphertext decapsulates to the rejection secret, so the next tag fails.
  for (std::size_t at : {std::size_t{64}, std::size_t{65}, std::size_t{1152}, std::size_t{1153}, std::size_t{1234},
                         m1->bytes.size() - 1}) {
    SCOPED_TRACE(at);
    auto damaged = m1->bytes;
    damaged[at] ^= 1;
    auto r = read_msg1(keys(), damaged);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code, at == 64 ? "QB-0027" : "QB-0003");
  }
}

// mix_key is HKDF(ck, x, 2) of the Noise framework, and the nonce is 4 zero bytes then n big-endian;
// both checked here from HMAC alone.
TEST(NoiseSymmetricState, MatchesNoiseHkdfAndNonceRule) {
  SymmetricState ss;
  const Digest h0 = sha256(bytes_of(kProtocolName));
  EXPECT_EQ(ss.handshake_hash(), h0);

  const auto x = filled<32>(0x5a);
  const HmacTag temp = hmac_sha256(h0, x);
  const HmacTag ck1 = hmac_sha256(temp, std::array<std::uint8_t, 1>{1});
  const HmacTag k1 = hmac_sha256(temp, concat(ck1, std::array<std::uint8_t, 1>{2}));

  ss.mix_key(x);
  EXPECT_EQ(ss.nonce(), 0u);
  const auto p = bytes_of("first");
  auto c1 = ss.encrypt_and_hash(p);
  ASSERT_TRUE(c1);
  std::array<std::uint8_t, 12> nonce{};
  auto want1 = aead_seal(k1, nonce, h0, p);
  ASSERT_TRUE(want1);
  EXPECT_EQ(*c1, *want1);

  const Digest h1 = sha256(concat(h0, *c1));
  EXPECT_EQ(ss.handshake_hash(), h1);

  auto c2 = ss.encrypt_and_hash(p);
  ASSERT_TRUE(c2);
  nonce[11] = 1;
  auto want2 = aead_seal(k1, nonce, h1, p);
  ASSERT_TRUE(want2);
  EXPECT_EQ(*c2, *want2);

  // The next mix_key chains from ck1.
  const HmacTag temp2 = hmac_sha256(ck1, x);
  const HmacTag ck2 = hmac_sha256(temp2, std::array<std::uint8_t, 1>{1});
  const HmacTag k2 = hmac_sha256(temp2, concat(ck2, std::array<std::uint8_t, 1>{2}));
  ss.mix_key(x);
  const Digest h2 = ss.handshake_hash();
  auto c3 = ss.encrypt_and_hash(p);
  ASSERT_TRUE(c3);
  nonce[11] = 0;
  auto want3 = aead_seal(k2, nonce, h2, p);
  ASSERT_TRUE(want3);
  EXPECT_EQ(*c3, *want3);
}

TEST(NoiseSymmetricState, RefusalsLeaveTheStateUnchanged) {
  SymmetricState ss;
  const Digest h0 = ss.handshake_hash();
  auto enc = ss.encrypt_and_hash(bytes_of("x"));
  ASSERT_FALSE(enc);
  EXPECT_EQ(enc.error().code, "QB-0005");
  auto dec = ss.decrypt_and_hash(std::vector<std::uint8_t>(32));
  ASSERT_FALSE(dec);
  EXPECT_EQ(dec.error().code, "QB-0005");
  EXPECT_EQ(ss.handshake_hash(), h0);

  ss.mix_key(filled<32>(1));
  SymmetricState peer;
  peer.mix_key(filled<32>(1));
  auto c = peer.encrypt_and_hash(bytes_of("payload"));
  ASSERT_TRUE(c);
  const Digest h1 = ss.handshake_hash();

  auto too_short = ss.decrypt_and_hash(ByteView(*c).first(15));
  ASSERT_FALSE(too_short);
  EXPECT_EQ(too_short.error().code, "QB-0010");
  auto tampered = *c;
  tampered.back() ^= 1;
  auto bad_tag = ss.decrypt_and_hash(tampered);
  ASSERT_FALSE(bad_tag);
  EXPECT_EQ(bad_tag.error().code, "QB-0003");
  EXPECT_EQ(ss.handshake_hash(), h1);
  EXPECT_EQ(ss.nonce(), 0u);

  auto ok = ss.decrypt_and_hash(*c);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->text(), "payload");
  EXPECT_EQ(ss.nonce(), 1u);
  EXPECT_EQ(ss.handshake_hash(), peer.handshake_hash());

  SymmetricState moved = std::move(ss);
  EXPECT_TRUE(moved.has_key());
  EXPECT_FALSE(ss.has_key());
  symmetric_state_wipe(moved);
  EXPECT_FALSE(moved.has_key());
}

}  // namespace
}  // namespace qb::noise
