#include "UIKit/UIDevice.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>

namespace objc {

namespace {
struct VersionSetting {
  std::mutex lock;
  bool read = false;
  std::string version;
  // The version as a string object, made once for each version: the
  // library asks for it with every notification.
  Ref<NSString> text;
  // Moves on with every change of the version, inside the lock.
  std::atomic<uint64_t> generation{1};
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

namespace {
// The version, read from the environment the first time; under v.lock.
const std::string& currentVersion(VersionSetting& v) {
  if (!v.read) {
    const char* env = std::getenv("ORVEL_SYSTEM_VERSION");
    v.version = env && *env ? env : "13.0";
    v.text = str(v.version);
    v.read = true;
  }
  return v.version;
}
}  // namespace

Ref<NSString> UIDevice::systemVersion() const {
  auto& v = versionSetting();
  std::lock_guard<std::mutex> g(v.lock);
  currentVersion(v);
  return v.text;
}

void UIDevice::setSystemVersion(std::string_view version) {
  auto& v = versionSetting();
  std::lock_guard<std::mutex> g(v.lock);
  v.version = std::string(version);
  v.text = str(v.version);
  v.read = true;
  v.generation.fetch_add(1, std::memory_order_release);
}

// Asked several times for every notification the device handles, always
// about the same few versions: the latest answers are kept, per thread (no
// lock), for as long as the system's version stays the same.
bool UIDevice::systemVersionAtLeast(std::string_view version) {
  struct Answer {
    uint64_t generation = 0;
    std::string version;
    bool atLeast = false;
  };
  thread_local std::array<Answer, 8> answers;
  thread_local size_t next = 0;
  auto& v = versionSetting();
  const uint64_t generation = v.generation.load(std::memory_order_acquire);
  for (const Answer& a : answers)
    if (a.generation == generation && a.version == version) return a.atLeast;
  bool atLeast;
  {
    std::lock_guard<std::mutex> g(v.lock);
    atLeast = compareDottedVersions(currentVersion(v), version) >= 0;
  }
  answers[next++ % answers.size()] = Answer{generation, std::string(version), atLeast};
  return atLeast;
}

}  // namespace objc
