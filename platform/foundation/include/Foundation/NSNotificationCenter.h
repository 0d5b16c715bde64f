// Broadcasts within the process. Delivery is synchronous, on the posting
// thread, in the order the observers were added. Observers by selector are
// held weakly: one that is gone is skipped. Posting, adding and removing
// from several threads at once is safe; a post costs in proportion to the
// observers of its name (and of all names), not to all observers.
#pragma once

#include <functional>

#include "Foundation/NSDictionary.h"
#include "Foundation/NSString.h"
#include "Foundation/dispatch.h"

namespace objc {

class NSNotification final : public NSObject {
 public:
  static Class class_();
  NSNotification() = default;
  static Ref<NSNotification> notificationWithName(NSString* name, NSObject* object, NSDictionary* userInfo = nullptr);

  NSString* name() const { return name_.get(); }
  NSObject* object() const { return object_.get(); }
  NSDictionary* userInfo() const { return userInfo_.get(); }
  std::string description() const override;

 private:
  Ref<NSString> name_;
  Id object_;
  Ref<NSDictionary> userInfo_;
};

class NSNotificationCenter final : public NSObject {
 public:
  static Class class_();
  NSNotificationCenter();
  ~NSNotificationCenter() override;
  static NSNotificationCenter* defaultCenter();

  // `selector` takes the notification ("name:") or nothing ("name"). A nil
  // name observes every name; a non-nil object only its own broadcasts.
  void addObserver(NSObject* observer, SEL selector, NSString* name, NSObject* object);
  // Returns the observation token to pass to removeObserver. The centre
  // holds the block until then. A nil queue delivers on the posting thread,
  // another queue asynchronously on it.
  Id addObserverForName(NSString* name, NSObject* object, DispatchQueue* queue,
                        std::function<void(NSNotification*)> block);
  void removeObserver(NSObject* observer);
  void removeObserver(NSObject* observer, NSString* name, NSObject* object);

  void postNotification(NSNotification* notification);
  void postNotificationName(NSString* name, NSObject* object);
  void postNotificationName(NSString* name, NSObject* object, NSDictionary* userInfo);

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace objc
