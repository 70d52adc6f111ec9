#include "crypto/noise_responder.h"

#include <algorithm>
#include <utility>

namespace qb::noise {

using catalogue::QB_0005;
using catalogue::QB_0010;

namespace {

ByteView bytes_of(std::string_view text) { return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}; }

CryptoResult<void> mix_agreement(SymmetricState& ss, P256ScalarView own, ByteView peer) {
  auto dh = p256_agree(own, peer);
  if (!dh) return dh.error();
  ss.mix_key(dh->span());
  return {};
}

}  // namespace

CryptoResult<ResponderKeys> make_responder_keys(P256ScalarView s, const mlkem768::KeyPair& kem) {
  auto s_pub = p256_public_from_scalar(s);
  if (!s_pub) return s_pub.error();
  ResponderKeys keys{P256Scalar(s), kem.dk, {}};
  std::copy(s_pub->begin(), s_pub->end(), keys.pub.bytes.begin());
  std::copy(kem.ek.begin(), kem.ek.end(), keys.pub.bytes.begin() + kNodeP256Len);
  return keys;
}

CryptoResult<ResponderKeys> generate_responder_keys() {
  auto s = p256_generate();
  if (!s) return s.error();
  auto kem = mlkem768::keygen();
  if (!kem) return kem.error();
  return make_responder_keys(s->span(), *kem);
}

struct ResponderAccess {
  static ResponderState make() { return ResponderState(); }
  static SymmetricState& ss(ResponderState& st) { return st.ss_; }
  static P256Public& re(ResponderState& st) { return st.re_; }
  static P256Public& rs(ResponderState& st) { return st.rs_; }
};

ResponderState::ResponderState(ResponderState&& other) noexcept
    : ss_(std::move(other.ss_)), re_(other.re_), rs_(other.rs_) {}

ResponderState& ResponderState::operator=(ResponderState&& other) noexcept {
  if (this != &other) {
    ss_ = std::move(other.ss_);
    re_ = other.re_;
    rs_ = other.rs_;
  }
  return *this;
}

void ResponderState::wipe() noexcept { ss_.wipe(); }

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
  if (auto r = mix_agreement(ss, keys.s.span(), re); !r) return r.error();

  const auto ct = msg1.subspan(kMsg1KemOffset).first<mlkem768::kCiphertextBytes>();
  ss.mix_hash(ct);
  auto kem_secret = mlkem768::decapsulate(keys.dk.span(), ct);
  if (!kem_secret) return kem_secret.error();
  ss.mix_key(kem_secret->span());
  kem_secret->wipe();

  auto rs = ss.decrypt_and_hash(msg1.subspan(kMsg1StaticOffset, kP256PublicLen + kAeadTagLen));
  if (!rs) return rs.error();
  if (rs->size() != kP256PublicLen) return QB_0005;
  // ss
  if (auto r = mix_agreement(ss, keys.s.span(), rs->span()); !r) return r.error();

  auto payload = ss.decrypt_and_hash(msg1.subspan(kMsg1PayloadOffset));
  if (!payload) return payload.error();

  std::copy(re.begin(), re.end(), ResponderAccess::re(st).begin());
  std::copy(rs->begin(), rs->end(), ResponderAccess::rs(st).begin());
  return Msg1Opened{std::move(st), std::move(*payload)};
}

CryptoResult<std::vector<std::uint8_t>> write_msg2_with(ResponderState&& state, ByteView payload, P256ScalarView e) {
  struct WipeOnExit {
    ResponderState& st;
    ~WipeOnExit() { st.wipe(); }
  } guard{state};

  SymmetricState& ss = ResponderAccess::ss(state);
  auto e_pub = p256_public_from_scalar(e);
  if (!e_pub) return e_pub.error();
  ss.mix_hash(*e_pub);
  // ee, then se (the initiator's static with our ephemeral)
  if (auto r = mix_agreement(ss, e, ResponderAccess::re(state)); !r) return r.error();
  if (auto r = mix_agreement(ss, e, ResponderAccess::rs(state)); !r) return r.error();
  auto c = ss.encrypt_and_hash(payload);
  if (!c) return c.error();

  std::vector<std::uint8_t> out;
  out.reserve(kP256PublicLen + c->size());
  out.insert(out.end(), e_pub->begin(), e_pub->end());
  out.insert(out.end(), c->begin(), c->end());
  return out;
}

}  // namespace detail

CryptoResult<Msg1Opened> read_msg1(const ResponderKeys& keys, ByteView msg1) {
  return detail::read_msg1_with_prologue(keys, msg1, bytes_of(kPrologue));
}

CryptoResult<std::vector<std::uint8_t>> write_msg2(ResponderState&& state, ByteView payload) {
  auto e = p256_generate();
  if (!e) {
    state.wipe();
    return e.error();
  }
  return detail::write_msg2_with(std::move(state), payload, e->span());
}

}  // namespace qb::noise
