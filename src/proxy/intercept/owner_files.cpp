#include "proxy/intercept/owner_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <fmt/format.h>

#include "core/bytes.h"
#include "core/owner_file.h"
#include "core/text.h"

namespace qb {
namespace {

ProxyError os_failure(std::string_view code, std::string_view op, const std::filesystem::path& path, int err) {
  return proxy_error_new(code, fmt::format("{} {}: {}", op, path_text(path), os_error_text(err)));
}

}  // namespace

ProxyResult<std::string> read_secret_file(const std::filesystem::path& path) {
  // O_NONBLOCK: a FIFO planted in place of the file must not hang the open.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return os_failure(codes::QB_5008, "open", path, errno);

  // The status of the descriptor, not of the path: the file judged is the file read.
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return os_failure(codes::QB_5009, "stat", path, errno);
  if (!S_ISREG(st.st_mode)) {
    return proxy_error_new(codes::QB_5009, fmt::format("{} is not a regular file \u2014 refuse", path_text(path)));
  }
  if ((st.st_mode & 077) != 0) {
    const std::string p = path_text(path);
    return proxy_error_new(codes::QB_5009,
                           fmt::format("{} is group/other-accessible (mode {:o}); it holds secret key material. "
                                       "Fix: chmod 600 {}",
                                       p, st.st_mode & 0777, p));
  }
  // Regular files never block; blocking reads are restored anyway for clarity of intent.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);

  std::string out;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_failure(codes::QB_5008, "read", path, errno);
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

ProxyResult<void> write_private_file(const std::filesystem::path& path, std::string_view content) {
  auto fd = open_private_truncate(path);
  if (!fd) {
    const char* op = fd.error().step == FileStep::Chmod ? "chmod" : "open";
    return proxy_error_new(codes::QB_5007, fmt::format("{} {}: {}", op, path_text(path), fd.error().text));
  }
  if (auto w = write_all_fd(fd->get(), as_bytes(content)); !w) {
    return proxy_error_new(codes::QB_5007, fmt::format("write {}: {}", path_text(path), w.error().text));
  }
  return {};
}

}  // namespace qb
