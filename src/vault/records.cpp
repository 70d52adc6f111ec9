#include "vault/records.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace qb {
namespace {

using json = nlohmann::json;
// Reading one value into its place: nothing on success, the refusal otherwise.
using Err = DecodeResult<void>;

// Reservations stay within about one mebibyte of records whatever length an array claims; the
// caps are the counts the vault's own decoder uses.
constexpr std::size_t kEntryCap = 5461;
constexpr std::size_t kFieldCap = 13107;
constexpr std::size_t kTextCap = 43690;
constexpr std::size_t kMatchInfoCap = 21845;

// What a wrong value is, named by its type alone: the value itself may be a credential, and these
// texts reach the agent and the log.
std::string_view unexpected(const json& v) {
  switch (v.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return "boolean";
    case json::value_t::number_unsigned:
    case json::value_t::number_integer:
      return "integer";
    case json::value_t::number_float:
      return "floating point";
    case json::value_t::string:
      return "string";
    case json::value_t::array:
      return "sequence";
    case json::value_t::binary:
      return "byte array";
    case json::value_t::object:
    case json::value_t::discarded:
      break;
  }
  return "map";
}

DecodeError invalid_type(const json& v, std::string_view expected) {
  return DecodeError{fmt::format("invalid type: {}, expected {}", unexpected(v), expected)};
}

Err read_text(const json& v, std::string& out) {
  if (!v.is_string()) return invalid_type(v, "a string");
  out = v.get_ref<const std::string&>();
  return {};
}

Err read_secret_text(const json& v, SecretString& out) {
  if (!v.is_string()) return invalid_type(v, "a string");
  out = SecretString(v.get_ref<const std::string&>());
  return {};
}

Err read_opt_text(const json& v, std::optional<std::string>& out) {
  if (v.is_null()) {
    out.reset();
    return {};
  }
  std::string s;
  QB_TRY_VOID(read_text(v, s));
  out = std::move(s);
  return {};
}

template <class U>
Err read_unsigned(const json& v, U& out, std::string_view name) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<U>::max());
  if (v.is_number_unsigned()) {
    const auto n = v.get<std::uint64_t>();
    if (n > kMax) return DecodeError{fmt::format("invalid value: integer, expected {}", name)};
    out = static_cast<U>(n);
    return {};
  }
  if (v.is_number_integer()) {
    const auto n = v.get<std::int64_t>();
    if (n < 0 || static_cast<std::uint64_t>(n) > kMax) {
      return DecodeError{fmt::format("invalid value: integer, expected {}", name)};
    }
    out = static_cast<U>(n);
    return {};
  }
  return invalid_type(v, name);
}

Err read_u8(const json& v, std::uint8_t& out) { return read_unsigned(v, out, "u8"); }
Err read_u32(const json& v, std::uint32_t& out) { return read_unsigned(v, out, "u32"); }

template <class T>
Err read_list(const json& v, std::vector<T>& out, std::size_t cap, Err (*read_elem)(const json&, T&)) {
  if (!v.is_array()) return invalid_type(v, "a sequence");
  std::vector<T> list;
  list.reserve(std::min(v.size(), cap));
  for (const auto& elem : v) {
    T item{};
    QB_TRY_VOID(read_elem(elem, item));
    list.push_back(std::move(item));
  }
  out = std::move(list);
  return {};
}

// One field of a record: its key (and an alias filling the same field), how its value is read,
// and whether it must be present. Fields that may be absent keep the record's defaults.
template <class Rec>
struct FieldRule {
  std::string_view key;
  std::string_view alias;
  bool required;
  Err (*read)(const json&, Rec&);
};

struct RecordShape {
  std::string_view expecting;    // "struct Entry"
  std::string_view length_text;  // "struct Entry with 4 elements"
  bool positional;               // the array form is accepted
};

template <class Rec, std::size_t N>
Err read_record(const json& v, Rec& out, const RecordShape& shape, const std::array<FieldRule<Rec>, N>& fields) {
  if (v.is_object()) {
    std::array<bool, N> seen{};
    for (auto it = v.begin(); it != v.end(); ++it) {
      const std::string& key = it.key();
      std::size_t i = 0;
      while (i < N && key != fields[i].key && (fields[i].alias.empty() || key != fields[i].alias)) ++i;
      if (i == N) continue;
      if (seen[i]) return DecodeError{fmt::format("duplicate field `{}`", fields[i].key)};
      QB_TRY_VOID(fields[i].read(it.value(), out));
      seen[i] = true;
    }
    for (std::size_t i = 0; i < N; ++i) {
      if (!seen[i] && fields[i].required) return DecodeError{fmt::format("missing field `{}`", fields[i].key)};
    }
    return {};
  }
  if (v.is_array() && shape.positional) {
    for (std::size_t i = 0; i < N; ++i) {
      if (i < v.size()) {
        QB_TRY_VOID(fields[i].read(v[i], out));
      } else if (fields[i].required) {
        return DecodeError{fmt::format("invalid length {}, expected {}", i, shape.length_text)};
      }
    }
    if (v.size() > N) return DecodeError{fmt::format("invalid length {}, expected fewer elements in array", v.size())};
    return {};
  }
  return invalid_type(v, shape.expecting);
}

Err read_field(const json& v, Field& out) {
  static constexpr std::array<FieldRule<Field>, 4> kFields{{
      {"label", {}, true, [](const json& j, Field& f) { return read_text(j, f.label); }},
      {"value", {}, false, [](const json& j, Field& f) { return read_secret_text(j, f.value); }},
      {"kind", {}, false, [](const json& j, Field& f) { return read_opt_text(j, f.kind); }},
      {"tier", {}, false, [](const json& j, Field& f) { return read_u8(j, f.tier); }},
  }};
  return read_record(v, out, {"struct Field", "struct Field with 4 elements", true}, kFields);
}

Err read_entry_data(const json& v, EntryData& out) {
  static constexpr std::array<FieldRule<EntryData>, 5> kFields{{
      {"title", {}, false, [](const json& j, EntryData& d) { return read_opt_text(j, d.title); }},
      {"type", {}, false, [](const json& j, EntryData& d) { return read_opt_text(j, d.type); }},
      {"fields", {}, false, [](const json& j, EntryData& d) { return read_list(j, d.fields, kFieldCap, read_field); }},
      {"urls", {}, false, [](const json& j, EntryData& d) { return read_list(j, d.urls, kTextCap, read_text); }},
      {"notes", {}, false, [](const json& j, EntryData& d) { return read_opt_text(j, d.notes); }},
  }};
  return read_record(v, out, {"struct EntryData", "struct EntryData with 5 elements", true}, kFields);
}

Err read_opt_entry_data(const json& v, std::optional<EntryData>& out) {
  if (v.is_null()) {
    out.reset();
    return {};
  }
  EntryData d;
  QB_TRY_VOID(read_entry_data(v, d));
  out = std::move(d);
  return {};
}

Err read_entry(const json& v, Entry& out) {
  static constexpr std::array<FieldRule<Entry>, 4> kFields{{
      {"entry_id", {}, true, [](const json& j, Entry& en) { return read_text(j, en.entry_id); }},
      {"type", {}, false, [](const json& j, Entry& en) { return read_opt_text(j, en.type); }},
      {"title", {}, false, [](const json& j, Entry& en) { return read_opt_text(j, en.title); }},
      {"data", "vault_data", false, [](const json& j, Entry& en) { return read_opt_entry_data(j, en.data); }},
  }};
  return read_record(v, out, {"struct Entry", "struct Entry with 4 elements", true}, kFields);
}

Err read_entries(const json& v, std::vector<Entry>& out) { return read_list(v, out, kEntryCap, read_entry); }

Err read_quota(const json& v, Quota& out) {
  static constexpr std::array<FieldRule<Quota>, 4> kFields{{
      {"minute_used", {}, false, [](const json& j, Quota& q) { return read_u32(j, q.minute_used); }},
      {"minute_limit", {}, false, [](const json& j, Quota& q) { return read_u32(j, q.minute_limit); }},
      {"hour_used", {}, false, [](const json& j, Quota& q) { return read_u32(j, q.hour_used); }},
      {"hour_limit", {}, false, [](const json& j, Quota& q) { return read_u32(j, q.hour_limit); }},
  }};
  return read_record(v, out, {"struct Quota", "struct Quota with 4 elements", true}, kFields);
}

Err read_opt_quota(const json& v, std::optional<Quota>& out) {
  if (v.is_null()) {
    out.reset();
    return {};
  }
  Quota q;
  QB_TRY_VOID(read_quota(v, q));
  out = q;
  return {};
}

Err read_match_info(const json& v, MatchInfo& out) {
  static constexpr std::array<FieldRule<MatchInfo>, 2> kFields{{
      {"title", {}, false, [](const json& j, MatchInfo& m) { return read_text(j, m.title); }},
      {"type", {}, false, [](const json& j, MatchInfo& m) { return read_text(j, m.type); }},
  }};
  return read_record(v, out, {"struct MatchInfo", "struct MatchInfo with 2 elements", true}, kFields);
}

// The two object shapes of a search reply take no array form.
Err read_wrapped(const json& v, SearchResponse::Wrapped& out) {
  static constexpr std::array<FieldRule<SearchResponse::Wrapped>, 2> kFields{{
      {"entries", {}, true, [](const json& j, SearchResponse::Wrapped& w) { return read_entries(j, w.entries); }},
      {"quota", {}, false, [](const json& j, SearchResponse::Wrapped& w) { return read_opt_quota(j, w.quota); }},
  }};
  return read_record(v, out, {"struct variant SearchResponse::Wrapped", {}, false}, kFields);
}

Err read_count(const json& v, SearchResponse::Count& out) {
  using C = SearchResponse::Count;
  static constexpr std::array<FieldRule<C>, 5> kFields{{
      {"count", {}, true, [](const json& j, C& c) { return read_u32(j, c.count); }},
      {"titles", {}, false, [](const json& j, C& c) { return read_list(j, c.titles, kTextCap, read_text); }},
      {"matches",
       {},
       false,
       [](const json& j, C& c) { return read_list(j, c.matches, kMatchInfoCap, read_match_info); }},
      {"message", {}, false, [](const json& j, C& c) { return read_opt_text(j, c.message); }},
      {"quota", {}, false, [](const json& j, C& c) { return read_opt_quota(j, c.quota); }},
  }};
  return read_record(v, out, {"struct variant SearchResponse::Count", {}, false}, kFields);
}

template <class Rec>
DecodeResult<Rec> decode_with(const json& v, Err (*read)(const json&, Rec&)) {
  Rec rec{};
  QB_TRY_VOID(read(v, rec));
  return rec;
}

}  // namespace

DecodeResult<Field> decode_field(const json& value) { return decode_with(value, read_field); }
DecodeResult<EntryData> decode_entry_data(const json& value) { return decode_with(value, read_entry_data); }
DecodeResult<Entry> decode_entry(const json& value) { return decode_with(value, read_entry); }
DecodeResult<Quota> decode_quota(const json& value) { return decode_with(value, read_quota); }
DecodeResult<MatchInfo> decode_match_info(const json& value) { return decode_with(value, read_match_info); }
DecodeResult<std::vector<Entry>> decode_entry_list(const json& value) { return decode_with(value, read_entries); }

DecodeResult<SearchResponse> decode_search_response(const json& value) {
  // Each shape starts from nothing, so a failed try leaves nothing behind.
  if (value.is_array()) {
    SearchResponse::List list;
    if (read_entries(value, list.entries)) return SearchResponse{std::move(list)};
  }
  if (value.is_object()) {
    SearchResponse::Wrapped wrapped;
    if (read_wrapped(value, wrapped)) return SearchResponse{std::move(wrapped)};
    SearchResponse::Count count;
    if (read_count(value, count)) return SearchResponse{std::move(count)};
  }
  return DecodeError{"data did not match any variant of untagged enum SearchResponse"};
}

}  // namespace qb
