// orvel-sim: the device simulator. Runs the sample host on a simulated
// device and shows what the library does, as a readable timeline or as JSON
// Lines. See README.md for the commands, the records and the scenarios.
#include <sys/ioctl.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "PushService/ProviderToken.h"
#include "UIKit/UIKit.h"
#include "sim/LineWriter.h"
#include "sim/LivePage.h"
#include "sim/Process.h"
#include "sim/Records.h"
#include "sim/Report.h"
#include "sim/Runner.h"
#include "sim/Scenario.h"
#include "sim/Serve.h"
#include "tour_json.h"

extern char** environ;

namespace {

using namespace orvelsim;

constexpr int kBadInput = 2;

struct Options {
  std::string os;
  bool json = false;
  std::string clock;
  // Every command takes --os and --clock; these say whether any was given
  // (an empty value is a mistake, not the default).
  std::vector<CLI::Option*> osOptions, clockOptions;
  std::string file;
  std::string state = "active";
  bool open = false;
  ServeOptions serve;
  int pagePort = 2198;
  bool noPage = false;
  std::string color = "auto";
  std::vector<std::string> only, hide;
  bool wide = false, verbose = false;
  std::string html;
  std::vector<CLI::Option*> htmlOptions;
};

void addCommonOptions(CLI::App& app, Options& o) {
  o.osOptions.push_back(
      app.add_option("--os", o.os,
                     "Simulated system version, such as 9.3 or 13.0; a comma-separated list runs the input once per "
                     "version, each in its own process, and ends with a table of what differed"));
  app.add_flag("--json", o.json, "Write JSON Lines (one record per line) instead of the readable timeline");
  o.clockOptions.push_back(
      app.add_option("--clock", o.clock, "The device clock's start, ISO-8601 (default 2026-01-01T00:00:00Z)"));
  o.htmlOptions.push_back(app.add_option(
      "--html", o.html,
      "Also write the run as one self-contained HTML page: the phone after every step and the records in "
      "lanes, versions side by side"));
  app.add_option("--color", o.color, "Colour the timeline: auto (on a terminal, unless NO_COLOR is set), always, never")
      ->check(CLI::IsMember({"auto", "always", "never"}));
  app.add_option("--only", o.only, "Show only these record kinds in the timeline (comma-separated, e.g. event,host)")
      ->delimiter(',');
  app.add_option("--hide", o.hide, "Leave these record kinds out of the timeline (comma-separated, e.g. log,lifecycle)")
      ->delimiter(',');
  app.add_flag("--wide", o.wide, "One line per record however long, instead of wrapping to the terminal's width");
  app.add_flag("--verbose", o.verbose,
               "Show each lifecycle call instead of one line per change of the application's state");
}

// The timeline's options from the command line. A kind this program does
// not make is kept (a newer record kind may be meant), with a warning.
void timelineOptions(const Options& o, TimelineOptions& out) {
  for (const auto* list : {&o.only, &o.hide}) {
    for (const std::string& kind : *list) {
      if (!recordKinds().count(kind)) {
        std::string known;
        for (const auto& k : recordKinds()) known += (known.empty() ? "" : ", ") + k;
        std::cerr << "orvel-sim: warning: " << (list == &o.only ? "--only" : "--hide") << ": " << displayQuoted(kind)
                  << " is not a record kind this program makes (" << known << "); it matches nothing\n";
      }
    }
  }
  out.only = {o.only.begin(), o.only.end()};
  out.hide = {o.hide.begin(), o.hide.end()};
  out.verbose = o.verbose;
  const bool terminal = ::isatty(STDOUT_FILENO);
  const char* noColor = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  out.color = o.color == "always" ||
              (o.color == "auto" && terminal && !(noColor && *noColor) && !(term && std::string_view(term) == "dumb"));
  if (!o.wide) {
    out.width = 100;
    struct winsize size {};
    if (terminal && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
      out.width = size.ws_col;
    } else if (const char* columns = std::getenv("COLUMNS")) {
      char* end = nullptr;
      long n = std::strtol(columns, &end, 10);
      if (end != columns && *end == '\0' && n > 0 && n < 10000) out.width = static_cast<size_t>(n);
    }
  }
}

bool given(const std::vector<CLI::Option*>& options) {
  return std::any_of(options.begin(), options.end(), [](const CLI::Option* option) { return option->count() > 0; });
}

std::vector<std::string> splitVersions(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    std::string v = list.substr(start, comma - start);
    v.erase(0, v.find_first_not_of(' '));
    v.erase(v.find_last_not_of(' ') + 1);
    out.push_back(v);
    start = comma + 1;
  }
  return out;
}

int badUsage(const std::string& message) {
  std::cerr << "orvel-sim: " << message << " (see orvel-sim --help)\n";
  return kBadInput;
}

// Writes records as they come, in the chosen form.
class Output {
 public:
  // `flushEachLine` false leaves flushing to the caller (flush()), and
  // JSON lines are then written on a thread of their own.
  Output(bool json, TimelineOptions options, bool flushEachLine = true)
      : json_(json), flushEachLine_(flushEachLine), timeline_(std::cout, std::move(options)) {
    if (json_ && !flushEachLine_) writer_.emplace(std::cout);
  }

  void heading(const std::string& text) {
    if (!json_) timeline_.heading(text);
  }
  ~Output() {
    emit();
    writer_.reset();
  }

  void write(const Record& r, const std::string& version = "") {
    lastTime_ = std::max(lastTime_, r.t);
    if (json_) {
      r.appendJsonLine(pending_, version);
      pending_ += '\n';
      if (flushEachLine_) {
        emit();
        std::cout << std::flush;
      } else if (pending_.size() >= kPendingBytes) {
        emit();
      }
    } else {
      timeline_.write(r);
    }
    const std::string_view kind = r.kind;
    if (kind == "expect") {
      ++checked_;
      if (!r.fields().value("ok", false)) ++failed_;
    }
    if (kind == "error") stopped_ = r.fields().value("what", std::string());
  }
  void summary(const std::string& what) {
    if (json_) return;
    timeline_.flush();
    std::cout << "\n" << printable(what) << ": ";
    if (!stopped_.empty()) {
      std::cout << "the run stopped (" << printable(stopped_) << ")";
    } else if (failed_) {
      std::cout << failed_ << " of " << checked_ << " expectations FAILED";
    } else if (checked_) {
      std::cout << "all " << checked_ << " expectations held";
    } else {
      std::cout << "done";
    }
    std::cout << "\n";
    checked_ = failed_ = 0;
    stopped_.clear();
  }
  double lastTime() const { return lastTime_; }
  bool json() const { return json_; }
  void flush() {
    if (!json_) timeline_.flush();
    emit();
    if (writer_) {
      writer_->flush();
    } else {
      std::cout << std::flush;
    }
  }

 private:
  // Lines not flushed one by one leave in pieces of about this size.
  static constexpr size_t kPendingBytes = 1 << 16;

  void emit() {
    if (pending_.empty()) return;
    if (writer_) {
      writer_->hand(pending_);
      return;
    }
    std::cout.write(pending_.view().data(), static_cast<std::streamsize>(pending_.size()));
    pending_.clear();
  }

  TextBuffer pending_{kPendingBytes + 4096};
  std::optional<LineWriter> writer_;
  bool json_;
  bool flushEachLine_;
  Timeline timeline_;
  int checked_ = 0, failed_ = 0;
  std::string stopped_;
  double lastTime_ = 0;
};

bool sendsToThePushService(const Scenario& scenario) {
  return std::any_of(scenario.steps.begin(), scenario.steps.end(),
                     [](const Step& s) { return s.kind == Step::Kind::Send || s.kind == Step::Kind::Network; });
}

// orvel-sim serve on `version`: here when the library was loaded with it,
// else in this process started again with it (same standard input, output
// and process identifier, so that signals reach the server).
int serveVersion(Options& o, const std::string& version, const std::string& loadedVersion, Scenario scenario,
                 char** argv) {
  if (version != loadedVersion) {
    if (std::getenv(kChildMarker)) {
      std::cerr << "orvel-sim: started for system " << version << " but loaded with " << loadedVersion << "\n";
      return 1;
    }
    setenv("ORVEL_SYSTEM_VERSION", version.c_str(), 1);
    setenv(kChildMarker, "1", 1);
    std::string self = selfExecutable();
    execve(self.c_str(), argv, environ);
    std::cerr << "orvel-sim: cannot start " << self << " for system " << version << ": " << std::strerror(errno)
              << "\n";
    return 1;
  }
  ServeOptions options = o.serve;
  if (!o.file.empty()) options.scenario = std::move(scenario);
  if (given(o.clockOptions)) {
    std::optional<double> start = parseISO8601(o.clock);
    if (!start) {
      return badUsage("--clock: " + displayQuoted(o.clock) + " is not an ISO-8601 time such as 2026-01-01T08:00:00Z");
    }
    options.run.startTime = *start;
  } else {
    // Serving follows real time, from now.
    options.run.startTime = static_cast<double>(std::time(nullptr));
  }
  // Records are flushed whenever the server has caught up, not line by line.
  TimelineOptions timeline;
  timelineOptions(o, timeline);
  Output out(o.json, timeline, false);
  options.idle = [&] { out.flush(); };
  // The live page comes up first, so that the "serve" record can give its
  // address; a button pressed before the device runs is refused.
  std::atomic<Server*> serving{nullptr};
  std::optional<LivePage> page;
  if (!o.noPage) {
    if (o.pagePort < 0 || o.pagePort > 65535) return badUsage("--page-port: a port is from 0 to 65535");
    try {
      page.emplace(
          "serve", version,
          [&](const std::string& step) {
            Server* server = serving.load();
            if (!server) throw std::runtime_error("the device is not running yet");
            server->control(step);
          },
          o.pagePort);
    } catch (const std::exception& e) {
      std::cerr << "orvel-sim serve: the live page cannot listen on 127.0.0.1:" << o.pagePort << ": "
                << printable(e.what()) << " (choose another --page-port, or --no-page)\n";
      return kBadInput;
    }
    options.livePage = page->address();
  }
  std::optional<Server> server;
  try {
    server.emplace(std::move(options), [&](const Record& r) { out.write(r); });
  } catch (const objc::PushServiceError& e) {
    std::cerr << "orvel-sim serve: " << printable(e.what()) << "\n";
    return kBadInput;
  }
  if (page) server->recorder().subscribe([&](const Record& r) { page->add(r); });
  serving = &*server;
  out.heading("serve on system " + version);
  ServeInput input;
  input.attach(*server);
  int status = server->serve();
  serving = nullptr;
  out.summary("serve");
  return status;
}

// Writes the page whole or not at all: to a file beside `path` first,
// which then takes its place.
bool writeReport(const std::string& path, const ReportPage& page) {
  const std::string partial = path + ".part";
  std::error_code e;
  {
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    file << renderReportPage(page);
    file.close();
    if (!file) {
      std::cerr << "orvel-sim: --html: cannot write " << displayQuoted(partial) << ": " << std::strerror(errno) << "\n";
      std::filesystem::remove(partial, e);
      return false;
    }
  }
  std::filesystem::rename(partial, path, e);
  if (e) {
    std::cerr << "orvel-sim: --html: cannot write " << displayQuoted(path) << ": " << e.message() << "\n";
    std::filesystem::remove(partial, e);
    return false;
  }
  return true;
}

int run(int argc, char** argv) {
  // The version the library saw when it was loaded with this process.
  const std::string loadedVersion = objc::UIDevice::currentDevice()->systemVersion()->utf8();

  Options o;
  CLI::App app{
      "orvel-sim: runs a sample host application with the Orvel SDK on a simulated device and shows what "
      "the library does. Without a command it runs the tour.",
      "orvel-sim"};
  addCommonOptions(app, o);
  app.set_version_flag("--version", std::string("orvel-sim ") + ORVEL_VERSION, "Print the version and exit");
  app.require_subcommand(0, 1);

  CLI::App* tour = app.add_subcommand(
      "tour",
      "Run the built-in tour: launch, permission, device token, pushes in the background and foreground, a "
      "silent push, local notifications (one with a downloaded attachment), badge changes and removal, with "
      "expectations that check themselves");
  addCommonOptions(*tour, o);

  CLI::App* push = app.add_subcommand(
      "push",
      "Deliver one payload file to the sample host after launching it the usual way (it registers with "
      "types 7, the device answers allow)");
  addCommonOptions(*push, o);
  push->add_option("FILE", o.file,
                   "A JSON payload: an \"aps\" dictionary, custom keys, an optional \"Simulator Target Bundle\"; - "
                   "reads standard input")
      ->required();
  push->add_option("--state", o.state, "The application's state when the push arrives")
      ->check(CLI::IsMember({"active", "inactive", "background", "not-running", "force-quit"}));
  push->add_flag("--open", o.open, "Then open the notification, as the user tapping it");

  CLI::App* run = app.add_subcommand("run", "Run a scenario file (see README.md for the format)");
  addCommonOptions(*run, o);
  run->add_option("SCENARIO", o.file, "A scenario file; - reads standard input")->required();

  CLI::App* serve = app.add_subcommand(
      "serve",
      "Launch the sample host and run the push service in front of it, so that provider code (curl --http2, a "
      "provider library) can send it notifications; scenario steps written as JSON lines on standard input drive "
      "the device meanwhile. Prints the address, device token, topic and files to use, then serves until SIGINT or "
      "SIGTERM. One system version at a time");
  addCommonOptions(*serve, o);
  ServeOptions& so = o.serve;
  serve->add_option("--scenario", o.file, "A scenario to run first (its \"host\" configures the sample host)");
  serve->add_option("--exit-after", so.exitAfter, "Stop after this many accepted pushes (for scripts)");
  serve->add_option("--address", so.address, "The address to listen on (default 127.0.0.1)");
  serve->add_option("--port", so.port, "The port to listen on (default 2197; 0 picks a free one)");
  CLI::Option* h2c = serve->add_flag("--h2c", so.cleartext, "Cleartext HTTP/2 with prior knowledge instead of TLS");
  CLI::Option* certificateOut = serve->add_option(
      "--certificate-out", so.certificateOut,
      "Where to write the service's TLS certificate, for clients to trust (default orvel-sim-service.pem)");
  CLI::Option* certificate =
      serve->add_option("--certificate", so.certificateFile, "Present this PEM certificate instead of a new one");
  CLI::Option* privateKey = serve->add_option("--private-key", so.privateKeyFile, "The private key of --certificate");
  CLI::Option* authKey =
      serve->add_option("--auth-key", so.authKeyFile,
                        "Check provider tokens against this key (.p8 or public key PEM); needs --key-id "
                        "and --team-id. Without it a new key pair is made and its .p8 written");
  CLI::Option* keyId = serve->add_option("--key-id", so.keyId, "The key identifier (10 letters or digits)");
  CLI::Option* teamId = serve->add_option("--team-id", so.teamId, "The team identifier (10 letters or digits)");
  CLI::Option* newKey = serve->add_option(
      "--new-key", so.newKeyFile, "Where to write the new key pair's private key (default AuthKey_<key id>.p8)");
  CLI::Option* noAuth = serve->add_flag("--no-auth", so.noAuth, "Accept requests without a provider token");
  serve->add_option(
      "--topic", so.topic,
      "The sample host's bundle identifier, the topic to send to (default " + std::string(kSampleHostBundleId) + ")");
  CLI::Option* pagePort = serve->add_option(
      "--page-port", o.pagePort, "The port of the live device page on 127.0.0.1 (default 2198; 0 picks a free one)");
  serve->add_flag("--no-page", o.noPage, "Serve no live device page")->excludes(pagePort);
  authKey->needs(keyId, teamId)->excludes(newKey);
  noAuth->excludes(authKey, keyId, teamId, newKey);
  h2c->excludes(certificateOut, certificate, privateKey);
  certificate->needs(privateKey);
  privateKey->needs(certificate);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::CallForAllHelp&) {
    std::cout << app.help("", CLI::AppFormatMode::All);
    return 0;
  } catch (const CLI::CallForVersion& e) {
    std::cout << e.what() << "\n";
    return 0;
  } catch (const CLI::ParseError& e) {
    // A subcommand's --help is reported through its own parse error.
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
      for (CLI::App* sub : {tour, push, run, serve})
        if (sub->parsed()) {
          std::cout << sub->help();
          return 0;
        }
      std::cout << app.help();
      return 0;
    }
    return badUsage(e.what());
  }

  // ---- the input, checked in full before anything runs ----
  std::string input;  // what a child reads from standard input
  Scenario scenario;
  try {
    if (push->parsed()) {
      std::string content = readInput(o.file);
      if (o.file == "-") input = content;
      Step step = parsePushFile(content, displayName(o.file));
      scenario = pushScenario(displayName(o.file), std::move(step), o.state, o.open);
    } else if (run->parsed() || (serve->parsed() && !o.file.empty())) {
      std::string content = readInput(o.file);
      if (o.file == "-") input = content;
      std::string directory = o.file == "-" ? "." : std::filesystem::path(o.file).parent_path().string();
      scenario = parseScenario(content, displayName(o.file), directory.empty() ? "." : directory);
    } else {
      std::string_view text(reinterpret_cast<const char*>(kTourJson), sizeof kTourJson);
      scenario = parseScenario(text, "tour.json", ".");
    }
  } catch (const BadInput& e) {
    std::cerr << e.what() << "\n";
    return kBadInput;
  }

  RunOptions runOptions;
  if (given(o.clockOptions)) {
    std::optional<double> start = parseISO8601(o.clock);
    if (!start) {
      return badUsage("--clock: " + displayQuoted(o.clock) + " is not an ISO-8601 time such as 2026-01-01T08:00:00Z");
    }
    runOptions.startTime = *start;
  }
  std::vector<std::string> versions = scenario.versions;
  if (given(o.osOptions)) versions = splitVersions(o.os);
  if (versions.empty()) versions = {loadedVersion};
  for (const auto& v : versions) {
    if (!isVersion(v)) {
      return badUsage("--os: " + displayQuoted(v) +
                      " is not a system version such as 9.3 or 13.0 (dot-separated whole numbers, each at most " +
                      std::to_string(INT64_MAX) + ")");
    }
  }

  const std::string title = push->parsed()  ? "push " + displayName(o.file)
                            : run->parsed() ? "run " + displayName(o.file)
                                            : std::string("tour");
  TimelineOptions timeline;
  timelineOptions(o, timeline);
  // The report is written once the run has ended; whether it can be is
  // known before anything runs.
  std::optional<ReportPage> report;
  if (given(o.htmlOptions)) {
    if (o.html.empty()) return badUsage("--html: give the file to write the report to");
    if (std::error_code e; std::filesystem::is_directory(o.html, e)) {
      return badUsage("--html: " + displayQuoted(o.html) + " is a directory; give the file to write");
    }
    if (!std::ofstream(o.html, std::ios::app)) {
      return badUsage("--html: cannot write " + displayQuoted(o.html) + ": " + std::strerror(errno));
    }
    report.emplace();
    report->title = title;
  }
  Output out(o.json, timeline);

  if (serve->parsed()) {
    if (versions.size() > 1) {
      return badUsage(
          "serve runs one system version at a time (the push service has one device); start one "
          "orvel-sim serve per version, each with its own --port");
    }
    return serveVersion(o, versions.front(), loadedVersion, std::move(scenario), argv);
  }

  // ---- one version, the one loaded: run here ----
  if (versions.size() == 1 && versions.front() == loadedVersion) {
    out.heading(title + " on system " + loadedVersion);
    if (report) report->runs.emplace_back(loadedVersion);
    auto sink = [&](const Record& r) {
      out.write(r);
      if (report) report->runs.back().add(r);
    };
    int status = 0;
    if (sendsToThePushService(scenario)) {
      // Behind a push service of its own: cleartext, no provider tokens,
      // on a port the system picks.
      ServeOptions options;
      options.run = runOptions;
      options.cleartext = true;
      options.noAuth = true;
      options.port = 0;
      options.scenario = std::move(scenario);
      options.scenarioOnly = true;
      Server server(std::move(options), sink);
      status = server.serve();
    } else {
      status = runScenario(scenario, runOptions, sink).exitStatus();
    }
    out.summary(title);
    if (report && !writeReport(o.html, *report)) return 1;
    return status;
  }
  if (std::getenv(kChildMarker)) {
    std::cerr << "orvel-sim: started for system " << versions.front() << " but loaded with " << loadedVersion << "\n";
    return 1;
  }

  // ---- otherwise each version in a process of its own ----
  std::vector<std::string> arguments(argv + 1, argv + argc);
  const std::string self = selfExecutable();
  // Each run's records are shown as they come and summed up for the
  // comparison; none is kept.
  std::vector<RunSummary> runs;
  int status = 0;
  for (const auto& version : versions) {
    out.heading(title + " on system " + version);
    RunSummary summary;
    if (report) report->runs.emplace_back(version);
    ChildResult child =
        runChild(self, childArguments(arguments, version), version, input, [&](const std::string& line) {
          std::optional<Record> r = Record::fromJson(Json::parse(line, nullptr, false));
          if (!r) {
            std::cout << printable(line) << "\n";  // not a record: pass it on
            return;
          }
          summary.add(*r);
          out.write(*r, versions.size() > 1 ? version : "");
          if (report) report->runs.back().add(*r);
        });
    if (!child.problem.empty())
      std::cerr << "orvel-sim: the run on system " << version << " failed: " << child.problem << "\n";
    out.summary(title + " on system " + version);
    status = std::max(status, child.exitStatus);
    runs.push_back(std::move(summary));
  }
  if (versions.size() > 1) {
    Comparison comparison = Comparison::of(versions, runs);
    if (report) report->comparison = comparison;
    if (out.json()) {
      for (Json row : comparison.toJson()) {
        Json line{{"t", std::round(out.lastTime() * 1000) / 1000}};
        for (auto it = row.begin(); it != row.end(); ++it) line[it.key()] = it.value();
        std::cout << line.dump() << "\n";
      }
    } else {
      comparison.print(std::cout);
    }
  }
  if (report && !writeReport(o.html, *report)) return 1;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Records into a file or a pipe go out in large writes; the places that
  // must be seen at once (a line for a watching terminal or a live reader)
  // flush themselves.
  static char outputBuffer[1 << 16];
  if (!::isatty(STDOUT_FILENO)) std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
  // Whatever goes wrong ends with a message and a status, never an abort.
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::cerr << "orvel-sim: out of memory\n";
  } catch (const std::exception& e) {
    std::cerr << "orvel-sim: " << printable(e.what()) << "\n";
  }
  return 1;
}
