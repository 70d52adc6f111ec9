#include "cli/dispatch.h"

#include <fmt/format.h>

#include "cli/commands.h"
#include "core/errors.h"
#include "core/output.h"
#include "core/runtime_async.h"
#include "core/text.h"
#include "crypto/fips.h"

namespace qb {
namespace {

namespace asio = boost::asio;

asio::awaitable<int> async_main(Runtime& rt, std::vector<std::string> args) {
  const std::string word = args.size() > 1 ? args[1] : std::string();

  if (word == "version" || word == "--version" || word == "-V") {
    write_stdout(version_report());
    co_return 0;
  }

  ProxyResult<void> outcome = ProxyError{};
  if (word == "serve") {
    outcome = co_await run_serve(rt);
  } else if (word == "init") {
    outcome = run_init(rt);
  } else if (word == "ca") {
    outcome = run_ca();
  } else {
    std::string usage = fmt::format("{} {}\nusage: quorbelt-proxy <init|serve|ca|version>\n", kProgramName, kVersion);
    if (!word.empty()) usage += fmt::format("unknown command: {}\n", word);
    write_stderr(usage);
    co_return 1;
  }

  if (outcome) co_return 0;
  write_stderr(fmt::format("{}\n", sanitize_for_log(outcome.error().display())));
  co_return 1;
}

}  // namespace

std::string version_report() {
  const std::string_view v = crypto_library_version();
  return fmt::format("{} {}\ncrypto: OpenSSL {}, {}\n", kProgramName, kVersion, v,
                     fips_mode_enabled() ? "FIPS mode on" : "NOT the validated FIPS module");
}

int run_main(Runtime& rt, std::vector<std::string> args) { return block_on(rt, async_main(rt, std::move(args))); }

}  // namespace qb
