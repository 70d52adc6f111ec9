// Plain HTTP/1.1 message types shared by the tunnel, the request service and the upstream client.
// Bodies are streams: nothing here holds a whole body except the short texts of error responses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "core/errors.h"
#include "core/result.h"
#include "crypto/secret.h"

namespace qb {

struct HeaderField {
  HeaderField() = default;
  HeaderField(std::string n, std::string v, bool carries_secret = false)
      : name(std::move(n)), value(std::move(v)), secret(carries_secret) {}
  HeaderField(const HeaderField&) = default;
  HeaderField(HeaderField&&) noexcept = default;
  HeaderField& operator=(const HeaderField& o);
  HeaderField& operator=(HeaderField&& o) noexcept;
  // A moved-from value may still hold its text in the inline buffer: that is wiped too.
  ~HeaderField() { release(); }

  std::string name;  // as received; compared ASCII-case-insensitively
  std::string value;
  // The value carries an injected credential: wiped when the field lets it go.
  bool secret = false;

  // Wipes the value if it carries a secret; the field then holds an empty value.
  void release() noexcept {
    if (secret) secure_wipe(value);
  }

  // The flag is bookkeeping, not part of the field.
  bool operator==(const HeaderField& o) const { return name == o.name && value == o.value; }
};

// Orders header names ASCII-case-insensitively; transparent, so a set of names is searched with a
// string_view. Ordered rather than hashed: a lookup costs log n whatever names an agent chooses.
struct HeaderNameLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};
using HeaderNameSet = std::set<std::string, HeaderNameLess>;

// Header fields in the order received; a name may repeat.
class HeaderList {
 public:
  std::vector<HeaderField>& fields() { return fields_; }
  const std::vector<HeaderField>& fields() const { return fields_; }

  void add(std::string name, std::string value);
  // The first value of the name, or none.
  std::optional<std::string_view> find(std::string_view name) const;
  bool contains(std::string_view name) const { return find(name).has_value(); }
  // Removes every value of the name; returns how many were removed.
  std::size_t remove(std::string_view name);
  // Replaces every value of the name with one value, in the place of the first (added at the end
  // when absent).
  void set(std::string_view name, std::string value);

 private:
  std::vector<HeaderField> fields_;
};

// The tchar rule of HTTP: a non-empty token.
bool is_valid_header_name(std::string_view name);
// What a header value may hold. TAB is allowed by every rule.
enum class HeaderValueRule : std::uint8_t {
  NoLineBreaks,  // no CR, LF or NUL: the bytes that would split or end a head on the wire
  NoControls,    // no other byte below 0x20 and no DEL; bytes of 0x80 and above allowed
  VisibleAscii,  // visible ASCII only
};
bool header_value_allowed(std::string_view value, HeaderValueRule rule);

// What the tunnel and the upstream client put on the wire.
inline bool is_safe_header_value(std::string_view value) {
  return header_value_allowed(value, HeaderValueRule::NoLineBreaks);
}
// What injection writes into a header.
inline bool is_valid_header_value(std::string_view value) {
  return header_value_allowed(value, HeaderValueRule::NoControls);
}
// What is read as a list of names or a host.
inline bool is_visible_text(std::string_view value) {
  return header_value_allowed(value, HeaderValueRule::VisibleAscii);
}

// Removed from requests and responses, in this order, after the names that Connection lists.
inline constexpr std::string_view HOP_BY_HOP_HEADERS[] = {
    "connection",       "keep-alive", "proxy-authenticate", "proxy-authorization",
    "proxy-connection", "te",         "trailers",           "transfer-encoding",
    "upgrade"};

void strip_hop_by_hop(HeaderList& headers);

enum class TargetForm { Origin, Absolute, Authority, Asterisk };

// A request target split by form. The fragment ("#..."), when present, is dropped.
struct RequestTarget {
  TargetForm form = TargetForm::Origin;
  std::string scheme;          // absolute form only, lower case
  std::string authority;       // absolute and authority forms
  std::string path_and_query;  // origin and absolute forms; "" for an absolute URI without a path
  // The path without the query.
  std::string_view path() const;
  // The authority without its user information: what follows the last '@'.
  std::string_view host_port() const;
};

// Parses a request target with the URI character rules; none when it holds a character they
// refuse (space, '<', '>', controls, non-ASCII, ...) or fits no form.
std::optional<RequestTarget> parse_request_target(std::string_view target);

// The CONNECT host in brackets when it contains ':', then ':' and the port unless it is 443.
std::string connect_authority(std::string_view host, std::uint16_t port);

// Heads on the wire: a start line, then each field as "name: value\r\n", then the blank line.
// "{method} {target} HTTP/1.x\r\n" (1.0 for version 10, 1.1 otherwise).
std::string request_line(std::string_view method, std::string_view target, unsigned version);
// "HTTP/1.1 {status} {reason}\r\n"; the standard phrase when reason is empty or holds CR, LF or NUL.
std::string status_line(unsigned status, std::string_view reason);
// The first field that is not a token or whose value holds CR, LF or NUL.
struct InvalidField {
  std::string name;
};
// Appends the fields and the blank line. On failure out is incomplete and must not be sent.
Result<void, InvalidField> append_fields(std::string& out, const HeaderList& headers);

// Chunked framing. A chunk's size line is at most CHUNK_SIZE_LINE_MAX bytes (16 hex digits, CRLF).
inline constexpr std::size_t CHUNK_SIZE_LINE_MAX = 18;
inline constexpr std::string_view LAST_CHUNK = "0\r\n\r\n";
// Appends n bytes at data as one chunk; nothing when n is 0 (an empty chunk would end the body).
void append_chunk(std::string& out, const char* data, std::size_t n);
// Frames the n bytes at data as one chunk where they lie, so that the chunk leaves in one write:
// the size line goes into the CHUNK_SIZE_LINE_MAX bytes before data, CRLF into the 2 after it.
// Returns where the chunk starts; its length in *len.
char* frame_chunk_in_place(char* data, std::size_t n, std::size_t* len);

// Why a body read failed. A passed limit is an error of its own and keeps its code; any other
// failure is the words of the read or write that failed, which the error reporting it takes in.
struct BodyError {
  std::string_view code;  // the limit's "QB-5" code, static; empty for a failed read or write
  std::string detail;

  BodyError() = default;
  explicit BodyError(std::string words) : detail(std::move(words)) {}
  explicit BodyError(ProxyError limit) : code(limit.code), detail(std::move(limit.detail)) {}

  // As the reporting error quotes it: "{code}: {detail}" for a limit, the words alone otherwise.
  std::string text() const;
};

using BodyResult = Result<std::size_t, BodyError>;

// A streamed body. Reads hand over the bytes as they arrive; 0 means the end of the body.
class BodyReader {
 public:
  virtual ~BodyReader() = default;
  virtual boost::asio::awaitable<BodyResult> read_some(char* buf, std::size_t size) = 0;
  // Takes body bytes that have already arrived, without waiting: 0 when none are at hand. A failure
  // found here is left for the next read_some.
  virtual std::size_t read_ready(char*, std::size_t) { return 0; }
  // The length announced by Content-Length, when known.
  virtual std::optional<std::uint64_t> known_length() const = 0;
  // True once the end was read (or the body is known to be empty).
  virtual bool at_end() const = 0;
  // Aborts a read in progress; the read then fails. The body is unusable afterwards.
  virtual void cancel() = 0;
};

// A request as the tunnel parsed it, handed to the request service.
struct IncomingRequest {
  std::string method;
  std::string target;  // the request target as sent, fragment dropped
  RequestTarget parsed;
  unsigned version = 11;  // 10 or 11
  HeaderList headers;
  std::unique_ptr<BodyReader> body;  // never null; at_end() at once when the request has no body
};

// A request the service lets through, ready for the upstream client.
struct ForwardRequest {
  std::string method;
  unsigned version = 11;
  HeaderList headers;
  std::unique_ptr<BodyReader> body;
  std::string upstream_url;  // "https://{connect_authority}{path and query}"
  std::string log_url;       // sanitised, for log lines
};

struct ProxyResponse {
  unsigned status = 200;
  std::string reason;  // empty: the standard phrase
  HeaderList headers;
  // A streamed body, or null with the whole (short) body in static_body.
  std::unique_ptr<BodyReader> body;
  std::string static_body;
  // The request body was left unread: the connection cannot carry another request.
  bool close_after = false;
};

// Status, "content-type: text/plain; charset=utf-8" and the text followed by "\n".
ProxyResponse static_error_response(unsigned status, std::string_view text);

// The standard reason phrase of a status ("" when unknown).
std::string_view status_reason(unsigned status);

}  // namespace qb
