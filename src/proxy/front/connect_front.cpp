#include "proxy/front/connect_front.h"

#include <array>
#include <optional>
#include <span>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>
#include <boost/asio/buffer.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "core/bytes.h"
#include "core/deadline.h"
#include "core/output.h"
#include "core/text.h"
#include "crypto/codecs.h"
#include "crypto/primitives.h"
#include "proxy/front/ip_asio.h"
#include "proxy/front/netguard.h"
#include "proxy/http/ip_literal.h"

namespace qb {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

ProxyError front_error(std::string detail) { return ProxyError(codes::QB_5071, std::move(detail)); }

// The platform's description of an I/O error, as "{desc} (os error N)" for system errors.
std::string io_error_text(const error_code& ec) {
  if (ec.category() == boost::system::system_category()) return os_error_text(ec.value());
  return ec.message();
}

// The code point at text[i] and its length; the text is valid UTF-8.
std::pair<char32_t, std::size_t> decode_at(std::string_view text, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) return {b0, 1};
  const std::size_t len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : 2;
  char32_t cp = b0 & (0x3F >> (len - 1));
  for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  return {cp, len};
}

// Splits at runs of Unicode white space; no empty tokens.
std::vector<std::string_view> split_ws(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t start = std::string_view::npos;
  for (std::size_t i = 0; i < text.size();) {
    auto [cp, len] = decode_at(text, i);
    if (is_unicode_ws(cp)) {
      if (start != std::string_view::npos) tokens.push_back(text.substr(start, i - start));
      start = std::string_view::npos;
    } else if (start == std::string_view::npos) {
      start = i;
    }
    i += len;
  }
  if (start != std::string_view::npos) tokens.push_back(text.substr(start));
  return tokens;
}

bool strictly_crlf_framed(std::string_view head) {
  for (std::size_t i = 0; i < head.size();) {
    if (head[i] == '\r') {
      if (i + 1 >= head.size() || head[i + 1] != '\n') return false;
      i += 2;
    } else if (head[i] == '\n') {
      return false;
    } else {
      ++i;
    }
  }
  return true;
}

// An IPv6 literal, optionally with a zone made of letters, digits, '-' and '_'. A zone with any
// other character (a '.' in particular) would let the host text end like a host name.
bool is_ipv6_literal_with_zone(std::string_view host) {
  const auto literal = parse_ipv6_with_zone(host);
  if (!literal) return false;
  if (!literal->zone) return true;
  if (literal->zone->empty()) return false;
  for (char c : *literal->zone) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

// Later steps compare the raw host with vault bindings while the upstream request would cut it
// at such a character, so a host like "evil.example#.bank.example" must never get through.
bool is_malformed_host(std::string_view host) {
  if (host.empty()) return true;
  for (char ch : host) {
    const auto b = static_cast<unsigned char>(ch);
    if (b <= 0x20 || b >= 0x7F) return true;
    switch (ch) {
      case '/':
      case '?':
      case '#':
      case '@':
      case '\\':
      case '[':
      case ']':
        return true;
      default:
        break;
    }
  }
  if (host.find(':') != std::string_view::npos) return !is_ipv6_literal_with_zone(host);
  return false;
}

asio::awaitable<void> write_reply(tcp::socket& stream, std::string_view bytes) {
  // Refusals are best effort: the connection ends either way.
  auto op = asio::async_write(stream, asio::buffer(bytes.data(), bytes.size()), use_tuple);
  co_await std::move(op);
}

asio::awaitable<ProxyResult<ConnectRequest>> read_and_parse(tcp::socket& stream) {
  std::string buf;
  buf.reserve(PREAMBLE_INITIAL_CAPACITY);
  std::array<char, PREAMBLE_READ_SIZE> area;
  for (;;) {
    auto op = stream.async_read_some(asio::buffer(area), use_tuple);
    auto [ec, n] = co_await std::move(op);
    if (ec == asio::error::eof) co_return front_error("client closed before CONNECT");
    if (ec) co_return front_error(fmt::format("read CONNECT: {}", io_error_text(ec)));
    if (n == 0) co_return front_error("client closed before CONNECT");
    buf.append(area.data(), n);
    if (auto end = find_head_end(buf)) {
      QB_CO_TRY(auto parsed, parse_connect_head(std::string_view(buf).substr(0, *end)));
      parsed.leftover = buf.substr(*end);
      co_return parsed;
    }
    if (buf.size() > MAX_PREAMBLE_BYTES) co_return front_error("CONNECT preamble too large");
  }
}

}  // namespace

std::optional<std::size_t> find_head_end(std::string_view buf) {
  const std::size_t p = buf.find("\r\n\r\n");
  if (p == std::string_view::npos) return std::nullopt;
  return p + 4;
}

ProxyResult<ConnectRequest> parse_connect_head(std::string_view head) {
  if (!strictly_crlf_framed(head)) return front_error("CONNECT preamble not strictly CRLF-framed");
  if (!is_utf8(head)) return front_error("CONNECT preamble not valid UTF-8");

  std::vector<std::string_view> lines;
  for (std::size_t start = 0;;) {
    const std::size_t end = head.find("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back(head.substr(start));
      break;
    }
    lines.push_back(head.substr(start, end - start));
    start = end + 2;
  }

  const auto tokens = split_ws(lines.front());
  if (tokens.empty() || tokens[0] != "CONNECT") return front_error("only CONNECT is supported");
  if (tokens.size() < 2) return front_error("CONNECT missing target");

  ConnectRequest req;
  Authority target = split_authority(tokens[1]);
  req.host = std::move(target.host);
  req.port = target.port;
  for (std::size_t i = 1; i < lines.size() && !lines[i].empty(); ++i) {
    const std::size_t colon = lines[i].find(':');
    if (colon == std::string_view::npos) continue;
    if (iequals_ascii(trim_ws(lines[i].substr(0, colon)), "proxy-authorization")) {
      req.proxy_authorization = std::string(trim_ws(lines[i].substr(colon + 1)));
    }
  }
  return req;
}

std::string proxy_auth_value(std::string_view token) {
  return "Basic " + encode_base64(fmt::format("quorbelt:{}", token));
}

bool proxy_auth_accepted(const std::optional<std::string>& presented, const std::optional<std::string>& expected) {
  if (!expected) return true;
  if (!presented) return false;
  return digest_eq(as_bytes(*presented), as_bytes(*expected));
}

TargetVerdict check_connect_target(std::string_view host, bool allow_private) {
  if (is_malformed_host(host)) return TargetVerdict::Malformed;
  if (allow_private) return TargetVerdict::Allowed;
  if (host.find('%') != std::string_view::npos) return TargetVerdict::BlockedLiteral;
  if (auto literal = parse_ip_literal(host))
    return is_blocked_ip(to_asio(*literal)) ? TargetVerdict::BlockedLiteral : TargetVerdict::Allowed;
  return TargetVerdict::Allowed;
}

asio::awaitable<ProxyResult<ConnectRequest>> read_connect_preamble(tcp::socket& stream,
                                                                   std::chrono::milliseconds deadline) {
  auto read = read_and_parse(stream);
  auto timed = within(std::move(read), deadline);
  std::optional<ProxyResult<ConnectRequest>> won = co_await std::move(timed);
  if (!won) co_return front_error("CONNECT read timed out");
  co_return std::move(*won);
}

asio::awaitable<ProxyResult<void>> handle_connection(tcp::socket stream, std::shared_ptr<const ProxyState> state,
                                                     SemaphorePermit connection_permit) {
  auto read = read_connect_preamble(stream, state->limits.preamble_deadline);
  QB_CO_TRY(ConnectRequest req, co_await std::move(read));

  if (!proxy_auth_accepted(req.proxy_authorization, state->expected_proxy_auth)) {
    write_stderr("proxy: 407 \u2014 CONNECT rejected, bad or missing Proxy-Authorization\n");
    co_await write_reply(stream, REPLY_407);
    co_return ProxyResult<void>{};
  }
  req.proxy_authorization.reset();  // the credential goes no further

  auto wait = state->tunnel_slots->acquire_for(state->limits.slot_wait_deadline);
  SemaphorePermit slot = co_await std::move(wait);
  if (!slot) {
    write_stderr(fmt::format("{}: all {} tunnel slots busy; refusing CONNECT to {}\n", codes::QB_5074,
                             state->tunnel_slots->capacity(), sanitize_for_log(req.host)));
    co_await write_reply(stream, REPLY_503);
    co_return ProxyResult<void>{};
  }
  // From here on this connection counts against the tunnels, no longer against the accept loop.
  connection_permit.release();
  write_stderr(fmt::format("CONNECT {}:{}\n", sanitize_for_log(req.host), req.port));

  switch (check_connect_target(req.host, state->allow_private)) {
    case TargetVerdict::Malformed:
      write_stderr(
          fmt::format("{}: refusing CONNECT to malformed host {}\n", codes::QB_5070, sanitize_for_log(req.host)));
      co_await write_reply(stream, REPLY_403);
      co_return ProxyResult<void>{};
    case TargetVerdict::BlockedLiteral:
      write_stderr(
          fmt::format("{}: refusing CONNECT to blocked IP literal {}\n", codes::QB_5070, sanitize_for_log(req.host)));
      co_await write_reply(stream, REPLY_403);
      co_return ProxyResult<void>{};
    case TargetVerdict::Allowed:
      break;
  }

  auto op = asio::async_write(stream, asio::buffer(REPLY_200.data(), REPLY_200.size()), use_tuple);
  auto [ec, written] = co_await std::move(op);
  if (ec) co_return front_error(fmt::format("write 200: {}", io_error_text(ec)));

  std::shared_ptr<TunnelHandler> tunnel = state->tunnel;
  if (!tunnel) co_return ProxyResult<void>{};
  auto served = tunnel->serve(std::move(stream), std::move(req), state);
  co_return co_await std::move(served);
}

asio::awaitable<void> connection_task(tcp::socket stream, std::shared_ptr<const ProxyState> state,
                                      SemaphorePermit connection_permit) {
  auto handled = handle_connection(std::move(stream), std::move(state), std::move(connection_permit));
  ProxyResult<void> r = co_await std::move(handled);
  if (!r) write_stderr(fmt::format("{}\n", sanitize_for_log(r.error().display())));
}

}  // namespace qb
