// The verdict on a provider request, apart from any transport.
#include <functional>
#include <set>

#include "Foundation/NSString.h"
#include "Refusals.h"

namespace pushtest {
namespace {

constexpr double kNow = 1767225600;

class ProviderValidation : public ::testing::Test {
 protected:
  ProviderValidation() {
    state.keys = {key};
    state.devices[kDeviceToken] = {kBundle, std::nullopt};
    state.devices[kOtherToken] = {kOtherBundle, std::nullopt};
    state.devices[kRemovedToken] = {kRemovedBundle, kRemovedAt};
  }

  std::string token(int64_t issuedAt = static_cast<int64_t>(kNow)) const { return mintProviderToken(key, issuedAt); }

  ProviderRequest request(const std::string& body = kAlert) const { return documentedRequest(key, kNow, body); }

  ProviderVerdict judge(const ProviderRequest& r, const ProviderConnectionToken& connection = {},
                        double now = kNow) const {
    return validateProviderRequest(r, state, connection, now, kGenerated);
  }

  const std::string kGenerated = "0b6f1c9e-3d2a-4e8b-9f7c-1a2b3c4d5e6f";
  ProviderKey key = ProviderKey::generate("KEYID12345", "TEAMID1234");
  ProviderServiceState state;
};

TEST_F(ProviderValidation, AcceptsTheDocumentedRequestAndFillsTheNotification) {
  ProviderRequest r = request();
  r.path = "/3/device/" + std::string(kDeviceToken).replace(0, 6, "5F0C3E");  // either case
  ProviderVerdict verdict = judge(r);
  ASSERT_TRUE(verdict.accepted()) << verdict.reason << ": " << verdict.detail;
  EXPECT_EQ(verdict.body(), "");
  const PushNotification& n = *verdict.notification;
  EXPECT_EQ(n.deviceToken, kDeviceToken);
  EXPECT_EQ(n.bundleId, kBundle);
  EXPECT_EQ(n.topic, kBundle);
  EXPECT_EQ(n.apnsId, kGenerated) << "generated when the request has none";
  EXPECT_EQ(verdict.apnsId, kGenerated);
  EXPECT_EQ(n.pushType, "alert");
  EXPECT_EQ(n.priority, 10);
  EXPECT_FALSE(n.expiration);
  EXPECT_EQ(n.payload, kAlert);
  auto* aps = cast<NSDictionary>(n.payloadDictionary->objectForKey("aps"));
  ASSERT_TRUE(aps);
  EXPECT_EQ(asString(aps->objectForKey("alert"))->utf8(), "Hello");
}

TEST_F(ProviderValidation, KeepsTheProvidersIdentifierExpirationCollapseIdAndPriority) {
  ProviderRequest r = request();
  set(r, "apns-id", "EABEAE54-14A8-11E5-B60B-1697F925EC7B");
  set(r, "apns-expiration", "1767229200");
  set(r, "apns-collapse-id", std::string(kMaxCollapseIdBytes, 'x'));
  set(r, "apns-priority", "5");
  ProviderVerdict verdict = judge(r);
  ASSERT_TRUE(verdict.accepted()) << verdict.detail;
  EXPECT_EQ(verdict.apnsId, "EABEAE54-14A8-11E5-B60B-1697F925EC7B");
  EXPECT_EQ(verdict.notification->apnsId, verdict.apnsId);
  EXPECT_EQ(verdict.notification->expiration, 1767229200);
  EXPECT_EQ(verdict.notification->collapseId, std::string(kMaxCollapseIdBytes, 'x'));
  EXPECT_EQ(verdict.notification->priority, 5);
}

TEST_F(ProviderValidation, WithoutAPushTypeTheSilentPayloadIsABackgroundPushAtPriorityFive) {
  ProviderRequest silent = request(kSilent);
  drop(silent, "apns-push-type");
  ProviderVerdict verdict = judge(silent);
  ASSERT_TRUE(verdict.accepted()) << verdict.detail;
  EXPECT_EQ(verdict.notification->pushType, "background");
  EXPECT_EQ(verdict.notification->priority, 5);

  ProviderRequest visible = request(R"({"aps":{"content-available":1,"sound":"default"}})");
  drop(visible, "apns-push-type");
  EXPECT_EQ(judge(visible).notification->pushType, "alert");

  ProviderRequest declared = request(kSilent);
  set(declared, "apns-push-type", "background");
  EXPECT_EQ(judge(declared).notification->priority, 5) << "the only priority a background push may have";
}

TEST_F(ProviderValidation, VoipPushesHaveTheirOwnTopicAndALargerPayload) {
  ProviderRequest r = request(R"({"aps":{},"call":")" + std::string(5000, 'v') + "\"}");
  set(r, "apns-push-type", "voip");
  set(r, "apns-topic", kBundle + ".voip");
  ProviderVerdict verdict = judge(r);
  ASSERT_TRUE(verdict.accepted()) << verdict.detail;
  EXPECT_EQ(verdict.notification->topic, kBundle + ".voip");
  EXPECT_EQ(verdict.notification->bundleId, kBundle);

  r.body = R"({"call":")" + std::string(kMaxVoipPayloadBytes, 'v') + "\"}";
  EXPECT_EQ(judge(r).reason, "PayloadTooLarge");
}

TEST_F(ProviderValidation, RefusesEachFaultWithItsStatusAndReason) {
  for (const Refusal& refusal : refusals(key, kNow)) {
    SCOPED_TRACE(refusal.what);
    ProviderRequest r = request();
    refusal.change(r);
    ProviderVerdict verdict = judge(r);
    EXPECT_EQ(verdict.status, refusal.status);
    EXPECT_EQ(verdict.reason, refusal.reason) << verdict.detail;
    EXPECT_FALSE(verdict.detail.empty());
    EXPECT_FALSE(verdict.notification);
    EXPECT_TRUE(isCanonicalUUID(verdict.apnsId)) << "every answer names the notification";
    EXPECT_EQ(verdict.body().rfind(R"({"reason":")" + std::string(refusal.reason) + "\"", 0), 0u) << verdict.body();
  }
}

TEST_F(ProviderValidation, AnUnregisteredTokenIsAnsweredWithTheTimeItStoppedBeingValid) {
  ProviderRequest r = request();
  r.path = "/3/device/" + kRemovedToken;
  set(r, "apns-topic", "com.example.gone");
  EXPECT_EQ(judge(r).body(), R"({"reason":"Unregistered","timestamp":1767000000123})");
}

TEST_F(ProviderValidation, AnExpiredTokenIsRefusedAsExpired) {
  ProviderRequest r = request();
  set(r, "authorization", "bearer " + token(static_cast<int64_t>(kNow) - 3601));
  EXPECT_EQ(judge(r).reason, "ExpiredProviderToken");
  set(r, "authorization", "bearer " + token(static_cast<int64_t>(kNow) - 3600));
  EXPECT_TRUE(judge(r).accepted()) << "an hour old is still good";
}

TEST_F(ProviderValidation, AConnectionMaySwitchTokensOnceInTwentyMinutes) {
  const std::string first = token(), second = token(static_cast<int64_t>(kNow) + 1),
                    third = token(static_cast<int64_t>(kNow) + 2);
  auto with = [&](const std::string& jwt) {
    ProviderRequest r = request();
    set(r, "authorization", "bearer " + jwt);
    return r;
  };
  ProviderVerdict v1 = judge(with(first));
  ASSERT_TRUE(v1.accepted());
  EXPECT_EQ(v1.connectionToken.token, first);
  EXPECT_FALSE(v1.connectionToken.changedAt) << "the first token is not a change";

  ProviderVerdict v2 = judge(with(second), v1.connectionToken, kNow + 10);
  ASSERT_TRUE(v2.accepted()) << "one change";
  EXPECT_EQ(v2.connectionToken.changedAt, kNow + 10);

  ProviderVerdict v3 = judge(with(third), v2.connectionToken, kNow + 10 + 1199);
  EXPECT_EQ(v3.status, 429);
  EXPECT_EQ(v3.reason, "TooManyProviderTokenUpdates");
  EXPECT_EQ(v3.connectionToken.token, second) << "a refused token does not become the connection's";
  EXPECT_TRUE(judge(with(second), v3.connectionToken, kNow + 1209).accepted()) << "the current token still works";
  EXPECT_TRUE(judge(with(third), v2.connectionToken, kNow + 10 + 1200).accepted()) << "20 minutes later";

  ProviderConnectionToken stale = v1.connectionToken;
  EXPECT_EQ(judge(with(first), stale, kNow + 3601).reason, "ExpiredProviderToken")
      << "a token the connection already uses still ages";
}

TEST_F(ProviderValidation, WithoutTokenAuthenticationTheTopicDefaultsToTheApplication) {
  state.requireProviderToken = false;
  ProviderRequest r = request();
  drop(r, "authorization");
  drop(r, "apns-topic");
  ProviderVerdict verdict = judge(r);
  ASSERT_TRUE(verdict.accepted()) << verdict.detail;
  EXPECT_EQ(verdict.notification->topic, kBundle);
  set(r, "apns-push-type", "voip");
  EXPECT_EQ(judge(r).notification->topic, kBundle + ".voip");
}

TEST(ProviderIdentifiers, GeneratedIdentifiersAreCanonicalAndDistinct) {
  const std::string a = newApnsId(), b = newApnsId();
  EXPECT_TRUE(isCanonicalUUID(a)) << a;
  EXPECT_NE(a, b);
  EXPECT_EQ(a[14], '4') << "version 4";
  // Many in a row (the random bytes are drawn in blocks), all different.
  std::set<std::string> many;
  for (int i = 0; i < 1000; ++i) {
    std::string id = newApnsId();
    EXPECT_TRUE(isCanonicalUUID(id) && id[14] == '4' && std::string("89ab").find(id[19]) != std::string::npos) << id;
    many.insert(std::move(id));
  }
  EXPECT_EQ(many.size(), 1000u);
  EXPECT_FALSE(isCanonicalUUID("eabeae54-14a8-11e5-b60b-1697f925ec7"));
  EXPECT_FALSE(isCanonicalUUID("eabeae5414a811e5b60b1697f925ec7b"));
  EXPECT_FALSE(isCanonicalUUID("gabeae54-14a8-11e5-b60b-1697f925ec7b"));
}

}  // namespace
}  // namespace pushtest
