#include "PushService/ProviderRequest.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

#include "Foundation/NSJSONSerialization.h"
#include "Foundation/NSNumber.h"
#include "OpenSSLSupport.h"

namespace objc {

namespace {

constexpr std::string_view kDevicePath = "/3/device";
constexpr std::string_view kDevicePathAndSlash = "/3/device/";

struct PushType {
  std::string_view name;
  // What the topic adds to the bundle identifier for this type.
  std::string_view topicSuffix;
};

constexpr PushType kPushTypes[] = {
    {"alert", ""},
    {"background", ""},
    {"location", ".location-query"},
    {"voip", ".voip"},
    {"complication", ".complication"},
    {"fileprovider", ".pushkit.fileprovider"},
    {"mdm", ""},
    {"liveactivity", ".push-type.liveactivity"},
    {"pushtotalk", ".voip-ptt"},
};

// The headers the service reads; each may come once.
constexpr std::string_view kServiceHeaders[] = {"authorization", "apns-id",    "apns-push-type",  "apns-expiration",
                                                "apns-priority", "apns-topic", "apns-collapse-id"};

const PushType* findPushType(std::string_view name) {
  for (const PushType& type : kPushTypes) {
    if (type.name == name) return &type;
  }
  return nullptr;
}

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

NSDictionary* apsOf(NSDictionary* payload) { return cast<NSDictionary>(payload->objectForKey("aps")); }

// "content-available": 1 (or true) in "aps".
bool isContentAvailable(NSDictionary* aps) {
  auto* flag = aps ? asNumber(aps->objectForKey("content-available")) : nullptr;
  return flag && flag->kind() != NSNumber::Kind::Double && flag->integerValue() == 1;
}

// An alert, a sound or a badge: something the user notices.
bool isVisible(NSDictionary* aps) {
  return aps && (aps->objectForKey("alert") || aps->objectForKey("sound") || aps->objectForKey("badge"));
}

bool isSilent(NSDictionary* aps) { return isContentAvailable(aps) && !isVisible(aps); }

// Quotes a header value in a detail, cut short when long.
std::string quoted(std::string_view value) {
  constexpr size_t kShown = 80;
  if (value.size() <= kShown) return "\"" + std::string(value) + "\"";
  return "\"" + std::string(value.substr(0, kShown)) + "...\" (" + std::to_string(value.size()) + " bytes)";
}

}  // namespace

std::optional<std::string> canonicalDeviceToken(std::string_view text) {
  if (text.empty() || text.size() % 2 != 0) return std::nullopt;
  // Read for every request: one pass, without the locale's tables.
  std::string token(text);
  for (char& c : token) {
    if (c >= 'A' && c <= 'F') {
      c = static_cast<char>(c - 'A' + 'a');
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return std::nullopt;
    }
  }
  return token;
}

bool isBundleIdentifier(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
  });
}

size_t payloadLimit(std::string_view pushType) { return pushType == "voip" ? kMaxVoipPayloadBytes : kMaxPayloadBytes; }

const std::string* ProviderRequest::header(std::string_view name) const {
  for (const ProviderHeader& h : headers) {
    if (h.name == name) return &h.value;
  }
  return nullptr;
}

std::string ProviderVerdict::body() const {
  if (accepted()) return {};
  std::string text = R"({"reason":")" + reason + "\"";
  if (status == 410) text += ",\"timestamp\":" + std::to_string(timestamp);
  return text + "}";
}

bool isCanonicalUUID(std::string_view text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

std::string newApnsId() {
  // The generator is asked for many identifiers' bytes at once: one call
  // per request cost more than the rest of making the identifier.
  thread_local unsigned char pool[4096];
  thread_local size_t used = sizeof pool;
  unsigned char bytes[16];
  if (used == sizeof pool) {
    openssl::check(RAND_bytes(pool, sizeof pool) == 1, "a random apns-id");
    used = 0;
  }
  std::memcpy(bytes, pool + used, sizeof bytes);
  used += sizeof bytes;
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // variant 10
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string id(36, '-');
  size_t at = 0;
  for (size_t i = 0; i < sizeof bytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) ++at;  // the dash already there
    id[at++] = kDigits[bytes[i] >> 4];
    id[at++] = kDigits[bytes[i] & 0x0f];
  }
  return id;
}

ProviderVerdict validateProviderRequest(const ProviderRequest& request, const ProviderServiceState& state,
                                        const ProviderConnectionToken& connectionToken, double now,
                                        std::string_view generatedApnsId) {
  ProviderVerdict verdict;
  verdict.apnsId = std::string(generatedApnsId);
  verdict.connectionToken = connectionToken;
  auto refuse = [&verdict](int status, std::string_view reason, std::string detail) {
    verdict.status = status;
    verdict.reason = std::string(reason);
    verdict.detail = std::move(detail);
    return verdict;
  };

  if (request.method != "POST") {
    return refuse(405, "MethodNotAllowed", "the method is " + quoted(request.method) + "; notifications are POSTed");
  }
  const std::string_view path = request.path;
  if (path == kDevicePath || path == kDevicePathAndSlash) {
    return refuse(400, "MissingDeviceToken", "the path has no device token: POST /3/device/<device token>");
  }
  if (!path.starts_with(kDevicePathAndSlash)) {
    return refuse(404, "BadPath", "the path is " + quoted(path) + "; notifications go to /3/device/<device token>");
  }
  const std::string_view tokenText = path.substr(kDevicePath.size() + 1);

  // Each header the service reads may come once: compared among the
  // request's own headers, which are few.
  for (size_t i = 0; i < request.headers.size(); ++i) {
    const std::string& name = request.headers[i].name;
    if (std::find(std::begin(kServiceHeaders), std::end(kServiceHeaders), name) == std::end(kServiceHeaders)) continue;
    for (size_t j = i + 1; j < request.headers.size(); ++j) {
      if (request.headers[j].name == name)
        return refuse(400, "DuplicateHeaders", "the header " + name + " came more than once");
    }
  }

  if (const std::string* id = request.header("apns-id")) {
    if (!isCanonicalUUID(*id)) {
      return refuse(400, "BadMessageId", "apns-id " + quoted(*id) + " is not a UUID (8-4-4-4-12 hexadecimal digits)");
    }
    verdict.apnsId = *id;
  }

  if (state.requireProviderToken) {
    const std::string* authorization = request.header("authorization");
    if (!authorization) {
      return refuse(403, "MissingProviderToken",
                    "the request has no authorization header; send \"authorization: bearer <provider token>\"");
    }
    constexpr std::string_view kScheme = "bearer ";
    if (authorization->size() <= kScheme.size() || lowered(authorization->substr(0, kScheme.size())) != kScheme) {
      return refuse(403, "InvalidProviderToken", "the authorization header is not \"bearer <provider token>\"");
    }
    const std::string jwt = authorization->substr(kScheme.size());
    const bool sameToken = jwt == connectionToken.token;
    ProviderTokenCheck check =
        sameToken ? checkProviderTokenAge(connectionToken.issuedAt, now) : checkProviderToken(jwt, state.keys, now);
    if (!check.ok()) return refuse(403, check.reason, check.detail);
    if (!sameToken) {
      if (!connectionToken.token.empty()) {
        if (connectionToken.changedAt && now - *connectionToken.changedAt < kProviderTokenUpdateInterval) {
          return refuse(429, "TooManyProviderTokenUpdates",
                        "the connection changed its provider token less than 20 minutes after the last change; "
                        "keep one token for up to an hour");
        }
        verdict.connectionToken.changedAt = now;
      }
      verdict.connectionToken.token = jwt;
      verdict.connectionToken.issuedAt = check.issuedAt;
    }
  }

  const std::string* pushTypeHeader = request.header("apns-push-type");
  const PushType* declaredType = nullptr;
  if (pushTypeHeader) {
    declaredType = findPushType(*pushTypeHeader);
    if (!declaredType) {
      return refuse(400, "InvalidPushType",
                    "apns-push-type " + quoted(*pushTypeHeader) +
                        " is not one of alert, background, location, voip, complication, fileprovider, mdm, "
                        "liveactivity, pushtotalk");
    }
  }

  std::optional<int> priority;
  if (const std::string* value = request.header("apns-priority")) {
    if (*value == "10" || *value == "5" || *value == "1") {
      priority = std::stoi(*value);
    } else {
      return refuse(400, "BadPriority", "apns-priority " + quoted(*value) + " is not 10, 5 or 1");
    }
  }

  std::optional<int64_t> expiration;
  if (const std::string* value = request.header("apns-expiration")) {
    int64_t seconds = 0;
    const auto [end, error] = std::from_chars(value->data(), value->data() + value->size(), seconds);
    if (value->empty() || error != std::errc() || end != value->data() + value->size() || seconds < 0) {
      return refuse(400, "BadExpirationDate",
                    "apns-expiration " + quoted(*value) + " is not a UNIX time in seconds (or 0)");
    }
    expiration = seconds;
  }

  const std::string* collapseId = request.header("apns-collapse-id");
  if (collapseId && (collapseId->empty() || collapseId->size() > kMaxCollapseIdBytes)) {
    return refuse(400, "BadCollapseId",
                  "apns-collapse-id is " + std::to_string(collapseId->size()) + " bytes; it must be 1 to 64");
  }

  const std::string* topic = request.header("apns-topic");
  if (!topic && state.requireProviderToken) {
    return refuse(400, "MissingTopic",
                  "the request has no apns-topic; with provider tokens it names the application's bundle identifier");
  }
  if (topic && !isBundleIdentifier(*topic)) {
    return refuse(400, "BadTopic", "apns-topic " + quoted(*topic) + " is not a bundle identifier");
  }

  const std::optional<std::string> token = canonicalDeviceToken(tokenText);
  if (!token) {
    return refuse(400, "BadDeviceToken",
                  "the device token " + quoted(tokenText) + " is not hexadecimal text of whole bytes");
  }
  const std::string& deviceToken = *token;
  const auto device = state.devices.find(deviceToken);
  if (device == state.devices.end()) {
    return refuse(400, "BadDeviceToken", "no application on the device has the token " + deviceToken);
  }
  const RegisteredDevice& application = device->second;
  if (application.removedAt) {
    verdict.timestamp = *application.removedAt;
    return refuse(410, "Unregistered",
                  "the application " + application.bundleId +
                      " was removed from the device; its token is no longer "
                      "valid");
  }

  const std::string_view suffix = declaredType ? declaredType->topicSuffix : std::string_view();
  const std::string expectedTopic = application.bundleId + std::string(suffix);
  if (topic && *topic != expectedTopic) {
    const bool anotherApplication = std::any_of(state.devices.begin(), state.devices.end(), [&](const auto& entry) {
      return *topic == entry.second.bundleId + std::string(suffix);
    });
    if (anotherApplication) {
      return refuse(400, "DeviceTokenNotForTopic",
                    "the device token belongs to " + application.bundleId + ", not to the topic " + *topic);
    }
    if (*topic == application.bundleId || topic->starts_with(application.bundleId + ".")) {
      return refuse(400, "BadTopic",
                    "a " + std::string(declaredType ? declaredType->name : "alert") + " push to " +
                        application.bundleId + " has the topic " + expectedTopic + ", not " + *topic);
    }
    return refuse(400, "TopicDisallowed", "no application on the device has the topic " + *topic);
  }

  const size_t limit = payloadLimit(pushTypeHeader ? std::string_view(*pushTypeHeader) : std::string_view());
  if (request.bodyTooLarge || request.body.size() > limit) {
    return refuse(413, "PayloadTooLarge",
                  "the payload is over " + std::to_string(limit) + " bytes" +
                      (request.bodyTooLarge ? std::string() : " (" + std::to_string(request.body.size()) + ")"));
  }
  if (request.body.empty()) return refuse(400, "PayloadEmpty", "the request has no payload");
  JSONError jsonError;
  Ref<NSDictionary> payload = cast<NSDictionary>(JSONParse(request.body, &jsonError));
  if (!payload) {
    // Not in the documented list: the stand-in's own reason for a body that
    // is not a JSON object.
    return refuse(400, "BadPayload",
                  jsonError.message.empty() ? "the payload is JSON but not an object"
                                            : "the payload is not JSON: " + jsonError.describe());
  }

  NSDictionary* aps = apsOf(payload);
  const std::string pushType =
      declaredType ? std::string(declaredType->name) : std::string(isSilent(aps) ? "background" : "alert");
  if (pushType == "background") {
    if (!isContentAvailable(aps)) {
      return refuse(400, "InvalidPushType", "a background push needs \"content-available\": 1 in \"aps\"");
    }
    if (isVisible(aps)) {
      return refuse(400, "InvalidPushType", "a background push has no alert, sound or badge; send it as an alert push");
    }
    if (priority && *priority != 5) {
      return refuse(400, "BadPriority",
                    "a background push is sent with apns-priority 5, not " + std::to_string(*priority));
    }
  }

  PushNotification notification;
  notification.deviceToken = deviceToken;
  notification.bundleId = application.bundleId;
  notification.topic = topic ? *topic : expectedTopic;
  notification.apnsId = verdict.apnsId;
  notification.pushType = pushType;
  notification.priority = priority.value_or(pushType == "background" ? 5 : 10);
  notification.expiration = expiration;
  notification.collapseId = collapseId ? *collapseId : std::string();
  notification.payload = request.body;
  notification.payloadDictionary = std::move(payload);
  verdict.notification = std::move(notification);
  return verdict;
}

}  // namespace objc
