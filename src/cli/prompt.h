// Reading secrets from standard input: at a terminal the prompt goes to standard error and echo
// is switched off around the read by running stty; off a terminal the line is read as it comes.
#pragma once

#include <span>
#include <string_view>

#include "core/errors.h"
#include "crypto/secret.h"

namespace qb {

// Tried in this order; the first that runs and exits 0 wins.
inline constexpr const char* kSttyCandidates[] = {"/bin/stty", "/usr/bin/stty"};

// A buffered line reader over one descriptor. Every read of standard input in the process goes
// through the same one (stdin_reader), so a blob and a key piped as two lines both arrive even
// though the first read takes in more than one line. Buffered bytes are wiped as they are handed
// out and when the reader goes away.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  int fd() const { return fd_; }

  // One line up to and including its line feed, or what is left before the end of input (empty at
  // the end). Every call reads anew after an end of input, so a terminal's Ctrl-D ends one line
  // only. The error is the errno value. When cancel_fd >= 0 and becomes readable before a line
  // is complete, the read gives up with EINTR.
  Result<SecretBytes, int> read_line(int cancel_fd = -1);

 private:
  int fd_;
  SecretBytes buf_;
};

LineReader& stdin_reader();

// Runs the first working candidate with "echo" or "-echo" on the inherited standard input, its
// output discarded. True when one ran and exited with status 0; never an error of its own.
bool set_terminal_echo(bool on);
bool set_terminal_echo(bool on, std::span<const char* const> candidates);

// Reads one line from standard input, trimmed of white space. At a terminal: "{prompt} " on
// standard error, echo off for the read (refused with QB-5004 when no stty works), echo back on and
// a line feed afterwards. Off a terminal: no prompt, no stty. Read failures are QB-5004
// "read stdin: ...". A Ctrl-C while echo is off turns echo back on before the process dies of it.
ProxyResult<SecretBytes> prompt_secret(std::string_view prompt);
ProxyResult<SecretBytes> prompt_secret(std::string_view prompt, LineReader& reader,
                                       std::span<const char* const> stty_candidates);

// "read stdin: {error}" for an errno value.
ProxyError stdin_read_error(int errnum);
// A line read from standard input that is not UTF-8 text.
ProxyError stdin_not_utf8_error();

}  // namespace qb
