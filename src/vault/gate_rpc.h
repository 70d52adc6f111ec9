// One remote procedure call to one vault gate: the request sealed into the first Noise message,
// posted over HTTPS, the reply opened from the second. Synchronous; runs on the blocking pool and
// never retries by itself. Every failure is a QB-5050 ProxyError whose kind tells the gate call
// whether the replica is worth trying.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/errors.h"

namespace qb {

// The byte before the JSON text of a request or reply payload.
inline constexpr std::uint8_t PAYLOAD_HEADER = 0x10;
// Request payload, header byte included: msg1 is then at most 6 MiB.
inline constexpr std::size_t MAX_GATE_REQUEST = 6'290'206;
// Reply body, enforced while it is read.
inline constexpr std::size_t GATE_REPLY_CAP = 1'048'576;

// The methods a gate accepts; a name must equal an entry byte for byte.
extern const std::array<std::string_view, 103> RPC_METHODS;
bool is_rpc_method(std::string_view method);

struct ReplyError {
  std::string code;
  std::string message;
};

struct Reply {
  bool ok = false;
  std::optional<nlohmann::json> result;  // null counts as absent
  std::optional<ReplyError> error;       // null counts as absent
};

// The strict reader of a reply's JSON text: an object with "ok", "result", "error" in any order
// (unknown or repeated members refused) or an array of one to three elements in that order; a
// ReplyError as an object with "code" and "message" or an array of exactly those two strings.
// Nesting is limited to 128 levels and only white space may follow the value.
std::optional<Reply> read_reply(std::string_view text);

// The GateRequest as compact JSON with its members in field order: "action", then "cred" when
// given, then "content" when given. Empty when a text is not valid UTF-8.
std::optional<std::string> write_gate_request(std::string_view action, std::optional<std::string_view> cred,
                                              const std::optional<nlohmann::json>& content);

// True when a text names a failure the replica may not share: "POST /gate", "HTTP 502",
// "HTTP 503", "HTTP 504" or "refused handshake". Applied to a gate's own error texts, which may
// name such a failure behind the gate; the errors made here carry their kind instead.
bool should_try_replica(std::string_view text);

class GateAgent;

// The call itself, through the process-wide gate agent. The result is the reply's "result" (JSON
// null when it had none).
ProxyResult<nlohmann::json> gate_rpc(std::string_view method, std::string_view credential, const nlohmann::json& params,
                                     std::string_view gate_url, std::span<const std::uint8_t> node_pub);
// The same through the given agent, for callers with a trust store of their own (the tests).
ProxyResult<nlohmann::json> gate_rpc(std::string_view method, std::string_view credential, const nlohmann::json& params,
                                     std::string_view gate_url, std::span<const std::uint8_t> node_pub,
                                     const GateAgent& agent);

}  // namespace qb
