#include "proxy/upstream/upstream.h"

#include <fmt/format.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <variant>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/execution/context.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>

#include "core/async_event.h"
#include "core/deadline.h"
#include "core/output.h"
#include "core/text.h"
#include "crypto/openssl_ptr.h"
#include "proxy/front/ip_asio.h"
#include "proxy/front/netguard_async.h"
#include "proxy/http/http_parser.h"
#include "tls/tls_stream.h"
#include "tls/trust_roots.h"

namespace qb {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kChunk = 64 * 1024;

BodyError idle_error() {
  return BodyError(
      ProxyError(codes::QB_5072, "body made no progress within the idle timeout; tearing down the tunnel"));
}
BodyError absolute_error() {
  return BodyError(ProxyError(codes::QB_5073, "body exceeded the absolute transfer deadline; tearing down the tunnel"));
}

// ---------------------------------------------------------------------------------------------
// DeadlineBody

// One timer for the body's whole life: a read only notes when it started waiting, and the timer,
// armed for the earliest moment a limit could pass, checks that note when it fires and re-arms
// for the rest. Streaming a body thus costs no timer update per record.
class DeadlineBody final : public BodyReader {
 public:
  DeadlineBody(std::unique_ptr<BodyReader> inner, BodyTimeouts t) : shared_(std::make_shared<Shared>()) {
    shared_->inner = std::move(inner);
    shared_->idle = t.idle;
    shared_->absolute_at = Clock::now() + t.absolute;
  }
  ~DeadlineBody() override { shared_->stop(); }

  asio::awaitable<BodyResult> read_some(char* buf, std::size_t size) override {
    Shared& s = *shared_;
    const auto now = Clock::now();
    if (now >= s.absolute_at) {
      s.inner->cancel();
      co_return absolute_error();
    }
    if (!s.timer) s.timer.emplace(co_await asio::this_coro::executor);
    s.fired = false;
    s.waiting = true;
    s.wait_start = now;
    // A timer still armed from an earlier wait fires no later than this wait's limit.
    if (!s.armed) Shared::arm(shared_, s.limit());
    BodyResult r = co_await s.inner->read_some(buf, size);
    s.waiting = false;
    // No read follows the end or a failure: the timer goes now rather than at its expiry.
    if (!r || *r == 0) s.stop();
    // Bytes or the end that arrived together with the timer are taken.
    if (r) co_return r;
    if (s.fired) co_return Clock::now() >= s.absolute_at ? absolute_error() : idle_error();
    co_return r;
  }
  std::size_t read_ready(char* buf, std::size_t size) override {
    // Taking bytes that are at hand needs no timer; past the absolute limit the next read fails.
    if (Clock::now() >= shared_->absolute_at) return 0;
    return shared_->inner->read_ready(buf, size);
  }
  std::optional<std::uint64_t> known_length() const override { return shared_->inner->known_length(); }
  bool at_end() const override { return shared_->inner->at_end(); }
  void cancel() override { shared_->inner->cancel(); }

 private:
  struct Shared {
    std::unique_ptr<BodyReader> inner;
    std::chrono::milliseconds idle{};
    Clock::time_point absolute_at;
    Clock::time_point wait_start;
    std::optional<asio::steady_timer> timer;
    bool waiting = false;
    bool armed = false;
    bool fired = false;
    std::uint64_t gen = 0;  // tells a stale expiry (cancelled, or of an earlier arming) apart

    Clock::time_point limit() const { return std::min(wait_start + idle, absolute_at); }

    void stop() {
      if (!armed) return;
      armed = false;
      ++gen;
      timer->cancel();
    }

    static void arm(const std::shared_ptr<Shared>& self, Clock::time_point at) {
      self->armed = true;
      const std::uint64_t gen = ++self->gen;
      self->timer->expires_at(at);
      self->timer->async_wait([weak = std::weak_ptr<Shared>(self), gen](error_code ec) {
        if (ec) return;
        auto s = weak.lock();
        if (!s || s->gen != gen) return;
        s->armed = false;
        // Between reads the reader's own time does not count: the next read arms again.
        if (!s->waiting) return;
        const auto due = s->limit();
        if (Clock::now() < due) {
          arm(s, due);
          return;
        }
        s->fired = true;
        s->inner->cancel();
      });
    }
  };
  std::shared_ptr<Shared> shared_;
};

// A request the service built without a body.
class EmptyBody final : public BodyReader {
 public:
  asio::awaitable<BodyResult> read_some(char*, std::size_t) override { co_return std::size_t{0}; }
  std::optional<std::uint64_t> known_length() const override { return std::nullopt; }
  bool at_end() const override { return true; }
  void cancel() override {}
};

// ---------------------------------------------------------------------------------------------
// Connections and the pool

struct Conn {
  Conn(tcp::socket sock, SSL_CTX* ctx, std::string k)
      : tls(std::move(sock), ctx), idle_timer(tls.get_executor()), key(std::move(k)) {
    tls.set_read_buffer(kReadBuffer);
  }
  // A body comes down in reads of up to four records, each piece one write to the agent.
  static constexpr std::size_t kReadBuffer = 4 * (16 * 1024 + 256);
  TlsStream tls;
  // While pooled: fires at the end of the idle time.
  asio::steady_timer idle_timer;
  beast::flat_buffer buf;
  std::string key;
  Clock::time_point idle_since;
  std::uint64_t pool_id = 0;  // changes with each stay in the pool
  bool reused = false;
};

// An idle connection on which the server said something (close_notify, FIN, stray bytes) or
// that failed is no longer usable.
bool still_quiet(Conn& c) {
  if (!c.tls.next_layer().is_open()) return false;
  char b;
  ssize_t r = ::recv(c.tls.next_layer().native_handle(), &b, 1, MSG_PEEK | MSG_DONTWAIT);
  return r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

std::string err_text(const error_code& ec) {
  if (ec == asio::ssl::error::stream_truncated) return "stream truncated (connection closed without close_notify)";
  return ec.message();
}

// Every failure of the exchange before a response is reported as QB-5070 with the words here.
ProxyError upstream_error(std::string words) { return ProxyError(codes::QB_5070, std::move(words)); }

}  // namespace

namespace {

class ContextPools;

// What one client's pools on every context share: the limits, the one count of idle connections
// over all of them, and the contexts that hold some, so that the client's end closes them there.
struct PoolBudget {
  PoolBudget(std::chrono::milliseconds t, std::size_t m) : idle_timeout(t), max_idle(m) {}
  const std::chrono::milliseconds idle_timeout;
  const std::size_t max_idle;
  std::atomic<std::size_t> idle_total{0};

  std::mutex mu;
  std::vector<ContextPools*> holders;  // each leaves as its context shuts down
  bool closed = false;                 // the client is gone: nothing more is pooled
};

// The idle upstream connections of one execution context, a service of that context: they live
// exactly as long as it does, and its shutdown closes them before the context's own objects go.
// Touched only from the context's thread (one thread runs it), so without a lock; the lock
// guards no more than the list of holders in each budget.
class ContextPools final : public asio::execution_context::service {
 public:
  static inline asio::execution_context::id id;

  explicit ContextPools(asio::execution_context& owner) : asio::execution_context::service(owner) {}

  static ContextPools& of(const asio::any_io_executor& ex) {
    auto& pools = asio::use_service<ContextPools>(asio::query(ex, asio::execution::context));
    if (!pools.ex_) pools.ex_.emplace(ex);
    return pools;
  }

  // The newest connection idle for conn_key that the server has left alone, or null.
  std::unique_ptr<Conn> take(const std::shared_ptr<PoolBudget>& b, const std::string& conn_key) {
    auto found = pools_.find(b.get());
    if (found == pools_.end()) return nullptr;
    Pool& p = found->second;
    const auto now = Clock::now();
    while (true) {
      auto k = p.by_key.find(conn_key);
      if (k == p.by_key.end()) return nullptr;
      std::unique_ptr<Conn> c = unlink(p, p.idle.find(k->second.back()));
      if (now - c->idle_since >= b->idle_timeout || !still_quiet(*c)) continue;
      c->reused = true;
      return c;
    }
  }

  // Room is made from this context's own oldest; with none here the connection is closed.
  void put(const std::shared_ptr<PoolBudget>& b, std::unique_ptr<Conn> c) {
    if (b->max_idle == 0 || stopped_) return;
    Pool* p = pool_for(b);
    if (!p) return;
    std::size_t n = b->idle_total.load(std::memory_order_relaxed);
    for (;;) {
      if (n < b->max_idle) {
        if (b->idle_total.compare_exchange_weak(n, n + 1, std::memory_order_relaxed)) break;
        continue;
      }
      if (p->idle.empty()) return;
      unlink(*p, p->idle.begin());
      n = b->idle_total.load(std::memory_order_relaxed);
    }
    c->idle_since = Clock::now();
    // Ids never repeat within the context: a watch that outlived its connection finds nothing.
    const std::uint64_t conn_id = ++next_id_;
    c->pool_id = conn_id;
    PoolBudget* budget_key = b.get();
    c->idle_timer.expires_at(c->idle_since + b->idle_timeout);
    c->idle_timer.async_wait([this, budget_key, conn_id](error_code ec) {
      if (!ec) drop(budget_key, conn_id);
    });
    // Readable while idle means the server closed, or sent what no request asked for.
    c->tls.next_layer().async_wait(tcp::socket::wait_read, [this, budget_key, conn_id](error_code ec) {
      if (ec != asio::error::operation_aborted) drop(budget_key, conn_id);
    });
    p->by_key[c->key].push_back(conn_id);
    p->idle.emplace(conn_id, std::move(c));
  }

  // Closes, on this context's thread, what the gone client left here.
  void forget(const std::shared_ptr<PoolBudget>& b) {
    auto found = pools_.find(b.get());
    if (found == pools_.end()) return;
    b->idle_total.fetch_sub(found->second.idle.size(), std::memory_order_relaxed);
    pools_.erase(found);
  }

  // The client ends: each context that holds its connections closes them on its own thread. A
  // context that is shutting down has left the list and closes them itself.
  static void close_all(const std::shared_ptr<PoolBudget>& b) {
    std::lock_guard lock(b->mu);
    b->closed = true;
    for (ContextPools* holder : b->holders) asio::post(*holder->ex_, [holder, b] { holder->forget(b); });
    b->holders.clear();
  }

 private:
  struct Pool {
    std::shared_ptr<PoolBudget> budget;  // also keeps the key's address from being reused
    // Idle connections by pool id, which grows with each put: the first is the oldest.
    std::map<std::uint64_t, std::unique_ptr<Conn>> idle;
    std::unordered_map<std::string, std::vector<std::uint64_t>> by_key;  // newest last
  };

  void shutdown() override {
    stopped_ = true;
    for (auto& [budget_key, p] : pools_) {
      {
        std::lock_guard lock(p.budget->mu);
        std::erase(p.budget->holders, this);
      }
      p.budget->idle_total.fetch_sub(p.idle.size(), std::memory_order_relaxed);
    }
    // The sockets close while the context's reactor still stands.
    pools_.clear();
  }

  Pool* pool_for(const std::shared_ptr<PoolBudget>& b) {
    auto found = pools_.find(b.get());
    if (found != pools_.end()) return &found->second;
    std::lock_guard lock(b->mu);
    if (b->closed) return nullptr;
    b->holders.push_back(this);
    Pool& p = pools_[b.get()];
    p.budget = b;
    return &p;
  }

  // The connection leaves its pool; its watches are cancelled.
  std::unique_ptr<Conn> unlink(Pool& p, std::map<std::uint64_t, std::unique_ptr<Conn>>::iterator it) {
    std::unique_ptr<Conn> c = std::move(it->second);
    p.idle.erase(it);
    p.budget->idle_total.fetch_sub(1, std::memory_order_relaxed);
    auto k = p.by_key.find(c->key);
    if (k != p.by_key.end()) {
      std::erase(k->second, c->pool_id);
      if (k->second.empty()) p.by_key.erase(k);
    }
    error_code ec;
    c->idle_timer.cancel();
    c->tls.next_layer().cancel(ec);
    return c;
  }

  // A watch fired: the connection is closed when it is still in the pool under that id.
  void drop(const PoolBudget* b, std::uint64_t conn_id) {
    auto found = pools_.find(b);
    if (found == pools_.end()) return;
    auto it = found->second.idle.find(conn_id);
    if (it != found->second.idle.end()) unlink(found->second, it);
  }

  std::unordered_map<const PoolBudget*, Pool> pools_;
  std::optional<asio::any_io_executor> ex_;  // where close_all's work goes
  std::uint64_t next_id_ = 0;
  bool stopped_ = false;
};

}  // namespace

struct UpstreamClient::Impl {
  Impl(BlockingPool& pool, bool allow_private, UpstreamOptions o, UniquePtr<SSL_CTX> native)
      : opts(std::move(o)),
        ctx(std::move(native)),
        resolver(pool, allow_private, opts.lookup),
        budget(std::make_shared<PoolBudget>(opts.pool_idle_timeout, opts.pool_max_idle)) {}
  ~Impl() { ContextPools::close_all(budget); }

  UpstreamOptions opts;
  UniquePtr<SSL_CTX> ctx;
  GuardedResolver resolver;
  // Idle connections sit in each context's pools, never here: the last reference to the client
  // may go on any thread, while any context is being destroyed.
  std::shared_ptr<PoolBudget> budget;
  std::atomic<std::size_t> opened{0};
  std::atomic<std::size_t> reused{0};
};

namespace {

using ClientPtr = std::shared_ptr<UpstreamClient::Impl>;

// ---------------------------------------------------------------------------------------------
// One exchange: the request body going up while the response comes down.

struct Exchange {
  Exchange(const asio::any_io_executor& ex, ClientPtr c)
      : client(std::move(c)), pools(&ContextPools::of(ex)), upload_done(ex) {}

  ClientPtr client;
  ContextPools* pools;  // this context's
  std::unique_ptr<Conn> conn;
  std::unique_ptr<BodyReader> req_body;
  bool chunked_upload = false;
  bool upload_running = false;
  bool upload_ok = false;
  bool upload_consumed = false;
  std::optional<BodyError> upload_error;  // the first failure of the body's way up
  AsyncEvent upload_done;
  std::unique_ptr<StreamParser<false>> parser;
  bool upstream_keep_alive = false;
  bool aborted = false;
  // The request body's way up: room for a chunk's size line before the bytes and CRLF after.
  std::vector<char> upload_buf;

  char* upload_data() {
    if (upload_buf.empty()) upload_buf.resize(CHUNK_SIZE_LINE_MAX + kChunk + 2);
    return upload_buf.data() + CHUNK_SIZE_LINE_MAX;
  }

  void cancel_io() {
    if (!conn) return;
    error_code ec;
    conn->tls.next_layer().cancel(ec);
  }
  void abort_upload() {
    aborted = true;
    if (req_body) req_body->cancel();
    cancel_io();
  }
  // The response ended cleanly: the connection goes back only when both sides are complete.
  asio::awaitable<void> finish() {
    if (upload_running) {
      abort_upload();
      co_await upload_done.wait();
    }
    if (conn && upstream_keep_alive && upload_ok && !aborted && conn->buf.size() == 0 && parser && parser->is_done())
      pools->put(client->budget, std::move(conn));
    conn.reset();
  }
};

asio::awaitable<Result<void, error_code>> write_all(TlsStream& tls, asio::const_buffer bytes) {
  auto [ec, n] = co_await asio::async_write(tls, bytes, use_tuple);
  if (ec) co_return ec;
  co_return Result<void, error_code>{};
}

asio::awaitable<void> run_upload(std::shared_ptr<Exchange> ex) {
  char* const data = ex->upload_data();
  BodyError err;
  bool ok = false;
  auto& tls = ex->conn->tls;
  while (true) {
    BodyResult r = co_await ex->req_body->read_some(data, kChunk);
    if (ex->aborted) {
      err = BodyError("request body abandoned");
      break;
    }
    if (!r) {
      err = r.error();
      // The agent's body failed: the exchange fails with it.
      ex->cancel_io();
      break;
    }
    if (*r == 0) {
      Result<void, error_code> sent;
      if (ex->chunked_upload) {
        auto last = write_all(tls, asio::buffer(LAST_CHUNK));
        sent = co_await std::move(last);
      }
      if (sent)
        ok = true;
      else
        err = BodyError(err_text(sent.error()));
      break;
    }
    ex->upload_consumed = true;
    std::size_t len = *r;
    const char* start = ex->chunked_upload ? frame_chunk_in_place(data, *r, &len) : data;
    auto piece = write_all(tls, asio::const_buffer(start, len));
    Result<void, error_code> sent = co_await std::move(piece);
    if (!sent) {
      // The server stopped reading (it may have answered early): the response still counts.
      err = BodyError(err_text(sent.error()));
      break;
    }
  }
  if (!ok && !ex->upload_error) ex->upload_error = std::move(err);
  ex->upload_ok = ok;
  ex->upload_running = false;
  ex->upload_done.notify();
}

// The response body as the server sends it; its end hands the connection back to the pool.
class UpstreamBody final : public BodyReader {
 public:
  UpstreamBody(std::shared_ptr<Exchange> ex, std::optional<std::uint64_t> len) : ex_(std::move(ex)), len_(len) {}
  ~UpstreamBody() override {
    if (!end_) ex_->abort_upload();
  }

  asio::awaitable<BodyResult> read_some(char* buf, std::size_t size) override {
    if (end_) co_return std::size_t{0};
    auto& p = *ex_->parser;
    if (pending_) co_return failure(pending_);
    while (true) {
      if (p.is_done()) {
        end_ = true;
        co_await ex_->finish();
        co_return std::size_t{0};
      }
      if (!ex_->conn) co_return BodyError("connection closed");
      // Beast reads no more than the buffer's spare capacity (512 bytes at least): without room
      // a body would move in 512-byte pieces, each a trip through the executor.
      if (ex_->conn->buf.capacity() < kChunk) ex_->conn->buf.reserve(kChunk);
      p.set_output(buf, size);
      error_code ec;
      std::tie(ec, std::ignore) = co_await http::async_read_some(ex_->conn->tls, ex_->conn->buf, p, use_tuple);
      std::size_t got = p.got();
      if (ec == http::error::need_buffer) ec = {};
      if (ec) co_return failure(ec);
      if (got > 0) co_return got;
    }
  }
  // What the head's read left in the buffer (often the whole of a small body) is parsed here.
  std::size_t read_ready(char* buf, std::size_t size) override {
    auto& p = *ex_->parser;
    if (end_ || pending_ || !ex_->conn || p.is_done()) return 0;
    p.set_output(buf, size);
    return p.put_buffered(ex_->conn->buf, &pending_);
  }
  std::optional<std::uint64_t> known_length() const override { return len_; }
  bool at_end() const override { return end_; }
  void cancel() override { ex_->cancel_io(); }

 private:
  BodyError failure(const error_code& ec) const {
    if (ex_->upload_error && !ex_->aborted) return *ex_->upload_error;
    return BodyError(err_text(ec));
  }

  std::shared_ptr<Exchange> ex_;
  std::optional<std::uint64_t> len_;
  bool end_ = false;
  error_code pending_;  // a parse failure read_ready found
};

// ---------------------------------------------------------------------------------------------
// Connecting: guarded resolution, then one address family after the other with the second
// starting early when the first is slow.

struct ConnectRace {
  explicit ConnectRace(const asio::any_io_executor& ex) : fallback_timer(ex) {}
  // The second family's head start, cut short once the first is over.
  asio::steady_timer fallback_timer;
  std::optional<tcp::socket> winner;
  std::vector<std::shared_ptr<tcp::socket>> live;
  bool preferred_over = false;
  std::string last_error;

  void close_live() {
    for (auto& s : live) {
      error_code ec;
      s->close(ec);
    }
  }
};

asio::awaitable<error_code> connect_one(tcp::socket& sock, const tcp::endpoint& ep) {
  auto [ec] = co_await sock.async_connect(ep, use_tuple);
  co_return ec;
}

asio::awaitable<void> connect_family(ConnectRace& race, std::vector<tcp::endpoint> eps, std::chrono::milliseconds total,
                                     bool fallback, std::chrono::milliseconds delay) {
  auto ex = co_await asio::this_coro::executor;
  if (fallback && !race.preferred_over) {
    race.fallback_timer.expires_after(delay);
    co_await race.fallback_timer.async_wait(use_tuple);
  }
  auto per = total / static_cast<long>(std::max<std::size_t>(eps.size(), 1));
  for (const auto& ep : eps) {
    if (race.winner) break;
    auto sock = std::make_shared<tcp::socket>(ex);
    race.live.push_back(sock);
    auto attempt = connect_one(*sock, ep);
    auto timed = within(std::move(attempt), per);
    std::optional<error_code> done = co_await std::move(timed);
    std::erase(race.live, sock);
    if (race.winner) break;
    if (done && !*done && sock->is_open()) {
      race.winner.emplace(std::move(*sock));
      race.close_live();
      race.fallback_timer.cancel();
      break;
    }
    race.last_error = done ? fmt::format("tcp connect error: {}", done->message())
                           : std::string("tcp connect error: connection timed out");
  }
  if (!fallback) {
    race.preferred_over = true;
    race.fallback_timer.cancel();
  }
}

asio::awaitable<ProxyResult<tcp::socket>> connect_tcp(ClientPtr c, std::string host, std::uint16_t port) {
  auto ex = co_await asio::this_coro::executor;
  std::vector<asio::ip::address> addrs;
  if (auto literal = connectable_address_literal(host)) {
    if (!c->resolver.allow_private() && is_blocked_ip(*literal))
      co_return upstream_error(
          fmt::format("{}: {} resolves only to blocked (private/link-local/IMDS) addresses", codes::QB_5070, host));
    addrs.push_back(*literal);
  } else {
    auto op = c->resolver.resolve(host);
    ResolveResult r = co_await std::move(op);
    if (!r) co_return upstream_error(r.error().display());
    addrs = std::move(*r);
  }
  if (addrs.empty()) co_return upstream_error("no addresses to connect to");
  std::vector<tcp::endpoint> preferred, other;
  bool v6 = addrs.front().is_v6();
  for (const auto& a : addrs) (a.is_v6() == v6 ? preferred : other).emplace_back(a, port);

  // Both families end before the race does: they share it by reference.
  ConnectRace race(ex);
  if (other.empty()) {
    auto one = connect_family(race, std::move(preferred), c->opts.connect_timeout, false, {});
    co_await std::move(one);
  } else {
    auto first = asio::co_spawn(ex, connect_family(race, std::move(preferred), c->opts.connect_timeout, false, {}),
                                asio::deferred);
    auto second = asio::co_spawn(
        ex, connect_family(race, std::move(other), c->opts.connect_timeout, true, c->opts.fallback_delay),
        asio::deferred);
    auto both = asio::experimental::make_parallel_group(std::move(first), std::move(second))
                    .async_wait(asio::experimental::wait_for_all(), asio::use_awaitable);
    co_await std::move(both);
  }
  if (race.winner) co_return std::move(*race.winner);
  co_return upstream_error(race.last_error.empty() ? std::string("connect aborted") : std::move(race.last_error));
}

asio::awaitable<ProxyResult<std::unique_ptr<Conn>>> open_conn(ClientPtr c, std::string host, std::uint16_t port,
                                                              std::string key) {
  auto op = connect_tcp(c, host, port);
  QB_CO_TRY(tcp::socket sock, co_await std::move(op));
  error_code ec;
  sock.set_option(tcp::no_delay(true), ec);
  auto conn = std::make_unique<Conn>(std::move(sock), c->ctx.get(), std::move(key));
  SSL* ssl = conn->tls.native_handle();
  if (connectable_address_literal(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl, host.c_str());
    // Names come from DNS subjectAltNames only, and a wildcard stands for a whole left-most label.
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    SSL_set1_host(ssl, host.c_str());
  }
  c->opened.fetch_add(1, std::memory_order_relaxed);
  auto [hec, hn] = co_await conn->tls.async_handshake(TlsStream::Role::client, use_tuple);
  if (hec) co_return upstream_error(fmt::format("TLS handshake: {}", err_text(hec)));
  co_return std::move(conn);
}

ProxyResponse client_failure(const ForwardRequest& req, const ProxyError& e) {
  write_stderr(fmt::format("{}: upstream {}: {}\n", e.code, req.log_url, sanitize_for_log(e.detail)));
  return static_error_response(502, fmt::format("{}: upstream connection failed", codes::QB_5070));
}

ProxyResponse head_timeout(const ForwardRequest& req) {
  write_stderr(fmt::format("{}: upstream {}: response header timeout\n", codes::QB_5070, req.log_url));
  return static_error_response(504, fmt::format("{}: upstream timed out", codes::QB_5070));
}

// The request head as it goes up, or the answer that refuses the request before any connection.
struct Outgoing {
  std::string head;
  bool has_body = false;
  bool head_alone = false;  // the agent waits for a 100 before it sends the body
};
using Prepared = std::variant<Outgoing, ProxyResponse>;

// Hop-by-hop fields go, Host and the body's framing come in, and the head is written out.
Prepared prepare_request(ForwardRequest& req, Exchange& xc, const BodyTimeouts& timeouts) {
  strip_hop_by_hop(req.headers);
  auto target = parse_request_target(req.upstream_url);
  if (!target || target->form != TargetForm::Absolute)
    return static_error_response(502, "bad upstream uri: invalid uri");
  if (target->scheme != "https") return static_error_response(502, "bad upstream uri: unsupported scheme");
  std::string origin = target->path_and_query;
  if (origin.empty() || origin.front() == '?')
    origin.insert(origin.begin(), '/');  // g++ 12 -O3 misreads insert(0, "/") as overlapping
  if (!req.headers.contains("host")) req.headers.add("host", target->authority);

  if (!req.body) req.body = std::make_unique<EmptyBody>();
  xc.req_body = deadline_body_new(std::move(req.body), timeouts);
  Outgoing out;
  if (auto len = xc.req_body->known_length()) {
    // One Content-Length, the body's own: equal duplicates ("5, 5" or two lines) fold into it.
    req.headers.set("content-length", fmt::format("{}", *len));
    out.has_body = *len > 0;
  } else if (!xc.req_body->at_end()) {
    // HTTP/1.0 servers cannot read chunked; the tunnel lets such a body through only with a length.
    if (req.version == 10) return client_failure(req, upstream_error("HTTP/1.0 request body without a Content-Length"));
    req.headers.remove("content-length");
    req.headers.add("transfer-encoding", "chunked");
    xc.chunked_upload = true;
    out.has_body = true;
  }
  xc.upload_ok = !out.has_body;
  if (auto expect = req.headers.find("expect")) out.head_alone = iequals_ascii(*expect, "100-continue");
  out.head = request_line(req.method, origin, req.version);
  if (auto fields = append_fields(out.head, req.headers); !fields)
    return client_failure(req, upstream_error(fmt::format("invalid header {}", debug_quote(fields.error().name))));
  return out;
}

// A pooled connection when one is still good, else a new one. The only retry there is: take
// checks a pooled connection before reuse and falls back to a fresh one.
asio::awaitable<ProxyResult<void>> obtain_connection(ClientPtr c, Exchange& xc, const std::string& host,
                                                     std::uint16_t port) {
  // Host names are case-insensitive: one pool entry for every spelling.
  std::string key = fmt::format("https://{}", connect_authority(ascii_lower(host), port));
  std::unique_ptr<Conn> conn = xc.pools->take(c->budget, key);
  if (conn) {
    c->reused.fetch_add(1, std::memory_order_relaxed);
  } else {
    auto op = open_conn(c, host, port, std::move(key));
    QB_CO_TRY(conn, co_await std::move(op));
  }
  xc.conn = std::move(conn);
  co_return ProxyResult<void>{};
}

// The head, with the body bytes already at hand in the same write; then the rest of the body goes
// up on its own while the response comes down. Once a byte is written, a failure is the request's.
asio::awaitable<ProxyResult<void>> send_request(std::shared_ptr<Exchange> xc, Outgoing& out) {
  if (out.has_body && !out.head_alone) {
    char* const data = xc->upload_data();
    const std::size_t first = xc->req_body->read_ready(data, kChunk);
    if (first > 0) xc->upload_consumed = true;
    if (xc->chunked_upload)
      append_chunk(out.head, data, first);
    else
      out.head.append(data, first);
  }
  auto head = write_all(xc->conn->tls, asio::buffer(out.head));
  if (auto sent = co_await std::move(head); !sent) co_return upstream_error(err_text(sent.error()));
  if (out.has_body) {
    xc->upload_running = true;
    asio::co_spawn(co_await asio::this_coro::executor, run_upload(xc), asio::detached);
  }
  co_return ProxyResult<void>{};
}

// Interim (1xx) heads are skipped; a failed read reports the upload's failure when there was one.
asio::awaitable<ProxyResult<void>> read_response_head(const UpstreamOptions& opts, Exchange& xc, bool head_request) {
  while (true) {
    xc.parser = std::make_unique<StreamParser<false>>();
    xc.parser->header_limit(static_cast<std::uint32_t>(opts.max_head_bytes));
    xc.parser->body_limit(boost::none);
    if (head_request) xc.parser->skip(true);
    auto [ec, n] = co_await http::async_read_header(xc.conn->tls, xc.conn->buf, *xc.parser, use_tuple);
    if (ec) co_return upstream_error(xc.upload_error ? xc.upload_error->text() : err_text(ec));
    if (xc.parser->headers.fields().size() > opts.max_response_fields)
      co_return upstream_error(fmt::format("response head has more than {} header fields", opts.max_response_fields));
    const unsigned status = xc.parser->status;
    // Upgrades are not carried (Upgrade is stripped both ways): a switched connection speaks
    // another protocol and can never be handed to the agent or to the pool.
    if (status == 101)
      co_return upstream_error("unexpected 101 Switching Protocols: protocol upgrades are not carried");
    if (status < 100 || status >= 200) co_return ProxyResult<void>{};
  }
}

// Everything the response-head deadline covers, connecting included.
asio::awaitable<ProxyResult<void>> exchange_head(ClientPtr c, std::shared_ptr<Exchange> xc, Outgoing& out,
                                                 bool head_request, const std::string& host, std::uint16_t port) {
  auto obtain = obtain_connection(c, *xc, host, port);
  QB_CO_TRY_VOID(co_await std::move(obtain));
  auto sending = send_request(xc, out);
  QB_CO_TRY_VOID(co_await std::move(sending));
  auto reading = read_response_head(c->opts, *xc, head_request);
  co_return co_await std::move(reading);
}

// The exchange failed before a response: the upload stops and the connection goes.
asio::awaitable<void> abandon(Exchange& xc) {
  if (xc.upload_running) {
    xc.abort_upload();
    co_await xc.upload_done.wait();
  }
  xc.conn.reset();
}

// The response head as the agent gets it, with the body streaming behind it.
asio::awaitable<ProxyResponse> to_response(ClientPtr c, std::shared_ptr<Exchange> xc, const ForwardRequest& req) {
  StreamParser<false>& parser = *xc->parser;
  for (const auto& f : parser.headers.fields()) {
    if (!is_safe_header_value(f.value)) {
      xc->abort_upload();
      ProxyError e = upstream_error(fmt::format("invalid response header {}", debug_quote(f.name)));
      if (xc->upload_running) co_await xc->upload_done.wait();
      co_return client_failure(req, e);
    }
  }
  ProxyResponse out;
  out.status = parser.status;
  out.reason = std::move(parser.reason);
  out.headers = std::move(parser.headers);
  xc->upstream_keep_alive = parser.keep_alive();
  strip_hop_by_hop(out.headers);
  out.headers.remove("set-cookie");
  std::optional<std::uint64_t> len;
  if (auto cl = parser.content_length()) len = *cl;
  auto body = std::make_unique<UpstreamBody>(xc, len);
  out.body = deadline_body_new(std::move(body), c->opts.body);
  co_return out;
}

asio::awaitable<ProxyResponse> forward_impl(ClientPtr c, ForwardRequest req, std::string host, std::uint16_t port) {
  auto xc = std::make_shared<Exchange>(co_await asio::this_coro::executor, c);
  Prepared prepared = prepare_request(req, *xc, c->opts.body);
  if (auto* refused = std::get_if<ProxyResponse>(&prepared)) co_return std::move(*refused);
  Outgoing& out = std::get<Outgoing>(prepared);
  // The response-head deadline counts from the handover.
  auto head = exchange_head(c, xc, out, req.method == "HEAD", host, port);
  auto timed = within(std::move(head), c->opts.response_head_timeout);
  std::optional<ProxyResult<void>> got = co_await std::move(timed);
  if (!got || !*got) {
    co_await abandon(*xc);
    if (!got) co_return head_timeout(req);
    co_return client_failure(req, got->error());
  }
  auto response = to_response(c, xc, req);
  co_return co_await std::move(response);
}

}  // namespace

std::unique_ptr<BodyReader> deadline_body_new(std::unique_ptr<BodyReader> inner, BodyTimeouts timeouts) {
  return std::make_unique<DeadlineBody>(std::move(inner), timeouts);
}

UpstreamClient::UpstreamClient(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
UpstreamClient::~UpstreamClient() = default;

asio::awaitable<ProxyResponse> UpstreamClient::forward(ForwardRequest req, std::string connect_host,
                                                       std::uint16_t connect_port) {
  // Not a coroutine: the arguments move straight into the exchange's frame.
  return forward_impl(impl_, std::move(req), std::move(connect_host), connect_port);
}

UpstreamStats UpstreamClient::stats() const {
  UpstreamStats s;
  s.connections_opened = impl_->opened.load(std::memory_order_relaxed);
  s.connections_reused = impl_->reused.load(std::memory_order_relaxed);
  s.idle_connections = impl_->budget->idle_total.load(std::memory_order_relaxed);
  return s;
}

const UpstreamOptions& UpstreamClient::options() const { return impl_->opts; }

ProxyResult<std::shared_ptr<UpstreamClient>> build_upstream_client(BlockingPool& pool, bool allow_private,
                                                                   const std::vector<DerCert>& roots,
                                                                   UpstreamOptions options) {
  UniquePtr<SSL_CTX> owned(SSL_CTX_new(TLS_client_method()));
  if (!owned) return ProxyError(codes::QB_5071, "upstream TLS context: out of memory");
  SSL_CTX* ctx = owned.get();
  auto fail = [&](std::string_view what) {
    ERR_clear_error();
    return ProxyError(codes::QB_5071, fmt::format("upstream TLS context: {}", what));
  };
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1)
    return fail("TLS 1.3 unavailable");
  UniquePtr<X509_STORE> store = trust_store_of(roots);
  if (!store) return fail("certificate store");
  SSL_CTX_set_cert_store(ctx, store.release());
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  auto impl = std::make_shared<UpstreamClient::Impl>(pool, allow_private, std::move(options), std::move(owned));
  return std::make_shared<UpstreamClient>(std::move(impl));
}

}  // namespace qb
