#include "sim/JsonTree.h"

#include <charconv>
#include <cstdlib>
#include <stdexcept>

#include "Foundation/NSJSONSerialization.h"

namespace orvelsim {

namespace {

// Reads text that the bridge has accepted; a surprise is an internal error,
// not a message for the user.
class TreeReader {
 public:
  explicit TreeReader(std::string_view text) : text_(text), pos_(objc::JSONTextStart(text)), cursor_(text) {}

  JsonNode document() {
    skipSpace();
    JsonNode root = value();
    skipSpace();
    if (pos_ != text_.size()) fail();
    return root;
  }

 private:
  [[noreturn]] void fail() { throw std::logic_error("JSON text changed its meaning between two readings"); }

  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

  void advance() {
    if (pos_ >= text_.size()) fail();
    ++pos_;
  }

  // Lines and columns as the bridge counts them.
  Position here() {
    cursor_.moveTo(pos_);
    return {cursor_.line(), cursor_.column()};
  }

  void expect(char c) {
    if (peek() != c) fail();
    advance();
  }

  void skipSpace() {
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
      advance();
    }
  }

  JsonNode value() {
    JsonNode node;
    node.at = here();
    node.begin = pos_;
    switch (peek()) {
      case '{':
        object(node);
        break;
      case '[':
        array(node);
        break;
      case '"':
        node.type = JsonNode::Type::String;
        node.string = string();
        break;
      case 't':
        literal("true");
        node.type = JsonNode::Type::Bool;
        node.boolean = true;
        break;
      case 'f':
        literal("false");
        node.type = JsonNode::Type::Bool;
        break;
      case 'n':
        literal("null");
        break;
      default:
        number(node);
        break;
    }
    node.end = pos_;
    return node;
  }

  void literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) fail();
    for (size_t i = 0; i < word.size(); ++i) advance();
  }

  void object(JsonNode& node) {
    node.type = JsonNode::Type::Object;
    expect('{');
    skipSpace();
    if (peek() == '}') {
      advance();
      return;
    }
    for (;;) {
      skipSpace();
      JsonNode::Member member;
      member.at = here();
      member.key = string();
      skipSpace();
      expect(':');
      skipSpace();
      member.value = value();
      node.members.push_back(std::move(member));
      skipSpace();
      if (peek() == ',') {
        advance();
        continue;
      }
      expect('}');
      return;
    }
  }

  void array(JsonNode& node) {
    node.type = JsonNode::Type::Array;
    expect('[');
    skipSpace();
    if (peek() == ']') {
      advance();
      return;
    }
    for (;;) {
      skipSpace();
      node.items.push_back(value());
      skipSpace();
      if (peek() == ',') {
        advance();
        continue;
      }
      expect(']');
      return;
    }
  }

  unsigned hex4() {
    if (pos_ + 4 > text_.size()) fail();
    unsigned v = 0;
    auto [ptr, ec] = std::from_chars(text_.data() + pos_, text_.data() + pos_ + 4, v, 16);
    if (ec != std::errc() || ptr != text_.data() + pos_ + 4) fail();
    for (int i = 0; i < 4; ++i) advance();
    return v;
  }

  static void appendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::string string() {
    expect('"');
    std::string out;
    for (;;) {
      char c = peek();
      if (c == '"') {
        advance();
        return out;
      }
      if (c != '\\') {
        out += c;
        advance();
        continue;
      }
      advance();
      char e = peek();
      advance();
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned cp = hex4();
          if (cp >= 0xD800 && cp < 0xDC00) {
            expect('\\');
            expect('u');
            unsigned low = hex4();
            if (low < 0xDC00 || low > 0xDFFF) fail();
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          appendUtf8(out, cp);
          break;
        }
        default:
          fail();
      }
    }
  }

  void number(JsonNode& node) {
    size_t start = pos_;
    bool integral = true;
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c == '.' || c == 'e' || c == 'E') {
        integral = false;
      } else if (!(c == '-' || c == '+' || (c >= '0' && c <= '9'))) {
        break;
      }
      advance();
    }
    if (pos_ == start) fail();
    std::string literal(text_.substr(start, pos_ - start));
    if (integral) {
      auto [ptr, ec] = std::from_chars(literal.data(), literal.data() + literal.size(), node.integer);
      if (ec == std::errc() && ptr == literal.data() + literal.size()) {
        node.type = JsonNode::Type::Integer;
        node.number = static_cast<double>(node.integer);
        return;
      }
    }
    node.type = JsonNode::Type::Double;
    node.number = std::strtod(literal.c_str(), nullptr);
  }

  std::string_view text_;
  size_t pos_;
  objc::JSONCursor cursor_;
};

Position positionOf(std::string_view text, size_t offset) {
  objc::JSONCursor cursor(text);
  cursor.moveTo(offset);
  return {cursor.line(), cursor.column()};
}

}  // namespace

Position positionInString(std::string_view text, const JsonNode& node, size_t index) {
  // Walks the string as written, counting the bytes each character or
  // escape stands for, until the character at `index` of the value.
  size_t raw = node.begin + 1, decoded = 0;
  while (raw < node.end && decoded < index && text[raw] != '"') {
    if (text[raw] != '\\') {
      ++raw;
      ++decoded;
      continue;
    }
    if (text[raw + 1] != 'u') {
      raw += 2;
      ++decoded;
      continue;
    }
    unsigned cp = 0;
    std::from_chars(text.data() + raw + 2, text.data() + raw + 6, cp, 16);
    raw += 6;
    if (cp >= 0xD800 && cp < 0xDC00) {
      raw += 6;  // the low surrogate's escape
      decoded += 4;
    } else {
      decoded += cp < 0x80 ? 1 : cp < 0x800 ? 2 : 3;
    }
  }
  return positionOf(text, raw);
}

void JsonObjectBuilder::set(std::string key, Json value) {
  // The ordered map is a vector of members underneath; working on that
  // directly skips the linear search for the key.
  auto& members = static_cast<std::vector<Json::object_t::value_type>&>(object_.get_ref<Json::object_t&>());
  // Most objects are small: their keys are compared one by one, and only a
  // larger one is given an index.
  if (members.size() < kIndexedFrom) {
    for (auto& member : members) {
      if (member.first == key) {
        member.second = std::move(value);
        return;
      }
    }
    members.emplace_back(std::move(key), std::move(value));
    if (members.size() == kIndexedFrom) {
      for (size_t i = 0; i < members.size(); ++i) index_.emplace(members[i].first, i);
    }
    return;
  }
  auto [at, added] = index_.try_emplace(key, members.size());
  if (added) {
    members.emplace_back(std::move(key), std::move(value));
  } else {
    members[at->second].second = std::move(value);
  }
}

Json toJson(const JsonNode& node) {
  switch (node.type) {
    case JsonNode::Type::Null:
      return nullptr;
    case JsonNode::Type::Bool:
      return node.boolean;
    case JsonNode::Type::Integer:
      return node.integer;
    case JsonNode::Type::Double:
      return node.number;
    case JsonNode::Type::String:
      return node.string;
    case JsonNode::Type::Array: {
      Json out = Json::array();
      out.get_ref<Json::array_t&>().reserve(node.items.size());
      for (const JsonNode& item : node.items) out.push_back(toJson(item));
      return out;
    }
    case JsonNode::Type::Object: {
      JsonObjectBuilder out;
      for (const JsonNode::Member& m : node.members) out.set(m.key, toJson(m.value));
      return out.take();
    }
  }
  return nullptr;
}

const JsonNode* JsonNode::find(std::string_view key) const {
  for (const Member& m : members)
    if (m.key == key) return &m.value;
  return nullptr;
}

std::string JsonNode::describe() const {
  switch (type) {
    case Type::Null:
      return "null";
    case Type::Bool:
      return boolean ? "true" : "false";
    case Type::Integer:
      return "the number " + std::to_string(integer);
    case Type::Double:
      return "a number";
    case Type::String:
      return "a string";
    case Type::Array:
      return "an array";
    case Type::Object:
      return "an object";
  }
  return "a value";
}

std::optional<JsonNode> parseJsonTree(std::string_view text, JsonSyntaxError& error) {
  // The bridge's parser takes a NUL byte for the end of the text and would
  // accept "1<NUL>anything"; JSON text has no NUL outside a string escape.
  if (size_t nul = text.find('\0'); nul != std::string_view::npos) {
    error.at = positionOf(text, nul);
    error.message = "a NUL byte, which JSON text cannot hold";
    return std::nullopt;
  }
  objc::JSONError bridgeError;
  if (!objc::JSONParse(text, &bridgeError)) {
    error.at = {bridgeError.line, bridgeError.column};
    error.message = bridgeError.message.empty() ? "not JSON" : bridgeError.message;
    return std::nullopt;
  }
  return TreeReader(text).document();
}

}  // namespace orvelsim
