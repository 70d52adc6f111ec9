// The state every connection of "serve" shares: built once, read-only afterwards except for the
// semaphores, the upstream pool and the CA's leaf cache.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "proxy/limits.h"

namespace qb {

class AsyncSemaphore;
class CaState;
class VaultClient;
class UpstreamClient;
class TunnelHandler;

inline constexpr std::size_t TUNNEL_SLOT_COUNT = 512;
inline constexpr std::size_t CONNECTION_PERMIT_COUNT = 64;

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
