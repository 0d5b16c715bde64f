// The JSON bridge both ways: any text that parses is written (compact and
// pretty) and read back as an equal value, and writing that value again
// gives the same text. A text that does not parse reports where and why.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Foundation/NSJSONSerialization.h"
#include "fuzz_check.h"

using namespace objc;
using orvel_fuzz::quoted;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  JSONError error;
  Id value = JSONParse(text, &error);
  if (!value) {
    JSONCursor end(text);
    end.moveTo(text.size());
    const size_t lines = end.line();
    FUZZ_REQUIRE(error.line >= 1 && error.line <= lines && error.column >= 1 && !error.message.empty(),
                 quoted(text) + " failed with " + quoted(error.describe()));
    return 0;
  }

  const std::string compact = JSONSerialize(value);
  Id again = JSONParse(compact, &error);
  FUZZ_REQUIRE(again, quoted(text) + " written as " + quoted(compact) + " does not parse: " + error.describe());
  FUZZ_REQUIRE(again->isEqual(value), quoted(text) + " written as " + quoted(compact) + " reads back differently");
  const std::string rewritten = JSONSerialize(again);
  FUZZ_REQUIRE(rewritten == compact,
               quoted(text) + " written as " + quoted(compact) + ", then as " + quoted(rewritten));

  const std::string pretty = JSONSerialize(value, /*pretty=*/true);
  Id fromPretty = JSONParse(pretty, &error);
  FUZZ_REQUIRE(fromPretty && fromPretty->isEqual(value),
               quoted(text) + " written pretty as " + quoted(pretty) + " reads back differently");
  return 0;
}
