// A one-shot event for coroutines on one single-threaded context. Include only from .cpp files that use Asio.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace qb {

class AsyncEvent {
 public:
  explicit AsyncEvent(const boost::asio::any_io_executor& ex)
      : timer_(ex, std::chrono::steady_clock::time_point::max()) {}

  void notify() {
    set_ = true;
    timer_.cancel();
  }
  bool is_set() const { return set_; }

  boost::asio::awaitable<void> wait() {
    while (!set_) {
      boost::system::error_code ec;
      co_await timer_.async_wait(boost::asio::redirect_error(boost::asio::use_awaitable, ec));
    }
  }

 private:
  bool set_ = false;
  boost::asio::steady_timer timer_;
};

// A timer that runs an action once when it expires while armed. Disarming (or destroying it)
// guarantees the action will not run afterwards, even when the expiry was already queued.
class Watchdog {
 public:
  explicit Watchdog(const boost::asio::any_io_executor& ex) : timer_(ex) {}
  ~Watchdog() { disarm(); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  template <class Duration>
  void arm(Duration d, std::function<void()> action) {
    disarm();
    state_ = std::make_shared<State>();
    state_->action = std::move(action);
    timer_.expires_after(d);
    timer_.async_wait([s = state_](const boost::system::error_code& ec) {
      if (ec || !s->armed) return;
      s->fired = true;
      s->action();
    });
  }
  void disarm() {
    if (!state_) return;
    state_->armed = false;
    timer_.cancel();
  }
  bool fired() const { return state_ && state_->fired; }

 private:
  struct State {
    bool armed = true;
    bool fired = false;
    std::function<void()> action;
  };
  boost::asio::steady_timer timer_;
  std::shared_ptr<State> state_;
};

}  // namespace qb
