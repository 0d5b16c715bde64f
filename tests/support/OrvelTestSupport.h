// Helpers shared by the library's tests: what observers receive, what the
// library logs, the order in which the context and the host ran, and what
// the application object was asked to do.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "UIKit/UIApplication+System.h"
#include "UIKit/UIKit.h"
#include "orvel/Orvel.h"

namespace orveltest {

// One broadcast as an observer received it.
struct Event {
  std::string name;
  objc::Id object;
  objc::Ref<objc::NSDictionary> userInfo;
  bool onMainThread = false;
};

// Observes the library's three event names on the default centre for its
// lifetime.
class EventRecorder {
 public:
  EventRecorder();
  ~EventRecorder();
  EventRecorder(const EventRecorder&) = delete;
  EventRecorder& operator=(const EventRecorder&) = delete;

  std::vector<Event> events() const;
  size_t count() const;
  // The messages of the "OrvelDidReceiveMessageNotification" events, in order.
  std::vector<objc::Ref<OrvelNotificationMessage>> messages() const;

 private:
  mutable std::mutex lock_;
  std::vector<Event> events_;
  std::vector<objc::Id> tokens_;
};

// Collects NSLog lines for its lifetime.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> lines() const;

 private:
  std::shared_ptr<std::mutex> lock_;
  std::shared_ptr<std::vector<std::string>> lines_;
};

// A process-wide record of who ran, in order ("context:<selector>",
// "host:<callback>" and whatever a test adds).
void record(std::string entry);
std::vector<std::string> journal();
void clearJournal();

// Makes OrvelContext's one-object method `selector` record
// "context:<selector>" in the journal before it runs as before.
void spyOnContext(objc::SEL selector);
// The four delivery handlers.
void spyOnContextDeliveryHandlers();

// Sees what the application object is asked to do, and otherwise behaves
// as the application does without a device.
class RecordingApplicationSystem : public objc::UIApplicationSystem {
 public:
  void localNotificationPresented(objc::UIApplication* app, objc::UILocalNotification* notification) override;
  void badgeWritten(objc::UIApplication* app, int64_t number) override;

  std::vector<objc::Ref<objc::UILocalNotification>> presented() const;
  std::vector<int64_t> badgeWrites() const;

 private:
  mutable std::mutex lock_;
  std::vector<objc::Ref<objc::UILocalNotification>> presented_;
  std::vector<int64_t> badgeWrites_;
};
// Attaches a new recording system to the shared application.
std::shared_ptr<RecordingApplicationSystem> attachRecordingSystem();

// Installs `delegate` as the host does.
void installApplicationDelegate(objc::NSObject* delegate);

// A platform fetch completion handler that counts its calls.
struct FetchHandlerProbe {
  objc::Ref<objc::UIBackgroundFetchResultHandler> handler;
  std::shared_ptr<std::mutex> lock;
  std::shared_ptr<std::vector<uint64_t>> results;
  std::vector<uint64_t> calls() const;
};
FetchHandlerProbe makeFetchHandlerProbe();

// Helpers for building what the system delivers.
objc::Ref<objc::NSData> bytes(std::vector<uint8_t> data);
objc::Ref<objc::NSDictionary> remotePayload(std::string_view body, int64_t badge);
objc::Ref<objc::NSDictionary> silentPayload();
objc::Ref<objc::UILocalNotification> localNotification(std::string_view body, objc::NSDictionary* userInfo = nullptr);

std::string text(const objc::NSObject* value);

// A notification-centre delegate without any of the centre's callbacks.
struct SilentCentreHost : objc::NSObject {
  static objc::Class class_();
};

// An application delegate with only the classic notification callbacks;
// each records "host:remote" or "host:local" and keeps what it was given.
struct ClassicHost : objc::NSObject {
  static objc::Class class_();
  objc::Ref<objc::NSDictionary> remoteUserInfo;
  objc::Ref<objc::UILocalNotification> local;
  void didReceiveRemote(objc::UIApplication*, objc::NSDictionary* userInfo);
  void didReceiveLocal(objc::UIApplication*, objc::UILocalNotification* notification);
};

}  // namespace orveltest
