// An asynchronous counting semaphore that serves waiters strictly in arrival order. Safe to use
// from several threads and execution contexts at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

#include <boost/asio/awaitable.hpp>

namespace qb {

namespace detail {
struct SemaphoreCore;
}

// One owned permit. Released when destroyed or by release(), exactly once; moving hands the
// permit on. A default-constructed (or moved-from) permit holds nothing.
class SemaphorePermit {
 public:
  SemaphorePermit() = default;
  SemaphorePermit(SemaphorePermit&& other) noexcept;
  SemaphorePermit& operator=(SemaphorePermit&& other) noexcept;
  SemaphorePermit(const SemaphorePermit&) = delete;
  SemaphorePermit& operator=(const SemaphorePermit&) = delete;
  ~SemaphorePermit();

  explicit operator bool() const { return core_ != nullptr; }
  void release();

 private:
  friend struct detail::SemaphoreCore;
  explicit SemaphorePermit(std::shared_ptr<detail::SemaphoreCore> core) : core_(std::move(core)) {}
  std::shared_ptr<detail::SemaphoreCore> core_;
};

class AsyncSemaphore {
 public:
  explicit AsyncSemaphore(std::size_t permits);
  ~AsyncSemaphore();
  AsyncSemaphore(const AsyncSemaphore&) = delete;
  AsyncSemaphore& operator=(const AsyncSemaphore&) = delete;

  // Waits behind every earlier waiter. Cancelling the awaiting operation (or destroying its
  // coroutine, or its execution context) leaves the queue; a permit granted in that moment goes
  // back to the semaphore. Completes with an empty permit only when cancelled.
  boost::asio::awaitable<SemaphorePermit> acquire();

  // As acquire, but gives up after the timeout: an empty permit then.
  boost::asio::awaitable<SemaphorePermit> acquire_for(std::chrono::steady_clock::duration timeout);

  // A permit now, if one is free and nobody is waiting; empty otherwise.
  SemaphorePermit try_acquire();

  std::size_t capacity() const;
  std::size_t available() const;
  std::size_t waiting() const;

 private:
  std::shared_ptr<detail::SemaphoreCore> core_;
};

}  // namespace qb
