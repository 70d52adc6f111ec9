// The search-reply decoder: a reply it accepts, written back with every record as an object or
// every record in its positional form, decodes to the same reply.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "vault/records.h"

namespace {

using nlohmann::json;

json opt(const std::optional<std::string>& s) { return s ? json(*s) : json(nullptr); }

json write_field(const qb::Field& f, bool arr) {
  if (arr) return json::array({f.label, f.value, opt(f.kind), f.tier});
  json j{{"label", f.label}, {"value", f.value}, {"tier", f.tier}};
  if (f.kind) j["kind"] = *f.kind;
  return j;
}

json write_data(const qb::EntryData& d, bool arr) {
  json fields = json::array();
  for (const auto& f : d.fields) fields.push_back(write_field(f, arr));
  if (arr) return json::array({opt(d.title), opt(d.type), fields, d.urls, opt(d.notes)});
  json j{{"fields", fields}, {"urls", d.urls}};
  if (d.title) j["title"] = *d.title;
  if (d.type) j["type"] = *d.type;
  if (d.notes) j["notes"] = *d.notes;
  return j;
}

json write_entry(const qb::Entry& e, bool arr) {
  json data = e.data ? write_data(*e.data, arr) : json(nullptr);
  if (arr) return json::array({e.entry_id, opt(e.type), opt(e.title), data});
  json j{{"entry_id", e.entry_id}, {"type", opt(e.type)}};
  if (e.title) j["title"] = *e.title;
  // The alias names the same field.
  if (e.data) j[e.entry_id.size() % 2 ? "data" : "vault_data"] = data;
  return j;
}

json write_quota(const std::optional<qb::Quota>& q, bool arr) {
  if (!q) return nullptr;
  if (arr) return json::array({q->minute_used, q->minute_limit, q->hour_used, q->hour_limit});
  return json{{"minute_used", q->minute_used},
              {"minute_limit", q->minute_limit},
              {"hour_used", q->hour_used},
              {"hour_limit", q->hour_limit}};
}

json write_entries(const std::vector<qb::Entry>& es, bool arr) {
  json out = json::array();
  for (const auto& e : es) out.push_back(write_entry(e, arr));
  return out;
}

json write_response(const qb::SearchResponse& r, bool arr) {
  if (const auto* l = std::get_if<qb::SearchResponse::List>(&r.shape)) return write_entries(l->entries, arr);
  if (const auto* w = std::get_if<qb::SearchResponse::Wrapped>(&r.shape)) {
    return json{{"entries", write_entries(w->entries, arr)}, {"quota", write_quota(w->quota, arr)}};
  }
  const auto& c = std::get<qb::SearchResponse::Count>(r.shape);
  json matches = json::array();
  for (const auto& m : c.matches) {
    matches.push_back(arr ? json::array({m.title, m.type}) : json{{"title", m.title}, {"type", m.type}});
  }
  return json{{"count", c.count},
              {"titles", c.titles},
              {"matches", matches},
              {"message", opt(c.message)},
              {"quota", write_quota(c.quota, arr)}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  json value = json::parse(qb::fuzz::as_text(data, size), nullptr, false);
  if (value.is_discarded()) return 0;
  auto decoded = qb::decode_search_response(value);
  if (!decoded) {
    QB_FUZZ_CHECK(decoded.error().text == "data did not match any variant of untagged enum SearchResponse");
    return 0;
  }
  for (bool arr : {false, true}) {
    json written = write_response(*decoded, arr);
    auto again = qb::decode_search_response(written);
    QB_FUZZ_CHECK(again);
    QB_FUZZ_CHECK(*again == *decoded);
    // The same through text, as the gate reply carries it.
    auto reread = qb::decode_search_response(json::parse(written.dump()));
    QB_FUZZ_CHECK(reread && *reread == *decoded);
  }
  return 0;
}
