// orvel-sim as a user runs it: a separate process, so that the system
// version is the one in force when the library loads. Bad input ends with
// exit status 2, one message naming FILE:LINE:COLUMN and nothing run; the
// shipped examples run green on the versions they are for, with the records
// they promise.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "ToolSupport.h"
#include "sim/Records.h"
#include "sim/Scenario.h"

using namespace orvelsim;

namespace {

namespace fs = std::filesystem;

std::string example(const std::string& name) { return std::string(ORVEL_EXAMPLES_DIR) + "/" + name; }

std::vector<Json> ofKind(const std::vector<Json>& records, const std::string& kind) {
  std::vector<Json> out;
  for (const Json& r : records)
    if (r.value("kind", "") == kind) out.push_back(r);
  return out;
}

// Bad input: status 2, one line on standard error, nothing on standard output.
void expectBadInput(const Result& r, const std::string& messageStart) {
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(r.err.rfind(messageStart, 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_EQ(r.out, "") << "nothing ran";
}

TEST(SimToolBadInput, EachKindEndsWithStatusTwoAndOneMessageBeforeAnythingRuns) {
  expectBadInput(sim({"run", (scratch() / "missing.json").string()}),
                 (scratch() / "missing.json").string() + ":1:1: cannot read: ");
  fs::path notJson = writeFile("broken.json", "{\"steps\": [\n  {\"launch\": {}},\n  {\"push\": }\n]}");
  expectBadInput(sim({"run", notJson.string()}), notJson.string() + ":3:12: not valid JSON: ");
  // The bad step comes last: the steps before it do not run either.
  fs::path unknown =
      writeFile("unknown.json", "{\"steps\": [{\"launch\": {}}, {\"advance\": 5}, {\"tap\": \"latest\"}]}");
  expectBadInput(sim({"run", unknown.string()}), unknown.string() + ":1:45: unknown step \"tap\"");
  fs::path wrongType = writeFile("wrong.json", "{\"steps\": [{\"launch\": {}}, {\"setBadge\": \"3\"}]}");
  expectBadInput(sim({"run", wrongType.string()}), wrongType.string() + ":1:41: \"setBadge\" is a whole number");
  fs::path big = writeFile("big.json", "{\"aps\": {\"alert\": \"" + std::string(5000, 'x') + "\"}}");
  expectBadInput(sim({"push", big.string()}),
                 big.string() + ":1:1: the payload is 5020 bytes of JSON; the push service refuses more than 4096");
  expectBadInput(sim({"push", "-"}, "", "[\"not a payload\"]"), "<stdin>:1:1: a payload is a JSON object");
}

TEST(SimToolBadInput, CommandLineMistakesAreBadInputToo) {
  expectBadInput(sim({"tour", "--bogus"}), "orvel-sim: ");
  Result r = sim({"frobnicate"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"tour", "--os", "ten"},
                                             {"tour", "--os", "9.3,"},
                                             {"tour", "--clock", "yesterday"},
                                             {"push", example("payloads/alert.json"), "--state", "asleep"},
                                             {"push"},
                                             {"run"}}) {
    Result bad = sim(args);
    EXPECT_EQ(bad.status, 2) << args.back() << ": " << bad.err;
    EXPECT_EQ(bad.out, "") << args.back();
    EXPECT_EQ(bad.err.rfind("orvel-sim: ", 0), 0u) << bad.err;
  }
  // With several versions the input is still checked once, before any child starts.
  fs::path unknown = writeFile("unknown-list.json", "{\"steps\": [{\"tap\": 1}]}");
  expectBadInput(sim({"run", unknown.string(), "--os", "9.3,13.0"}), unknown.string() + ":1:13: unknown step");
}

TEST(SimToolHelp, EveryCommandHasHelp) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"tour", "--help"}, {"push", "--help"}, {"run", "--help"}, {"serve", "--help"}}) {
    Result r = sim(args);
    EXPECT_EQ(r.status, 0) << args.front();
    EXPECT_NE(r.out.find("Usage: orvel-sim"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("--os"), std::string::npos);
    EXPECT_NE(r.out.find("--json"), std::string::npos);
    EXPECT_NE(r.out.find("--clock"), std::string::npos);
  }
  EXPECT_NE(sim({"push", "--help"}).out.find("--open"), std::string::npos);
  EXPECT_NE(sim({"serve", "--help"}).out.find("--exit-after"), std::string::npos);
}

TEST(SimToolServe, OneVersionAtATimeAndOptionsThatGoTogether) {
  Result several = sim({"serve", "--os", "9.3,13.0"});
  EXPECT_EQ(several.status, 2);
  EXPECT_NE(several.err.find("one system version at a time"), std::string::npos) << several.err;
  Result keyWithoutIds = sim({"serve", "--auth-key", "AuthKey.p8"});
  EXPECT_EQ(keyWithoutIds.status, 2);
  EXPECT_NE(keyWithoutIds.err.find("--key-id"), std::string::npos) << keyWithoutIds.err;
  Result missingKey = sim({"serve", "--port", "0", "--auth-key", "/nonexistent/AuthKey.p8", "--key-id", "ABC123DEFG",
                           "--team-id", "DEF123GHIJ"});
  EXPECT_EQ(missingKey.status, 2);
  EXPECT_NE(missingKey.err.find("/nonexistent/AuthKey.p8"), std::string::npos) << missingKey.err;
  EXPECT_EQ(missingKey.out, "") << "nothing ran";
}

// Every record of a run: "t" and "kind" first, device time never going back.
void expectWellFormed(const std::vector<Json>& records) {
  double last = 0;
  for (const Json& r : records) {
    ASSERT_TRUE(r.is_object());
    ASSERT_GE(r.size(), 2u);
    EXPECT_EQ(r.begin().key(), "t");
    EXPECT_EQ(std::next(r.begin()).key(), "kind");
    EXPECT_GE(r["t"].get<double>(), last) << r.dump();
    last = r["t"].get<double>();
  }
}

TEST(SimToolExamples, EveryExampleRunsGreenOnTheVersionsItIsFor) {
  size_t runs = 0;
  for (const auto& entry : fs::directory_iterator(ORVEL_EXAMPLES_DIR)) {
    if (entry.path().extension() != ".json") continue;
    Scenario sc = parseScenario(readInput(entry.path().string()), entry.path().string(), ORVEL_EXAMPLES_DIR);
    std::vector<std::string> versions = sc.versions.empty() ? std::vector<std::string>{"9.3", "13.0"} : sc.versions;
    for (const auto& version : versions) {
      SCOPED_TRACE(entry.path().filename().string() + " on " + version);
      Result r = sim({"run", entry.path().string(), "--json"}, version);
      EXPECT_EQ(r.status, 0) << r.err << r.out;
      std::vector<Json> records = r.records();
      expectWellFormed(records);
      auto expects = ofKind(records, "expect");
      EXPECT_FALSE(expects.empty()) << "an example checks itself";
      for (const Json& e : expects) EXPECT_TRUE(e["ok"].get<bool>()) << e.dump();
      EXPECT_TRUE(ofKind(records, "error").empty());
      ++runs;
    }
  }
  EXPECT_GE(runs, 10u);
}

TEST(SimToolExamples, TourShowsTheLibraryAtWorkOnBothInterfaces) {
  std::map<std::string, std::vector<Json>> byVersion;
  for (const char* version : {"9.3", "13.0"}) {
    SCOPED_TRACE(version);
    Result r = sim({"tour", "--json"}, version);
    ASSERT_EQ(r.status, 0) << r.err;
    byVersion[version] = r.records();
  }
  for (auto& [version, records] : byVersion) {
    SCOPED_TRACE(version);
    std::vector<int64_t> types;
    std::map<std::string, int> names;
    for (const Json& e : ofKind(records, "event")) {
      ++names[e["name"]];
      if (e.contains("type")) types.push_back(e["type"]);
    }
    EXPECT_EQ(names["OrvelDidRegisterRemoteNotification"], 1);
    // Opened remote, silent, foreground remote, opened local, foreground local.
    EXPECT_EQ(types, (std::vector<int64_t>{2, 0, 0, 3, 1}));
    EXPECT_FALSE(ofKind(records, "local").empty());
    EXPECT_FALSE(ofKind(records, "badge").empty());
    EXPECT_TRUE(ofKind(records, "fault").empty());
    bool attachment = false;
    for (const Json& c : ofKind(records, "completion")) {
      if (c["call"] == "addLocalNotification:handler:") {
        const Json& result = c["value"]["result"];
        attachment |= result.contains("content") && result["content"].contains("attachments");
      }
    }
    EXPECT_EQ(attachment, version == "13.0") << "downloaded and attached from 10.0 only";
  }
  // The two interfaces: the centre delegate from 10.0, the legacy callbacks below.
  auto hostCalls = [&](const std::string& version) {
    std::set<std::string> calls;
    for (const Json& h : ofKind(byVersion[version], "host")) calls.insert(h["call"].get<std::string>());
    return calls;
  };
  EXPECT_TRUE(hostCalls("13.0").count("userNotificationCenter:willPresentNotification:withCompletionHandler:"));
  EXPECT_FALSE(hostCalls("9.3").count("userNotificationCenter:willPresentNotification:withCompletionHandler:"));
  EXPECT_TRUE(hostCalls("9.3").count("application:didReceiveLocalNotification:"));
}

TEST(SimToolVersions, AListRunsEachVersionInItsOwnProcessAndComparesThem) {
  // Started at 13.0; the 9.3 run must still see 9.3 at load time.
  Result timeline = sim({"tour", "--os", "9.3,13.0"}, "13.0");
  ASSERT_EQ(timeline.status, 0) << timeline.err;
  EXPECT_NE(timeline.out.find("== tour on system 9.3 =="), std::string::npos);
  EXPECT_NE(timeline.out.find("== tour on system 13.0 =="), std::string::npos);
  size_t table = timeline.out.find("== what differed between 9.3, 13.0 ==");
  ASSERT_NE(table, std::string::npos);
  std::string rows = timeline.out.substr(table);
  EXPECT_NE(rows.find("host userNotificationCenter:willPresentNotification:withCompletionHandler:"), std::string::npos)
      << rows;
  EXPECT_NE(rows.find("host application:didRegisterUserNotificationSettings:"), std::string::npos) << rows;

  Result json = sim({"tour", "--os", "9.3,13.0", "--json"}, "13.0");
  ASSERT_EQ(json.status, 0);
  std::vector<Json> records = json.records();
  std::map<std::string, int> perVersion;
  for (const Json& r : records) {
    if (r["kind"] == "compare") {
      EXPECT_TRUE(r["values"].contains("9.3") && r["values"].contains("13.0")) << r.dump();
      continue;
    }
    ++perVersion[r.value("os", "")];
  }
  EXPECT_GT(perVersion["9.3"], 0);
  EXPECT_GT(perVersion["13.0"], 0);
  EXPECT_EQ(perVersion.count(""), 0u) << "every run record says its version";
  EXPECT_FALSE(ofKind(records, "compare").empty());

  // One version other than the loaded one: a child of its own too.
  Result single = sim({"tour", "--os", "9.3", "--json"}, "13.0");
  ASSERT_EQ(single.status, 0);
  bool legacySettings = false;
  for (const Json& h : ofKind(single.records(), "host"))
    legacySettings |= h["call"] == "application:didRegisterUserNotificationSettings:";
  EXPECT_TRUE(legacySettings) << "the legacy registration, so the library was loaded at 9.3";
}

TEST(SimToolPush, DeliversAPayloadFromStandardInputAndOpensIt) {
  Result r =
      sim({"push", "-", "--state", "background", "--open", "--json"}, "13.0", slurp(example("payloads/alert.json")));
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<Json> records = r.records();
  auto steps = ofKind(records, "step");
  std::vector<std::string> names;
  for (const Json& s : steps) names.push_back(s["step"]);
  EXPECT_EQ(names, (std::vector<std::string>{"launch", "state", "push", "open"}));
  auto events = ofKind(records, "event");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["name"], "OrvelDidRegisterRemoteNotification");
  EXPECT_EQ(events[1]["type"], 2);
  EXPECT_EQ(events[1]["object"]["notification"]["userInfo"]["order"], 1042);
  EXPECT_FALSE(events[1]["object"]["notification"]["userInfo"].contains("Simulator Target Bundle"));
  EXPECT_EQ(ofKind(records, "badge").back()["value"], 2) << "3 from the payload, lowered on opening";
}

TEST(SimToolPush, EveryShippedPayloadIsDeliveredInEveryStateOnBothInterfaces) {
  for (const auto& entry : fs::directory_iterator(example("payloads"))) {
    for (const char* state : {"active", "background", "not-running"}) {
      for (const char* version : {"9.3", "13.0"}) {
        SCOPED_TRACE(entry.path().filename().string() + " " + state + " " + version);
        Result r = sim({"push", entry.path().string(), "--state", state, "--json"}, version);
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<Json> records = r.records();
        EXPECT_TRUE(ofKind(records, "error").empty());
        EXPECT_TRUE(ofKind(records, "fault").empty());
        auto steps = ofKind(records, "step");
        ASSERT_FALSE(steps.empty());
        EXPECT_EQ(steps.back()["step"], "push");
        EXPECT_EQ(steps.back()["id"], "push-1");
      }
    }
  }
}

TEST(SimToolOutput, TimelineAndClockAndFailedExpectations) {
  fs::path failing = writeFile("failing.json", R"({"steps": [{"launch": {}}, {"setBadge": 4}, {"expect": {"badge": 5}},
    {"push": {"aps": {"alert": "hi"}}}]})");
  Result r = sim({"run", failing.string(), "--clock", "2030-06-01T12:00:00Z"});
  EXPECT_EQ(r.status, 1) << "an expectation failed";
  EXPECT_NE(r.out.find("FAILED badge is 5; actual: 4"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1 of 1 expectations FAILED"), std::string::npos);
  EXPECT_NE(r.out.find("▶ push"), std::string::npos) << "the run went on after the failed expectation";

  Result json = sim({"run", failing.string(), "--clock", "2030-06-01T12:00:00Z", "--json"});
  bool dated = false;
  for (const Json& h : ofKind(json.records(), "host"))
    dated |= h["args"].dump().find("2030-06-01T12:00:00Z") != std::string::npos;
  EXPECT_TRUE(dated) << "the foreground push is dated by the device clock";

  fs::path stuck = writeFile("stuck.json", R"({"steps": [{"open": "latest"}, {"advance": 1}]})");
  Result error = sim({"run", stuck.string(), "--json"});
  EXPECT_EQ(error.status, 1);
  auto errors = ofKind(error.records(), "error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0]["line"], 1);
  EXPECT_EQ(ofKind(error.records(), "step").size(), 1u) << "the run stops at the failing step";
}

// ---- hardening: what a user could once crash, hang or mislead ----

TEST(SimToolCrash, AByteOrderMarkOnAFileOrStandardInputIsRead) {
  const std::string scenario =
      "\xEF\xBB\xBF"
      R"({"steps": [{"launch": {}}, {"expect": {"events": 1}}]})";
  fs::path withMark = writeFile("bom.json", scenario);
  Result r = sim({"run", withMark.string(), "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sim({"run", "-", "--os", "9.3,13.0"}, "13.0", scenario).status, 0);
  EXPECT_EQ(sim({"push", "-"}, "", "\xEF\xBB\xBF{\"aps\": {\"alert\": \"Hi\"}}").status, 0);
}

TEST(SimToolMemory, StandardInputIsCutAtTheSameSixteenMebibytesAsAFile) {
  expectBadInput(sim({"run", "-"}, "", std::string((16 << 20) + 1, ' ')),
                 "<stdin>:1:1: cannot read: larger than 16 MiB");
}

TEST(SimToolMemory, RunningOutOfMemoryEndsWithAMessageAndStatusOne) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers reserve more address space than the limit leaves";
#else
  // 400,000 steps take far more than 300 MB once read; the program is
  // limited to that much address space (it once ended in an uncaught
  // std::bad_alloc).
  std::string steps;
  for (int i = 0; i < 400000; ++i) steps += R"({"note": "n"}, )";
  fs::path large = writeFile("large.json", R"({"steps": [)" + steps + R"({"note": "end"}]})");
  fs::path err = scratch() / "oom-err";
  std::string command = "prlimit --as=314572800 " + std::string(ORVEL_SIM_EXECUTABLE) + " run " + large.string() +
                        " >/dev/null 2>" + err.string();
  int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << "it ended by a signal";
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(slurp(err), "orvel-sim: out of memory\n");
#endif
}

TEST(SimToolMessage, PositionsEscapesAndEmptyOptions) {
  fs::path cr = writeFile("cr.json", "{\"steps\": [\r{\"launch\": {}},\r{\"bogus\": 1}]}");
  expectBadInput(sim({"run", cr.string()}), cr.string() + ":3:2: unknown step \"bogus\"");
  fs::path escaped = writeFile("escaped.json", R"({"steps": [{"token": "\u0041\u0041zz"}]})");
  expectBadInput(sim({"run", escaped.string()}), escaped.string() + ":1:35: \"token\" holds \"z\"");
  fs::path overflow = writeFile("overflow.json", R"({"steps": [{"advance": 1e400}]})");
  expectBadInput(sim({"run", overflow.string()}), overflow.string() + ":1:24: not valid JSON: number overflow");
  fs::path radius = writeFile("radius.json", R"({"steps": [{"schedule": {"content": {"title": "t"},
    "trigger": {"region": {"identifier": "r", "radius": -1}}}}]})");
  expectBadInput(sim({"run", radius.string()}), radius.string() + ":2:57: \"radius\" is 0 or more metres, not -1");
  expectBadInput(sim({"tour", "--os", ""}), "orvel-sim: --os: \"\" is not a system version");
  expectBadInput(sim({"tour", "--clock", ""}), "orvel-sim: --clock: \"\" is not an ISO-8601 time");

  // Control characters from the scenario reach the terminal escaped, and a
  // NUL no longer cuts a message short.
  fs::path controls = writeFile("controls.json", R"({"steps": [{"note": "bell\u0007 and \u001b[31mred"},
    {"open": "a\u0000b"}]})");
  Result timeline = sim({"run", controls.string()});
  EXPECT_EQ(timeline.status, 1);
  EXPECT_EQ(timeline.out.find('\x07'), std::string::npos);
  EXPECT_EQ(timeline.out.find('\x1b'), std::string::npos);
  EXPECT_NE(timeline.out.find("bell\\u0007 and \\u001B[31mred"), std::string::npos) << timeline.out;
  EXPECT_NE(timeline.out.find("no delivered notification has the identifier \"a\\u0000b\""), std::string::npos)
      << timeline.out;
}

}  // namespace
