#include "core/output.h"

#include <cerrno>

#include <unistd.h>

namespace qb {

bool write_fd(int fd, std::string_view text) {
  // One call normally writes everything; the loop only covers short writes to pipes.
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool write_stdout(std::string_view text) { return write_fd(STDOUT_FILENO, text); }
bool write_stderr(std::string_view text) { return write_fd(STDERR_FILENO, text); }

}  // namespace qb
