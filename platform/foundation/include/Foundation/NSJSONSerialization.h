// The JSON bridge: JSON text to Foundation values and back. Used by tests
// and tools (payload files, scenarios); the library itself never parses JSON.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "objc/runtime.h"

namespace objc {

// Where and why a text is not JSON. Line and column are 1-based, counted
// as JSONCursor counts them.
struct JSONError {
  size_t line = 0;
  size_t column = 0;
  std::string message;           // what was found and what was expected
  std::string describe() const;  // "LINE:COLUMN: message"
};

// A UTF-8 byte-order mark may open the text; it is not part of the value.
// The offset of the text after it (3 with a mark, else 0).
size_t JSONTextStart(std::string_view text);

// Lines and columns in a JSON text, as an editor shows them: a line ends at
// LF, CR LF or a lone CR; columns count characters (UTF-8 sequences), not
// bytes, from 1; a byte-order mark at the start takes no column. Moving
// forward continues from where the cursor is, so walking a text once costs
// its length.
class JSONCursor {
 public:
  explicit JSONCursor(std::string_view text) : text_(text), offset_(JSONTextStart(text)) {}
  // The position of byte `offset` (at most the text's size).
  void moveTo(size_t offset);
  size_t line() const { return line_; }
  size_t column() const { return column_; }

 private:
  std::string_view text_;
  size_t offset_;
  size_t line_ = 1;
  size_t column_ = 1;
};

// Reading refuses nesting deeper than this.
inline constexpr size_t kJSONMaxDepth = 512;
// Writing allows some headroom, so that a value read from JSON can be
// wrapped in a few more containers (an event record around a payload) and
// still be written.
inline constexpr size_t kJSONMaxWriteDepth = kJSONMaxDepth + 64;

// Reads one JSON value (a scalar at the top level is fine; a byte-order
// mark before it is skipped):
//   object -> NSDictionary, keys in the order of the text; for a duplicate
//             key the last value wins, at the place of the first
//   array -> NSArray; string -> NSString; null -> NSNull
//   integer -> NSNumber, signed (unsigned only above INT64_MAX)
//   any other number -> NSNumber holding a double (1.0 stays a double)
//   true/false -> NSNumber holding a boolean
// On bad input returns nil and, when `error` is given, fills it.
Id JSONParse(std::string_view text, JSONError* error = nullptr);

// Writes `value` as JSON text: boolean numbers as true/false, NSNull and nil
// as null, dictionaries in their iteration order. `pretty` indents by two
// spaces. Raises objc::Exception naming the class for anything JSON cannot
// hold (a non-string key, a date, NaN, a string that is not UTF-8, nesting
// deeper than kJSONMaxWriteDepth).
std::string JSONSerialize(const NSObject* value, bool pretty = false);

}  // namespace objc
