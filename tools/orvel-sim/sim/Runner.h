// Runs a checked scenario in this process, on a simulated device, with the
// sample host as the application. The system version must already be the
// one the scenario is for: the library's load-time installation has seen
// the version in force when the process started, which is why the command
// line runs other versions in processes of their own.
#pragma once

#include <string>

#include "sim/Records.h"
#include "sim/Scenario.h"

namespace orvelsim {

struct RunOptions {
  // The device clock's start, in seconds since 1970.
  double startTime = 1767225600;  // 2026-01-01T00:00:00Z
};

struct RunResult {
  bool completed = true;        // every step could be carried out
  int expectationsFailed = 0;
  int expectationsChecked = 0;
  // 0 when the run completed and every expectation held, else 1.
  int exitStatus() const { return completed && expectationsFailed == 0 ? 0 : 1; }
};

// Runs every step, handing each record to `sink` as it is made (from any
// thread, one at a time).
RunResult runScenario(const Scenario& scenario, const RunOptions& options, Recorder::Sink sink);

// Whether `actual` holds everything `partial` says: objects by their keys
// (further keys allowed), arrays element by element, numbers by value.
bool jsonContains(const Json& actual, const Json& partial);

}  // namespace orvelsim
