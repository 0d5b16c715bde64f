#include "sim/Scenario.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <unordered_map>

#include "Device/Device.h"

namespace orvelsim {

namespace {

constexpr const char* kTargetKey = "Simulator Target Bundle";

std::string inQuotes(std::string_view s) { return displayQuoted(s); }

// The fewest bytes the value can take as JSON, without building it: each
// string at least its characters and quotes, each number at least one
// digit, a repeated key only once (the last value counts). `skip` names a
// member of the outermost object to leave out.
size_t leastJsonBytes(const JsonNode& node, std::string_view skip = {}) {
  switch (node.type) {
    case JsonNode::Type::Null:
      return 4;
    case JsonNode::Type::Bool:
      return node.boolean ? 4 : 5;
    case JsonNode::Type::Integer:
    case JsonNode::Type::Double:
      return 1;
    case JsonNode::Type::String:
      return node.string.size() + 2;
    case JsonNode::Type::Array: {
      size_t n = 2 + (node.items.empty() ? 0 : node.items.size() - 1);
      for (const JsonNode& item : node.items) n += leastJsonBytes(item);
      return n;
    }
    case JsonNode::Type::Object: {
      std::unordered_map<std::string_view, const JsonNode*> last;
      for (const auto& m : node.members)
        if (skip.empty() || m.key != skip) last[m.key] = &m.value;
      size_t n = 2 + (last.empty() ? 0 : last.size() - 1);
      for (const auto& [key, value] : last) n += key.size() + 3 + leastJsonBytes(*value);
      return n;
    }
  }
  return 0;
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) {
    if (!out.empty()) out += ", ";
    out += n;
  }
  return out;
}

size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      bool same =
          std::tolower(static_cast<unsigned char>(a[i - 1])) == std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// " (did you mean "push"?)" when a known name is close, else the list.
std::string suggestion(std::string_view given, const std::vector<std::string>& known, std::string_view listName) {
  const std::string* best = nullptr;
  size_t bestDistance = 3;
  for (const auto& k : known) {
    size_t d = editDistance(given, k);
    if (d < bestDistance) {
      best = &k;
      bestDistance = d;
    }
  }
  if (best) return " (did you mean " + inQuotes(*best) + "?)";
  return " (" + std::string(listName) + ": " + joined(known) + ")";
}

const std::vector<std::string> kStateNames = {"active", "inactive", "background", "not-running", "force-quit"};

// Checks one text (a scenario or a payload file) and names its positions.
class Checker {
 public:
  Checker(std::string_view text, std::string file, std::string directory)
      : text_(text), file_(std::move(file)), directory_(std::move(directory)) {}

  [[noreturn]] void fail(Position at, std::string message) const {
    throw BadInput(InputError{file_, at, std::move(message)});
  }

  JsonNode tree() const {
    JsonSyntaxError error;
    std::optional<JsonNode> root = parseJsonTree(text_, error);
    if (!root) fail(error.at, "not valid JSON: " + error.message);
    return std::move(*root);
  }

  // The value's own text, read again by the bridge into Foundation values.
  objc::Id foundation(const JsonNode& node) const {
    return objc::JSONParse(text_.substr(node.begin, node.end - node.begin));
  }

  // Every member's key must be known and appear once.
  void checkKeys(const JsonNode& object, const std::vector<std::string>& known, std::string_view what) const {
    for (size_t i = 0; i < object.members.size(); ++i) {
      const auto& m = object.members[i];
      if (std::find(known.begin(), known.end(), m.key) == known.end()) {
        fail(m.at,
             "unknown key " + inQuotes(m.key) + " in " + std::string(what) + suggestion(m.key, known, "known keys"));
      }
      for (size_t j = 0; j < i; ++j) {
        if (object.members[j].key == m.key) fail(m.at, "duplicate key " + inQuotes(m.key) + " in " + std::string(what));
      }
    }
  }

  const JsonNode& object(const JsonNode& node, std::string_view what) const {
    if (!node.isObject()) fail(node.at, std::string(what) + " is an object, not " + node.describe());
    return node;
  }
  std::string string(const JsonNode& node, std::string_view what) const {
    if (!node.isString()) fail(node.at, std::string(what) + " is a string, not " + node.describe());
    return node.string;
  }
  int64_t integer(const JsonNode& node, std::string_view what) const {
    if (node.type != JsonNode::Type::Integer) {
      fail(node.at, std::string(what) + " is a whole number, not " + node.describe());
    }
    return node.integer;
  }
  int64_t count(const JsonNode& node, std::string_view what) const {
    int64_t n = integer(node, what);
    if (n < 0) fail(node.at, std::string(what) + " is a count, 0 or more, not " + std::to_string(n));
    return n;
  }
  double number(const JsonNode& node, std::string_view what) const {
    if (!node.isNumber() || !std::isfinite(node.number)) {
      fail(node.at, std::string(what) + " is a number, not " + node.describe());
    }
    return node.number;
  }
  // The value as written (a long one cut short), for messages.
  std::string written(const JsonNode& node) const {
    std::string_view text = text_.substr(node.begin, node.end - node.begin);
    return text.size() > 40 ? std::string(text.substr(0, 40)) + "…" : std::string(text);
  }
  // Seconds of device time: a number from `least` to kLongestSpanSeconds.
  double span(const JsonNode& node, std::string_view what, double least) const {
    double seconds = number(node, what);
    if (seconds < least || seconds > kLongestSpanSeconds) {
      fail(node.at, std::string(what) + " is from " + std::to_string(static_cast<int64_t>(least)) + " to " +
                        std::to_string(static_cast<int64_t>(kLongestSpanSeconds)) + " seconds (100 years), not " +
                        written(node));
    }
    return seconds;
  }
  // A whole number from `least` to `most`.
  int64_t bounded(const JsonNode& node, std::string_view what, int64_t least, int64_t most) const {
    int64_t n = integer(node, what);
    if (n < least || n > most) {
      fail(node.at, std::string(what) + " is from " + std::to_string(least) + " to " + std::to_string(most) + ", not " +
                        std::to_string(n));
    }
    return n;
  }
  bool boolean(const JsonNode& node, std::string_view what) const {
    if (!node.isBool()) fail(node.at, std::string(what) + " is true or false, not " + node.describe());
    return node.boolean;
  }
  objc::Ref<objc::NSDictionary> dictionary(const JsonNode& node, std::string_view what) const {
    object(node, what);
    return objc::cast<objc::NSDictionary>(foundation(node));
  }
  std::optional<std::string> optionalString(const JsonNode& parent, const char* key, std::string_view what) const {
    const JsonNode* v = parent.find(key);
    if (!v) return std::nullopt;
    return string(*v, std::string(what) + " " + inQuotes(key));
  }
  // A step without an argument: null, true or {}.
  void noArgument(const JsonNode& node, std::string_view step) const {
    bool empty = node.isNull() || (node.isBool() && node.boolean) || (node.isObject() && node.members.empty());
    if (!empty) fail(node.at, inQuotes(step) + " takes no argument (write null, true or {}), not " + node.describe());
  }
  std::string choice(const JsonNode& node, const std::vector<std::string>& allowed, std::string_view what) const {
    std::string s = string(node, what);
    if (std::find(allowed.begin(), allowed.end(), s) == allowed.end()) {
      fail(node.at, std::string(what) + " is one of " + joined(allowed) + ", not " + inQuotes(s));
    }
    return s;
  }

  // ---- payloads ----

  objc::Ref<objc::NSDictionary> payload(const JsonNode& node, std::optional<std::string>& target) const {
    if (!node.isObject()) fail(node.at, "a payload is a JSON object, not " + node.describe());
    if (const JsonNode* t = node.find(kTargetKey)) target = string(*t, inQuotes(kTargetKey));
    // A payload far too large is refused before it is built; one near the
    // limit is built and measured, so that the message says its exact size.
    if (size_t least = leastJsonBytes(node, kTargetKey); least > 4 * objc::Device::kMaxPayloadBytes) {
      fail(node.at, "the payload is at least " + std::to_string(least) +
                        " bytes of JSON; the push service refuses more than " +
                        std::to_string(objc::Device::kMaxPayloadBytes));
    }
    auto dict = objc::cast<objc::NSDictionary>(foundation(node));
    if (target) {
      auto copy = objc::NSMutableDictionary::dictionaryWithDictionary(dict.get());
      copy->removeObjectForKey(objc::str(kTargetKey).get());
      dict = objc::cast<objc::NSDictionary>(copy->copy());
    }
    size_t size = objc::JSONSerialize(dict.get()).size();
    if (size > objc::Device::kMaxPayloadBytes) {
      fail(node.at, "the payload is " + std::to_string(size) + " bytes of JSON; the push service refuses more than " +
                        std::to_string(objc::Device::kMaxPayloadBytes));
    }
    return dict;
  }

  void pushFromFile(const JsonNode& pathNode, Step& step) const {
    if (pathNode.string == "-" || pathNode.string.empty()) {
      fail(pathNode.at, "\"push\" names a payload file (relative to the scenario) or holds the payload object");
    }
    std::filesystem::path path(pathNode.string);
    if (path.is_relative()) path = std::filesystem::path(directory_) / path;
    std::string content;
    try {
      content = readInput(path.string());
    } catch (const BadInput& e) {
      fail(pathNode.at, "cannot read the payload file " + inQuotes(pathNode.string) + ": " + e.error().message);
    }
    Step fromFile = parsePushFile(content, path.lexically_normal().string());
    step.payload = fromFile.payload;
    step.target = fromFile.target;
    step.text = pathNode.string;
  }

  // ---- scenario parts ----

  void host(const JsonNode& node, HostConfig& config) const {
    object(node, "\"host\"");
    checkKeys(node, {"implements", "omits", "centerDelegate", "callsCompletionHandlers", "registerAtLaunch"},
              "\"host\"");
    auto selectors = [&](const JsonNode& list, const char* key) {
      if (!list.isArray()) fail(list.at, inQuotes(key) + " is a list of callback selectors, not " + list.describe());
      std::set<std::string> out;
      for (const JsonNode& item : list.items) {
        std::string s = string(item, "a callback selector");
        if (!HostConfig::isKnownCallback(s)) {
          std::vector<std::string> known = HostConfig::applicationCallbacks();
          for (const auto& c : HostConfig::centerCallbacks()) known.push_back(c);
          fail(item.at, "the sample host has no callback " + inQuotes(s) + suggestion(s, known, "its callbacks"));
        }
        out.insert(s);
      }
      return out;
    };
    const JsonNode* implements = node.find("implements");
    const JsonNode* omits = node.find("omits");
    if (implements && omits) fail(omits->at, "give \"implements\" or \"omits\", not both");
    if (implements) config.implemented = selectors(*implements, "implements");
    if (omits) {
      for (const auto& s : selectors(*omits, "omits")) config.implemented.erase(s);
    }
    if (const JsonNode* v = node.find("centerDelegate")) config.centerDelegate = boolean(*v, "\"centerDelegate\"");
    if (const JsonNode* v = node.find("callsCompletionHandlers")) {
      config.callsCompletionHandlers = boolean(*v, "\"callsCompletionHandlers\"");
    }
    if (const JsonNode* v = node.find("registerAtLaunch")) {
      if (v->isBool() && !v->boolean) {
        config.registerAtLaunch.reset();
      } else {
        config.registerAtLaunch = integer(*v, "\"registerAtLaunch\" (the types, or false)");
      }
    }
  }

  std::vector<std::string> versions(const JsonNode& node) const {
    std::vector<std::string> out;
    auto one = [&](const JsonNode& v) {
      std::string s = string(v, "\"os\"");
      if (!isVersion(s)) fail(v.at, inQuotes(s) + " is not a system version such as \"9.3\" or \"13.0\"");
      out.push_back(s);
    };
    if (node.isArray()) {
      if (node.items.empty()) fail(node.at, "\"os\" lists at least one version");
      for (const JsonNode& v : node.items) one(v);
    } else {
      one(node);
    }
    return out;
  }

  LocalNotificationInput localNotification(const JsonNode& node) const {
    object(node, "\"localNotification\"");
    checkKeys(node, {"alertTitle", "alertBody", "soundName", "badge", "userInfo"}, "\"localNotification\"");
    LocalNotificationInput given;
    given.alertTitle = optionalString(node, "alertTitle", "\"localNotification\"");
    given.alertBody = optionalString(node, "alertBody", "\"localNotification\"");
    given.soundName = optionalString(node, "soundName", "\"localNotification\"");
    if (const JsonNode* v = node.find("badge")) given.badge = integer(*v, "\"badge\"");
    if (const JsonNode* v = node.find("userInfo")) given.userInfo = dictionary(*v, "\"userInfo\"");
    return given;
  }

  void launch(const JsonNode& node, Step& step) const {
    if (node.isNull() || (node.isBool() && node.boolean)) return;
    object(node, "\"launch\" (its launch options)");
    checkKeys(node, {"background", "localNotification", "remoteNotification"}, "the launch options");
    if (const JsonNode* v = node.find("background")) step.launch.background = boolean(*v, "\"background\"");
    if (const JsonNode* v = node.find("localNotification")) step.launch.localNotification = localNotification(*v);
    if (const JsonNode* v = node.find("remoteNotification")) {
      std::optional<std::string> target;
      step.launch.remoteNotification = payload(*v, target);
    }
  }

  void token(const JsonNode& node, Step& step) const {
    if (node.isNull()) return;  // no token: registration fails
    std::string hex = string(node, "\"token\" (hexadecimal text, or null)");
    if (hex.size() % 2 != 0) fail(node.at, "\"token\" has an odd number of hexadecimal digits");
    auto digit = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    for (size_t i = 0; i < hex.size(); ++i) {
      if (digit(hex[i]) >= 0) continue;
      size_t length = 1;  // the whole character
      while (i + length < hex.size() && (static_cast<unsigned char>(hex[i + length]) & 0xC0) == 0x80) ++length;
      fail(positionInString(text_, node, i),
           "\"token\" holds " + inQuotes(hex.substr(i, length)) + ", which is not a hexadecimal digit");
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
      bytes.push_back(static_cast<uint8_t>(digit(hex[i]) * 16 + digit(hex[i + 1])));
    }
    step.flag = true;
    step.token = objc::NSData::dataWithBytes(std::move(bytes));
  }

  ContentInput content(const JsonNode& node) const {
    object(node, "\"content\"");
    checkKeys(node,
              {"title", "subTitle", "body", "sound", "badge", "userInfo", "threadIdentifier", "launchImageName",
               "summaryArgument", "summaryArgumentCount", "targetContentIdentifier", "silentPush"},
              "\"content\"");
    ContentInput c;
    c.title = optionalString(node, "title", "\"content\"");
    c.subTitle = optionalString(node, "subTitle", "\"content\"");
    c.body = optionalString(node, "body", "\"content\"");
    c.sound = optionalString(node, "sound", "\"content\"");
    c.threadIdentifier = optionalString(node, "threadIdentifier", "\"content\"");
    c.launchImageName = optionalString(node, "launchImageName", "\"content\"");
    c.summaryArgument = optionalString(node, "summaryArgument", "\"content\"");
    c.targetContentIdentifier = optionalString(node, "targetContentIdentifier", "\"content\"");
    if (const JsonNode* v = node.find("badge")) c.badge = integer(*v, "\"badge\"");
    if (const JsonNode* v = node.find("summaryArgumentCount")) {
      c.summaryArgumentCount = static_cast<uint64_t>(count(*v, "\"summaryArgumentCount\""));
    }
    if (const JsonNode* v = node.find("silentPush")) c.silentPush = boolean(*v, "\"silentPush\"");
    if (const JsonNode* v = node.find("userInfo")) c.userInfo = dictionary(*v, "\"userInfo\"");
    return c;
  }

  TriggerInput trigger(const JsonNode& node) const {
    object(node, "\"trigger\"");
    checkKeys(node, {"timeInterval", "repeat", "fireDate", "dateComponents", "region"}, "\"trigger\"");
    TriggerInput t;
    if (const JsonNode* v = node.find("timeInterval")) t.timeInterval = span(*v, "\"timeInterval\"", 0);
    if (const JsonNode* v = node.find("repeat")) t.repeat = boolean(*v, "\"repeat\"");
    if (const JsonNode* v = node.find("fireDate")) {
      if (v->isNumber()) {
        t.fireDate = span(*v, "\"fireDate\" (seconds from the moment of scheduling)", -kLongestSpanSeconds);
        t.fireDateIsRelative = true;
      } else {
        std::string s = string(*v, "\"fireDate\" (ISO-8601 text, or seconds from the moment of scheduling)");
        t.fireDate = parseISO8601(s);
        if (!t.fireDate) fail(v->at, inQuotes(s) + " is not an ISO-8601 time such as \"2026-01-01T08:00:00Z\"");
      }
    }
    if (const JsonNode* v = node.find("dateComponents")) {
      object(*v, "\"dateComponents\"");
      static const std::vector<std::string> units = {"year", "month", "day", "hour", "minute", "second", "timeZone"};
      // A year in the calendar's range; a time zone at most 18 hours from
      // GMT. The other fields are taken as the platform takes them: one out
      // of its range (hour 25) is no error, it matches no date.
      constexpr int64_t kAnyField = 1'000'000'000;
      static const std::map<std::string, std::pair<int64_t, int64_t>> ranges = {{"year", {1, 9999}},
                                                                                {"month", {-kAnyField, kAnyField}},
                                                                                {"day", {-kAnyField, kAnyField}},
                                                                                {"hour", {-kAnyField, kAnyField}},
                                                                                {"minute", {-kAnyField, kAnyField}},
                                                                                {"second", {-kAnyField, kAnyField}},
                                                                                {"timeZone", {-64800, 64800}}};
      checkKeys(*v, units, "\"dateComponents\"");
      std::map<std::string, int64_t> components;
      for (const auto& m : v->members) {
        auto [least, most] = ranges.at(m.key);
        components[m.key] = bounded(m.value, inQuotes(m.key), least, most);
      }
      t.dateComponents = std::move(components);
    }
    if (const JsonNode* v = node.find("region")) {
      object(*v, "\"region\"");
      checkKeys(*v, {"identifier", "latitude", "longitude", "radius", "notifyOnEntry", "notifyOnExit"}, "\"region\"");
      RegionInput r;
      const JsonNode* id = v->find("identifier");
      if (!id) fail(v->at, "\"region\" needs an \"identifier\"");
      r.identifier = string(*id, "\"identifier\"");
      if (const JsonNode* x = v->find("latitude")) r.latitude = number(*x, "\"latitude\"");
      if (const JsonNode* x = v->find("longitude")) r.longitude = number(*x, "\"longitude\"");
      if (const JsonNode* x = v->find("radius")) {
        r.radius = number(*x, "\"radius\" (metres)");
        if (r.radius < 0) fail(x->at, "\"radius\" is 0 or more metres, not " + written(*x));
      }
      if (const JsonNode* x = v->find("notifyOnEntry")) r.notifyOnEntry = boolean(*x, "\"notifyOnEntry\"");
      if (const JsonNode* x = v->find("notifyOnExit")) r.notifyOnExit = boolean(*x, "\"notifyOnExit\"");
      t.region = r;
    }
    return t;
  }

  void schedule(const JsonNode& node, Step& step) const {
    object(node, "\"schedule\" (a request)");
    checkKeys(node, {"identifier", "content", "trigger"}, "the request");
    step.schedule.identifier = optionalString(node, "identifier", "the request's");
    if (const JsonNode* v = node.find("content")) step.schedule.content = content(*v);
    if (const JsonNode* v = node.find("trigger")) step.schedule.trigger = trigger(*v);
  }

  void remove(const JsonNode& node, Step& step) const {
    object(node, "\"remove\"");
    checkKeys(node, {"identifiers", "statuses"}, "\"remove\"");
    step.integer = 3;
    if (const JsonNode* v = node.find("identifiers"); v && !v->isNull()) {
      if (!v->isArray()) fail(v->at, "\"identifiers\" is a list of strings (or null), not " + v->describe());
      std::vector<std::string> ids;
      for (const JsonNode& item : v->items) ids.push_back(string(item, "an identifier"));
      step.identifiers = std::move(ids);
    }
    if (const JsonNode* v = node.find("statuses")) step.integer = count(*v, "\"statuses\" (1 pending, 2 delivered)");
  }

  void expect(const JsonNode& node, Step& step) const {
    object(node, "\"expect\"");
    static const std::vector<std::string> known = {"badge",          "lastEvent", "events",    "completions",
                                                   "faults",         "host",      "delivered", "pending",
                                                   "lastCompletion", "state",     "log",       "sounds"};
    checkKeys(node, known, "\"expect\"");
    if (node.members.empty()) fail(node.at, "\"expect\" names at least one expectation (" + joined(known) + ")");
    for (const auto& m : node.members) {
      Expectation e;
      e.key = m.key;
      const JsonNode& v = m.value;
      if (m.key == "badge") {
        e.kind = Expectation::Kind::Badge;
        e.number = integer(v, "\"badge\"");
      } else if (m.key == "lastEvent" || m.key == "lastCompletion") {
        e.kind = m.key == "lastEvent" ? Expectation::Kind::LastEvent : Expectation::Kind::LastCompletion;
        object(v, inQuotes(m.key) + " (what the record must contain)");
        e.partial = toJson(v);
      } else if (m.key == "events" || m.key == "completions" || m.key == "faults" || m.key == "delivered" ||
                 m.key == "pending" || m.key == "sounds") {
        e.kind = m.key == "events"        ? Expectation::Kind::Events
                 : m.key == "completions" ? Expectation::Kind::Completions
                 : m.key == "faults"      ? Expectation::Kind::Faults
                 : m.key == "delivered"   ? Expectation::Kind::Delivered
                 : m.key == "sounds"      ? Expectation::Kind::Sounds
                                          : Expectation::Kind::Pending;
        e.number = count(v, inQuotes(m.key));
      } else if (m.key == "host") {
        e.kind = Expectation::Kind::Host;
        if (!v.isArray()) fail(v.at, "\"host\" is the list of host callbacks expected, not " + v.describe());
        for (const JsonNode& item : v.items) e.names.push_back(string(item, "a host callback"));
      } else if (m.key == "state") {
        e.kind = Expectation::Kind::State;
        e.text = choice(v, kStateNames, "\"state\"");
      } else {
        e.kind = Expectation::Kind::Log;
        e.text = string(v, "\"log\" (text a log line contains)");
      }
      step.expectations.push_back(std::move(e));
    }
  }

  // A provider's request: {"headers": {...}, "payload": ...}; the push
  // service judges what is in it.
  void send(const JsonNode& node, Step& step) const {
    object(node, "\"send\" ({\"headers\": {...}, \"payload\": {...}})");
    checkKeys(node, {"headers", "payload"}, "\"send\"");
    const JsonNode* payload = node.find("payload");
    if (!payload) fail(node.at, "\"send\" needs a \"payload\", the request's JSON body");
    step.body = toJson(*payload).dump();
    if (const JsonNode* headers = node.find("headers")) {
      object(*headers, "\"headers\" (names and values, such as {\"apns-priority\": 5})");
      for (const auto& m : headers->members) {
        if (!m.value.isString() && m.value.type != JsonNode::Type::Integer) {
          fail(m.value.at, "a header's value is text or a whole number, not " + m.value.describe());
        }
        step.headers.emplace_back(m.key, m.value.isString() ? m.value.string : std::to_string(m.value.integer));
      }
    }
  }

  Step step(const JsonNode& node) const {
    if (!node.isObject())
      fail(node.at, "a step is an object with one key, such as {\"advance\": 60}, not " + node.describe());
    if (node.members.size() != 1) {
      fail(node.at, "a step is an object with exactly one key; this one has " + std::to_string(node.members.size()));
    }
    const auto& member = node.members.front();
    const JsonNode& v = member.value;
    const std::vector<std::string>& names = stepNames();
    auto it = std::find(names.begin(), names.end(), member.key);
    if (it == names.end())
      fail(member.at, "unknown step " + inQuotes(member.key) + suggestion(member.key, names, "steps"));
    Step s;
    s.kind = static_cast<Step::Kind>(it - names.begin());
    s.name = member.key;
    s.at = node.at;
    switch (s.kind) {
      case Step::Kind::Launch:
        launch(v, s);
        break;
      case Step::Kind::State:
        s.text = choice(v, kStateNames, "\"state\"");
        break;
      case Step::Kind::Register:
        if (!v.isNull()) {
          object(v, "\"register\" (a configuration such as {\"types\": 7}, or null)");
          checkKeys(v, {"types"}, "the configuration");
          s.flag = true;
          if (const JsonNode* t = v.find("types")) s.integer = integer(*t, "\"types\"");
        }
        break;
      case Step::Kind::Answer:
        s.text = choice(v, {"allow", "deny"}, "\"answer\"");
        break;
      case Step::Kind::Token:
        token(v, s);
        break;
      case Step::Kind::RegistrationError:
        if (!v.isNull()) {
          object(v, "\"registrationError\" ({\"domain\": ..., \"code\": ...}, or null)");
          checkKeys(v, {"domain", "code"}, "\"registrationError\"");
          s.flag = true;
          s.errorDomain = optionalString(v, "domain", "\"registrationError\"").value_or("NSCocoaErrorDomain");
          const JsonNode* code = v.find("code");
          s.integer = code ? integer(*code, "\"code\"") : 3000;
        }
        break;
      case Step::Kind::Push:
        if (v.isString()) {
          pushFromFile(v, s);
        } else {
          s.payload = payload(v, s.target);
        }
        break;
      case Step::Kind::Open:
        s.text = string(v, "\"open\" (\"latest\" or an identifier)");
        break;
      case Step::Kind::OpenSettings:
      case Step::Kind::ClearBadge:
      case Step::Kind::ClearNoticeBar:
        noArgument(v, s.name);
        break;
      case Step::Kind::Schedule:
        schedule(v, s);
        break;
      case Step::Kind::Advance:
        if (number(v, "\"advance\" (seconds of device time)") < 0) {
          fail(v.at, "the clock only moves forward; \"advance\" is 0 or more");
        }
        s.seconds = span(v, "\"advance\"", 0);
        break;
      case Step::Kind::SetBadge:
        s.integer = integer(v, "\"setBadge\"");
        break;
      case Step::Kind::Remove:
        remove(v, s);
        break;
      case Step::Kind::ForegroundType:
        s.integer = integer(v, "\"foregroundType\" (presentation options)");
        if (s.integer < 0 || s.integer > 31) {
          fail(v.at,
               "\"foregroundType\" is a set of presentation options (1 badge, 2 sound, 4 alert, 8 list, 16 banner) "
               "from 0 to 31, not " +
                   std::to_string(s.integer));
        }
        break;
      case Step::Kind::AuthorizationStatus:
        s.text = v.isNull() ? "query"
                            : choice(v, {"query", "not-determined", "denied", "authorized", "provisional"},
                                     "\"authorizationStatus\"");
        break;
      case Step::Kind::EnterRegion:
        s.text = string(v, "\"enterRegion\" (a region identifier)");
        break;
      case Step::Kind::TimeZone:
        s.text = string(v, "\"timeZone\" (a time-zone name)");
        if (!objc::NSTimeZone::timeZoneWithName(s.text)) {
          fail(v.at, "\"timeZone\" is \"UTC\", \"GMT\" or \"GMT+hh:mm\" / \"GMT-hh:mm\", not " + inQuotes(s.text));
        }
        break;
      case Step::Kind::Note:
        s.text = string(v, "\"note\"");
        break;
      case Step::Kind::Expect:
        expect(v, s);
        break;
      case Step::Kind::Network:
        s.text = choice(v, {"offline", "online"}, "\"network\"");
        break;
      case Step::Kind::Send:
        send(v, s);
        break;
    }
    // Only now, once a payload is known to be of a size the service takes.
    s.value = toJson(v);
    return s;
  }

  Scenario scenario() const {
    JsonNode root = tree();
    if (!root.isObject()) fail(root.at, "a scenario is a JSON object with \"steps\", not " + root.describe());
    checkKeys(root, {"os", "description", "host", "steps"}, "the scenario");
    Scenario sc;
    sc.file = file_;
    if (const JsonNode* v = root.find("os")) sc.versions = versions(*v);
    if (const JsonNode* v = root.find("description")) sc.description = string(*v, "\"description\"");
    if (const JsonNode* v = root.find("host")) host(*v, sc.host);
    JsonNode* steps = root.find("steps");
    if (!steps) fail(root.at, "a scenario needs \"steps\", a list of steps");
    if (!steps->isArray()) fail(steps->at, "\"steps\" is a list of steps, not " + steps->describe());
    // Each step's part of the tree goes once the step is read, so that a
    // long scenario does not hold its whole tree and all its steps at once.
    sc.steps.reserve(steps->items.size());
    for (JsonNode& s : steps->items) {
      sc.steps.push_back(step(s));
      s = JsonNode();
    }
    return sc;
  }

  Step oneStep() const { return step(tree()); }

  Step pushFile() const {
    JsonNode root = tree();
    Step s;
    s.kind = Step::Kind::Push;
    s.name = "push";
    s.at = root.at;
    s.text = file_;
    s.payload = payload(root, s.target);
    s.value = file_;
    return s;
  }

 private:
  std::string_view text_;
  std::string file_;
  std::string directory_;
};

}  // namespace

std::string InputError::describe() const {
  return file + ":" + std::to_string(at.line) + ":" + std::to_string(at.column) + ": " + message;
}

std::string displayName(const std::string& path) { return path == "-" ? "<stdin>" : path; }

std::string readInput(const std::string& path) {
  const std::string tooLarge = "cannot read: larger than " + std::to_string(kMaxInputBytes >> 20) + " MiB";
  if (path == "-") {
    // Standard input may never end: read one byte past the limit at most.
    std::string content;
    char buffer[65536];
    while (content.size() <= kMaxInputBytes && std::cin.read(buffer, sizeof buffer).gcount() > 0) {
      content.append(buffer, static_cast<size_t>(std::cin.gcount()));
    }
    if (std::cin.bad()) throw BadInput(InputError{displayName(path), {}, "cannot read standard input"});
    if (content.size() > kMaxInputBytes) throw BadInput(InputError{displayName(path), {}, tooLarge});
    return content;
  }
  // Only regular files: a device or a pipe could be endless.
  std::error_code ec;
  auto status = std::filesystem::status(path, ec);
  if (ec) throw BadInput(InputError{path, {}, "cannot read: " + ec.message()});
  if (std::filesystem::is_directory(status)) throw BadInput(InputError{path, {}, "cannot read: it is a directory"});
  if (!std::filesystem::is_regular_file(status)) {
    throw BadInput(InputError{path, {}, "cannot read: it is not a regular file"});
  }
  if (std::filesystem::file_size(path, ec) > kMaxInputBytes) throw BadInput(InputError{path, {}, tooLarge});
  std::ifstream in(path, std::ios::binary);
  if (!in) throw BadInput(InputError{path, {}, std::string("cannot read: ") + std::strerror(errno)});
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) throw BadInput(InputError{path, {}, "cannot read: input error"});
  return content.str();
}

const std::vector<std::string>& stepNames() {
  // In the order of Step::Kind.
  static const std::vector<std::string> names = {"launch",
                                                 "state",
                                                 "register",
                                                 "answer",
                                                 "token",
                                                 "registrationError",
                                                 "push",
                                                 "open",
                                                 "openSettings",
                                                 "schedule",
                                                 "advance",
                                                 "setBadge",
                                                 "clearBadge",
                                                 "clearNoticeBar",
                                                 "remove",
                                                 "foregroundType",
                                                 "authorizationStatus",
                                                 "enterRegion",
                                                 "timeZone",
                                                 "note",
                                                 "expect",
                                                 "network",
                                                 "send"};
  return names;
}

Scenario parseScenario(std::string_view text, const std::string& file, const std::string& directory) {
  return Checker(text, file, directory).scenario();
}

Step parseStep(std::string_view text, const std::string& file, size_t line, const std::string& directory) {
  try {
    Step s = Checker(text, file, directory).oneStep();
    s.at.line = line;
    return s;
  } catch (const BadInput& e) {
    InputError error = e.error();
    error.at.line = line;
    throw BadInput(std::move(error));
  }
}

Step parsePushFile(std::string_view text, const std::string& file) { return Checker(text, file, ".").pushFile(); }

bool isStateName(std::string_view name) {
  return std::find(kStateNames.begin(), kStateNames.end(), name) != kStateNames.end();
}

bool isVersion(std::string_view text) {
  if (text.empty() || text.size() > 32) return false;
  // Components of decimal digits between dots, each one a number the
  // platform's integers hold.
  for (size_t start = 0; start <= text.size();) {
    size_t dot = std::min(text.find('.', start), text.size());
    int64_t value;
    auto [end, error] = std::from_chars(text.data() + start, text.data() + dot, value);
    if (dot == start || error != std::errc() || end != text.data() + dot || text[start] == '-') return false;
    start = dot + 1;
  }
  return true;
}

std::optional<double> parseISO8601(std::string_view s) {
  size_t i = 0;
  auto digits = [&](size_t n, int64_t& out) {
    if (i + n > s.size()) return false;
    out = 0;
    for (size_t k = 0; k < n; ++k) {
      char c = s[i + k];
      if (c < '0' || c > '9') return false;
      out = out * 10 + (c - '0');
    }
    i += n;
    return true;
  };
  auto literal = [&](char c) {
    if (i < s.size() && s[i] == c) {
      ++i;
      return true;
    }
    return false;
  };
  int64_t year, month, day, hour = 0, minute = 0, second = 0;
  double fraction = 0;
  if (!digits(4, year) || !literal('-') || !digits(2, month) || !literal('-') || !digits(2, day)) return std::nullopt;
  static const int kDaysIn[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDaysIn[month - 1]) return std::nullopt;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return std::nullopt;
  int64_t offset = 0;
  if (i < s.size()) {
    if (!literal('T') && !literal(' ')) return std::nullopt;
    if (!digits(2, hour) || !literal(':') || !digits(2, minute)) return std::nullopt;
    if (literal(':')) {
      if (!digits(2, second)) return std::nullopt;
      if (literal('.') || literal(',')) {
        double scale = 0.1;
        size_t start = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
          fraction += (s[i] - '0') * scale;
          scale /= 10;
          ++i;
        }
        if (i == start) return std::nullopt;
      }
    }
    if (hour > 23 || minute > 59 || second > 60) return std::nullopt;
    if (literal('Z') || literal('z')) {
      // UTC
    } else if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      int sign = s[i] == '-' ? -1 : 1;
      ++i;
      int64_t oh, om = 0;
      if (!digits(2, oh)) return std::nullopt;
      if (literal(':')) {
        if (!digits(2, om)) return std::nullopt;
      } else if (i < s.size()) {
        if (!digits(2, om)) return std::nullopt;
      }
      if (oh > 23 || om > 59) return std::nullopt;
      offset = sign * (oh * 3600 + om * 60);
    }
  }
  if (i != s.size()) return std::nullopt;
  int64_t days = objc::daysFromCivil(year, month, day);
  return static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second - offset) + fraction;
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char escape[8];
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    unsigned control = c < 0x20 || c == 0x7F ? c : 0;
    // C1 controls, U+0080 to U+009F, are two bytes in UTF-8.
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0 &&
        static_cast<unsigned char>(text[i + 1]) >= 0x80) {
      control = static_cast<unsigned char>(text[++i]);
    }
    if (control || c < 0x20) {
      std::snprintf(escape, sizeof escape, "\\u%04X", control);
      out += escape;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string displayQuoted(std::string_view text) {
  std::string out = "\"";
  for (char c : printable(text)) {
    if (c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string formatISO8601(double seconds) {
  // Far outside any date a run reaches; the calendar arithmetic below is
  // only defined up to about 2.9e11 years.
  if (std::isnan(seconds)) return "not a date";
  if (std::fabs(seconds) > 1e15) return seconds < 0 ? "before any date" : "after any date";
  double whole = std::floor(seconds);
  int64_t millis = std::llround((seconds - whole) * 1000);
  auto t = static_cast<int64_t>(whole);
  if (millis == 1000) {
    ++t;
    millis = 0;
  }
  int64_t days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
  int64_t rest = t - days * 86400;
  objc::CivilDate date = objc::civilFromDays(days);
  int64_t y = date.year, m = date.month, d = date.day;
  if (y >= 0 && y <= 9999) {
    // Every date a run shows: written digit by digit, which the records of
    // every delivered notification ask for.
    char text[] = "0000-00-00T00:00:00.000Z";
    auto put = [&](size_t at, int64_t value, int digits) {
      for (int i = digits - 1; i >= 0; --i, value /= 10)
        text[at + static_cast<size_t>(i)] = static_cast<char>('0' + value % 10);
    };
    put(0, y, 4);
    put(5, m, 2);
    put(8, d, 2);
    put(11, rest / 3600, 2);
    put(14, rest / 60 % 60, 2);
    put(17, rest % 60, 2);
    if (!millis) return std::string(text, 19) + "Z";
    put(20, millis, 3);
    return std::string(text, 24);
  }
  char text[128];  // room for any year the arithmetic can produce
  if (millis) {
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", static_cast<long long>(y),
                  static_cast<long long>(m), static_cast<long long>(d), static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60),
                  static_cast<long long>(millis));
  } else {
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(y),
                  static_cast<long long>(m), static_cast<long long>(d), static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  }
  return text;
}

Scenario pushScenario(const std::string& file, Step push, const std::string& state, bool open) {
  Scenario sc;
  sc.file = file;
  auto simple = [](Step::Kind kind, const char* name, Json value) {
    Step s;
    s.kind = kind;
    s.name = name;
    s.value = std::move(value);
    return s;
  };
  sc.steps.push_back(simple(Step::Kind::Launch, "launch", Json::object()));
  if (state != "active") {
    Step s = simple(Step::Kind::State, "state", state);
    s.text = state;
    sc.steps.push_back(std::move(s));
  }
  sc.steps.push_back(std::move(push));
  if (open) {
    Step s = simple(Step::Kind::Open, "open", "latest");
    s.text = "latest";
    sc.steps.push_back(std::move(s));
  }
  return sc;
}

}  // namespace orvelsim
