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
//                 (serve: a control line that is not a step, "control")
//   "serve"       orvel-sim serve is listening: "url", "deviceToken",
//                 "topic", "certificate", "authKey", "keyId", "teamId"
//                 (or "auth": "none")
//   "provider"    the push service answered a request: "connection",
//                 "stream", "method", "path", "headers", "status",
//                 "reason", "detail", "apns-id"
//   "budget"      a priority-5 background push and the device's background
//                 budget: "change" (deferred, dropped, delivered), "id",
//                 "wait" (seconds, for deferred)
//   "store"       what the service did with a push the device could not
//                 take: "event" (kept, replaced, discarded, expired,
//                 forwarded), "apns-id", "expiration"
//   "attachment"  what became of a local notification's media address:
//                 "action" (downloaded, attached, refused, failed,
//                 unsupported), "id", "address" (and "type", "file",
//                 "bytes", "reason")
//
// Kinds not listed here (added later) are shown as they come, in the
// system's lane.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Foundation/Foundation.h"
#include "sim/JsonTree.h"

namespace objc {
struct DeviceRecord;
}

namespace orvelsim {

// Text written piece by piece with room kept ahead of it, so that a piece
// costs one bounds check and one copy: the records under load are
// thousands of short strings a second.
class TextBuffer {
 public:
  explicit TextBuffer(size_t room = 256) { text_.resize(room); }

  // Space for `n` more bytes after the text; advance() past what was
  // written there.
  char* room(size_t n) {
    if (n > text_.size() - used_) grow(n);
    return text_.data() + used_;
  }
  void advance(size_t n) { used_ += n; }
  TextBuffer& operator+=(std::string_view s) {
    if (!s.empty()) std::memcpy(room(s.size()), s.data(), s.size());
    used_ += s.size();
    return *this;
  }
  TextBuffer& operator+=(char c) {
    *room(1) = c;
    ++used_;
    return *this;
  }

  size_t size() const { return used_; }
  bool empty() const { return used_ == 0; }
  // Keeps the first `n` bytes only.
  void truncate(size_t n) { used_ = std::min(used_, n); }
  void clear() { used_ = 0; }
  std::string_view view() const { return {text_.data(), used_}; }
  // The text; this is empty afterwards.
  std::string take() {
    text_.resize(used_);
    used_ = 0;
    return std::exchange(text_, std::string());
  }

 private:
  void grow(size_t n) { text_.resize(std::max({text_.size() * 2, used_ + n, size_t{256}})); }

  std::string text_;
  size_t used_ = 0;
};

// One thing that happened. Its fields are a JSON object, held either as a
// tree or, for the records made for every notification, as the text they
// were written as (see withText): a record under load is written out far
// more often than it is looked into, and its tree is read from that text
// only when something asks for it.
class Record {
 public:
  double t = 0;
  std::string kind;

  Record() = default;
  Record(double t, std::string kind, Json fields = Json::object())
      : t(t), kind(std::move(kind)), fields_(std::move(fields)) {}

  // A record whose fields are `members`: the members of one JSON object in
  // order, without its braces (`"call":"x","args":[1]`), as
  // appendJsonText and appendValueText write them: well formed, each key
  // once, and none named "t", "kind" or "os".
  static Record withText(double t, std::string kind, std::string members);

  // The fields as a tree, read from the text the first time they are asked
  // for (not from two threads at once).
  const Json& fields() const;
  // The same, to change: the text is given up and the tree holds.
  Json& fields();
  // One field, or null when there is none; looked up without reading the
  // rest of the text.
  Json field(std::string_view key) const;
  // Adds a field the record does not have yet, after the others.
  void addField(std::string_view key, const Json& value);
  // The fields' text (see withText), or null when the tree holds.
  const std::string* text() const { return hasText_ ? &text_ : nullptr; }

  // {"t": ..., "kind": ..., fields...}
  Json toJson() const;
  // toJson() as one line of text (invalid UTF-8 replaced), with "os" added
  // when `os` is not empty; written directly, without copying the fields.
  std::string toJsonLine(const std::string& os = "") const;
  // The same line appended to `out`, without its end.
  void appendJsonLine(TextBuffer& out, const std::string& os = "") const;
  // A record read back from its JSON form; nothing when `line` is not one
  // (not an object, or without a numeric "t" and a string "kind").
  static std::optional<Record> fromJson(const Json& line);

 private:
  struct Unread {};
  // Held as text: no tree, not even an empty one, until one is asked for.
  Record(double t, std::string kind, Unread) : t(t), kind(std::move(kind)), fields_(nullptr) {}

  mutable Json fields_ = Json::object();
  // While true, text_ holds the fields and fields_ is read from it on
  // demand (parsed_).
  bool hasText_ = false;
  mutable bool parsed_ = false;
  std::string text_;
};

// Appends `value` as value.dump(-1, ' ', false, replace) writes it (compact,
// UTF-8 kept, invalid UTF-8 replaced), the same text made faster: records
// under load are mostly short ASCII strings.
void appendJsonText(TextBuffer& out, const Json& value);

// A run-time value as JSON: strings, numbers, collections as themselves;
// data as upper-case hexadecimal; an error as {"domain", "code"}; a message
// as its dictionary form; platform objects by their fields; anything else by
// its class name.
Json valueToJson(const objc::NSObject* value);
// A key written in the code, checked as it is compiled to need no escapes,
// so that it is copied as it stands.
class PlainKey {
 public:
  template <size_t N>
  consteval PlainKey(const char (&name)[N]) : name_(name, N - 1) {  // NOLINT: made from literals alone
    for (char c : name_) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte >= 0x80 || c == '"' || c == '\\') throw "a key written in the code needs no escapes";
    }
  }
  std::string_view name() const { return name_; }

 private:
  std::string_view name_;
};

// Writes the members of one JSON object one after another into `out` (the
// braces are the caller's): key() writes the comma before every member but
// the first, then the key, and gives `out` for the value.
class JsonMembers {
 public:
  explicit JsonMembers(TextBuffer& out, bool first = true) : out_(out), first_(first) {}
  TextBuffer& key(PlainKey key) { return plain(key.name()); }
  // A key known only as the program runs, escaped as it needs.
  TextBuffer& anyKey(std::string_view name);

 private:
  // The comma (but before the first member), `name` in quotes and the
  // colon, in one piece: `name` needs no escapes.
  TextBuffer& plain(std::string_view name) {
    char* p = out_.room(name.size() + 4);
    const size_t quote = first_ ? 0 : 1;
    p[0] = ',';
    p[quote] = '"';
    std::memcpy(p + quote + 1, name.data(), name.size());
    p[quote + 1 + name.size()] = '"';
    p[quote + 2 + name.size()] = ':';
    out_.advance(quote + name.size() + 3);
    first_ = false;
    return out_;
  }

  TextBuffer& out_;
  bool first_;
};

// The same value appended as JSON text (appendJsonText of valueToJson),
// without making its tree.
void appendValueText(TextBuffer& out, const objc::NSObject* value);
// `text` as a JSON string.
void appendStringText(TextBuffer& out, std::string_view text);

// The device's own records in the simulator's format.
Record fromDeviceRecord(const objc::DeviceRecord& record, double startTime);

// Takes records from every thread and hands each, as it is made, to every
// subscriber: one record at a time, in the order they are made, to the
// subscribers in the order they subscribed. It keeps none of them, so a run
// of any length takes the same memory; a subscriber keeps what it needs.
class Recorder {
 public:
  using Clock = std::function<double()>;
  using Sink = std::function<void(const Record&)>;
  using Subscription = size_t;

  Recorder() = default;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Device seconds since the start, for records made here.
  void setClock(Clock clock);
  double now() const;

  // Applied to every record before any subscriber sees it, under the
  // recorder's lock (so one record at a time): how a run takes out what
  // differs from run to run.
  void setNormalizer(std::function<void(Record&)> normalizer);

  // Sees every record after the subscribers have, and may take out of it
  // what it keeps (no copy of a large record).
  void setKeeper(std::function<void(Record&)> keeper);

  // `sink` sees every record made from now on, until it unsubscribes (not
  // from inside a sink).
  Subscription subscribe(Sink sink);
  void unsubscribe(Subscription subscription);

  void add(std::string kind, Json fields);
  // A record of fields written as text (Record::withText), at the
  // recorder's time.
  void addText(std::string kind, std::string members);
  void add(Record record);
  // How many records have been made.
  size_t count() const;

 private:
  mutable std::recursive_mutex lock_;
  Clock clock_;
  std::function<void(Record&)> normalizer_;
  std::function<void(Record&)> keeper_;
  std::vector<std::pair<Subscription, Sink>> sinks_;
  Subscription nextSubscription_ = 1;
  size_t count_ = 0;
};

// The record kinds a run makes, for the timeline's filters; "lifecycle"
// names the application's state-change calls among "os" and "host".
const std::set<std::string>& recordKinds();

// Whether `record` is one of the application's state-change calls
// (resigning, entering the background or foreground, becoming active,
// terminating), made by the system ("os") or run by the host ("host").
bool isLifecycle(const Record& record);

// The lane of the swimlane timeline a record belongs to: "system" (what the
// device does; also kinds this program does not know), "library",
// "host" (the host's callbacks), "observers" (the host's observers of the
// library's events) or "check" (expectations and errors, across the lanes).
std::string laneOf(const Record& record);

struct TimelineOptions {
  bool color = false;
  // Each lifecycle call on a line of its own instead of one line per
  // state change.
  bool verbose = false;
  // Lines longer than this wrap under their text; 0: never.
  size_t width = 0;
  // Kinds to show (empty: all) and kinds to leave out; "lifecycle" counts
  // as a kind of its own too.
  std::set<std::string> only, hide;
};

// The readable timeline: one aligned line per record, nothing cut.
class Timeline {
 public:
  explicit Timeline(std::ostream& out, TimelineOptions options = {}) : out_(out), options_(std::move(options)) {}
  void heading(const std::string& text);
  void write(const Record& record);
  // Writes what is held back (a state change still being folded).
  void flush();

 private:
  bool shown(const Record& record) const;
  void line(double t, const std::string& kind, const std::string& text, const char* colour);
  std::string paint(const std::string& text, const char* colour) const;

  std::ostream& out_;
  TimelineOptions options_;
  // The lifecycle calls of the state change being folded.
  std::vector<Record> folding_;
};

// One line of text for a record, without its time and kind.
std::string describeRecord(const Record& record);

// What the comparison of versions looks at in one run, gathered as the
// records stream by: events and host callbacks counted by name, message
// types and badge writes in order (a value repeated in a row is kept once,
// with its count), and the last badge.
class RunSummary {
 public:
  void add(const Record& record);

  std::map<std::string, int64_t> events;
  std::map<std::string, int64_t> hostCalls;
  // "2 0 ×1000 3": each value, with its count when it came several times in a row.
  std::string messageTypes() const { return describe(messageTypes_); }
  std::string badgeWrites() const { return describe(badgeWrites_); }
  std::string finalBadge() const { return badgeWrites_.empty() ? "-" : badgeWrites_.back().first; }

 private:
  using Runs = std::vector<std::pair<std::string, int64_t>>;
  static void append(Runs& runs, std::string value);
  static std::string describe(const Runs& runs);
  Runs messageTypes_, badgeWrites_;
};

// What differed between runs of the same input on several system versions:
// one row per thing that differs, one column per version.
struct Comparison {
  std::vector<std::string> versions;
  struct Row {
    std::string what;
    std::vector<std::string> values;  // one per version
    bool differs = false;
  };
  std::vector<Row> rows;  // every row compared, in a fixed order

  static Comparison of(const std::vector<std::string>& versions, const std::vector<RunSummary>& runs);
  // The rows that differ, as a table.
  void print(std::ostream& out) const;
  // One "compare" record per row that differs, for --json.
  std::vector<Json> toJson() const;
};

}  // namespace orvelsim
