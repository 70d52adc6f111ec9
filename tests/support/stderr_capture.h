// Standard error (fd 2, where the log lines are written straight) into an unnamed file for the life
// of the object. A file rather than a pipe: writers never block, and a child process that inherits
// the descriptor writes into the same place without holding anything open.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "core/owner_file.h"

namespace qb::test {

class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Everything written so far; capturing goes on.
  std::string text() const;
  // Waits, within the limit, until the text holds the needle; for lines written by other threads.
  bool wait_for(std::string_view needle, std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
  // Gives fd 2 back early; text() still returns what was caught.
  void restore();

 private:
  UniqueFd file_;
  UniqueFd saved_;
};

}  // namespace qb::test
