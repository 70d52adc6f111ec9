#include "cli/exe_path.h"

#include <cerrno>
#include <string>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#else
#include <unistd.h>
#endif

namespace qb {

#if defined(__APPLE__)
Result<std::filesystem::path, int> current_exe_path() {
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string buf(size, '\0');
  if (_NSGetExecutablePath(buf.data(), &size) != 0) return EINVAL;
  buf.resize(buf.find('\0') == std::string::npos ? buf.size() : buf.find('\0'));
  return std::filesystem::path(buf);
}
#else
Result<std::filesystem::path, int> current_exe_path() {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return errno;
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      return std::filesystem::path(buf);
    }
    buf.resize(buf.size() * 2);
  }
}
#endif

}  // namespace qb
