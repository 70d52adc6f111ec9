// The gate channel: one hybrid Noise IK handshake (P-256 plus an ML-KEM-768 encapsulation to the
// responder, AES-256-GCM, SHA-256). Message 1 carries the request, message 2 the reply; there is no
// transport phase. This header holds the symmetric state and the initiator; the responder is in
// noise_responder.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "crypto/ml_kem768.h"
#include "crypto/node_key.h"
#include "crypto/primitives.h"
#include "crypto/secret.h"

namespace qb::noise {

inline constexpr std::string_view kProtocolName = "Quorbelt_IK_P256+MLKEM768_AESGCM_SHA256";
inline constexpr std::string_view kPrologue = "quorbelt-noise-v2";

// msg1: e_pub (65) || KEM ciphertext (1088) || encrypted s_pub (65 + 16) || payload + 16.
inline constexpr std::size_t kMsg1KemOffset = kP256PublicLen;                                        // 65
inline constexpr std::size_t kMsg1StaticOffset = kMsg1KemOffset + mlkem768::kCiphertextBytes;        // 1153
inline constexpr std::size_t kMsg1PayloadOffset = kMsg1StaticOffset + kP256PublicLen + kAeadTagLen;  // 1234
inline constexpr std::size_t kMsg1Overhead = kMsg1PayloadOffset + kAeadTagLen;                       // 1250
// msg2: re (65) || reply + 16.
inline constexpr std::size_t kMsg2MinLen = kP256PublicLen + kAeadTagLen;  // 81

// ck, h, n and the optional key k. ck and k are wiped when replaced, when the state is wiped or
// moved from, and when it is destroyed.
class SymmetricState {
 public:
  // h = SHA-256(protocol name), ck = h, no key, n = 0.
  SymmetricState();
  SymmetricState(const SymmetricState&) = delete;
  SymmetricState& operator=(const SymmetricState&) = delete;
  SymmetricState(SymmetricState&& other) noexcept;
  SymmetricState& operator=(SymmetricState&& other) noexcept;
  ~SymmetricState() = default;

  // h = SHA-256(h || data).
  void mix_hash(ByteView data);
  // ck, k = HKDF(ck, x, 2); n = 0.
  void mix_key(std::span<const std::uint8_t, 32> x);
  // ciphertext || tag under k with associated data h; QB-0005 without a key or when the seal
  // fails (then neither n nor h changes).
  CryptoResult<std::vector<std::uint8_t>> encrypt_and_hash(ByteView plaintext);
  // QB-0005 without a key, QB-0010 below 16 bytes, QB-0003 when the tag fails.
  CryptoResult<SecretBytes> decrypt_and_hash(ByteView ciphertext);
  // Wipes ck and drops (wiping) k.
  void wipe() noexcept;

  const Digest& handshake_hash() const noexcept { return h_; }
  bool has_key() const noexcept { return k_.has_value(); }
  std::uint64_t nonce() const noexcept { return n_; }

 private:
  SecretArray<32> ck_;
  Digest h_{};
  std::uint64_t n_ = 0;
  std::optional<SecretArray<32>> k_;
};

inline void symmetric_state_wipe(SymmetricState& state) noexcept { state.wipe(); }

// The initiator between its two messages: the symmetric state, the static scalar s, the ephemeral
// scalar e and the responder key. Move-only; moving from it wipes the source.
class HandshakeState {
 public:
  HandshakeState(const HandshakeState&) = delete;
  HandshakeState& operator=(const HandshakeState&) = delete;
  HandshakeState(HandshakeState&& other) noexcept;
  HandshakeState& operator=(HandshakeState&& other) noexcept;
  ~HandshakeState() = default;

  void wipe() noexcept;
  const SymmetricState& symmetric() const noexcept { return ss_; }

 private:
  HandshakeState() = default;
  friend struct HandshakeAccess;

  SymmetricState ss_;
  P256Scalar s_;
  P256Scalar e_;
  NodePublicKey rs_;
};

struct Msg1 {
  std::vector<std::uint8_t> bytes;  // payload.size() + 1250 bytes
  HandshakeState state;
};

// The first message to the responder key rs from the static scalar s around the payload. Fails with
// a catalogue row (QB-0018, QB-0005, QB-0027) before anything exists to be sent.
CryptoResult<Msg1> write_msg1(const NodePublicKey& rs, P256ScalarView s, ByteView payload);
// The same with s given with its point (from p256_generate_scalar_pair).
CryptoResult<Msg1> write_msg1(const NodePublicKey& rs, const P256ScalarPair& s, ByteView payload);

// Opens the reply: QB-0010 below 81 bytes (before any Diffie-Hellman), QB-0027 for an invalid re,
// QB-0003 when the tag fails. The state is wiped on every path.
CryptoResult<SecretBytes> read_msg2(HandshakeState&& state, ByteView msg2);

namespace detail {
// write_msg1 with the ephemeral scalar e and the encapsulation randomness m given (known answers).
CryptoResult<Msg1> write_msg1_with(const NodePublicKey& rs, P256ScalarView s, ByteView payload, P256ScalarView e,
                                   std::span<const std::uint8_t, mlkem768::kSeedBytes> m);
}  // namespace detail

}  // namespace qb::noise
