#include "support/stderr_capture.h"

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace qb::test {

StderrCapture::StderrCapture() {
  std::FILE* f = std::tmpfile();
  if (f == nullptr) std::abort();
  file_ = UniqueFd(::dup(::fileno(f)));
  std::fclose(f);
  std::fflush(stderr);
  saved_ = UniqueFd(::dup(STDERR_FILENO));
  if (!file_.valid() || !saved_.valid() || ::dup2(file_.get(), STDERR_FILENO) < 0) std::abort();
}

StderrCapture::~StderrCapture() { restore(); }

void StderrCapture::restore() {
  if (!saved_.valid()) return;
  std::fflush(stderr);
  ::dup2(saved_.get(), STDERR_FILENO);
  saved_.reset();
}

std::string StderrCapture::text() const {
  std::fflush(stderr);
  std::string out;
  char buf[4096];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(file_.get(), buf, sizeof buf, at);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
  return out;
}

bool StderrCapture::wait_for(std::string_view needle, std::chrono::milliseconds limit) const {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (text().find(needle) == std::string::npos) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace qb::test
