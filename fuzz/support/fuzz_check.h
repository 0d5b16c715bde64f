// What the fuzz targets share: a failed property aborts with a message, so
// that libFuzzer (or the replay driver) reports it with a stack and keeps the
// input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace orvel_fuzz {

[[noreturn]] inline void fail(const char* condition, const char* file, int line, const std::string& detail) {
  std::fprintf(stderr, "%s:%d: property failed: %s\n  %s\n", file, line, condition, detail.c_str());
  std::abort();
}

// Input bytes quoted for a failure message: printable ASCII as is, the rest
// as \xNN.
inline std::string quoted(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out = "\"";
  for (char c : bytes) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && c != '"' && c != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += kDigits[u >> 4];
      out += kDigits[u & 0x0F];
    }
  }
  return out + "\"";
}

}  // namespace orvel_fuzz

// FUZZ_REQUIRE(condition, detail): `detail` (a std::string expression) is
// only evaluated when the condition does not hold.
#define FUZZ_REQUIRE(condition, detail)                                           \
  do {                                                                            \
    if (!(condition)) orvel_fuzz::fail(#condition, __FILE__, __LINE__, (detail)); \
  } while (0)
