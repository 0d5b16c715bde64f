// Registers Foundation's classes when the library is loaded, so that lookups
// by name find them before anything has used them, and gives every object
// the `description` message.
#include "Foundation/Foundation.h"

namespace objc {
namespace {

struct RegisterFoundation {
  RegisterFoundation() {
    NSString::class_();
    NSMutableString::class_();
    NSNumber::class_();
    NSNull::class_();
    NSData::class_();
    NSMutableData::class_();
    NSArray::class_();
    NSMutableArray::class_();
    NSDictionary::class_();
    NSMutableDictionary::class_();
    NSDate::class_();
    NSTimeZone::class_();
    NSDateComponents::class_();
    NSError::class_();
    NSURL::class_();
    NSNotification::class_();
    NSNotificationCenter::class_();
    DispatchQueue::class_();
    detail::addFunction(NSObject::class_(), "description", [](id self, SEL) { return str(self->description()); });
    detail::addFunction(NSObject::class_(), "debugDescription", [](id self, SEL) { return str(self->description()); });
  }
} gRegisterFoundation;

}  // namespace
}  // namespace objc
