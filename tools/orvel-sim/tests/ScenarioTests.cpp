// Reading scenarios and payload files: what is accepted, and for each kind
// of bad input the one message, with the position of the offending value.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>

#include <unistd.h>

#include "sim/Runner.h"
#include "sim/Scenario.h"

using namespace orvelsim;

namespace {

// The message parseScenario raises for `text`, or "" when it accepts it.
std::string problemWith(std::string_view text, const std::string& directory = ".") {
  try {
    parseScenario(text, "s.json", directory);
  } catch (const BadInput& e) {
    return e.what();
  }
  return "";
}

TEST(ScenarioReading, EveryStepWithItsValue) {
  Scenario sc = parseScenario(R"({
    "os": ["9.3", "13.0"],
    "description": "all of them",
    "host": {"omits": ["application:didReceiveRemoteNotification:"], "centerDelegate": false,
             "callsCompletionHandlers": false, "registerAtLaunch": false},
    "steps": [
      {"launch": {"background": true, "localNotification": {"alertBody": "hi", "badge": 2, "userInfo": {"k": 1}}}},
      {"state": "inactive"}, {"register": {"types": 5}}, {"register": null}, {"answer": "deny"},
      {"token": "00fF10"}, {"token": null}, {"registrationError": {"domain": "D", "code": 7}}, {"registrationError": null},
      {"push": {"aps": {"alert": "x"}, "Simulator Target Bundle": "com.example", "custom": [1, 2]}},
      {"open": "latest"}, {"openSettings": null}, {"openSettings": {}},
      {"schedule": {"identifier": "a", "content": {"title": "t", "badge": 3, "silentPush": true,
                    "userInfo": {"attachment": "$SERVER/picture.png"}},
                    "trigger": {"timeInterval": 60, "repeat": true, "fireDate": "2026-01-01T00:01:00Z",
                                "dateComponents": {"hour": 8, "timeZone": 3600},
                                "region": {"identifier": "home", "radius": 50}}}},
      {"advance": 1.5}, {"setBadge": -3}, {"clearBadge": true}, {"clearNoticeBar": {}},
      {"remove": {"identifiers": ["a", "b"], "statuses": 1}}, {"remove": {}},
      {"foregroundType": 0}, {"authorizationStatus": null}, {"authorizationStatus": "denied"},
      {"enterRegion": "home"}, {"timeZone": "GMT+05:30"}, {"state": "force-quit"}, {"foregroundType": 24},
      {"note": "text"},
      {"expect": {"badge": 1, "events": 2, "faults": 0, "lastEvent": {"name": "x"}, "host": ["a"], "delivered": 0,
                  "pending": 1, "completions": 0, "lastCompletion": {}, "state": "background", "log": "deviceToken",
                  "sounds": 0}}
    ]})",
                              "s.json");
  EXPECT_EQ(sc.versions, (std::vector<std::string>{"9.3", "13.0"}));
  EXPECT_EQ(sc.description, "all of them");
  EXPECT_FALSE(sc.host.implements("application:didReceiveRemoteNotification:"));
  EXPECT_TRUE(sc.host.implements("application:didReceiveLocalNotification:"));
  EXPECT_FALSE(sc.host.centerDelegate);
  EXPECT_FALSE(sc.host.callsCompletionHandlers);
  EXPECT_FALSE(sc.host.registerAtLaunch);
  ASSERT_EQ(sc.steps.size(), 29u);

  const Step& launch = sc.steps[0];
  EXPECT_EQ(launch.kind, Step::Kind::Launch);
  EXPECT_EQ(launch.at.line, 7u);
  EXPECT_TRUE(launch.launch.background);
  ASSERT_TRUE(launch.launch.localNotification);
  EXPECT_EQ(launch.launch.localNotification->badge, 2);
  EXPECT_EQ(sc.steps[2].integer, 5);
  EXPECT_TRUE(sc.steps[2].flag);
  EXPECT_FALSE(sc.steps[3].flag) << "null registers without a configuration";
  EXPECT_EQ(sc.steps[5].token->vector(), (std::vector<uint8_t>{0x00, 0xff, 0x10}));
  EXPECT_FALSE(sc.steps[6].flag);
  EXPECT_EQ(sc.steps[7].errorDomain, "D");
  EXPECT_EQ(sc.steps[7].integer, 7);

  const Step& push = sc.steps[9];
  EXPECT_EQ(push.target, "com.example");
  EXPECT_FALSE(push.payload->objectForKey("Simulator Target Bundle")) << "a directive, not part of the payload";
  EXPECT_TRUE(push.payload->objectForKey("custom"));

  const ScheduleInput& s = sc.steps[13].schedule;
  ASSERT_TRUE(s.content && s.trigger);
  EXPECT_EQ(s.content->badge, 3);
  EXPECT_TRUE(s.content->silentPush);
  EXPECT_DOUBLE_EQ(*s.trigger->fireDate, 1767225660);
  EXPECT_FALSE(s.trigger->fireDateIsRelative);
  EXPECT_EQ(s.trigger->dateComponents->at("timeZone"), 3600);
  EXPECT_EQ(s.trigger->region->identifier, "home");
  EXPECT_DOUBLE_EQ(s.trigger->region->radius, 50);

  EXPECT_DOUBLE_EQ(sc.steps[14].seconds, 1.5);
  EXPECT_EQ(*sc.steps[18].identifiers, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(sc.steps[18].integer, 1);
  EXPECT_FALSE(sc.steps[19].identifiers);
  EXPECT_EQ(sc.steps[19].integer, 3) << "both kinds unless told";
  EXPECT_EQ(sc.steps[21].text, "query");
  EXPECT_EQ(sc.steps[24].text, "GMT+05:30");
  EXPECT_EQ(sc.steps[25].text, "force-quit");
  EXPECT_EQ(sc.steps[26].integer, 24) << "list and banner";
  EXPECT_EQ(sc.steps[28].expectations.size(), 12u);
}

TEST(ScenarioReading, BadInputIsNamedByFileLineAndColumn) {
  struct Case {
    std::string_view text;
    const char* message;
  };
  const Case cases[] = {
      {"{\"steps\": [\n  {\"push\": {\"aps\": }}]}", "s.json:2:20: not valid JSON: "},
      {"", "s.json:1:1: not valid JSON: "},
      {std::string_view("{\"steps\": []}\n\0junk", 19), "s.json:2:1: not valid JSON: a NUL byte"},
      {"[]", "s.json:1:1: a scenario is a JSON object with \"steps\", not an array"},
      {"{}", "s.json:1:1: a scenario needs \"steps\""},
      {"{\"steps\": [], \"stepz\": 1}", "s.json:1:15: unknown key \"stepz\" in the scenario (did you mean \"steps\"?)"},
      {"{\"steps\": {}}", "s.json:1:11: \"steps\" is a list of steps, not an object"},
      {"{\"steps\": [\n {\"pusj\": {}}]}", "s.json:2:3: unknown step \"pusj\" (did you mean \"push\"?)"},
      {"{\"steps\": [{\"wobble\": 1}]}", "s.json:1:13: unknown step \"wobble\" (steps: launch, state,"},
      {"{\"steps\": [{\"advance\": 1, \"state\": \"active\"}]}",
       "s.json:1:12: a step is an object with exactly one key"},
      {"{\"steps\": [\"launch\"]}", "s.json:1:12: a step is an object with one key"},
      {"{\"steps\": [{\"advance\": \"60\"}]}",
       "s.json:1:24: \"advance\" (seconds of device time) is a number, not a string"},
      {"{\"steps\": [{\"advance\": -1}]}", "s.json:1:24: the clock only moves forward"},
      {"{\"steps\": [{\"setBadge\": 1.5}]}", "s.json:1:25: \"setBadge\" is a whole number, not a number"},
      {"{\"steps\": [{\"state\": \"asleep\"}]}",
       "s.json:1:22: \"state\" is one of active, inactive, background, not-running, force-quit"},
      {"{\"steps\": [{\"timeZone\": \"Europe/Paris\"}]}",
       "s.json:1:25: \"timeZone\" is \"UTC\", \"GMT\" or \"GMT+hh:mm\" / \"GMT-hh:mm\", not \"Europe/Paris\""},
      {"{\"steps\": [{\"timeZone\": 3600}]}", "s.json:1:25: \"timeZone\" (a time-zone name) is a string, not "},
      {"{\"steps\": [{\"foregroundType\": 32}]}",
       "s.json:1:31: \"foregroundType\" is a set of presentation options (1 badge, 2 sound, 4 alert, 8 list, 16 "
       "banner) from 0 to 31, not 32"},
      {"{\"steps\": [{\"token\": \"0g\"}]}", "s.json:1:24: \"token\" holds \"g\", which is not a hexadecimal digit"},
      {"{\"steps\": [{\"token\": \"abc\"}]}", "s.json:1:22: \"token\" has an odd number of hexadecimal digits"},
      {"{\"steps\": [{\"push\": [1]}]}", "s.json:1:21: a payload is a JSON object, not an array"},
      {"{\"steps\": [{\"clearBadge\": 3}]}", "s.json:1:27: \"clearBadge\" takes no argument"},
      {"{\"steps\": [{\"schedule\": {\"content\": {\"titel\": \"x\"}}}]}",
       "s.json:1:38: unknown key \"titel\" in \"content\" (did you mean \"title\"?)"},
      {"{\"steps\": [{\"schedule\": {\"trigger\": {\"fireDate\": \"tomorrow\"}}}]}",
       "s.json:1:50: \"tomorrow\" is not an ISO-8601 time"},
      {"{\"steps\": [{\"expect\": {}}]}", "s.json:1:23: \"expect\" names at least one expectation"},
      {"{\"steps\": [{\"expect\": {\"badge\": 1, \"badge\": 2}}]}",
       "s.json:1:36: duplicate key \"badge\" in \"expect\""},
      {"{\"steps\": [{\"expect\": {\"colour\": 1}}]}", "s.json:1:24: unknown key \"colour\" in \"expect\""},
      {"{\"os\": \"ten\", \"steps\": []}", "s.json:1:8: \"ten\" is not a system version"},
      {"{\"host\": {\"implements\": [\"application:didReceive:\"]}, \"steps\": []}",
       "s.json:1:26: the sample host has no callback \"application:didReceive:\""},
      {"{\"steps\": [{\"remove\": {\"identifiers\": [1]}}]}",
       "s.json:1:40: an identifier is a string, not the number 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    std::string problem = problemWith(c.text);
    EXPECT_EQ(problem.rfind(c.message, 0), 0u) << problem;
  }
}

TEST(ScenarioReading, ColumnsCountCharactersNotBytes) {
  EXPECT_EQ(problemWith("{\"description\": \"héé\", \"steps\": 1}").substr(0, 12), "s.json:1:33:") << "35 in bytes";
}

TEST(ScenarioReading, PayloadsOverThePushServiceLimitAreRefused) {
  std::string body(4070, 'x');
  std::string payload = "{\"aps\": {\"alert\": \"" + body + "\"}}";
  EXPECT_EQ(problemWith("{\"steps\": [{\"push\": " + payload + "}]}"), "");
  std::string over = "{\"aps\": {\"alert\": \"" + body + "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\"}}";
  std::string problem = problemWith("{\"steps\": [{\"push\": " + over + "}]}");
  EXPECT_EQ(problem, "s.json:1:21: the payload is 4120 bytes of JSON; the push service refuses more than 4096");
  // The directive key does not count: it is not delivered.
  std::string withTarget = "{\"Simulator Target Bundle\": \"" + std::string(100, 'b') + "\", " + payload.substr(1);
  EXPECT_EQ(problemWith("{\"steps\": [{\"push\": " + withTarget + "}]}"), "");
}

TEST(ScenarioReading, PayloadFilesAreReadBesideTheScenarioAndNamedInTheirMessages) {
  auto dir = std::filesystem::temp_directory_path() / ("orvel-sim-scenario-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "good.json") << R"({"aps": {"badge": 4}})";
  std::ofstream(dir / "bad.json") << "{\n  \"aps\": [\n}";
  std::ofstream(dir / "list.json") << "[1]";

  Scenario sc = parseScenario(R"({"steps": [{"push": "good.json"}]})", "s.json", dir.string());
  ASSERT_EQ(sc.steps.size(), 1u);
  EXPECT_EQ(sc.steps[0].text, "good.json");
  EXPECT_TRUE(sc.steps[0].payload->objectForKey("aps"));

  std::string bad = problemWith(R"({"steps": [{"push": "bad.json"}]})", dir.string());
  EXPECT_EQ(bad.rfind((dir / "bad.json").string() + ":3:1: not valid JSON", 0), 0u) << bad;
  std::string list = problemWith(R"({"steps": [{"push": "list.json"}]})", dir.string());
  EXPECT_EQ(list, (dir / "list.json").string() + ":1:1: a payload is a JSON object, not an array");
  std::string missing = problemWith(R"({"steps": [{"push": "missing.json"}]})", dir.string());
  EXPECT_EQ(missing.rfind("s.json:1:21: cannot read the payload file \"missing.json\": ", 0), 0u) << missing;
  EXPECT_EQ(problemWith(R"({"steps": [{"push": "-"}]})").rfind("s.json:1:21: \"push\" names a payload file", 0), 0u);
  std::filesystem::remove_all(dir);
}

TEST(ScenarioReading, UnreadableFilesAreBadInputAtTheirStart) {
  try {
    readInput("/nonexistent/scenario.json");
    FAIL();
  } catch (const BadInput& e) {
    EXPECT_EQ(std::string(e.what()).rfind("/nonexistent/scenario.json:1:1: cannot read", 0), 0u) << e.what();
  }
  EXPECT_THROW(readInput("/dev/zero"), BadInput) << "not a regular file, so never read for ever";
  EXPECT_THROW(readInput("/tmp"), BadInput);
}

TEST(ScenarioReading, PushCommandScenario) {
  Step push = parsePushFile(R"({"aps": {"alert": "x"}})", "p.json");
  Scenario sc = pushScenario("p.json", push, "not-running", true);
  std::vector<std::string> names;
  for (const Step& s : sc.steps) names.push_back(s.name + (s.text.empty() ? "" : ":" + s.text));
  EXPECT_EQ(names, (std::vector<std::string>{"launch", "state:not-running", "push:p.json", "open:latest"}));
  EXPECT_EQ(pushScenario("p.json", push, "active", false).steps.size(), 2u);
}

TEST(ScenarioReading, ISO8601RoundTripsAndRefusesNonsense) {
  EXPECT_EQ(parseISO8601("2026-01-01T00:00:00Z"), 1767225600.0);
  EXPECT_EQ(parseISO8601("2026-01-01"), 1767225600.0);
  EXPECT_EQ(parseISO8601("2026-01-01T02:00:00+02:00"), 1767225600.0);
  EXPECT_EQ(parseISO8601("2025-12-31T19:00:00-0500"), 1767225600.0);
  EXPECT_DOUBLE_EQ(*parseISO8601("2026-01-01T00:00:00.25Z"), 1767225600.25);
  EXPECT_EQ(parseISO8601("1970-01-01T00:00:00Z"), 0.0);
  for (const char* bad : {"", "2026", "2026-13-01", "2026-01-01T25:00", "2026-01-01T00:00Zjunk", "01/01/2026",
                          "2026-02-29", "2026-04-31"}) {
    EXPECT_FALSE(parseISO8601(bad)) << bad;
  }
  EXPECT_EQ(formatISO8601(1767225600), "2026-01-01T00:00:00Z");
  EXPECT_EQ(formatISO8601(1767225600.1), "2026-01-01T00:00:00.100Z");
  EXPECT_EQ(formatISO8601(951782400), "2000-02-29T00:00:00Z");
  // Against the C library's calendar, across the years a date can have here
  // and at the edges where the digits are written differently.
  std::mt19937_64 random(5);
  // Years 0 and 9999 at their ends, then moments before and after a second.
  std::vector<double> moments = {-62167219200.0, -62167219200.5, -62167219201.0, 253402300799.999, 253402300800.0};
  for (double moment : {-1.0, -0.0005, 0.9995, 59.9999}) moments.push_back(moment);
  for (int i = 0; i < 5000; ++i) moments.push_back(static_cast<double>(random() % 253402300800ULL) + (i % 7) * 0.125);
  for (double moment : moments) {
    const double whole = std::floor(moment);
    int64_t millis = std::llround((moment - whole) * 1000);
    auto t = static_cast<time_t>(whole);
    if (millis == 1000) ++t, millis = 0;
    std::tm calendar{};
    ASSERT_TRUE(gmtime_r(&t, &calendar)) << moment;
    char expected[64];
    std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%S", &calendar);
    std::string text = expected;
    if (calendar.tm_year + 1900 < 1000) text.insert(0, 4 - std::to_string(calendar.tm_year + 1900).size(), '0');
    if (calendar.tm_year + 1900 < 0 || calendar.tm_year + 1900 > 9999) continue;
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03lld", static_cast<long long>(millis));
    EXPECT_EQ(formatISO8601(moment), text + (millis ? fraction : "") + "Z") << moment;
  }
}

TEST(ScenarioReading, VersionsAreDottedNumbers) {
  for (const char* good : {"9.3", "13.0", "10", "12.4.1"}) EXPECT_TRUE(isVersion(good)) << good;
  for (const char* bad : {"", ".", "9.", ".9", "9..3", "13.0a", "-1", "9,3"}) EXPECT_FALSE(isVersion(bad)) << bad;
}

TEST(ScenarioReading, PartialMatchesOfRecords) {
  Json actual = Json::parse(R"({"name": "e", "object": {"type": 2, "list": [1, {"a": 1, "b": 2}]}, "n": 3})");
  EXPECT_TRUE(jsonContains(actual, Json::parse(R"({"object": {"type": 2}})")));
  EXPECT_TRUE(jsonContains(actual, Json::parse(R"({"object": {"list": [1, {"b": 2}]}, "n": 3.0})")));
  EXPECT_FALSE(jsonContains(actual, Json::parse(R"({"object": {"list": [1]}})"))) << "arrays match in length";
  EXPECT_FALSE(jsonContains(actual, Json::parse(R"({"object": {"type": "2"}})")));
  EXPECT_FALSE(jsonContains(actual, Json::parse(R"({"missing": null})")));
}

TEST(ScenarioReading, EveryShippedExampleIsValid) {
  size_t seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(ORVEL_EXAMPLES_DIR)) {
    if (entry.path().extension() != ".json") continue;
    SCOPED_TRACE(entry.path().string());
    std::string text = readInput(entry.path().string());
    EXPECT_NO_THROW(parseScenario(text, entry.path().string(), ORVEL_EXAMPLES_DIR));
    ++seen;
  }
  EXPECT_GE(seen, 1u);
}

}  // namespace

TEST(ScenarioReading, AnObjectBuiltKeepsAKeysFirstPlaceAndItsLastValue) {
  // Small objects and ones large enough to be indexed, keys given again on
  // both sides of that size.
  for (size_t size : {3u, 15u, 16u, 40u}) {
    JsonObjectBuilder builder;
    for (size_t i = 0; i < size; ++i) {
      builder.set("k" + std::to_string(i), i);
      if (i == 1 || i == 20) builder.set("k0", "again " + std::to_string(i));
    }
    builder.set("k1", "last");
    Json object = builder.take();
    ASSERT_EQ(object.size(), size);
    size_t place = 0;
    for (auto it = object.begin(); it != object.end(); ++it, ++place) EXPECT_EQ(it.key(), "k" + std::to_string(place));
    EXPECT_EQ(object["k0"], size > 20 ? "again 20" : "again 1");
    EXPECT_EQ(object["k1"], "last");
    EXPECT_EQ(object["k" + std::to_string(size - 1)], size - 1);
  }
}

TEST(ScenarioReading, ADeviceValueReadsAsTheJsonLibraryReadsIt) {
  for (const char* text : {"0", "7", "-3", "-0", "4294967296", "999999999999999999", "18446744073709551615",
                           "99999999999999999999", "007", "-", "1.5", "1e3", "abc", "7 ", "+7", "true"}) {
    objc::DeviceRecord device{0, "badge", {{"value", text}}};
    const Json value = fromDeviceRecord(device, 0).fields()["value"];
    Json expected = Json::parse(text, nullptr, false);
    if (expected.is_discarded()) expected = text;
    // Read back from the record's text, "-0" is the 0 it is written as.
    EXPECT_EQ(value, expected) << text;
    EXPECT_EQ(value.is_string(), expected.is_string()) << text;
    EXPECT_EQ(value.dump(), expected.dump()) << text;
  }
}

TEST(ScenarioReading, RecordTextIsTheJsonLibrarysCompactText) {
  auto same = [](const Json& value) {
    TextBuffer fast(1);
    appendJsonText(fast, value);
    EXPECT_EQ(fast.view(), value.dump(-1, ' ', false, Json::error_handler_t::replace)) << value.dump();
  };
  // Every single byte, alone and among text, as a value and as a key.
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    same(one);
    same("a" + one + "b\\\"" + one);
    // Long text is read eight bytes at a time: the byte at every place in a word.
    for (size_t at = 0; at < 17; ++at) same(std::string(at, 'x') + one + std::string(17 - at, '~'));
    same(Json{{one, one}});
  }
  // Valid and invalid UTF-8, cut sequences, the replacement character.
  for (const char* text : {"caf\xc3\xa9", "\xe2\x82\xac\x01", "\xf0\x9f\x98\x80", "\xc3", "\xe2\x82", "\xff\xfe\\",
                           "\xef\xbf\xbd", "\xed\xa0\x80", "\xc0\xaf"}) {
    same(std::string(text));
  }
  same(Json{{"n", nullptr},
            {"b", true},
            {"f", false},
            {"i", -9223372036854775807LL - 1},
            {"u", 18446744073709551615ULL},
            {"d", 0.1},
            {"e", 1e300},
            {"nested", {{"a", Json::array()}, {"o", Json::object()}, {"l", {1, "x", {{"k", nullptr}}}}}}});
  same(Json::binary({1, 2, 3}));
}

TEST(ScenarioReading, ARecordLineIsItsJsonFormWhateverItsFields) {
  auto longWay = [](const Record& r, const std::string& os) {
    Json line = r.toJson();
    if (!os.empty()) line["os"] = os;
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);
  };
  std::vector<Record> records = {
      Record{1.23456, "event", Json{{"name", "n\"q"}, {"object", {{"list", {1, 2.5, nullptr}}}}}},
      Record{0, "log", Json{{"text", std::string("bad \xff byte")}}},
      Record{2, "host", Json::object()},
      // Fields named like the record's own keys take their places.
      Record{3, "note", Json{{"kind", "shadow"}, {"t", 9}, {"text", "x"}}},
      Record{4, "step", Json{{"os", "12.0"}, {"step", "push"}}},
  };
  for (const Record& r : records) {
    for (const std::string& os : {std::string(), std::string("13.0")}) {
      EXPECT_EQ(r.toJsonLine(os), longWay(r, os)) << r.kind << " " << os;
    }
  }
  // Times: whole milliseconds (written without the float printer) and not.
  std::vector<double> times = {0.0,
                               -0.0,
                               0.001,
                               0.01,
                               0.1,
                               0.5,
                               1,
                               9.999,
                               10.01,
                               59.94,
                               86400.25,
                               999999999.999,
                               999999999999.5,
                               1e12,
                               1e15,
                               -0.004,
                               -12.5,
                               1e-9,
                               0.0004999,
                               0.0005,
                               2.0004999,
                               std::numeric_limits<double>::max(),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN()};
  for (int ms = 0; ms < 200000; ms += 7) times.push_back(ms / 1000.0);
  std::mt19937_64 random(17);
  for (int i = 0; i < 20000; ++i) times.push_back(static_cast<double>(random() % 1000000000000ULL) / 1000);
  for (double t : times) {
    const Record r{t, "badge", Json{{"value", 1}}};
    ASSERT_EQ(r.toJsonLine(""), longWay(r, "")) << t;
  }
}
