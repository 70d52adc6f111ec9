#include "crypto/noise.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/result.h"

namespace qb::noise {

using catalogue::QB_0005;
using catalogue::QB_0010;

namespace {

static_assert(kProtocolName.size() > kDigestLen, "a name of at most 32 bytes would be padded, not hashed");
static_assert(kMsg1Overhead == 1250 && kMsg2MinLen == 81);

// 4 zero bytes, then n big-endian.
std::array<std::uint8_t, kAeadNonceLen> nonce_bytes(std::uint64_t n) {
  std::array<std::uint8_t, kAeadNonceLen> out{};
  for (std::size_t i = 0; i < 8; ++i) out[kAeadNonceLen - 1 - i] = static_cast<std::uint8_t>(n >> (8 * i));
  return out;
}

// mix_key over a Diffie-Hellman result, wiped when it goes.
CryptoResult<void> mix_agreement(SymmetricState& ss, P256ScalarView own, const P256PeerPoint& peer) {
  QB_TRY(const SharedSecret dh, p256_agree(own, peer));
  ss.mix_key(dh.span());
  return {};
}

// A table of the responder point's multiples makes both agreements with it fixed-base. It is built
// once per process on the second call that meets a point (a node met once, as in most tests, is not
// worth the build), then shared by every thread. While one thread builds it the others agree the
// plain way, which gives the same secret. A few nodes are kept: a gate and its replica.
P256FixedPeer responder_table(std::span<const std::uint8_t, kNodeP256Len> point, const P256PeerPoint& checked) {
  struct Entry {
    P256Public point{};
    bool building = false;  // stays set when the build failed: it is not tried again
    P256FixedPeer table;
  };
  static constexpr std::size_t kKept = 4;
  static std::mutex mu;
  static std::vector<Entry> entries;  // newest last
  auto find = [&]() -> Entry* {
    for (Entry& e : entries) {
      if (std::equal(point.begin(), point.end(), e.point.begin())) return &e;
    }
    return nullptr;
  };
  {
    std::lock_guard lock(mu);
    Entry* e = find();
    if (e == nullptr) {
      if (entries.size() == kKept) entries.erase(entries.begin());
      Entry fresh;
      std::copy(point.begin(), point.end(), fresh.point.begin());
      entries.push_back(std::move(fresh));
      return {};
    }
    if (e->table || e->building) return e->table;
    e->building = true;
  }
  auto table = p256_fixed_peer(checked);
  std::lock_guard lock(mu);
  if (!table) return {};
  if (Entry* e = find()) {
    e->building = false;
    e->table = *table;
  }
  return *table;
}

// An agreement with the responder's static point: through its table when there is one.
CryptoResult<void> mix_responder_agreement(SymmetricState& ss, P256ScalarView own, const P256PeerPoint& peer,
                                           const P256FixedPeer& table) {
  QB_TRY(const SharedSecret dh, table ? p256_agree(own, table) : p256_agree(own, peer));
  ss.mix_key(dh.span());
  return {};
}

}  // namespace

SymmetricState::SymmetricState() : h_(sha256(as_bytes(kProtocolName))) { ck_ = SecretArray<32>(h_); }

SymmetricState::SymmetricState(SymmetricState&& other) noexcept
    : ck_(other.ck_), h_(other.h_), n_(other.n_), k_(other.k_) {
  other.wipe();
}

SymmetricState& SymmetricState::operator=(SymmetricState&& other) noexcept {
  if (this != &other) {
    ck_ = other.ck_;
    h_ = other.h_;
    n_ = other.n_;
    k_ = other.k_;
    other.wipe();
  }
  return *this;
}

void SymmetricState::mix_hash(ByteView data) {
  // Everything hashed into h is public (keys, ciphertexts, the prologue).
  std::vector<std::uint8_t> buf;
  buf.reserve(h_.size() + data.size());
  buf.insert(buf.end(), h_.begin(), h_.end());
  buf.insert(buf.end(), data.begin(), data.end());
  h_ = sha256(buf);
}

void SymmetricState::mix_key(std::span<const std::uint8_t, 32> x) {
  SecretBytes out = hkdf_sha256(x, ck_.span(), {}, 64);
  ck_ = SecretArray<32>(out.span().first<32>());
  k_ = SecretArray<32>(out.span().subspan<32, 32>());
  n_ = 0;
}

CryptoResult<std::vector<std::uint8_t>> SymmetricState::encrypt_and_hash(ByteView plaintext) {
  if (!k_) return QB_0005;
  const auto nonce = nonce_bytes(n_);
  auto sealed = aead_seal(k_->span(), nonce, h_, plaintext);
  if (!sealed) return QB_0005;
  ++n_;
  mix_hash(*sealed);
  return sealed;
}

CryptoResult<SecretBytes> SymmetricState::decrypt_and_hash(ByteView ciphertext) {
  if (!k_) return QB_0005;
  if (ciphertext.size() < kAeadTagLen) return QB_0010;
  const auto nonce = nonce_bytes(n_);
  QB_TRY(auto opened, aead_open(k_->span(), nonce, h_, ciphertext));
  ++n_;
  mix_hash(ciphertext);
  return opened;
}

void SymmetricState::wipe() noexcept {
  ck_.wipe();
  k_.reset();
}

// The functions of this file that build and consume a HandshakeState.
struct HandshakeAccess {
  static HandshakeState make() { return HandshakeState(); }
  static SymmetricState& ss(HandshakeState& st) { return st.ss_; }
  static P256Scalar& s(HandshakeState& st) { return st.s_; }
  static P256Scalar& e(HandshakeState& st) { return st.e_; }
  static NodePublicKey& rs(HandshakeState& st) { return st.rs_; }
};

HandshakeState::HandshakeState(HandshakeState&& other) noexcept
    : ss_(std::move(other.ss_)), s_(other.s_), e_(other.e_), rs_(other.rs_) {
  other.wipe();
}

HandshakeState& HandshakeState::operator=(HandshakeState&& other) noexcept {
  if (this != &other) {
    ss_ = std::move(other.ss_);
    s_ = other.s_;
    e_ = other.e_;
    rs_ = other.rs_;
    other.wipe();
  }
  return *this;
}

void HandshakeState::wipe() noexcept {
  ss_.wipe();
  s_.wipe();
  e_.wipe();
}

namespace {

// A point given with its scalar, or computed from the scalar.
CryptoResult<P256Public> public_of(P256ScalarView scalar, const P256Public* given) {
  if (given != nullptr) return *given;
  return p256_public_from_scalar(scalar);
}

// The first message with e already chosen; a point not given is computed from its scalar where it
// is first needed; m absent means fresh encapsulation randomness. Every agreement is by scalar: the
// initiator's keys never become library keys.
CryptoResult<Msg1> write_msg1_from(const NodePublicKey& rs, ByteView payload, P256ScalarView s, const P256Public* s_pub,
                                   P256ScalarView e, const P256Public* e_pub_given,
                                   const std::span<const std::uint8_t, mlkem768::kSeedBytes>* m) {
  HandshakeState st = HandshakeAccess::make();
  SymmetricState& ss = HandshakeAccess::ss(st);
  HandshakeAccess::s(st) = P256Scalar(s);
  HandshakeAccess::e(st) = P256Scalar(e);
  HandshakeAccess::rs(st) = rs;

  ss.mix_hash(as_bytes(kPrologue));
  ss.mix_hash(rs.bytes);

  QB_TRY(const P256Public e_pub, public_of(e, e_pub_given));
  ss.mix_hash(e_pub);

  // es; the responder's point is read and checked once for both agreements with it.
  QB_TRY(const P256PeerPoint rs_point, p256_peer_point(rs.p256()));
  const P256FixedPeer rs_table = responder_table(rs.p256(), rs_point);
  QB_TRY_VOID(mix_responder_agreement(ss, HandshakeAccess::e(st).span(), rs_point, rs_table));

  // The hybrid step: hash the ciphertext, mix the encapsulated secret.
  QB_TRY(auto&& kem, m != nullptr ? mlkem768::encaps_internal(rs.mlkem(), *m) : mlkem768::encapsulate(rs.mlkem()));
  ss.mix_hash(kem.ciphertext);
  ss.mix_key(kem.shared_secret.span());
  kem.shared_secret.wipe();

  QB_TRY(const P256Public s_point, public_of(s, s_pub));
  QB_TRY(auto c_s, ss.encrypt_and_hash(s_point));

  // ss
  QB_TRY_VOID(mix_responder_agreement(ss, HandshakeAccess::s(st).span(), rs_point, rs_table));

  QB_TRY(auto c_p, ss.encrypt_and_hash(payload));

  // Sized once and filled by offset: g++ 12 misreads appends after a reserve at -O2.
  std::vector<std::uint8_t> out(e_pub.size() + kem.ciphertext.size() + c_s.size() + c_p.size());
  std::size_t at = 0;
  for (ByteView part : {ByteView(e_pub), ByteView(kem.ciphertext), ByteView(c_s), ByteView(c_p)}) {
    if (!part.empty()) std::memcpy(out.data() + at, part.data(), part.size());
    at += part.size();
  }
  return Msg1{std::move(out), std::move(st)};
}

}  // namespace

CryptoResult<Msg1> write_msg1(const NodePublicKey& rs, P256ScalarView s, ByteView payload) {
  QB_TRY(const P256ScalarPair e, p256_generate_scalar_pair());
  return write_msg1_from(rs, payload, s, nullptr, e.scalar.span(), &e.pub, nullptr);
}

CryptoResult<Msg1> write_msg1(const NodePublicKey& rs, const P256ScalarPair& s, ByteView payload) {
  QB_TRY(const P256ScalarPair e, p256_generate_scalar_pair());
  return write_msg1_from(rs, payload, s.scalar.span(), &s.pub, e.scalar.span(), &e.pub, nullptr);
}

namespace detail {
CryptoResult<Msg1> write_msg1_with(const NodePublicKey& rs, P256ScalarView s, ByteView payload, P256ScalarView e,
                                   std::span<const std::uint8_t, mlkem768::kSeedBytes> m) {
  return write_msg1_from(rs, payload, s, nullptr, e, nullptr, &m);
}
}  // namespace detail

CryptoResult<SecretBytes> read_msg2(HandshakeState&& state, ByteView msg2) {
  // Consumes the caller's state: wiped in place whatever happens below.
  struct WipeOnExit {
    HandshakeState& st;
    ~WipeOnExit() { st.wipe(); }
  } guard{state};

  if (msg2.size() < kMsg2MinLen) return QB_0010;
  SymmetricState& ss = HandshakeAccess::ss(state);
  const ByteView re = msg2.first(kP256PublicLen);
  ss.mix_hash(re);
  // ee, then se, with re read and checked once.
  QB_TRY(const P256PeerPoint re_point, p256_peer_point(re));
  QB_TRY_VOID(mix_agreement(ss, HandshakeAccess::e(state).span(), re_point));
  QB_TRY_VOID(mix_agreement(ss, HandshakeAccess::s(state).span(), re_point));
  return ss.decrypt_and_hash(msg2.subspan(kP256PublicLen));
}

}  // namespace qb::noise
