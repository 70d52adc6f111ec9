// The CONNECT preamble: find_head_end on the raw bytes, then parse_connect_head on the head.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/text.h"
#include "fuzz_check.h"
#include "proxy/front/connect_front.h"
#include "proxy/http/http_types.h"

namespace {

using qb::fuzz::as_text;

// Every CR immediately followed by LF, and no other LF.
bool strictly_crlf(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n') return false;
    if (s[i] == '\r') {
      if (i + 1 >= s.size() || s[i + 1] != '\n') return false;
      ++i;
    }
  }
  return true;
}

// The last Proxy-Authorization value of the header lines, trimmed.
std::optional<std::string_view> last_proxy_auth(std::string_view head) {
  std::optional<std::string_view> found;
  std::size_t pos = head.find("\r\n");
  if (pos == head.npos) return found;
  pos += 2;
  while (pos < head.size()) {
    std::size_t eol = head.find("\r\n", pos);
    if (eol == head.npos) eol = head.size();
    std::string_view line = head.substr(pos, eol - pos);
    if (line.empty()) break;
    std::size_t colon = line.find(':');
    if (colon != line.npos && qb::iequals_ascii(qb::trim_ws(line.substr(0, colon)), "proxy-authorization")) {
      found = qb::trim_ws(line.substr(colon + 1));
    }
    pos = eol + 2;
  }
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view buf = as_text(data, size);

  auto end = qb::find_head_end(buf);
  std::size_t first = buf.find("\r\n\r\n");
  if (first == buf.npos) {
    QB_FUZZ_CHECK(!end);
  } else {
    QB_FUZZ_CHECK(end && *end == first + 4);
  }

  // The head as the reader would hand it over: up to the first blank line, or the whole input
  // closed by one.
  std::string head = end ? std::string(buf.substr(0, *end)) : std::string(buf) + "\r\n\r\n";
  auto parsed = qb::parse_connect_head(head);
  if (!parsed) {
    QB_FUZZ_CHECK(parsed.error().code == "QB-5071");
    return 0;
  }
  const qb::ConnectRequest& req = *parsed;
  QB_FUZZ_CHECK(strictly_crlf(head));
  QB_FUZZ_CHECK(qb::is_utf8(head));
  QB_FUZZ_CHECK(req.leftover.empty());
  QB_FUZZ_CHECK(head.starts_with("CONNECT") || qb::trim_ws(head).starts_with("CONNECT"));
  // The host is one token of one line. It may hold a NUL or other controls, but then the guard
  // refuses it, with or without the private-network opt-in.
  QB_FUZZ_CHECK(req.host.find_first_of("\r\n") == std::string::npos);
  bool has_control = false;
  for (unsigned char c : req.host) has_control |= c < 0x20 || c == 0x7f;
  if (has_control) {
    QB_FUZZ_CHECK(qb::check_connect_target(req.host, true) == qb::TargetVerdict::Malformed);
    QB_FUZZ_CHECK(qb::check_connect_target(req.host, false) == qb::TargetVerdict::Malformed);
  }
  QB_FUZZ_CHECK(head.substr(0, head.find("\r\n")).find(req.host) != std::string::npos);

  auto auth = last_proxy_auth(head);
  QB_FUZZ_CHECK(auth.has_value() == req.proxy_authorization.has_value());
  if (auth) {
    QB_FUZZ_CHECK(*auth == *req.proxy_authorization);
    QB_FUZZ_CHECK(req.proxy_authorization->find_first_of("\r\n") == std::string::npos);
  }

  // A well-formed request line around the parsed target gives the same host and port back.
  auto again = qb::parse_connect_head("CONNECT " + qb::connect_authority(req.host, req.port) + " HTTP/1.1\r\n\r\n");
  if (req.host.find_first_of(" \t\x0b\x0c") == std::string::npos && !req.host.empty() &&
      req.host.find_first_of("[]") == std::string::npos && qb::trim_ws(req.host) == req.host) {
    QB_FUZZ_CHECK(again);
    QB_FUZZ_CHECK(again->host == req.host);
    QB_FUZZ_CHECK(again->port == req.port);
  }
  return 0;
}
