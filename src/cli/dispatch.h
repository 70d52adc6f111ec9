// Command dispatch: the command word, the version report and the usage text.
#pragma once

#include <string>
#include <vector>

namespace qb {

class Runtime;

inline constexpr const char* kProgramName = "quorbelt-proxy";
inline constexpr const char* kVersion = "1.7.3";

// Runs the command named by args[1] on the runtime and returns the exit status.
int run_main(Runtime& rt, std::vector<std::string> args);

// Standard output of "version".
std::string version_report();

}  // namespace qb
