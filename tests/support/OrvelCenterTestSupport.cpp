#include "support/OrvelCenterTestSupport.h"

#include <gtest/gtest.h>

namespace orveltest {

using objc::Ref;

namespace {

struct AuthorizationSpy {
  std::mutex lock;
  objc::IMP original = nullptr;
  std::vector<uint64_t> options;
};

AuthorizationSpy& authorizationSpy() {
  static AuthorizationSpy spy;
  return spy;
}

void requestAuthorizationSpy(objc::id self, objc::SEL cmd, uint64_t options, objc::id completion) {
  AuthorizationSpy& spy = authorizationSpy();
  objc::IMP original;
  {
    std::lock_guard<std::mutex> g(spy.lock);
    spy.options.push_back(options);
    original = spy.original;
  }
  reinterpret_cast<void (*)(objc::id, objc::SEL, uint64_t, objc::id)>(original)(self, cmd, options, completion);
}

}  // namespace

void spyOnAuthorizationRequests() {
  AuthorizationSpy& spy = authorizationSpy();
  std::lock_guard<std::mutex> g(spy.lock);
  if (spy.original) return;
  objc::Method m = objc::class_getInstanceMethod(objc::UNUserNotificationCenter::class_(),
                                                 objc::sel<"requestAuthorizationWithOptions:completionHandler:">());
  ASSERT_NE(m, nullptr);
  spy.original = objc::method_setImplementation(m, reinterpret_cast<objc::IMP>(&requestAuthorizationSpy));
}

std::vector<uint64_t> authorizationRequests() {
  AuthorizationSpy& spy = authorizationSpy();
  std::lock_guard<std::mutex> g(spy.lock);
  return spy.options;
}

std::vector<uint64_t> PresentationProbe::calls() const {
  std::lock_guard<std::mutex> g(*lock);
  return *options;
}

PresentationProbe makePresentationProbe() {
  PresentationProbe probe;
  probe.lock = std::make_shared<std::mutex>();
  probe.options = std::make_shared<std::vector<uint64_t>>();
  probe.handler = objc::makeBlock<void(objc::UNNotificationPresentationOptions)>(
      [lock = probe.lock, options = probe.options](objc::UNNotificationPresentationOptions value) {
        std::lock_guard<std::mutex> g(*lock);
        options->push_back(value);
      });
  return probe;
}

int ResponseProbe::calls() const {
  std::lock_guard<std::mutex> g(*lock);
  return *count;
}

ResponseProbe makeResponseProbe() {
  ResponseProbe probe;
  probe.lock = std::make_shared<std::mutex>();
  probe.count = std::make_shared<int>(0);
  probe.handler = objc::makeBlock<void()>([lock = probe.lock, count = probe.count] {
    std::lock_guard<std::mutex> g(*lock);
    ++*count;
  });
  return probe;
}

Ref<objc::UNMutableNotificationContent> platformContent(std::string_view body) {
  auto content = objc::make<objc::UNMutableNotificationContent>();
  content->setBody(objc::str(body));
  return content;
}

Ref<objc::UNNotification> platformNotification(std::string_view identifier, objc::UNNotificationContent* content,
                                               objc::UNNotificationTrigger* trigger) {
  auto request = objc::UNNotificationRequest::requestWithIdentifier(objc::str(identifier), content, trigger);
  return objc::UNNotification::notificationWithRequest(request, objc::NSDate::date());
}

void sendWillPresent(objc::NSObject* notification, objc::NSObject* handler) {
  objc::send<void>(OrvelContext::currentContext(),
                   objc::sel<"userNotificationCenter:willPresentNotification:withCompletionHandler:">(),
                   objc::UNUserNotificationCenter::currentNotificationCenter(), notification, handler);
}

void sendDidReceiveResponse(objc::NSObject* response, objc::NSObject* handler) {
  objc::send<void>(OrvelContext::currentContext(),
                   objc::sel<"userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:">(),
                   objc::UNUserNotificationCenter::currentNotificationCenter(), response, handler);
}

}  // namespace orveltest
