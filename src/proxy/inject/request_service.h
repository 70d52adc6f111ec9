// The request service of "serve": the Host check, reference or URL-match injection through the
// vault client, then forwarding; refusals become plain-text responses with one log line.
#pragma once

#include <memory>

#include "proxy/intercept/tunnel.h"
#include "vault/vault_client.h"

namespace qb {

class VaultRequestService final : public RequestService {
 public:
  explicit VaultRequestService(std::shared_ptr<VaultClient> vault) : vault_(std::move(vault)) {}
  boost::asio::awaitable<ServiceDecision> decide(IncomingRequest& req, const std::string& connect_authority) override;

 private:
  std::shared_ptr<VaultClient> vault_;
};

}  // namespace qb
