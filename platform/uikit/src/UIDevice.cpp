#include "UIKit/UIDevice.h"

#include <cstdint>
#include <cstdlib>
#include <mutex>

namespace objc {

namespace {
struct VersionSetting {
  std::mutex lock;
  bool read = false;
  std::string version;
};
VersionSetting& versionSetting() {
  static VersionSetting* v = new VersionSetting;
  return *v;
}

// The leading decimal digits of one component; anything else reads as 0.
// A number too large for int64_t reads as the largest, later than every
// real version.
int64_t componentValue(std::string_view c) {
  int64_t v = 0;
  for (char ch : c) {
    if (ch < '0' || ch > '9') break;
    if (v > (INT64_MAX - (ch - '0')) / 10) return INT64_MAX;
    v = v * 10 + (ch - '0');
  }
  return v;
}
}  // namespace

int compareDottedVersions(std::string_view a, std::string_view b) {
  while (!a.empty() || !b.empty()) {
    size_t da = a.find('.'), db = b.find('.');
    int64_t va = componentValue(a.substr(0, da)), vb = componentValue(b.substr(0, db));
    if (va != vb) return va < vb ? -1 : 1;
    a = da == std::string_view::npos ? std::string_view() : a.substr(da + 1);
    b = db == std::string_view::npos ? std::string_view() : b.substr(db + 1);
  }
  return 0;
}

Class UIDevice::class_() {
  static Class c = ClassBuilder<UIDevice>("UIDevice")
                       .method<&UIDevice::systemVersion>("systemVersion")
                       .classMethod("currentDevice", [](Class, SEL) -> Id { return currentDevice(); })
                       .build();
  return c;
}

UIDevice* UIDevice::currentDevice() {
  static UIDevice* d = [] {
    UIDevice* p = make<UIDevice>().detach();
    p->makeImmortal();
    return p;
  }();
  return d;
}

Ref<NSString> UIDevice::systemVersion() const {
  auto& v = versionSetting();
  std::lock_guard<std::mutex> g(v.lock);
  if (!v.read) {
    const char* env = std::getenv("ORVEL_SYSTEM_VERSION");
    v.version = env && *env ? env : "13.0";
    v.read = true;
  }
  return str(v.version);
}

void UIDevice::setSystemVersion(std::string_view version) {
  auto& v = versionSetting();
  std::lock_guard<std::mutex> g(v.lock);
  v.version = std::string(version);
  v.read = true;
}

bool UIDevice::systemVersionAtLeast(std::string_view version) {
  return compareDottedVersions(currentDevice()->systemVersion()->utf8(), version) >= 0;
}

}  // namespace objc
