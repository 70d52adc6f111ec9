#include "cli/commands.h"

#include <boost/asio/awaitable.hpp>
#include <fmt/format.h>

#include "cli/install_dir.h"
#include "core/output.h"
#include "proxy/ca.h"

namespace qb {
namespace {

// Every command begins by finding and checking the executable's directory.
ProxyResult<std::filesystem::path> checked_install_dir() {
  auto dir = binary_dir();
  if (!dir) return dir.error();
  if (auto ok = check_install_dir(*dir); !ok) return ok.error();
  return dir;
}

ProxyError not_built(std::string_view command) {
  return proxy_error_new(codes::QB_5009, fmt::format("the \"{}\" command is not available in this build", command));
}

}  // namespace

boost::asio::awaitable<ProxyResult<void>> run_serve(Runtime&) {
  auto dir = checked_install_dir();
  if (!dir) co_return dir.error();
  co_return not_built("serve");
}

ProxyResult<void> run_init(Runtime&) {
  auto dir = checked_install_dir();
  if (!dir) return dir.error();
  return not_built("init");
}

ProxyResult<void> run_ca() {
  auto dir = checked_install_dir();
  if (!dir) return dir.error();
  auto ca = load_or_create_ca(*dir);
  if (!ca) return ca.error();
  write_stdout((*ca)->cert_pem());
  return {};
}

}  // namespace qb
