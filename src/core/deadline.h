// Deadlines in one shape: the work raced with a timer, `co_await within(work(), d)`. The loser is
// cancelled (terminal cancellation, which sockets, timers and Beast's operations honour; a
// cancelled coroutine also stops at its next co_await) and has ended before the result is handed
// back, so nothing outlives the race. Clean-up that must await belongs after the race, not in the
// work. Include only from .cpp files that use Asio.
#pragma once

#include <chrono>
#include <optional>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace qb {

// The one completion token of the data path: errors come back as values, `auto [ec, n] = co_await ...`.
inline constexpr auto use_tuple = boost::asio::as_tuple(boost::asio::use_awaitable);

// Completes once d has passed, or at once when cancelled.
boost::asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d);

// The work's value, or none when d passed first.
template <class T>
boost::asio::awaitable<std::optional<T>> within(boost::asio::awaitable<T> work, std::chrono::steady_clock::duration d) {
  using namespace boost::asio::experimental::awaitable_operators;
  // Named first: temporaries inside a co_await expression are unsafe with g++ 12.
  auto timer = sleep_for(d);
  auto race = std::move(work) || std::move(timer);
  auto won = co_await std::move(race);
  if (won.index() == 1) co_return std::nullopt;
  co_return std::optional<T>(std::move(std::get<0>(won)));
}

// True when the work ended before d passed.
boost::asio::awaitable<bool> within(boost::asio::awaitable<void> work, std::chrono::steady_clock::duration d);

}  // namespace qb
