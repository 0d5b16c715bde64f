#include "UIKit/UIDevice.h"

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
}  // namespace

Class UIDevice::class_() {
  static Class c = ClassBuilder<UIDevice>("UIDevice").method<&UIDevice::systemVersion>("systemVersion").build();
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

}  // namespace objc
