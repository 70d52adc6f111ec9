#include "core/deadline.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

namespace qb {

namespace asio = boost::asio;

asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d) {
  asio::steady_timer timer(co_await asio::this_coro::executor, d);
  auto wait = timer.async_wait(use_tuple);
  co_await std::move(wait);
}

asio::awaitable<bool> within(asio::awaitable<void> work, std::chrono::steady_clock::duration d) {
  using namespace asio::experimental::awaitable_operators;
  auto timer = sleep_for(d);
  auto race = std::move(work) || std::move(timer);
  auto won = co_await std::move(race);
  co_return won.index() == 0;
}

}  // namespace qb
