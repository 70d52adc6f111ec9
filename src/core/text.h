// Text helpers shared by every area: log escaping, debug quoting, UTF-8 checks, trimming,
// and the display of operating-system errors and paths.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"

namespace qb {

// Escapes control characters and invisible or bidirectional formatting characters so a printed
// line can neither carry terminal sequences nor hide its content. Bytes that are not valid UTF-8
// are escaped one by one in the "\xNN" form, so the function accepts any bytes.
std::string sanitize_for_log(std::string_view text);

// The quoted debug form of a text: "...", with \" \\ \n \r \t \0 and other non-printing
// characters as \u{hex}. Invalid UTF-8 is shown as U+FFFD.
std::string debug_quote(std::string_view text);

// Where and why a byte string stops being valid UTF-8.
struct Utf8Error {
  std::size_t valid_up_to = 0;
  // Length of the invalid sequence; empty when the input ends inside a sequence.
  std::optional<std::uint8_t> error_len;

  // "invalid utf-8 sequence of N bytes from index I" or "incomplete utf-8 byte sequence from index I"
  std::string display() const;
  // "Utf8Error { valid_up_to: I, error_len: Some(N) }" (or None)
  std::string debug() const;
};

// Strict UTF-8 (no surrogates, no overlong forms, nothing above U+10FFFF).
Result<void, Utf8Error> check_utf8(std::string_view bytes);
inline bool is_utf8(std::string_view bytes) { return check_utf8(bytes).has_value(); }

// Each invalid sequence becomes one U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// A path as text for messages, invalid UTF-8 replaced by U+FFFD.
std::string path_text(const std::filesystem::path& p);

// Trims characters with the Unicode White_Space property from both ends.
std::string_view trim_ws(std::string_view text);
bool is_unicode_ws(char32_t c);

// "{description} (os error {n})"
std::string os_error_text(int errnum);

// ASCII case-insensitive comparison.
bool iequals_ascii(std::string_view a, std::string_view b);
// The text with A-Z folded to a-z; other bytes unchanged.
std::string ascii_lower(std::string_view text);

}  // namespace qb
