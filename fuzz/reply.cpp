// The gate reply reader: a reply it accepts, written back in either of its two forms, reads
// again to the same reply.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "vault/gate_rpc.h"

namespace {

using nlohmann::json;

json error_json(const qb::ReplyError& e, bool as_array) {
  if (as_array) return json::array({e.code, e.message});
  return json{{"code", e.code}, {"message", e.message}};
}

std::string write_object(const qb::Reply& r) {
  json j = json::object();
  j["ok"] = r.ok;
  if (r.result) j["result"] = *r.result;
  if (r.error) j["error"] = error_json(*r.error, false);
  return j.dump(-1, ' ', false, json::error_handler_t::strict);
}

std::string write_array(const qb::Reply& r) {
  json j = json::array({r.ok, r.result ? *r.result : json(nullptr)});
  if (r.error) j.push_back(error_json(*r.error, true));
  return j.dump(-1, ' ', false, json::error_handler_t::strict);
}

bool same(const qb::Reply& a, const qb::Reply& b) {
  if (a.ok != b.ok || a.result.has_value() != b.result.has_value() || a.error.has_value() != b.error.has_value()) {
    return false;
  }
  if (a.result && *a.result != *b.result) return false;
  if (a.error && (a.error->code != b.error->code || a.error->message != b.error->message)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto reply = qb::read_reply(qb::fuzz::as_text(data, size));
  if (!reply) return 0;
  // null counts as absent, so it never comes out as a value.
  QB_FUZZ_CHECK(!reply->result || !reply->result->is_null());
  for (const std::string& text : {write_object(*reply), write_array(*reply), " " + write_object(*reply) + "\n"}) {
    auto again = qb::read_reply(text);
    QB_FUZZ_CHECK(again);
    QB_FUZZ_CHECK(same(*reply, *again));
  }
  // One more member, or trailing text, makes it unreadable.
  json extended = json::parse(write_object(*reply));
  extended["extra"] = 1;
  QB_FUZZ_CHECK(!qb::read_reply(extended.dump()));
  QB_FUZZ_CHECK(!qb::read_reply(write_object(*reply) + "x"));
  return 0;
}
