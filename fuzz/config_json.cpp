// The strict Config reader: what it accepts is written back by the encoder and read again to the
// same record; refusals carry a message.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cli/config.h"
#include "core/text.h"
#include "fuzz_check.h"

namespace {

bool same(const qb::Config& a, const qb::Config& b) {
  return a.vault_url == b.vault_url && a.vault_gate_pub == b.vault_gate_pub && a.replica_url == b.replica_url &&
         a.replica_gate_pub == b.replica_gate_pub && a.vault_id == b.vault_id && a.agent_id == b.agent_id &&
         a.l2 == b.l2 && a.device_id == b.device_id;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text = qb::fuzz::as_text(data, size);
  auto cfg = qb::parse_config_json(text);
  if (!cfg) {
    QB_FUZZ_CHECK(!cfg.error().message.empty());
    return 0;
  }
  auto json = qb::encode_config_json(*cfg);
  if (!json) {
    bool all_utf8 = qb::is_utf8(cfg->vault_url) && qb::is_utf8(cfg->vault_gate_pub) && qb::is_utf8(cfg->replica_url) &&
                    qb::is_utf8(cfg->replica_gate_pub) && qb::is_utf8(cfg->vault_id) && qb::is_utf8(cfg->agent_id) &&
                    qb::is_utf8(cfg->l2) && qb::is_utf8(cfg->device_id);
    QB_FUZZ_CHECK(!all_utf8);
    return 0;
  }
  std::string_view written(reinterpret_cast<const char*>(json->data()), json->size());
  auto again = qb::parse_config_json(written);
  QB_FUZZ_CHECK(again);
  QB_FUZZ_CHECK(same(*cfg, *again));
  auto twice = qb::encode_config_json(*again);
  QB_FUZZ_CHECK(twice && std::string_view(reinterpret_cast<const char*>(twice->data()), twice->size()) == written);
  // Compact and in member order, the optional replica members left out when empty.
  QB_FUZZ_CHECK(written.starts_with("{\"vault_url\":"));
  QB_FUZZ_CHECK((written.find("\"replica_url\"") != std::string_view::npos) == !cfg->replica_url.empty());
  return 0;
}
