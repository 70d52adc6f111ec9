#include "vault/gate_call.h"

#include <exception>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <zlib.h>

#include "core/bytes.h"
#include "core/output.h"
#include "core/runtime_async.h"
#include "core/text.h"
#include "crypto/codecs.h"
#include "crypto/primitives.h"
#include "vault/gate_rpc.h"

namespace qb {

namespace {

void put_be64(std::uint8_t* out, std::uint64_t v) {
  for (int i = 7; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>(v & 0xff);
    v >>= 8;
  }
}

ProxyError task_error(std::string text) { return ProxyError(codes::QB_5050, fmt::format("gate task: {}", text)); }

ProxyResult<nlohmann::json> rpc(const GateCall& call, std::string_view token, std::string_view url,
                                const NodePublicKey& pub, const GateAgent* agent) {
  if (agent != nullptr) return gate_rpc(call.method, token, call.params, url, pub.bytes, *agent);
  return gate_rpc(call.method, token, call.params, url, pub.bytes);
}

boost::asio::awaitable<ProxyResult<nlohmann::json>> run_gate_call(BlockingPool& pool, GateCall call,
                                                                  const GateAgent* agent) {
  // An exception must not escape onto a pool thread; it is reported as the job's failure.
  auto job = [call = std::move(call), agent]() mutable -> ProxyResult<nlohmann::json> {
    try {
      return gate_call_blocking(std::move(call), agent);
    } catch (const std::exception& e) {
      return task_error(fmt::format("task panicked with message {}", debug_quote(e.what())));
    } catch (...) {
      return task_error("task panicked");
    }
  };
  co_return co_await spawn_blocking(pool, std::move(job));
}

}  // namespace

std::uint32_t crc32_iso_hdlc(std::span<const std::uint8_t> data) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes at most a uInt per call.
  while (!data.empty()) {
    const std::size_t n = std::min<std::size_t>(data.size(), 1u << 30);
    crc = crc32(crc, data.data(), static_cast<uInt>(n));
    data = data.subspan(n);
  }
  return static_cast<std::uint32_t>(crc);
}

SecretArray<16> wire_token_key(std::uint64_t vault_id) {
  std::uint8_t ikm[8];
  put_be64(ikm, vault_id);
  const auto info = as_bytes(TOKEN_KEY_INFO);
  const SecretBytes okm = hkdf_sha256(ikm, std::nullopt, info, 16);
  return SecretArray<16>(okm.span().first<16>());
}

CryptoResult<std::string> mint_wire_token(std::span<const std::uint8_t, 8> l1,
                                          std::span<const std::uint8_t, 16> agent_id, std::uint64_t vault_id) {
  SecretArray<24> plain;
  std::copy(l1.begin(), l1.end(), plain.begin());
  std::copy(agent_id.begin(), agent_id.end(), plain.begin() + 8);
  auto sealed = [&] {
    const SecretArray<16> key = wire_token_key(vault_id);
    return aead_encrypt(key.span(), plain.span());
  }();
  plain.wipe();
  if (!sealed) return sealed.error();
  if (sealed->size() != kWireTokenPayloadLen - 9) return catalogue::QB_0005;

  std::uint8_t payload[kWireTokenPayloadLen];
  payload[0] = kWireTokenFormat;
  put_be64(payload + 1, vault_id);
  std::copy(sealed->begin(), sealed->end(), payload + 9);

  std::string token = "qbt_" + encode_base64url_nopad(payload);
  const std::uint32_t crc = crc32_iso_hdlc(as_bytes(token));
  const std::uint8_t check[4] = {static_cast<std::uint8_t>(crc >> 24), static_cast<std::uint8_t>(crc >> 16),
                                 static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)};
  token += '.';
  token += encode_base64url_nopad(check);
  return token;
}

bool should_try_replica(ProxyErrorKind kind) {
  switch (kind) {
    case ProxyErrorKind::GateUnreachable:
    case ProxyErrorKind::GateHttpStatus:
    case ProxyErrorKind::GateNamedOutage:
      return true;
    case ProxyErrorKind::Other:
      return false;
  }
  return false;
}

ProxyResult<nlohmann::json> gate_call_blocking(GateCall call, const GateAgent* agent) {
  auto minted = mint_wire_token(call.l1.span(), call.agent_id.span(), call.vault_id);
  call.l1.wipe();
  call.agent_id.wipe();
  if (!minted) return ProxyError(codes::QB_5050, fmt::format("mint wire token: {}", minted.error().debug()));
  // The token goes wiped when the job ends, on every path; the plain donor is wiped here.
  const SecretString token = std::move(*minted);

  auto primary = rpc(call, token, call.gate_url, call.gate_pub, agent);
  if (primary) return primary;
  if (!call.replica || !should_try_replica(primary.error().kind)) return primary;

  write_stderr("gate: primary unreachable, trying replica\n");
  primary = ProxyError{};
  return rpc(call, token, call.replica->url, call.replica->pub, agent);
}

boost::asio::awaitable<ProxyResult<nlohmann::json>> gate_call(BlockingPool& pool, const GateEndpoints& endpoints,
                                                              const GateIdentity& identity, std::string_view method,
                                                              nlohmann::json params, const GateAgent* agent) {
  GateCall call{std::string(method), endpoints.gate_url, endpoints.gate_pub, endpoints.replica,
                std::move(params),   identity.l1,        identity.agent_id,  identity.vault_id};
  return run_gate_call(pool, std::move(call), agent);
}

}  // namespace qb
