// The simulator's input reading on arbitrary bytes: scenarios and payload
// files are checked in full, nothing runs. Whatever the bytes, reading ends
// with a scenario or with one BadInput whose position lies inside the text
// (or inside a payload file it names); nothing else is thrown.
//
// Input: the first byte chooses what the rest is read as (even: a scenario,
// odd: a payload file for `orvel-sim push`).
// fuzz-link: orvel::sim
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Foundation/NSJSONSerialization.h"
#include "fuzz_check.h"
#include "sim/Scenario.h"

using orvel_fuzz::quoted;

namespace {

// Whether a position names a place in the text (its end included), lines
// and columns counted as the reader counts them.
bool positionInside(std::string_view text, const orvelsim::Position& at) {
  objc::JSONCursor cursor(text);
  for (size_t i = objc::JSONTextStart(text); i <= text.size(); ++i) {
    cursor.moveTo(i);
    if (cursor.line() == at.line && cursor.column() == at.column) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  bool asPayload = data[0] & 1;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string file = "input.json";
  try {
    if (asPayload) {
      orvelsim::Step step = orvelsim::parsePushFile(text, file);
      FUZZ_REQUIRE(step.payload != nullptr, "an accepted payload has a dictionary: " + quoted(text));
    } else {
      // Payload files named by the input are looked for where none exist.
      orvelsim::parseScenario(text, file, "/nonexistent-orvel-fuzz-directory");
    }
  } catch (const orvelsim::BadInput& e) {
    const orvelsim::InputError& error = e.error();
    FUZZ_REQUIRE(!error.message.empty(), "a message says what is wrong: " + quoted(text));
    // A payload file the scenario names has positions of its own.
    if (error.file == file) {
      FUZZ_REQUIRE(positionInside(text, error.at), "position " + std::to_string(error.at.line) + ":" +
                                                       std::to_string(error.at.column) + " lies inside the text " +
                                                       quoted(text));
    }
  }
  return 0;
}
