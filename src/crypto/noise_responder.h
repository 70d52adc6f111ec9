// The responder of the gate handshake, for the test vault gate: opens msg1 with the node's static
// P-256 scalar and ML-KEM-768 decapsulation key and answers with msg2. The program itself only
// ever initiates.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "crypto/ml_kem768.h"
#include "crypto/node_key.h"
#include "crypto/noise.h"
#include "crypto/primitives.h"
#include "crypto/secret.h"

namespace qb::noise {

// A node's private keys and the public key the initiators are given.
struct ResponderKeys {
  P256Scalar s;
  mlkem768::DecapsulationKey dk;
  NodePublicKey pub;
};

// Fresh keys: QB-0018 or QB-0005 when generation fails.
CryptoResult<ResponderKeys> generate_responder_keys();
// Keys from a given scalar and ML-KEM pair; QB-0027 for a refused scalar.
CryptoResult<ResponderKeys> make_responder_keys(P256ScalarView s, const mlkem768::KeyPair& kem);

// The responder between the two messages. Move-only; moving from it wipes the source.
class ResponderState {
 public:
  ResponderState(const ResponderState&) = delete;
  ResponderState& operator=(const ResponderState&) = delete;
  ResponderState(ResponderState&& other) noexcept;
  ResponderState& operator=(ResponderState&& other) noexcept;
  ~ResponderState() = default;

  void wipe() noexcept;
  const SymmetricState& symmetric() const noexcept { return ss_; }
  // The initiator's ephemeral and static public points, as read from msg1.
  const P256Public& initiator_ephemeral() const noexcept { return re_; }
  const P256Public& initiator_static() const noexcept { return rs_; }

 private:
  ResponderState() = default;
  friend struct ResponderAccess;

  SymmetricState ss_;
  P256Public re_{};
  P256Public rs_{};
  // The same two points, checked, for the reply's agreements.
  P256PeerPoint re_key_;
  P256PeerPoint rs_key_;
};

struct Msg1Opened {
  ResponderState state;
  SecretBytes payload;
};

// QB-0010 below 1250 bytes; QB-0027 for an invalid point; QB-0003 when a tag fails (a wrong
// prologue, a wrong key or a changed byte).
CryptoResult<Msg1Opened> read_msg1(const ResponderKeys& keys, ByteView msg1);
// msg2 around the reply with a fresh ephemeral key; the state is wiped on every path.
CryptoResult<std::vector<std::uint8_t>> write_msg2(ResponderState&& state, ByteView payload);

namespace detail {
CryptoResult<Msg1Opened> read_msg1_with_prologue(const ResponderKeys& keys, ByteView msg1, ByteView prologue);
// write_msg2 with the responder's ephemeral scalar given (known answers).
CryptoResult<std::vector<std::uint8_t>> write_msg2_with(ResponderState&& state, ByteView payload, P256ScalarView e);
}  // namespace detail

}  // namespace qb::noise
