// What a run shows a person: the terminal timeline (colour, filters,
// folding, wrapping, the words it uses), output that is the same on every
// run, the HTML report and the live page, the last two read by headless
// Chromium where it is installed.
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <mutex>
#include <regex>
#include <thread>

#include "ToolSupport.h"
#include "sim/LivePage.h"
#include "sim/Process.h"
#include "sim/Report.h"
#include "sim/Runner.h"
#include "sim/Scenario.h"

using namespace orvelsim;

namespace {

namespace fs = std::filesystem;

std::string example(const std::string& name) { return std::string(ORVEL_EXAMPLES_DIR) + "/" + name; }

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// orvel-sim with its standard output on a terminal of 100 columns.
std::string simOnTerminal(std::vector<std::string> args, const std::vector<std::string>& environment = {}) {
  int terminal = -1;
  struct winsize size {};
  size.ws_col = 100;
  size.ws_row = 40;
  pid_t pid = forkpty(&terminal, nullptr, nullptr, &size);
  if (pid == 0) {
    for (const auto& e : environment) putenv(const_cast<char*>(e.c_str()));
    unsetenv("ORVEL_SYSTEM_VERSION");
    std::vector<char*> argv{const_cast<char*>(ORVEL_SIM_EXECUTABLE)};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(ORVEL_SIM_EXECUTABLE, argv.data());
    _exit(127);
  }
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  close(terminal);
  waitpid(pid, nullptr, 0);
  return out;
}

bool hasColour(const std::string& text) { return text.find("\x1b[") != std::string::npos; }

// ---- the terminal timeline ----

TEST(SimTimeline, ColourOnATerminalUnlessNoColorAndNeverIntoAPipe) {
  EXPECT_FALSE(hasColour(sim({"tour"}).out)) << "a pipe gets no colour";
  EXPECT_TRUE(hasColour(sim({"tour", "--color", "always"}).out));
  EXPECT_TRUE(hasColour(simOnTerminal({"tour"})));
  EXPECT_FALSE(hasColour(simOnTerminal({"tour"}, {"NO_COLOR=1"})));
  EXPECT_FALSE(hasColour(simOnTerminal({"tour", "--color", "never"})));
  EXPECT_FALSE(hasColour(sim({"tour", "--json", "--color", "always"}).out)) << "JSON is never coloured";
  EXPECT_EQ(sim({"tour", "--color", "sometimes"}).status, 2);
}

TEST(SimTimeline, FiltersByKindAndLifecycleCallsFoldedUnlessVerbose) {
  Result folded = sim({"tour", "--os", "13.0", "--wide"});
  EXPECT_NE(folded.out.find("lifecycle  active → background  (applicationWillResignActive:, "
                            "applicationDidEnterBackground: and their broadcasts)"),
            std::string::npos)
      << folded.out;
  EXPECT_EQ(folded.out.find("broadcast UIApplicationDidEnterBackgroundNotification"), std::string::npos);

  Result verbose = sim({"tour", "--os", "13.0", "--verbose", "--wide"});
  EXPECT_EQ(verbose.out.find("lifecycle "), std::string::npos);
  EXPECT_NE(verbose.out.find("broadcast UIApplicationDidEnterBackgroundNotification"), std::string::npos);
  EXPECT_GT(lines(verbose.out).size(), lines(folded.out).size() + 30);

  // Only events: the steps stay as headings, nothing else shows.
  Result events = sim({"tour", "--os", "13.0", "--only", "event", "--wide"});
  for (const std::string& line : lines(events.out)) {
    if (line.size() < 12 || line.starts_with("==") || line.starts_with("tour:")) continue;
    EXPECT_TRUE(line.find("  ▶ ") != std::string::npos || line.find("    event      ") != std::string::npos) << line;
  }
  EXPECT_EQ(count(events.out, "    event      "), 6u) << events.out;

  Result hidden = sim({"tour", "--os", "13.0", "--hide", "lifecycle,log,os", "--wide"});
  EXPECT_EQ(hidden.out.find("lifecycle "), std::string::npos);
  EXPECT_EQ(hidden.out.find("    os "), std::string::npos);
  EXPECT_NE(hidden.out.find("    host       application:didFinishLaunchingWithOptions:"), std::string::npos);

  // A kind it does not know (a misspelling, or a kind of a newer program)
  // matches nothing, and it says so.
  Result unknown = sim({"tour", "--os", "13.0", "--hide", "events"});
  EXPECT_EQ(unknown.status, 0);
  EXPECT_NE(unknown.err.find("orvel-sim: warning: --hide: \"events\" is not a record kind this program makes"),
            std::string::npos)
      << unknown.err;
  EXPECT_NE(unknown.out.find("    event      "), std::string::npos);
}

TEST(SimTimeline, NothingIsCutLinesWrapToTheWidthOrStayWholeWhenWide) {
  auto width = [](const std::string& line) {
    size_t n = 0;
    for (unsigned char c : line) n += (c & 0xC0) != 0x80;
    return n;
  };
  Result narrow = sim({"tour", "--os", "13.0"}, "", "", {"COLUMNS=72"});
  for (const std::string& line : lines(narrow.out)) EXPECT_LE(width(line), 72u) << line;
  EXPECT_EQ(narrow.out.find("…"), std::string::npos);

  std::string onTerminal = simOnTerminal({"tour", "--os", "13.0", "--color", "never"});
  for (const std::string& line : lines(onTerminal)) EXPECT_LE(width(line), 101u) << line;  // and its CR

  Result wide = sim({"tour", "--os", "13.0", "--wide"});
  EXPECT_EQ(wide.out.find("…"), std::string::npos);
  // The host's whole argument, on its line.
  bool whole = false;
  for (const std::string& line : lines(wide.out))
    whole |= line.find("host       userNotificationCenter:willPresentNotification:") != std::string::npos &&
             line.find("\"date\":\"2026-01-01T00:00:35Z\"},\"<block>\"]  (completes with 7)") != std::string::npos;
  EXPECT_TRUE(whole) << wide.out;
}

TEST(SimTimeline, ListActionsBadgeClearingCompletionsAndAttachmentsInPlainWords) {
  Result modern = sim({"tour", "--os", "13.0", "--wide"});
  EXPECT_NE(modern.out.find("local      delivered push-1\n"), std::string::npos) << modern.out;
  EXPECT_EQ(modern.out.find("delivered delivered"), std::string::npos);
  EXPECT_NE(modern.out.find("badge      badge cleared (-1)"), std::string::npos);
  EXPECT_NE(modern.out.find("fetchCompletionHandler: → 0  completed by host"), std::string::npos);
  EXPECT_NE(modern.out.find("didReceiveNotificationResponse:withCompletionHandler: → null  completed by library"),
            std::string::npos);
  EXPECT_NE(modern.out.find("attachment downloaded $SERVER/picture.png for photo (image/png), 70 bytes"),
            std::string::npos);
  EXPECT_NE(modern.out.find("attachment attached $SERVER/picture.png for photo (public.png download-1.png)"),
            std::string::npos);

  // Below 10.0 the device names legacy notifications itself; the lines
  // name the request.
  Result legacy = sim({"tour", "--os", "9.3", "--wide"});
  EXPECT_NE(legacy.out.find("local      scheduled stretch\n"), std::string::npos) << legacy.out;
  EXPECT_NE(legacy.out.find("local      notices delivered stretch\n"), std::string::npos);
  EXPECT_NE(legacy.out.find("attachment unsupported $SERVER/picture.png for photo"), std::string::npos);

  Result outcomes = sim({"run", example("local-notifications.json"), "--os", "13.0", "--wide"});
  EXPECT_NE(outcomes.out.find("attachment downloaded $SERVER/notes.txt for notes (text/plain), 17 bytes"),
            std::string::npos)
      << outcomes.out;
  EXPECT_NE(outcomes.out.find("attachment refused $SERVER/notes.txt for notes: the system did not take"),
            std::string::npos);
  EXPECT_NE(outcomes.out.find("attachment failed http://127.0.0.1:9/picture.png for unreachable"), std::string::npos);
}

TEST(SimTimeline, AChildOfAnotherVersionGetsNoneOfTheOutputOptions) {
  EXPECT_EQ(childArguments({"run", "a.json", "--only", "event,host", "--hide=log", "--color", "always", "--wide",
                            "--verbose", "--html", "r.html", "--os", "9.3,13.0", "--clock", "2030-01-01T00:00:00Z"},
                           "9.3"),
            (std::vector<std::string>{"run", "a.json", "--clock", "2030-01-01T00:00:00Z", "--os", "9.3", "--json"}));
}

// ---- reproducible output ----

TEST(SimReproducible, TwoRunsOfTheTourWriteTheSameBytes) {
  Result first = sim({"tour", "--os", "9.3,13.0", "--json"});
  Result second = sim({"tour", "--os", "9.3,13.0", "--json"});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, second.out);
  EXPECT_EQ(first.out.find("127.0.0.1:"), std::string::npos) << "no port of the attachment server";
  EXPECT_TRUE(std::regex_search(first.out, std::regex("\"file\":\"download-1\\.png\""))) << "files numbered";

  fs::path a = scratch() / "first.html", b = scratch() / "second.html";
  ASSERT_EQ(sim({"tour", "--os", "9.3,13.0", "--html", a.string()}).status, 0);
  ASSERT_EQ(sim({"tour", "--os", "9.3,13.0", "--html", b.string()}).status, 0);
  std::string html = slurp(a);
  EXPECT_FALSE(html.empty());
  EXPECT_EQ(html, slurp(b));
  EXPECT_EQ(html.find("127.0.0.1:"), std::string::npos);
  EXPECT_FALSE(fs::exists(a.string() + ".part"));
}

TEST(SimReportFile, AFileThatCannotBeWrittenIsBadInputBeforeAnythingRuns) {
  Result directory = sim({"tour", "--html", scratch().string()});
  EXPECT_EQ(directory.status, 2);
  EXPECT_NE(directory.err.find("is a directory"), std::string::npos) << directory.err;
  EXPECT_EQ(directory.out, "");
  Result empty = sim({"tour", "--html", ""});
  EXPECT_EQ(empty.status, 2);
  EXPECT_EQ(empty.out, "");
  Result missing = sim({"tour", "--html", (scratch() / "no-such-directory" / "report.html").string()});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("--html: cannot write"), std::string::npos) << missing.err;
  EXPECT_EQ(missing.out, "");
}

// ---- the report's model and markup ----

Record record(double t, std::string kind, Json fields) {
  Record r;
  r.t = t;
  r.kind = std::move(kind);
  r.fields() = std::move(fields);
  return r;
}

TEST(SimReport, ThePhoneAfterEachStepFollowsTheRecords) {
  RunReport run("9.3");
  run.add(record(0, "step", {{"step", "launch"}, {"value", Json::object()}}));
  run.add(record(0, "os", {{"call", "applicationDidBecomeActive:"}, {"state", "active"}, {"receiver", "x"}}));
  run.add(record(0, "step", {{"step", "state"}, {"value", "background"}}));
  run.add(record(0, "os", {{"call", "applicationWillResignActive:"}, {"state", "active"}, {"receiver", "x"}}));
  // A payload from a file: the step names the file and carries what it held.
  run.add(record(1, "step",
                 {{"step", "push"},
                  {"id", "push-1"},
                  {"value", "alert.json"},
                  {"payload", {{"aps", {{"alert", {{"title", "Hi"}, {"body", "There"}}}, {"badge", 3}}}}}}));
  run.add(record(1, "badge", {{"value", 3}}));
  run.add(record(1, "local", {{"list", "notices"}, {"action", "delivered"}, {"id", "push-1"}}));
  // A legacy local notification: the device's own name, and the request's.
  run.add(
      record(2, "step", {{"step", "schedule"}, {"value", {{"identifier", "tea"}, {"content", {{"body", "Tea"}}}}}}));
  run.add(record(3, "local", {{"list", "notices"}, {"action", "delivered"}, {"id", "UUID-1"}, {"request", "tea"}}));
  run.add(record(4, "step", {{"step", "clearBadge"}, {"value", nullptr}}));
  run.add(record(4, "badge", {{"value", -1}}));
  run.add(record(4, "local", {{"list", "notices"}, {"action", "removed"}, {"id", "push-1"}}));

  const auto& steps = run.steps();
  ASSERT_EQ(steps.size(), 5u);
  EXPECT_EQ(steps[0].phone.appState, "active");
  EXPECT_EQ(steps[1].phone.appState, "background") << "the state the step moved to, once it ended";
  ASSERT_EQ(steps[2].phone.delivered.size(), 1u);
  EXPECT_EQ(steps[2].phone.badge, 3);
  EXPECT_EQ(steps[2].phone.delivered[0].title, "Hi");
  EXPECT_EQ(steps[2].phone.delivered[0].body, "There");
  ASSERT_EQ(steps[3].phone.delivered.size(), 2u);
  EXPECT_EQ(steps[3].phone.delivered[0].id, "tea") << "the latest first, by the request's identifier";
  EXPECT_EQ(steps[3].phone.delivered[0].body, "Tea");
  ASSERT_EQ(steps[4].phone.delivered.size(), 1u);
  EXPECT_EQ(steps[4].phone.badge, -1);
  std::string phone = renderPhone(steps[4].phone);
  EXPECT_NE(phone.find("badge none (cleared)"), std::string::npos);
  EXPECT_EQ(phone.find("class=\"badge\""), std::string::npos) << "no number on the icon";
}

TEST(SimReport, UnknownKindsGoToTheSystemLaneAndTextIsEscaped) {
  ReportPage page;
  page.title = "<b>t</b>";
  page.runs.emplace_back("13.0");
  page.runs.back().add(record(0, "note", {{"text", "<script>alert(1)</script>"}}));
  page.runs.back().add(record(0, "step", {{"step", "push"}, {"value", Json::object()}}));
  page.runs.back().add(record(0, "provider", {{"status", 200}, {"apns-id", "x"}}));
  std::string html = renderReportPage(page);
  EXPECT_EQ(html.find("<script>alert"), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(html.find("<title>orvel-sim: &lt;b&gt;t&lt;/b&gt;</title>"), std::string::npos);
  EXPECT_NE(html.find("<td class=\"lane-system\"><span class=\"kind\">provider</span>"), std::string::npos) << html;
  EXPECT_EQ(laneOf(record(0, "provider", Json::object())), "system");
}

TEST(SimReport, VersionsSideBySideMarkWhatDiffersAndTheTableHasEveryRow) {
  ReportPage page;
  for (const char* v : {"9.3", "13.0"}) {
    page.runs.emplace_back(v);
    page.runs.back().add(record(0, "step", {{"step", "push"}, {"value", Json::object()}}));
    page.runs.back().add(record(0, "badge", {{"value", 1}}));
    page.runs.back().add(record(0, "host", {{"call", std::string(v) == "9.3" ? "old:" : "new:"}}));
  }
  RunSummary a, b;
  a.add(record(0, "badge", {{"value", 1}}));
  b.add(record(0, "badge", {{"value", 1}}));
  a.add(record(0, "host", {{"call", "old:"}}));
  b.add(record(0, "host", {{"call", "new:"}}));
  page.comparison = Comparison::of({"9.3", "13.0"}, {a, b});
  std::string html = renderReportBody(page);
  EXPECT_EQ(count(html, "rec k-badge\""), 2u) << "the same badge write on both: not marked";
  EXPECT_EQ(count(html, "rec k-host diff\""), 2u) << html;
  EXPECT_NE(html.find("class=\"step differs\""), std::string::npos);
  // Every row compared, the equal ones too.
  EXPECT_NE(html.find("<tr><td>final badge</td><td>1</td><td>1</td></tr>"), std::string::npos) << html;
  EXPECT_NE(html.find("<tr class=\"diff\"><td>host new:</td><td>0</td><td>1</td></tr>"), std::string::npos);
}

// ---- in a browser ----

TEST(SimReportBrowser, TheTourOnTwoVersionsHasThePhonesTheLanesAndEveryRecordWithOrWithoutScripts) {
  SKIP_WITHOUT_CHROMIUM();
  fs::path artifacts = ORVEL_SIM_ARTIFACTS;
  fs::create_directories(artifacts);
  fs::path report = artifacts / "tour-report.html";
  Result json = sim({"tour", "--os", "9.3,13.0", "--json"});
  ASSERT_EQ(sim({"tour", "--os", "9.3,13.0", "--html", report.string()}).status, 0);
  size_t shown = 0;  // every record but the steps and notes, which head the rows
  for (const Json& r : json.records())
    if (r["kind"] != "step" && r["kind"] != "note" && r["kind"] != "compare") ++shown;

  // The browser reads the DOM through scripts of its own, so the page
  // without scripts is the page with its script taken out.
  std::string page = slurp(report);
  size_t script = page.find("<script>");
  ASSERT_NE(script, std::string::npos);
  std::string withoutScript = page.substr(0, script) + page.substr(page.find("</script>") + 9);
  fs::path scriptless = writeFile("tour-report-without-script.html", withoutScript);
  for (bool scripts : {true, false}) {
    SCOPED_TRACE(scripts ? "with scripts" : "without scripts");
    std::string dom = Browser::dom("file://" + (scripts ? report : scriptless).string());
    ASSERT_FALSE(dom.empty());
    EXPECT_EQ(count(dom, "<tr class=\"rec "), shown);
    EXPECT_GE(count(dom, "<div class=\"phone\""), 2 * 40u) << "a phone per step and version";
    for (const char* lane :
         {"<th>system</th>", "<th>library</th>", "<th>host callbacks</th>", "<th>host observers</th>"})
      EXPECT_GT(count(dom, lane), 40u) << lane;
    EXPECT_NE(dom.find("<b class=\"title\">Order shipped</b>"), std::string::npos);
    EXPECT_NE(dom.find("aria-label=\"image attachment\""), std::string::npos) << "the photo on 13.0";
    EXPECT_NE(dom.find("<section id=\"comparison\">"), std::string::npos);
    // The script only adds the navigation.
    EXPECT_EQ(dom.find("<div id=\"nav\" style=\"--versions:2\" class=\"on\">") != std::string::npos, scripts);
  }
  Result shot = Browser::run("file://" + report.string(),
                             {"--window-size=1400,1200", "--screenshot=" + (artifacts / "tour-report.png").string()});
  EXPECT_EQ(shot.status, 0) << shot.err;
  EXPECT_GT(fs::file_size(artifacts / "tour-report.png"), 10000u);
}

TEST(SimLivePageConcurrency, RecordsShowAsTheyComeAndAButtonReachesTheControl) {
  SKIP_WITHOUT_CHROMIUM();
  std::mutex lock;
  std::vector<std::string> controlled;
  std::unique_ptr<LivePage> page;
  page = std::make_unique<LivePage>("live", "13.0", [&](const std::string& step) {
    {
      std::lock_guard<std::mutex> g(lock);
      controlled.push_back(step);
    }
    if (step == R"({"state":"asleep"})") throw std::invalid_argument("no such state");
    // What the device would then record.
    page->add(record(9, "step", {{"step", "open"}, {"value", "latest"}}));
    page->add(record(9, "event",
                     {{"name", "OrvelDidReceiveMessageNotification"},
                      {"type", 2},
                      {"object", {{"notificationMessageType", 2}, {"identifier", "push-1"}}}}));
  });
  Scenario scenario = parseScenario(R"({"steps": [{"launch": {}}, {"state": "background"},
      {"push": {"aps": {"alert": {"title": "Live", "body": "From the service"}, "badge": 4}}}]})",
                                    "live.json", ".");
  // The records come from the run's threads as they are made.
  RunResult result = runScenario(scenario, RunOptions{}, [&](const Record& r) { page->add(r); });
  ASSERT_EQ(result.exitStatus(), 0);

  std::string dom = Browser::dom(page->address());
  EXPECT_NE(dom.find("<b class=\"title\">Live</b>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("<span class=\"badge\">4</span>"), std::string::npos);
  EXPECT_NE(dom.find("data-step=\"{&quot;open&quot;:&quot;latest&quot;}\""), std::string::npos);

  // The first button opens the latest notification; the page shows what followed.
  dom = Browser::dom(page->address() + "#press=0", {"--virtual-time-budget=2000"});
  {
    std::lock_guard<std::mutex> g(lock);
    ASSERT_EQ(controlled, std::vector<std::string>{R"({"open":"latest"})"});
  }
  EXPECT_NE(dom.find("type 2 (remote opened) id push-1"), std::string::npos) << dom;

  httplib::Client client("127.0.0.1", page->port());
  auto bad = client.Post("/control", "[\"open\"]", "application/json");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);
  auto refused = client.Post("/control", R"({"state": "asleep"})", "application/json");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 422);
  EXPECT_NE(refused->body.find("no such state"), std::string::npos);
  page.reset();  // stops while nothing is connected, and with the events stream closed
}

}  // namespace
