// Strict, typed JSON reading in the manner of serde_json: a streaming reader over nlohmann's SAX
// interface that knows the byte position of every event, so typed readers can refuse unknown or
// repeated members as they arrive and report errors in serde_json's wording and positions
// ("missing field `x` at line 1 column 2"). Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"

namespace qb {

// A decode error: the message and, when it was found while reading text, its line (1-based) and
// column (bytes since the start of the line). line 0 means no position.
struct JsonError {
  std::string message;
  std::size_t line = 0;
  std::size_t column = 0;

  // "{message} at line {line} column {column}", or the message alone without a position.
  std::string display() const;
};

// serde's error texts.
std::string json_unknown_field(std::string_view field, std::span<const std::string_view> expected);
std::string json_duplicate_field(std::string_view field);
std::string json_missing_field(std::string_view field);
std::string json_invalid_type(std::string_view unexpected, std::string_view expected);
std::string json_invalid_length(std::size_t len, std::string_view expected);
// How a wrong value is named in json_invalid_type: "null", "boolean `true`", "integer `5`",
// "floating point `1.5`", "string \"x\"", "sequence", "map".
std::string json_unexpected_bool(bool b);
std::string json_unexpected_signed(std::int64_t v);
std::string json_unexpected_unsigned(std::uint64_t v);
std::string json_unexpected_float(double v);
std::string json_unexpected_str(std::string_view s);

// The events of one parse. A handler returns false to stop the parse, after calling fail().
// Positions: start() is the offset of the current token's first byte, end() the offset just past
// it (past the closing quote of a string or key, past the bracket of a container).
class JsonSax {
 public:
  virtual ~JsonSax() = default;

  virtual bool on_null() = 0;
  virtual bool on_bool(bool v) = 0;
  virtual bool on_signed(std::int64_t v) = 0;
  virtual bool on_unsigned(std::uint64_t v) = 0;
  virtual bool on_float(double v) = 0;
  // The text may be moved from; nothing else keeps it.
  virtual bool on_string(std::string& v) = 0;
  virtual bool on_start_object() = 0;
  virtual bool on_key(std::string& k) = 0;
  virtual bool on_end_object() = 0;
  virtual bool on_start_array() = 0;
  virtual bool on_end_array() = 0;

  std::size_t start() const { return start_; }
  std::size_t end() const { return end_; }
  std::string_view text() const { return text_; }

  // Records the error at the position of byte offset `at` (serde's position: the bytes before it).
  bool fail(std::string message, std::size_t at);
  // Records the error without a position.
  bool fail_unpositioned(std::string message);

  // Where serde_json reports an error raised while a struct's map or sequence was being read: past
  // any white space after `at`, and past a closing bracket there.
  std::size_t struct_error_offset(std::size_t at, char closing) const;

 private:
  friend struct JsonSaxDriver;
  friend Result<void, JsonError> parse_json_sax(std::string_view text, JsonSax& handler);
  std::string_view text_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  bool failed_ = false;
  JsonError error_;
};

// Parses the whole text, feeding the handler. Refuses what serde_json refuses: syntax errors,
// a byte-order mark, nesting deeper than 127, and anything but white space after the value.
Result<void, JsonError> parse_json_sax(std::string_view text, JsonSax& handler);

// A record whose members are all texts: read from a JSON object (members in any order) or from a
// JSON array of the texts in member order (serde's sequence form).
struct StringRecordShape {
  struct Member {
    std::string_view name;
    bool required = true;
    bool nullable = false;  // JSON null reads as absent
  };
  std::string_view type_name;  // "Config", shown as "struct Config"
  std::span<const Member> members;
  bool deny_unknown = true;  // false: unknown members and their values are skipped
  // Called on every text the reader drops on a refusal, for records that carry secrets.
  void (*wipe)(std::string&) noexcept = nullptr;
};

struct StringMember {
  bool present = false;  // false also for an accepted null
  std::string text;
};

// One entry per member of the shape, in its order.
Result<std::vector<StringMember>, JsonError> parse_string_record(std::string_view text, const StringRecordShape& shape);

}  // namespace qb
