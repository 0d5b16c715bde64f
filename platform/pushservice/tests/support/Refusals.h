// Every way a single request can be refused, shared by the tests of the
// verdict and of the service on the wire: a documented request, and the
// change to it that earns each status and reason.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "PushTestSupport.h"

namespace pushtest {

inline const std::string kOtherToken(64, 'b');
inline const std::string kOtherBundle = "com.example.other";
inline const std::string kRemovedToken(64, 'c');
inline const std::string kRemovedBundle = "com.example.gone";
inline constexpr int64_t kRemovedAt = 1767000000123;

inline void set(ProviderRequest& r, const std::string& name, const std::string& value) {
  std::erase_if(r.headers, [&](const ProviderHeader& h) { return h.name == name; });
  r.headers.push_back({name, value});
}
inline void drop(ProviderRequest& r, const std::string& name) {
  std::erase_if(r.headers, [&](const ProviderHeader& h) { return h.name == name; });
}

// An alert push to the test device with the documented headers and a token
// of `key` issued at `now`.
inline ProviderRequest documentedRequest(const ProviderKey& key, double now, const std::string& body = kAlert) {
  ProviderRequest r;
  r.method = "POST";
  r.path = "/3/device/" + kDeviceToken;
  r.headers = {{"authorization", "bearer " + mintProviderToken(key, static_cast<int64_t>(now))},
               {"apns-topic", kBundle},
               {"apns-push-type", "alert"}};
  r.body = body;
  return r;
}

struct Refusal {
  const char* what;
  std::function<void(ProviderRequest&)> change;
  int status;
  const char* reason;
};

// For a service that knows the test device (kBundle), kOtherToken
// (kOtherBundle) and kRemovedToken (kRemovedBundle, removed at kRemovedAt),
// and `key`.
inline std::vector<Refusal> refusals(const ProviderKey& key, double now) {
  const std::string tooLong(kMaxPayloadBytes + 1 - std::string(R"({"x":""})").size(), 'a');
  return {
      {"GET", [=](auto& r) { r.method = "GET"; }, 405, "MethodNotAllowed"},
      {"another path", [=](auto& r) { r.path = "/3/devices/" + kDeviceToken; }, 404, "BadPath"},
      {"no token in the path", [=](auto& r) { r.path = "/3/device/"; }, 400, "MissingDeviceToken"},
      {"token not hexadecimal", [=](auto& r) { r.path = "/3/device/xyz1"; }, 400, "BadDeviceToken"},
      {"token of half a byte", [=](auto& r) { r.path = "/3/device/abc"; }, 400, "BadDeviceToken"},
      {"token nobody has", [=](auto& r) { r.path = "/3/device/" + std::string(64, 'd'); }, 400, "BadDeviceToken"},
      {"topic twice",
       [=](auto& r) {
         r.headers.push_back({"apns-topic", kBundle});
       },
       400, "DuplicateHeaders"},
      {"apns-id not a UUID", [=](auto& r) { set(r, "apns-id", "1234"); }, 400, "BadMessageId"},
      {"no authorization", [=](auto& r) { drop(r, "authorization"); }, 403, "MissingProviderToken"},
      {"basic authorization", [=](auto& r) { set(r, "authorization", "basic dXNlcjpwYXNz"); }, 403,
       "InvalidProviderToken"},
      {"token of another key",
       [=](auto& r) {
         set(r, "authorization",
             "bearer " +
                 mintProviderToken(ProviderKey::generate("KEYID12345", "TEAMID1234"), static_cast<int64_t>(now)));
       },
       403, "InvalidProviderToken"},
      {"token of an unknown key id",
       [=](auto& r) {
         set(r, "authorization",
             "bearer " +
                 mintProviderToken(ProviderKey::generate("OTHERKEY12", "TEAMID1234"), static_cast<int64_t>(now)));
       },
       403, "InvalidProviderToken"},
      {"token an hour and a second old",
       [=](auto& r) { set(r, "authorization", "bearer " + mintProviderToken(key, static_cast<int64_t>(now) - 3601)); },
       403, "ExpiredProviderToken"},
      {"unknown push type", [=](auto& r) { set(r, "apns-push-type", "banner"); }, 400, "InvalidPushType"},
      {"priority 7", [=](auto& r) { set(r, "apns-priority", "7"); }, 400, "BadPriority"},
      {"expiration in words", [=](auto& r) { set(r, "apns-expiration", "soon"); }, 400, "BadExpirationDate"},
      {"expiration negative", [=](auto& r) { set(r, "apns-expiration", "-5"); }, 400, "BadExpirationDate"},
      {"collapse id of 65 bytes", [=](auto& r) { set(r, "apns-collapse-id", std::string(65, 'x')); }, 400,
       "BadCollapseId"},
      {"no topic", [=](auto& r) { drop(r, "apns-topic"); }, 400, "MissingTopic"},
      {"topic with a space", [=](auto& r) { set(r, "apns-topic", "com.example orvel"); }, 400, "BadTopic"},
      {"voip push to the plain topic", [=](auto& r) { set(r, "apns-push-type", "voip"); }, 400, "BadTopic"},
      {"topic of another application", [=](auto& r) { set(r, "apns-topic", kOtherBundle); }, 400,
       "DeviceTokenNotForTopic"},
      {"topic of no application", [=](auto& r) { set(r, "apns-topic", "com.example.unknown"); }, 400,
       "TopicDisallowed"},
      {"application removed",
       [=](auto& r) {
         r.path = "/3/device/" + kRemovedToken;
         set(r, "apns-topic", kRemovedBundle);
       },
       410, "Unregistered"},
      {"empty payload", [=](auto& r) { r.body.clear(); }, 400, "PayloadEmpty"},
      {"payload of 4097 bytes", [=](auto& r) { r.body = R"({"x":")" + tooLong + "\"}"; }, 413, "PayloadTooLarge"},
      {"payload cut short by the transport", [=](auto& r) { r.bodyTooLarge = true; }, 413, "PayloadTooLarge"},
      {"payload not JSON", [=](auto& r) { r.body = "{aps: 1}"; }, 400, "BadPayload"},
      {"payload an array", [=](auto& r) { r.body = "[1]"; }, 400, "BadPayload"},
      {"background without content-available",
       [=](auto& r) {
         set(r, "apns-push-type", "background");
         r.body = R"({"aps":{}})";
       },
       400, "InvalidPushType"},
      {"background with an alert",
       [=](auto& r) {
         set(r, "apns-push-type", "background");
         r.body = R"({"aps":{"content-available":1,"alert":"Hi"}})";
       },
       400, "InvalidPushType"},
      {"background at priority 10",
       [=](auto& r) {
         set(r, "apns-push-type", "background");
         set(r, "apns-priority", "10");
         r.body = kSilent;
       },
       400, "BadPriority"},
  };
}

}  // namespace pushtest
