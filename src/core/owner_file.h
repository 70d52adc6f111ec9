// Files for the owner alone (keys, tokens, the configuration) and the one descriptor owner. The
// pieces are the steps every owner-only write is made of; callers order them and word their own
// errors, and write_file_atomic is the whole road for a file put in place by a rename.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "core/result.h"

namespace qb {

// An owned descriptor, closed on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  int release() noexcept;
  // Closes the descriptor (its result is ignored) and holds none.
  void reset() noexcept;

 private:
  int fd_ = -1;
};

enum class FileStep { Open, Chmod, Write, Sync, Rename };

// The step that failed and the system's text for it.
struct FileError {
  FileStep step;
  std::string text;
};

// Creates the file exclusively, write-only, mode 0600, never through a final symbolic link.
// The error is the errno value.
Result<UniqueFd, int> open_private_new(const std::filesystem::path& path);
// Creates or truncates the file (never through a final symbolic link) and narrows it to 0600 on
// the descriptor, before any byte arrives: an existing file with wider bits is narrowed first.
Result<UniqueFd, FileError> open_private_truncate(const std::filesystem::path& path);
// The whole buffer in chunks of at most 2^31-1 bytes, retrying interrupted writes. The error is
// the write step with the system's text ("failed to write whole buffer" for a write of 0 bytes).
Result<void, FileError> write_all_fd(int fd, std::span<const std::uint8_t> bytes);
// fsync, retried while interrupted; the error is the errno value.
Result<void, int> sync_fd(int fd);
// Reopens a written file read-only (never through a final symbolic link) and syncs it.
Result<void, FileError> sync_file(const std::filesystem::path& path);
// Makes the renames in dir ("." when empty) durable. Best effort: the files are in place either way.
void sync_directory(const std::filesystem::path& dir);

// tmp (in dir) created exclusively with mode 0600, a leftover there removed once first; the bytes
// written and synced; tmp renamed onto path; dir synced. A failed write or rename leaves tmp behind.
Result<void, FileError> write_file_atomic(const std::filesystem::path& tmp, const std::filesystem::path& path,
                                          const std::filesystem::path& dir, std::span<const std::uint8_t> bytes);

}  // namespace qb
