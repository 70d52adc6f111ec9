// The pure parts of forwarding (header stripping, targets, authorities, error responses) and the
// body deadlines on fake bodies.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "proxy/http/http_types.h"
#include "proxy/upstream/upstream.h"

namespace qb {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

std::vector<std::string> names(const HeaderList& h) {
  std::vector<std::string> out;
  for (const auto& f : h.fields()) out.push_back(f.name);
  return out;
}

TEST(UpstreamHeaders, StripHopByHopRemovesListedAndFixedNames) {
  HeaderList h;
  h.add("Host", "example.com");
  h.add("Connection", "X-Trace, close");
  h.add("X-Trace", "1");
  h.add("x-trace", "2");
  h.add("Keep-Alive", "timeout=5");
  h.add("Proxy-Authorization", "Basic abc");
  h.add("Proxy-Connection", "keep-alive");
  h.add("TE", "trailers");
  h.add("Trailers", "x");
  h.add("Transfer-Encoding", "chunked");
  h.add("Upgrade", "h2c");
  h.add("Proxy-Authenticate", "Basic");
  h.add("Authorization", "Bearer t");
  h.add("Accept", "*/*");
  strip_hop_by_hop(h);
  EXPECT_EQ(names(h), (std::vector<std::string>{"Host", "Authorization", "Accept"}));
}

TEST(UpstreamHeaders, ConnectionTokensAreTrimmedAndFiltered) {
  HeaderList h;
  // "keep-alive" as a token never removes anything by itself; an invalid name is ignored.
  h.add("Connection", " ,X-A ,\tkeep-alive, bad name ,");
  h.add("Connection", "X-B");
  h.add("X-A", "1");
  h.add("X-B", "2");
  h.add("bad name", "3");
  h.add("X-C", "4");
  strip_hop_by_hop(h);
  EXPECT_EQ(names(h), (std::vector<std::string>{"bad name", "X-C"}));
}

TEST(UpstreamHeaders, ConnectionValueThatIsNotTextNamesNothing) {
  HeaderList h;
  h.add("Connection", "X-A\x80");
  h.add("X-A", "1");
  strip_hop_by_hop(h);
  EXPECT_EQ(names(h), (std::vector<std::string>{"X-A"}));
}

TEST(UpstreamHeaders, ValueAndNameChecks) {
  EXPECT_TRUE(is_safe_header_value("a\tb \x80"));
  EXPECT_FALSE(is_safe_header_value("a\r\nX: y"));
  EXPECT_FALSE(is_safe_header_value(std::string("a\0b", 3)));
  EXPECT_TRUE(is_valid_header_name("X-Api-Key"));
  EXPECT_FALSE(is_valid_header_name("X Api"));
  EXPECT_FALSE(is_valid_header_name(""));
}

TEST(HttpWire, HeadsAreWrittenFieldByFieldAndStopAtTheFirstUnsafeField) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> fields;
    std::optional<std::string> text;  // none: refused
    std::string bad_name;
  };
  const std::vector<Case> cases = {
      {{{"Host", "a"}, {"X-K", "v w"}}, "Host: a\r\nX-K: v w\r\n\r\n", ""},
      {{}, "\r\n", ""},
      {{{"Host", "a"}, {"X Bad", "1"}, {"Y", "\r\n"}}, std::nullopt, "X Bad"},
      {{{"Host", "a"}, {"Split", "x\r\nEvil: 1"}}, std::nullopt, "Split"},
      {{{"Nul", std::string("a\0b", 3)}}, std::nullopt, "Nul"},
  };
  for (const auto& c : cases) {
    HeaderList h;
    for (const auto& [n, v] : c.fields) h.add(n, v);
    std::string out = "GET / HTTP/1.1\r\n";
    auto r = append_fields(out, h);
    ASSERT_EQ(r.has_value(), c.text.has_value()) << out;
    if (r)
      EXPECT_EQ(out, "GET / HTTP/1.1\r\n" + *c.text);
    else
      EXPECT_EQ(r.error().name, c.bad_name);
  }
}

TEST(HttpWire, StartLines) {
  EXPECT_EQ(request_line("POST", "/a?b", 11), "POST /a?b HTTP/1.1\r\n");
  EXPECT_EQ(request_line("GET", "/", 10), "GET / HTTP/1.0\r\n");
  EXPECT_EQ(status_line(404, ""), "HTTP/1.1 404 Not Found\r\n");
  EXPECT_EQ(status_line(200, "Fine"), "HTTP/1.1 200 Fine\r\n");
  // A reason that would split the head is replaced by the standard one.
  EXPECT_EQ(status_line(200, "OK\r\nX: y"), "HTTP/1.1 200 OK\r\n");
}

TEST(HttpWire, ChunksAreFramedAppendedOrInPlace) {
  for (std::size_t n : {std::size_t{1}, std::size_t{15}, std::size_t{16}, std::size_t{70000}}) {
    SCOPED_TRACE(n);
    const std::string data(n, 'd');
    const std::string want = fmt::format("{:x}\r\n", n) + data + "\r\n";
    std::string appended = "head";
    append_chunk(appended, data.data(), n);
    EXPECT_EQ(appended, "head" + want);
    std::vector<char> buf(CHUNK_SIZE_LINE_MAX + n + 2, '#');
    std::memcpy(buf.data() + CHUNK_SIZE_LINE_MAX, data.data(), n);
    std::size_t len = 0;
    const char* start = frame_chunk_in_place(buf.data() + CHUNK_SIZE_LINE_MAX, n, &len);
    EXPECT_EQ(std::string(start, len), want);
    EXPECT_EQ(start + len, buf.data() + buf.size());
  }
  // No bytes, no chunk: an empty one would end the body.
  std::string out = "head";
  append_chunk(out, "", 0);
  EXPECT_EQ(out, "head");
  EXPECT_EQ(LAST_CHUNK, "0\r\n\r\n");
}

TEST(UpstreamTargets, ParsesTheFourForms) {
  struct Case {
    std::string text;
    std::optional<TargetForm> form;
    std::string authority;
    std::string pq;
  };
  const std::vector<Case> cases = {
      {"/a/b?x=1", TargetForm::Origin, "", "/a/b?x=1"},
      {"/a#frag ment", TargetForm::Origin, "", "/a"},
      {"/{\"json\":1}|x", TargetForm::Origin, "", "/{\"json\":1}|x"},
      {"HTTPS://Example.com:8443/p?q", TargetForm::Absolute, "Example.com:8443", "/p?q"},
      {"https://[::1]:443", TargetForm::Absolute, "[::1]:443", ""},
      {"https://h?q=1", TargetForm::Absolute, "h", "?q=1"},
      {"example.com:443", TargetForm::Authority, "example.com:443", ""},
      {"*", TargetForm::Asterisk, "", ""},
      {"/a b", std::nullopt, "", ""},
      {"/a<b>", std::nullopt, "", ""},
      {"/\xc3\xa9", std::nullopt, "", ""},
      {"/a`b", std::nullopt, "", ""},
      {"/a?b c", std::nullopt, "", ""},
      {"", std::nullopt, "", ""},
      {"https://ex ample/", std::nullopt, "", ""},
      {"relative/path", std::nullopt, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto t = parse_request_target(c.text);
    ASSERT_EQ(t.has_value(), c.form.has_value());
    if (!t) continue;
    EXPECT_EQ(t->form, *c.form);
    EXPECT_EQ(t->authority, c.authority);
    EXPECT_EQ(t->path_and_query, c.pq);
  }
  EXPECT_EQ(parse_request_target("https://Example.com/x")->scheme, "https");
  EXPECT_EQ(parse_request_target("/p/q?x")->path(), "/p/q");
}

TEST(UpstreamTargets, ConnectAuthority) {
  EXPECT_EQ(connect_authority("::1", 443), "[::1]");
  EXPECT_EQ(connect_authority("::1", 8443), "[::1]:8443");
  EXPECT_EQ(connect_authority("api.example.com", 443), "api.example.com");
  EXPECT_EQ(connect_authority("api.example.com", 8443), "api.example.com:8443");
}

TEST(UpstreamResponses, StaticErrorResponse) {
  ProxyResponse r = static_error_response(504, "QB-5070: upstream timed out");
  EXPECT_EQ(r.status, 504u);
  ASSERT_EQ(r.headers.fields().size(), 1u);
  EXPECT_EQ(r.headers.fields()[0].name, "content-type");
  EXPECT_EQ(r.headers.fields()[0].value, "text/plain; charset=utf-8");
  EXPECT_EQ(r.static_body, "QB-5070: upstream timed out\n");
  EXPECT_EQ(r.body, nullptr);
}

// A body that yields `chunks` single bytes, each after `gap`; then its end.
class TrickleBody final : public BodyReader {
 public:
  TrickleBody(std::chrono::milliseconds gap, int chunks) : gap_(gap), left_(chunks) {}
  asio::awaitable<BodyResult> read_some(char* buf, std::size_t) override {
    if (left_ == 0) co_return std::size_t{0};
    timer_.emplace(co_await asio::this_coro::executor);
    timer_->expires_after(gap_);
    boost::system::error_code ec;
    co_await timer_->async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return BodyError("cancelled");
    --left_;
    buf[0] = 'x';
    co_return std::size_t{1};
  }
  std::optional<std::uint64_t> known_length() const override { return std::nullopt; }
  bool at_end() const override { return left_ == 0; }
  void cancel() override {
    if (timer_) timer_->cancel();
  }

 private:
  std::chrono::milliseconds gap_;
  int left_;
  std::optional<asio::steady_timer> timer_;
};

struct Drained {
  std::size_t bytes = 0;
  std::string error;
};

asio::awaitable<Drained> drain(BodyReader* body, std::chrono::milliseconds pause_between_reads) {
  Drained d;
  char buf[16];
  while (true) {
    auto r = co_await body->read_some(buf, sizeof buf);
    if (!r) {
      d.error = r.error().text();
      co_return d;
    }
    if (*r == 0) co_return d;
    d.bytes += *r;
    if (pause_between_reads.count() > 0) {
      asio::steady_timer t(co_await asio::this_coro::executor, pause_between_reads);
      co_await t.async_wait(asio::use_awaitable);
    }
  }
}

Drained run_drain(std::unique_ptr<BodyReader> body, std::chrono::milliseconds pause = 0ms) {
  asio::io_context io;
  // Declared after the context: the body's timer must go first.
  std::unique_ptr<BodyReader> b = std::move(body);
  Drained out;
  asio::co_spawn(io, drain(b.get(), pause), [&](std::exception_ptr, Drained d) { out = std::move(d); });
  io.run();
  return out;
}

TEST(UpstreamDeadlineBody, IdleLimitFailsAStalledRead) {
  auto body = deadline_body_new(std::make_unique<TrickleBody>(10s, 1), BodyTimeouts{50ms, 3600s});
  Drained d = run_drain(std::move(body));
  EXPECT_EQ(d.bytes, 0u);
  EXPECT_EQ(d.error, "QB-5072: body made no progress within the idle timeout; tearing down the tunnel");
}

TEST(UpstreamDeadlineBody, SteadyProgressIsNotIdle) {
  auto body = deadline_body_new(std::make_unique<TrickleBody>(20ms, 5), BodyTimeouts{200ms, 3600s});
  Drained d = run_drain(std::move(body));
  EXPECT_EQ(d.bytes, 5u);
  EXPECT_EQ(d.error, "");
}

TEST(UpstreamDeadlineBody, TimeSpentByTheReaderIsNotIdleTime) {
  // The reader pauses longer than the idle limit between reads (a slow agent): no failure.
  auto body = deadline_body_new(std::make_unique<TrickleBody>(1ms, 3), BodyTimeouts{50ms, 3600s});
  Drained d = run_drain(std::move(body), 150ms);
  EXPECT_EQ(d.bytes, 3u);
  EXPECT_EQ(d.error, "");
}

TEST(UpstreamDeadlineBody, GapsUnderTheLimitAcrossAnEarlierExpiryAreNotIdle) {
  // Each wait starts before the expiry armed for the previous one and ends after it: the timer
  // fires early, finds the wait within its limit and re-arms.
  auto body = deadline_body_new(std::make_unique<TrickleBody>(60ms, 4), BodyTimeouts{100ms, 3600s});
  Drained d = run_drain(std::move(body), 20ms);
  EXPECT_EQ(d.bytes, 4u);
  EXPECT_EQ(d.error, "");
}

TEST(UpstreamDeadlineBody, FinishedBodyLeavesNoTimerBehind) {
  asio::io_context io;
  std::unique_ptr<BodyReader> b = deadline_body_new(std::make_unique<TrickleBody>(1ms, 2), BodyTimeouts{10s, 3600s});
  Drained out;
  asio::co_spawn(io, drain(b.get(), 0ms), [&](std::exception_ptr, Drained d) { out = std::move(d); });
  io.run_for(5s);
  EXPECT_TRUE(io.stopped()) << "the idle timer outlived the body's end";
  EXPECT_EQ(out.bytes, 2u);
}

TEST(UpstreamDeadlineBody, AbsoluteLimitWinsOverProgress) {
  auto body = deadline_body_new(std::make_unique<TrickleBody>(20ms, 1000), BodyTimeouts{1s, 200ms});
  Drained d = run_drain(std::move(body));
  EXPECT_GT(d.bytes, 0u);
  EXPECT_EQ(d.error, "QB-5073: body exceeded the absolute transfer deadline; tearing down the tunnel");
}

}  // namespace
}  // namespace qb
