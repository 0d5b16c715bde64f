// What the push service makes of one provider request: accepted, with the
// notification to deliver, or refused with a status and a reason. The
// verdict depends on nothing but its arguments (the request as the
// transport received it, the service's devices and keys, the connection's
// provider token, the time), so it can be tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Foundation/NSDictionary.h"
#include "PushService/ProviderToken.h"

namespace objc {

inline constexpr size_t kMaxPayloadBytes = 4096;
inline constexpr size_t kMaxVoipPayloadBytes = 5120;
inline constexpr size_t kMaxCollapseIdBytes = 64;
// A connection may switch to another provider token once in this many
// seconds.
inline constexpr double kProviderTokenUpdateInterval = 20 * 60;

// The largest payload for an "apns-push-type" value: 5120 bytes for "voip",
// 4096 otherwise (also when the type is absent or unknown).
size_t payloadLimit(std::string_view pushType);

struct ProviderHeader {
  std::string name;  // lower case, as HTTP/2 sends it
  std::string value;
};

// A request as it arrived.
struct ProviderRequest {
  std::string method;
  std::string path;
  // The regular header fields in arrival order (no pseudo-headers).
  std::vector<ProviderHeader> headers;
  std::string body;
  // More body arrived than payloadLimit allows for the request's push type;
  // `body` holds what was read before the service stopped reading.
  bool bodyTooLarge = false;

  // The first value of a header; nullptr when absent.
  const std::string* header(std::string_view name) const;
};

// A device token the service knows: the application it belongs to, and
// when the application was removed from the device, if it was.
struct RegisteredDevice {
  std::string bundleId;
  std::optional<int64_t> removedAt;  // milliseconds since the epoch
};

struct ProviderServiceState {
  // By device token in lower-case hexadecimal.
  std::map<std::string, RegisteredDevice, std::less<>> devices;
  // False accepts requests without a provider token (and ignores one that
  // is sent).
  bool requireProviderToken = true;
  std::vector<ProviderKey> keys;
};

// A connection's provider token: the one its requests use, and when it last
// switched from one to another.
struct ProviderConnectionToken {
  std::string token;
  int64_t issuedAt = 0;
  std::optional<double> changedAt;
};

// An accepted notification, as the service hands it on.
struct PushNotification {
  std::string deviceToken;  // lower-case hexadecimal
  std::string bundleId;     // the application it is for
  std::string topic;
  std::string apnsId;
  std::string pushType;  // as sent, or inferred from the payload
  int priority = 10;
  // UNIX seconds until which the service keeps it while the device cannot
  // be reached; 0 (or a time past) is "deliver now or never"; absent is
  // "keep until delivered".
  std::optional<int64_t> expiration;
  std::string collapseId;  // empty when none
  std::string payload;     // the JSON text as sent
  Ref<NSDictionary> payloadDictionary;
};

struct ProviderVerdict {
  int status = 200;
  std::string reason;  // empty when accepted
  // What exactly was wrong, in words; for records and logs, not sent.
  std::string detail;
  // The request's "apns-id", or the generated one when it had none or a
  // malformed one; every response carries it.
  std::string apnsId;
  // For 410: when the device token stopped being valid, in milliseconds
  // since the epoch.
  int64_t timestamp = 0;
  // Set when accepted.
  std::optional<PushNotification> notification;
  // The connection's provider token after this request.
  ProviderConnectionToken connectionToken;

  bool accepted() const { return status == 200; }
  // The response body: empty when accepted, else {"reason": ...} (and
  // "timestamp" for 410).
  std::string body() const;
};

// Judges `request`. `now` is seconds since the epoch; `generatedApnsId` is
// the identifier to use when the request has no valid one of its own.
ProviderVerdict validateProviderRequest(const ProviderRequest& request, const ProviderServiceState& state,
                                        const ProviderConnectionToken& connectionToken, double now,
                                        std::string_view generatedApnsId);

// A device token in the form the service keeps it, lower-case hexadecimal;
// nothing when `text` is not hexadecimal text of whole bytes.
std::optional<std::string> canonicalDeviceToken(std::string_view text);
// Letters, digits, '-' and '.', as bundle identifiers (and topics) are made.
bool isBundleIdentifier(std::string_view text);

// A new random identifier in the canonical UUID form (version 4, lower case).
std::string newApnsId();
// Whether `text` is a UUID in canonical form (8-4-4-4-12 hexadecimal digits,
// either case).
bool isCanonicalUUID(std::string_view text);

}  // namespace objc
