// Real provider clients against the service: curl with the documented
// command line, and a provider library from the npm registry.
#include <filesystem>
#include <fstream>

#include "Foundation/NSArray.h"
#include "Foundation/NSJSONSerialization.h"
#include "Foundation/NSNumber.h"
#include "Foundation/NSString.h"
#include "PushTestSupport.h"

namespace pushtest {
namespace {

class PushServiceClients : public PushServiceTest {
 protected:
  void SetUp() override {
    directory = std::filesystem::temp_directory_path() / ("pushservice-clients-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    certificate = (directory / "service.pem").string();
    start([&](PushServiceOptions& o) { o.writeCertificateTo = certificate; });
  }
  void TearDown() override { std::filesystem::remove_all(directory); }

  std::filesystem::path directory;
  std::string certificate;
};

struct CurlAnswer {
  int status = 0;
  std::string apnsId;
  std::string body;
};

// curl's output with -D - and -w '\n%{http_code}': headers, a blank line,
// the body, and the status on the last line.
CurlAnswer parseCurl(const std::string& output) {
  CurlAnswer answer;
  const size_t headersEnd = output.find("\r\n\r\n");
  const size_t statusStart = output.rfind('\n');
  if (headersEnd == std::string::npos || statusStart == std::string::npos) return answer;
  const std::string headers = output.substr(0, headersEnd);
  const size_t id = headers.find("apns-id: ");
  if (id != std::string::npos) answer.apnsId = headers.substr(id + 9, 36);
  answer.body = output.substr(headersEnd + 4, statusStart - headersEnd - 4);
  answer.status = std::atoi(output.c_str() + statusStart + 1);
  return answer;
}

TEST_F(PushServiceClients, CurlWithTheDocumentedCommandLineSendsAlertAndBackgroundPushes) {
  auto curl = [&](const std::string& pushType, const std::string& payload, const std::string& jwt,
                  const std::vector<std::string>& more = {}) {
    std::vector<std::string> arguments = {"curl",
                                          "-sS",
                                          "--http2",
                                          "--cacert",
                                          certificate,
                                          "-D",
                                          "-",
                                          "-w",
                                          "\n%{http_code}",
                                          "--header",
                                          "apns-topic: " + kBundle,
                                          "--header",
                                          "apns-push-type: " + pushType,
                                          "--header",
                                          "authorization: bearer " + jwt};
    arguments.insert(arguments.end(), more.begin(), more.end());
    arguments.insert(arguments.end(), {"--data", payload, service->url() + "/3/device/" + kDeviceToken});
    const CommandResult result = runCommand(arguments);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    return parseCurl(result.output);
  };
  const CurlAnswer alert = curl("alert", kAlert, token);
  EXPECT_EQ(alert.status, 200);
  EXPECT_TRUE(isCanonicalUUID(alert.apnsId)) << alert.apnsId;
  const CurlAnswer background = curl("background", kSilent, token, {"--header", "apns-priority: 5"});
  EXPECT_EQ(background.status, 200);

  ASSERT_TRUE(sink.waitFor(2));
  const std::vector<PushNotification> delivered = sink.delivered();
  EXPECT_EQ(delivered[0].apnsId, alert.apnsId);
  EXPECT_EQ(delivered[0].pushType, "alert");
  EXPECT_EQ(delivered[1].apnsId, background.apnsId);
  EXPECT_EQ(delivered[1].pushType, "background");
  EXPECT_EQ(delivered[1].priority, 5);

  const CurlAnswer refused = curl("alert", kAlert, token.substr(0, token.size() - 4) + "AAAA");
  EXPECT_EQ(refused.status, 403);
  EXPECT_EQ(refused.body, R"({"reason":"InvalidProviderToken"})");
  EXPECT_EQ(sink.delivered().size(), 2u);
}

TEST_F(PushServiceClients, TheNodeProviderLibrarySendsAlertAndBackgroundPushesWithItsOwnTokens) {
  const std::filesystem::path node = PUSHSERVICE_NODE_DIR;
  ASSERT_TRUE(std::filesystem::exists(node / "node_modules/@parse/node-apn"))
      << "the npm packages of " << node << " are not installed: run scripts/setup.sh (it runs npm ci there)";
  const std::string keyFile = (directory / "AuthKey.p8").string();
  key.writePrivateKey(keyFile);
  const std::string config =
      R"({"port":)" + std::to_string(service->port()) + R"(,"ca":")" + certificate + R"(","key":")" + keyFile +
      R"(","keyId":")" + key.keyId() + R"(","teamId":")" + key.teamId() + R"(","deviceToken":")" + kDeviceToken +
      R"(","notifications":[)" + R"({"topic":")" + kBundle + R"(","pushType":"alert","priority":10,"payload":)" +
      kAlert + R"(},{"topic":")" + kBundle + R"(","pushType":"background","priority":5,"payload":)" + kSilent +
      R"(},{"topic":")" + kBundle + R"(","pushType":"background","priority":10,"payload":)" + kSilent + "}]}";
  const CommandResult result = runCommand({"node", (node / "send.js").string(), config});
  ASSERT_EQ(result.exitCode, 0) << result.output;

  std::vector<Ref<NSDictionary>> results;
  std::stringstream lines(result.output);
  for (std::string line; std::getline(lines, line);) {
    if (auto parsed = cast<NSDictionary>(JSONParse(line))) results.push_back(parsed);
  }
  ASSERT_EQ(results.size(), 3u) << result.output;
  auto first = [](NSDictionary* r, const char* list) {
    auto* entries = cast<NSArray>(r->objectForKey(list));
    return entries && entries->count() == 1 ? cast<NSDictionary>(entries->objectAtIndex(0)) : nullptr;
  };
  std::vector<std::string> ids;
  for (size_t i = 0; i < 2; ++i) {
    NSDictionary* sent = first(results[i], "sent");
    ASSERT_TRUE(sent) << result.output;
    EXPECT_EQ(asString(sent->objectForKey("device"))->utf8(), kDeviceToken);
    ids.push_back(asString(sent->objectForKey("apns-id"))->utf8());
  }
  NSDictionary* failed = first(results[2], "failed");
  ASSERT_TRUE(failed) << result.output;
  EXPECT_EQ(asNumber(failed->objectForKey("status"))->integerValue(), 400);
  EXPECT_EQ(asString(cast<NSDictionary>(failed->objectForKey("response"))->objectForKey("reason"))->utf8(),
            "BadPriority");

  const std::vector<PushNotification> delivered = sink.delivered();
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(delivered[0].apnsId, ids[0]);
  EXPECT_EQ(delivered[0].pushType, "alert");
  EXPECT_EQ(delivered[1].apnsId, ids[1]);
  EXPECT_EQ(delivered[1].pushType, "background");
}

}  // namespace
}  // namespace pushtest
