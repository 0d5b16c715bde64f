#include "sim/Records.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <typeinfo>
#include <unordered_map>

#include "Device/Device.h"
#include "UIKit/UIKit.h"
#include "UserNotifications/UserNotifications.h"
#include "orvel/Orvel.h"
#include "sim/Scenario.h"

namespace orvelsim {

using namespace objc;

namespace {

// Device time since the start, to the millisecond: enough to read, and
// stable in text.
double roundedTime(double t) {
  double milliseconds = std::round(t * 1000);
  return std::isfinite(milliseconds) ? milliseconds / 1000 : t;
}

std::string hex(const NSData* data) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(data->length() * 2);
  for (uint8_t b : data->vector()) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string nameOf(const NSObject* object) { return object_getClassName(const_cast<NSObject*>(object)); }

// The JSON library's own writer, for what it alone decides: numbers with a
// fraction, and text beyond ASCII (its UTF-8 checks and replacement of
// what is invalid). One per thread, kept: making one reads the locale.
void appendDumped(TextBuffer& out, const Json& value) {
  thread_local std::string text;
  thread_local nlohmann::detail::serializer<Json> writer(nlohmann::detail::output_adapter<char>(text), ' ',
                                                         Json::error_handler_t::replace);
  text.clear();
  writer.dump(value, false, false, 0);
  out += text;
}

// What a byte of a string needs: 0 nothing, 1 an escape, 2 the library.
constexpr std::array<uint8_t, 256> kByteClass = [] {
  std::array<uint8_t, 256> classes{};
  for (int c = 0; c < 256; ++c) classes[c] = c < 0x20 || c == '"' || c == '\\' ? 1 : c >= 0x80 ? 2 : 0;
  return classes;
}();

// Whether none of eight bytes needs anything: none below 0x20, none from
// 0x80, no quote and no backslash.
bool plainWord(uint64_t x) {
  constexpr uint64_t ones = 0x0101010101010101ULL, high = 0x8080808080808080ULL;
  const uint64_t quote = x ^ (ones * '"'), backslash = x ^ (ones * '\\');
  const uint64_t control = (x - ones * 0x20) & ~x;
  const uint64_t quotes = (quote - ones) & ~quote, backslashes = (backslash - ones) & ~backslash;
  return ((x | control | quotes | backslashes) & high) == 0;
}

// The first byte of `s` from `from` that needs more than copying.
size_t plainUntil(std::string_view s, size_t from) {
  const size_t size = s.size();
  size_t i = from;
  for (uint64_t word; i + 8 <= size; i += 8) {
    std::memcpy(&word, s.data() + i, 8);
    if (!plainWord(word)) break;
  }
  while (i < size && kByteClass[static_cast<unsigned char>(s[i])] == 0) ++i;
  return i;
}

// `s` as a JSON string, then `after` (0: nothing).
void appendString(TextBuffer& out, std::string_view s, char after = 0) {
  const size_t size = s.size(), start = out.size();
  // Plain text, the common case: checked and copied a word at a time into
  // room for all of it, its quotes and what follows.
  char* p = out.room(size + 3);
  p[0] = '"';
  size_t i = 0;
  for (uint64_t word; i + 8 <= size; i += 8) {
    std::memcpy(&word, s.data() + i, 8);
    if (!plainWord(word)) break;
    std::memcpy(p + 1 + i, &word, 8);
  }
  if (i < size && i + 8 > size && size >= 8) {
    // The last few bytes as the last eight, which overlap what was copied.
    uint64_t word;
    std::memcpy(&word, s.data() + size - 8, 8);
    if (plainWord(word)) {
      std::memcpy(p + 1 + size - 8, &word, 8);
      i = size;
    }
  }
  while (i < size && kByteClass[static_cast<unsigned char>(s[i])] == 0) {
    p[1 + i] = s[i];
    ++i;
  }
  if (i == size) {
    p[1 + size] = '"';
    p[2 + size] = after;
    out.advance(size + (after ? 3 : 2));
    return;
  }
  out.advance(1 + i);
  while (i < size) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (kByteClass[c] == 2) {
      out.truncate(start);
      appendDumped(out, Json(std::string(s)));
      if (after) out += after;
      return;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default: {
        static const char digits[] = "0123456789abcdef";
        const char escape[] = {'\\', 'u', '0', '0', digits[c >> 4], digits[c & 15]};
        out += std::string_view(escape, sizeof escape);
      }
    }
    const size_t plain = i + 1;
    i = plainUntil(s, plain);
    out += s.substr(plain, i - plain);
  }
  out += '"';
  if (after) out += after;
}

template <class Integer>
void appendInteger(TextBuffer& out, Integer value) {
  char* p = out.room(24);
  out.advance(static_cast<size_t>(std::to_chars(p, p + 24, value).ptr - p));
}

// A completion value as the device writes it: empty for none, else a number.
Json deviceValue(const std::string& text) {
  if (text.empty()) return nullptr;
  // Mostly a whole number, read here as the JSON library reads one: without
  // a sign as unsigned, with a minus sign as signed, no leading zeros.
  const bool negative = text[0] == '-';
  const std::string_view digits = std::string_view(text).substr(negative ? 1 : 0);
  if (!digits.empty() && digits.size() <= 18 && (digits[0] != '0' || digits.size() == 1) &&
      digits.find_first_not_of("0123456789") == std::string_view::npos) {
    int64_t magnitude = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    return negative ? Json(-magnitude) : Json(static_cast<uint64_t>(magnitude));
  }
  Json parsed = Json::parse(text, nullptr, false);
  if (parsed.is_discarded()) return text;
  return parsed;
}

std::string compact(const Json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string str(const Json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || it->is_null()) return "";
  return it->is_string() ? it->get<std::string>() : it->dump();
}

const char* messageTypeName(int64_t type) {
  switch (type) {
    case 0:
      return "remote received";
    case 1:
      return "local received";
    case 2:
      return "remote opened";
    case 3:
      return "local opened";
  }
  return "unknown";
}

std::string describeMessage(const Json& object) {
  if (!object.is_object()) return compact(object);
  int64_t type = object.value("notificationMessageType", int64_t{0});
  std::string out = "type " + std::to_string(type) + " (" + messageTypeName(type) + ")";
  if (object.contains("identifier")) out += " id " + str(object, "identifier");
  if (auto n = object.find("notification"); n != object.end() && n->is_object()) {
    std::string title = str(*n, "title"), body = str(*n, "body");
    if (!title.empty()) out += " \"" + title + "\"";
    if (!body.empty()) out += " \"" + body + "\"";
    if (n->contains("badge")) out += " badge " + str(*n, "badge");
    if (n->value("silentPush", false)) out += " silent";
  }
  return out;
}

}  // namespace

// ---- JSON text ----

void appendJsonText(TextBuffer& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::null: out += "null"; return;
    case Json::value_t::boolean: out += value.get<bool>() ? "true" : "false"; return;
    case Json::value_t::number_integer: return appendInteger(out, value.get<int64_t>());
    case Json::value_t::number_unsigned: return appendInteger(out, value.get<uint64_t>());
    case Json::value_t::string: return appendString(out, value.get_ref<const std::string&>());
    case Json::value_t::array: {
      const auto& items = value.get_ref<const Json::array_t&>();
      out += '[';
      for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += ',';
        appendJsonText(out, items[i]);
      }
      out += ']';
      return;
    }
    case Json::value_t::object: {
      const auto& members = value.get_ref<const Json::object_t&>();
      out += '{';
      bool first = true;
      for (const auto& [key, member] : members) {
        if (!first) out += ',';
        first = false;
        appendString(out, key, ':');
        appendJsonText(out, member);
      }
      out += '}';
      return;
    }
    default: return appendDumped(out, value);  // floating point, binary
  }
}

void appendStringText(TextBuffer& out, std::string_view text) { appendString(out, text); }

TextBuffer& JsonMembers::anyKey(std::string_view name) {
  // Mostly names that need no escapes (a payload's keys), written in one
  // piece.
  if (plainUntil(name, 0) == name.size()) return plain(name);
  if (!first_) out_ += ',';
  first_ = false;
  appendString(out_, name, ':');
  return out_;
}

namespace {

// roundedTime(t) as the JSON library writes it. A whole number of
// milliseconds, as every record's time is, is written from that number
// ("12.5", "0.0"), without the library's float printer; the rest the
// library writes.
void appendTime(TextBuffer& out, double t) {
  const double rounded = roundedTime(t);
  const double milliseconds = std::round(t * 1000);
  if (!(milliseconds >= 0 && milliseconds < 1e12) || std::signbit(rounded) || milliseconds / 1000 != rounded) {
    appendJsonText(out, rounded);
    return;
  }
  const auto whole = static_cast<uint64_t>(milliseconds);
  char text[32];
  char* end = std::to_chars(text, text + 16, whole / 1000).ptr;
  *end++ = '.';
  const auto fraction = static_cast<unsigned>(whole % 1000);
  *end++ = static_cast<char>('0' + fraction / 100);
  if (fraction % 100) *end++ = static_cast<char>('0' + fraction / 10 % 10);
  if (fraction % 10) *end++ = static_cast<char>('0' + fraction % 10);
  out += std::string_view(text, static_cast<size_t>(end - text));
}

// The end of the JSON value that starts at `i` of `text`, which is well
// formed: strings are skipped escape by escape, containers bracket by
// bracket.
size_t endOfValue(std::string_view text, size_t i) {
  size_t depth = 0;
  for (bool inString = false; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
        if (depth == 0) return i + 1;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (depth == 0) return i;  // the end of the enclosing object
      if (--depth == 0) return i + 1;
    } else if (c == ',' && depth == 0) {
      return i;
    }
  }
  return i;
}

}  // namespace

// ---- records ----

Record Record::withText(double t, std::string kind, std::string members) {
  Record r(t, std::move(kind), Unread{});
  r.hasText_ = true;
  r.text_ = std::move(members);
  return r;
}

const Json& Record::fields() const {
  if (hasText_ && !parsed_) {
    fields_ = Json::parse("{" + text_ + "}");
    parsed_ = true;
  }
  return fields_;
}

Json& Record::fields() {
  static_cast<const Record*>(this)->fields();
  hasText_ = false;
  parsed_ = false;
  text_.clear();
  return fields_;
}

Json Record::field(std::string_view key) const {
  if (!hasText_ || parsed_) {
    auto it = fields_.find(key);
    return it == fields_.end() ? Json() : *it;
  }
  const std::string_view text = text_;
  for (size_t i = 0; i < text.size();) {
    const size_t keyEnd = endOfValue(text, i);
    const std::string_view name = text.substr(i + 1, keyEnd - i - 2);
    const size_t valueStart = keyEnd + 1;  // after the colon
    const size_t valueEnd = endOfValue(text, valueStart);
    // Keys are written without escapes unless they need them.
    const bool matches = name.find('\\') == std::string_view::npos
                             ? name == key
                             : Json::parse(text.substr(i, keyEnd - i)).get_ref<const std::string&>() == key;
    if (matches) {
      const std::string_view value = text.substr(valueStart, valueEnd - valueStart);
      // Text without escapes is the string itself.
      if (value.size() >= 2 && value.front() == '"' && value.find('\\') == std::string_view::npos)
        return std::string(value.substr(1, value.size() - 2));
      return Json::parse(value);
    }
    i = valueEnd + 1;  // after the comma
  }
  return Json();
}

void Record::addField(std::string_view key, const Json& value) {
  if (!hasText_) {
    fields_[std::string(key)] = value;
    return;
  }
  TextBuffer more(64);
  JsonMembers members(more, text_.empty());
  appendJsonText(members.anyKey(key), value);
  text_ += more.view();
  if (parsed_) fields_[std::string(key)] = value;
}

Json Record::toJson() const {
  Json out = Json::object();
  out["t"] = roundedTime(t);
  out["kind"] = kind;
  const Json& f = fields();
  for (auto it = f.begin(); it != f.end(); ++it) out[it.key()] = it.value();
  return out;
}

std::string Record::toJsonLine(const std::string& os) const {
  TextBuffer out(text_.size() + 64);
  appendJsonLine(out, os);
  return out.take();
}

void Record::appendJsonLine(TextBuffer& out, const std::string& os) const {
  auto start = [&] {
    out += "{\"t\":";
    appendTime(out, t);
    out += ",\"kind\":";
    appendString(out, kind);
  };
  auto finish = [&] {
    if (!os.empty()) {
      out += ",\"os\":";
      appendString(out, os);
    }
    out += '}';
  };
  if (hasText_) {
    start();
    if (!text_.empty()) out += ',';
    out += text_;
    finish();
    return;
  }
  // A field named like one of the record's own keys takes its place in
  // toJson(); that rare line is made the long way.
  bool plain = fields_.is_object() && !fields_.contains("t") && !fields_.contains("kind") &&
               (os.empty() || !fields_.contains("os"));
  if (!plain) {
    Json line = toJson();
    if (!os.empty()) line["os"] = os;
    out += line.dump(-1, ' ', false, Json::error_handler_t::replace);
    return;
  }
  // The fields' own object, opened up after "t" and "kind": they keep their
  // order, so this is the same text.
  start();
  for (const auto& [key, member] : fields_.get_ref<const Json::object_t&>()) {
    out += ',';
    appendString(out, key, ':');
    appendJsonText(out, member);
  }
  finish();
}

std::optional<Record> Record::fromJson(const Json& line) {
  if (!line.is_object()) return std::nullopt;
  auto t = line.find("t"), kind = line.find("kind");
  if (t == line.end() || !t->is_number() || kind == line.end() || !kind->is_string()) return std::nullopt;
  JsonObjectBuilder fields;
  for (auto it = line.begin(); it != line.end(); ++it) {
    if (it.key() != "t" && it.key() != "kind") fields.set(it.key(), it.value());
  }
  return Record(t->get<double>(), kind->get<std::string>(), fields.take());
}

// ---- run-time values ----

namespace {

// What valueToJson makes of an object: the first of these its dynamic type
// is, in this order.
enum class ValueKind {
  String, Dictionary, Number, Data, Error, Array, Null, Date, Message, MessageContent, Notification,
  Response, Request, Content, Trigger, Attachment, Local, Settings, Block, Other
};

ValueKind classify(const NSObject* value) {
  if (dynamic_cast<const NSString*>(value)) return ValueKind::String;
  if (dynamic_cast<const NSDictionary*>(value)) return ValueKind::Dictionary;
  if (dynamic_cast<const NSNumber*>(value)) return ValueKind::Number;
  if (dynamic_cast<const NSData*>(value)) return ValueKind::Data;
  if (dynamic_cast<const NSError*>(value)) return ValueKind::Error;
  if (dynamic_cast<const NSArray*>(value)) return ValueKind::Array;
  if (dynamic_cast<const NSNull*>(value)) return ValueKind::Null;
  if (dynamic_cast<const NSDate*>(value)) return ValueKind::Date;
  if (dynamic_cast<const OrvelNotificationMessage*>(value)) return ValueKind::Message;
  if (dynamic_cast<const OrvelNotificationContent*>(value)) return ValueKind::MessageContent;
  if (dynamic_cast<const UNNotification*>(value)) return ValueKind::Notification;
  if (dynamic_cast<const UNNotificationResponse*>(value)) return ValueKind::Response;
  if (dynamic_cast<const UNNotificationRequest*>(value)) return ValueKind::Request;
  if (dynamic_cast<const UNNotificationContent*>(value)) return ValueKind::Content;
  if (dynamic_cast<const UNNotificationTrigger*>(value)) return ValueKind::Trigger;
  if (dynamic_cast<const UNNotificationAttachment*>(value)) return ValueKind::Attachment;
  if (dynamic_cast<const UILocalNotification*>(value)) return ValueKind::Local;
  if (dynamic_cast<const UIUserNotificationSettings*>(value)) return ValueKind::Settings;
  if (dynamic_cast<const NSBlock*>(value)) return ValueKind::Block;
  return ValueKind::Other;
}

// Classified once per type and thread, as a rule: the chain of type checks
// costs far more than the lookup, and records convert the same few types
// over and over. A small table placed by the type's address; a type that
// finds its slot taken is classified again and takes it.
ValueKind kindOf(const NSObject* value) {
  struct Slot {
    const std::type_info* type = nullptr;
    ValueKind kind = ValueKind::Other;
  };
  constexpr size_t kSlots = 64;
  thread_local std::array<Slot, kSlots> known;
  const std::type_info* type = &typeid(*value);
  Slot& slot = known[(reinterpret_cast<uintptr_t>(type) >> 3) % kSlots];
  if (slot.type != type) slot = Slot{type, classify(value)};
  return slot.kind;
}

// The platform's objects as JSON objects: their fields in a fixed order,
// strings only when set.
class ObjectText {
 public:
  explicit ObjectText(TextBuffer& out) : out_(out), members_(out) { out_ += '{'; }
  void close() { out_ += '}'; }

  TextBuffer& key(PlainKey name) { return members_.key(name); }
  TextBuffer& anyKey(std::string_view name) { return members_.anyKey(name); }
  void string(PlainKey name, const NSString* value) {
    if (value) appendString(key(name), value->utf8());
  }
  void string(PlainKey name, std::string_view value) { appendString(key(name), value); }
  template <class Integer>
  void integer(PlainKey name, Integer value) {
    appendInteger(key(name), value);
  }
  void value(PlainKey name, const NSObject* value) { appendValueText(key(name), value); }

 private:
  TextBuffer& out_;
  JsonMembers members_;
};

void appendTrigger(TextBuffer& out, const UNNotificationTrigger* trigger) {
  ObjectText o(out);
  if (dynamic_cast<const UNPushNotificationTrigger*>(trigger)) {
    o.string("kind", "push");
  } else if (auto* t = dynamic_cast<const UNTimeIntervalNotificationTrigger*>(trigger)) {
    o.string("kind", "timeInterval");
    appendDumped(o.key("timeInterval"), Json(t->timeInterval()));
  } else if (auto* c = dynamic_cast<const UNCalendarNotificationTrigger*>(trigger)) {
    o.string("kind", "calendar");
    o.string("dateComponents", c->dateComponents() ? c->dateComponents()->description() : std::string());
  } else if (auto* l = dynamic_cast<const UNLocationNotificationTrigger*>(trigger)) {
    o.string("kind", "location");
    if (l->region()) o.string("region", l->region()->identifier());
  } else {
    o.string("kind", nameOf(trigger));
  }
  if (trigger->repeats()) o.key("repeats") += "true";
  o.close();
}

void appendContent(TextBuffer& out, const UNNotificationContent* c) {
  ObjectText o(out);
  o.string("title", c->title());
  o.string("subtitle", c->subtitle());
  o.string("body", c->body());
  if (c->badge()) o.value("badge", c->badge());
  if (c->sound()) o.string("sound", c->sound()->name() ? c->sound()->name()->utf8() : std::string("default"));
  if (c->attachments() && c->attachments()->count()) o.value("attachments", c->attachments());
  o.string("threadIdentifier", c->threadIdentifier());
  o.string("launchImageName", c->launchImageName());
  o.string("summaryArgument", c->summaryArgument());
  if (c->summaryArgumentCount()) o.integer("summaryArgumentCount", c->summaryArgumentCount());
  o.string("targetContentIdentifier", c->targetContentIdentifier());
  if (c->userInfo()) o.value("userInfo", c->userInfo());
  o.close();
}

// A request's fields, and then a delivered notification's date.
void appendRequest(TextBuffer& out, const UNNotificationRequest* r, const NSDate* date = nullptr) {
  ObjectText o(out);
  if (r) {
    o.string("identifier", r->identifier());
    if (r->content()) appendContent(o.key("content"), r->content());
    if (r->trigger()) appendTrigger(o.key("trigger"), r->trigger());
  }
  if (date) o.string("date", formatISO8601(date->timeIntervalSince1970()));
  o.close();
}

void appendLocal(TextBuffer& out, const UILocalNotification* n) {
  ObjectText o(out);
  o.string("alertTitle", n->alertTitle());
  o.string("alertBody", n->alertBody());
  o.string("soundName", n->soundName());
  if (n->applicationIconBadgeNumber()) o.integer("badge", n->applicationIconBadgeNumber());
  if (n->fireDate()) o.string("fireDate", formatISO8601(n->fireDate()->timeIntervalSince1970()));
  if (n->repeatInterval()) o.integer("repeatInterval", n->repeatInterval());
  if (n->region() && n->region()->identifier()) {
    o.string("region", n->region()->identifier());
    o.key("regionTriggersOnce") += n->regionTriggersOnce() ? "true" : "false";
  }
  o.string("alertLaunchImage", n->alertLaunchImage());
  if (n->userInfo()) o.value("userInfo", n->userInfo());
  o.close();
}

void appendDictionary(TextBuffer& out, const NSDictionary* d) {
  bool stringKeys = true;
  for (const auto& entry : *d) stringKeys = stringKeys && kindOf(entry.key.get()) == ValueKind::String;
  ObjectText o(out);
  if (stringKeys) {
    // Keys that are strings are distinct.
    for (const auto& entry : *d)
      appendValueText(o.anyKey(static_cast<const NSString*>(entry.key.get())->utf8()), entry.value.get());
    o.close();
    return;
  }
  // Other keys go by their description, which two keys may share: a key
  // given again keeps its first place and takes the later value, as the
  // JSON bridge reads duplicate keys.
  std::vector<std::pair<std::string, std::string>> members;
  std::unordered_map<std::string, size_t> at;
  for (const auto& entry : *d) {
    const NSObject* key = entry.key.get();
    std::string name = kindOf(key) == ValueKind::String ? static_cast<const NSString*>(key)->utf8() : key->description();
    TextBuffer text(64);
    appendValueText(text, entry.value.get());
    std::string value = text.take();
    auto [found, added] = at.emplace(name, members.size());
    if (added) {
      members.emplace_back(std::move(name), std::move(value));
    } else {
      members[found->second].second = std::move(value);
    }
  }
  for (const auto& [name, value] : members) o.anyKey(name) += value;
  o.close();
}

void appendNumber(TextBuffer& out, const NSNumber* n) {
  switch (n->kind()) {
    case NSNumber::Kind::Bool:
      out += n->boolValue() ? "true" : "false";
      return;
    case NSNumber::Kind::Signed:
      return appendInteger(out, n->integerValue());
    case NSNumber::Kind::Unsigned:
      return appendInteger(out, n->unsignedIntegerValue());
    case NSNumber::Kind::Double:
      if (!std::isfinite(n->doubleValue())) return appendString(out, n->description());
      return appendDumped(out, Json(n->doubleValue()));
  }
  appendString(out, nameOf(n));
}

}  // namespace

void appendValueText(TextBuffer& out, const NSObject* value) {
  if (!value) {
    out += "null";
    return;
  }
  switch (kindOf(value)) {
    case ValueKind::String:
      return appendString(out, static_cast<const NSString*>(value)->utf8());
    case ValueKind::Dictionary:
      return appendDictionary(out, static_cast<const NSDictionary*>(value));
    case ValueKind::Number:
      return appendNumber(out, static_cast<const NSNumber*>(value));
    case ValueKind::Data:
      return appendString(out, hex(static_cast<const NSData*>(value)));
    case ValueKind::Error: {
      auto* e = static_cast<const NSError*>(value);
      ObjectText o(out);
      o.string("domain", e->domain() ? e->domain()->utf8() : std::string());
      o.integer("code", e->code());
      return o.close();
    }
    case ValueKind::Array: {
      out += '[';
      bool first = true;
      for (const Id& item : *static_cast<const NSArray*>(value)) {
        if (!first) out += ',';
        first = false;
        appendValueText(out, item.get());
      }
      out += ']';
      return;
    }
    case ValueKind::Null:
      out += "null";
      return;
    case ValueKind::Date:
      return appendString(out, formatISO8601(static_cast<const NSDate*>(value)->timeIntervalSince1970()));
    case ValueKind::Message:
      return appendValueText(out, static_cast<const OrvelNotificationMessage*>(value)->convertDictionary().get());
    case ValueKind::MessageContent:
      return appendValueText(out, static_cast<const OrvelNotificationContent*>(value)->convertDictionary().get());
    case ValueKind::Notification: {
      auto* n = static_cast<const UNNotification*>(value);
      return appendRequest(out, n->request(), n->date());
    }
    case ValueKind::Response: {
      auto* r = static_cast<const UNNotificationResponse*>(value);
      ObjectText o(out);
      o.string("actionIdentifier", r->actionIdentifier());
      o.value("notification", r->notification());
      return o.close();
    }
    case ValueKind::Request:
      return appendRequest(out, static_cast<const UNNotificationRequest*>(value));
    case ValueKind::Content:
      return appendContent(out, static_cast<const UNNotificationContent*>(value));
    case ValueKind::Trigger:
      return appendTrigger(out, static_cast<const UNNotificationTrigger*>(value));
    case ValueKind::Attachment: {
      auto* a = static_cast<const UNNotificationAttachment*>(value);
      ObjectText o(out);
      o.string("identifier", a->identifier());
      o.string("type", a->type());
      if (a->URL() && a->URL()->path()) {
        o.string("file", std::filesystem::path(a->URL()->path()->utf8()).filename().string());
      }
      return o.close();
    }
    case ValueKind::Local:
      return appendLocal(out, static_cast<const UILocalNotification*>(value));
    case ValueKind::Settings: {
      ObjectText o(out);
      o.integer("types", static_cast<const UIUserNotificationSettings*>(value)->types());
      return o.close();
    }
    case ValueKind::Block:
      return appendString(out, "<block>");
    case ValueKind::Other:
      break;
  }
  appendString(out, nameOf(value));
}

Json valueToJson(const NSObject* value) {
  TextBuffer text;
  appendValueText(text, value);
  return Json::parse(text.view());
}

Record fromDeviceRecord(const DeviceRecord& d, double startTime) {
  const double t = d.time - startTime;
  static const std::string kNone;
  auto field = [&](std::string_view key) -> const std::string* {
    for (const auto& [k, v] : d.fields)
      if (k == key) return &v;
    return nullptr;
  };
  auto get = [&](std::string_view key) -> const std::string& {
    const std::string* value = field(key);
    return value ? *value : kNone;
  };
  // The device makes several of these for every notification: their text
  // is written straight from its fields.
  TextBuffer text(160);
  JsonMembers f(text);
  const std::string_view kind = d.kind;
  if (kind == "os") {
    const std::string* selector = field("selector");
    appendString(f.key("call"), selector ? *selector : get("notification"));
    appendString(f.key("state"), get("state"));
    appendString(f.key("receiver"), get("receiver"));
    if (const std::string* id = field("id")) appendString(f.key("id"), *id);
  } else if (kind == "completion") {
    appendString(f.key("call"), get("callback"));
    appendJsonText(f.key("value"), deviceValue(get("value")));
    if (get("call") != "1") appendJsonText(f.key("count"), deviceValue(get("call")));
  } else if (kind == "badge") {
    appendJsonText(f.key("value"), deviceValue(get("value")));
  } else if (kind == "local") {
    appendString(f.key("action"), get("change"));
    appendString(f.key("id"), get("id"));
    appendString(f.key("list"), get("list"));
    if (const std::string* reason = field("reason")) appendString(f.key("reason"), *reason);
  } else if (kind == "log") {
    appendString(f.key("text"), get("line"));
  } else if (kind == "fault") {
    appendString(f.key("fault"), get("fault"));
    appendString(f.key("call"), get("callback"));
    appendString(f.key("detail"), get("detail"));
  } else {
    // Kinds added later carry their fields as they are, which may repeat a
    // key or use one of the record's own: the tree decides.
    Json fields = Json::object();
    for (const auto& [k, v] : d.fields) fields[k] = v;
    return Record(t, d.kind, std::move(fields));
  }
  return Record::withText(t, d.kind, text.take());
}

// ---- recorder ----

void Recorder::setNormalizer(std::function<void(Record&)> normalizer) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  normalizer_ = std::move(normalizer);
}

void Recorder::setClock(Clock clock) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  clock_ = std::move(clock);
}

Recorder::Subscription Recorder::subscribe(Sink sink) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  sinks_.emplace_back(nextSubscription_, std::move(sink));
  return nextSubscription_++;
}

void Recorder::unsubscribe(Subscription subscription) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::erase_if(sinks_, [&](const auto& s) { return s.first == subscription; });
}

double Recorder::now() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return clock_ ? clock_() : 0;
}

void Recorder::add(std::string kind, Json fields) {
  Record r(0, std::move(kind), std::move(fields));
  std::lock_guard<std::recursive_mutex> g(lock_);
  r.t = clock_ ? clock_() : 0;
  add(std::move(r));
}

void Recorder::addText(std::string kind, std::string members) {
  Record r = Record::withText(0, std::move(kind), std::move(members));
  std::lock_guard<std::recursive_mutex> g(lock_);
  r.t = clock_ ? clock_() : 0;
  add(std::move(r));
}

void Recorder::add(Record record) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (normalizer_) normalizer_(record);
  ++count_;
  for (const auto& [subscription, sink] : sinks_) sink(record);
  if (keeper_) keeper_(record);
}

void Recorder::setKeeper(std::function<void(Record&)> keeper) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  keeper_ = std::move(keeper);
}

size_t Recorder::count() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return count_;
}

// ---- timeline ----

std::string describeRecord(const Record& r) {
  const Json& f = r.fields();
  const std::string& k = r.kind;
  if (k == "step") {
    std::string out = str(f, "step");
    auto v = f.find("value");
    // What an expect step checks shows in its own records.
    if (out != "expect" && v != f.end() && !v->is_null() && !(v->is_object() && v->empty()) &&
        !(v->is_boolean() && v->get<bool>())) {
      out += " " + compact(*v);
    }
    if (f.contains("id")) out += "  → id " + str(f, "id");
    return out;
  }
  if (k == "note") return str(f, "text");
  if (k == "os") {
    std::string receiver = str(f, "receiver");
    std::string out =
        receiver == "NSNotificationCenter" ? "broadcast " + str(f, "call") : receiver + " ← " + str(f, "call");
    out += "  [" + str(f, "state") + "]";
    if (f.contains("id")) out += " id " + str(f, "id");
    return out;
  }
  if (k == "host") {
    std::string out = str(f, "call");
    Json shown = Json::array();
    if (auto a = f.find("args"); a != f.end() && a->is_array()) {
      for (const Json& item : *a) {
        if (item.is_null() || (item.is_string() && (item == "UIApplication" || item == "UNUserNotificationCenter")))
          continue;
        shown.push_back(item);
      }
    }
    if (!shown.empty()) out += "  " + compact(shown.size() == 1 ? shown[0] : shown);
    if (auto c = f.find("completion"); c != f.end()) {
      out += c->is_boolean() ? "  (calls its completion handler)" : "  (completes with " + compact(*c) + ")";
    }
    return out;
  }
  if (k == "event") {
    std::string name = str(f, "name");
    const Json object = f.value("object", Json());
    std::string out = name + "  ";
    if (name == "OrvelDidReceiveMessageNotification") {
      out += describeMessage(object);
    } else if (auto u = f.find("userInfo"); u != f.end() && u->is_object() && u->contains("deviceToken")) {
      out += "deviceToken " + str(*u, "deviceToken");
    } else if (f.contains("userInfo")) {
      out += compact(f["userInfo"]);
    } else {
      out += compact(object);
    }
    return out;
  }
  if (k == "completion") {
    std::string out = str(f, "call") + " → " + compact(f.value("value", Json()));
    if (f.contains("by")) out += "  completed by " + str(f, "by");
    if (f.contains("count")) out += "  (call " + str(f, "count") + ")";
    return out;
  }
  if (k == "badge") {
    std::string value = str(f, "value");
    return value == "-1" ? "badge cleared (-1)" : "badge " + value;
  }
  if (k == "sound") return "sound " + str(f, "sound") + " id " + str(f, "id");
  if (k == "local") {
    // The list is named only when it is not the action's own word:
    // "delivered push-1", "pending scheduled stretch".
    std::string list = str(f, "list"), action = str(f, "action");
    std::string out = list == action ? action : list + " " + action;
    out += " " + (f.contains("request") ? str(f, "request") : str(f, "id"));
    if (f.contains("reason")) out += " (" + str(f, "reason") + ")";
    return out;
  }
  if (k == "attachment") {
    std::string out = str(f, "action") + " " + str(f, "address");
    if (!str(f, "id").empty()) out += " for " + str(f, "id");
    if (f.contains("type")) out += " (" + str(f, "type") + (f.contains("file") ? " " + str(f, "file") : "") + ")";
    if (f.contains("bytes")) out += ", " + str(f, "bytes") + " bytes";
    if (f.contains("reason")) out += ": " + str(f, "reason");
    return out;
  }
  if (k == "log") {
    // One line: a logged payload spans several.
    std::string text, line = f.value("text", std::string());
    bool space = false;
    for (char c : line) {
      if (c == '\n' || c == ' ' || c == '\t') {
        space = true;
        continue;
      }
      if (space && !text.empty()) text += ' ';
      space = false;
      text += c;
    }
    return "\"" + text + "\"";
  }
  if (k == "expect") {
    bool ok = f.value("ok", false);
    std::string out = std::string(ok ? "ok    " : "FAILED ") + str(f, "what");
    if (!ok && f.contains("actual")) out += "; actual: " + compact(f["actual"]);
    return out;
  }
  if (k == "fault") return str(f, "fault") + ": " + str(f, "detail");
  if (k == "error") return str(f, "what");
  if (k == "provider")
    return str(f, "method") + " " + str(f, "path") + " → " + str(f, "status") +
           (f.contains("reason") ? " " + str(f, "reason") : "") + "  apns-id " + str(f, "apns-id");
  if (k == "budget")
    return "background budget: " + str(f, "change") + " " + str(f, "id") +
           (f.contains("wait") ? " for " + str(f, "wait") + " s" : "");
  if (k == "store") return "push service: " + str(f, "event") + " apns-id " + str(f, "apns-id");
  if (k == "serve")
    return "serving " + str(f, "url") + "  device token " + str(f, "deviceToken") + "  topic " + str(f, "topic") +
           (f.contains("certificate") ? "  certificate " + str(f, "certificate") : "") +
           (f.contains("authKey") ? "  key " + str(f, "authKey") : "") +
           (f.contains("keyId") ? "  key id " + str(f, "keyId") + "  team id " + str(f, "teamId")
                                : "  no provider tokens") +
           (f.contains("page") ? "  live page " + str(f, "page") : "");
  return compact(f);
}

const std::set<std::string>& recordKinds() {
  static const std::set<std::string> kinds{"os",    "host",  "event", "completion", "badge",
                                           "sound", "local", "log",   "expect",     "step",
                                           "note",  "fault", "error", "attachment", "lifecycle"};
  return kinds;
}

bool isLifecycle(const Record& r) {
  if (r.kind != "os" && r.kind != "host") return false;
  static const std::set<std::string> calls{"applicationWillResignActive:",
                                           "applicationDidEnterBackground:",
                                           "applicationWillEnterForeground:",
                                           "applicationDidBecomeActive:",
                                           "applicationWillTerminate:",
                                           "UIApplicationWillResignActiveNotification",
                                           "UIApplicationDidEnterBackgroundNotification",
                                           "UIApplicationWillEnterForegroundNotification",
                                           "UIApplicationDidBecomeActiveNotification",
                                           "UIApplicationWillTerminateNotification"};
  return calls.count(str(r.fields(), "call")) > 0;
}

std::string laneOf(const Record& r) {
  const std::string& k = r.kind;
  if (k == "host") return "host";
  if (k == "event") return "observers";
  if (k == "expect" || k == "error") return "check";
  if (k == "log" || k == "attachment") return "library";
  // A system handler is completed by whoever called it; the handlers the
  // host gave the library are called by the library.
  if (k == "completion") return str(r.fields(), "by") == "host" ? "host" : "library";
  return "system";
}

namespace {

// ANSI colours of the timeline.
constexpr const char* kDim = "2";
constexpr const char* kBold = "1";
constexpr const char* kRed = "1;31";
constexpr const char* kGreen = "32";
constexpr const char* kYellow = "33";
constexpr const char* kBlue = "34";
constexpr const char* kMagenta = "35";
constexpr const char* kCyan = "36";

const char* colourOf(const Record& r) {
  const std::string& k = r.kind;
  if (k == "step") return kBold;
  if (k == "note") return kCyan;
  if (k == "expect") return r.fields().value("ok", false) ? kGreen : kRed;
  if (k == "error" || k == "fault") return kRed;
  if (k == "event") return kMagenta;
  if (k == "host") return kBlue;
  if (k == "badge" || k == "attachment") return kYellow;
  if (k == "os" || k == "log") return kDim;
  return nullptr;
}

// Splits `text` into lines of at most `width` characters (counted as UTF-8
// code points), at spaces where it can and anywhere where it must.
std::vector<std::string> wrap(const std::string& text, size_t width) {
  std::vector<std::string> lines;
  if (width == 0) return {text};
  auto length = [](std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
  };
  // The byte offset of the `count`th code point of `s`.
  auto offsetOf = [](std::string_view s, size_t count) {
    size_t i = 0;
    for (size_t seen = 0; i < s.size(); ++i) {
      if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && seen++ == count) break;
    }
    return i;
  };
  std::string_view rest = text;
  while (length(rest) > width) {
    size_t cut = offsetOf(rest, width);
    size_t space = rest.substr(0, cut + 1).rfind(' ');
    if (space != std::string_view::npos && space > 0) cut = space;
    lines.emplace_back(rest.substr(0, cut));
    rest.remove_prefix(cut);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  }
  lines.emplace_back(rest);
  return lines;
}

}  // namespace

std::string Timeline::paint(const std::string& text, const char* colour) const {
  if (!options_.color || !colour) return text;
  return std::string("\x1b[") + colour + "m" + text + "\x1b[0m";
}

void Timeline::heading(const std::string& text) {
  flush();
  out_ << "\n" << paint("== " + printable(text) + " ==", kBold) << "\n";
}

bool Timeline::shown(const Record& r) const {
  auto matches = [&](const std::set<std::string>& kinds) {
    return kinds.count(r.kind) || (kinds.count("lifecycle") && isLifecycle(r));
  };
  // Steps stay as the timeline's headings unless hidden by name.
  if (!options_.only.empty() && !matches(options_.only) && r.kind != "step") return false;
  return !matches(options_.hide);
}

// Time, a gap and the text; what wraps is indented under the text.
void Timeline::line(double t, const std::string& lead, const std::string& text, const char* colour) {
  char time[32];
  std::snprintf(time, sizeof time, "%9.3f", roundedTime(t));
  const size_t indent = 9 + lead.size();
  const size_t width = options_.width > indent + 20 ? options_.width - indent : options_.width ? 20 : 0;
  bool first = true;
  for (const std::string& part : wrap(text, width)) {
    if (first) {
      out_ << time << lead << paint(part, colour) << "\n";
    } else {
      out_ << std::string(indent, ' ') << paint(part, colour) << "\n";
    }
    first = false;
  }
}

void Timeline::flush() {
  if (folding_.empty()) return;
  // One line per state change: the state before (the first call's) and
  // after (the last call's), and the application delegate's calls.
  // With "os" hidden, the host's calls say what happened.
  std::string from, to, calls, hostCalls;
  for (const Record& r : folding_) {
    std::string call = str(r.fields(), "call");
    if (r.kind == "host") {
      hostCalls += (hostCalls.empty() ? "" : ", ") + call;
      continue;
    }
    std::string state = str(r.fields(), "state");
    if (from.empty()) from = state;
    to = state;
    if (str(r.fields(), "receiver") != "NSNotificationCenter") calls += (calls.empty() ? "" : ", ") + call;
  }
  std::string text = to.empty() ? "host ran " + hostCalls : from == to ? "→ " + to : from + " → " + to;
  if (!calls.empty()) text += "  (" + calls + " and their broadcasts)";
  line(folding_.front().t, "    lifecycle  ", printable(text), kDim);
  folding_.clear();
}

void Timeline::write(const Record& r) {
  if (!shown(r)) return;
  if (!options_.verbose && isLifecycle(r)) {
    folding_.push_back(r);
    return;
  }
  flush();
  if (r.kind == "note") {
    // Notes are the scenario's prose, under a blank line.
    out_ << "\n";
    line(r.t, "  # ", printable(describeRecord(r)), colourOf(r));
    return;
  }
  if (r.kind == "step") {
    // Steps stand out: they are what the scenario asked for. An expect step
    // shows through its own records.
    if (r.fields().value("step", "") != "expect") line(r.t, "  ▶ ", printable(describeRecord(r)), colourOf(r));
    return;
  }
  std::string kind = r.kind;
  kind.resize(std::max<size_t>(kind.size(), 10), ' ');
  line(r.t, "    " + printable(kind) + " ", printable(describeRecord(r)), colourOf(r));
}

// ---- comparison ----

void RunSummary::append(Runs& runs, std::string value) {
  if (!runs.empty() && runs.back().first == value) {
    ++runs.back().second;
  } else {
    runs.emplace_back(std::move(value), 1);
  }
}

std::string RunSummary::describe(const Runs& runs) {
  if (runs.empty()) return "-";
  std::string out;
  for (const auto& [value, count] : runs) {
    if (!out.empty()) out += " ";
    out += value;
    if (count > 1) out += " ×" + std::to_string(count);
  }
  return out;
}

void RunSummary::add(const Record& r) {
  if (r.kind == "event") {
    std::string name = str(r.fields(), "name");
    ++events[name];
    if (name == "OrvelDidReceiveMessageNotification") {
      auto type = r.fields().find("type");
      append(messageTypes_, type == r.fields().end() ? "0" : str(r.fields(), "type"));
    }
  } else if (r.kind == "badge") {
    append(badgeWrites_, str(r.fields(), "value"));
  } else if (r.kind == "host") {
    ++hostCalls[str(r.fields(), "call")];
  }
}

Comparison Comparison::of(const std::vector<std::string>& versions, const std::vector<RunSummary>& summaries) {
  Comparison c;
  c.versions = versions;
  auto addIfDiffers = [&](std::string what, std::vector<std::string> values) {
    bool differs = std::adjacent_find(values.begin(), values.end(), std::not_equal_to<>()) != values.end();
    c.rows.push_back({std::move(what), std::move(values), differs});
  };
  auto counted = [&](const char* prefix, std::map<std::string, int64_t> RunSummary::*field) {
    std::set<std::string> names;
    for (const auto& s : summaries)
      for (const auto& [name, n] : s.*field) names.insert(name);
    for (const auto& name : names) {
      std::vector<std::string> values;
      for (const auto& s : summaries) {
        auto it = (s.*field).find(name);
        values.push_back(std::to_string(it == (s.*field).end() ? 0 : it->second));
      }
      addIfDiffers(std::string(prefix) + name, std::move(values));
    }
  };
  counted("event ", &RunSummary::events);
  {
    std::vector<std::string> values;
    for (const auto& s : summaries) values.push_back(s.messageTypes());
    addIfDiffers("message types", std::move(values));
  }
  {
    std::vector<std::string> writes, finals;
    for (const auto& s : summaries) {
      writes.push_back(s.badgeWrites());
      finals.push_back(s.finalBadge());
    }
    addIfDiffers("badge writes", std::move(writes));
    addIfDiffers("final badge", std::move(finals));
  }
  counted("host ", &RunSummary::hostCalls);
  return c;
}

void Comparison::print(std::ostream& out) const {
  std::string list;
  for (const auto& v : versions) list += (list.empty() ? "" : ", ") + v;
  out << "\n== what differed between " << list << " ==\n";
  std::vector<Row> rows;
  std::copy_if(this->rows.begin(), this->rows.end(), std::back_inserter(rows), [](const Row& r) { return r.differs; });
  if (rows.empty()) {
    out << "nothing: the same events, message types, badge and host callbacks on every version\n";
    return;
  }
  size_t whatWidth = 4;
  for (const auto& r : rows) whatWidth = std::max(whatWidth, r.what.size());
  std::vector<size_t> widths;
  for (size_t i = 0; i < versions.size(); ++i) {
    size_t w = versions[i].size();
    for (const auto& r : rows) w = std::max(w, r.values[i].size());
    widths.push_back(w);
  }
  auto line = [&](const std::string& what, const std::vector<std::string>& cells) {
    std::string s = what;
    s.resize(whatWidth, ' ');
    for (size_t i = 0; i < cells.size(); ++i) {
      std::string cell = cells[i];
      if (i + 1 < cells.size()) cell.resize(widths[i], ' ');
      s += "  " + cell;
    }
    out << s << "\n";
  };
  line("what", versions);
  for (const auto& r : rows) line(r.what, r.values);
}

std::vector<Json> Comparison::toJson() const {
  std::vector<Json> out;
  for (const auto& r : rows) {
    if (!r.differs) continue;
    Json values = Json::object();
    for (size_t i = 0; i < versions.size(); ++i) values[versions[i]] = r.values[i];
    out.push_back(Json{{"kind", "compare"}, {"what", r.what}, {"values", values}});
  }
  return out;
}

}  // namespace orvelsim
