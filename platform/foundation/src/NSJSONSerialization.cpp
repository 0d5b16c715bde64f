#include "Foundation/NSJSONSerialization.h"

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <vector>

#include "Foundation/NSArray.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSNumber.h"
#include "Foundation/NSString.h"

namespace objc {

namespace {

using json = nlohmann::ordered_json;

const std::string kTooDeep = "nesting deeper than " + std::to_string(kJSONMaxDepth) + " levels";
const std::string kTooDeepToWrite = "nesting deeper than " + std::to_string(kJSONMaxWriteDepth) + " levels";

// Builds Foundation values from the parser's events, without recursion, so
// that the depth limit is the only bound on nesting.
class ValueBuilder {
 public:
  bool null() { return add(Id(NSNull::null())); }
  bool boolean(bool v) { return add(NSNumber::numberWithBool(v)); }
  bool number_integer(json::number_integer_t v) { return add(NSNumber::numberWithInteger(v)); }
  bool number_unsigned(json::number_unsigned_t v) {
    if (v <= static_cast<json::number_unsigned_t>(INT64_MAX))
      return add(NSNumber::numberWithInteger(static_cast<int64_t>(v)));
    return add(NSNumber::numberWithUnsignedInteger(v));
  }
  bool number_float(json::number_float_t v, const json::string_t&) { return add(NSNumber::numberWithDouble(v)); }
  bool string(json::string_t& v) { return add(str(v)); }
  bool binary(json::binary_t&) { return false; }  // JSON text has no binary values

  bool start_object(std::size_t) { return open(true); }
  bool key(json::string_t& k) {
    stack_.back().key = str(k);
    return true;
  }
  bool end_object() {
    Frame f = std::move(stack_.back());
    stack_.pop_back();
    return add(f.object->copy());
  }
  bool start_array(std::size_t) { return open(false); }
  bool end_array() {
    Frame f = std::move(stack_.back());
    stack_.pop_back();
    return add(make<NSArray>(std::move(f.items)));
  }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) {
    errorPosition_ = position;
    errorMessage_ = e.what();
    return false;
  }

  Id result() { return std::move(result_); }
  bool tooDeep() const { return tooDeep_; }
  size_t errorPosition() const { return errorPosition_; }
  const std::string& errorMessage() const { return errorMessage_; }

 private:
  struct Frame {
    Ref<NSMutableDictionary> object;  // nil for an array
    std::vector<Id> items;
    Ref<NSString> key;
  };

  bool open(bool object) {
    if (stack_.size() >= kJSONMaxDepth) {
      tooDeep_ = true;
      return false;
    }
    stack_.push_back({object ? NSMutableDictionary::dictionary() : nullptr, {}, nullptr});
    return true;
  }

  bool add(Id value) {
    if (stack_.empty()) {
      result_ = std::move(value);
    } else if (Frame& top = stack_.back(); top.object) {
      top.object->setObject(value, top.key.get());  // an existing key keeps its place and takes the new value
    } else {
      top.items.push_back(std::move(value));
    }
    return true;
  }

  std::vector<Frame> stack_;
  Id result_;
  bool tooDeep_ = false;
  size_t errorPosition_ = 0;
  std::string errorMessage_;
};

// The parser's messages start with an identifier and a position of their
// own ("[json.exception.parse_error.101] parse error at line 1, column 4: ");
// the caller gets the position separately, so only the rest is kept.
std::string plainMessage(std::string message) {
  if (!message.empty() && message.front() == '[') {
    size_t end = message.find("] ");
    if (end != std::string::npos) message.erase(0, end + 2);
  }
  if (message.starts_with("parse error")) {
    size_t colon = message.find(": ");
    if (colon != std::string::npos) message.erase(0, colon + 2);
  }
  return message;
}

// Offset of the opening bracket that goes one level past the limit. Only
// called after the parser accepted everything before that bracket, so
// counting brackets outside strings finds the same one.
size_t offsetOfTooDeep(std::string_view text) {
  size_t depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kJSONMaxDepth) return i;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return text.size();
}

void locate(std::string_view text, size_t offset, JSONError& error) {
  offset = std::min(offset, text.size());
  error.line = 1;
  error.column = 1;
  for (size_t i = 0; i < offset; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++error.line;
      error.column = 1;
    } else if ((c & 0xC0) != 0x80) {  // not a UTF-8 continuation byte
      ++error.column;
    }
  }
}

[[noreturn]] void refuse(const std::string& reason) {
  throw Exception(kInvalidArgumentException, "Invalid value in JSON write: " + reason);
}

std::string className(const NSObject* value) { return object_getClassName(const_cast<NSObject*>(value)); }

// `depth` counts the containers around `value`.
json toJSON(const NSObject* value, size_t depth) {
  if (!value || dynamic_cast<const NSNull*>(value)) return nullptr;
  if (auto* s = dynamic_cast<const NSString*>(value)) return s->utf8();
  if (auto* n = dynamic_cast<const NSNumber*>(value)) {
    switch (n->kind()) {
      case NSNumber::Kind::Bool:
        return n->boolValue();
      case NSNumber::Kind::Signed:
        return n->integerValue();
      case NSNumber::Kind::Unsigned:
        return n->unsignedIntegerValue();
      case NSNumber::Kind::Double: {
        double d = n->doubleValue();
        if (std::isnan(d)) refuse("NaN in NSNumber");
        if (std::isinf(d)) refuse("infinite NSNumber");
        return d;
      }
    }
  }
  bool isArray = dynamic_cast<const NSArray*>(value) != nullptr;
  bool isDictionary = dynamic_cast<const NSDictionary*>(value) != nullptr;
  if (!isArray && !isDictionary) refuse("JSON cannot hold an object of class " + className(value));
  if (depth >= kJSONMaxWriteDepth) refuse(kTooDeepToWrite);
  if (isArray) {
    json out = json::array();
    for (const Id& item : *static_cast<const NSArray*>(value)) out.push_back(toJSON(item.get(), depth + 1));
    return out;
  }
  json out = json::object();
  for (const auto& entry : *static_cast<const NSDictionary*>(value)) {
    auto* key = dynamic_cast<const NSString*>(entry.key.get());
    if (!key) refuse("dictionary keys must be strings, not " + className(entry.key.get()));
    out[key->utf8()] = toJSON(entry.value.get(), depth + 1);
  }
  return out;
}

}  // namespace

std::string JSONError::describe() const { return std::to_string(line) + ":" + std::to_string(column) + ": " + message; }

Id JSONParse(std::string_view text, JSONError* error) {
  ValueBuilder builder;
  // The parser takes a NUL byte for the end of the text; JSON never holds a
  // raw one (inside a string it must be escaped), so it is an error there.
  const size_t nul = text.find('\0');
  bool parsed = json::sax_parse(text.begin(), text.end(), &builder, json::input_format_t::json, /*strict=*/true,
                                /*ignore_comments=*/false);
  if (parsed && nul == std::string_view::npos) return builder.result();
  if (error) {
    JSONError e;
    size_t read = builder.errorPosition();
    if (nul != std::string_view::npos && (parsed || (!builder.tooDeep() && (read == 0 ? 0 : read - 1) >= nul))) {
      locate(text, nul, e);
      e.message = "syntax error - unexpected NUL byte";
    } else if (builder.tooDeep()) {
      locate(text, offsetOfTooDeep(text), e);
      e.message = kTooDeep;
    } else {
      // The parser counts the characters it has read, the faulty one included.
      locate(text, read > 0 ? read - 1 : 0, e);
      e.message = plainMessage(builder.errorMessage());
    }
    *error = std::move(e);
  }
  return nullptr;
}

std::string JSONSerialize(const NSObject* value, bool pretty) {
  json j = toJSON(value, 0);
  try {
    return j.dump(pretty ? 2 : -1, ' ', /*ensure_ascii=*/false, json::error_handler_t::strict);
  } catch (const json::type_error&) {
    refuse("a string of class NSString is not valid UTF-8");
  }
}

}  // namespace objc
