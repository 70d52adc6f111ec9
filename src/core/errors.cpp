#include "core/errors.h"

#include <cstdlib>

#include <fmt/format.h>

#include "core/output.h"
#include "core/text.h"

namespace qb {

std::string_view debug_name(Severity s) {
  switch (s) {
    case Severity::Error:
      return "Error";
    case Severity::Bug:
      return "Bug";
  }
  return "Error";
}

std::string_view debug_name(Component c) {
  static constexpr std::string_view names[] = {"Crypto", "Vault", "Cli",   "Browser",
                                               "Mobile", "Proxy", "Admin", "Sync"};
  auto i = static_cast<std::size_t>(c);
  return i < std::size(names) ? names[i] : "Crypto";
}

std::string QuorbeltError::display() const { return fmt::format("{}: {}", code, user_msg); }

std::string QuorbeltError::debug() const {
  return fmt::format(
      "QuorbeltError {{ code: {}, user_msg: {}, tech_msg: {}, resolution: {}, severity: {}, component: {} }}",
      debug_quote(code), debug_quote(user_msg), debug_quote(tech_msg), debug_quote(resolution),
      debug_name(severity), debug_name(component));
}

std::string CliError::display() const {
  return fmt::format("{}: {}", err.code, detail.empty() ? std::string_view(err.user_msg) : detail);
}

std::string CliError::debug() const {
  return fmt::format("CliError {{ err: {}, detail: {} }}", err.debug(), debug_quote(detail));
}

std::string ProxyError::display() const { return fmt::format("{}: {}", code, detail); }

std::string ProxyError::debug() const {
  return fmt::format("ProxyError {{ code: {}, detail: {} }}", debug_quote(code), debug_quote(detail));
}

ProxyError proxy_error_new(std::string_view code, std::string_view detail) {
  return ProxyError{code, std::string(detail)};
}

ProxyError proxy_error_from_gate(const CliError& e) { return ProxyError{codes::QB_5050, e.display()}; }

ProxyError proxy_error_from_config(CliError&& e) { return ProxyError{codes::QB_5002, e.display()}; }

namespace {
[[noreturn]] void die_on_unchecked(const std::string& what, const boost::source_location& loc) {
  write_stderr(fmt::format("internal error: unchecked result at {}:{}: {}\n", loc.file_name(), loc.line(),
                           sanitize_for_log(what)));
  std::abort();
}
}  // namespace

void throw_exception_from_error(const QuorbeltError& e, const boost::source_location& loc) {
  die_on_unchecked(e.display(), loc);
}
void throw_exception_from_error(const CliError& e, const boost::source_location& loc) {
  die_on_unchecked(e.display(), loc);
}
void throw_exception_from_error(const ProxyError& e, const boost::source_location& loc) {
  die_on_unchecked(e.display(), loc);
}

}  // namespace qb
