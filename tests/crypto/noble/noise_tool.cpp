// The initiator side of the gate handshake as a line protocol, for the independent responder in
// noise_responder.mjs. One exchange per run, all values in lowercase hexadecimal:
//   stdin:  responder key (1249 bytes), then the request payload
//   stdout: msg1
//   stdin:  msg2
//   stdout: "ok <reply payload>" or "err <the failure's debug form>"
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/codecs.h"
#include "crypto/node_key.h"
#include "crypto/noise.h"
#include "crypto/primitives.h"

namespace {

std::optional<std::vector<std::uint8_t>> from_hex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    auto hi = qb::hex_digit_value(hex[i]);
    auto lo = qb::hex_digit_value(hex[i + 1]);
    if (!hi || !lo) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(*hi * 16 + *lo));
  }
  return out;
}

int fail(std::string_view why) {
  std::cerr << "noise_tool: " << why << "\n";
  return 1;
}

}  // namespace

int main() {
  std::string rs_hex, payload_hex, msg2_hex;
  if (!std::getline(std::cin, rs_hex) || !std::getline(std::cin, payload_hex)) return fail("expected two lines");
  auto rs_bytes = from_hex(rs_hex);
  auto payload = from_hex(payload_hex);
  if (!rs_bytes || rs_bytes->size() != qb::kNodePublicKeyLen || !payload) return fail("bad key or payload");
  qb::NodePublicKey rs;
  std::copy(rs_bytes->begin(), rs_bytes->end(), rs.bytes.begin());

  auto s = qb::p256_generate();
  if (!s) return fail(s.error().debug());
  auto msg1 = qb::noise::write_msg1(rs, s->span(), *payload);
  if (!msg1) return fail(msg1.error().debug());
  std::cout << qb::encode_hex(msg1->bytes) << std::endl;

  if (!std::getline(std::cin, msg2_hex)) return fail("expected msg2");
  auto msg2 = from_hex(msg2_hex);
  if (!msg2) return fail("bad msg2");
  auto reply = qb::noise::read_msg2(std::move(msg1->state), *msg2);
  if (!reply) {
    std::cout << "err " << reply.error().debug() << std::endl;
  } else {
    std::cout << "ok " << qb::encode_hex(reply->span()) << std::endl;
  }
  return 0;
}
