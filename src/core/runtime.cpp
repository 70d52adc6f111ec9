#include "core/runtime.h"

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <list>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include "core/output.h"
#include "core/text.h"

namespace qb {

struct BlockingPool::Impl {
  struct Worker {
    std::thread thread;
    bool done = false;  // left its loop; joining it is quick
  };

  std::size_t max_threads;
  std::mutex mu;
  std::condition_variable cv;       // jobs or shutdown
  std::condition_variable done_cv;  // a thread ended
  std::deque<std::function<void()>> queue;
  // Threads are joined, never detached: a thread's own exit work (the crypto library's
  // per-thread state among it) must be over before the pool is gone.
  std::list<Worker> workers;
  std::size_t threads = 0;
  std::size_t idle = 0;
  bool stopping = false;

  static constexpr auto kKeepAlive = std::chrono::seconds(10);

  static void worker(Impl* self, Worker* me) {
    std::unique_lock lock(self->mu);
    for (;;) {
      if (self->stopping) break;
      if (self->queue.empty()) {
        ++self->idle;
        const bool woke = self->cv.wait_for(lock, kKeepAlive, [&] { return self->stopping || !self->queue.empty(); });
        --self->idle;
        if (!woke) break;
        continue;
      }
      auto job = std::move(self->queue.front());
      self->queue.pop_front();
      lock.unlock();
      job();
      job = nullptr;  // the job's captures die outside the lock
      lock.lock();
    }
    --self->threads;
    me->done = true;
    self->done_cv.notify_all();
  }

  // Joins threads that have retired. Called with the lock held; releases it while joining.
  void reap(std::unique_lock<std::mutex>& lock) {
    std::list<Worker> finished;
    for (auto it = workers.begin(); it != workers.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), workers, it);
      it = next;
    }
    if (finished.empty()) return;
    lock.unlock();
    for (auto& w : finished) w.thread.join();
    lock.lock();
  }
};

BlockingPool::BlockingPool(std::size_t max_threads) : impl_(std::make_shared<Impl>()) {
  impl_->max_threads = max_threads == 0 ? 1 : max_threads;
}

BlockingPool::~BlockingPool() { shutdown(); }

bool BlockingPool::submit(std::function<void()> job) {
  std::unique_lock lock(impl_->mu);
  if (impl_->stopping) return false;
  impl_->reap(lock);
  if (impl_->stopping) return false;
  impl_->queue.push_back(std::move(job));
  if (impl_->idle >= impl_->queue.size() || impl_->threads >= impl_->max_threads) {
    impl_->cv.notify_one();
    return true;
  }
  ++impl_->threads;
  Impl::Worker& w = impl_->workers.emplace_back();
  try {
    w.thread = std::thread(&Impl::worker, impl_.get(), &w);
  } catch (const std::system_error&) {
    // Out of threads: the job waits for a running thread, or is handed back when there is none.
    --impl_->threads;
    impl_->workers.pop_back();
    if (impl_->threads == 0) {
      impl_->queue.pop_back();
      return false;
    }
    impl_->cv.notify_one();
  }
  return true;
}

void BlockingPool::shutdown() {
  std::deque<std::function<void()>> dropped;
  std::list<Impl::Worker> all;
  {
    std::unique_lock lock(impl_->mu);
    impl_->stopping = true;
    dropped.swap(impl_->queue);
    impl_->cv.notify_all();
    impl_->done_cv.wait(lock, [&] { return impl_->threads == 0; });
    all.swap(impl_->workers);
  }
  for (auto& w : all) w.thread.join();
  // Queued jobs are destroyed here, after every running one has finished.
}

std::size_t BlockingPool::max_threads() const { return impl_->max_threads; }

std::size_t BlockingPool::thread_count() const {
  std::lock_guard lock(impl_->mu);
  return impl_->threads;
}

std::string RuntimeError::display() const { return fmt::format("Failed building the Runtime: {}", cause); }

RuntimeResult<std::size_t> worker_threads_from_env() {
  if (const char* v = std::getenv("TOKIO_WORKER_THREADS")) {
    std::string_view text(v);
    std::size_t n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n == 0) {
      return RuntimeError(
          fmt::format("TOKIO_WORKER_THREADS must be a positive integer, got {}", sanitize_for_log(debug_quote(text))));
    }
    return n;
  }
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : std::size_t{1};
}

namespace {

// A task that throws ends itself, not the process: the worker reports it and goes on, as a
// failed connection must never take the others down.
void run_worker(boost::asio::io_context& ctx) {
  for (;;) {
    try {
      ctx.run();
      return;
    } catch (const std::exception& e) {
      write_stderr(fmt::format("internal error in a connection task: {}\n", sanitize_for_log(e.what())));
    } catch (...) {
      write_stderr("internal error in a connection task\n");
    }
  }
}

}  // namespace

struct WorkerContexts::Impl {
  struct Worker {
    // Before the context: leases in the tasks the context drops at its end still count down.
    std::atomic<std::size_t> live{0};
    boost::asio::io_context ctx{1};
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard{ctx.get_executor()};
    std::thread thread;
  };
  std::vector<std::unique_ptr<Worker>> workers;
};

WorkerContexts::Lease::Lease(Lease&& other) noexcept
    : ctx_(std::exchange(other.ctx_, nullptr)), live_(std::exchange(other.live_, nullptr)), index_(other.index_) {}

WorkerContexts::Lease& WorkerContexts::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    release();
    ctx_ = std::exchange(other.ctx_, nullptr);
    live_ = std::exchange(other.live_, nullptr);
    index_ = other.index_;
  }
  return *this;
}

WorkerContexts::Lease::~Lease() { release(); }

void WorkerContexts::Lease::release() {
  if (live_) live_->fetch_sub(1, std::memory_order_relaxed);
  live_ = nullptr;
  ctx_ = nullptr;
}

std::size_t WorkerContexts::size() const { return impl_.workers.size(); }
boost::asio::io_context& WorkerContexts::at(std::size_t i) { return impl_.workers.at(i)->ctx; }
std::size_t WorkerContexts::live(std::size_t i) const {
  return impl_.workers.at(i)->live.load(std::memory_order_relaxed);
}

WorkerContexts::Lease WorkerContexts::lease() {
  const auto& all = impl_.workers;
  if (all.empty()) return {};
  std::size_t best = 0;
  std::size_t best_live = all[0]->live.load(std::memory_order_relaxed);
  for (std::size_t i = 1; i < all.size() && best_live > 0; ++i) {
    const std::size_t n = all[i]->live.load(std::memory_order_relaxed);
    if (n < best_live) {
      best = i;
      best_live = n;
    }
  }
  all[best]->live.fetch_add(1, std::memory_order_relaxed);
  return Lease(&all[best]->ctx, &all[best]->live, best);
}

struct Runtime::Impl {
  boost::asio::io_context main_ctx{1};
  BlockingPool pool;
  WorkerContexts::Impl worker_set;
  WorkerContexts workers{worker_set};
  bool shut = false;

  void stop_workers() {
    for (auto& w : worker_set.workers) {
      w->guard.reset();
      w->ctx.stop();
    }
    for (auto& w : worker_set.workers)
      if (w->thread.joinable()) w->thread.join();
  }

  Impl(std::size_t n, std::size_t max_blocking) : pool(max_blocking) {
    // Every context first (their descriptors may run out), then the threads.
    worker_set.workers.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      auto w = std::make_unique<WorkerContexts::Impl::Worker>();
      // The first timer sets up the context's reactor and its descriptors: done now, so that a
      // lack of them fails the build and the process holds the same descriptors from the start.
      boost::asio::steady_timer probe(w->ctx);
      worker_set.workers.push_back(std::move(w));
    }
    try {
      for (auto& w : worker_set.workers) w->thread = std::thread([ctx = &w->ctx] { run_worker(*ctx); });
    } catch (...) {
      // A thread that could not start: the ones running are stopped and joined, never left
      // joinable (that would end the process).
      stop_workers();
      throw;
    }
  }
};

RuntimeResult<std::unique_ptr<Runtime>> Runtime::build(std::size_t worker_threads, std::size_t max_blocking_threads) {
  try {
    return std::make_unique<Runtime>(worker_threads, max_blocking_threads);
  } catch (const std::system_error& e) {
    const bool os = e.code().category() == std::generic_category() || e.code().category() == std::system_category();
    return RuntimeError(os ? os_error_text(e.code().value()) : e.what());
  } catch (const boost::system::system_error& e) {
    // The I/O contexts' own descriptors (epoll, eventfd) could not be made.
    const auto& cat = e.code().category();
    const bool os = cat == boost::system::system_category() || cat == boost::system::generic_category();
    return RuntimeError(os ? os_error_text(e.code().value()) : e.what());
  } catch (const std::bad_alloc&) {
    return RuntimeError("out of memory");
  }
}

Runtime::Runtime(std::size_t worker_threads, std::size_t max_blocking_threads)
    : impl_(std::make_unique<Impl>(worker_threads, max_blocking_threads)) {}

Runtime::~Runtime() { shutdown(); }

boost::asio::io_context& Runtime::main_context() { return impl_->main_ctx; }
boost::asio::io_context& Runtime::worker_context(std::size_t i) { return impl_->workers.at(i); }
WorkerContexts& Runtime::workers() { return impl_->workers; }
BlockingPool& Runtime::blocking() { return impl_->pool; }
std::size_t Runtime::worker_threads() const { return impl_->workers.size(); }

void Runtime::shutdown() {
  if (impl_->shut) return;
  impl_->shut = true;
  impl_->main_ctx.stop();
  impl_->stop_workers();
  impl_->pool.shutdown();
  // Handlers still queued in either context (dropped connection tasks) are destroyed with the
  // contexts, after the pool can no longer post into them.
}

}  // namespace qb
