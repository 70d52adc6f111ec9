#include "proxy/http/http_types.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>

#include "core/text.h"

namespace qb {

HeaderField& HeaderField::operator=(const HeaderField& o) {
  if (this != &o) {
    release();
    name = o.name;
    value = o.value;
    secret = o.secret;
  }
  return *this;
}

HeaderField& HeaderField::operator=(HeaderField&& o) noexcept {
  if (this != &o) {
    release();
    name = std::move(o.name);
    value = std::move(o.value);
    secret = o.secret;
  }
  return *this;
}

namespace {

bool is_tchar(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
      return true;
    default:
      return false;
  }
}

// Bytes a path may hold as they are; '"', '{' and '}' too, which clients send unencoded.
bool is_path_char(unsigned char c) {
  return c == 0x21 || (c >= 0x24 && c <= 0x3B) || c == 0x3D || (c >= 0x40 && c <= 0x5F) || (c >= 0x61 && c <= 0x7A) ||
         c == 0x7C || c == 0x7E || c == '"' || c == '{' || c == '}';
}

bool is_query_char(unsigned char c) {
  return c == 0x21 || c == '"' || (c >= 0x24 && c <= 0x3B) || c == 0x3D || (c >= 0x3F && c <= 0x7E);
}

bool is_authority_char(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    case ':':
    case '@':
    case '[':
    case ']':
    case '%':
      return true;
    default:
      return false;
  }
}

// Checks the path and query of a target; the fragment is already cut off.
bool valid_path_and_query(std::string_view pq) {
  std::size_t q = pq.find('?');
  std::string_view path = pq.substr(0, q);
  for (unsigned char c : path)
    if (!is_path_char(c)) return false;
  if (q != std::string_view::npos) {
    for (unsigned char c : pq.substr(q + 1))
      if (!is_query_char(c)) return false;
  }
  return true;
}

bool valid_authority(std::string_view a) {
  if (a.empty()) return false;
  return std::all_of(a.begin(), a.end(), [](unsigned char c) { return is_authority_char(c); });
}

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (auto& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace

void HeaderList::add(std::string name, std::string value) {
  fields_.push_back(HeaderField{std::move(name), std::move(value)});
}

std::optional<std::string_view> HeaderList::find(std::string_view name) const {
  for (const auto& f : fields_)
    if (iequals_ascii(f.name, name)) return std::string_view(f.value);
  return std::nullopt;
}

std::size_t HeaderList::remove(std::string_view name) {
  auto it =
      std::remove_if(fields_.begin(), fields_.end(), [&](const HeaderField& f) { return iequals_ascii(f.name, name); });
  std::size_t n = static_cast<std::size_t>(fields_.end() - it);
  fields_.erase(it, fields_.end());
  return n;
}

void HeaderList::set(std::string_view name, std::string value) {
  auto first =
      std::find_if(fields_.begin(), fields_.end(), [&](const HeaderField& f) { return iequals_ascii(f.name, name); });
  if (first == fields_.end()) {
    add(std::string(name), std::move(value));
    return;
  }
  first->value = std::move(value);
  fields_.erase(std::remove_if(std::next(first), fields_.end(),
                               [&](const HeaderField& f) { return iequals_ascii(f.name, name); }),
                fields_.end());
}

bool HeaderNameLess::operator()(std::string_view a, std::string_view b) const {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

bool is_valid_header_name(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) { return is_tchar(c); });
}

namespace {

constexpr bool byte_allowed(unsigned c, HeaderValueRule rule) {
  if (c == '\t') return true;
  switch (rule) {
    case HeaderValueRule::NoLineBreaks:
      return c != '\r' && c != '\n' && c != 0;
    case HeaderValueRule::NoControls:
      return c >= 0x20 && c != 0x7F;
    case HeaderValueRule::VisibleAscii:
      return c >= 0x20 && c <= 0x7E;
  }
  return false;
}

// One row of 256 answers per rule: header values are checked on every request.
constexpr auto kAllowed = [] {
  std::array<std::array<bool, 256>, 3> t{};
  for (unsigned r = 0; r < 3; ++r)
    for (unsigned c = 0; c < 256; ++c) t[r][c] = byte_allowed(c, static_cast<HeaderValueRule>(r));
  return t;
}();

}  // namespace

bool header_value_allowed(std::string_view value, HeaderValueRule rule) {
  const auto& row = kAllowed[static_cast<std::size_t>(rule)];
  return std::all_of(value.begin(), value.end(), [&row](unsigned char c) { return row[c]; });
}

void strip_hop_by_hop(HeaderList& headers) {
  // The listed names and the fixed ones in one set, then one pass: removing them one name at a time
  // would cost names x fields.
  HeaderNameSet drop(std::begin(HOP_BY_HOP_HEADERS), std::end(HOP_BY_HOP_HEADERS));
  for (const auto& f : headers.fields()) {
    if (!iequals_ascii(f.name, "connection") || !is_visible_text(f.value)) continue;
    std::string_view rest = f.value;
    while (true) {
      std::size_t comma = rest.find(',');
      std::string_view token = rest.substr(0, comma);
      while (!token.empty() && (token.front() == ' ' || token.front() == '\t')) token.remove_prefix(1);
      while (!token.empty() && (token.back() == ' ' || token.back() == '\t')) token.remove_suffix(1);
      if (!token.empty() && !iequals_ascii(token, "close") && !iequals_ascii(token, "keep-alive") &&
          is_valid_header_name(token))
        drop.emplace(token);
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  std::erase_if(headers.fields(), [&](const HeaderField& f) { return drop.contains(f.name); });
}

std::string_view RequestTarget::path() const {
  std::string_view pq = path_and_query;
  return pq.substr(0, pq.find('?'));
}

std::string_view RequestTarget::host_port() const {
  std::string_view a = authority;
  const std::size_t at = a.rfind('@');
  return at == std::string_view::npos ? a : a.substr(at + 1);
}

std::optional<RequestTarget> parse_request_target(std::string_view target) {
  target = target.substr(0, target.find('#'));
  RequestTarget t;
  if (target.empty()) return std::nullopt;
  if (target == "*") {
    t.form = TargetForm::Asterisk;
    return t;
  }
  if (target.front() == '/') {
    if (!valid_path_and_query(target)) return std::nullopt;
    t.form = TargetForm::Origin;
    t.path_and_query = std::string(target);
    return t;
  }
  std::size_t sep = target.find("://");
  if (sep != std::string_view::npos) {
    std::string_view scheme = target.substr(0, sep);
    if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme.front()))) return std::nullopt;
    for (unsigned char c : scheme)
      if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
    std::string_view rest = target.substr(sep + 3);
    std::size_t end = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, end);
    std::string_view pq = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    if (!valid_authority(authority) || !valid_path_and_query(pq)) return std::nullopt;
    t.form = TargetForm::Absolute;
    t.scheme = lower_ascii(scheme);
    t.authority = std::string(authority);
    t.path_and_query = std::string(pq);
    return t;
  }
  if (!valid_authority(target) || target.find_first_of("/?@") != std::string_view::npos) return std::nullopt;
  t.form = TargetForm::Authority;
  t.authority = std::string(target);
  return t;
}

std::string connect_authority(std::string_view host, std::uint16_t port) {
  std::string out = host.find(':') != std::string_view::npos ? fmt::format("[{}]", host) : std::string(host);
  if (port != 443) out += fmt::format(":{}", port);
  return out;
}

std::string request_line(std::string_view method, std::string_view target, unsigned version) {
  std::string line;
  line.reserve(method.size() + target.size() + 12);
  line += method;
  line += ' ';
  line += target;
  line += version == 10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n";
  return line;
}

std::string BodyError::text() const {
  if (code.empty()) return detail;
  return fmt::format("{}: {}", code, detail);
}

std::string status_line(unsigned status, std::string_view reason) {
  if (reason.empty() || !is_safe_header_value(reason)) reason = status_reason(status);
  return fmt::format("HTTP/1.1 {} {}\r\n", status, reason);
}

Result<void, InvalidField> append_fields(std::string& out, const HeaderList& headers) {
  std::size_t room = 2;
  for (const auto& f : headers.fields()) room += f.name.size() + f.value.size() + 4;
  out.reserve(out.size() + room);
  for (const auto& f : headers.fields()) {
    if (!is_valid_header_name(f.name) || !is_safe_header_value(f.value)) return InvalidField{f.name};
    out += f.name;
    out += ": ";
    out += f.value;
    out += "\r\n";
  }
  out += "\r\n";
  return {};
}

void append_chunk(std::string& out, const char* data, std::size_t n) {
  if (n == 0) return;
  fmt::format_to(std::back_inserter(out), "{:x}\r\n", n);
  out.append(data, n);
  out += "\r\n";
}

char* frame_chunk_in_place(char* data, std::size_t n, std::size_t* len) {
  char line[CHUNK_SIZE_LINE_MAX];
  const auto end = fmt::format_to_n(line, sizeof line, "{:x}\r\n", n).out;
  const auto line_len = static_cast<std::size_t>(end - line);
  std::memcpy(data - line_len, line, line_len);
  std::memcpy(data + n, "\r\n", 2);
  *len = line_len + n + 2;
  return data - line_len;
}

ProxyResponse static_error_response(unsigned status, std::string_view text) {
  ProxyResponse r;
  r.status = status;
  r.headers.add("content-type", "text/plain; charset=utf-8");
  r.static_body = fmt::format("{}\n", text);
  return r;
}

std::string_view status_reason(unsigned status) {
  switch (status) {
    case 100:
      return "Continue";
    case 101:
      return "Switching Protocols";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 204:
      return "No Content";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 411:
      return "Length Required";
    case 413:
      return "Payload Too Large";
    case 414:
      return "URI Too Long";
    case 415:
      return "Unsupported Media Type";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "";
  }
}

}  // namespace qb
