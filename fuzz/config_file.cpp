// The configuration-file unsealer: a sealed file opens to its JSON, any changed byte is refused,
// and arbitrary bytes are refused with one of the container's rows.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/config.h"
#include "fuzz_check.h"

namespace {

const qb::Config& sample() {
  static const qb::Config* c = [] {
    auto* cfg = new qb::Config;
    cfg->vault_url = "https://pop.example.com";
    cfg->vault_id = "0100000000000001";
    cfg->agent_id = std::string(32, 'a');
    cfg->l2 = std::string(32, 'b');
    cfg->device_id = std::string(32, 'c');
    return cfg;
  }();
  return *c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> file(data, size);
  auto opened = qb::unseal_config(file);
  if (!opened) {
    std::string_view code = opened.error().code;
    QB_FUZZ_CHECK(code == "QB-0008" || code == "QB-0009" || code == "QB-0003" || code == "QB-0005");
    if (size < qb::kConfigHeaderLen) QB_FUZZ_CHECK(code == "QB-0008");
  } else {
    // Forging the MAC and the tag from scratch is not a thing a fuzzer does: only a file made by
    // seal_config can open, and it is at least the header long.
    QB_FUZZ_CHECK(size >= qb::kConfigHeaderLen);
    QB_FUZZ_CHECK(opened->size() == size - qb::kConfigHeaderLen);
  }

  // The input as a vault_url: the sealed file opens to the encoder's JSON, and one changed byte,
  // anywhere, is refused.
  qb::Config cfg;
  cfg.vault_url = std::string(qb::fuzz::as_text(data, size));
  cfg.vault_id = sample().vault_id;
  cfg.agent_id = sample().agent_id;
  cfg.l2 = sample().l2;
  cfg.device_id = sample().device_id;
  auto sealed = qb::seal_config(cfg);
  auto json = qb::encode_config_json(cfg);
  QB_FUZZ_CHECK(bool(sealed) == bool(json));
  if (!sealed) return 0;
  auto back = qb::unseal_config(*sealed);
  QB_FUZZ_CHECK(back && back->size() == json->size() && std::equal(back->begin(), back->end(), json->begin()));
  std::vector<std::uint8_t> bad = *sealed;
  std::size_t at = size == 0 ? 0 : (data[0] * 131u + size) % bad.size();
  bad[at] ^= static_cast<std::uint8_t>(size == 0 ? 1 : (data[size - 1] | 1));
  auto refused = qb::unseal_config(bad);
  QB_FUZZ_CHECK(!refused);
  QB_FUZZ_CHECK(refused.error().code == (at < 4 ? "QB-0009" : "QB-0003"));
  bad.pop_back();
  QB_FUZZ_CHECK(!qb::unseal_config(bad));
  return 0;
}
