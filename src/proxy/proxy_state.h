// The state every connection of "serve" shares: built once, read-only afterwards except for the
// semaphores, the upstream pool and the CA's leaf cache.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace qb {

class AsyncSemaphore;
class CaState;
class VaultClient;
class UpstreamClient;
class TunnelHandler;

inline constexpr std::size_t TUNNEL_SLOT_COUNT = 512;
inline constexpr std::size_t CONNECTION_PERMIT_COUNT = 64;

// The time limits of one connection; tests shorten them.
struct ProxyLimits {
  std::chrono::milliseconds preamble_deadline{10'000};   // CONNECT head read and parsed
  std::chrono::milliseconds slot_wait_deadline{10'000};  // waiting for a tunnel slot
  std::chrono::milliseconds tls_handshake_deadline{10'000};
  std::chrono::milliseconds header_read_timeout{30'000};  // request heads inside the tunnel
  std::chrono::milliseconds upstream_head_timeout{30'000};
  std::chrono::milliseconds body_idle_timeout{60'000};  // streamed body without progress
  std::chrono::milliseconds body_total_timeout{3'600'000};
  // After a failed accept (for example out of descriptors), so the loop does not spin.
  std::chrono::milliseconds accept_error_pause{50};
};

struct ProxyState {
  // The whole expected Proxy-Authorization value ("Basic " and the credential). Always set by
  // serve; absent only in tests, where it switches the check off.
  std::optional<std::string> expected_proxy_auth;
  bool allow_private = false;
  std::shared_ptr<CaState> ca;
  std::shared_ptr<AsyncSemaphore> tunnel_slots;        // TUNNEL_SLOT_COUNT permits
  std::shared_ptr<AsyncSemaphore> connection_permits;  // CONNECTION_PERMIT_COUNT permits
  std::shared_ptr<VaultClient> vault;
  std::shared_ptr<UpstreamClient> upstream;

  ProxyLimits limits;
  // What runs a confirmed tunnel after the 200; none closes the connection.
  std::shared_ptr<TunnelHandler> tunnel;
};

}  // namespace qb
