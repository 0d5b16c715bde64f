// The runner in this process, at the system version loaded with it: records
// come from the main thread, the notification centre's queue and the URL
// session's, and reach the sink one at a time and in order.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "UIKit/UIKit.h"
#include "sim/Runner.h"

using namespace orvelsim;

namespace {

TEST(SimRunnerConcurrency, TourRecordsFromEveryQueueReachTheSinkInOrder) {
  std::string version = objc::UIDevice::currentDevice()->systemVersion()->utf8();
  std::string path = std::string(ORVEL_EXAMPLES_DIR) + "/tour.json";
  Scenario tour = parseScenario(readInput(path), path, ORVEL_EXAMPLES_DIR);

  std::mutex lock;
  std::vector<Record> seen;
  std::set<std::thread::id> threads;
  // The sink is called one record at a time; a second caller at once
  // would find the lock taken.
  bool overlapped = false;
  RunResult result = runScenario(tour, {}, [&](const Record& r) {
    std::unique_lock<std::mutex> g(lock, std::try_to_lock);
    if (!g.owns_lock()) {
      overlapped = true;
      g.lock();
    }
    seen.push_back(r);
    threads.insert(std::this_thread::get_id());
  });
  EXPECT_EQ(result.exitStatus(), 0) << "on " << version;
  EXPECT_EQ(result.expectationsFailed, 0);
  EXPECT_GT(result.expectationsChecked, 20);
  EXPECT_FALSE(overlapped) << "one record at a time";
  double last = 0;
  for (const Record& r : seen) {
    EXPECT_GE(r.t, last) << r.toJson().dump();
    last = r.t;
  }
  if (version == "13.0") {
    EXPECT_GT(threads.size(), 1u) << "completions come from the centre's queue";
  }
}

TEST(SimRunner, AStepThatCannotBeCarriedOutStopsTheRun) {
  Scenario sc = parseScenario(R"({"steps": [{"launch": {}}, {"launch": {}}, {"setBadge": 3}]})", "s.json");
  std::vector<Record> seen;
  RunResult result = runScenario(sc, {}, [&](const Record& r) { seen.push_back(r); });
  EXPECT_FALSE(result.completed);
  EXPECT_EQ(result.exitStatus(), 1);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().kind, "error");
  EXPECT_EQ(seen.back().fields()["line"], 1);
  EXPECT_NE(seen.back().fields()["what"].get<std::string>().find("already running"), std::string::npos);
  for (const Record& r : seen) EXPECT_FALSE(r.kind == "badge" && r.fields()["value"] == 3) << "the last step never ran";
}

}  // namespace
