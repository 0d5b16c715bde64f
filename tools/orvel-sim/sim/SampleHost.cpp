#include "sim/SampleHost.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <utility>

namespace orvelsim {

using namespace objc;

// What the delegates share with the host: its configuration and where its
// records go. Held by the host and by every delegate it made.
struct SampleHost::State {
  HostConfig config;
  Recorder* recorder;

  // A "host" record: the callback, its arguments and what the host
  // completes its handler with (null: it does not).
  void callback(const char* selector, std::initializer_list<const NSObject*> args,
                const Json& completion = Json()) const {
    TextBuffer text(384);
    JsonMembers fields(text);
    appendStringText(fields.key("call"), selector);
    fields.key("args") += '[';
    bool first = true;
    for (const NSObject* value : args) {
      if (!first) text += ',';
      first = false;
      appendValueText(text, value);
    }
    text += ']';
    if (!completion.is_null()) appendJsonText(fields.key("completion"), completion);
    recorder->addText("host", text.take());
  }
};

namespace {

thread_local bool completingHandler = false;

// Calls a system completion handler as the host.
template <class Handler, class... Args>
void completeAsHost(Handler& handler, Args... args) {
  completingHandler = true;
  try {
    handler(args...);
  } catch (...) {
    completingHandler = false;
    throw;
  }
  completingHandler = false;
}

// The host's notification-centre delegate.
struct SampleCenterDelegate : NSObject {
  std::shared_ptr<const SampleHost::State> host;

  void willPresent(NSObject* center, UNNotification* notification, NSObject* completionHandler) {
    auto* handler = cast<Block<void(uint64_t)>>(completionHandler);
    constexpr uint64_t kShowEverything = UNNotificationPresentationOptionBadge | UNNotificationPresentationOptionSound |
                                         UNNotificationPresentationOptionAlert;
    bool completes = host->config.callsCompletionHandlers && handler;
    host->callback("userNotificationCenter:willPresentNotification:withCompletionHandler:",
                   {center, notification, completionHandler}, completes ? Json(kShowEverything) : Json());
    if (completes) completeAsHost(*handler, kShowEverything);
  }

  void didReceiveResponse(NSObject* center, UNNotificationResponse* response, NSObject* completionHandler) {
    auto* handler = cast<Block<void()>>(completionHandler);
    bool completes = host->config.callsCompletionHandlers && handler;
    host->callback("userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:",
                   {center, response, completionHandler}, completes ? Json(true) : Json());
    if (completes) completeAsHost(*handler);
  }

  void openSettings(NSObject* center, UNNotification* notification) {
    host->callback("userNotificationCenter:openSettingsForNotification:", {center, notification});
  }
};

// The host's application delegate.
struct SampleAppDelegate : NSObject {
  std::shared_ptr<const SampleHost::State> host;
  Class centerDelegateClass = nullptr;
  // The notification centre holds its delegate weakly; the host keeps it.
  Ref<SampleCenterDelegate> centerDelegate;

  bool willFinishLaunching(UIApplication* app, NSDictionary* options) {
    host->callback("application:willFinishLaunchingWithOptions:", {app, options});
    return true;
  }

  // What a host does at launch: take the notification centre's callbacks
  // where the system has the centre, and register.
  bool didFinishLaunching(UIApplication* app, NSDictionary* options) {
    host->callback("application:didFinishLaunchingWithOptions:", {app, options});
    if (host->config.centerDelegate) {
      if (Class centerClass = NSClassFromString("UNUserNotificationCenter")) {
        centerDelegate = cast<SampleCenterDelegate>(class_createInstance(centerDelegateClass));
        centerDelegate->host = host;
        Id center = send<Id>(centerClass, sel<"currentNotificationCenter">());
        send<void>(center, sel<"setDelegate:">(), centerDelegate);
      }
    }
    if (host->config.registerAtLaunch) {
      auto configuration = make<OrvelNotificationConfiguration>();
      configuration->setTypes(*host->config.registerAtLaunch);
      OrvelCenter::registerForRemoteNotification(configuration);
    }
    return true;
  }

  void didBecomeActive(UIApplication* app) { host->callback("applicationDidBecomeActive:", {app}); }
  void willResignActive(UIApplication* app) { host->callback("applicationWillResignActive:", {app}); }
  void didEnterBackground(UIApplication* app) { host->callback("applicationDidEnterBackground:", {app}); }
  void willEnterForeground(UIApplication* app) { host->callback("applicationWillEnterForeground:", {app}); }
  void willTerminate(UIApplication* app) { host->callback("applicationWillTerminate:", {app}); }

  void didRegisterSettings(UIApplication* app, UIUserNotificationSettings* settings) {
    host->callback("application:didRegisterUserNotificationSettings:", {app, settings});
  }
  void didRegisterToken(UIApplication* app, NSData* token) {
    host->callback("application:didRegisterForRemoteNotificationsWithDeviceToken:", {app, token});
  }
  void didFailToRegister(UIApplication* app, NSError* error) {
    host->callback("application:didFailToRegisterForRemoteNotificationsWithError:", {app, error});
  }
  void didReceiveRemote(UIApplication* app, NSDictionary* payload) {
    host->callback("application:didReceiveRemoteNotification:", {app, payload});
  }
  void didReceiveRemoteFetch(UIApplication* app, NSDictionary* payload, NSObject* completionHandler) {
    auto* handler = cast<UIBackgroundFetchResultHandler>(completionHandler);
    bool completes = host->config.callsCompletionHandlers && handler;
    host->callback("application:didReceiveRemoteNotification:fetchCompletionHandler:",
                   {app, payload, completionHandler}, completes ? Json(UIBackgroundFetchResultNewData) : Json());
    if (completes) completeAsHost(*handler, UIBackgroundFetchResultNewData);
  }
  void didReceiveLocal(UIApplication* app, UILocalNotification* notification) {
    host->callback("application:didReceiveLocalNotification:", {app, notification});
  }
};

struct DelegateClasses {
  Class application;
  Class center;
};

template <class T>
using Add = void (*)(ClassBuilder<T>&);

// One pair of classes per set of implemented callbacks, named after it.
DelegateClasses classesFor(const HostConfig& config) {
  static std::mutex lock;
  static std::map<std::string, DelegateClasses> built;
  std::lock_guard<std::mutex> g(lock);
  std::string key = config.key();
  if (auto it = built.find(key); it != built.end()) return it->second;

  std::string suffix;
  if (!key.empty()) {
    unsigned bits = 0;
    for (char c : key) bits = bits * 2 + (c == '1');
    char text[16];
    std::snprintf(text, sizeof text, "_%05x", bits);
    suffix = text;
  }

  using A = SampleAppDelegate;
  ClassBuilder<A> app("SampleAppDelegate" + suffix);
  app.conforms("UIApplicationDelegate");
  const std::vector<std::pair<const char*, Add<A>>> appMethods = {
      {"application:willFinishLaunchingWithOptions:",
       [](ClassBuilder<A>& b) { b.method<&A::willFinishLaunching>("application:willFinishLaunchingWithOptions:"); }},
      {"application:didFinishLaunchingWithOptions:",
       [](ClassBuilder<A>& b) { b.method<&A::didFinishLaunching>("application:didFinishLaunchingWithOptions:"); }},
      {"applicationDidBecomeActive:",
       [](ClassBuilder<A>& b) { b.method<&A::didBecomeActive>("applicationDidBecomeActive:"); }},
      {"applicationWillResignActive:",
       [](ClassBuilder<A>& b) { b.method<&A::willResignActive>("applicationWillResignActive:"); }},
      {"applicationDidEnterBackground:",
       [](ClassBuilder<A>& b) { b.method<&A::didEnterBackground>("applicationDidEnterBackground:"); }},
      {"applicationWillEnterForeground:",
       [](ClassBuilder<A>& b) { b.method<&A::willEnterForeground>("applicationWillEnterForeground:"); }},
      {"applicationWillTerminate:",
       [](ClassBuilder<A>& b) { b.method<&A::willTerminate>("applicationWillTerminate:"); }},
      {"application:didRegisterUserNotificationSettings:",
       [](ClassBuilder<A>& b) {
         b.method<&A::didRegisterSettings>("application:didRegisterUserNotificationSettings:");
       }},
      {"application:didRegisterForRemoteNotificationsWithDeviceToken:",
       [](ClassBuilder<A>& b) {
         b.method<&A::didRegisterToken>("application:didRegisterForRemoteNotificationsWithDeviceToken:");
       }},
      {"application:didFailToRegisterForRemoteNotificationsWithError:",
       [](ClassBuilder<A>& b) {
         b.method<&A::didFailToRegister>("application:didFailToRegisterForRemoteNotificationsWithError:");
       }},
      {"application:didReceiveRemoteNotification:",
       [](ClassBuilder<A>& b) { b.method<&A::didReceiveRemote>("application:didReceiveRemoteNotification:"); }},
      {"application:didReceiveRemoteNotification:fetchCompletionHandler:",
       [](ClassBuilder<A>& b) {
         b.method<&A::didReceiveRemoteFetch>("application:didReceiveRemoteNotification:fetchCompletionHandler:");
       }},
      {"application:didReceiveLocalNotification:",
       [](ClassBuilder<A>& b) { b.method<&A::didReceiveLocal>("application:didReceiveLocalNotification:"); }},
  };
  for (const auto& [selector, add] : appMethods)
    if (config.implements(selector)) add(app);

  using C = SampleCenterDelegate;
  ClassBuilder<C> center("SampleCenterDelegate" + suffix);
  center.conforms("UNUserNotificationCenterDelegate");
  const std::vector<std::pair<const char*, Add<C>>> centerMethods = {
      {"userNotificationCenter:willPresentNotification:withCompletionHandler:",
       [](ClassBuilder<C>& b) {
         b.method<&C::willPresent>("userNotificationCenter:willPresentNotification:withCompletionHandler:");
       }},
      {"userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:",
       [](ClassBuilder<C>& b) {
         b.method<&C::didReceiveResponse>(
             "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:");
       }},
      {"userNotificationCenter:openSettingsForNotification:",
       [](ClassBuilder<C>& b) { b.method<&C::openSettings>("userNotificationCenter:openSettingsForNotification:"); }},
  };
  for (const auto& [selector, add] : centerMethods)
    if (config.implements(selector)) add(center);

  DelegateClasses classes{app.build(), center.build()};
  built[key] = classes;
  return classes;
}

}  // namespace

SampleHost::SampleHost(HostConfig config, Recorder& recorder)
    : state_(std::make_shared<State>(State{std::move(config), &recorder})) {
  NSNotificationCenter* center = NSNotificationCenter::defaultCenter();
  for (NSString* name : {OrvelDidRegisterRemoteNotification, OrvelFailedRegisterRemoteNotification,
                         OrvelDidReceiveMessageNotification}) {
    observers_.push_back(center->addObserverForName(name, nullptr, nullptr, [state = state_](NSNotification* n) {
      TextBuffer text(640);
      JsonMembers fields(text);
      appendStringText(fields.key("name"), n->name()->utf8());
      appendValueText(fields.key("object"), n->object());
      // The dictionary form leaves type 0 out; the record always says it.
      if (auto* message = cast<OrvelNotificationMessage>(n->object())) {
        appendJsonText(fields.key("type"), static_cast<uint64_t>(message->notificationMessageType()));
      }
      if (n->userInfo()) appendValueText(fields.key("userInfo"), n->userInfo());
      state->recorder->addText("event", text.take());
    }));
  }
}

SampleHost::~SampleHost() {
  for (const Id& token : observers_) NSNotificationCenter::defaultCenter()->removeObserver(token);
}

const HostConfig& SampleHost::config() const { return state_->config; }

Device::DelegateFactory SampleHost::factory() {
  DelegateClasses classes = classesFor(state_->config);
  return [state = state_, classes] {
    Id object = class_createInstance(classes.application);
    auto* delegate = cast<SampleAppDelegate>(object.get());
    delegate->host = state;
    delegate->centerDelegateClass = classes.center;
    return object;
  };
}

void SampleHost::registerForRemoteNotification(bool withConfiguration, int64_t types) {
  Ref<OrvelNotificationConfiguration> configuration;
  if (withConfiguration) {
    configuration = make<OrvelNotificationConfiguration>();
    configuration->setTypes(types);
  }
  OrvelCenter::registerForRemoteNotification(configuration);
}

bool SampleHost::isCompletingHandler() { return completingHandler; }

void SampleHost::requestAuthorizationStatus() {
  auto handler = makeBlock<void(int64_t)>([state = state_](int64_t status) {
    state->recorder->add("completion", Json{{"call", "requestNotificationAuthorizationStatus:"}, {"value", status}});
  });
  OrvelCenter::requestNotificationAuthorizationStatus(handler);
}

void SampleHost::addLocalNotification(OrvelNotificationRequest* request, std::shared_ptr<std::atomic<bool>> done) {
  auto handler = makeBlock<void(NSObject*, NSError*)>([state = state_, done](NSObject* result, NSError* error) {
    state->recorder->add("completion",
                         Json{{"call", "addLocalNotification:handler:"},
                              {"value", Json{{"result", valueToJson(result)}, {"error", valueToJson(error)}}}});
    done->store(true);
    wakeMainLoop();
  });
  OrvelCenter::addLocalNotification(request, handler);
}

}  // namespace orvelsim
