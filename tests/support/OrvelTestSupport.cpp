#include "support/OrvelTestSupport.h"

#include <gtest/gtest.h>

#include <map>

namespace orveltest {

using objc::Id;
using objc::NSNotification;
using objc::NSNotificationCenter;
using objc::Ref;

// ---- events ----

EventRecorder::EventRecorder() {
  for (objc::NSString* name : {OrvelDidReceiveMessageNotification, OrvelDidRegisterRemoteNotification,
                               OrvelFailedRegisterRemoteNotification}) {
    tokens_.push_back(
        NSNotificationCenter::defaultCenter()->addObserverForName(name, nullptr, nullptr, [this](NSNotification* n) {
          std::lock_guard<std::mutex> g(lock_);
          events_.push_back(
              {n->name()->utf8(), Id(n->object()), Ref<objc::NSDictionary>(n->userInfo()), objc::isMainThread()});
        }));
  }
}

EventRecorder::~EventRecorder() {
  for (const Id& token : tokens_) NSNotificationCenter::defaultCenter()->removeObserver(token);
}

std::vector<Event> EventRecorder::events() const {
  std::lock_guard<std::mutex> g(lock_);
  return events_;
}

size_t EventRecorder::count() const {
  std::lock_guard<std::mutex> g(lock_);
  return events_.size();
}

std::vector<Ref<OrvelNotificationMessage>> EventRecorder::messages() const {
  std::vector<Ref<OrvelNotificationMessage>> out;
  for (const Event& e : events()) {
    if (e.name == "OrvelDidReceiveMessageNotification") out.push_back(objc::cast<OrvelNotificationMessage>(e.object));
  }
  return out;
}

// ---- log ----

LogCapture::LogCapture() : lock_(std::make_shared<std::mutex>()), lines_(std::make_shared<std::vector<std::string>>()) {
  objc::setLogSink([lock = lock_, lines = lines_](const std::string& line) {
    std::lock_guard<std::mutex> g(*lock);
    lines->push_back(line);
  });
}

LogCapture::~LogCapture() { objc::setLogSink({}); }

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> g(*lock_);
  return *lines_;
}

// ---- journal ----

namespace {
std::mutex& journalLock() {
  static std::mutex m;
  return m;
}
std::vector<std::string>& journalEntries() {
  static std::vector<std::string> entries;
  return entries;
}

std::mutex& spyLock() {
  static std::mutex m;
  return m;
}
std::map<objc::SEL, objc::IMP>& spiedOriginals() {
  static std::map<objc::SEL, objc::IMP> originals;
  return originals;
}

void contextSpy(objc::id self, objc::SEL cmd, objc::id argument) {
  record(std::string("context:") + objc::sel_getName(cmd));
  objc::IMP original;
  {
    std::lock_guard<std::mutex> g(spyLock());
    original = spiedOriginals().at(cmd);
  }
  reinterpret_cast<void (*)(objc::id, objc::SEL, objc::id)>(original)(self, cmd, argument);
}
}  // namespace

void record(std::string entry) {
  std::lock_guard<std::mutex> g(journalLock());
  journalEntries().push_back(std::move(entry));
}

std::vector<std::string> journal() {
  std::lock_guard<std::mutex> g(journalLock());
  return journalEntries();
}

void clearJournal() {
  std::lock_guard<std::mutex> g(journalLock());
  journalEntries().clear();
}

void spyOnContext(objc::SEL selector) {
  objc::Method m = objc::class_getInstanceMethod(OrvelContext::class_(), selector);
  ASSERT_NE(m, nullptr) << objc::sel_getName(selector);
  std::lock_guard<std::mutex> g(spyLock());
  if (spiedOriginals().count(selector)) return;
  spiedOriginals()[selector] = objc::method_setImplementation(m, reinterpret_cast<objc::IMP>(&contextSpy));
}

void spyOnContextDeliveryHandlers() {
  spyOnContext(objc::sel<"didRegisterForRemoteNotificationsWithDeviceToken:">());
  spyOnContext(objc::sel<"didFailToRegisterForRemoteNotificationsWithError:">());
  spyOnContext(objc::sel<"didReceiveRemoteNotification:">());
  spyOnContext(objc::sel<"didReceiveLocalNotification:">());
}

// ---- application ----

void RecordingApplicationSystem::localNotificationPresented(objc::UIApplication* app,
                                                            objc::UILocalNotification* notification) {
  {
    std::lock_guard<std::mutex> g(lock_);
    presented_.emplace_back(notification);
  }
  UIApplicationSystem::localNotificationPresented(app, notification);
}

void RecordingApplicationSystem::badgeWritten(objc::UIApplication* app, int64_t number) {
  {
    std::lock_guard<std::mutex> g(lock_);
    badgeWrites_.push_back(number);
  }
  UIApplicationSystem::badgeWritten(app, number);
}

std::vector<Ref<objc::UILocalNotification>> RecordingApplicationSystem::presented() const {
  std::lock_guard<std::mutex> g(lock_);
  return presented_;
}

std::vector<int64_t> RecordingApplicationSystem::badgeWrites() const {
  std::lock_guard<std::mutex> g(lock_);
  return badgeWrites_;
}

std::shared_ptr<RecordingApplicationSystem> attachRecordingSystem() {
  auto system = std::make_shared<RecordingApplicationSystem>();
  objc::UIApplication::sharedApplication()->setSystem(system);
  return system;
}

void installApplicationDelegate(objc::NSObject* delegate) {
  objc::send<void>(objc::UIApplication::sharedApplication(), objc::sel<"setDelegate:">(), delegate);
}

std::vector<uint64_t> FetchHandlerProbe::calls() const {
  std::lock_guard<std::mutex> g(*lock);
  return *results;
}

FetchHandlerProbe makeFetchHandlerProbe() {
  FetchHandlerProbe probe;
  probe.lock = std::make_shared<std::mutex>();
  probe.results = std::make_shared<std::vector<uint64_t>>();
  probe.handler = objc::makeBlock<void(objc::UIBackgroundFetchResult)>(
      [lock = probe.lock, results = probe.results](objc::UIBackgroundFetchResult result) {
        std::lock_guard<std::mutex> g(*lock);
        results->push_back(result);
      });
  return probe;
}

// ---- values ----

Ref<objc::NSData> bytes(std::vector<uint8_t> data) { return objc::NSData::dataWithBytes(std::move(data)); }

Ref<objc::NSDictionary> remotePayload(std::string_view body, int64_t badge) {
  auto aps = objc::NSDictionary::dictionaryWithEntries(
      {{objc::str("alert"), objc::str(body)}, {objc::str("badge"), objc::NSNumber::numberWithInteger(badge)}});
  return objc::NSDictionary::dictionaryWithEntries({{objc::str("aps"), aps}});
}

Ref<objc::NSDictionary> silentPayload() {
  auto aps =
      objc::NSDictionary::dictionaryWithEntries({{objc::str("content-available"), objc::NSNumber::numberWithInt(1)}});
  return objc::NSDictionary::dictionaryWithEntries({{objc::str("aps"), aps}});
}

Ref<objc::UILocalNotification> localNotification(std::string_view body, objc::NSDictionary* userInfo) {
  auto n = objc::make<objc::UILocalNotification>();
  n->setAlertBody(objc::str(body));
  n->setUserInfo(userInfo);
  return n;
}

std::string text(const objc::NSObject* value) { return value ? value->description() : "<nil>"; }

objc::Class SilentCentreHost::class_() {
  static objc::Class c =
      objc::ClassBuilder<SilentCentreHost>("SilentCentreHost").conforms("UNUserNotificationCenterDelegate").build();
  return c;
}

void ClassicHost::didReceiveRemote(objc::UIApplication*, objc::NSDictionary* userInfo) {
  record("host:remote");
  remoteUserInfo = userInfo;
}
void ClassicHost::didReceiveLocal(objc::UIApplication*, objc::UILocalNotification* notification) {
  record("host:local");
  local = notification;
}
objc::Class ClassicHost::class_() {
  static objc::Class c = objc::ClassBuilder<ClassicHost>("ClassicHost")
                             .conforms("UIApplicationDelegate")
                             .method<&ClassicHost::didReceiveRemote>("application:didReceiveRemoteNotification:")
                             .method<&ClassicHost::didReceiveLocal>("application:didReceiveLocalNotification:")
                             .build();
  return c;
}

}  // namespace orveltest
