// The vault client of an enrolment: search and URL match through the gate, field decryption
// locally. Immutable once built; shared by every connection.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/errors.h"
#include "core/runtime.h"
#include "crypto/secret.h"
#include "vault/gate_call.h"
#include "vault/vault_client.h"

namespace qb {

// The enrolled texts the client is built from.
struct GateClientSettings {
  std::string_view vault_url;
  std::string_view vault_gate_pub;
  std::string_view replica_url;
  std::string_view replica_gate_pub;
  std::string_view vault_id;
  std::string_view agent_id;
  std::string_view l2;
};

// "{url without trailing slashes}/gate"
std::string gate_url_from(std::string_view url);

class GateClient final : public VaultClient {
 public:
  // Without an agent the calls go through the process-wide one.
  GateClient(BlockingPool& pool, GateEndpoints endpoints, GateIdentity identity, SecretArray<16> l2,
             const GateAgent* agent = nullptr);

  boost::asio::awaitable<ProxyResult<SearchResponse>> search(std::string query) override;
  boost::asio::awaitable<ProxyResult<std::vector<Entry>>> match_url(std::string url) override;
  boost::asio::awaitable<ProxyResult<SecretString>> decrypt(std::string label, std::string ciphertext) override;

  const GateEndpoints& endpoints() const { return endpoints_; }

 private:
  BlockingPool& pool_;
  GateEndpoints endpoints_;
  GateIdentity identity_;
  SecretArray<16> l2_;
  const GateAgent* agent_;
};

// Checks the node keys (QB-5002 for an old enrolment or a bad key) and builds the client.
ProxyResult<std::shared_ptr<GateClient>> build_gate_client(const GateClientSettings& settings, BlockingPool& pool,
                                                           const GateAgent* agent = nullptr);

}  // namespace qb
