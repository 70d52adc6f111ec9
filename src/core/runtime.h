// The runtime every command runs on: a main I/O context driven by the calling thread, worker
// contexts of one thread each that connections are pinned to, and a growing pool for blocking
// jobs.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/result.h"

namespace boost::asio {
class io_context;
}

namespace qb {

// Runs blocking jobs on up to max_threads threads, started on demand and retired after a while
// idle. A job owns its data and runs to its end once started; at shutdown running jobs are
// waited for and queued ones are dropped.
class BlockingPool {
 public:
  explicit BlockingPool(std::size_t max_threads = 512);
  ~BlockingPool();
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;

  // Returns false (and drops the job) once the pool is shut down, or when no thread can be
  // started and none is running.
  bool submit(std::function<void()> job);
  void shutdown();

  std::size_t max_threads() const;
  std::size_t thread_count() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// Why the runtime cannot be had; printed as one line, "Failed building the Runtime: {cause}".
struct RuntimeError {
  std::string cause;

  RuntimeError() = default;
  explicit RuntimeError(std::string c) : cause(std::move(c)) {}

  std::string display() const;
};

template <class T>
using RuntimeResult = Result<T, RuntimeError>;

// The worker count: TOKIO_WORKER_THREADS when set (a positive integer), else the number of
// online processors, 1 when that is unknown.
RuntimeResult<std::size_t> worker_threads_from_env();

// The worker contexts, each run by one thread of its own, with the number of live connections
// pinned to each. A connection lives on one context to its end, so its tasks need no strand.
class WorkerContexts {
 public:
  // One connection's hold on its context: counted as live until destroyed.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&& other) noexcept;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease();

    explicit operator bool() const { return ctx_ != nullptr; }
    boost::asio::io_context& context() const { return *ctx_; }
    std::size_t index() const { return index_; }
    void release();

   private:
    friend class WorkerContexts;
    Lease(boost::asio::io_context* ctx, std::atomic<std::size_t>* live, std::size_t index)
        : ctx_(ctx), live_(live), index_(index) {}
    boost::asio::io_context* ctx_ = nullptr;
    std::atomic<std::size_t>* live_ = nullptr;
    std::size_t index_ = 0;
  };

  struct Impl;
  explicit WorkerContexts(Impl& impl) : impl_(impl) {}

  std::size_t size() const;
  boost::asio::io_context& at(std::size_t i);
  std::size_t live(std::size_t i) const;
  // The context with the fewest live connections (the first of equals); empty when there are no
  // workers. Safe from any thread.
  Lease lease();

 private:
  Impl& impl_;
};

class Runtime {
 public:
  // The runtime, or why it cannot be built (for instance a worker thread that could not be
  // started).
  static RuntimeResult<std::unique_ptr<Runtime>> build(std::size_t worker_threads,
                                                       std::size_t max_blocking_threads = 512);

  // As build, for tests and tools that need no report: throws std::system_error when a worker
  // thread cannot be started (the workers already started are stopped first).
  Runtime(std::size_t worker_threads, std::size_t max_blocking_threads = 512);
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  boost::asio::io_context& main_context();
  // Worker i, 0 <= i < worker_threads().
  boost::asio::io_context& worker_context(std::size_t i);
  WorkerContexts& workers();
  BlockingPool& blocking();
  std::size_t worker_threads() const;

  // Stops the workers (their tasks are dropped), waits for running blocking jobs and drops
  // queued ones. Called by the destructor when not called before.
  void shutdown();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qb
