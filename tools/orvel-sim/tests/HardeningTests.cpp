// Inputs that once crashed the simulator, ran into undefined behaviour, ran
// without end, grew without bound or were reported in the wrong place, in
// this process: the reader, the runner and the record stream. The same
// faults as a user meets them on the command line are in ToolTests.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <vector>

#include "Device/Device.h"
#include "LoopbackServers.h"
#include "sim/Process.h"
#include "sim/Runner.h"
#include "sim/Scenario.h"

using namespace orvelsim;

namespace {

std::string problemWith(std::string_view text) {
  try {
    parseScenario(text, "s.json");
  } catch (const BadInput& e) {
    return e.what();
  }
  return "";
}

std::string pushProblemWith(std::string_view text) {
  try {
    parsePushFile(text, "p.json");
  } catch (const BadInput& e) {
    return e.what();
  }
  return "";
}

std::vector<Record> run(std::string_view text) {
  Scenario sc = parseScenario(text, "s.json");
  std::vector<Record> seen;
  runScenario(sc, {}, [&](const Record& r) { seen.push_back(r); });
  return seen;
}

size_t countOf(const std::vector<Record>& records, const std::string& kind, const std::string& field = "",
               const std::string& value = "") {
  size_t n = 0;
  for (const Record& r : records)
    n += r.kind == kind && (field.empty() || r.fields().value(field, std::string()) == value);
  return n;
}

// ---- crashes ----

TEST(SimCrash, AByteOrderMarkIsReadAndPositionsCountFromTheTextAfterIt) {
  const std::string bom = "\xEF\xBB\xBF";
  Scenario sc = parseScenario(bom + R"({"steps": [{"launch": {}}]})", "s.json");
  EXPECT_EQ(sc.steps.size(), 1u);
  EXPECT_EQ(problemWith(bom + "{\"steps\": [\n  {\"tap\": 1}]}").rfind("s.json:2:4: unknown step \"tap\"", 0), 0u);
  EXPECT_EQ(problemWith(bom + R"({"steps": [{"setBadge": "3"}]})"),
            "s.json:1:25: \"setBadge\" is a whole number, not a string");
  EXPECT_EQ(pushProblemWith(bom + R"({"aps": {"alert": "Hi"}})"), "");
}

TEST(SimCrash, AChildsLineThatIsNoRecordAndAReaderThatThrowsEndCleanly) {
  EXPECT_FALSE(Record::fromJson(Json::parse(R"({"t": null, "kind": "badge"})")));
  EXPECT_FALSE(Record::fromJson(Json::parse(R"({"t": 1})")));
  EXPECT_FALSE(Record::fromJson(Json::parse("[1]")));
  ASSERT_TRUE(Record::fromJson(Json::parse(R"({"t": 1.5, "kind": "badge", "value": 3})")));
  // A reader that fails part way: the child is ended, the thread feeding
  // it joined, and the failure reaches the caller (it once ended the
  // process with std::terminate).
  std::string input(1 << 20, 'x');
  input += "\nmore\n";
  EXPECT_THROW(runChild("/bin/cat", {}, "13.0", input,
                        [](const std::string&) { throw std::runtime_error("a line it cannot read"); }),
               std::runtime_error);
}

// ---- undefined behaviour ----

TEST(SimUndefined, TimesAndDatesBeyondTheCalendarAreBadInput) {
  auto trigger = [](const std::string& body) {
    return problemWith(R"({"steps": [{"schedule": {"content": {"title": "t"}, "trigger": {)" + body + "}}}]}");
  };
  EXPECT_EQ(trigger(R"("fireDate": 1e300)"),
            "s.json:1:77: \"fireDate\" (seconds from the moment of scheduling) is "
            "from -3155760000 to 3155760000 seconds (100 years), not 1e300");
  EXPECT_NE(trigger(R"("timeInterval": -1)").find("\"timeInterval\" is from 0 to 3155760000"), std::string::npos);
  EXPECT_NE(trigger(R"("dateComponents": {"year": 9223372036854775807})")
                .find("\"year\" is from 1 to 9999, not 9223372036854775807"),
            std::string::npos);
  EXPECT_NE(trigger(R"("dateComponents": {"timeZone": -9223372036854775808})").find("\"timeZone\" is from -64800"),
            std::string::npos);
  EXPECT_EQ(trigger(R"("fireDate": -3155760000, "timeInterval": 3155760000, "dateComponents": {"year": 9999})"), "");
  // The records' own dates are defined for any moment.
  EXPECT_EQ(formatISO8601(1e300), "after any date");
  EXPECT_EQ(formatISO8601(-1e300), "before any date");
  EXPECT_EQ(formatISO8601(NAN), "not a date");
  EXPECT_EQ(formatISO8601(1767225600 + 3155760000.0), "2126-01-02T00:00:00Z");
}

TEST(SimUndefined, AVersionComponentPastTheLargestIntegerIsNoVersion) {
  EXPECT_TRUE(isVersion("9223372036854775807.0"));
  EXPECT_FALSE(isVersion("9223372036854775808"));
  EXPECT_FALSE(isVersion("13.99999999999999999999"));
  EXPECT_NE(problemWith(R"({"os": "9223372036854775808", "steps": []})").find("is not a system version"),
            std::string::npos);
}

// ---- time ----

TEST(SimTime, AdvanceHasAMaximumAndARepeatingTriggerLeavesEachStepBoundedWork) {
  EXPECT_EQ(problemWith(R"({"steps": [{"advance": 1e308}]})"),
            "s.json:1:24: \"advance\" is from 0 to 3155760000 seconds (100 years), not 1e308");
  std::vector<Record> records = run(R"({"steps": [{"launch": {}}, {"state": "background"},
    {"schedule": {"identifier": "m", "content": {"title": "t"}, "trigger": {"timeInterval": 60, "repeat": true}}},
    {"advance": 3155760000}, {"expect": {"pending": 1}}]})");
  EXPECT_EQ(countOf(records, "local", "action", "delivered"),
            static_cast<size_t>(objc::Device::kMaxFiringsPerAdvance) + 1);
  EXPECT_EQ(countOf(records, "error"), 0u);
  EXPECT_EQ(records.back().fields()["ok"], true);
}

TEST(SimTime, ExpectationsReadTalliesAndShowAtMostAHundredCallbacks) {
  // Each expectation once copied every record so far: quadratic in a long
  // run. A failed one now shows the first hundred callbacks and a count.
  std::string steps = R"({"launch": {}}, {"expect": {"events": 1}})";
  for (int i = 0; i < 150; ++i) steps += R"(, {"push": {"aps": {"content-available": 1}}})";
  steps +=
      R"(, {"expect": {"events": 150, "host": ["application:didReceiveRemoteNotification:fetchCompletionHandler:", "never"],
    "log": "aps", "lastEvent": {"type": 0}}})";
  std::vector<Record> records = run("{\"steps\": [" + steps + "]}");
  std::vector<Json> expects;
  for (const Record& r : records)
    if (r.kind == "expect") expects.push_back(r.fields());
  ASSERT_EQ(expects.size(), 5u);
  EXPECT_EQ(expects[1]["ok"], true) << expects[1].dump();
  EXPECT_EQ(expects[2]["ok"], false);
  const Json& shown = expects[2]["actual"];
  ASSERT_EQ(shown.size(), 101u);
  EXPECT_EQ(shown.back(), "… and 50 more");
  EXPECT_EQ(expects[3]["ok"], true) << "a log line held the text";
  EXPECT_EQ(expects[4]["ok"], true) << "the last event of the whole run";
}

TEST(SimTime, AnOversizePayloadIsRefusedBeforeItIsBuiltAndObjectsOfAnySizeReadLinearly) {
  std::string keys;
  for (int i = 0; i < 80000; ++i) keys += (i ? ",\"" : "\"") + std::to_string(i) + "\":0";
  EXPECT_EQ(pushProblemWith("{" + keys + "}"),
            "p.json:1:1: the payload is at least 788891 bytes of JSON; the push service refuses more than 4096");
  // Not a payload: a host's own data may be that large.
  EXPECT_EQ(problemWith(R"({"steps": [{"schedule": {"content": {"userInfo": {)" + keys + "}}}}]}"), "");
}

struct StallingServer {
  loopback::Gate release;
  loopback::RawServer server{[this](int, const std::string&, loopback::Gate&) { release.wait(); }};
  ~StallingServer() { release.open(); }
};

TEST(SimTime, TheRunnerWaitsForADownloadAsLongAsTheLibraryDoes) {
  // The library gives a download 30 seconds; the runner once gave up
  // after 10 and stopped the run. Time-outs are a hundredth here.
  objc::setURLSessionTimeoutScaleForTesting(0.01);
  StallingServer stalling;
  std::vector<Record> records = run(R"({"steps": [{"launch": {}}, {"schedule": {"identifier": "slow",
    "content": {"title": "t", "userInfo": {"attachment": ")" +
                                    stalling.server.url("/slow.png") + R"("}}}},
    {"expect": {"pending": 1}}]})");
  EXPECT_EQ(countOf(records, "error"), 0u);
  EXPECT_EQ(countOf(records, "completion", "call", "addLocalNotification:handler:"), 1u);
  EXPECT_EQ(records.back().fields()["ok"], true) << "scheduled without its media";
}

// ---- memory ----

TEST(SimMemory, TheRecorderKeepsNoRecordAndASummaryKeepsRunsOfValuesOnce) {
  Recorder recorder;
  size_t seen = 0;
  Recorder::Subscription counting = recorder.subscribe([&](const Record&) { ++seen; });
  RunSummary summary;
  recorder.subscribe([&](const Record& r) { summary.add(r); });
  for (int i = 0; i < 100000; ++i) {
    recorder.add("event", Json{{"name", "OrvelDidReceiveMessageNotification"}, {"type", i < 99998 ? 0 : 2}});
  }
  recorder.unsubscribe(counting);
  recorder.add("badge", Json{{"value", 3}});
  EXPECT_EQ(recorder.count(), 100001u);
  EXPECT_EQ(seen, 100000u);
  EXPECT_EQ(summary.messageTypes(), "0 ×99998 2 ×2");
  EXPECT_EQ(summary.badgeWrites(), "3");
  EXPECT_EQ(summary.events["OrvelDidReceiveMessageNotification"], 100000);
}

}  // namespace
