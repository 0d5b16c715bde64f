// Runs a checked scenario in this process, on a simulated device, with the
// sample host as the application. The system version must already be the
// one the scenario is for: the library's load-time installation has seen
// the version in force when the process started, which is why the command
// line runs other versions in processes of their own.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "sim/Records.h"
#include "sim/Scenario.h"

#include "Device/Device.h"

namespace orvelsim {

struct RunOptions {
  // The device clock's start, in seconds since 1970.
  double startTime = 1767225600;  // 2026-01-01T00:00:00Z
};

struct RunResult {
  bool completed = true;  // every step could be carried out
  int expectationsFailed = 0;
  int expectationsChecked = 0;
  // 0 when the run completed and every expectation held, else 1.
  int exitStatus() const { return completed && expectationsFailed == 0 ? 0 : 1; }
};

// The sample host on a simulated device, driven step by step: what a run
// is made of, and what `orvel-sim serve` drives from its control channel
// and the push service. Made, used and destroyed on the main thread; the
// recorder may be used from any thread.
class Session {
 public:
  // Starts the device (not the application) and the host's observers;
  // `sink` sees every record from the first one.
  Session(const HostConfig& host, const RunOptions& options, Recorder::Sink sink);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Recorder& recorder();
  objc::Device& device();

  // Runs one step as a scenario does: a "step" record, the step, and an
  // "error" record when it cannot be carried out (then false). The "host"
  // and "log" expectations of an "expect" step look back at what came since
  // the previous one (at most Session::kRecalled callbacks and lines).
  bool perform(const Step& step);
  static constexpr size_t kRecalled = 1000;
  // Every step of `scenario` in order, stopping at the first that cannot be
  // carried out.
  RunResult run(const Scenario& scenario);
  // What the steps so far came to.
  const RunResult& result() const;

  // A push from the push service, delivered under its apns-id; an "error"
  // record when the device refuses it.
  void deliver(objc::NSDictionary* payload, const std::string& identifier, const objc::PushAttributes& attributes);

  // Who carries out "send" steps (a provider's request to the push
  // service); without one such a step cannot be carried out.
  void onSend(std::function<void(const Step& step)> sender);

  // A "network" step: whether the device can be reached, and who hears of
  // a change (the push service, when there is one).
  bool online() const;
  void onNetworkChange(std::function<void(bool online)> listener);

 private:
  class Run;
  std::unique_ptr<Run> run_;
};

// Runs every step, handing each record to `sink` as it is made (from any
// thread, one at a time).
RunResult runScenario(const Scenario& scenario, const RunOptions& options, Recorder::Sink sink);

// Whether `actual` holds everything `partial` says: objects by their keys
// (further keys allowed), arrays element by element, numbers by value.
bool jsonContains(const Json& actual, const Json& partial);

}  // namespace orvelsim
