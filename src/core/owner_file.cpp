#include "core/owner_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "core/text.h"

namespace qb {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) {
    reset();
    fd_ = o.release();
  }
  return *this;
}

int UniqueFd::release() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result<UniqueFd, int> open_private_new(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return Result<UniqueFd, int>(boost::system::in_place_error, errno);
  return UniqueFd(fd);
}

Result<UniqueFd, FileError> open_private_truncate(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) return FileError{FileStep::Open, os_error_text(errno)};
  // On the descriptor rather than the path, so a swapped path cannot redirect the change.
  while (::fchmod(fd.get(), 0600) != 0) {
    if (errno != EINTR) return FileError{FileStep::Chmod, os_error_text(errno)};
  }
  return fd;
}

Result<void, FileError> write_all_fd(int fd, std::span<const std::uint8_t> bytes) {
  constexpr std::size_t kMaxChunk = INT_MAX;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), std::min(bytes.size(), kMaxChunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      return FileError{FileStep::Write, os_error_text(errno)};
    }
    if (n == 0) return FileError{FileStep::Write, "failed to write whole buffer"};
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

Result<void, int> sync_fd(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return Result<void, int>(boost::system::in_place_error, errno);
  }
  return {};
}

Result<void, FileError> sync_file(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return FileError{FileStep::Open, os_error_text(errno)};
  if (auto r = sync_fd(fd.get()); !r) return FileError{FileStep::Sync, os_error_text(r.error())};
  return {};
}

void sync_directory(const std::filesystem::path& dir) {
  const std::filesystem::path d = dir.empty() ? std::filesystem::path(".") : dir;
  UniqueFd fd(::open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) ::fsync(fd.get());
}

Result<void, FileError> write_file_atomic(const std::filesystem::path& tmp, const std::filesystem::path& path,
                                          const std::filesystem::path& dir, std::span<const std::uint8_t> bytes) {
  auto fd = open_private_new(tmp);
  if (!fd && fd.error() == EEXIST) {
    // A leftover of an interrupted write (or something planted there): replace it once.
    ::unlink(tmp.c_str());
    fd = open_private_new(tmp);
  }
  if (!fd) return FileError{FileStep::Open, os_error_text(fd.error())};

  QB_TRY_VOID(write_all_fd(fd->get(), bytes));
  // On disk before the rename, so a crash cannot leave an empty file in the final place.
  if (auto s = sync_fd(fd->get()); !s) return FileError{FileStep::Sync, os_error_text(s.error())};
  fd->reset();

  if (::rename(tmp.c_str(), path.c_str()) != 0) return FileError{FileStep::Rename, os_error_text(errno)};
  sync_directory(dir);
  return {};
}

}  // namespace qb
