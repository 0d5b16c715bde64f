// The push service's verdict on a provider request, from the headers and
// body as the transport hands them over.
//
// Input: the first byte holds switches (bit 0: provider tokens are not
// required; bit 1: the transport stopped reading a body over the limit;
// bit 2: the connection already uses another token, changed just now). The
// rest is text: a request line "METHOD PATH", header lines "name: value",
// an empty line, and the body. "$TOKEN" in a header value becomes a valid
// provider token and "$DEVICE" in the path the registered device token, so
// that inputs get past authentication and the token check.
//
// Properties: validation never raises and always names the notification
// with a canonical UUID; a refusal's status and reason are a documented
// pair and its body is JSON carrying the reason; an accepted request yields
// a notification that keeps every rule it was checked against; the same
// input gives the same verdict.
// fuzz-link: orvel::pushservice
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "Foundation/NSJSONSerialization.h"
#include "Foundation/NSString.h"
#include "PushService/ProviderRequest.h"
#include "fuzz_check.h"

using namespace objc;
using orvel_fuzz::quoted;

namespace {

constexpr double kNow = 1767225600;
const std::string kDevice = "5f0c3e2a9b8d7c6e5f4a3b2c1d0e9f8a7b6c5d4e3f2a1b0c9d8e7f6a5b4c3d2e";
const std::string kGeneratedId = "0b6f1c9e-3d2a-4e8b-9f7c-1a2b3c4d5e6f";

const std::map<int, std::set<std::string>> kReasons = {
    {400,
     {"BadCollapseId", "BadDeviceToken", "BadExpirationDate", "BadMessageId", "BadPriority", "BadTopic",
      "DeviceTokenNotForTopic", "DuplicateHeaders", "InvalidPushType", "MissingDeviceToken", "MissingTopic",
      "PayloadEmpty", "TopicDisallowed", "BadPayload"}},
    {403, {"ExpiredProviderToken", "InvalidProviderToken", "MissingProviderToken"}},
    {404, {"BadPath"}},
    {405, {"MethodNotAllowed"}},
    {410, {"Unregistered"}},
    {413, {"PayloadTooLarge"}},
    {429, {"TooManyProviderTokenUpdates"}},
};

struct Fixture {
  ProviderKey key = ProviderKey::generate("KEYID12345", "TEAMID1234");
  std::string token = mintProviderToken(key, static_cast<int64_t>(kNow) - 60);
  ProviderServiceState state;
  Fixture() {
    state.keys = {key};
    state.devices[kDevice] = {"com.example.orvel", std::nullopt};
    state.devices[std::string(64, 'b')] = {"com.example.other", std::nullopt};
    state.devices[std::string(64, 'c')] = {"com.example.gone", 1767000000123};
  }
};

const Fixture& fixture() {
  static const Fixture* f = new Fixture;
  return *f;
}

std::string replaced(std::string text, std::string_view placeholder, const std::string& with) {
  for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + with.size())) {
    text.replace(at, placeholder.size(), with);
  }
  return text;
}

// Splits off one line ("\n", an optional "\r" before it dropped); false at
// the end of the text.
bool nextLine(std::string_view& text, std::string_view& line) {
  if (text.empty()) return false;
  const size_t end = text.find('\n');
  line = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return true;
}

ProviderRequest parse(std::string_view text, bool bodyTooLarge) {
  ProviderRequest request;
  std::string_view line;
  if (nextLine(text, line)) {
    const size_t space = line.find(' ');
    request.method = std::string(line.substr(0, space));
    if (space != std::string_view::npos)
      request.path = replaced(std::string(line.substr(space + 1)), "$DEVICE", kDevice);
  }
  while (nextLine(text, line) && !line.empty()) {
    const size_t colon = line.find(':');
    std::string_view value = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    request.headers.push_back(
        {std::string(line.substr(0, colon)), replaced(std::string(value), "$TOKEN", fixture().token)});
  }
  request.body = std::string(text);
  request.bodyTooLarge = bodyTooLarge;
  return request;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t switches = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  ProviderServiceState state = fixture().state;
  state.requireProviderToken = !(switches & 1);
  const ProviderRequest request = parse(text, switches & 2);
  ProviderConnectionToken connection;
  if (switches & 4) connection = {"another.token.value", static_cast<int64_t>(kNow), kNow};
  auto context = [&] { return "switches " + std::to_string(switches) + ", request " + quoted(text); };

  const ProviderVerdict verdict = validateProviderRequest(request, state, connection, kNow, kGeneratedId);
  FUZZ_REQUIRE(isCanonicalUUID(verdict.apnsId), context());
  const ProviderVerdict again = validateProviderRequest(request, state, connection, kNow, kGeneratedId);
  FUZZ_REQUIRE(again.status == verdict.status && again.reason == verdict.reason && again.apnsId == verdict.apnsId,
               context());

  if (!verdict.accepted()) {
    const auto reasons = kReasons.find(verdict.status);
    FUZZ_REQUIRE(reasons != kReasons.end() && reasons->second.count(verdict.reason),
                 std::to_string(verdict.status) + " " + verdict.reason + ", " + context());
    FUZZ_REQUIRE(!verdict.notification && !verdict.detail.empty(), context());
    auto body = cast<NSDictionary>(JSONParse(verdict.body()));
    FUZZ_REQUIRE(body && asString(body->objectForKey("reason")) &&
                     asString(body->objectForKey("reason"))->utf8() == verdict.reason,
                 verdict.body() + ", " + context());
    return 0;
  }

  FUZZ_REQUIRE(verdict.status == 200 && verdict.reason.empty() && verdict.body().empty(), context());
  FUZZ_REQUIRE(verdict.notification.has_value(), context());
  const PushNotification& n = *verdict.notification;
  FUZZ_REQUIRE(request.method == "POST" && !request.bodyTooLarge, context());
  FUZZ_REQUIRE(n.payload == request.body && n.payloadDictionary, context());
  FUZZ_REQUIRE(n.payload.size() <= payloadLimit(n.pushType), context());
  FUZZ_REQUIRE(n.priority == 10 || n.priority == 5 || n.priority == 1, context());
  FUZZ_REQUIRE(n.pushType != "background" || n.priority == 5, context());
  FUZZ_REQUIRE(n.collapseId.size() <= kMaxCollapseIdBytes, context());
  FUZZ_REQUIRE(n.apnsId == verdict.apnsId, context());
  const auto device = state.devices.find(n.deviceToken);
  FUZZ_REQUIRE(device != state.devices.end() && !device->second.removedAt && device->second.bundleId == n.bundleId,
               context());
  FUZZ_REQUIRE(n.topic.starts_with(n.bundleId), context());
  FUZZ_REQUIRE(!state.requireProviderToken || verdict.connectionToken.token == fixture().token, context());
  return 0;
}
