// The records a vault's look-up replies decode into, and their readers. The readers take an
// already parsed JSON value: unknown keys are skipped with their values, every record may also
// come as an array of its fields in order, and a refusal reads like the decoder message of the
// vault's own tooling ("missing field `entry_id`", "invalid type: null, expected a sequence"),
// except that a wrong value is named by its type alone ("invalid type: string, expected struct
// Field"), never quoted: it may be a credential.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/result.h"
#include "crypto/secret.h"

namespace qb {

struct Field {
  std::string label;
  SecretString value;  // as stored: plain for tier 1, base64 ciphertext for tier 2
  std::optional<std::string> kind;
  std::uint8_t tier = 1;

  bool operator==(const Field&) const = default;
};

struct EntryData {
  std::optional<std::string> title;
  std::optional<std::string> type;
  std::vector<Field> fields;
  std::vector<std::string> urls;
  std::optional<std::string> notes;

  bool operator==(const EntryData&) const = default;
};

struct Entry {
  std::string entry_id;
  std::optional<std::string> type;
  std::optional<std::string> title;
  std::optional<EntryData> data;  // key "data", or "vault_data"

  bool operator==(const Entry&) const = default;
};

struct Quota {
  std::uint32_t minute_used = 0;
  std::uint32_t minute_limit = 0;
  std::uint32_t hour_used = 0;
  std::uint32_t hour_limit = 0;

  bool operator==(const Quota&) const = default;
};

struct MatchInfo {
  std::string title;
  std::string type;

  bool operator==(const MatchInfo&) const = default;
};

// The reply of "search.query": one of three untagged shapes.
struct SearchResponse {
  struct List {
    std::vector<Entry> entries;
    bool operator==(const List&) const = default;
  };
  struct Wrapped {
    std::vector<Entry> entries;
    std::optional<Quota> quota;
    bool operator==(const Wrapped&) const = default;
  };
  struct Count {
    std::uint32_t count = 0;
    std::vector<std::string> titles;
    std::vector<MatchInfo> matches;
    std::optional<std::string> message;
    std::optional<Quota> quota;
    bool operator==(const Count&) const = default;
  };

  std::variant<List, Wrapped, Count> shape;

  bool operator==(const SearchResponse&) const = default;
};

// A refusal of a reader; text is the whole message, without position.
struct DecodeError {
  std::string text;

  const std::string& display() const { return text; }
  bool operator==(const DecodeError&) const = default;
};

template <class T>
using DecodeResult = Result<T, DecodeError>;

DecodeResult<Field> decode_field(const nlohmann::json& value);
DecodeResult<EntryData> decode_entry_data(const nlohmann::json& value);
DecodeResult<Entry> decode_entry(const nlohmann::json& value);
DecodeResult<Quota> decode_quota(const nlohmann::json& value);
DecodeResult<MatchInfo> decode_match_info(const nlohmann::json& value);
// The value must be an array; each element is an Entry.
DecodeResult<std::vector<Entry>> decode_entry_list(const nlohmann::json& value);
// Tries List, then Wrapped, then Count; when none fits, "data did not match any variant of
// untagged enum SearchResponse".
DecodeResult<SearchResponse> decode_search_response(const nlohmann::json& value);

}  // namespace qb
