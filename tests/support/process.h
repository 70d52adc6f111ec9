// Runs a program with given arguments, environment and standard input, and collects its output.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qb::test {

struct ProcessOptions {
  std::vector<std::string> args;  // without argv[0]
  std::string stdin_data;
  std::optional<std::filesystem::path> cwd;
  std::map<std::string, std::string> env_set;  // added to (or replacing in) the inherited environment
  std::vector<std::string> env_unset;
  bool close_stdout = false;
  bool no_new_threads = false;  // the child runs under forbid_new_threads()
  std::chrono::seconds timeout{60};
};

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

ProcessResult run_process(const std::filesystem::path& program, const ProcessOptions& opts);

// Makes every later thread (or process) creation of the calling process fail with EAGAIN:
// RLIMIT_NPROC of 1. Root is not held to that limit, so as root the process first becomes a user
// of its own (an unused id) that runs nothing else; it cannot become root again. Only system
// calls: safe in a child between fork and exec. False when a step was refused.
bool forbid_new_threads();

}  // namespace qb::test
