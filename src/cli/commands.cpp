#include "cli/commands.h"

#include <boost/asio/awaitable.hpp>
#include <fmt/format.h>

#include "cli/enrol.h"
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

}  // namespace

ProxyResult<void> run_init(Runtime&) {
  auto dir = checked_install_dir();
  if (!dir) return dir.error();
  auto path = config_path();
  if (!path) return path.error();
  return enrol_into(*path);
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
