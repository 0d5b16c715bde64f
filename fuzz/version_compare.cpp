// OrvelDevice::versionCompare with arbitrary version texts on both sides.
//
// Input: lines. The first is the system version, the second the argument
// ("9.3.5\n10.0a3"); a third, when present, is a further version for the
// transitivity check. Without a newline the whole input is both.
//
// Properties: the result is exactly -1, 0 or 1; any text compares equal to
// itself; and for well-formed versions (dotted decimal numbers with an
// optional "a" and a suffix number) the order is antisymmetric and
// transitive.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "UIKit/UIDevice.h"
#include "fuzz_check.h"
#include "orvel/OrvelDevice.h"

using namespace objc;
using orvel_fuzz::quoted;

namespace {

bool isDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool isWellFormed(std::string_view version) {
  size_t suffix = version.find('a');
  if (suffix != std::string_view::npos) {
    if (!isDigits(version.substr(suffix + 1))) return false;
    version = version.substr(0, suffix);
  }
  for (;;) {
    size_t dot = version.find('.');
    if (!isDigits(version.substr(0, dot))) return false;
    if (dot == std::string_view::npos) return true;
    version = version.substr(dot + 1);
  }
}

// The system at `system` compared with `version`, checked to be -1, 0 or 1.
int64_t compare(std::string_view system, std::string_view version) {
  UIDevice::currentDevice()->setSystemVersion(system);
  int64_t order = OrvelDevice::versionCompare(str(version));
  FUZZ_REQUIRE(order == -1 || order == 0 || order == 1,
               "system " + quoted(system) + " against " + quoted(version) + " gave " + std::to_string(order));
  return order;
}

std::string describe(std::string_view a, std::string_view b, int64_t order) {
  return quoted(a) + " against " + quoted(b) + " gave " + std::to_string(order);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> versions;
  for (size_t i = 0; i < 3; ++i) {
    size_t end = text.find('\n');
    versions.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text = text.substr(end + 1);
  }
  if (versions.size() == 1) versions.push_back(versions[0]);
  const std::string_view a = versions[0], b = versions[1];

  for (std::string_view v : versions) {
    int64_t self = compare(v, v);
    FUZZ_REQUIRE(self == 0, describe(v, v, self));
  }

  int64_t ab = compare(a, b);
  int64_t ba = compare(b, a);
  if (!isWellFormed(a) || !isWellFormed(b)) return 0;
  FUZZ_REQUIRE(ab == -ba, describe(a, b, ab) + " but " + describe(b, a, ba));

  if (versions.size() < 3 || !isWellFormed(versions[2])) return 0;
  const std::string_view c = versions[2];
  int64_t bc = compare(b, c);
  int64_t ac = compare(a, c);
  // compare(x, y) is 1 when x is the later version: a <= b <= c gives a <= c.
  const std::string chain = describe(a, b, ab) + ", " + describe(b, c, bc) + ", " + describe(a, c, ac);
  if (ab <= 0 && bc <= 0) FUZZ_REQUIRE(ac <= 0, chain);
  if (ab >= 0 && bc >= 0) FUZZ_REQUIRE(ac >= 0, chain);
  return 0;
}
