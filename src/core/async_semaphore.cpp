#include "core/async_semaphore.h"

#include "core/deadline.h"

#include <list>
#include <mutex>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace qb {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// Never move-assigned: in this Boost the move assignment recurses into itself; swap instead.
using WaitHandler = asio::any_completion_handler<void(error_code, SemaphorePermit)>;
class WaitRegistry;

struct Waiter {
  std::shared_ptr<detail::SemaphoreCore> core;
  WaitHandler handler;
  asio::any_io_executor ex;    // where the handler runs
  asio::any_io_executor work;  // the same, tracked: the context keeps running while we wait
  WaitRegistry* registry = nullptr;
  bool queued = false;  // guarded by core->mu
  std::list<std::shared_ptr<Waiter>>::iterator pos;
};

// Every queued waiter of one execution context. When the context shuts down, its waiters leave
// their queues and their handlers (with the suspended coroutines) are destroyed, so no grant can
// later post into a context that no longer exists.
class WaitRegistry : public asio::execution_context::service {
 public:
  static inline asio::execution_context::id id;

  explicit WaitRegistry(asio::execution_context& ctx) : asio::execution_context::service(ctx) {}

  // Called with the waiter's core lock held.
  bool add(const std::shared_ptr<Waiter>& w) {
    std::lock_guard lock(mu_);
    if (shut_) return false;
    waiters_.emplace(w.get(), w);
    return true;
  }

  void remove(Waiter* w) {
    std::lock_guard lock(mu_);
    waiters_.erase(w);
  }

 private:
  void shutdown() override;

  std::mutex mu_;
  bool shut_ = false;
  std::unordered_map<Waiter*, std::shared_ptr<Waiter>> waiters_;
};

}  // namespace

namespace detail {

struct SemaphoreCore : std::enable_shared_from_this<SemaphoreCore> {
  explicit SemaphoreCore(std::size_t n) : capacity(n), available(n) {}

  mutable std::mutex mu;
  const std::size_t capacity;
  std::size_t available;
  std::list<std::shared_ptr<Waiter>> queue;

  SemaphorePermit make_permit() { return SemaphorePermit(shared_from_this()); }

  // Takes w out of the queue; core lock held. The caller completes or destroys the handler.
  void unlink(Waiter& w) {
    queue.erase(w.pos);
    w.queued = false;
    w.registry->remove(&w);
  }

  void release_one() {
    asio::any_io_executor work;
    {
      std::lock_guard lock(mu);
      if (queue.empty()) {
        ++available;
        return;
      }
      std::shared_ptr<Waiter> w = queue.front();
      unlink(*w);
      // The permit passes straight to the first waiter. Posting under the lock means a context
      // that shuts down meanwhile either still sees the waiter queued or receives this post first.
      asio::post(w->ex, [h = std::move(w->handler), p = make_permit()]() mutable {
        std::move(h)(error_code{}, std::move(p));
      });
      work = std::move(w->work);
    }
  }

  void cancel(const std::shared_ptr<Waiter>& w) {
    asio::any_io_executor work;
    {
      std::lock_guard lock(mu);
      if (!w->queued) return;  // already granted: the permit is on its way
      unlink(*w);
      asio::post(w->ex, [h = std::move(w->handler)]() mutable {
        std::move(h)(asio::error::operation_aborted, SemaphorePermit{});
      });
      work = std::move(w->work);
    }
  }
};

}  // namespace detail

namespace {

void WaitRegistry::shutdown() {
  std::vector<std::shared_ptr<Waiter>> all;
  {
    std::lock_guard lock(mu_);
    shut_ = true;
    for (auto& entry : waiters_) all.push_back(std::move(entry.second));
    waiters_.clear();
  }
  for (auto& w : all) {
    WaitHandler h;
    asio::any_io_executor work;
    {
      std::lock_guard lock(w->core->mu);
      if (!w->queued) continue;
      w->core->queue.erase(w->pos);
      w->queued = false;
      h.swap(w->handler);
      work = std::move(w->work);
    }
    // The handler, and with it the waiting coroutine, dies here, outside every lock.
  }
}

void start_wait(std::shared_ptr<detail::SemaphoreCore> core, WaitHandler handler, asio::any_io_executor ex) {
  auto slot = asio::get_associated_cancellation_slot(handler);
  auto w = std::make_shared<Waiter>();
  {
    std::unique_lock lock(core->mu);
    if (core->queue.empty() && core->available > 0) {
      --core->available;
      lock.unlock();
      asio::post(ex, [h = std::move(handler), p = core->make_permit()]() mutable {
        std::move(h)(error_code{}, std::move(p));
      });
      return;
    }
    auto& registry = asio::use_service<WaitRegistry>(asio::query(ex, asio::execution::context));
    w->core = core;
    w->handler.swap(handler);
    w->ex = ex;
    w->work = asio::prefer(ex, asio::execution::outstanding_work.tracked);
    w->registry = &registry;
    if (registry.add(w)) {
      core->queue.push_back(w);
      w->pos = std::prev(core->queue.end());
      w->queued = true;
      // Assigned before the lock is released, so a grant cannot complete the handler first.
      // The slot keeps only a weak reference: firing after completion does nothing.
      if (slot.is_connected()) {
        slot.assign([weak = std::weak_ptr<Waiter>(w)](asio::cancellation_type) {
          if (auto waiter = weak.lock()) waiter->core->cancel(waiter);
        });
      }
      return;
    }
  }
  // The context is shutting down: the wait is dropped with its handler.
}

struct AcquireInit {
  std::shared_ptr<detail::SemaphoreCore> core;

  template <class Handler>
  void operator()(Handler&& handler) const {
    asio::any_io_executor ex = asio::get_associated_executor(handler);
    start_wait(core, WaitHandler(std::forward<Handler>(handler)), std::move(ex));
  }
};

SemaphorePermit try_take(const std::shared_ptr<detail::SemaphoreCore>& core) {
  std::unique_lock lock(core->mu);
  if (!core->queue.empty() || core->available == 0) return {};
  --core->available;
  lock.unlock();
  return core->make_permit();
}

asio::awaitable<SemaphorePermit> acquire_impl(std::shared_ptr<detail::SemaphoreCore> core) {
  if (SemaphorePermit p = try_take(core)) co_return p;
  AcquireInit init{std::move(core)};
  const auto token = asio::as_tuple(asio::use_awaitable);
  auto [ec, permit] = co_await asio::async_initiate<decltype(token), void(error_code, SemaphorePermit)>(init, token);
  co_return std::move(permit);
}

asio::awaitable<SemaphorePermit> acquire_for_impl(std::shared_ptr<detail::SemaphoreCore> core,
                                                  std::chrono::steady_clock::duration timeout) {
  if (SemaphorePermit p = try_take(core)) co_return p;
  auto wait = acquire_impl(std::move(core));
  auto timed = within(std::move(wait), timeout);
  std::optional<SemaphorePermit> r = co_await std::move(timed);
  // Had both finished, the losing permit was destroyed inside the race and went back.
  if (r) co_return std::move(*r);
  co_return SemaphorePermit{};
}

}  // namespace

SemaphorePermit::SemaphorePermit(SemaphorePermit&& other) noexcept : core_(std::move(other.core_)) {}

SemaphorePermit& SemaphorePermit::operator=(SemaphorePermit&& other) noexcept {
  if (this != &other) {
    release();
    core_ = std::move(other.core_);
  }
  return *this;
}

SemaphorePermit::~SemaphorePermit() { release(); }

void SemaphorePermit::release() {
  if (auto core = std::move(core_)) core->release_one();
}

AsyncSemaphore::AsyncSemaphore(std::size_t permits) : core_(std::make_shared<detail::SemaphoreCore>(permits)) {}
AsyncSemaphore::~AsyncSemaphore() = default;

asio::awaitable<SemaphorePermit> AsyncSemaphore::acquire() { return acquire_impl(core_); }

asio::awaitable<SemaphorePermit> AsyncSemaphore::acquire_for(std::chrono::steady_clock::duration timeout) {
  return acquire_for_impl(core_, timeout);
}

SemaphorePermit AsyncSemaphore::try_acquire() { return try_take(core_); }

std::size_t AsyncSemaphore::capacity() const { return core_->capacity; }

std::size_t AsyncSemaphore::available() const {
  std::lock_guard lock(core_->mu);
  return core_->available;
}

std::size_t AsyncSemaphore::waiting() const {
  std::lock_guard lock(core_->mu);
  return core_->queue.size();
}

}  // namespace qb
