// A one-shot event for coroutines on one single-threaded context. Include only from .cpp files that use Asio.
#pragma once

#include <chrono>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

#include "core/deadline.h"

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
      co_await timer_.async_wait(use_tuple);
    }
  }

 private:
  bool set_ = false;
  boost::asio::steady_timer timer_;
};

}  // namespace qb
