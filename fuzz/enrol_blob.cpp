// The enrolment blob's JSON, sealed under a fixed key and opened by config_from_enrolment: an
// accepted blob gives a Config that the configuration reader takes back, and a refusal names one
// of the fixed reasons without echoing anything from the blob.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/config.h"
#include "cli/enrol.h"
#include "crypto/codecs.h"
#include "crypto/ids.h"
#include "fuzz_check.h"
#include "support/enrol_blob.h"

namespace {

const std::vector<std::uint8_t>& key() {
  static const auto* k = new std::vector<std::uint8_t>(32, 0x5a);
  return *k;
}

bool is_key_hex(std::string_view s) {
  return s.size() == 2498 && s.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

void check_refusal(const qb::ProxyError& e) {
  QB_FUZZ_CHECK(e.code == "QB-5005");
  static constexpr std::string_view reasons[] = {
      "enrollment blob or key is not base64url",
      "enrollment key must be 32 bytes (base64url of a 256-bit key)",
      "enrollment blob carries an old-form vault id",
      "this enrollment blob carries no POP key or a retired X25519 one",
      "enrollment blob did not authenticate — wrong key or corrupt blob",
      "enrollment key is required",
      "enrollment blob carried an empty pop/host",
  };
  bool known = false;
  for (auto r : reasons) known |= e.detail.find(r) != std::string::npos;
  QB_FUZZ_CHECK(known);
  // The detail is built from fixed texts only: a short bound keeps any echo of the blob out.
  QB_FUZZ_CHECK(e.detail.size() < 600);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 16384) return 0;
  std::string_view json = qb::fuzz::as_text(data, size);
  qb::test::Enrolment sealed = qb::test::seal_enrolment(json, key());

  auto cfg = qb::config_from_enrolment(sealed.blob, sealed.key);
  if (!cfg) {
    check_refusal(cfg.error());
  } else {
    QB_FUZZ_CHECK(cfg->vault_url.starts_with("https://"));
    QB_FUZZ_CHECK(is_key_hex(cfg->vault_gate_pub));
    QB_FUZZ_CHECK(cfg->replica_gate_pub.empty() || is_key_hex(cfg->replica_gate_pub));
    QB_FUZZ_CHECK(qb::decode_hex16(cfg->agent_id));
    QB_FUZZ_CHECK(qb::decode_hex16(cfg->l2));
    QB_FUZZ_CHECK(qb::decode_hex16(cfg->device_id));
    QB_FUZZ_CHECK(qb::parse_hex_id(cfg->vault_id));
    auto written = qb::encode_config_json(*cfg);
    QB_FUZZ_CHECK(written);
    auto back =
        qb::parse_config_json(std::string_view(reinterpret_cast<const char*>(written->data()), written->size()));
    QB_FUZZ_CHECK(back && back->l2 == cfg->l2 && back->vault_url == cfg->vault_url);
  }

  // The raw input as the blob text: it cannot authenticate under the key.
  auto raw = qb::config_from_enrolment(json, sealed.key);
  QB_FUZZ_CHECK(!raw);
  check_refusal(raw.error());
  return 0;
}
