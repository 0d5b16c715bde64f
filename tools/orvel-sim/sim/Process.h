// Running this program again in a child process: the simulated system
// version is fixed when the library loads, so each version runs in a
// process started with ORVEL_SYSTEM_VERSION set.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orvelsim {

// The environment variable that marks a child started by runChild.
inline constexpr const char* kChildMarker = "ORVEL_SIM_CHILD";

// The path of the running executable.
std::string selfExecutable();

// `arguments` without the options that choose versions and output (--os,
// --json, --html and the timeline's), followed by "--os VERSION --json":
// what a child runs.
std::vector<std::string> childArguments(const std::vector<std::string>& arguments, const std::string& version);

struct ChildResult {
  int exitStatus = 0;   // the child's, or 1 when it did not exit normally
  std::string problem;  // why it did not exit normally; empty when it did
};

// Starts `executable` with `arguments` (argv[1...]) and ORVEL_SYSTEM_VERSION
// set to `version`, writes `input` to its standard input, and hands each
// line of its standard output to `onLine` as it comes. Its standard error
// is ours.
ChildResult runChild(const std::string& executable, const std::vector<std::string>& arguments,
                     const std::string& version, const std::string& input,
                     const std::function<void(const std::string& line)>& onLine);

}  // namespace orvelsim
