// JSON text as a tree of values that remember where they are in the text, so
// that a value that is wrong can be named by line and column. The text is
// checked by the platform's JSON bridge first (its messages and positions are
// the ones reported for syntax errors); the tree is then read from text known
// to be well formed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace orvelsim {

using Json = nlohmann::ordered_json;

// Builds a JSON object member by member in time linear in its size (the
// object's own insertion finds a key by comparing it with every member):
// a key given again keeps its first place and takes the new value, as the
// JSON bridge reads duplicate keys.
class JsonObjectBuilder {
 public:
  void set(std::string key, Json value);
  Json take() { return std::move(object_); }

 private:
  static constexpr size_t kIndexedFrom = 16;

  Json object_ = Json::object();
  std::unordered_map<std::string, size_t> index_;
};

// 1-based, counted as the JSON bridge counts (objc::JSONCursor): CR, LF and
// CR LF end lines, columns count characters, a byte-order mark takes none.
struct Position {
  size_t line = 1;
  size_t column = 1;
};

struct JsonNode {
  enum class Type { Null, Bool, Integer, Double, String, Array, Object };
  struct Member;

  Type type = Type::Null;
  Position at;       // where the value starts
  size_t begin = 0;  // its bytes in the text: [begin, end)
  size_t end = 0;

  bool boolean = false;
  int64_t integer = 0;  // Integer (an integer literal that fits int64)
  double number = 0;    // Integer and Double
  std::string string;
  std::vector<JsonNode> items;  // Array
  std::vector<Member> members;  // Object, in the order of the text, duplicates kept

  bool isNull() const { return type == Type::Null; }
  bool isNumber() const { return type == Type::Integer || type == Type::Double; }
  bool isString() const { return type == Type::String; }
  bool isObject() const { return type == Type::Object; }
  bool isArray() const { return type == Type::Array; }
  bool isBool() const { return type == Type::Bool; }
  // The first member of that name, or null.
  const JsonNode* find(std::string_view key) const;
  JsonNode* find(std::string_view key) {
    return const_cast<JsonNode*>(static_cast<const JsonNode*>(this)->find(key));
  }
  // "an object", "a string", "the number 3", ... for messages.
  std::string describe() const;
};

struct JsonNode::Member {
  std::string key;
  Position at;  // the key's position
  JsonNode value;
};

// Why a text could not be read.
struct JsonSyntaxError {
  Position at;
  std::string message;
};

// Reads one JSON value. On bad text returns nothing and fills `error`.
std::optional<JsonNode> parseJsonTree(std::string_view text, JsonSyntaxError& error);

// The node's value as JSON (duplicate keys read as the bridge reads them).
Json toJson(const JsonNode& node);

// Where the character at byte `index` of a string node's value is written
// in `text` (escapes such as \u0041 stand for fewer bytes than they take).
Position positionInString(std::string_view text, const JsonNode& node, size_t index);

}  // namespace orvelsim
