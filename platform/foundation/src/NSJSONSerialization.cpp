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

using json = nlohmann::json;

const std::string kTooDeep = "nesting deeper than " + std::to_string(kJSONMaxDepth) + " levels";
const std::string kTooDeepToWrite = "nesting deeper than " + std::to_string(kJSONMaxWriteDepth) + " levels";

// Builds Foundation values straight from the parser's events. Every open
// container keeps its pending members on one shared stack (an object as
// key, value, key, value, ...), so nesting costs no allocation of its own
// and there is no recursion: the depth limit is the only bound on nesting.
// A closed object becomes an NSDictionary in one go, duplicate keys found
// through the dictionary's hash index.
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
  bool string(json::string_t& v) { return add(make<NSString>(std::move(v))); }
  bool binary(json::binary_t&) { return false; }  // JSON text has no binary values

  bool start_object(std::size_t) { return open(); }
  bool key(json::string_t& k) {
    pending_.push_back(make<NSString>(std::move(k)));
    return true;
  }
  bool end_object() {
    size_t start = close();
    std::vector<NSDictionary::Entry> entries;
    entries.reserve((pending_.size() - start) / 2);
    for (size_t i = start; i + 1 < pending_.size(); i += 2) {
      entries.push_back({std::move(pending_[i]), std::move(pending_[i + 1])});
    }
    pending_.resize(start);
    return add(NSDictionary::dictionaryWithEntries(std::move(entries)));
  }
  bool start_array(std::size_t) { return open(); }
  bool end_array() {
    size_t start = close();
    std::vector<Id> items(std::make_move_iterator(pending_.begin() + static_cast<std::ptrdiff_t>(start)),
                          std::make_move_iterator(pending_.end()));
    pending_.resize(start);
    return add(make<NSArray>(std::move(items)));
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
  bool open() {
    if (starts_.size() >= kJSONMaxDepth) {
      tooDeep_ = true;
      return false;
    }
    starts_.push_back(pending_.size());
    return true;
  }
  // The start of the innermost container's members.
  size_t close() {
    size_t start = starts_.back();
    starts_.pop_back();
    return start;
  }
  bool add(Id value) {
    if (starts_.empty()) {
      result_ = std::move(value);
    } else {
      pending_.push_back(std::move(value));
    }
    return true;
  }

  std::vector<Id> pending_;
  std::vector<size_t> starts_;
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

// The parser reports a number too large for a double once it has read the
// whole number ("number overflow parsing '1e400'"); the number's own start is
// the place to show.
size_t offsetOfNumber(std::string_view text, size_t offset, const std::string& message) {
  size_t open = message.find('\''), close = message.rfind('\'');
  if (open == std::string::npos || close <= open + 1) return offset;
  std::string_view number(message.data() + open + 1, close - open - 1);
  size_t start = text.substr(0, std::min(offset + 1, text.size())).rfind(number);
  return start == std::string_view::npos ? offset : start;
}

[[noreturn]] void refuse(const std::string& reason) {
  throw Exception(kInvalidArgumentException, "Invalid value in JSON write: " + reason);
}

std::string className(const NSObject* value) { return object_getClassName(const_cast<NSObject*>(value)); }

// Writes Foundation values as JSON text directly; the JSON library writes
// the scalars, so that their form (escapes, number formats) is its own.
class Writer {
 public:
  explicit Writer(bool pretty) : pretty_(pretty) {}

  // `depth` counts the containers around `value`.
  void value(const NSObject* value, size_t depth) {
    if (!value || dynamic_cast<const NSNull*>(value)) {
      out_ += "null";
    } else if (auto* s = dynamic_cast<const NSString*>(value)) {
      string(s->utf8());
    } else if (auto* n = dynamic_cast<const NSNumber*>(value)) {
      number(n);
    } else if (auto* a = dynamic_cast<const NSArray*>(value)) {
      enter(depth);
      if (a->count() == 0) {
        out_ += "[]";
        return;
      }
      out_ += '[';
      bool first = true;
      for (const Id& item : *a) {
        separate(first, depth + 1);
        this->value(item.get(), depth + 1);
      }
      newline(depth);
      out_ += ']';
    } else if (auto* d = dynamic_cast<const NSDictionary*>(value)) {
      enter(depth);
      if (d->count() == 0) {
        out_ += "{}";
        return;
      }
      out_ += '{';
      bool first = true;
      for (const auto& entry : *d) {
        auto* key = dynamic_cast<const NSString*>(entry.key.get());
        if (!key) refuse("dictionary keys must be strings, not " + className(entry.key.get()));
        separate(first, depth + 1);
        string(key->utf8());
        out_ += pretty_ ? ": " : ":";
        this->value(entry.value.get(), depth + 1);
      }
      newline(depth);
      out_ += '}';
    } else {
      refuse("JSON cannot hold an object of class " + className(value));
    }
  }

  std::string take() { return std::move(out_); }

 private:
  void enter(size_t depth) {
    if (depth >= kJSONMaxWriteDepth) refuse(kTooDeepToWrite);
  }
  void separate(bool& first, size_t depth) {
    if (!first) out_ += ',';
    first = false;
    newline(depth);
  }
  void newline(size_t depth) {
    if (!pretty_) return;
    out_ += '\n';
    out_.append(depth * 2, ' ');
  }
  void string(const std::string& s) {
    try {
      out_ += json(s).dump(-1, ' ', /*ensure_ascii=*/false, json::error_handler_t::strict);
    } catch (const json::type_error&) {
      refuse("a string of class NSString is not valid UTF-8");
    }
  }
  void number(const NSNumber* n) {
    switch (n->kind()) {
      case NSNumber::Kind::Bool:
        out_ += n->boolValue() ? "true" : "false";
        return;
      case NSNumber::Kind::Signed:
        out_ += std::to_string(n->integerValue());
        return;
      case NSNumber::Kind::Unsigned:
        out_ += std::to_string(n->unsignedIntegerValue());
        return;
      case NSNumber::Kind::Double: {
        double d = n->doubleValue();
        if (std::isnan(d)) refuse("NaN in NSNumber");
        if (std::isinf(d)) refuse("infinite NSNumber");
        out_ += json(d).dump();
        return;
      }
    }
  }

  bool pretty_;
  std::string out_;
};

}  // namespace

size_t JSONTextStart(std::string_view text) { return text.starts_with("\xEF\xBB\xBF") ? 3 : 0; }

void JSONCursor::moveTo(size_t offset) {
  offset = std::min(offset, text_.size());
  if (offset < offset_) *this = JSONCursor(text_);
  for (; offset_ < offset; ++offset_) {
    auto c = static_cast<unsigned char>(text_[offset_]);
    if (c == '\n' || (c == '\r' && (offset_ + 1 == text_.size() || text_[offset_ + 1] != '\n'))) {
      ++line_;
      column_ = 1;
    } else if ((c & 0xC0) != 0x80 && c != '\r') {  // not a UTF-8 continuation byte
      ++column_;
    }
  }
}

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
    size_t at;
    if (nul != std::string_view::npos && (parsed || (!builder.tooDeep() && (read == 0 ? 0 : read - 1) >= nul))) {
      at = nul;
      e.message = "syntax error - unexpected NUL byte";
    } else if (builder.tooDeep()) {
      at = offsetOfTooDeep(text);
      e.message = kTooDeep;
    } else {
      // The parser counts the characters it has read, the faulty one included.
      at = read > 0 ? read - 1 : 0;
      e.message = plainMessage(builder.errorMessage());
      if (e.message.starts_with("number overflow")) at = offsetOfNumber(text, at, e.message);
    }
    JSONCursor cursor(text);
    cursor.moveTo(std::max(at, JSONTextStart(text)));
    e.line = cursor.line();
    e.column = cursor.column();
    *error = std::move(e);
  }
  return nullptr;
}

std::string JSONSerialize(const NSObject* value, bool pretty) {
  Writer writer(pretty);
  writer.value(value, 0);
  return writer.take();
}

}  // namespace objc
