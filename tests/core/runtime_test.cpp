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
  asio::post(rt.worker_context(), [] { throw std::runtime_error("boom"); });
  std::promise<int> got;
  asio::co_spawn(rt.worker_context(), later_task(), [&](std::exception_ptr, int v) { got.set_value(v); });
  EXPECT_EQ(got.get_future().get(), 7);
}

TEST(Runtime, WorkerCountFromEnvironment) {
  {
    test::ScopedEnv env("TOKIO_WORKER_THREADS", "3");
    EXPECT_EQ(*worker_threads_from_env(), 3u);
    for (const char* bad : {"0", "-1", "two", "3x", ""}) {
      env.set("TOKIO_WORKER_THREADS", bad);
      auto r = worker_threads_from_env();
      ASSERT_FALSE(r) << bad;
      EXPECT_NE(r.error().find("Failed building the Runtime"), std::string::npos);
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
  const std::string line = refused.error() + "\n";
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
