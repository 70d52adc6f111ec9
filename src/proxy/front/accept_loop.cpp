#include "proxy/front/accept_loop.h"

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
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "core/async_semaphore.h"
#include "core/deadline.h"
#include "core/owner_file.h"
#include "proxy/front/connect_front.h"

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

asio::awaitable<std::optional<tcp::socket>> accept_one(tcp::acceptor& listener) {
  auto op = listener.async_accept(asio::as_tuple(asio::use_awaitable));
  auto [ec, socket] = co_await std::move(op);
  if (ec) co_return std::nullopt;
  co_return std::move(socket);
}

// Hands an accepted socket to its worker context; a failure counts as an accept error.
std::optional<tcp::socket> move_to(asio::io_context& home, tcp::socket accepted, const tcp& protocol) {
  error_code ec;
  UniqueFd fd(accepted.release(ec));
  if (ec) return std::nullopt;
  try {
    tcp::socket pinned(home);
    pinned.assign(protocol, fd.get(), ec);
    if (ec) return std::nullopt;
    fd.release();
    return pinned;
  } catch (const boost::system::system_error&) {
    return std::nullopt;
  }
}

// The connection's lease on its context ends with it, dropped tasks included.
asio::awaitable<void> pinned_connection(tcp::socket stream, std::shared_ptr<const ProxyState> state,
                                        SemaphorePermit permit, WorkerContexts::Lease lease) {
  auto task = connection_task(std::move(stream), std::move(state), std::move(permit));
  co_await std::move(task);
  lease.release();
}

}  // namespace

std::unique_ptr<ShutdownSignal> wait_for_ctrl_c() { return std::make_unique<CtrlC>(); }

asio::awaitable<void> run_accept_loop(tcp::acceptor listener, std::shared_ptr<const ProxyState> state,
                                      ShutdownSignal& shutdown, WorkerContexts& workers) {
  using namespace asio::experimental::awaitable_operators;
  error_code pec;
  const tcp protocol = listener.local_endpoint(pec).protocol();
  for (;;) {
    // Each race is built in named steps: g++ 12 mishandles temporaries inside co_await.
    auto stop = shutdown.wait();
    auto take = state->connection_permits->acquire();
    auto first_race = std::move(stop) || std::move(take);
    auto first = co_await std::move(first_race);
    if (first.index() == 0) co_return;  // a permit granted meanwhile went back with the race
    SemaphorePermit permit = std::move(std::get<1>(first));
    if (!permit) co_return;

    auto stop_again = shutdown.wait();
    auto accept = accept_one(listener);
    auto second_race = std::move(stop_again) || std::move(accept);
    auto second = co_await std::move(second_race);
    if (second.index() == 0) co_return;
    std::optional<tcp::socket> accepted = std::move(std::get<1>(second));
    // The context is chosen once the connection is there, so that a client's connections one
    // after the other find the same context, and its idle upstream connections, again.
    WorkerContexts::Lease lease = workers.lease();
    if (accepted) accepted = lease ? move_to(lease.context(), std::move(*accepted), protocol) : std::nullopt;
    if (!accepted) {
      permit.release();
      lease.release();
      auto stop_pausing = shutdown.wait();
      auto pause = sleep_for(state->limits.accept_error_pause);
      auto pause_race = std::move(stop_pausing) || std::move(pause);
      if ((co_await std::move(pause_race)).index() == 0) co_return;
      continue;
    }
    asio::io_context& home = lease.context();
    asio::co_spawn(home, pinned_connection(std::move(*accepted), state, std::move(permit), std::move(lease)),
                   asio::detached);
  }
}

}  // namespace qb
