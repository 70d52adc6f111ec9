// Gathers the shared state of "serve" from its parts: semaphores, the upstream client, and the
// tunnel that intercepts each CONNECT and runs the request service over the vault client.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/runtime.h"
#include "proxy/proxy_state.h"
#include "tls/platform_roots.h"

namespace qb {

struct ProxyParts {
  std::string expected_proxy_auth;
  bool allow_private = false;
  std::shared_ptr<CaState> ca;
  std::shared_ptr<VaultClient> vault;
  std::vector<DerCert> upstream_roots;
  ProxyLimits limits;
};

// Fails only when a TLS context cannot be built.
ProxyResult<std::shared_ptr<ProxyState>> build_proxy_state(Runtime& rt, ProxyParts parts);

}  // namespace qb
