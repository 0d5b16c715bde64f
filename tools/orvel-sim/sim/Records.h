// What a run shows: records, one per thing that happened, each with the
// device time since the start ("t") and a kind. As JSON Lines they are a
// contract (kinds and fields are added, never renamed):
//
//   "os"          the device calls into the application: "call", "state"
//                 (and "receiver", "id")
//   "host"        a callback of the sample host ran: "call", "args"
//                 (and "completion": what the host completed its handler with)
//   "event"       a host observer received a library event: "name",
//                 "object", "userInfo" when present (and "type", the
//                 message type, for a message)
//   "completion"  a completion handler was called: "call", "value"
//   "badge"       the badge number was written: "value"
//   "sound"       a notification's sound played: "sound", "id"
//   "local"       the device's lists changed: "action", "id" (and "list",
//                 "reason")
//   "log"         a system-log line: "text"
//   "expect"      an expectation was checked: "ok", "what" (and "actual")
//   "step"        a scenario step starts: "step", "value" (and "line", "id")
//   "note"        a scenario's note: "text"
//   "fault"       something the real system would punish: "fault", "call",
//                 "detail"
//   "error"       a step could not be carried out; the run stops: "what"
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "Foundation/Foundation.h"

namespace objc {
struct DeviceRecord;
}

namespace orvelsim {

using Json = nlohmann::ordered_json;

struct Record {
  double t = 0;
  std::string kind;
  Json fields = Json::object();

  // {"t": ..., "kind": ..., fields...}
  Json toJson() const;
  static Record fromJson(const Json& line);
};

// A run-time value as JSON: strings, numbers, collections as themselves;
// data as upper-case hexadecimal; an error as {"domain", "code"}; a message
// as its dictionary form; platform objects by their fields; anything else by
// its class name.
Json valueToJson(const objc::NSObject* value);

// The device's own records in the simulator's format.
Record fromDeviceRecord(const objc::DeviceRecord& record, double startTime);

// Collects records from every thread, in the order they are made, and hands
// each to the sink as it comes.
class Recorder {
 public:
  using Clock = std::function<double()>;
  using Sink = std::function<void(const Record&)>;

  Recorder() = default;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Device seconds since the start, for records made here.
  void setClock(Clock clock);
  void setSink(Sink sink);
  double now() const;

  void add(std::string kind, Json fields);
  void add(Record record);
  std::vector<Record> records() const;
  size_t size() const;

 private:
  mutable std::recursive_mutex lock_;
  Clock clock_;
  Sink sink_;
  std::vector<Record> records_;
};

// The readable timeline: one aligned line per record.
class Timeline {
 public:
  explicit Timeline(std::ostream& out) : out_(out) {}
  void heading(const std::string& text);
  void write(const Record& record);

 private:
  std::ostream& out_;
  std::string lastOsCall_;
};

// One line of text for a record, without its time and kind.
std::string describeRecord(const Record& record);

// What differed between runs of the same input on several system versions:
// one row per thing that differs, one column per version.
struct Comparison {
  std::vector<std::string> versions;
  struct Row {
    std::string what;
    std::vector<std::string> values;  // one per version
  };
  std::vector<Row> rows;  // only the rows that differ

  static Comparison of(const std::vector<std::string>& versions, const std::vector<std::vector<Record>>& runs);
  void print(std::ostream& out) const;
  // One "compare" record per row, for --json.
  std::vector<Json> toJson() const;
};

}  // namespace orvelsim
