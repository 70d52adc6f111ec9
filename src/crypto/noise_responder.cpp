#include "crypto/noise_responder.h"

#include <algorithm>
#include <utility>

#include "core/bytes.h"
#include "core/result.h"

namespace qb::noise {

using catalogue::QB_0005;
using catalogue::QB_0010;

namespace {

CryptoResult<void> mix_agreement(SymmetricState& ss, P256ScalarView own, const P256PeerPoint& peer) {
  QB_TRY(const SharedSecret dh, p256_agree(own, peer));
  ss.mix_key(dh.span());
  return {};
}

}  // namespace

CryptoResult<ResponderKeys> make_responder_keys(P256ScalarView s, const mlkem768::KeyPair& kem) {
  QB_TRY(const P256Public s_pub, p256_public_from_scalar(s));
  ResponderKeys keys{P256Scalar(s), kem.dk, {}};
  std::copy(s_pub.begin(), s_pub.end(), keys.pub.bytes.begin());
  std::copy(kem.ek.begin(), kem.ek.end(), keys.pub.bytes.begin() + kNodeP256Len);
  return keys;
}

CryptoResult<ResponderKeys> generate_responder_keys() {
  QB_TRY(auto s, p256_generate());
  QB_TRY(auto kem, mlkem768::keygen());
  return make_responder_keys(s.span(), kem);
}

struct ResponderAccess {
  static ResponderState make() { return ResponderState(); }
  static SymmetricState& ss(ResponderState& st) { return st.ss_; }
  static P256Public& re(ResponderState& st) { return st.re_; }
  static P256Public& rs(ResponderState& st) { return st.rs_; }
  static P256PeerPoint& re_key(ResponderState& st) { return st.re_key_; }
  static P256PeerPoint& rs_key(ResponderState& st) { return st.rs_key_; }
};

ResponderState::ResponderState(ResponderState&& other) noexcept
    : ss_(std::move(other.ss_)),
      re_(other.re_),
      rs_(other.rs_),
      re_key_(std::move(other.re_key_)),
      rs_key_(std::move(other.rs_key_)) {}

ResponderState& ResponderState::operator=(ResponderState&& other) noexcept {
  if (this != &other) {
    ss_ = std::move(other.ss_);
    re_ = other.re_;
    rs_ = other.rs_;
    re_key_ = std::move(other.re_key_);
    rs_key_ = std::move(other.rs_key_);
  }
  return *this;
}

void ResponderState::wipe() noexcept { ss_.wipe(); }

namespace {

// A point kept in the state, or read again from its bytes when the state lacks it.
CryptoResult<P256PeerPoint> peer_of(P256PeerPoint& kept, const P256Public& bytes) {
  if (kept) return std::move(kept);
  return p256_peer_point(bytes);
}

}  // namespace

namespace detail {

CryptoResult<Msg1Opened> read_msg1_with_prologue(const ResponderKeys& keys, ByteView msg1, ByteView prologue) {
  if (msg1.size() < kMsg1Overhead) return QB_0010;
  ResponderState st = ResponderAccess::make();
  SymmetricState& ss = ResponderAccess::ss(st);
  ss.mix_hash(prologue);
  ss.mix_hash(keys.pub.bytes);

  const ByteView re = msg1.first(kP256PublicLen);
  ss.mix_hash(re);
  // es, from this side
  QB_TRY(P256PeerPoint re_key, p256_peer_point(re));
  QB_TRY_VOID(mix_agreement(ss, keys.s.span(), re_key));

  const auto ct = msg1.subspan(kMsg1KemOffset).first<mlkem768::kCiphertextBytes>();
  ss.mix_hash(ct);
  QB_TRY(auto&& kem_secret, mlkem768::decapsulate(keys.dk.span(), ct));
  ss.mix_key(kem_secret.span());
  kem_secret.wipe();

  QB_TRY(auto rs, ss.decrypt_and_hash(msg1.subspan(kMsg1StaticOffset, kP256PublicLen + kAeadTagLen)));
  if (rs.size() != kP256PublicLen) return QB_0005;
  // ss
  QB_TRY(P256PeerPoint rs_key, p256_peer_point(rs.span()));
  QB_TRY_VOID(mix_agreement(ss, keys.s.span(), rs_key));

  QB_TRY(auto payload, ss.decrypt_and_hash(msg1.subspan(kMsg1PayloadOffset)));

  std::copy(re.begin(), re.end(), ResponderAccess::re(st).begin());
  std::copy(rs.begin(), rs.end(), ResponderAccess::rs(st).begin());
  ResponderAccess::re_key(st) = std::move(re_key);
  ResponderAccess::rs_key(st) = std::move(rs_key);
  return Msg1Opened{std::move(st), std::move(payload)};
}

}  // namespace detail

namespace {

CryptoResult<std::vector<std::uint8_t>> write_msg2_from(ResponderState&& state, ByteView payload, P256ScalarView e,
                                                        const P256Public* e_pub_given) {
  struct WipeOnExit {
    ResponderState& st;
    ~WipeOnExit() { st.wipe(); }
  } guard{state};

  SymmetricState& ss = ResponderAccess::ss(state);
  QB_TRY(const P256Public e_pub,
         e_pub_given != nullptr ? CryptoResult<P256Public>(*e_pub_given) : p256_public_from_scalar(e));
  ss.mix_hash(e_pub);
  // ee, then se (the initiator's static with our ephemeral)
  auto re_key = peer_of(ResponderAccess::re_key(state), ResponderAccess::re(state));
  if (!re_key) return re_key.error();
  QB_TRY_VOID(mix_agreement(ss, e, *re_key));
  auto rs_key = peer_of(ResponderAccess::rs_key(state), ResponderAccess::rs(state));
  if (!rs_key) return rs_key.error();
  QB_TRY_VOID(mix_agreement(ss, e, *rs_key));
  QB_TRY(auto c, ss.encrypt_and_hash(payload));

  std::vector<std::uint8_t> out;
  out.reserve(kP256PublicLen + c.size());
  out.insert(out.end(), e_pub.begin(), e_pub.end());
  out.insert(out.end(), c.begin(), c.end());
  return out;
}

}  // namespace

namespace detail {
CryptoResult<std::vector<std::uint8_t>> write_msg2_with(ResponderState&& state, ByteView payload, P256ScalarView e) {
  return write_msg2_from(std::move(state), payload, e, nullptr);
}
}  // namespace detail

CryptoResult<Msg1Opened> read_msg1(const ResponderKeys& keys, ByteView msg1) {
  return detail::read_msg1_with_prologue(keys, msg1, as_bytes(kPrologue));
}

CryptoResult<std::vector<std::uint8_t>> write_msg2(ResponderState&& state, ByteView payload) {
  auto e = p256_generate_scalar_pair();
  if (!e) {
    state.wipe();
    return e.error();
  }
  return write_msg2_from(std::move(state), payload, e->scalar.span(), &e->pub);
}

}  // namespace qb::noise
