// A thread whose join has a limit, for the teardowns of test servers and harnesses: a thread
// that does not end in time is reported and the test program aborts, so a broken server fails
// its test instead of hanging the suite.
#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace qb::test {

// Generous: every teardown that works ends in milliseconds, even under the sanitizers.
inline constexpr std::chrono::seconds kTeardownLimit{30};

class BoundedThread {
 public:
  BoundedThread() = default;
  template <class F>
  explicit BoundedThread(F body) : done_(std::make_shared<Done>()) {
    thread_ = std::thread([done = done_, body = std::move(body)]() mutable {
      struct Mark {
        Done& d;
        ~Mark() {
          std::lock_guard lock(d.mu);
          d.ended = true;
          d.cv.notify_all();
        }
      } mark{*done};
      body();
    });
  }
  BoundedThread(BoundedThread&&) noexcept = default;
  // A thread still held is joined first, within the limit.
  BoundedThread& operator=(BoundedThread&& other) noexcept {
    if (this != &other) {
      join_or_abort(kTeardownLimit, "a test thread");
      done_ = std::move(other.done_);
      thread_ = std::move(other.thread_);
    }
    return *this;
  }
  BoundedThread(const BoundedThread&) = delete;
  BoundedThread& operator=(const BoundedThread&) = delete;
  ~BoundedThread() { join_or_abort(kTeardownLimit, "a test thread"); }

  bool joinable() const { return thread_.joinable(); }

  // Joins the thread if it ends within the limit; false when it is still running (not joined).
  bool join_for(std::chrono::milliseconds limit) {
    if (!thread_.joinable()) return true;
    {
      std::unique_lock lock(done_->mu);
      if (!done_->cv.wait_for(lock, limit, [&] { return done_->ended; })) return false;
    }
    thread_.join();
    return true;
  }

  // As join_for; a thread still running after the limit ends the test program loudly.
  void join_or_abort(std::chrono::milliseconds limit, std::string_view what) {
    if (join_for(limit)) return;
    const std::string line = "test teardown: " + std::string(what) + " did not end in time; aborting\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
    std::abort();
  }

 private:
  struct Done {
    std::mutex mu;
    std::condition_variable cv;
    bool ended = false;
  };
  std::shared_ptr<Done> done_;
  std::thread thread_;
};

}  // namespace qb::test
