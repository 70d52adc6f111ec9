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
CryptoResult<void> mix_agreement(SymmetricState& ss, const P256Key& own, const P256PeerKey& peer) {
  auto dh = p256_agree(own, peer);
  if (!dh) return dh.error();
  ss.mix_key(dh->span());
  return {};
}

// The responder's point is the same on every call of a node: it is read and checked once per thread
// and the checked key reused while the point stays the same. Only accepted points are kept.
CryptoResult<P256PeerKey> responder_point(std::span<const std::uint8_t, kNodeP256Len> point) {
  thread_local P256Public kept_bytes{};
  thread_local P256PeerKey kept;
  if (kept && std::equal(point.begin(), point.end(), kept_bytes.begin())) return kept;
  auto key = p256_peer_key(point);
  if (!key) return key.error();
  std::copy(point.begin(), point.end(), kept_bytes.begin());
  kept = *key;
  return key;
}

// A table of the responder point's multiples makes both agreements with it fixed-base. It is built
// once per process on the second call that meets a point (a node met once, as in most tests, is not
// worth the build), then shared by every thread. While one thread builds it the others agree the
// plain way, which gives the same secret. A few nodes are kept: a gate and its replica.
P256FixedPeer responder_table(std::span<const std::uint8_t, kNodeP256Len> point, const P256PeerKey& checked) {
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
CryptoResult<void> mix_responder_agreement(SymmetricState& ss, P256ScalarView own_scalar, const P256Key& own,
                                           const P256PeerKey& peer, const P256FixedPeer& table) {
  QB_TRY(const SharedSecret dh, table ? p256_agree(own_scalar, table) : p256_agree(own, peer));
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
  auto opened = aead_open(k_->span(), nonce, h_, ciphertext);
  if (!opened) return opened.error();
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
  static P256Key& s_key(HandshakeState& st) { return st.s_key_; }
  static P256Key& e_key(HandshakeState& st) { return st.e_key_; }
  static NodePublicKey& rs(HandshakeState& st) { return st.rs_; }
};

HandshakeState::HandshakeState(HandshakeState&& other) noexcept
    : ss_(std::move(other.ss_)),
      s_(other.s_),
      e_(other.e_),
      s_key_(std::move(other.s_key_)),
      e_key_(std::move(other.e_key_)),
      rs_(other.rs_) {
  other.wipe();
}

HandshakeState& HandshakeState::operator=(HandshakeState&& other) noexcept {
  if (this != &other) {
    ss_ = std::move(other.ss_);
    s_ = other.s_;
    e_ = other.e_;
    s_key_ = std::move(other.s_key_);
    e_key_ = std::move(other.e_key_);
    rs_ = other.rs_;
    other.wipe();
  }
  return *this;
}

void HandshakeState::wipe() noexcept {
  ss_.wipe();
  s_.wipe();
  e_.wipe();
  // The library wipes a key's scalar when its last reference goes.
  s_key_.reset();
  e_key_.reset();
}

namespace {

// The caller's ready pair, or one made from the scalar.
CryptoResult<P256KeyPair> ready_pair(P256ScalarView scalar, P256KeyPair* ready) {
  if (ready != nullptr) return std::move(*ready);
  return p256_pair_from_scalar(scalar);
}

// Steps 1 to 10 with e already chosen; a null ready pair is made from its scalar at the step that
// first needs it; m absent means fresh encapsulation randomness.
CryptoResult<Msg1> write_msg1_from(const NodePublicKey& rs, ByteView payload, P256ScalarView s, P256KeyPair* s_ready,
                                   P256ScalarView e, P256KeyPair* e_ready,
                                   const std::span<const std::uint8_t, mlkem768::kSeedBytes>* m) {
  HandshakeState st = HandshakeAccess::make();
  SymmetricState& ss = HandshakeAccess::ss(st);
  HandshakeAccess::s(st) = P256Scalar(s);
  HandshakeAccess::e(st) = P256Scalar(e);
  HandshakeAccess::rs(st) = rs;

  ss.mix_hash(as_bytes(kPrologue));
  ss.mix_hash(rs.bytes);

  auto e_pair = ready_pair(e, e_ready);
  if (!e_pair) return e_pair.error();
  const P256Public e_pub = e_pair->pub;
  HandshakeAccess::e_key(st) = std::move(e_pair->key);
  ss.mix_hash(e_pub);

  // es; the responder's point is read and checked once for both agreements with it.
  auto rs_key = responder_point(rs.p256());
  if (!rs_key) return rs_key.error();
  const P256FixedPeer rs_table = responder_table(rs.p256(), *rs_key);
  QB_TRY_VOID(
      mix_responder_agreement(ss, HandshakeAccess::e(st).span(), HandshakeAccess::e_key(st), *rs_key, rs_table));

  // The hybrid step: hash the ciphertext, mix the encapsulated secret.
  auto kem = m != nullptr ? mlkem768::encaps_internal(rs.mlkem(), *m) : mlkem768::encapsulate(rs.mlkem());
  if (!kem) return kem.error();
  ss.mix_hash(kem->ciphertext);
  ss.mix_key(kem->shared_secret.span());
  kem->shared_secret.wipe();

  auto s_pair = ready_pair(s, s_ready);
  if (!s_pair) return s_pair.error();
  HandshakeAccess::s_key(st) = std::move(s_pair->key);
  auto c_s = ss.encrypt_and_hash(s_pair->pub);
  if (!c_s) return c_s.error();

  // ss
  QB_TRY_VOID(
      mix_responder_agreement(ss, HandshakeAccess::s(st).span(), HandshakeAccess::s_key(st), *rs_key, rs_table));

  auto c_p = ss.encrypt_and_hash(payload);
  if (!c_p) return c_p.error();

  // Sized once and filled by offset: g++ 12 misreads appends after a reserve at -O2.
  std::vector<std::uint8_t> out(e_pub.size() + kem->ciphertext.size() + c_s->size() + c_p->size());
  std::size_t at = 0;
  for (ByteView part : {ByteView(e_pub), ByteView(kem->ciphertext), ByteView(*c_s), ByteView(*c_p)}) {
    if (!part.empty()) std::memcpy(out.data() + at, part.data(), part.size());
    at += part.size();
  }
  return Msg1{std::move(out), std::move(st)};
}

}  // namespace

CryptoResult<Msg1> write_msg1(const NodePublicKey& rs, P256ScalarView s, ByteView payload) {
  auto e = p256_generate_pair();
  if (!e) return e.error();
  return write_msg1_from(rs, payload, s, nullptr, e->scalar.span(), &*e, nullptr);
}

CryptoResult<Msg1> write_msg1(const NodePublicKey& rs, P256KeyPair s, ByteView payload) {
  auto e = p256_generate_pair();
  if (!e) return e.error();
  return write_msg1_from(rs, payload, s.scalar.span(), &s, e->scalar.span(), &*e, nullptr);
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
  auto re_key = p256_peer_key(re);
  if (!re_key) return re_key.error();
  if (auto r = mix_agreement(ss, HandshakeAccess::e_key(state), *re_key); !r) return r.error();
  if (auto r = mix_agreement(ss, HandshakeAccess::s_key(state), *re_key); !r) return r.error();
  return ss.decrypt_and_hash(msg2.subspan(kP256PublicLen));
}

}  // namespace qb::noise
