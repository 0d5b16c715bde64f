// Launching, state changes, and the calls the device makes into the
// application.
#include <algorithm>
#include <string>

#include "DeviceImpl.h"

namespace objc {

namespace {

UIApplicationState applicationStateFor(AppState s) {
  switch (s) {
    case AppState::Active:
      return UIApplicationStateActive;
    case AppState::Inactive:
      return UIApplicationStateInactive;
    case AppState::Background:
    case AppState::NotRunning:
    case AppState::ForceQuit:
      break;
  }
  return UIApplicationStateBackground;
}

bool responds(NSObject* receiver, SEL selector) { return receiver && receiver->respondsToSelector(selector); }

// The launch callbacks answer a flag; a host that declared them without a
// result is still called, as the real system ignores what they answer.
void sendLaunchCallback(NSObject* delegate, SEL selector, UIApplication* app, NSDictionary* options) {
  Method m = class_getInstanceMethod(object_getClass(delegate), selector);
  const char* types = m ? method_getTypeEncoding(m) : nullptr;
  if (types && types[0] == 'v') {
    send<void>(delegate, selector, app, options);
  } else {
    send<bool>(delegate, selector, app, options);
  }
}

}  // namespace

void Device::Impl::recordCall(const char* receiver, SEL selector, NSString* identifier) {
  RecordFields fields{
      {"selector", sel_getName(selector)}, {"receiver", receiver}, {"state", appStateName(state.load())}};
  if (identifier) fields.emplace_back("id", identifier->utf8());
  record("os", std::move(fields));
}

void Device::Impl::broadcast(NSString* name, NSDictionary* userInfo) {
  record("os", {{"notification", name->utf8()}, {"receiver", "NSNotificationCenter"}, {"state", appStateName(state)}});
  NSNotificationCenter::defaultCenter()->postNotificationName(name, app, userInfo);
}

void Device::Impl::lifecycleCallback(const char* selector) {
  SEL s = sel_registerName(selector);
  Id d = app->delegate();
  if (!responds(d, s)) return;
  recordCall("app delegate", s);
  send<void>(d.get(), s, app);
}

void Device::Impl::setAppState(AppState s) {
  state.store(s);
  app->setApplicationState(applicationStateFor(s));
}

// One state at a time, as the real system moves: active and background are
// never neighbours, inactive lies between them.
void Device::Impl::moveTo(AppState target) {
  while (state.load() != target) {
    switch (state.load()) {
      case AppState::Active:
        lifecycleCallback("applicationWillResignActive:");
        broadcast(UIApplicationWillResignActiveNotification());
        setAppState(AppState::Inactive);
        break;
      case AppState::Inactive:
        if (target == AppState::Active) {
          setAppState(AppState::Active);
          lifecycleCallback("applicationDidBecomeActive:");
          broadcast(UIApplicationDidBecomeActiveNotification());
        } else {
          setAppState(AppState::Background);
          lifecycleCallback("applicationDidEnterBackground:");
          broadcast(UIApplicationDidEnterBackgroundNotification());
        }
        break;
      case AppState::Background:
        lifecycleCallback("applicationWillEnterForeground:");
        broadcast(UIApplicationWillEnterForegroundNotification());
        setAppState(AppState::Inactive);
        break;
      case AppState::NotRunning:
      case AppState::ForceQuit:
        throw Exception(kInternalInconsistencyException, "the application is not running; launch it first");
    }
    settle();
  }
}

void Device::Impl::launchApp(const LaunchOptions& lo, const std::function<void()>& afterLaunch) {
  if (running()) {
    throw Exception(kInternalInconsistencyException, "the application is already running");
  }
  if (!factory) throw Exception(kInternalInconsistencyException, "there is no application to launch");

  auto options = NSMutableDictionary::dictionary();
  if (lo.extra) options->addEntriesFromDictionary(lo.extra.get());
  if (lo.localNotification)
    options->setObject(lo.localNotification.get(), UIApplicationLaunchOptionsLocalNotificationKey());
  if (lo.remoteNotification) {
    options->setObject(lo.remoteNotification.get(), UIApplicationLaunchOptionsRemoteNotificationKey());
  }
  Ref<NSDictionary> launchOptions = options->count() ? cast<NSDictionary>(options->copy()) : nullptr;

  delegate = factory();
  setAppState(lo.background ? AppState::Background : AppState::Inactive);
  // A plain message, so that whoever replaced the setter sees it.
  recordCall("UIApplication", sel<"setDelegate:">());
  send<void>(app, sel<"setDelegate:">(), delegate.get());

  Id d = app->delegate();
  for (SEL s :
       {sel<"application:willFinishLaunchingWithOptions:">(), sel<"application:didFinishLaunchingWithOptions:">()}) {
    if (!responds(d, s)) continue;
    recordCall("app delegate", s);
    sendLaunchCallback(d.get(), s, app, launchOptions.get());
  }
  broadcast(UIApplicationDidFinishLaunchingNotification(), launchOptions.get());
  settle();
  if (lo.background) {
    // A launch into the background ends as entering it does, before the
    // work the application was launched for.
    lifecycleCallback("applicationDidEnterBackground:");
    broadcast(UIApplicationDidEnterBackgroundNotification());
    settle();
  }
  if (afterLaunch) {
    afterLaunch();
    settle();
  }
  if (!lo.background) moveTo(AppState::Active);
}

// A fetch completion that is neither called nor reported: the application
// is still at work in the background.
bool Device::Impl::backgroundWorkOutstanding() {
  std::lock_guard<std::mutex> g(lock);
  return std::any_of(fetchHandlers.begin(), fetchHandlers.end(),
                     [](const auto& h) { return h->calls.load() == 0 && !h->reported.load(); });
}

void Device::Impl::terminateApp(AppState end) {
  if (!running()) {
    // Swiping away an application that is not running only marks it;
    // anything else leaves it as it is.
    if (end == AppState::ForceQuit || state.load() == AppState::ForceQuit) setAppState(end);
    return;
  }
  // The system suspends a background application once its work is done; a
  // suspended one is ended without being told.
  bool suspended = state.load() == AppState::Background && !backgroundWorkOutstanding();
  moveTo(AppState::Background);
  if (!suspended) {
    lifecycleCallback("applicationWillTerminate:");
    broadcast(UIApplicationWillTerminateNotification());
    settle();
  }
  setAppState(end);
  delegate = nullptr;
  // The process is gone, and with it every handler it was given.
  std::lock_guard<std::mutex> g(lock);
  fetchHandlers.clear();
}

// The user brings the application to the front to act on something: it is
// inactive while it is told, then active.
void Device::Impl::comeForward(const std::function<void()>& action) {
  AppState was = state.load();
  if (was == AppState::Background) moveTo(AppState::Inactive);
  action();
  settle();
  if (was != AppState::Active) moveTo(AppState::Active);
}

// ---- remote registration ----

void Device::Impl::answerRemoteRegistration() {
  if (!running()) return;
  Ref<NSData> t;
  Ref<NSError> error;
  {
    std::lock_guard<std::mutex> g(lock);
    t = token;
    error = registrationError;
  }
  Id d = app->delegate();
  if (error || !t) {
    if (!error) error = NSError::errorWithDomain(NSCocoaErrorDomain, 3000);
    SEL s = sel<"application:didFailToRegisterForRemoteNotificationsWithError:">();
    if (!responds(d, s)) return;
    recordCall("app delegate", s);
    send<void>(d.get(), s, app, error.get());
    return;
  }
  app->setRegisteredForRemoteNotifications(true);
  SEL s = sel<"application:didRegisterForRemoteNotificationsWithDeviceToken:">();
  if (!responds(d, s)) return;
  recordCall("app delegate", s);
  send<void>(d.get(), s, app, t.get());
}

// ---- remote-notification callbacks ----

bool Device::Impl::callFetch(NSDictionary* payload, NSString* identifier) {
  SEL s = sel<"application:didReceiveRemoteNotification:fetchCompletionHandler:">();
  Id d = app->delegate();
  if (!responds(d, s)) return false;
  auto handler = newHandler(s, true);
  std::weak_ptr<Impl> weak = weak_from_this();
  auto block = makeBlock<void(UIBackgroundFetchResult)>([weak, handler](UIBackgroundFetchResult result) {
    if (auto self = weak.lock()) self->handlerCalled(*handler, std::to_string(result));
  });
  recordCall("app delegate", s, identifier);
  send<void>(d.get(), s, app, payload, block);
  return true;
}

// The application delegate's own callback for a remote notification: the
// fetch variant when the delegate has it, else the plain one.
bool Device::Impl::callRemoteLegacy(NSDictionary* payload, NSString* identifier) {
  if (callFetch(payload, identifier)) return true;
  SEL s = sel<"application:didReceiveRemoteNotification:">();
  Id d = app->delegate();
  if (!responds(d, s)) return false;
  recordCall("app delegate", s, identifier);
  send<void>(d.get(), s, app, payload);
  return true;
}

bool Device::Impl::callWillPresent(UNNotification* notification) {
  SEL s = sel<"userNotificationCenter:willPresentNotification:withCompletionHandler:">();
  Id d = centre->delegate();
  if (!responds(d, s)) return false;
  auto handler = newHandler(s, false);
  std::weak_ptr<Impl> weak = weak_from_this();
  auto block = makeBlock<void(UNNotificationPresentationOptions)>(
      [weak, handler, n = Ref<UNNotification>(notification)](UNNotificationPresentationOptions options) {
        auto self = weak.lock();
        if (!self || !self->handlerCalled(*handler, std::to_string(options))) return;
        if (isMainThread()) {
          self->applyPresentation(n, options);
        } else {
          dispatch_async(dispatch_get_main_queue(), [weak, n, options] {
            if (auto s = weak.lock()) s->applyPresentation(n, options);
          });
        }
      });
  recordCall("centre delegate", s, notification->request()->identifier());
  send<void>(d.get(), s, centre, notification, block);
  return true;
}

bool Device::Impl::callDidReceiveResponse(UNNotification* notification) {
  SEL s = sel<"userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:">();
  Id d = centre->delegate();
  if (!responds(d, s)) return false;
  auto handler = newHandler(s, false);
  std::weak_ptr<Impl> weak = weak_from_this();
  auto block = makeBlock<void()>([weak, handler] {
    if (auto self = weak.lock()) self->handlerCalled(*handler, "");
  });
  auto response = UNNotificationResponse::responseWithNotification(notification);
  recordCall("centre delegate", s, notification->request()->identifier());
  send<void>(d.get(), s, centre, response, block);
  return true;
}

// ---- completion handlers ----

std::shared_ptr<HandlerState> Device::Impl::newHandler(SEL callback, bool limited) {
  auto h = std::make_shared<HandlerState>();
  h->callback = sel_getName(callback);
  h->created = now();
  h->limited = limited;
  if (limited) {
    std::lock_guard<std::mutex> g(lock);
    fetchHandlers.push_back(h);
  }
  return h;
}

bool Device::Impl::handlerCalled(HandlerState& handler, const std::string& value) {
  int call = handler.calls.fetch_add(1) + 1;
  record("completion", {{"callback", handler.callback}, {"value", value}, {"call", std::to_string(call)}});
  if (call > 1) {
    record("fault", {{"fault", "completion called twice"},
                     {"callback", handler.callback},
                     {"detail", "the completion handler of -" + handler.callback + " was called " +
                                    std::to_string(call) + " times; it must be called once"}});
  }
  return call == 1;
}

// ---- the public steps ----

void Device::launch(DelegateFactory factory, LaunchOptions options) {
  Impl::StepScope step(*impl_);
  if (!factory) throw Exception(kInvalidArgumentException, "launch needs a delegate factory");
  if (impl_->running()) throw Exception(kInternalInconsistencyException, "the application is already running");
  impl_->factory = std::move(factory);
  impl_->launchApp(options, nullptr);
}

void Device::launch(NSObject* delegate, LaunchOptions options) {
  launch([d = Id(delegate)] { return d; }, std::move(options));
}

void Device::setState(AppState target) {
  Impl::StepScope step(*impl_);
  if (target == AppState::NotRunning || target == AppState::ForceQuit) {
    impl_->terminateApp(target);
    return;
  }
  impl_->moveTo(target);
}

void Device::terminate() {
  Impl::StepScope step(*impl_);
  impl_->terminateApp(AppState::NotRunning);
}

}  // namespace objc
