// Prints an enrolment blob and its key, one per line, for demos and end-to-end tests:
//   make_enrolment --pop HOST [--pop-pub HEX|--pop-pub-null|--no-pop-pub] [--vault-id HEX16]
//                  [--agent-id HEX32] [--l2 HEX32] [--replica-host HOST] [--replica-pub HEX]
//                  [--key BASE64URL] [--json TEXT]
// --json seals the given text as it is instead of building the object from the members.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/codecs.h"
#include "support/enrol_blob.h"

namespace {

int usage() {
  std::fputs(
      "usage: make_enrolment --pop HOST [--pop-pub HEX|--pop-pub-null|--no-pop-pub] [--vault-id HEX16]\n"
      "                      [--agent-id HEX32] [--l2 HEX32] [--replica-host HOST] [--replica-pub HEX]\n"
      "                      [--key BASE64URL] [--json TEXT]\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using qb::test::BlobFields;
  BlobFields f = qb::test::sample_fields("");
  f.pop.reset();
  f.agent_id = qb::encode_hex(qb::test::random_bytes_vec(16));
  f.l2 = qb::encode_hex(qb::test::random_bytes_vec(16));
  std::optional<std::string> key_text;
  std::optional<std::string> json;

  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--pop-pub-null") {
      f.pop_pub_null = true;
      continue;
    }
    if (a == "--no-pop-pub") {
      f.pop_pub.reset();
      continue;
    }
    if (i + 1 >= argc) return usage();
    const std::string v = argv[++i];
    if (a == "--pop")
      f.pop = v;
    else if (a == "--pop-pub")
      f.pop_pub = v;
    else if (a == "--vault-id")
      f.vault_id = v;
    else if (a == "--agent-id")
      f.agent_id = v;
    else if (a == "--l2")
      f.l2 = v;
    else if (a == "--replica-host")
      f.replica_host = v;
    else if (a == "--replica-pub")
      f.replica_pub = v;
    else if (a == "--key")
      key_text = v;
    else if (a == "--json")
      json = v;
    else
      return usage();
  }
  if (!f.pop && !json) return usage();

  std::vector<std::uint8_t> key = qb::test::random_bytes_vec(32);
  if (key_text) {
    auto decoded = qb::decode_enrolment_token(*key_text);
    if (!decoded) {
      std::fputs("make_enrolment: --key is not base64url\n", stderr);
      return 2;
    }
    key.assign(decoded->begin(), decoded->end());
  }
  const auto e = qb::test::seal_enrolment(json ? *json : qb::test::blob_json(f), key);
  std::printf("%s\n%s\n", e.blob.c_str(), e.key.c_str());
  return 0;
}
