#include "core/deadline.h"

#include <chrono>
#include <optional>

#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

namespace qb {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

// A connected loopback pair whose server side never writes: a read on the client waits until
// cancelled.
struct SilentPeer {
  explicit SilentPeer(asio::io_context& ctx)
      : acceptor(ctx, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)), client(ctx), server(ctx) {
    client.connect(acceptor.local_endpoint());
    acceptor.accept(server);
  }
  tcp::acceptor acceptor;
  tcp::socket client;
  tcp::socket server;
};

asio::awaitable<int> after(std::chrono::milliseconds d, int value) {
  asio::steady_timer t(co_await asio::this_coro::executor, d);
  co_await t.async_wait(use_tuple);
  co_return value;
}

asio::awaitable<int> read_then_wait_long(tcp::socket& s, bool* went_on) {
  char b;
  co_await s.async_read_some(asio::buffer(&b, 1), use_tuple);
  // Reached only when the cancelled coroutine did not stop at its next co_await.
  asio::steady_timer t(co_await asio::this_coro::executor, 1h);
  co_await t.async_wait(use_tuple);
  *went_on = true;
  co_return 1;
}

asio::awaitable<void> read_one(tcp::socket& s) {
  char b;
  co_await s.async_read_some(asio::buffer(&b, 1), use_tuple);
}

struct Outcome {
  std::optional<int> value;
  bool went_on = false;  // the cancelled work ran past its next co_await
  bool done = false;
};

asio::awaitable<void> race(bool work_first, tcp::socket* silent, Outcome* out) {
  if (work_first) {
    auto timed = within(after(1ms, 7), 1h);
    out->value = co_await std::move(timed);
  } else {
    auto timed = within(read_then_wait_long(*silent, &out->went_on), 5ms);
    out->value = co_await std::move(timed);
  }
  out->done = true;
}

asio::awaitable<void> race_void(std::chrono::milliseconds limit, tcp::socket* s, std::optional<bool>* in_time) {
  auto timed = within(read_one(*s), limit);
  *in_time = co_await std::move(timed);
}

// Each case runs on a context of its own, which runs out of work long before the limit only when
// the loser (the hour-long timer, or the read and the hour-long wait after it) is gone.
TEST(Deadline, WithinGivesTheWorkOrNoneAndLeavesNothingPending) {
  struct Case {
    const char* name;
    bool work_first;
    std::optional<int> want;
  };
  const Case cases[] = {{"work first", true, 7}, {"deadline first", false, std::nullopt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context ctx;
    SilentPeer peer(ctx);
    Outcome out;
    asio::co_spawn(ctx, race(c.work_first, &peer.client, &out), asio::detached);
    ctx.run_for(10s);
    EXPECT_TRUE(ctx.stopped());
    EXPECT_TRUE(out.done);
    EXPECT_EQ(out.value, c.want);
    EXPECT_FALSE(out.went_on);
  }
}

TEST(Deadline, WithinForWorkWithoutAValueTellsWhetherItEndedInTime) {
  for (bool peer_writes : {true, false}) {
    SCOPED_TRACE(peer_writes ? "peer writes" : "peer silent");
    asio::io_context ctx;
    SilentPeer peer(ctx);
    if (peer_writes) asio::write(peer.server, asio::buffer("x", 1));
    std::optional<bool> in_time;
    asio::co_spawn(ctx, race_void(peer_writes ? 1h : 5ms, &peer.client, &in_time), asio::detached);
    ctx.run_for(10s);
    EXPECT_TRUE(ctx.stopped());
    EXPECT_EQ(in_time, peer_writes);
  }
}

}  // namespace
}  // namespace qb
