// What the interception, payload and memory benchmarks share: a typical
// remote-notification payload of about 1 KB, two host application delegates
// (one the library intercepts, one that calls the context by hand) and the
// setting every delivery runs in.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "Foundation/Foundation.h"
#include "UIKit/UIKit.h"
#include "orvel/Orvel.h"

namespace benchdelivery {

// An order-update push: an alert with title, subtitle and body, badge, sound,
// thread and category, and the application's own data beside "aps".
inline const std::string& payloadJSON() {
  static const std::string text = R"({
  "aps": {
    "alert": {
      "title": "Your order has shipped",
      "subtitle": "Order A-20931-7741",
      "body": "Good news: the parcel with your 3 items left our warehouse this morning and is on its way. Open the app to follow it and see the latest delivery estimate."
    },
    "badge": 3,
    "sound": "default",
    "thread-id": "orders-A-20931-7741",
    "category": "ORDER_UPDATE",
    "mutable-content": 1
  },
  "messageId": "3f9c2a7e-8d41-4b6a-9e2f-0c5d7a1b9e44",
  "campaign": { "id": "summer-dispatch", "variant": "B", "sentAt": 1717000000 },
  "deepLink": "shop://orders/A-20931-7741?source=push",
  "media": { "url": "https://cdn.example.com/img/orders/A-20931-7741/parcel.jpg", "type": "image/jpeg" },
  "items": [
    { "sku": "SKU-10021", "name": "Trail running shoes", "qty": 1, "price": 89.95 },
    { "sku": "SKU-20417", "name": "Merino socks, 3 pairs", "qty": 1, "price": 24.5 },
    { "sku": "SKU-31100", "name": "Water bottle 750 ml", "qty": 1, "price": 12.0 }
  ],
  "tracking": { "carrier": "Parcel Express", "number": "PX7741209315", "eta": "2024-06-03", "signature": false },
  "locale": "en-GB"
})";
  return text;
}

// The payload as the system hands it to the application: Foundation values.
inline objc::Ref<objc::NSDictionary> payload() {
  static objc::Ref<objc::NSDictionary> value = [] {
    objc::JSONError error;
    auto parsed = objc::cast<objc::NSDictionary>(objc::JSONParse(payloadJSON(), &error));
    if (!parsed) throw std::runtime_error("benchmark payload is not a JSON object: " + error.describe());
    return parsed;
  }();
  return value;
}

// A host delegate as a host application writes it: it declares the
// protocol, so installing it makes the library switch it to the generated
// subclass. Its own callback does the host's work (here: counts).
struct InterceptedHost : objc::NSObject {
  static objc::Class class_() {
    static objc::Class c = objc::ClassBuilder<InterceptedHost>("BenchInterceptedHost")
                               .conforms("UIApplicationDelegate")
                               .method<&InterceptedHost::didReceiveRemote>("application:didReceiveRemoteNotification:")
                               .build();
    return c;
  }
  void didReceiveRemote(objc::UIApplication*, objc::NSDictionary*) { ++calls; }
  int64_t calls = 0;
};

// The same host wired by hand: it does not declare the protocol, so the
// library leaves it alone, and its callback hands the payload to the context
// itself before doing the same work.
struct HandWiredHost : objc::NSObject {
  static objc::Class class_() {
    static objc::Class c = objc::ClassBuilder<HandWiredHost>("BenchHandWiredHost")
                               .method<&HandWiredHost::didReceiveRemote>("application:didReceiveRemoteNotification:")
                               .build();
    return c;
  }
  void didReceiveRemote(objc::UIApplication*, objc::NSDictionary* payload) {
    OrvelContext::currentContext()->didReceiveRemoteNotification(payload);
    ++calls;
  }
  int64_t calls = 0;
};

// The setting of every delivery: the application active (so the library
// leaves the badge alone), the library's log silenced (the lines are still
// formatted, only not written), and one observer of the message event.
class DeliverySetting {
 public:
  DeliverySetting() {
    objc::setLogSink([](const std::string&) {});
    objc::UIApplication::sharedApplication()->setApplicationState(objc::UIApplicationStateActive);
    token_ = objc::NSNotificationCenter::defaultCenter()->addObserverForName(
        OrvelDidReceiveMessageNotification, nullptr, nullptr, [this](objc::NSNotification* n) {
          if (objc::cast<OrvelNotificationMessage>(n->object())) ++events_;
        });
  }
  ~DeliverySetting() {
    objc::NSNotificationCenter::defaultCenter()->removeObserver(token_);
    objc::setLogSink({});
  }
  DeliverySetting(const DeliverySetting&) = delete;
  DeliverySetting& operator=(const DeliverySetting&) = delete;

  int64_t events() const { return events_; }

 private:
  objc::Id token_;
  int64_t events_ = 0;
};

// The delegate installed as the host does it, which hooks it.
inline objc::Ref<InterceptedHost> installInterceptedHost() {
  auto host = objc::make<InterceptedHost>();
  objc::send<void>(objc::UIApplication::sharedApplication(), objc::sel<"setDelegate:">(), host.get());
  if (!objc::NSStringFromClass(objc::object_getClass(host))->hasPrefix("Orvel_")) {
    throw std::runtime_error("the library did not intercept the benchmark's application delegate");
  }
  return host;
}

// One remote notification as the system delivers it, and the main-queue
// turn that brings its event to the observer.
inline void deliverOne(objc::NSObject* delegate, objc::NSDictionary* payload) {
  objc::send<void>(delegate, objc::sel<"application:didReceiveRemoteNotification:">(),
                   objc::UIApplication::sharedApplication(), payload);
  objc::runMainUntilIdle();
}

}  // namespace benchdelivery
