// Scenarios: what the simulator runs, read and checked in full before
// anything runs. A scenario is a JSON object:
//
//   {"os": "13.0" | ["9.3", "13.0"],      optional: the versions it is for
//    "description": "...",                 optional, free text
//    "host": {...},                        optional: see HostConfig
//    "steps": [{"launch": {}}, {"push": {"aps": {"alert": "Hi"}}}, ...]}
//
// Every step is an object with one key; the step names and their values are
// listed in README.md. Anything else is bad input, reported as one
// InputError naming the file, line and column of the offending value.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Foundation/Foundation.h"
#include "sim/HostConfig.h"
#include "sim/JsonTree.h"

namespace orvelsim {

struct InputError {
  std::string file;
  Position at;
  std::string message;
  // "FILE:LINE:COLUMN: message"
  std::string describe() const;
};

class BadInput : public std::runtime_error {
 public:
  explicit BadInput(InputError error) : std::runtime_error(error.describe()), error_(std::move(error)) {}
  const InputError& error() const { return error_; }

 private:
  InputError error_;
};

// The longest span of device time a step names (an "advance", a
// trigger's time interval, a fire date in seconds from now): 100 years of
// 365.25 days.
inline constexpr double kLongestSpanSeconds = 3155760000;

// The largest scenario or payload read, from a file or standard input.
inline constexpr size_t kMaxInputBytes = size_t{16} << 20;

// The whole content of a file, or of standard input for "-". Raises
// BadInput (FILE:1:1) when it cannot be read or is larger than
// kMaxInputBytes.
std::string readInput(const std::string& path);
// How a path is named in messages: "<stdin>" for "-".
std::string displayName(const std::string& path);

// A legacy local notification as written in a scenario.
struct LocalNotificationInput {
  std::optional<std::string> alertTitle, alertBody, soundName;
  int64_t badge = 0;
  objc::Ref<objc::NSDictionary> userInfo;
};

struct LaunchInput {
  bool background = false;
  std::optional<LocalNotificationInput> localNotification;
  objc::Ref<objc::NSDictionary> remoteNotification;
};

// The content of a local-notification request; absent fields stay absent.
struct ContentInput {
  std::optional<std::string> title, subTitle, body, sound, threadIdentifier, launchImageName, summaryArgument,
      targetContentIdentifier;
  std::optional<int64_t> badge;
  uint64_t summaryArgumentCount = 0;
  bool silentPush = false;
  // String values that start with "$SERVER/" name a file the simulator
  // serves itself; they are completed with its address when the step runs.
  objc::Ref<objc::NSDictionary> userInfo;
};

struct RegionInput {
  std::string identifier;
  double latitude = 0, longitude = 0, radius = 100;
  bool notifyOnEntry = true, notifyOnExit = false;
};

struct TriggerInput {
  bool repeat = false;
  double timeInterval = 0;
  // Seconds since 1970, or seconds after the moment the step runs.
  std::optional<double> fireDate;
  bool fireDateIsRelative = false;
  std::optional<std::map<std::string, int64_t>> dateComponents;  // year, month, ..., "timeZone" (seconds from GMT)
  std::optional<RegionInput> region;
};

struct ScheduleInput {
  std::optional<std::string> identifier;
  std::optional<ContentInput> content;
  std::optional<TriggerInput> trigger;
};

struct Expectation {
  enum class Kind {
    Badge,
    LastEvent,
    Events,
    Completions,
    Faults,
    Host,
    Delivered,
    Pending,
    LastCompletion,
    State,
    Log,
    Sounds
  };
  Kind kind;
  std::string key;  // as written
  int64_t number = 0;
  Json partial;                    // LastEvent, LastCompletion
  std::vector<std::string> names;  // Host
  std::string text;                // State, Log
};

struct Step {
  enum class Kind {
    Launch,
    State,
    Register,
    Answer,
    Token,
    RegistrationError,
    Push,
    Open,
    OpenSettings,
    Schedule,
    Advance,
    SetBadge,
    ClearBadge,
    ClearNoticeBar,
    Remove,
    ForegroundType,
    AuthorizationStatus,
    EnterRegion,
    TimeZone,
    Note,
    Expect,
    Network,
    Send,
  };
  Kind kind;
  std::string name;  // the step's key
  Position at;       // where the step's object starts
  Json value;        // the step's value as written

  LaunchInput launch;
  // State, Answer, Open, EnterRegion, TimeZone, Note, AuthorizationStatus, Network; Push: the payload file
  std::string text;
  int64_t integer = 0;
  bool flag = false;  // Register: with a configuration; Token: has a token; RegistrationError: has an error
  double seconds = 0;
  objc::Ref<objc::NSData> token;
  std::string errorDomain;
  objc::Ref<objc::NSDictionary> payload;
  std::optional<std::string> target;  // the payload's "Simulator Target Bundle"
  ScheduleInput schedule;
  std::optional<std::vector<std::string>> identifiers;  // Remove
  std::vector<Expectation> expectations;
  // Send: the request's headers as written, and its body (the payload's
  // JSON text).
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

struct Scenario {
  std::string file;  // as named in messages
  std::vector<std::string> versions;
  std::string description;
  HostConfig host;
  std::vector<Step> steps;
};

// The step names, in the order README.md lists them.
const std::vector<std::string>& stepNames();

// Reads and checks a scenario. Payload files named by "push" steps are read
// relative to `directory`. Raises BadInput.
Scenario parseScenario(std::string_view text, const std::string& file, const std::string& directory = ".");
// Reads and checks one step, written as a line of JSON (a control line of
// `orvel-sim serve`); messages name `file` and `line`. Raises BadInput.
Step parseStep(std::string_view text, const std::string& file, size_t line, const std::string& directory = ".");
// Reads and checks a payload file as `push` takes it: an object, at most
// the push service's size once its "Simulator Target Bundle" is taken out.
// Raises BadInput.
Step parsePushFile(std::string_view text, const std::string& file);

// The states a scenario names: "active", "inactive", "background", "not-running",
// "force-quit".
bool isStateName(std::string_view name);
// A dotted version such as "9.3" or "13.0".
bool isVersion(std::string_view text);
// ISO-8601 date and time ("2026-01-01T08:30:00Z", "2026-01-01T08:30:00.250+02:00",
// "2026-01-01"): seconds since 1970, or nothing.
std::optional<double> parseISO8601(std::string_view text);
// The same moment as ISO-8601 text in UTC, milliseconds only when there are
// some; a moment beyond 1e15 seconds from 1970 (or not a number) is named
// as such.
std::string formatISO8601(double seconds);

// Text for a terminal: control characters (C0, DEL and C1) written as
// \uXXXX, everything else as it is.
std::string printable(std::string_view text);
// The same in double quotes, inner quotes escaped: how messages show text
// that came from the input.
std::string displayQuoted(std::string_view text);

// The scenario steps of `orvel-sim push`: launch the sample host, move it to
// `state`, deliver the payload, and open it when asked.
Scenario pushScenario(const std::string& file, Step push, const std::string& state, bool open);

}  // namespace orvelsim
