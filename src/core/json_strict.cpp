#include "core/json_strict.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "core/text.h"

namespace qb {
namespace {

constexpr std::size_t kMaxDepth = 128;  // serde_json's recursion limit

bool is_json_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t skip_ws(std::string_view t, std::size_t i) {
  while (i < t.size() && is_json_ws(t[i])) ++i;
  return i;
}

// serde_json's position of byte offset i: the line holding it and the bytes before it on that line.
JsonError error_at(std::string_view t, std::string message, std::size_t i) {
  i = std::min(i, t.size());
  JsonError e{std::move(message), 1, 0};
  for (std::size_t k = 0; k < i; ++k) {
    if (t[k] == '\n') {
      ++e.line;
      e.column = 0;
    } else {
      ++e.column;
    }
  }
  return e;
}

// The end of the number starting at i, following the JSON grammar (the value was accepted already).
std::size_t number_end(std::string_view t, std::size_t i) {
  if (i < t.size() && t[i] == '-') ++i;
  if (i < t.size() && t[i] == '0') {
    ++i;
  } else {
    while (i < t.size() && is_digit(t[i])) ++i;
  }
  if (i + 1 < t.size() && t[i] == '.' && is_digit(t[i + 1])) {
    ++i;
    while (i < t.size() && is_digit(t[i])) ++i;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    std::size_t k = i + 1;
    if (k < t.size() && (t[k] == '+' || t[k] == '-')) ++k;
    if (k < t.size() && is_digit(t[k])) {
      while (k < t.size() && is_digit(t[k])) ++k;
      i = k;
    }
  }
  return i;
}

// Reads the input one byte at a time for the lexer and counts what it has taken.
class CountingIter {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIter(const char* p, const char* base, std::size_t* taken) : p_(p), base_(base), taken_(taken) {}
  reference operator*() const { return *p_; }
  CountingIter& operator++() {
    ++p_;
    *taken_ = static_cast<std::size_t>(p_ - base_);
    return *this;
  }
  CountingIter operator++(int) {
    CountingIter old = *this;
    ++*this;
    return old;
  }
  bool operator==(const CountingIter& o) const { return p_ == o.p_; }
  bool operator!=(const CountingIter& o) const { return p_ != o.p_; }

 private:
  const char* p_;
  const char* base_;
  std::size_t* taken_;
};

}  // namespace

std::string JsonError::display() const {
  if (line == 0) return message;
  return fmt::format("{} at line {} column {}", message, line, column);
}

std::string json_unknown_field(std::string_view field, std::span<const std::string_view> expected) {
  if (expected.empty()) return fmt::format("unknown field `{}`, there are no fields", field);
  std::string list;
  if (expected.size() == 1) {
    list = fmt::format("`{}`", expected[0]);
  } else if (expected.size() == 2) {
    list = fmt::format("`{}` or `{}`", expected[0], expected[1]);
  } else {
    list = "one of ";
    for (std::size_t i = 0; i < expected.size(); ++i) {
      if (i != 0) list += ", ";
      list += fmt::format("`{}`", expected[i]);
    }
  }
  return fmt::format("unknown field `{}`, expected {}", field, list);
}

std::string json_duplicate_field(std::string_view field) { return fmt::format("duplicate field `{}`", field); }
std::string json_missing_field(std::string_view field) { return fmt::format("missing field `{}`", field); }
std::string json_invalid_type(std::string_view unexpected, std::string_view expected) {
  return fmt::format("invalid type: {}, expected {}", unexpected, expected);
}
std::string json_invalid_length(std::size_t len, std::string_view expected) {
  return fmt::format("invalid length {}, expected {}", len, expected);
}
std::string json_unexpected_bool(bool b) { return fmt::format("boolean `{}`", b); }
std::string json_unexpected_signed(std::int64_t v) { return fmt::format("integer `{}`", v); }
std::string json_unexpected_unsigned(std::uint64_t v) { return fmt::format("integer `{}`", v); }
std::string json_unexpected_float(double v) {
  std::string s = fmt::format("{}", v);
  // Shortest round-trip form, always with a decimal point or exponent, as serde_json prints it.
  if (std::isfinite(v) && s.find_first_of(".e") == std::string::npos) s += ".0";
  return fmt::format("floating point `{}`", s);
}
std::string json_unexpected_str(std::string_view s) { return "string " + debug_quote(s); }

bool JsonSax::fail(std::string message, std::size_t at) {
  if (!failed_) {
    failed_ = true;
    error_ = error_at(text_, std::move(message), at);
  }
  return false;
}

bool JsonSax::fail_unpositioned(std::string message) {
  if (!failed_) {
    failed_ = true;
    error_ = JsonError{std::move(message), 0, 0};
  }
  return false;
}

std::size_t JsonSax::struct_error_offset(std::size_t at, char closing) const {
  std::size_t p = skip_ws(text_, at);
  if (p < text_.size() && text_[p] == closing) ++p;
  return p;
}

// Bridges nlohmann's SAX calls to a JsonSax, keeping the positions and enough of the grammar state
// to name a syntax error the way serde_json does.
struct JsonSaxDriver {
  enum class State : std::uint8_t { Open, AfterKey, AfterValue };
  struct Frame {
    bool object;
    State state;
  };

  std::string_view t;
  JsonSax& h;
  std::size_t taken = 0;     // bytes the lexer has read
  std::size_t prev_end = 0;  // end of the last event's token
  bool last_number = false;
  bool top_done = false;
  std::vector<Frame> stack;
  std::size_t nl_error_pos = 0;

  // The first byte of the token after prev_end: past white space and one separator.
  std::size_t token_start() const {
    std::size_t p = skip_ws(t, prev_end);
    if (p < t.size() && (t[p] == ',' || t[p] == ':')) p = skip_ws(t, p + 1);
    return p;
  }
  void place(std::size_t start, std::size_t end, bool number) {
    h.start_ = start;
    h.end_ = end;
    prev_end = end;
    last_number = number;
  }
  void value_done() {
    if (stack.empty()) {
      top_done = true;
    } else {
      stack.back().state = State::AfterValue;
    }
  }
  bool scalar(bool ok) {
    value_done();
    return ok;
  }

  bool null() {
    place(token_start(), taken, false);
    return scalar(h.on_null());
  }
  bool boolean(bool v) {
    place(token_start(), taken, false);
    return scalar(h.on_bool(v));
  }
  // The lexer ends "01" after the zero; serde_json refuses the digit that follows as part of the number.
  bool place_number() {
    const std::size_t s = token_start();
    place(s, number_end(t, s), true);
    if (h.end_ < t.size() && is_digit(t[h.end_])) return h.fail("invalid number", h.end_ + 1);
    return true;
  }
  // The lexer reads only a literal with a minus sign as signed, so 0 here was "-0": serde_json takes
  // that for the float -0.0.
  bool number_integer(std::int64_t v) {
    if (v == 0) return place_number() && scalar(h.on_float(-0.0));
    return place_number() && scalar(h.on_signed(v));
  }
  bool number_unsigned(std::uint64_t v) { return place_number() && scalar(h.on_unsigned(v)); }
  bool number_float(double v, const std::string&) { return place_number() && scalar(h.on_float(v)); }
  bool string(std::string& v) {
    place(token_start(), taken, false);
    return scalar(h.on_string(v));
  }
  bool binary(nlohmann::json::binary_t&) { return false; }  // JSON text carries none
  bool open(bool object) {
    place(taken - 1, taken, false);
    if (stack.size() + 1 >= kMaxDepth) return h.fail("recursion limit exceeded", taken);
    stack.push_back({object, State::Open});
    return object ? h.on_start_object() : h.on_start_array();
  }
  bool close(bool object) {
    place(taken - 1, taken, false);
    stack.pop_back();
    value_done();
    return object ? h.on_end_object() : h.on_end_array();
  }
  bool start_object(std::size_t) { return open(true); }
  bool end_object() { return close(true); }
  bool start_array(std::size_t) { return open(false); }
  bool end_array() { return close(false); }
  bool key(std::string& k) {
    place(token_start(), taken, false);
    stack.back().state = State::AfterKey;
    return h.on_key(k);
  }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) {
    nl_error_pos = position;
    return false;
  }

  JsonError err(std::string_view msg, std::size_t at) const { return error_at(t, std::string(msg), at); }
  JsonError eof(std::string_view msg) const { return err(msg, t.size()); }

  // A literal, number or string starting at i that the lexer refused.
  JsonError value_error(std::size_t i) const {
    if (i >= t.size()) return eof("EOF while parsing a value");
    const char c = t[i];
    if (c == '"') return string_error(i);
    if (c == '-' || is_digit(c)) return number_error(i);
    if (c == 't' || c == 'f' || c == 'n') {
      const std::string_view word = c == 't' ? "true" : c == 'f' ? "false" : "null";
      for (std::size_t k = 1; k < word.size(); ++k) {
        if (i + k >= t.size()) return eof("EOF while parsing a value");
        if (t[i + k] != word[k]) return err("expected ident", i + k + 1);
      }
    }
    return err("expected value", i + 1);
  }

  JsonError number_error(std::size_t i) const {
    auto at = [&](std::size_t k) {
      return k >= t.size() ? eof("EOF while parsing a value") : err("invalid number", k + 1);
    };
    if (t[i] == '-') ++i;
    if (i >= t.size() || !is_digit(t[i])) return at(i);
    if (t[i] == '0') {
      ++i;
      if (i < t.size() && is_digit(t[i])) return at(i);
    } else {
      while (i < t.size() && is_digit(t[i])) ++i;
    }
    if (i < t.size() && t[i] == '.') {
      ++i;
      if (i >= t.size() || !is_digit(t[i])) return at(i);
      while (i < t.size() && is_digit(t[i])) ++i;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
      ++i;
      if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
      if (i >= t.size() || !is_digit(t[i])) return at(i);
    }
    return err("invalid number", nl_error_pos);
  }

  JsonError string_error(std::size_t q) const {
    auto hex = [&](std::size_t k) -> std::optional<unsigned> {
      unsigned v = 0;
      for (std::size_t j = 0; j < 4; ++j) {
        const char c = t[k + j];
        v <<= 4;
        if (is_digit(c)) {
          v |= static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
          v |= static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
          v |= static_cast<unsigned>(c - 'A' + 10);
        } else {
          return std::nullopt;
        }
      }
      return v;
    };
    std::size_t i = q + 1;
    for (;;) {
      if (i >= t.size()) return eof("EOF while parsing a string");
      const auto c = static_cast<unsigned char>(t[i]);
      if (c == '"') {
        if (!check_utf8(t.substr(q + 1, i - q - 1))) return err("invalid unicode code point", i + 1);
        return err("expected value", nl_error_pos);
      }
      if (c < 0x20) return err("control character (\\u0000-\\u001F) found while parsing a string", i + 1);
      if (c != '\\') {
        ++i;
        continue;
      }
      if (++i >= t.size()) return eof("EOF while parsing a string");
      const char e = t[i];
      if (std::string_view("\"\\/bfnrt").find(e) != std::string_view::npos) {
        ++i;
        continue;
      }
      if (e != 'u') return err("invalid escape", i + 1);
      if (i + 5 > t.size()) return eof("EOF while parsing a string");
      const auto v = hex(i + 1);
      if (!v) return err("invalid escape", i + 5);
      i += 5;
      if (*v >= 0xDC00 && *v <= 0xDFFF) return err("lone leading surrogate in hex escape", i);
      if (*v >= 0xD800 && *v <= 0xDBFF) {
        if (i + 6 > t.size() || t[i] != '\\' || t[i + 1] != 'u') return err("unexpected end of hex escape", i + 1);
        const auto lo = hex(i + 2);
        if (!lo) return err("invalid escape", i + 6);
        if (*lo < 0xDC00 || *lo > 0xDFFF) return err("lone leading surrogate in hex escape", i + 6);
        i += 6;
      }
    }
  }

  // Names the syntax error the lexer or parser found after the last accepted event.
  JsonError diagnose() const {
    const std::size_t p = skip_ws(t, prev_end);
    const bool at_eof = p >= t.size();
    if (stack.empty()) return value_error(p);
    if (last_number && p == prev_end && !at_eof && is_digit(t[p])) return err("invalid number", p + 1);
    const Frame f = stack.back();
    const std::string_view eof_msg = f.object ? "EOF while parsing an object" : "EOF while parsing a list";
    auto after_comma = [&](std::size_t q) {
      if (q >= t.size()) return eof("EOF while parsing a value");
      if (t[q] == (f.object ? '}' : ']')) return err("trailing comma", q + 1);
      if (!f.object) return value_error(q);
      if (t[q] == '"') return string_error(q);
      return err("key must be a string", q + 1);
    };
    switch (f.state) {
      case State::Open:
        if (at_eof) return eof(eof_msg);
        if (!f.object) return value_error(p);
        if (t[p] == '"') return string_error(p);
        return err("key must be a string", p + 1);
      case State::AfterKey:
        if (at_eof) return eof(eof_msg);
        if (t[p] != ':') return err("expected `:`", p + 1);
        return value_error(skip_ws(t, p + 1));
      case State::AfterValue:
        if (at_eof) return eof(eof_msg);
        if (t[p] == ',') return after_comma(skip_ws(t, p + 1));
        return err(f.object ? "expected `,` or `}`" : "expected `,` or `]`", p + 1);
    }
    return err("expected value", nl_error_pos);
  }
};

Result<void, JsonError> parse_json_sax(std::string_view text, JsonSax& handler) {
  handler.text_ = text;
  handler.start_ = handler.end_ = 0;
  handler.failed_ = false;
  // nlohmann skips a byte-order mark; serde_json does not.
  if (text.starts_with("\xEF\xBB\xBF")) return error_at(text, "expected value", 1);

  JsonSaxDriver d{text, handler};
  const CountingIter first(text.data(), text.data(), &d.taken);
  const CountingIter last(text.data() + text.size(), text.data(), &d.taken);
  const bool ok = nlohmann::json::sax_parse(first, last, &d, nlohmann::json::input_format_t::json,
                                            /*strict=*/false, /*ignore_comments=*/false);
  if (handler.failed_) return handler.error_;
  if (!ok) return d.diagnose();

  const std::size_t p = skip_ws(text, d.prev_end);
  if (p < text.size()) {
    if (d.last_number && p == d.prev_end && is_digit(text[p])) return error_at(text, "invalid number", p + 1);
    return error_at(text, "trailing characters", p + 1);
  }
  return {};
}

namespace {

class StringRecordReader final : public JsonSax {
 public:
  explicit StringRecordReader(const StringRecordShape& shape) : shape_(shape), out_(shape.members.size()) {
    for (const auto& m : shape.members) names_.push_back(m.name);
  }
  ~StringRecordReader() override {
    if (shape_.wipe == nullptr) return;
    for (auto& m : out_) shape_.wipe(m.text);
  }
  std::vector<StringMember> take() { return std::move(out_); }

  bool on_null() override { return scalar(nullptr, "null"); }
  bool on_bool(bool v) override { return scalar(nullptr, json_unexpected_bool(v)); }
  bool on_signed(std::int64_t v) override { return scalar(nullptr, json_unexpected_signed(v)); }
  bool on_unsigned(std::uint64_t v) override { return scalar(nullptr, json_unexpected_unsigned(v)); }
  bool on_float(double v) override { return scalar(nullptr, json_unexpected_float(v)); }
  bool on_string(std::string& v) override {
    if (depth_ == 0) return fail(json_invalid_type(json_unexpected_str(v), expecting()), end());
    return scalar(&v, {});
  }
  bool on_start_object() override { return open("map"); }
  bool on_start_array() override { return open("sequence"); }
  bool on_end_object() override { return close(); }
  bool on_end_array() override { return close(); }

  bool on_key(std::string& k) override {
    if (skip_depth_ > 0) return true;
    const auto it = std::find(names_.begin(), names_.end(), k);
    if (it == names_.end()) {
      if (shape_.deny_unknown) return fail(json_unknown_field(k, names_), struct_error_offset(end(), '}'));
      skip_next_ = true;
      return true;
    }
    current_ = static_cast<std::size_t>(it - names_.begin());
    if (seen_[current_]) return fail(json_duplicate_field(*it), struct_error_offset(end(), '}'));
    return true;
  }

 private:
  std::string expecting() const { return fmt::format("struct {}", shape_.type_name); }

  // The member the next value fills, or an error for a ninth element of an array.
  std::optional<std::size_t> target() {
    if (!array_) return current_;
    if (elements_ >= out_.size()) {
      fail("trailing characters", start() + 1);
      return std::nullopt;
    }
    return elements_++;
  }

  bool scalar(std::string* text, std::string_view unexpected) {
    if (depth_ == 0) return fail(json_invalid_type(unexpected, expecting()), end());
    if (skip_depth_ > 0) return true;
    if (skip_next_) {
      skip_next_ = false;
      return true;
    }
    const auto idx = target();
    if (!idx) return false;
    seen_[*idx] = true;
    if (text != nullptr) {
      out_[*idx].present = true;
      out_[*idx].text = std::move(*text);
      return true;
    }
    if (unexpected == "null" && shape_.members[*idx].nullable) return true;
    return fail(json_invalid_type(unexpected, "a string"), end());
  }

  bool open(std::string_view kind) {
    if (depth_ == 0) {
      depth_ = 1;
      array_ = kind == "sequence";
      seen_.assign(out_.size(), false);
      return true;
    }
    if (skip_depth_ > 0 || skip_next_) {
      skip_next_ = false;
      ++skip_depth_;
      return true;
    }
    if (!target()) return false;
    return fail(json_invalid_type(kind, "a string"), start());
  }

  bool close() {
    if (skip_depth_ > 0) {
      --skip_depth_;
      return true;
    }
    for (std::size_t i = 0; i < out_.size(); ++i) {
      if (seen_[i] || !shape_.members[i].required) continue;
      if (array_) {
        return fail(json_invalid_length(i, fmt::format("{} with {} elements", expecting(), out_.size())), end());
      }
      return fail(json_missing_field(names_[i]), end());
    }
    return true;
  }

  const StringRecordShape& shape_;
  std::vector<std::string_view> names_;
  std::vector<StringMember> out_;
  std::vector<bool> seen_;
  std::size_t depth_ = 0;
  bool array_ = false;
  std::size_t elements_ = 0;
  std::size_t current_ = 0;
  bool skip_next_ = false;
  std::size_t skip_depth_ = 0;
};

}  // namespace

Result<std::vector<StringMember>, JsonError> parse_string_record(std::string_view text,
                                                                 const StringRecordShape& shape) {
  StringRecordReader reader(shape);
  QB_TRY_VOID(parse_json_sax(text, reader));
  return reader.take();
}

}  // namespace qb
