#include "proxy/owner_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <fmt/format.h>

#include "core/text.h"

namespace qb {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

ProxyError os_failure(std::string_view code, std::string_view op, const std::filesystem::path& path, int err) {
  return proxy_error_new(code, fmt::format("{} {}: {}", op, path_text(path), os_error_text(err)));
}

}  // namespace

ProxyResult<std::string> read_secret_file(const std::filesystem::path& path) {
  // O_NONBLOCK: a FIFO planted in place of the file must not hang the open.
  Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
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
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) return os_failure(codes::QB_5007, "open", path, errno);

  // On the descriptor rather than the path, so a swapped path cannot redirect the change.
  while (::fchmod(fd.get(), 0600) != 0) {
    if (errno != EINTR) return os_failure(codes::QB_5007, "chmod", path, errno);
  }

  while (!content.empty()) {
    const ssize_t n = ::write(fd.get(), content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_failure(codes::QB_5007, "write", path, errno);
    }
    if (n == 0) {
      return proxy_error_new(codes::QB_5007,
                             fmt::format("write {}: failed to write whole buffer", path_text(path)));
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace qb
