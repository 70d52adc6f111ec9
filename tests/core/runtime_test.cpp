#include "core/runtime.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <optional>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/steady_timer.hpp>

#include "core/runtime_async.h"
#include "support/process.h"
#include "support/scoped_env.h"

namespace qb {
namespace {

namespace asio = boost::asio;

TEST(Runtime, BlockingJobResultResumesTheCoroutine) {
  Runtime rt(2);
  auto body = [&]() -> asio::awaitable<int> {
    int v = co_await spawn_blocking(rt.blocking(), [] { return 41; });
    co_return v + 1;
  };
  EXPECT_EQ(block_on(rt, body()), 42);
}

TEST(Runtime, RunningJobsAreWaitedForAndQueuedOnesDropped) {
  std::atomic<int> finished{0};
  std::atomic<int> started{0};
  std::promise<void> release;
  auto gate = release.get_future().share();
  {
    BlockingPool pool(1);
    pool.submit([&, gate] {
      ++started;
      gate.wait();
      ++finished;
    });
    pool.submit([&] { ++finished; });  // queued behind the first, then dropped
    while (started.load() == 0) std::this_thread::yield();
    std::thread releaser([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      release.set_value();
    });
    pool.shutdown();
    releaser.join();
    EXPECT_EQ(finished.load(), 1);
    EXPECT_FALSE(pool.submit([] {}));
  }
}

// Parameters by value: the coroutine frame owns them. The jobs are named before co_await (see
// spawn_blocking on g++ 12).
asio::awaitable<void> await_slow_job(BlockingPool& pool, std::string owned, std::shared_ptr<std::atomic<bool>> seen,
                                     std::shared_ptr<std::atomic<bool>> running) {
  auto job = [owned, seen, running] {
    *running = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    *seen = owned.size() == 1000;
    return 0;
  };
  co_await spawn_blocking(pool, std::move(job));
}

asio::awaitable<int> leave_a_job_behind(Runtime& rt, std::shared_ptr<std::atomic<bool>> seen) {
  auto running = std::make_shared<std::atomic<bool>>(false);
  asio::co_spawn(rt.main_context(), await_slow_job(rt.blocking(), std::string(1000, 'x'), seen, running),
                 asio::detached);
  // Return only once the job runs, so that its awaiting coroutine is dropped mid-wait.
  auto wait_until_running = [running] {
    while (!running->load()) std::this_thread::yield();
    return 0;
  };
  co_await spawn_blocking(rt.blocking(), std::move(wait_until_running));
  co_return 0;
}

TEST(Runtime, AJobOutlivesTheCoroutineThatAwaitedIt) {
  auto seen = std::make_shared<std::atomic<bool>>(false);
  {
    Runtime rt(1);
    EXPECT_EQ(block_on(rt, leave_a_job_behind(rt, seen)), 0);
  }
  EXPECT_TRUE(seen->load());
}

TEST(Runtime, PoolGrowsUpToItsLimit) {
  BlockingPool pool(3);
  std::atomic<int> concurrent{0}, peak{0};
  std::promise<void> release;
  auto gate = release.get_future().share();
  for (int i = 0; i < 6; ++i) {
    pool.submit([&, gate] {
      int now = ++concurrent;
      int p = peak.load();
      while (now > p && !peak.compare_exchange_weak(p, now)) {
      }
      gate.wait();
      --concurrent;
    });
  }
  while (peak.load() < 3) std::this_thread::yield();
  EXPECT_EQ(pool.thread_count(), 3u);
  release.set_value();
  pool.shutdown();
  EXPECT_EQ(peak.load(), 3);
}

asio::awaitable<int> later_task() { co_return 7; }

TEST(Runtime, ATaskThatThrowsDoesNotStopTheWorkers) {
  Runtime rt(1);
  asio::post(rt.worker_context(0), [] { throw std::runtime_error("boom"); });
  std::promise<int> got;
  asio::co_spawn(rt.worker_context(0), later_task(), [&](std::exception_ptr, int v) { got.set_value(v); });
  EXPECT_EQ(got.get_future().get(), 7);
}

// Each awaits jobs from its own worker context and notes any resumption on another thread.
asio::awaitable<void> jobs_from(Runtime* rt, asio::io_context* home, std::shared_ptr<std::atomic<int>> off_home,
                                std::shared_ptr<std::atomic<int>> left, std::shared_ptr<std::promise<void>> done) {
  for (int i = 0; i < 20; ++i) {
    auto job = [] { return 1; };
    co_await spawn_blocking(rt->blocking(), std::move(job));
    if (!home->get_executor().running_in_this_thread()) ++*off_home;
  }
  if (--*left == 0) done->set_value();
}

TEST(Runtime, BlockingJobsResumeOnTheContextThatAwaitedThem) {
  Runtime rt(4);
  ASSERT_EQ(rt.worker_threads(), 4u);
  auto off_home = std::make_shared<std::atomic<int>>(0);
  auto left = std::make_shared<std::atomic<int>>(16);
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  for (std::size_t i = 0; i < 16; ++i) {
    asio::io_context& home = rt.worker_context(i % 4);
    asio::co_spawn(home, jobs_from(&rt, &home, off_home, left, done), asio::detached);
  }
  ASSERT_EQ(finished.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(off_home->load(), 0);
}

TEST(Runtime, LeasesGoToTheContextWithFewestLiveConnections) {
  Runtime rt(3);
  WorkerContexts& w = rt.workers();
  ASSERT_EQ(w.size(), 3u);
  auto a = w.lease();
  auto b = w.lease();
  auto c = w.lease();
  // One each, in order, then the first of equals again.
  EXPECT_EQ(a.index(), 0u);
  EXPECT_EQ(b.index(), 1u);
  EXPECT_EQ(c.index(), 2u);
  EXPECT_EQ(&a.context(), &rt.worker_context(0));
  auto d = w.lease();
  EXPECT_EQ(d.index(), 0u);
  b.release();
  auto e = w.lease();
  EXPECT_EQ(e.index(), 1u);
  {
    auto moved = std::move(c);  // a moved lease counts once and ends once
    EXPECT_FALSE(c);
    EXPECT_EQ(w.live(2), 1u);
  }
  EXPECT_EQ(w.live(2), 0u);
  EXPECT_EQ(w.lease().index(), 2u);
  EXPECT_EQ(w.live(0), 2u);
  EXPECT_EQ(w.live(1), 1u);
  EXPECT_FALSE(Runtime(0).workers().lease());
}

// Each context is run by one thread of its own: the two never run on the same thread, and each
// always on the same one.
TEST(Runtime, EachWorkerContextHasAThreadOfItsOwn) {
  std::promise<std::thread::id> first, second, first_again;
  Runtime rt(2);  // after the promises: its threads stop before they go
  asio::post(rt.worker_context(0), [&] { first.set_value(std::this_thread::get_id()); });
  asio::post(rt.worker_context(1), [&] { second.set_value(std::this_thread::get_id()); });
  auto f1 = first.get_future(), f2 = second.get_future(), f3 = first_again.get_future();
  ASSERT_EQ(f1.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  asio::post(rt.worker_context(0), [&] { first_again.set_value(std::this_thread::get_id()); });
  ASSERT_EQ(f2.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  ASSERT_EQ(f3.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  const auto one = f1.get();
  EXPECT_NE(one, f2.get());
  EXPECT_EQ(one, f3.get());
}

TEST(Runtime, WorkerCountFromEnvironment) {
  {
    test::ScopedEnv env("TOKIO_WORKER_THREADS", "3");
    EXPECT_EQ(*worker_threads_from_env(), 3u);
    for (const char* bad : {"0", "-1", "two", "3x", ""}) {
      env.set("TOKIO_WORKER_THREADS", bad);
      auto r = worker_threads_from_env();
      ASSERT_FALSE(r) << bad;
      EXPECT_NE(r.error().display().find("Failed building the Runtime"), std::string::npos);
    }
  }
  test::ScopedEnv unset("TOKIO_WORKER_THREADS", std::nullopt);
  EXPECT_GE(*worker_threads_from_env(), 1u);
}

asio::awaitable<int> await_a_job(Runtime& rt) {
  auto job = [] { return 5; };
  int v = co_await spawn_blocking(rt.blocking(), std::move(job));
  co_return v + 1;
}

// Run in a child that can start no thread; exits 0 when everything held, printing the build error.
void without_threads() {
  if (!test::forbid_new_threads()) std::_Exit(2);
  auto refused = Runtime::build(2);
  if (refused) std::_Exit(3);
  auto no_workers = Runtime::build(0);  // starts no thread itself
  if (!no_workers) std::_Exit(4);
  BlockingPool pool(4);
  if (pool.submit([] {})) std::_Exit(5);  // no thread started and none running: handed back
  // The job the pool cannot take runs where it is awaited.
  if (block_on(**no_workers, await_a_job(**no_workers)) != 6) std::_Exit(6);
  const std::string line = refused.error().display() + "\n";
  (void)!::write(STDERR_FILENO, line.data(), line.size());
  std::_Exit(0);
}

TEST(RuntimeDeathTest, NoThreadGivesTheBuildErrorAndJobsRunWhereAwaited) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(without_threads(), ::testing::ExitedWithCode(0),
              "Failed building the Runtime: Resource temporarily unavailable \\(os error [0-9]+\\)");
}

}  // namespace
}  // namespace qb
