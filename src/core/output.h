// Whole-line output: each call is one write(2), so concurrent lines never interleave.
#pragma once

#include <string_view>

namespace qb {

// Returns false when the stream is closed or fails; output errors are not fatal.
bool write_stdout(std::string_view text);
bool write_stderr(std::string_view text);
bool write_fd(int fd, std::string_view text);

}  // namespace qb
