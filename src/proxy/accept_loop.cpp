#include "proxy/accept_loop.h"

#include <csignal>
#include <optional>
#include <utility>
#include <variant>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "core/async_semaphore.h"
#include "core/deadline.h"
#include "proxy/connect_front.h"

namespace qb {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

class CtrlC final : public ShutdownSignal {
 public:
  ~CtrlC() override {
    if (set_ && !failed_) {
      set_.reset();
      std::signal(SIGINT, SIG_IGN);
    }
  }

  asio::awaitable<void> wait() override {
    if (failed_ || fired_) co_return;
    if (!set_) {
      set_.emplace(co_await asio::this_coro::executor);
      error_code ec;
      set_->add(SIGINT, ec);
      if (ec) {
        // Without a handler the loop ends at once, as on an interrupt.
        failed_ = true;
        co_return;
      }
    }
    // Also completes when the wait is abandoned; the race then ignores it. An interrupt taken by
    // a wait that lost its race is kept, so the next wait completes at once.
    auto op = set_->async_wait(asio::as_tuple(asio::use_awaitable));
    auto [ec, signal] = co_await std::move(op);
    if (!ec) fired_ = true;
  }

 private:
  std::optional<asio::signal_set> set_;
  bool failed_ = false;
  bool fired_ = false;
};

asio::awaitable<std::optional<tcp::socket>> accept_one(tcp::acceptor& listener, asio::any_io_executor ex) {
  auto op = listener.async_accept(ex, asio::as_tuple(asio::use_awaitable));
  auto [ec, socket] = co_await std::move(op);
  if (ec) co_return std::nullopt;
  co_return std::move(socket);
}

bool make_worker_reactor(asio::io_context& workers) {
  try {
    tcp::socket probe(workers);
    return true;
  } catch (const boost::system::system_error&) {
    return false;
  }
}

}  // namespace

std::unique_ptr<ShutdownSignal> wait_for_ctrl_c() { return std::make_unique<CtrlC>(); }

asio::awaitable<void> run_accept_loop(tcp::acceptor listener, std::shared_ptr<const ProxyState> state,
                                      ShutdownSignal& shutdown, asio::io_context& workers) {
  using namespace asio::experimental::awaitable_operators;
  bool workers_ready = false;
  for (;;) {
    // Each race is built in named steps: g++ 12 mishandles temporaries inside co_await.
    auto stop = shutdown.wait();
    auto take = state->connection_permits->acquire();
    auto first_race = std::move(stop) || std::move(take);
    auto first = co_await std::move(first_race);
    if (first.index() == 0) co_return;  // a permit granted meanwhile went back with the race
    SemaphorePermit permit = std::move(std::get<1>(first));
    if (!permit) co_return;

    // The first socket made for the workers sets up their reactor, which takes descriptors of
    // its own. Starting an accept would throw outside this coroutine if that failed, so it is
    // done here, where a failure counts as an accept error.
    if (!workers_ready) workers_ready = make_worker_reactor(workers);
    std::optional<tcp::socket> accepted;
    if (workers_ready) {
      asio::any_io_executor strand = asio::make_strand(workers);
      auto stop_again = shutdown.wait();
      auto accept = accept_one(listener, strand);
      auto second_race = std::move(stop_again) || std::move(accept);
      auto second = co_await std::move(second_race);
      if (second.index() == 0) co_return;
      accepted = std::move(std::get<1>(second));
    }
    if (!accepted) {
      permit.release();
      auto stop_pausing = shutdown.wait();
      auto pause = sleep_for(state->limits.accept_error_pause);
      auto pause_race = std::move(stop_pausing) || std::move(pause);
      if ((co_await std::move(pause_race)).index() == 0) co_return;
      continue;
    }
    auto ex = accepted->get_executor();
    asio::co_spawn(ex, connection_task(std::move(*accepted), state, std::move(permit)), asio::detached);
  }
}

}  // namespace qb
