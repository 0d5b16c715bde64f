#include "orvel/OrvelDevice.h"

#include <string>
#include <vector>

#include "UIKit/UIDevice.h"

using objc::NSArray;
using objc::NSObject;
using objc::NSString;
using objc::Ref;

namespace {

NSString* partAt(const NSArray* parts, uint64_t index) { return objc::asString(parts->objectAtIndex(index)); }

int64_t threeWay(int64_t a, int64_t b) { return a < b ? -1 : a > b ? 1 : 0; }

[[maybe_unused]] const objc::Class gRegistered = OrvelDevice::class_();

}  // namespace

objc::Class OrvelDevice::class_() {
  static objc::Class c =
      objc::ClassBuilder<OrvelDevice>("OrvelDevice")
          .classMethod("versionCompare:",
                       [](objc::Class, objc::SEL, NSObject* version) { return OrvelDevice::versionCompare(version); })
          .classMethod("hexStringByData:",
                       [](objc::Class, objc::SEL, NSObject* data) { return OrvelDevice::hexStringByData(data); })
          .build();
  return c;
}

namespace {

int64_t compareVersions(NSString* system, NSString* other) {
  // "10.0a2" reads as the numeric version "10.0" with the suffix number 2.
  Ref<NSArray> systemParts = system->componentsSeparatedByString("a");
  Ref<NSArray> otherParts = other->componentsSeparatedByString("a");
  Ref<NSArray> systemNumbers = partAt(systemParts, 0)->componentsSeparatedByString(".");
  Ref<NSArray> otherNumbers = partAt(otherParts, 0)->componentsSeparatedByString(".");

  for (uint64_t i = 0; i < systemNumbers->count(); ++i) {
    if (i >= otherNumbers->count()) return 1;
    int64_t order = threeWay(partAt(systemNumbers, i)->integerValue(), partAt(otherNumbers, i)->integerValue());
    if (order != 0) return order;
  }
  // Equal as far as the system's components go: "10" is earlier than "10.0".
  if (systemNumbers->count() < otherNumbers->count()) return -1;

  if (systemParts->count() != otherParts->count()) return systemParts->count() < otherParts->count() ? 1 : -1;
  if (systemParts->count() == 1) return 0;
  return threeWay(partAt(systemParts, 1)->intValue(), partAt(otherParts, 1)->intValue());
}

}  // namespace

int64_t OrvelDevice::versionCompare(NSObject* version) {
  NSString* other = objc::asString(version);
  if (!other) return 1;
  Ref<NSString> system = objc::UIDevice::currentDevice()->systemVersion();
  // The callbacks ask about the same few versions for every notification:
  // the latest answers are kept, per thread (no lock), since two versions
  // always compare the same.
  struct Answer {
    std::string system, other;
    int64_t order;
  };
  thread_local std::vector<Answer> answers;
  const std::string& systemText = system->utf8();
  const std::string& otherText = other->utf8();
  for (const Answer& a : answers) {
    if (a.system == systemText && a.other == otherText) return a.order;
  }
  const int64_t order = compareVersions(system.get(), other);
  if (answers.size() == 8) answers.erase(answers.begin());
  answers.push_back(Answer{systemText, otherText, order});
  return order;
}

Ref<NSString> OrvelDevice::hexStringByData(NSObject* data) {
  auto* bytes = objc::cast<objc::NSData>(data);
  if (!bytes) return nullptr;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes->length() * 2);
  for (uint8_t byte : bytes->vector()) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return objc::str(text);
}
