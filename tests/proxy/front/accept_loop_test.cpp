#include "proxy/front/accept_loop.h"

#include <signal.h>
#include <sys/resource.h>

#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "proxy/loop_harness.h"

namespace qb {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;
using test::Client;
using test::connect_head;
using test::eventually;
using test::good_auth_line;
using test::LoopServer;
using test::StderrCapture;

using test::all_returned;
using test::settled;

TEST(AcceptLoop, SixtyFifthPendingConnectionWaitsForAPermit) {
  StderrCapture log;
  auto state = test::make_state();
  state->limits.preamble_deadline = 60s;
  LoopServer server(state);
  std::vector<std::unique_ptr<Client>> idle;
  for (std::size_t i = 0; i < CONNECTION_PERMIT_COUNT; ++i) idle.push_back(std::make_unique<Client>(server.port()));
  ASSERT_TRUE(eventually([&] { return state->connection_permits->available() == 0; }));

  Client late(server.port());  // sits in the listener's backlog
  late.send(connect_head("example.test", good_auth_line()));
  ASSERT_TRUE(eventually([&] { return state->connection_permits->waiting() == 1; }));

  idle.front()->close();  // its task ends, and its permit lets the late one in
  EXPECT_EQ(late.read_exactly(REPLY_200.size()), REPLY_200);
  idle.clear();
  EXPECT_TRUE(eventually([&] { return settled(*state); }));
}

TEST(AcceptLoop, ShutdownWhileWaitingForAPermitReleasesEverything) {
  StderrCapture log;
  auto state = test::make_state(4, 1);
  state->limits.preamble_deadline = 60s;
  auto server = std::make_unique<LoopServer>(state);
  Client idle(server->port());
  ASSERT_TRUE(eventually([&] { return state->connection_permits->waiting() == 1; }));
  server->stop();
  ASSERT_TRUE(eventually([&] { return server->finished(); }));
  EXPECT_EQ(state->connection_permits->waiting(), 0u);
  server.reset();  // the runtime drops the idle connection's task
  EXPECT_TRUE(all_returned(*state));
  EXPECT_EQ(idle.read_all(), "");
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Run more than once in one process (--gtest_repeat), this also shows that an interrupt taken
// by an earlier loop is not remembered by the next one.
TEST(AcceptLoop, CtrlCEndsTheLoopSilently) {
  StderrCapture log;
  auto state = test::make_state();
  state->limits.preamble_deadline = std::chrono::minutes(2);  // the pending client must still be waiting
  auto server = std::make_unique<LoopServer>(state, wait_for_ctrl_c());
  {
    // A served connection shows the loop has passed its first wait, so the handler is in place.
    Client c(server->port());
    c.send(connect_head("example.test", ""));
    EXPECT_EQ(c.read_all(), REPLY_407);
  }
  ASSERT_TRUE(log.wait_for("\n"));
  const std::string before = log.text();
  Client pending(server->port());  // accepted and waiting for its head
  // One permit with the pending connection's task, one with the loop for its next accept.
  ASSERT_TRUE(eventually([&] { return state->connection_permits->available() == CONNECTION_PERMIT_COUNT - 2; }))
      << state->connection_permits->available() << " permits free";
  ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
  ASSERT_TRUE(eventually([&] { return server->finished(); }));
  server.reset();
  EXPECT_EQ(pending.read_all(), "");  // cut off without a reply
  EXPECT_EQ(log.text(), before);
  EXPECT_TRUE(all_returned(*state));
}

// The lowest free descriptor number: with the limit there, no new descriptor can be made.
rlim_t lowest_free_descriptor() {
  const int fd = ::dup(0);
  ::close(fd);
  return static_cast<rlim_t>(fd);
}

TEST(AcceptLoop, AcceptErrorsAreSilentAndTheLoopGoesOn) {
  // The sanitizers' own checks open descriptors, and fail while none are left.
  if (kSanitized) GTEST_SKIP() << "needs descriptors to run out, which the sanitizers cannot bear";
  StderrCapture log;
  auto state = test::make_state();
  state->limits.accept_error_pause = 20ms;
  LoopServer server(state);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);

  ASSERT_TRUE(eventually([&] { return settled(*state); }));  // the loop waits in accept
  Client c(server.port());                                   // the descriptor exists before the limit drops
  ASSERT_TRUE(c.connected());
  // No descriptor is left for accept: it fails with EMFILE for as long as the limit holds.
  rlimit tight = saved;
  tight.rlim_cur = lowest_free_descriptor();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::this_thread::sleep_for(100ms);  // lets several failed accepts happen
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

  c.send(connect_head("example.test", ""));
  EXPECT_EQ(c.read_all(), REPLY_407);
  ASSERT_TRUE(log.wait_for("\n"));
  EXPECT_EQ(log.text(), "proxy: 407 \u2014 CONNECT rejected, bad or missing Proxy-Authorization\n");
  EXPECT_TRUE(eventually([&] { return settled(*state); }));
}

// Holds the tunnel a moment, then closes.
class BriefTunnel : public TunnelHandler {
 public:
  asio::awaitable<ProxyResult<void>> serve(tcp::socket client, ConnectRequest request,
                                           std::shared_ptr<const ProxyState> state) override {
    (void)request;
    (void)state;
    asio::steady_timer t(client.get_executor(), 2ms);
    auto op = t.async_wait(asio::as_tuple(asio::use_awaitable));
    co_await std::move(op);
    co_return ProxyResult<void>{};
  }
};

TEST(AcceptLoop, StressEveryPermitAndSlotComesBack) {
  StderrCapture log;
  auto state = test::make_state(3, 6);
  state->limits.preamble_deadline = 300ms;
  state->limits.slot_wait_deadline = 20ms;
  state->tunnel = std::make_shared<BriefTunnel>();
  LoopServer server(state);

  std::vector<std::thread> clients;
  for (int t = 0; t < 12; ++t) {
    clients.emplace_back([&, t] {
      std::minstd_rand rng(static_cast<unsigned>(t + 1));
      for (int i = 0; i < 25; ++i) {
        Client c(server.port());
        switch (rng() % 6) {
          case 0:
            c.send(connect_head("example.test", good_auth_line()));
            break;
          case 1:
            c.send(connect_head("example.test", "Proxy-Authorization: Basic eA=="));
            break;
          case 2:
            c.send(connect_head("127.0.0.1", good_auth_line()));
            break;
          case 3:
            c.send("GET / HTTP/1.1\r\n\r\n");
            break;
          case 4:
            c.send("CONNECT exam");  // then silence until the head deadline
            break;
          default:
            c.close();  // gone before a byte
            continue;
        }
        if (rng() % 3 == 0) {
          c.close();  // leaves without waiting for the answer
        } else {
          c.read_all();
        }
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_TRUE(eventually([&] { return settled(*state); }))
      << state->tunnel_slots->available() << " slots, " << state->connection_permits->available() << " permits";
}

}  // namespace
}  // namespace qb
