// The guarded resolver's coroutine interface. Include only from .cpp files that already use Asio.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "core/runtime.h"
#include "proxy/front/netguard.h"

namespace qb {

// The upstream connector's name resolver. The look-up runs on the blocking pool, never on an
// I/O thread, so a slow DNS answer stalls only its own connection.
class GuardedResolver {
 public:
  using Lookup = std::function<ResolveResult(const std::string& host)>;

  // The pool must outlive every resolution. lookup defaults to system_lookup; tests inject one.
  GuardedResolver(BlockingPool& pool, bool allow_private, Lookup lookup = {});

  bool allow_private() const { return allow_private_; }

  // Completes with the addresses the guard lets through, in look-up order, or the error.
  // Abandoning the coroutine abandons the result; the look-up itself runs to its end.
  boost::asio::awaitable<ResolveResult> resolve(std::string host) const;

 private:
  BlockingPool* pool_;
  bool allow_private_;
  std::shared_ptr<const Lookup> lookup_;
};

}  // namespace qb
