#include "core/async_semaphore.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "core/runtime.h"

namespace qb {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

asio::awaitable<void> take_in_turn(std::shared_ptr<AsyncSemaphore> sem, int id,
                                   std::shared_ptr<std::vector<int>> order) {
  SemaphorePermit p = co_await sem->acquire();
  if (p) order->push_back(id);
}

TEST(AsyncSemaphore, WaitersAreServedInArrivalOrder) {
  asio::io_context ctx;
  auto sem = std::make_shared<AsyncSemaphore>(2);
  SemaphorePermit a = sem->try_acquire();
  SemaphorePermit b = sem->try_acquire();
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(sem->try_acquire());

  auto order = std::make_shared<std::vector<int>>();
  for (int i = 0; i < 6; ++i) asio::co_spawn(ctx, take_in_turn(sem, i, order), asio::detached);
  ctx.poll();
  EXPECT_EQ(sem->waiting(), 6u);

  // A returned permit goes to the head of the queue, never back to the free count.
  a.release();
  EXPECT_EQ(sem->available(), 0u);
  EXPECT_EQ(sem->waiting(), 5u);
  b = SemaphorePermit{};  // move-assigning an empty permit releases the old one
  ctx.run();
  EXPECT_EQ(*order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(sem->available(), 2u);
  EXPECT_EQ(sem->waiting(), 0u);
}

TEST(AsyncSemaphore, PermitIsReleasedExactlyOnce) {
  AsyncSemaphore sem(1);
  SemaphorePermit p = sem.try_acquire();
  SemaphorePermit q(std::move(p));
  EXPECT_FALSE(p);  // NOLINT(bugprone-use-after-move): the moved-from permit is empty by contract
  p.release();
  EXPECT_EQ(sem.available(), 0u);
  q.release();
  q.release();
  EXPECT_EQ(sem.available(), 1u);
}

asio::awaitable<void> timed_take(std::shared_ptr<AsyncSemaphore> sem, std::chrono::milliseconds t,
                                 std::shared_ptr<std::optional<bool>> got) {
  SemaphorePermit p = co_await sem->acquire_for(t);
  *got = static_cast<bool>(p);
}

TEST(AsyncSemaphore, TimedOutWaiterLeavesTheQueue) {
  asio::io_context ctx;
  auto sem = std::make_shared<AsyncSemaphore>(1);
  SemaphorePermit held = sem->try_acquire();
  auto first = std::make_shared<std::optional<bool>>();
  auto second = std::make_shared<std::optional<bool>>();
  asio::co_spawn(ctx, timed_take(sem, 5ms, first), asio::detached);
  asio::co_spawn(ctx, timed_take(sem, 60s, second), asio::detached);
  ctx.poll();
  EXPECT_EQ(sem->waiting(), 2u);
  while (!first->has_value()) ctx.run_one();
  EXPECT_FALSE(**first);
  EXPECT_EQ(sem->waiting(), 1u);
  held.release();  // goes to the waiter behind the one that gave up
  ctx.run();
  ASSERT_TRUE(second->has_value());
  EXPECT_TRUE(**second);
  EXPECT_EQ(sem->available(), 1u);
}

TEST(AsyncSemaphore, AcquireForTakesAFreePermitAtOnce) {
  asio::io_context ctx;
  auto sem = std::make_shared<AsyncSemaphore>(1);
  auto got = std::make_shared<std::optional<bool>>();
  asio::co_spawn(ctx, timed_take(sem, 0ms, got), asio::detached);
  ctx.run();
  EXPECT_TRUE(got->value_or(false));
  EXPECT_EQ(sem->available(), 1u);
}

TEST(AsyncSemaphore, CancelledWaiterLeavesTheQueue) {
  asio::io_context ctx;
  auto sem = std::make_shared<AsyncSemaphore>(1);
  SemaphorePermit held = sem->try_acquire();
  asio::cancellation_signal cancel;
  std::optional<bool> cancelled_got;
  asio::co_spawn(ctx, sem->acquire(),
                 asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e, SemaphorePermit p) {
                   cancelled_got = !e && static_cast<bool>(p);
                 }));
  auto order = std::make_shared<std::vector<int>>();
  asio::co_spawn(ctx, take_in_turn(sem, 7, order), asio::detached);
  ctx.poll();
  ASSERT_EQ(sem->waiting(), 2u);
  cancel.emit(asio::cancellation_type::terminal);  // reaches the coroutine through its executor
  ctx.poll();
  EXPECT_EQ(sem->waiting(), 1u);
  EXPECT_EQ(cancelled_got, false);
  held.release();
  ctx.run();
  EXPECT_EQ(*order, std::vector<int>{7});
  EXPECT_EQ(sem->available(), 1u);
}

asio::awaitable<void> hold_sentinel(std::shared_ptr<AsyncSemaphore> sem, std::shared_ptr<int> sentinel) {
  SemaphorePermit p = co_await sem->acquire();
  (void)sentinel;
}

TEST(AsyncSemaphore, DestroyedContextTakesItsWaitersAlong) {
  auto sem = std::make_shared<AsyncSemaphore>(1);
  SemaphorePermit held = sem->try_acquire();
  auto sentinel = std::make_shared<int>(0);
  {
    asio::io_context ctx;
    for (int i = 0; i < 3; ++i) asio::co_spawn(ctx, hold_sentinel(sem, sentinel), asio::detached);
    ctx.poll();
    EXPECT_EQ(sem->waiting(), 3u);
    EXPECT_EQ(sentinel.use_count(), 4);
  }
  // The suspended coroutines are gone, and nothing is posted into the dead context.
  EXPECT_EQ(sem->waiting(), 0u);
  EXPECT_EQ(sentinel.use_count(), 1);
  held.release();
  EXPECT_EQ(sem->available(), 1u);
}

TEST(AsyncSemaphore, ContextWithQueuedWaiterKeepsRunning) {
  // A queued waiter counts as work: run() must not return while it waits.
  asio::io_context ctx;
  auto sem = std::make_shared<AsyncSemaphore>(1);
  auto held = std::make_shared<SemaphorePermit>(sem->try_acquire());
  auto order = std::make_shared<std::vector<int>>();
  asio::co_spawn(ctx, take_in_turn(sem, 1, order), asio::detached);
  std::promise<void> queued;
  std::thread releaser([&, f = queued.get_future()]() mutable {
    f.wait();
    held->release();
  });
  asio::post(ctx, [&] { queued.set_value(); });
  ctx.run();
  releaser.join();
  EXPECT_EQ(*order, std::vector<int>{1});
}

// Many tasks on several threads, with time-outs and cancellations racing grants: at the end every
// permit is back and nobody is queued.
struct StressShared {
  std::shared_ptr<AsyncSemaphore> sem;
  std::atomic<int> inside{0};
  std::atomic<int> max_inside{0};
  std::atomic<int> done{0};
  std::atomic<int> got{0};
  std::atomic<int> elsewhere{0};  // resumed off the waiter's own context
  std::promise<void> all_done;
  int total = 0;
};

asio::awaitable<void> stress_task(std::shared_ptr<StressShared> s, int seed, asio::io_context* home) {
  std::minstd_rand rng(static_cast<unsigned>(seed));
  for (int round = 0; round < 20; ++round) {
    const auto wait = std::chrono::microseconds(rng() % 300);
    SemaphorePermit p;
    if (rng() % 4 == 0) {
      p = co_await s->sem->acquire();
    } else {
      p = co_await s->sem->acquire_for(wait);
    }
    if (!home->get_executor().running_in_this_thread()) ++s->elsewhere;
    if (p) {
      ++s->got;
      const int now = ++s->inside;
      int seen = s->max_inside.load();
      while (now > seen && !s->max_inside.compare_exchange_weak(seen, now)) {
      }
      asio::steady_timer t(co_await asio::this_coro::executor, std::chrono::microseconds(rng() % 200));
      co_await t.async_wait(asio::use_awaitable);
      --s->inside;
    }
  }
  if (++s->done == s->total) s->all_done.set_value();
}

TEST(AsyncSemaphore, StressReturnsEveryPermit) {
  Runtime rt(6);
  auto s = std::make_shared<StressShared>();
  s->sem = std::make_shared<AsyncSemaphore>(3);
  s->total = 200;
  auto finished = s->all_done.get_future();
  for (int i = 0; i < s->total; ++i) {
    asio::io_context& home = rt.worker_context(static_cast<std::size_t>(i) % rt.worker_threads());
    asio::co_spawn(home, stress_task(s, i, &home), asio::detached);
  }
  ASSERT_EQ(finished.wait_for(120s), std::future_status::ready);
  EXPECT_GT(s->got.load(), 0);
  EXPECT_LE(s->max_inside.load(), 3);
  EXPECT_EQ(s->sem->available(), 3u);
  EXPECT_EQ(s->sem->waiting(), 0u);
  EXPECT_EQ(s->elsewhere.load(), 0);
}

}  // namespace
}  // namespace qb
