#include "vault/gate_client.h"

#include <cstring>

#include <fmt/format.h>

#include "core/text.h"
#include "crypto/codecs.h"
#include "crypto/ids.h"
#include "crypto/node_key.h"
#include "vault/field_decrypt.h"

namespace qb {

std::string gate_url_from(std::string_view url) {
  while (!url.empty() && url.back() == '/') url.remove_suffix(1);
  return fmt::format("{}/gate", url);
}

GateClient::GateClient(BlockingPool& pool, GateEndpoints endpoints, GateIdentity identity, SecretArray<16> l2,
                       const GateAgent* agent)
    : pool_(pool),
      endpoints_(std::move(endpoints)),
      identity_(std::move(identity)),
      l2_(std::move(l2)),
      agent_(agent) {}

boost::asio::awaitable<ProxyResult<SearchResponse>> GateClient::search(std::string query) {
  nlohmann::json params = {{"exact", true}, {"q", std::move(query)}};
  auto call = gate_call(pool_, endpoints_, identity_, "search.query", std::move(params), agent_);
  QB_CO_TRY(auto result, co_await std::move(call));
  auto decoded = decode_search_response(result);
  if (!decoded) co_return proxy_error_new(codes::QB_5031, fmt::format("search shape: {}", decoded.error().display()));
  co_return std::move(*decoded);
}

boost::asio::awaitable<ProxyResult<std::vector<Entry>>> GateClient::match_url(std::string url) {
  nlohmann::json params = {{"url", std::move(url)}};
  auto call = gate_call(pool_, endpoints_, identity_, "ext.match", std::move(params), agent_);
  QB_CO_TRY(auto result, co_await std::move(call));
  auto decoded = decode_entry_list(result);
  if (!decoded) co_return proxy_error_new(codes::QB_5050, fmt::format("match shape: {}", decoded.error().display()));
  co_return std::move(*decoded);
}

boost::asio::awaitable<ProxyResult<SecretString>> GateClient::decrypt(std::string label, std::string ciphertext) {
  FieldDecryptJob job{std::move(label), std::move(ciphertext), l2_};
  auto task = spawn_field_decrypt(pool_, std::move(job));
  co_return co_await std::move(task);
}

namespace {

ProxyError config_error(std::string detail_display) { return proxy_error_new(codes::QB_5002, detail_display); }

}  // namespace

ProxyResult<std::shared_ptr<GateClient>> build_gate_client(const GateClientSettings& s, BlockingPool& pool,
                                                           const GateAgent* agent) {
  if (trim_ws(s.vault_gate_pub).empty()) {
    return config_error(CliError(catalogue::QB_2004,
                                 "this config was enrolled before the enrolment blob carried the POP key: make a new "
                                 "client blob in the vault and enrol again")
                            .display());
  }
  auto gate_pub = parse_node_key_hex(s.vault_gate_pub, "vault_gate_pub");
  if (!gate_pub) return config_error(gate_pub.error().display());

  GateEndpoints endpoints{gate_url_from(s.vault_url), *gate_pub, std::nullopt};
  if (!trim_ws(s.replica_url).empty() && !trim_ws(s.replica_gate_pub).empty()) {
    auto replica_pub = parse_node_key_hex(s.replica_gate_pub, "replica_gate_pub");
    if (!replica_pub) return config_error(replica_pub.error().display());
    endpoints.replica = GateReplica{gate_url_from(s.replica_url), *replica_pub};
  }

  // The configuration check has decoded these already; a failure here still ends start-up cleanly.
  auto vault_id = parse_hex_id(s.vault_id);
  if (!vault_id) {
    return config_error(CliError(catalogue::QB_2004, fmt::format("vault_id: {}", display(vault_id.error()))).display());
  }
  auto agent_id = decode_hex_field(s.agent_id, "agent_id");
  if (!agent_id) return config_error(agent_id.error().display());
  auto l2 = decode_hex_field(s.l2, "l2");
  if (!l2) return config_error(l2.error().display());

  GateIdentity identity;
  std::memcpy(identity.l1.data(), l2->data(), 8);
  identity.agent_id = *agent_id;
  identity.vault_id = *vault_id;
  return std::make_shared<GateClient>(pool, std::move(endpoints), std::move(identity), std::move(*l2), agent);
}

}  // namespace qb
