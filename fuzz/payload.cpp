// Remote-notification payloads from JSON text: the JSON bridge, the content
// record filled from the payload, its dictionary form and the message's, and
// those written back as JSON.
//
// Input: the first byte picks the system version (11.0, 12.0, 13.0) and the
// message type; the rest is the JSON text. Every value comes from JSON, so
// JSON can hold every dictionary built from it; the only raise allowed is the
// writer's documented one for nesting deeper than kJSONMaxDepth, which a
// payload near the reader's limit reaches once the content and the message
// wrap it one and two levels down.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Foundation/NSJSONSerialization.h"
#include "UIKit/UIDevice.h"
#include "fuzz_check.h"
#include "orvel/OrvelNotificationContent.h"
#include "orvel/OrvelNotificationMessage.h"

using namespace objc;
using orvel_fuzz::quoted;

namespace {

constexpr std::string_view kVersions[] = {"11.0", "12.0", "13.0"};

// A record holding every field, so that refilling it shows whether
// initApnsNotificationWithDict really starts from an empty record.
Ref<OrvelNotificationContent> fullRecord() {
  auto content = make<OrvelNotificationContent>();
  content->setTitle(str("stale title"));
  content->setSubTitle(str("stale subtitle"));
  content->setBody(str("stale body"));
  content->setSound(str("stale.aiff"));
  content->setBadge(NSNumber::numberWithInteger(99));
  content->setThreadIdentifier(str("stale-thread"));
  content->setLaunchImageName(str("stale.png"));
  content->setSummaryArgument(str("stale"));
  content->setSummaryArgumentCount(7);
  content->setTargetContentIdentifier(str("stale-target"));
  content->setContentAvailable(true);
  content->setMutableContent(true);
  content->setSilentPush(true);
  return content;
}

// Containers around the deepest value: 0 for a scalar, 1 for a flat array.
size_t nesting(const NSObject* value) {
  size_t inner = 0;
  if (auto* array = dynamic_cast<const NSArray*>(value)) {
    for (const Id& item : *array) inner = std::max(inner, nesting(item.get()));
  } else if (auto* dictionary = dynamic_cast<const NSDictionary*>(value)) {
    for (const auto& entry : *dictionary) inner = std::max(inner, nesting(entry.value.get()));
  } else {
    return 0;
  }
  return inner + 1;
}

// `value` as JSON, or nothing when it is nested deeper than the reader
// accepts (it must still be writable). `context` describes the input.
std::optional<std::string> written(const NSObject* value, const auto& context) {
  std::string text;
  try {
    text = JSONSerialize(value);
  } catch (const Exception& e) {
    orvel_fuzz::fail("raises", __FILE__, __LINE__, std::string("could not write a value read from JSON: ") + e.what() +
                                                       ", " + context());
  }
  if (nesting(value) > kJSONMaxDepth) return std::nullopt;
  return text;
}

// Writes `value` and reads it back: the same value, unless it is too deep
// to write.
void requireRoundTrip(const NSObject* value, const auto& context) {
  std::optional<std::string> text = written(value, context);
  if (!text) return;
  Id again = JSONParse(*text);
  FUZZ_REQUIRE(again && again->isEqual(value), context() + ", written as " + quoted(*text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view version = kVersions[data[0] % 3];
  const auto type = static_cast<OrvelNotificationMessageType>((data[0] / 3) % 4);
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  UIDevice::currentDevice()->setSystemVersion(version);

  Ref<NSDictionary> payload = cast<NSDictionary>(JSONParse(text));
  if (!payload) return 0;
  auto context = [&] { return "system " + std::string(version) + ", payload " + quoted(text); };

  auto content = OrvelNotificationContent::apnsNotificationWithDict(payload);
  FUZZ_REQUIRE(content->userInfo() && content->userInfo()->isEqual(payload), context());
  FUZZ_REQUIRE(!content->silentPush() || (content->contentAvailable() && !content->sound() && !content->badge()),
               context());

  Ref<NSDictionary> fields = content->convertDictionary();
  FUZZ_REQUIRE(fields->objectForKey("userInfo") && fields->objectForKey("userInfo")->isEqual(payload), context());
  // A payload never fills the summary or the target content identifier.
  FUZZ_REQUIRE(!fields->objectForKey("summaryArgument") && !fields->objectForKey("targetContentIdentifier"), context());
  requireRoundTrip(fields, context);

  auto refilled = fullRecord()->initApnsNotificationWithDict(payload);
  FUZZ_REQUIRE(refilled->convertDictionary()->isEqual(fields), context());

  auto message = make<OrvelNotificationMessage>();
  message->setNotificationMessageType(type);
  message->setIdentifier(str("fuzz-identifier"));
  message->setContent(content);
  Ref<NSDictionary> messageFields = message->convertDictionary();
  FUZZ_REQUIRE(
      messageFields->objectForKey("notification") && messageFields->objectForKey("notification")->isEqual(fields),
      context());
  requireRoundTrip(messageFields, context);
  return 0;
}
