// The commands behind "serve", "init" and "ca".
#pragma once

#include <boost/asio/awaitable.hpp>

#include "core/errors.h"

namespace qb {

class Runtime;

boost::asio::awaitable<ProxyResult<void>> run_serve(Runtime& rt);
ProxyResult<void> run_init(Runtime& rt);
ProxyResult<void> run_ca();

}  // namespace qb
