// OrvelDevice::hexStringByData on arbitrary bytes: two upper-case hex digits
// per byte, nothing else, and they read back as the bytes; the class method
// "hexStringByData:" sent at run time gives the same text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "orvel/OrvelDevice.h"

using namespace objc;
using orvel_fuzz::quoted;

namespace {

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Ref<NSData> bytes = NSData::dataWithBytes(data, size);
  const std::string input = quoted(std::string(reinterpret_cast<const char*>(data), size));

  Ref<NSString> hex = OrvelDevice::hexStringByData(bytes);
  FUZZ_REQUIRE(hex, "no text for " + input);
  const std::string& text = hex->utf8();
  FUZZ_REQUIRE(text.size() == 2 * size, "text " + quoted(text) + " for " + input);
  for (size_t i = 0; i < size; ++i) {
    int high = digitValue(text[2 * i]), low = digitValue(text[2 * i + 1]);
    FUZZ_REQUIRE(high >= 0 && low >= 0 && (high << 4 | low) == data[i],
                 "byte " + std::to_string(i) + " of " + input + " written as " + quoted(text));
  }

  Ref<NSString> sent = send<Ref<NSString>>(OrvelDevice::class_(), sel<"hexStringByData:">(), bytes.get());
  FUZZ_REQUIRE(sent && sent->isEqual(hex), "the class method disagrees for " + input);
  return 0;
}
