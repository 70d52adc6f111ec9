#include "cli/install_dir.h"

#include <sys/stat.h>

#include <cerrno>

#include <fmt/format.h>

#include "cli/exe_path.h"
#include "core/text.h"

namespace qb {

std::optional<std::filesystem::path> parent_of(const std::filesystem::path& p) {
  std::string s = p.native();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  if (s.empty() || s == "/") return std::nullopt;
  const auto slash = s.rfind('/');
  if (slash == std::string::npos) return std::filesystem::path();
  if (slash == 0) return std::filesystem::path("/");
  std::string parent = s.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  return std::filesystem::path(parent);
}

ProxyResult<std::filesystem::path> binary_dir() {
  auto exe = current_exe_path();
  if (!exe) {
    return proxy_error_new(codes::QB_5009, fmt::format("cannot resolve own binary path: {}", os_error_text(exe.error())));
  }
  auto parent = parent_of(*exe);
  if (!parent) return proxy_error_new(codes::QB_5009, "binary path has no parent directory \u2014 refuse");
  return *parent;
}

ProxyResult<void> check_install_dir(const std::filesystem::path& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    return proxy_error_new(codes::QB_5009,
                           fmt::format("stat install dir {}: {}", path_text(dir), os_error_text(errno)));
  }
  const std::string d = path_text(dir);
  if (!S_ISDIR(st.st_mode)) return proxy_error_new(codes::QB_5009, fmt::format("{} is not a directory", d));
  if ((st.st_mode & 022) != 0) {
    return proxy_error_new(
        codes::QB_5009,
        fmt::format("{} is group/other-writable (mode {:o}) \u2014 refuse to load secrets from a plantable install "
                    "dir. Fix: chmod go-w {}",
                    d, st.st_mode & 0777, d));
  }
  return {};
}

ProxyResult<std::filesystem::path> config_path() {
  auto exe = current_exe_path();
  if (!exe) {
    return proxy_error_new(codes::QB_5009,
                           fmt::format("cannot resolve own binary path for config: {}", os_error_text(exe.error())));
  }
  auto parent = parent_of(*exe);
  if (!parent) return proxy_error_new(codes::QB_5009, "binary path has no parent \u2014 refuse to place quorbelt.conf");
  return *parent / kConfigFileName;
}

}  // namespace qb
