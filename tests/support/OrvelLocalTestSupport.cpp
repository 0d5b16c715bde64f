#include "support/OrvelLocalTestSupport.h"

#include <atomic>
#include <string>

#include "UserNotifications/UserNotifications.h"

namespace orveltest {

using objc::Id;
using objc::Ref;

HandlerProbe::HandlerProbe() : state_(std::make_shared<State>()) {
  block_ = objc::makeBlock<void(objc::NSObject*, objc::NSError*)>(
      [state = state_](objc::NSObject* result, objc::NSError* error) {
        std::lock_guard<std::mutex> g(state->lock);
        state->calls.push_back({Id(result), Ref<objc::NSError>(error), state->scheduling});
      });
}

std::vector<HandlerCall> HandlerProbe::calls() const {
  std::lock_guard<std::mutex> g(state_->lock);
  return state_->calls;
}

size_t HandlerProbe::count() const {
  std::lock_guard<std::mutex> g(state_->lock);
  return state_->calls.size();
}

bool HandlerProbe::waitFor(size_t n) const {
  return objc::runMainUntil([this, n] { return count() >= n; }, 60);
}

void HandlerProbe::setScheduling(bool scheduling) {
  std::lock_guard<std::mutex> g(state_->lock);
  state_->scheduling = scheduling;
}

void addLocalNotification(OrvelNotificationRequest* request, HandlerProbe& probe) {
  probe.setScheduling(true);
  addLocalNotification(request, probe.handler());
  probe.setScheduling(false);
}

void addLocalNotification(OrvelNotificationRequest* request, objc::NSObject* handler) {
  objc::send<void>(OrvelContext::currentContext(), objc::sel<"addLocalNotification:handler:">(), request, handler);
}

void removeNotifications(objc::NSArray* identifiers, uint64_t statuses) {
  objc::send<void>(OrvelContext::currentContext(), objc::sel<"removeNotificationWithIdentifiers:requestStatuses:">(),
                   identifiers, statuses);
}

Ref<OrvelNotificationContent> makeContent(std::string_view body) {
  auto content = objc::make<OrvelNotificationContent>();
  content->setBody(objc::str(body));
  return content;
}

Ref<OrvelNotificationRequest> makeRequest(objc::NSString* identifier, OrvelNotificationContent* content,
                                          OrvelNotificationTrigger* trigger) {
  return OrvelNotificationRequest::requestWithIdentifier(identifier, content, trigger);
}

Ref<OrvelNotificationTrigger> intervalTrigger(double seconds, bool repeat) {
  auto trigger = objc::make<OrvelNotificationTrigger>();
  trigger->setTimeInterval(seconds);
  trigger->setRepeat(repeat);
  return trigger;
}

Ref<objc::NSArray> strings(std::initializer_list<std::string_view> items) {
  auto list = objc::NSMutableArray::array();
  for (std::string_view item : items) list->addObject(objc::str(item));
  return objc::cast<objc::NSArray>(list->copy());
}

Id makePlatformAttachment(std::string_view identifier, std::string_view fileName) {
  static std::atomic<int> next{0};
  objc::NSFileManager* files = objc::NSFileManager::defaultManager();
  std::string path =
      files->temporaryDirectory()->path()->utf8() + "/own-" + std::to_string(next++) + "-" + std::string(fileName);
  // The platform accepts a picture only when it begins as one.
  std::vector<uint8_t> picture = fileName.ends_with(".gif") ? std::vector<uint8_t>{'G', 'I', 'F', '8', '9', 'a'}
                                 : fileName.ends_with(".png")
                                     ? std::vector<uint8_t>{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}
                                     : std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0};
  files->createFileAtPath(path, objc::NSData::dataWithBytes(std::move(picture)).get());
  Ref<objc::NSError> error;
  return objc::UNNotificationAttachment::attachmentWithIdentifier(
      objc::str(identifier).get(), objc::NSURL::fileURLWithPath(path).get(), nullptr, &error);
}

}  // namespace orveltest
