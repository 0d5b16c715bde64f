// Scenarios run on the simulated device: whatever the bytes, reading ends in
// a scenario or in one BadInput, and a scenario runs to its end or to one
// "error" record, with every record well formed: device time finite and
// never going back, JSON that is valid UTF-8, and a timeline line without
// raw control characters. The steps are bounded (at most kMaxSteps of them,
// each advance at most the reader's maximum), and every run starts from an
// empty device.
//
// The library installs itself for the system version in force when it is
// loaded, so this target runs once per version, in a process of its own
// (scripts/fuzz.sh and the seed replay read the line below).
// fuzz-versions: 9.3 13.0
// fuzz-link: orvel::sim
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "UIKit/UIKit.h"
#include "UserNotifications/UserNotifications.h"
#include "fuzz_check.h"
#include "sim/Records.h"
#include "sim/Runner.h"
#include "sim/Scenario.h"

using namespace orvelsim;

namespace {

constexpr size_t kMaxSteps = 24;

// Traffic goes to the simulator's own server on 127.0.0.1 only: an
// attachment address of any other kind is dropped before the run.
void keepDownloadsLocal(Scenario& scenario) {
  for (Step& step : scenario.steps) {
    if (step.kind != Step::Kind::Schedule || !step.schedule.content) continue;
    auto& userInfo = step.schedule.content->userInfo;
    auto* attachment = userInfo ? objc::asString(userInfo->objectForKey("attachment")) : nullptr;
    if (!userInfo || !userInfo->objectForKey("attachment") || (attachment && attachment->hasPrefix("$SERVER/"))) {
      continue;
    }
    auto copy = objc::NSMutableDictionary::dictionaryWithDictionary(userInfo.get());
    copy->removeObjectForKey(objc::str("attachment").get());
    userInfo = objc::cast<objc::NSDictionary>(copy->copy());
  }
}

// What a run leaves in the process-wide platform objects goes, so that the
// next input starts from an empty device.
void clearDevice() {
  auto* app = objc::UIApplication::sharedApplication();
  app->cancelAllLocalNotifications();
  app->setApplicationIconBadgeNumber(0);
  if (auto center = objc::UNUserNotificationCenter::currentNotificationCenter()) {
    center->removeAllPendingNotificationRequests();
    center->removeAllDeliveredNotifications();
  }
}

bool hasRawControl(std::string_view line) {
  for (char c : line) {
    auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\n') || u == 0x7F) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Scenario scenario;
  try {
    scenario = parseScenario(text, "input.json", "/nonexistent-orvel-fuzz-directory");
  } catch (const BadInput&) {
    return 0;  // the reading itself is the scenario target's
  }
  if (scenario.steps.size() > kMaxSteps) scenario.steps.resize(kMaxSteps);
  keepDownloadsLocal(scenario);

  double last = 0;
  bool stopped = false;
  std::ostringstream timeline;
  Timeline lines(timeline);
  RunResult result = runScenario(scenario, {}, [&](const Record& r) {
    FUZZ_REQUIRE(!stopped, "a record after the run stopped, for " + orvel_fuzz::quoted(text));
    FUZZ_REQUIRE(std::isfinite(r.t) && r.t >= last, "device time " + std::to_string(r.t) + " after " +
                                                        std::to_string(last) + ", for " + orvel_fuzz::quoted(text));
    last = r.t;
    stopped = r.kind == "error";
    try {
      (void)r.toJson().dump(-1, ' ', false, Json::error_handler_t::strict);
    } catch (const Json::exception& e) {
      orvel_fuzz::fail("valid JSON", __FILE__, __LINE__, std::string(e.what()) + ", for " + orvel_fuzz::quoted(text));
    }
    timeline.str("");
    lines.write(r);
    FUZZ_REQUIRE(!hasRawControl(timeline.str()),
                 "timeline line " + orvel_fuzz::quoted(timeline.str()) + ", for " + orvel_fuzz::quoted(text));
  });
  FUZZ_REQUIRE(result.completed != stopped,
               "an error record exactly when the run stopped, for " + orvel_fuzz::quoted(text));
  clearDevice();
  return 0;
}
