// Coroutine glue for the runtime. Include only from .cpp files that already use Asio.
#pragma once

#include <cstdlib>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "core/runtime.h"

namespace qb {

// Runs f on the blocking pool and resumes the awaiting coroutine on its own executor with f's
// result. The job keeps running even when the awaiting coroutine is destroyed meanwhile.
//
// With g++ 12, never put a temporary that has a destructor inside a co_await expression (for
// example a lambda with captures passed straight to this function): when the coroutine is
// destroyed while suspended there, the compiler destroys that temporary twice. Name it first.
template <class F>
boost::asio::awaitable<std::invoke_result_t<F>> spawn_blocking(BlockingPool& pool, F f) {
  namespace asio = boost::asio;
  using R = std::invoke_result_t<F>;
  static_assert(!std::is_void_v<R>, "blocking jobs return a value");
  return asio::async_initiate<decltype(asio::use_awaitable), void(R)>(
      [&pool](auto handler, F job) {
        using H = decltype(handler);
        auto h = std::make_shared<std::optional<H>>(std::move(handler));
        auto ex = asio::get_associated_executor(**h);
        auto work = std::make_shared<asio::executor_work_guard<decltype(ex)>>(ex);
        auto run = [h, ex, work, job = std::make_shared<F>(std::move(job))]() mutable {
          R r = (*job)();
          asio::post(ex, [h, r = std::move(r)]() mutable {
            H done = std::move(**h);
            h->reset();
            std::move(done)(std::move(r));
          });
          work->reset();
        };
        // A pool that cannot take the job (no thread could be started) must not leave the
        // awaiting coroutine suspended for ever: the job then runs here.
        if (!pool.submit(run)) run();
      },
      asio::use_awaitable, std::move(f));
}

// Drives an awaitable to completion on the runtime's main context from the calling thread.
template <class T>
T block_on(Runtime& rt, boost::asio::awaitable<T> body) {
  namespace asio = boost::asio;
  std::optional<T> out;
  std::exception_ptr failure;
  // When the body is done the main context stops: tasks it left behind are dropped with the
  // runtime, as blocking jobs still running are waited for.
  asio::co_spawn(rt.main_context(), std::move(body), [&](std::exception_ptr e, T v) {
    failure = e;
    if (!e) out.emplace(std::move(v));
    rt.main_context().stop();
  });
  rt.main_context().restart();  // a previous body stopped it
  rt.main_context().run();
  if (failure) std::rethrow_exception(failure);
  if (!out) std::abort();  // the context was stopped from elsewhere before the body finished
  return std::move(*out);
}

}  // namespace qb
