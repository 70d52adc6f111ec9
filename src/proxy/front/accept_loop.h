// The accept loop that "serve" ends in, and the Ctrl-C signal that ends it.
#pragma once

#include <memory>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "core/runtime.h"
#include "proxy/proxy_state.h"

namespace qb {

// What ends the accept loop. A wait may be abandoned (cancelled) and awaited again; a request
// that arrives while nobody waits is kept for the next wait.
class ShutdownSignal {
 public:
  virtual ~ShutdownSignal() = default;
  virtual boost::asio::awaitable<void> wait() = 0;
};

// Ctrl-C (SIGINT only). The handler is installed by the first wait, on that wait's executor; if it
// cannot be installed, every wait completes at once. Once installed, SIGINT stays caught for the
// rest of the process: after this object is gone it is ignored, so a second Ctrl-C cannot cut
// short the final shutdown.
std::unique_ptr<ShutdownSignal> wait_for_ctrl_c();

// Admits connections until shutdown completes: takes a connection permit before each accept and
// runs one connection_task per accepted stream, pinned to the worker context with the fewest live
// connections, where all of that connection runs to its end. Accept errors are
// dropped silently, with a short pause (state->limits.accept_error_pause) so a lack of file
// descriptors does not spin the loop. Never fails; the listener is closed on return.
boost::asio::awaitable<void> run_accept_loop(boost::asio::ip::tcp::acceptor listener,
                                             std::shared_ptr<const ProxyState> state, ShutdownSignal& shutdown,
                                             WorkerContexts& workers);

}  // namespace qb
