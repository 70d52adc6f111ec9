// The time and size limits of serve, each written once: the front's, the tunnel's and the
// upstream client's. Tests shorten them; the assembly hands each part its own piece.
#pragma once

#include <chrono>
#include <cstddef>

namespace qb {

struct BodyTimeouts {
  std::chrono::milliseconds idle{60'000};         // IDLE_BODY_TIMEOUT
  std::chrono::milliseconds absolute{3'600'000};  // ABSOLUTE_BODY_DEADLINE
};

struct TunnelLimits {
  std::chrono::milliseconds handshake_deadline{10'000};   // HANDSHAKE_DEADLINE
  std::chrono::milliseconds header_read_timeout{30'000};  // HEADER_READ_TIMEOUT, idle waits included
  std::size_t max_head_bytes = 417'792;
  std::size_t max_header_fields = 100;  // one more is answered 431, like an over-long head
};

struct UpstreamLimits {
  std::chrono::milliseconds response_head_timeout{30'000};  // RESPONSE_HEADER_TIMEOUT, from handover
  BodyTimeouts body;
  std::chrono::milliseconds connect_timeout{15'000};    // per address family, split among its addresses
  std::chrono::milliseconds fallback_delay{300};        // before the second address family starts
  std::chrono::milliseconds pool_idle_timeout{90'000};  // an idle connection is closed after this
  // Idle connections kept over all hosts and contexts, well under the descriptor limits of the
  // platforms; the oldest of the context that needs room is closed to make it.
  std::size_t pool_max_idle = 128;
  std::size_t max_head_bytes = 417'792;
  std::size_t max_response_fields = 100;  // more in a response head: an upstream failure
};

struct ProxyLimits {
  std::chrono::milliseconds preamble_deadline{10'000};   // CONNECT head read and parsed
  std::chrono::milliseconds slot_wait_deadline{10'000};  // waiting for a tunnel slot
  // After a failed accept (for example out of descriptors), so the loop does not spin.
  std::chrono::milliseconds accept_error_pause{50};
  TunnelLimits tunnel;      // TLS handshake and request heads inside the tunnel
  UpstreamLimits upstream;  // response heads, bodies, connections and the pool
};

}  // namespace qb
