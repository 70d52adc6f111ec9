// The runtime every command runs on: a main I/O context driven by the calling thread, a
// multi-threaded worker context for connection tasks, and a growing pool for blocking jobs.
#pragma once

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

// The worker count: TOKIO_WORKER_THREADS when set (a positive integer), else the number of
// online processors, 1 when that is unknown. The error is the line to print.
Result<std::size_t, std::string> worker_threads_from_env();

class Runtime {
 public:
  // The runtime, or the line to print when it cannot be built ("Failed building the Runtime: "
  // and the cause, for instance a worker thread that could not be started).
  static Result<std::unique_ptr<Runtime>, std::string> build(std::size_t worker_threads,
                                                             std::size_t max_blocking_threads = 512);

  // As build, for tests and tools that need no report: throws std::system_error when a worker
  // thread cannot be started (the workers already started are stopped first).
  Runtime(std::size_t worker_threads, std::size_t max_blocking_threads = 512);
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  boost::asio::io_context& main_context();
  boost::asio::io_context& worker_context();
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
