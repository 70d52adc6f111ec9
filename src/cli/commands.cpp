#include "cli/commands.h"

#include <fmt/format.h>
#include <boost/asio/awaitable.hpp>

#include "cli/enrol.h"
#include "cli/install_dir.h"
#include "core/output.h"
#include "proxy/intercept/ca.h"

namespace qb {
namespace {

// Every command begins by finding and checking the executable's directory.
ProxyResult<std::filesystem::path> checked_install_dir() {
  QB_TRY(auto dir, binary_dir());
  QB_TRY_VOID(check_install_dir(dir));
  return dir;
}

}  // namespace

ProxyResult<void> run_init(Runtime&) {
  QB_TRY_VOID(checked_install_dir());
  QB_TRY(auto path, config_path());
  return enrol_into(path);
}

ProxyResult<void> run_ca() {
  QB_TRY(auto dir, checked_install_dir());
  QB_TRY(auto ca, load_or_create_ca(dir));
  write_stdout(ca->cert_pem());
  return {};
}

}  // namespace qb
