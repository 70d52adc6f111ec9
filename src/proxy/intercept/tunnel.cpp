#include "proxy/intercept/tunnel.h"

#include <fmt/format.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>
#include <optional>
#include <tuple>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>

#include "core/async_event.h"
#include "core/deadline.h"
#include "core/runtime_async.h"
#include "core/text.h"
#include "crypto/openssl_ptr.h"
#include "proxy/http/authority.h"
#include "proxy/http/http_parser.h"
#include "tls/tls_stream.h"

namespace qb {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using namespace std::chrono_literals;
using tcp = asio::ip::tcp;
using boost::system::error_code;

struct TunnelTls::Impl {
  explicit Impl(UniquePtr<SSL_CTX> native) : ctx(std::move(native)) {}
  UniquePtr<SSL_CTX> ctx;
};

TunnelTls::TunnelTls(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TunnelTls::~TunnelTls() = default;

namespace {

constexpr std::size_t kChunk = 64 * 1024;

int select_http11(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in, unsigned int inlen,
                  void*) {
  static constexpr unsigned char kProto[] = {'h', 't', 't', 'p', '/', '1', '.', '1'};
  unsigned int i = 0;
  while (i < inlen) {
    unsigned int len = in[i];
    if (i + 1 + len > inlen) break;
    if (len == sizeof kProto && std::memcmp(in + i + 1, kProto, len) == 0) {
      *out = in + i + 1;
      *outlen = static_cast<unsigned char>(len);
      return SSL_TLSEXT_ERR_OK;
    }
    i += 1 + len;
  }
  // No common protocol: a fatal no_application_protocol alert.
  return SSL_TLSEXT_ERR_ALERT_FATAL;
}

// The agent's side: the bytes that came with the CONNECT head are read first.
using AgentTls = TlsStream;
using RequestParser = StreamParser<true>;

// One request's view of the agent connection, shared with the body reader that the request
// service and the upstream exchange may hold on to.
struct AgentRequest {
  AgentTls* tls = nullptr;
  beast::flat_buffer* buf = nullptr;
  RequestParser* parser = nullptr;
  bool expect_continue = false;
  bool continue_sent = false;
  bool writing_continue = false;
  bool response_started = false;
  bool reading = false;
  bool failed = false;
  bool closed = false;
  error_code pending;  // a parse failure read_ready found, reported by the next read
  std::shared_ptr<AsyncEvent> read_waiter;
  std::shared_ptr<AsyncEvent> write_waiter;

  void cancel_io() {
    error_code ec;
    tls->socket().cancel(ec);
  }
};

BodyError body_read_error(const error_code& ec) {
  return BodyError(fmt::format("error reading a body from connection: {}", ec.message()));
}

class AgentBody final : public BodyReader {
 public:
  explicit AgentBody(std::shared_ptr<AgentRequest> st) : st_(std::move(st)) {}

  asio::awaitable<BodyResult> read_some(char* buf, std::size_t size) override {
    auto& st = *st_;
    if (st.closed || st.failed) co_return BodyError("request body is no longer readable");
    if (st.pending) {
      st.failed = true;
      co_return body_read_error(st.pending);
    }
    if (st.parser->is_done()) co_return std::size_t{0};
    st.reading = true;
    BodyResult out = std::size_t{0};
    error_code ec;
    // The agent waits for this before it sends the body; a refusal never sends it.
    if (st.expect_continue && !st.continue_sent && !st.response_started) {
      st.continue_sent = true;
      st.writing_continue = true;
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      std::tie(ec, std::ignore) = co_await asio::async_write(*st.tls, asio::buffer(kContinue), use_tuple);
      st.writing_continue = false;
      if (st.write_waiter) st.write_waiter->notify();
    }
    // Room for whole TLS records: Beast reads no more than the buffer's spare capacity. Taken
    // only once a body is read, so idle tunnels stay small.
    if (st.buf->capacity() < kChunk) st.buf->reserve(kChunk);
    while (!ec && !st.closed) {
      st.parser->set_output(buf, size);
      std::tie(ec, std::ignore) = co_await http::async_read_some(*st.tls, *st.buf, *st.parser, use_tuple);
      std::size_t got = st.parser->got();
      if (ec == http::error::need_buffer) ec = {};
      if (ec) break;
      if (got > 0 || st.parser->is_done()) {
        out = got;
        break;
      }
    }
    if (ec || st.closed) {
      st.failed = true;
      out = ec ? body_read_error(ec) : BodyError("request body is no longer readable");
    }
    st.reading = false;
    if (st.read_waiter) st.read_waiter->notify();
    co_return out;
  }
  // What came with the head. Nothing while a 100 is still owed: the agent holds the body for it.
  std::size_t read_ready(char* buf, std::size_t size) override {
    auto& st = *st_;
    if (st.closed || st.failed || st.reading || st.pending || st.parser->is_done()) return 0;
    if (st.expect_continue && !st.continue_sent) return 0;
    st.parser->set_output(buf, size);
    return st.parser->put_buffered(*st.buf, &st.pending);
  }
  std::optional<std::uint64_t> known_length() const override {
    if (auto n = st_->parser->content_length()) return *n;
    return std::nullopt;
  }
  bool at_end() const override { return st_->parser->is_done(); }
  void cancel() override {
    if (!st_->closed && st_->reading) st_->cancel_io();
  }

 private:
  std::shared_ptr<AgentRequest> st_;
};

// After this the request's body reader never touches the connection again.
asio::awaitable<void> quiesce(AgentRequest& st) {
  st.closed = true;
  if (st.reading) {
    st.read_waiter = std::make_shared<AsyncEvent>(co_await asio::this_coro::executor);
    st.cancel_io();
    co_await st.read_waiter->wait();
  }
}

ProxyError tunnel_error(std::string_view what) {
  return ProxyError(codes::QB_5071, fmt::format("serve tunnel: {}", what));
}

void abort_connection(AgentTls& tls) {
  error_code ec;
  tls.socket().close(ec);
}

asio::awaitable<void> shutdown_tls(AgentTls& tls) { co_await tls.async_shutdown(use_tuple); }

asio::awaitable<void> graceful_close(AgentTls& tls, std::chrono::milliseconds limit) {
  auto shutdown = shutdown_tls(tls);
  auto timed = within(std::move(shutdown), limit);
  co_await std::move(timed);
  error_code ec;
  tls.socket().close(ec);
}

// A short answer to a head the server could not take; the connection closes after it.
asio::awaitable<void> refuse_head(AgentTls& tls, unsigned status) {
  std::string text = status_line(status, {}) + "content-length: 0\r\nconnection: close\r\n\r\n";
  co_await asio::async_write(tls, asio::buffer(text), use_tuple);
}

// How a response's body is delimited on the wire.
struct Framing {
  bool no_body = false;  // HEAD, 1xx, 204, 304: the head only
  bool chunked = false;
  bool close_delimited = false;  // an HTTP/1.0 agent and no length: the close ends the body
};

// Sets the length, chunked coding and connection fields the body's framing needs.
Framing frame_response(ProxyResponse& r, bool head_request, unsigned version, bool will_close) {
  Framing f;
  f.no_body = head_request || r.status / 100 == 1 || r.status == 204 || r.status == 304;
  if (!r.body) {
    if (!f.no_body || head_request) r.headers.set("content-length", fmt::format("{}", r.static_body.size()));
  } else if (!f.no_body && !r.headers.contains("content-length")) {
    if (version == 11) {
      r.headers.add("transfer-encoding", "chunked");
      f.chunked = true;
    } else {
      f.close_delimited = true;
    }
  }
  if (will_close || f.close_delimited) r.headers.set("connection", "close");
  return f;
}

asio::awaitable<ProxyResult<void>> write_all(AgentTls& tls, asio::const_buffer bytes) {
  auto [ec, n] = co_await asio::async_write(tls, bytes, use_tuple);
  if (ec) co_return tunnel_error(ec.message());
  co_return ProxyResult<void>{};
}

// The body after the head: each piece framed where it lies, so that it leaves in one write.
asio::awaitable<ProxyResult<void>> stream_body(AgentTls& tls, BodyReader& body, const Framing& f, char* data) {
  while (true) {
    BodyResult n = co_await body.read_some(data, kChunk);
    if (!n) co_return tunnel_error(n.error().text());
    if (*n == 0) break;
    if (f.no_body) continue;
    std::size_t len = *n;
    const char* start = f.chunked ? frame_chunk_in_place(data, *n, &len) : data;
    auto sent = write_all(tls, asio::const_buffer(start, len));
    QB_CO_TRY_VOID(co_await std::move(sent));
  }
  if (!f.chunked) co_return ProxyResult<void>{};
  auto last = write_all(tls, asio::buffer(LAST_CHUNK));
  co_return co_await std::move(last);
}

// Sends the response; fails with the error the tunnel is torn down with. On success, whether the
// body ends with the connection.
asio::awaitable<ProxyResult<bool>> write_response(AgentTls& tls, AgentRequest& st, ProxyResponse& r, bool head_request,
                                                  unsigned version, bool will_close, std::vector<char>& buf) {
  if (st.writing_continue) {
    st.write_waiter = std::make_shared<AsyncEvent>(co_await asio::this_coro::executor);
    co_await st.write_waiter->wait();
  }
  st.response_started = true;
  const Framing f = frame_response(r, head_request, version, will_close);
  std::string head = status_line(r.status, r.reason);
  if (auto fields = append_fields(head, r.headers); !fields)
    co_return tunnel_error(fmt::format("invalid response header {}", debug_quote(fields.error().name)));
  if (!r.body) {
    if (!f.no_body) head += r.static_body;
    auto sent = write_all(tls, asio::buffer(head));
    QB_CO_TRY_VOID(co_await std::move(sent));
    co_return f.close_delimited;
  }
  if (buf.size() < CHUNK_SIZE_LINE_MAX + kChunk + 2) buf.resize(CHUNK_SIZE_LINE_MAX + kChunk + 2);
  char* const data = buf.data() + CHUNK_SIZE_LINE_MAX;
  // Body bytes that came with the response head go out with it.
  if (!f.no_body) {
    const std::size_t first = r.body->read_ready(data, kChunk);
    if (f.chunked)
      append_chunk(head, data, first);
    else
      head.append(data, first);
  }
  auto sent = write_all(tls, asio::buffer(head));
  QB_CO_TRY_VOID(co_await std::move(sent));
  auto streamed = stream_body(tls, *r.body, f, data);
  QB_CO_TRY_VOID(co_await std::move(streamed));
  co_return f.close_delimited;
}

asio::awaitable<void> read_body_to_end(AgentTls& tls, beast::flat_buffer& buf, RequestParser& parser,
                                       std::vector<char>& scratch) {
  if (scratch.empty()) scratch.resize(kChunk);
  while (!parser.is_done()) {
    parser.set_output(scratch.data(), scratch.size());
    auto [ec, n] = co_await http::async_read_some(tls, buf, parser, use_tuple);
    if (ec && ec != http::error::need_buffer) break;
  }
}

asio::awaitable<bool> drain_body(AgentTls& tls, beast::flat_buffer& buf, RequestParser& parser,
                                 std::vector<char>& scratch, std::chrono::milliseconds limit) {
  auto drain = read_body_to_end(tls, buf, parser, scratch);
  auto timed = within(std::move(drain), limit);
  co_await std::move(timed);
  co_return parser.is_done();
}

// The parser takes a body as chunked only when the last coding is chunked; any other coding would
// leave the body's end unknown (read as empty, the rest as the next request), so such a request is
// refused, and so is Transfer-Encoding in HTTP/1.0, which has no chunked framing.
ProxyResult<void> check_framing(const RequestParser& parser) {
  if (!parser.headers.contains("transfer-encoding")) return {};
  if (parser.version == 10) return tunnel_error("invalid HTTP request: Transfer-Encoding in an HTTP/1.0 request");
  if (!parser.chunked()) return tunnel_error("invalid HTTP request: Transfer-Encoding does not end in chunked");
  return {};
}

bool is_parse_error(const error_code& ec) {
  return ec.category() == http::make_error_code(http::error::bad_target).category();
}

asio::awaitable<error_code> read_head(AgentTls& tls, beast::flat_buffer& buf, RequestParser& parser) {
  auto [ec, n] = co_await http::async_read_header(tls, buf, parser, use_tuple);
  co_return ec;
}

// The next request head. A null parser when the agent ended the connection between requests (or
// stayed silent past the limit before sending a byte); an error when the head was cut off or bad,
// after the answer such a head gets.
asio::awaitable<ProxyResult<std::unique_ptr<RequestParser>>> next_head(TunnelContext& ctx, AgentTls& tls,
                                                                       beast::flat_buffer& buf) {
  auto parser = std::make_unique<RequestParser>();
  parser->header_limit(static_cast<std::uint32_t>(ctx.limits.max_head_bytes));
  parser->body_limit(boost::none);
  parser->max_fields = ctx.limits.max_header_fields;
  // Runs while idle between requests as well: a silent tunnel must not hold its slot for ever.
  auto read = read_head(tls, buf, *parser);
  auto timed = within(std::move(read), ctx.limits.header_read_timeout);
  std::optional<error_code> done = co_await std::move(timed);
  if (done && !*done) co_return std::move(parser);
  const bool started = buf.size() > 0 || parser->got_some();
  if (!done) {
    if (!started) co_return std::unique_ptr<RequestParser>();
    abort_connection(tls);
    co_return tunnel_error("read header from client timeout");
  }
  const error_code ec = *done;
  if (!started && is_quiet_close(ec)) co_return std::unique_ptr<RequestParser>();
  if (ec == http::error::end_of_stream || ec == http::error::partial_message) {
    abort_connection(tls);
    co_return tunnel_error("connection closed before message completed");
  }
  if (ec == http::error::header_limit) {
    co_await refuse_head(tls, 431);
    abort_connection(tls);
    co_return tunnel_error(parser->too_many_fields ? "too many header fields" : "message head is too large");
  }
  if (is_parse_error(ec)) {
    co_await refuse_head(tls, 400);
    abort_connection(tls);
    co_return tunnel_error(fmt::format("invalid HTTP request: {}", ec.message()));
  }
  abort_connection(tls);
  co_return tunnel_error(ec.message());
}

// The request as the service sees it, or why the head is refused with a 400.
ProxyResult<IncomingRequest> to_request(RequestParser& parser) {
  IncomingRequest req;
  req.method = std::move(parser.method);
  std::string_view raw_target = parser.target;
  req.target = std::string(raw_target.substr(0, raw_target.find('#')));
  req.version = parser.version;
  auto parsed = parse_request_target(raw_target);
  if (!parsed) return tunnel_error("invalid URI");
  for (const auto& f : parser.headers.fields())
    if (!is_safe_header_value(f.value)) return tunnel_error("invalid HTTP header parsed");
  QB_TRY_VOID(check_framing(parser));
  req.headers = std::move(parser.headers);
  req.parsed = std::move(*parsed);
  return req;
}

asio::awaitable<ProxyResponse> answer(TunnelContext& ctx, RequestService& service, IncomingRequest& req,
                                      const std::string& authority, const std::string& host, std::uint16_t port) {
  ServiceDecision decision = co_await service.decide(req, authority);
  if (auto* fwd = std::get_if<ForwardRequest>(&decision)) {
    auto op = ctx.upstream->forward(std::move(*fwd), host, port);
    co_return co_await std::move(op);
  }
  co_return std::move(std::get<ProxyResponse>(decision));
}

// What is left of a connection once one request has been served.
enum class Next { another, closed };

// One request from its parsed head to the end of its answer.
asio::awaitable<ProxyResult<Next>> serve_request(TunnelContext& ctx, RequestService& service, AgentTls& tls,
                                                 beast::flat_buffer& buf, RequestParser& parser,
                                                 std::vector<char>& body_buf, const std::string& authority,
                                                 const std::string& host, std::uint16_t port) {
  auto incoming = to_request(parser);
  if (!incoming) {
    co_await refuse_head(tls, 400);
    abort_connection(tls);
    co_return incoming.error();
  }
  IncomingRequest req = std::move(*incoming);
  const bool keep_alive = parser.keep_alive();
  const bool head_request = req.method == "HEAD";
  auto st = std::make_shared<AgentRequest>();
  st->tls = &tls;
  st->buf = &buf;
  st->parser = &parser;
  if (auto expect = req.headers.find("expect"))
    st->expect_continue = req.version == 11 && iequals_ascii(*expect, "100-continue");
  req.body = std::make_unique<AgentBody>(st);

  auto answering = answer(ctx, service, req, authority, host, port);
  ProxyResponse resp = co_await std::move(answering);
  // A body nobody read keeps the connection from carrying another request.
  const bool undrained = !resp.body && !parser.is_done();
  const bool will_close = !keep_alive || resp.close_after || undrained;
  auto writing = write_response(tls, *st, resp, head_request, req.version, will_close, body_buf);
  ProxyResult<bool> written = co_await std::move(writing);
  if (!written) {
    abort_connection(tls);
    co_await quiesce(*st);
    resp.body.reset();
    co_return written.error();
  }
  resp.body.reset();
  co_await quiesce(*st);
  // An answer that came before the body was read (a refusal, an early 413): read the rest for a
  // moment so that the agent, still sending, sees the answer rather than a reset.
  const auto linger = std::min<std::chrono::milliseconds>(ctx.limits.header_read_timeout, 2s);
  const bool drained = parser.is_done() || co_await drain_body(tls, buf, parser, body_buf, linger);
  if (will_close || *written || !drained) {
    co_await graceful_close(tls, linger);
    co_return Next::closed;
  }
  co_return Next::another;
}

asio::awaitable<ProxyResult<void>> serve_http(TunnelContext& ctx, AgentTls& tls, const std::string& host,
                                              std::uint16_t port) {
  const std::string authority = connect_authority(host, port);
  PassThroughService pass_through;
  RequestService& service = ctx.service ? *ctx.service : pass_through;
  beast::flat_buffer buf;
  std::vector<char> body_buf;  // sized on first use: an idle tunnel should stay small
  while (true) {
    auto reading = next_head(ctx, tls, buf);
    QB_CO_TRY(std::unique_ptr<RequestParser> parser, co_await std::move(reading));
    if (!parser) co_return ProxyResult<void>{};
    auto serving = serve_request(ctx, service, tls, buf, *parser, body_buf, authority, host, port);
    QB_CO_TRY(Next next, co_await std::move(serving));
    if (next == Next::closed) co_return ProxyResult<void>{};
  }
}

asio::awaitable<error_code> handshake(AgentTls& tls, const std::string& already_read) {
  auto [ec, n] = co_await tls.async_handshake(TlsStream::Role::server, asio::buffer(already_read), use_tuple);
  co_return ec;
}

asio::awaitable<ProxyResult<void>> tunnel_main(TunnelContext* ctx, tcp::socket socket, std::string leftover,
                                               std::string host, std::uint16_t port) {
  const auto& clocks = ctx->ca->clocks();
  SharedCertifiedKey leaf = ctx->ca->leaf_cache().find(host, clocks.monotonic(), clocks.wall());
  if (!leaf) {
    auto ca = ctx->ca;
    auto job = [ca, host] { return mint_leaf_blocking(*ca, host); };
    auto minting = spawn_blocking(*ctx->blocking, std::move(job));
    QB_CO_TRY(leaf, co_await std::move(minting));
  }

  error_code nd;
  socket.set_option(tcp::no_delay(true), nd);
  AgentTls tls(std::move(socket), ctx->tls->impl().ctx.get());
  if (!tls.valid()) co_return ProxyError(codes::QB_5071, "MITM handshake: cannot create the TLS connection state");
  SSL* ssl = tls.native_handle();
  // The certificate is the CONNECT host's whatever name the client hello carries.
  if (SSL_use_certificate(ssl, leaf->leaf()) != 1 || SSL_use_PrivateKey(ssl, leaf->key()) != 1 ||
      SSL_add1_chain_cert(ssl, leaf->ca()) != 1) {
    ERR_clear_error();
    co_return ProxyError(codes::QB_5071, "MITM handshake: cannot install the leaf certificate");
  }
  auto shaking = handshake(tls, leftover);
  auto timed = within(std::move(shaking), ctx->limits.handshake_deadline);
  std::optional<error_code> shaken = co_await std::move(timed);
  if (!shaken) co_return ProxyError(codes::QB_5071, "MITM handshake timed out");
  if (*shaken) co_return ProxyError(codes::QB_5071, fmt::format("MITM handshake: {}", shaken->message()));
  leaf.reset();
  std::string().swap(leftover);

  auto op = serve_http(*ctx, tls, host, port);
  ProxyResult<void> r = co_await std::move(op);
  error_code ignored;
  tls.socket().close(ignored);
  co_return r;
}

}  // namespace

ProxyResult<std::shared_ptr<TunnelTls>> build_tunnel_tls() {
  UniquePtr<SSL_CTX> owned(SSL_CTX_new(TLS_server_method()));
  if (!owned) return ProxyError(codes::QB_5071, "tunnel TLS context: out of memory");
  SSL_CTX* ctx = owned.get();
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1) {
    ERR_clear_error();
    return ProxyError(codes::QB_5071, "tunnel TLS context: TLS 1.3 unavailable");
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  // No resumption across tunnels: TLS 1.3 tickets need num_tickets 0, not only SSL_OP_NO_TICKET.
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  // Idle tunnels give their record buffers back between reads and writes.
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_alpn_select_cb(ctx, select_http11, nullptr);
  return std::make_shared<TunnelTls>(std::make_unique<TunnelTls::Impl>(std::move(owned)));
}

asio::awaitable<ServiceDecision> PassThroughService::decide(IncomingRequest& req, const std::string& authority) {
  RequestUrls urls = request_urls(req.parsed, authority);
  ForwardRequest f;
  f.method = std::move(req.method);
  f.version = req.version;
  f.headers = std::move(req.headers);
  f.body = std::move(req.body);
  f.upstream_url = std::move(urls.upstream_url);
  f.log_url = std::move(urls.log_url);
  co_return ServiceDecision(std::move(f));
}

asio::awaitable<ProxyResult<void>> serve_tunnel(TunnelContext& ctx, TcpSocket socket, std::string leftover,
                                                std::string connect_host, std::uint16_t connect_port) {
  // Not a coroutine: every task of the tunnel (the request body going up included) runs on the
  // caller's context, the socket's, which one thread runs.
  return tunnel_main(&ctx, std::move(socket), std::move(leftover), std::move(connect_host), connect_port);
}

}  // namespace qb
