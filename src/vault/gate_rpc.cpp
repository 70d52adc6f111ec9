#include "vault/gate_rpc.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/bytes.h"
#include "core/json_strict.h"
#include "core/text.h"
#include "crypto/codecs.h"
#include "crypto/node_key.h"
#include "crypto/noise.h"
#include "crypto/primitives.h"
#include "crypto/secret.h"
#include "vault/gate_agent.h"

namespace qb {

const std::array<std::string_view, 103> RPC_METHODS = {
    "system.ping",
    "system.glass",
    "entry.list",
    "entry.get",
    "entry.revisions",
    "entry.create",
    "entry.update",
    "entry.upsert",
    "entry.delete",
    "scope.list",
    "scope.resolve",
    "scope.set",
    "search.query",
    "search.similar",
    "search.related",
    "search.clusters",
    "ext.totp",
    "ext.match",
    "ext.alternates",
    "ext.worked",
    "audit.list",
    "audit.verify",
    "audit.anchor_status",
    "agent.create",
    "agent.list",
    "agent.update",
    "agent.delete",
    "agent.unlock",
    "backup.list",
    "backup.create",
    "backup.restore",
    "task.list",
    "task.report",
    "control.meta_apply",
    "control.task_apply",
    "repl.push",
    "telemetry.push",
    "alert.raise",
    "event.report",
    "audit.anchor",
    "recovery.store_key",
    "recovery.store_verification",
    "recovery.release_key",
    "mail.probe",
    "mail.test",
    "mail.drill",
    "content.push",
    "failover.promote",
    "corporate.push",
    "system.health",
    "failover.maintenance",
    "failover.alert",
    "failover.failback",
    "fleet.reachable",
    "entry.set_scopes",
    "entry.batch_create",
    "wl3.fetch",
    "wl3.lookup",
    "wl3.put",
    "auth.login_begin",
    "auth.login_complete",
    "auth.discover_begin",
    "auth.discover_complete",
    "auth.register_begin",
    "auth.register_complete",
    "vault.assign",
    "webauthn.credentials",
    "webauthn.revoke_credential",
    "ops.maintenance.register",
    "ops.incident.open",
    "ops.incident.close",
    "central.whois",
    "central.push",
    "telemetry.forward",
    "auth.tap_begin",
    "auth.tap_complete",
    "entry.list_deleted",
    "session.event",
    "entry.get_batch",
    "entry.revisions_batch",
    "vault.export",
    "enroll.pin",
    "enroll.verify",
    "agent.bootstrap",
    "vault.list",
    "id.mint",
    "vault.where",
    "vault.place",
    "central.log",
    "wl3.revoke",
    "world.sweep",
    "party.birth",
    "dns.shop.set",
    "dns.shop.remove",
    "shop.keys",
    "shop.allow",
    "shop.disallow",
    "table.query",
    "table.tx",
    "audit.log_event",
    "scim.classify",
    "vault.retire",
    "wl3.audit",
};

bool should_try_replica(std::string_view text) {
  static constexpr std::string_view kMarkers[] = {"POST /gate", "HTTP 502", "HTTP 503", "HTTP 504",
                                                  "refused handshake"};
  for (std::string_view m : kMarkers) {
    if (text.find(m) != std::string_view::npos) return true;
  }
  return false;
}

bool is_rpc_method(std::string_view method) {
  for (std::string_view m : RPC_METHODS) {
    if (m == method) return true;
  }
  return false;
}

namespace {

using nlohmann::json;

// Builds a JSON value from the strict reader's events. With the reply rules on, the Reply object at
// the top and the ReplyError object inside it refuse a member given twice; anywhere else (inside
// "result") the last of repeated members wins, as in any JSON value.
class DomSax final : public JsonSax {
 public:
  explicit DomSax(bool reply_rules) : reply_rules_(reply_rules) {}

  json take() { return std::move(root_); }

  bool on_null() override { return put(json(nullptr)); }
  bool on_bool(bool v) override { return put(json(v)); }
  bool on_signed(std::int64_t v) override { return put(json(v)); }
  bool on_unsigned(std::uint64_t v) override { return put(json(v)); }
  bool on_float(double v) override { return put(json(v)); }
  bool on_string(std::string& v) override { return put(json(std::move(v))); }
  bool on_start_object() override {
    const bool strict = reply_rules_ && (stack_.empty() || (stack_.size() == 1 && is_error_slot()));
    json* p = place(json::object());
    stack_.push_back({p, strict});
    return true;
  }
  bool on_key(std::string& k) override {
    Frame& f = stack_.back();
    if (f.strict && f.node->contains(k)) return fail_unpositioned(json_duplicate_field(k));
    key_ = std::move(k);
    return true;
  }
  bool on_end_object() override {
    stack_.pop_back();
    return true;
  }
  bool on_start_array() override {
    json* p = place(json::array());
    stack_.push_back({p, false});
    return true;
  }
  bool on_end_array() override {
    stack_.pop_back();
    return true;
  }

 private:
  struct Frame {
    json* node;
    bool strict;
  };

  // The value about to start is the top-level reply's "error" member or its third array element.
  bool is_error_slot() const {
    const json& parent = *stack_.front().node;
    return parent.is_object() ? key_ == "error" : parent.size() == 2;
  }
  json* place(json v) {
    if (stack_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    json& top = *stack_.back().node;
    if (top.is_array()) {
      top.push_back(std::move(v));
      return &top.back();
    }
    json& slot = top[key_];
    slot = std::move(v);
    return &slot;
  }
  bool put(json v) {
    place(std::move(v));
    return true;
  }

  bool reply_rules_;
  json root_;
  std::vector<Frame> stack_;
  std::string key_;
};

std::optional<ReplyError> reply_error_from(const json& v) {
  if (v.is_array()) {
    if (v.size() != 2 || !v[0].is_string() || !v[1].is_string()) return std::nullopt;
    return ReplyError{v[0].get<std::string>(), v[1].get<std::string>()};
  }
  if (!v.is_object()) return std::nullopt;
  const json* code = nullptr;
  const json* message = nullptr;
  for (const auto& [name, value] : v.items()) {
    if (name == "code") {
      code = &value;
    } else if (name == "message") {
      message = &value;
    } else {
      return std::nullopt;
    }
  }
  if (!code || !message || !code->is_string() || !message->is_string()) return std::nullopt;
  return ReplyError{code->get<std::string>(), message->get<std::string>()};
}

// One of "ok", "result", "error" read from its JSON value; false when the value is refused.
bool take_member(Reply& r, std::string_view name, const json& value, bool& saw_ok) {
  if (name == "ok") {
    if (!value.is_boolean()) return false;
    r.ok = value.get<bool>();
    saw_ok = true;
    return true;
  }
  if (name == "result") {
    if (!value.is_null()) r.result = value;
    return true;
  }
  if (name == "error") {
    if (value.is_null()) return true;
    r.error = reply_error_from(value);
    return r.error.has_value();
  }
  return false;
}

ProxyError form_c(const QuorbeltError& row, std::string detail) {
  return proxy_error_from_gate(CliError(row, std::move(detail)));
}
ProxyError form_p(std::string detail, ProxyErrorKind kind = ProxyErrorKind::Other) {
  return ProxyError(codes::QB_5050, std::move(detail), kind);
}

ProxyError encode_request_error(const QuorbeltError& row) {
  return form_c(catalogue::QB_2047, fmt::format("encode request: {}", row.debug()));
}

// Step 3: the params written as compact JSON and read back under the reader's limits. A writer
// failure keeps its text; a refused read-back is a malformed request.
ProxyResult<json> content_of(const json& params) {
  std::string text;
  try {
    text = params.dump();
  } catch (const json::exception& e) {
    return form_c(catalogue::QB_2047, fmt::format("encode args: {}", e.what()));
  }
  DomSax sax(false);
  if (!parse_json_sax(text, sax)) return encode_request_error(catalogue::QB_0004);
  return ProxyResult<json>(boost::system::in_place_value, sax.take());
}

}  // namespace

std::optional<Reply> read_reply(std::string_view text) {
  DomSax sax(true);
  if (!parse_json_sax(text, sax)) return std::nullopt;
  const json v = sax.take();
  Reply r;
  bool saw_ok = false;
  if (v.is_object()) {
    for (const auto& [name, value] : v.items()) {
      if (!take_member(r, name, value, saw_ok)) return std::nullopt;
    }
  } else if (v.is_array()) {
    static constexpr std::string_view kOrder[] = {"ok", "result", "error"};
    if (v.empty() || v.size() > 3) return std::nullopt;
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (!take_member(r, kOrder[i], v[i], saw_ok)) return std::nullopt;
    }
  } else {
    return std::nullopt;
  }
  if (!saw_ok) return std::nullopt;
  return r;
}

std::optional<std::string> write_gate_request(std::string_view action, std::optional<std::string_view> cred,
                                              const std::optional<nlohmann::json>& content) {
  // Written by hand: the members keep their field order, which a JSON object would sort.
  try {
    std::string out = R"({"action":)";
    out += json(std::string(action)).dump();
    if (cred) {
      std::string c(*cred);
      out += R"(,"cred":)";
      out += json(c).dump();
      secure_wipe(c);
    }
    if (content) {
      out += R"(,"content":)";
      out += content->dump();
    }
    out += '}';
    return out;
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

namespace {

// Without an agent, the process-wide one, built only when a call gets as far as sending.
ProxyResult<nlohmann::json> rpc(std::string_view method, std::string_view credential, const nlohmann::json& params,
                                std::string_view gate_url, std::span<const std::uint8_t> node_pub,
                                const GateAgent* agent) {
  // 1. A fresh initiator static key for every call, with its point for the handshake.
  auto s = p256_generate_scalar_pair();
  if (!s) return form_c(catalogue::QB_2047, fmt::format("key: {}", s.error().debug()));

  // 2.
  if (node_pub.size() != kNodePublicKeyLen) {
    return form_c(catalogue::QB_2047, fmt::format("the responder key is {} bytes, a node public key is {}",
                                                  node_pub.size(), kNodePublicKeyLen));
  }
  NodePublicKey rs;
  std::copy(node_pub.begin(), node_pub.end(), rs.bytes.begin());

  // 3.
  std::optional<json> content;
  if (!params.is_null()) {
    QB_TRY(json c, content_of(params));
    content = std::move(c);
  }

  // 4, 5.
  if (!is_rpc_method(method)) return encode_request_error(catalogue::QB_0004);
  if (credential.empty() || !credential.starts_with("qbt_")) return encode_request_error(catalogue::QB_0004);

  // 6.
  auto request = write_gate_request(method, credential, content);
  if (!request) return encode_request_error(catalogue::QB_0005);
  // Holds the credential: wiped when the call ends, on every path.
  SecretBytes payload;
  payload.reserve(request->size() + 1);
  payload.push_back(PAYLOAD_HEADER);
  payload.append(as_bytes(*request));
  secure_wipe(*request);

  // 7.
  if (payload.size() > MAX_GATE_REQUEST) {
    return form_c(catalogue::QB_2110,
                  fmt::format("request is {} bytes, the gate takes at most {}", payload.size(), MAX_GATE_REQUEST));
  }

  // 8, 9.
  auto msg1 = noise::write_msg1(rs, *s, payload.span());
  if (!msg1) return form_c(catalogue::QB_2047, fmt::format("handshake msg1: {}", msg1.error().debug()));
  payload.clear();
  const std::string body = encode_base64(msg1->bytes);

  // 10 to 12.
  const GateAgent& via = agent != nullptr ? *agent : gate_agent();
  auto response = via.post(gate_url, "text/plain", body, GATE_REPLY_CAP);
  if (!response) {
    if (response.error().phase == GatePhase::BeforeHead) {
      return form_p(fmt::format("POST /gate: {}", response.error().text), ProxyErrorKind::GateUnreachable);
    }
    return form_p(
        fmt::format("gate reply over its {}-byte cap or unreadable: {}", GATE_REPLY_CAP, response.error().text));
  }
  if (response->status < 200 || response->status > 299) {
    return form_p(fmt::format("gate refused handshake (HTTP {})", response->status), ProxyErrorKind::GateHttpStatus);
  }

  // 13, 14.
  if (auto ok = check_utf8(response->body); !ok) {
    return form_p(fmt::format("reply not UTF-8: {}", ok.error().display()));
  }
  auto msg2 = decode_base64(trim_ws(response->body));
  if (!msg2) return form_c(catalogue::QB_2047, fmt::format("msg2 not base64: {}", msg2.error().display()));

  // 15.
  auto reply_payload = noise::read_msg2(std::move(msg1->state), *msg2);
  if (!reply_payload) return form_c(catalogue::QB_2047, fmt::format("open msg2: {}", reply_payload.error().debug()));

  // 16.
  const SecretBytes& rp = *reply_payload;
  if (rp.empty()) return form_c(catalogue::QB_2047, fmt::format("decode reply: {}", catalogue::QB_0010.debug()));
  std::optional<Reply> reply;
  if (rp[0] == PAYLOAD_HEADER) reply = read_reply(rp.text().substr(1));
  if (!reply) return form_c(catalogue::QB_2047, fmt::format("decode reply: {}", catalogue::QB_0004.debug()));

  // 17.
  // A JSON value converts to almost anything; name the value side.
  if (reply->ok) {
    return ProxyResult<json>(boost::system::in_place_value, reply->result ? std::move(*reply->result) : json(nullptr));
  }
  if (reply->error) {
    // The gate's own texts are foreign: one may name an outage behind the gate, which the replica
    // may not share.
    const std::string said = fmt::format("{}: {}", reply->error->code, reply->error->message);
    ProxyError e = form_c(catalogue::QB_2047, fmt::format("gate error {}", said));
    if (should_try_replica(said)) e.kind = ProxyErrorKind::GateNamedOutage;
    return e;
  }
  return form_c(catalogue::QB_2047, "gate error UNKNOWN: no detail");
}

}  // namespace

ProxyResult<nlohmann::json> gate_rpc(std::string_view method, std::string_view credential, const nlohmann::json& params,
                                     std::string_view gate_url, std::span<const std::uint8_t> node_pub) {
  return rpc(method, credential, params, gate_url, node_pub, nullptr);
}

ProxyResult<nlohmann::json> gate_rpc(std::string_view method, std::string_view credential, const nlohmann::json& params,
                                     std::string_view gate_url, std::span<const std::uint8_t> node_pub,
                                     const GateAgent& agent) {
  return rpc(method, credential, params, gate_url, node_pub, &agent);
}

}  // namespace qb
