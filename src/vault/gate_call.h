// A gate call: the job that mints one wire token, calls the primary gate and, when the primary
// cannot be reached or answers with an HTTP failure, the replica once with the same token. The job
// runs on the blocking pool and, once handed over, to its end.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "core/errors.h"
#include "core/runtime.h"
#include "crypto/node_key.h"
#include "crypto/secret.h"

namespace qb {

// The HKDF info of the wire token's key; a gate opens a token only with the same label.
inline constexpr std::string_view TOKEN_KEY_INFO = "qbt-wire-key";
static_assert(TOKEN_KEY_INFO.size() == 12);

inline constexpr std::size_t kWireTokenLen = 93;
inline constexpr std::size_t kWireTokenPayloadLen = 61;
inline constexpr std::uint8_t kWireTokenFormat = 0x02;

struct GateReplica {
  std::string url;
  NodePublicKey pub;
};

// Where the gate calls of one enrolment go.
struct GateEndpoints {
  std::string gate_url;
  NodePublicKey gate_pub;
  std::optional<GateReplica> replica;  // present only when one is enrolled
};

// Who the calls are made for: what the wire token carries.
struct GateIdentity {
  SecretArray<8> l1;  // the first 8 bytes of l2
  SecretArray<16> agent_id;
  std::uint64_t vault_id = 0;
};

// The job's own data, moved into the job and dropped (wiped) when it ends.
struct GateCall {
  std::string method;
  std::string gate_url;
  NodePublicKey gate_pub;
  std::optional<GateReplica> replica;
  nlohmann::json params;
  SecretArray<8> l1;
  SecretArray<16> agent_id;
  std::uint64_t vault_id = 0;
};

// The CRC-32 of zlib (ISO-HDLC).
std::uint32_t crc32_iso_hdlc(std::span<const std::uint8_t> data);

// "qbt_" + base64url(0x02 || vault_id BE || nonce || AES-128-GCM(l1 || agent_id) || tag) + "." +
// base64url(CRC-32 BE): 93 characters. QB-0018 when randomness fails, QB-0005 when the cipher does.
CryptoResult<std::string> mint_wire_token(std::span<const std::uint8_t, 8> l1,
                                          std::span<const std::uint8_t, 16> agent_id, std::uint64_t vault_id);
// The token's AES-128 key for a vault: HKDF-SHA256 over vault_id BE, no salt, TOKEN_KEY_INFO.
SecretArray<16> wire_token_key(std::uint64_t vault_id);

// True for a primary failure the replica may not share: the gate could not be reached, answered
// with an HTTP failure, or itself named such a failure.
bool should_try_replica(ProxyErrorKind primary_error_kind);

class GateAgent;

// The job: runs on a pool thread and blocks. Both calls go through the agent given, else through
// the process-wide one.
ProxyResult<nlohmann::json> gate_call_blocking(GateCall call, const GateAgent* agent = nullptr);

// Copies what the call needs out of the endpoints and identity at once (they need not outlive this
// call), then runs the job on the pool and completes with its result. Under g++ 12, name the
// returned task before awaiting it.
boost::asio::awaitable<ProxyResult<nlohmann::json>> gate_call(BlockingPool& pool, const GateEndpoints& endpoints,
                                                              const GateIdentity& identity, std::string_view method,
                                                              nlohmann::json params, const GateAgent* agent = nullptr);

}  // namespace qb
