#include "core/text.h"

#include <cstring>

#include <fmt/format.h>

namespace qb {
namespace {

struct Decoded {
  char32_t cp;
  std::size_t len;  // 0 when invalid
  Utf8Error err;
};

bool cont(unsigned char b) { return (b & 0xC0) == 0x80; }

// Decodes one code point at s[i]; on failure reports the error as the standard library of
// strict UTF-8 decoders does (length of the maximal invalid prefix, or incomplete).
Decoded decode_at(std::string_view s, std::size_t i) {
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = at(i);
  const std::size_t n = s.size();
  auto bad = [&](std::uint8_t len) { return Decoded{0, 0, Utf8Error{i, len}}; };
  auto incomplete = [&] { return Decoded{0, 0, Utf8Error{i, std::nullopt}}; };
  if (b0 < 0x80) return {b0, 1, {}};
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (i + 1 >= n) return incomplete();
    if (!cont(at(i + 1))) return bad(1);
    return {static_cast<char32_t>(((b0 & 0x1F) << 6) | (at(i + 1) & 0x3F)), 2, {}};
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (i + 1 >= n) return incomplete();
    const unsigned char b1 = at(i + 1);
    const bool ok1 = (b0 == 0xE0) ? (b1 >= 0xA0 && b1 <= 0xBF) : (b0 == 0xED) ? (b1 >= 0x80 && b1 <= 0x9F) : cont(b1);
    if (!ok1) return bad(1);
    if (i + 2 >= n) return incomplete();
    if (!cont(at(i + 2))) return bad(2);
    return {static_cast<char32_t>(((b0 & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (at(i + 2) & 0x3F)), 3, {}};
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (i + 1 >= n) return incomplete();
    const unsigned char b1 = at(i + 1);
    const bool ok1 = (b0 == 0xF0) ? (b1 >= 0x90 && b1 <= 0xBF) : (b0 == 0xF4) ? (b1 >= 0x80 && b1 <= 0x8F) : cont(b1);
    if (!ok1) return bad(1);
    if (i + 2 >= n) return incomplete();
    if (!cont(at(i + 2))) return bad(2);
    if (i + 3 >= n) return incomplete();
    if (!cont(at(i + 3))) return bad(3);
    return {static_cast<char32_t>(((b0 & 0x07) << 18) | ((b1 & 0x3F) << 12) | ((at(i + 2) & 0x3F) << 6) |
                                  (at(i + 3) & 0x3F)),
            4,
            {}};
  }
  return bad(1);
}

std::size_t invalid_len(std::string_view s, const Decoded& d, std::size_t i) {
  return d.err.error_len ? *d.err.error_len : s.size() - i;
}

// strerror_r is the GNU variant on glibc (returns the text) and the POSIX one elsewhere.
[[maybe_unused]] const char* strerror_text(int rc, const char* buf) { return rc == 0 ? buf : "Unknown error"; }
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool log_escaped_format(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x061C || (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

// Characters the debug form shows as escapes: controls, format and invisible characters,
// combining marks and private use. A practical subset of what a full printable-character
// table would give; the texts this program quotes are paths, hosts and messages.
bool debug_escaped(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || (c >= 0x300 && c <= 0x36F) || c == 0x061C ||
         (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) ||
         (c >= 0xE000 && c <= 0xF8FF) || (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) ||
         c == 0xFFFE || c == 0xFFFF;
}

}  // namespace

std::string sanitize_for_log(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b >= 0x20 && b < 0x7F) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    if (b < 0x20 || b == 0x7F) {
      fmt::format_to(std::back_inserter(out), "\\x{:02x}", b);
      ++i;
      continue;
    }
    const Decoded d = decode_at(text, i);
    if (d.len == 0) {
      const std::size_t n = invalid_len(text, d, i);
      for (std::size_t k = 0; k < n; ++k)
        fmt::format_to(std::back_inserter(out), "\\x{:02x}", static_cast<unsigned char>(text[i + k]));
      i += n;
      continue;
    }
    if (log_escaped_format(d.cp)) {
      fmt::format_to(std::back_inserter(out), "\\u{{{:04x}}}", static_cast<std::uint32_t>(d.cp));
    } else {
      out.append(text.substr(i, d.len));
    }
    i += d.len;
  }
  return out;
}

std::string debug_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    const Decoded d = decode_at(text, i);
    if (d.len == 0) {
      out.append(kReplacement);
      i += invalid_len(text, d, i);
      continue;
    }
    const char32_t c = d.cp;
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\0':
        out.append("\\0");
        break;
      default:
        if (debug_escaped(c)) {
          fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<std::uint32_t>(c));
        } else {
          out.append(text.substr(i, d.len));
        }
    }
    i += d.len;
  }
  out.push_back('"');
  return out;
}

std::string Utf8Error::display() const {
  if (error_len) return fmt::format("invalid utf-8 sequence of {} bytes from index {}", *error_len, valid_up_to);
  return fmt::format("incomplete utf-8 byte sequence from index {}", valid_up_to);
}

std::string Utf8Error::debug() const {
  if (error_len) return fmt::format("Utf8Error {{ valid_up_to: {}, error_len: Some({}) }}", valid_up_to, *error_len);
  return fmt::format("Utf8Error {{ valid_up_to: {}, error_len: None }}", valid_up_to);
}

Result<void, Utf8Error> check_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const Decoded d = decode_at(bytes, i);
    if (d.len == 0) return d.err;
    i += d.len;
  }
  return {};
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const Decoded d = decode_at(bytes, i);
    if (d.len == 0) {
      out.append(kReplacement);
      i += invalid_len(bytes, d, i);
    } else {
      out.append(bytes.substr(i, d.len));
      i += d.len;
    }
  }
  return out;
}

std::string path_text(const std::filesystem::path& p) { return utf8_lossy(p.native()); }

bool is_unicode_ws(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trim_ws(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const Decoded d = decode_at(text, begin);
    if (d.len == 0 || !is_unicode_ws(d.cp)) break;
    begin += d.len;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last code point.
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 && cont(static_cast<unsigned char>(text[start]))) --start;
    const Decoded d = decode_at(text, start);
    if (d.len != end - start || !is_unicode_ws(d.cp)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string os_error_text(int errnum) {
  char buf[256] = {};
  return fmt::format("{} (os error {})", strerror_text(strerror_r(errnum, buf, sizeof buf), buf), errnum);
}

bool iequals_ascii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace qb
