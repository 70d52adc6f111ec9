// The hook the tunnel hands each request to, and the request service of "serve": the Host check,
// reference or URL-match injection through the vault client, then forwarding; refusals become
// plain-text responses with one log line.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <variant>

#include <boost/asio/awaitable.hpp>

#include "proxy/http/http_types.h"

namespace qb {

class VaultClient;

// What the request service decides for one request: forward it, or answer it here.
using ServiceDecision = std::variant<ForwardRequest, ProxyResponse>;

// The per-request hook. connect_authority is the tunnel's, the only form in which the CONNECT
// target reaches the service. Never fails: refusals are responses.
class RequestService {
 public:
  virtual ~RequestService() = default;
  virtual boost::asio::awaitable<ServiceDecision> decide(IncomingRequest& req,
                                                         const std::string& connect_authority) = 0;
};

class VaultRequestService final : public RequestService {
 public:
  explicit VaultRequestService(std::shared_ptr<VaultClient> vault) : vault_(std::move(vault)) {}
  boost::asio::awaitable<ServiceDecision> decide(IncomingRequest& req, const std::string& connect_authority) override;

 private:
  std::shared_ptr<VaultClient> vault_;
};

}  // namespace qb
