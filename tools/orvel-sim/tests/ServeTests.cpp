// orvel-sim serve as a provider's developer uses it: real clients (curl
// with the README's command line, @parse/node-apn with the README's
// program) send to it, and the test reads both the client's answer and
// the device's records; the control channel on standard input.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "ToolSupport.h"
#include "sim/Records.h"

extern char** environ;

using namespace orvelsim;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kDeviceToken = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const std::string kFetch = "application:didReceiveRemoteNotification:fetchCompletionHandler:";

fs::path scratch(const std::string& name) {
  fs::path d = fs::temp_directory_path() / ("orvel-sim-serve-" + std::to_string(::getpid()) + "-" + name);
  fs::remove_all(d);
  fs::create_directories(d);
  return d;
}

// orvel-sim serve --json in `directory`, with a pipe to its standard input
// and its records read as they come.
class Serving {
 public:
  Serving(const fs::path& directory, std::vector<std::string> args) {
    int in[2], out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    args.insert(args.begin(), {ORVEL_SIM_EXECUTABLE, "serve", "--json", "--port", "0", "--page-port", "0"});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (!std::string_view(*e).starts_with("ORVEL_")) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, ORVEL_SIM_EXECUTABLE, &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    reader_ = std::thread([this, fd = out[0]] { read(fd); });
  }

  ~Serving() {
    closeInput();
    if (!exited_) {
      ::kill(pid_, SIGKILL);
      wait();
    }
    reader_.join();
  }

  void send(const std::string& line) {
    std::string text = line + "\n";
    EXPECT_EQ(::write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void closeInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }
  void signal(int number) { ::kill(pid_, number); }

  // The first record (from `from` on) that `match` accepts, waiting up to
  // 20 s for it.
  Json waitFor(const std::function<bool(const Json&)>& match, size_t from = 0) {
    std::unique_lock<std::mutex> g(lock_);
    Json found;
    changed_.wait_for(g, 20s, [&] {
      for (size_t i = from; i < records_.size(); ++i)
        if (match(records_[i])) {
          found = records_[i];
          return true;
        }
      return done_;
    });
    return found;
  }
  Json waitForKind(const std::string& kind) {
    return waitFor([&](const Json& r) { return r.value("kind", "") == kind; });
  }

  // The exit status, once it has exited (at most 20 s).
  int wait() {
    for (auto until = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < until;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }

  std::vector<Json> records() {
    std::lock_guard<std::mutex> g(lock_);
    return records_;
  }

 private:
  void read(int fd) {
    std::string pending;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
      pending.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        Json record = Json::parse(pending.substr(0, end), nullptr, false);
        std::lock_guard<std::mutex> g(lock_);
        records_.push_back(record.is_discarded() ? Json(pending.substr(0, end)) : record);
        changed_.notify_all();
      }
    }
    ::close(fd);
    std::lock_guard<std::mutex> g(lock_);
    done_ = true;
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  int input_ = -1;
  bool exited_ = false;
  std::thread reader_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Json> records_;
  bool done_ = false;
};

// A shell command's standard output and error, and its status.
std::pair<int, std::string> shell(const std::string& command) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return {-1, ""};
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
  int status = ::pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string quotedPath(const fs::path& p) { return "'" + p.string() + "'"; }

// The block fenced as ```lang in README.md's section `section`.
std::string readmeBlock(const std::string& section, const std::string& lang) {
  std::ifstream in(std::string(ORVEL_SOURCE_DIR) + "/README.md");
  std::string line, block;
  bool inSection = false, inBlock = false;
  while (std::getline(in, line)) {
    if (line.starts_with("#")) inSection = line.ends_with(section);
    if (!inSection) continue;
    if (inBlock) {
      if (line == "```") return block;
      block += line + "\n";
    } else if (line == "```" + lang) {
      inBlock = true;
    }
  }
  return "";
}

// What a device did with one push: the records from its first "os" record
// until the device turns to another identifier (provider records, which
// the service's thread writes meanwhile, left out).
std::vector<Json> deviceRecordsOf(const std::vector<Json>& records, const std::string& apnsId) {
  std::vector<Json> out;
  bool inside = false;
  for (const Json& r : records) {
    std::string kind = r.value("kind", ""), id = r.value("id", "");
    if (kind == "provider" || kind == "store") continue;
    if (kind == "os" && !id.empty()) {
      if (inside && id != apnsId) break;
      inside = inside || id == apnsId;
    }
    if (inside) out.push_back(r);
  }
  return out;
}

bool hasHostCall(const std::vector<Json>& records, const std::string& call) {
  for (const Json& r : records)
    if (r.value("kind", "") == "host" && r.value("call", "") == call) return true;
  return false;
}

// The library's message event among `records`; null when there is none.
Json messageEvent(const std::vector<Json>& records) {
  for (const Json& r : records)
    if (r.value("kind", "") == "event" && r.value("name", "") == "OrvelDidReceiveMessageNotification") return r;
  return nullptr;
}

// "HTTP/2 200" and "apns-id: ..." of each answer curl --include printed.
std::vector<std::pair<int, std::string>> curlAnswers(const std::string& output) {
  std::vector<std::pair<int, std::string>> answers;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("HTTP/2 ")) answers.push_back({std::atoi(line.c_str() + 7), ""});
    if (line.starts_with("apns-id: ") && !answers.empty()) answers.back().second = line.substr(9, 36);
  }
  return answers;
}

class SimServeClients : public testing::TestWithParam<std::string> {};

TEST_P(SimServeClients, CurlAsTheReadmeShowsAndNodeApnEachSendAnAlertAndABackgroundPush) {
  const std::string version = GetParam();
  const fs::path node = fs::path(ORVEL_SOURCE_DIR) / "platform/pushservice/tests/node/node_modules";
  ASSERT_TRUE(fs::exists(node / "@parse/node-apn")) << "run scripts/setup.sh: it installs the npm packages";
  const fs::path dir = scratch("clients-" + version);
  Serving serving(dir, {"--os", version, "--new-key", "AuthKey.p8", "--key-id", "ABC123DEFG", "--team-id", "DEF123GHIJ",
                        "--exit-after", "4"});
  const Json banner = serving.waitForKind("serve");
  ASSERT_TRUE(banner.is_object()) << "no serve record";
  EXPECT_EQ(banner.value("deviceToken", ""), kDeviceToken);
  EXPECT_EQ(banner.value("topic", ""), "com.orvel.sample");
  const std::string url = banner.value("url", "");
  const std::string port = url.substr(url.rfind(':') + 1);

  const std::string curlBlock = readmeBlock("Send from your own server", "bash");
  const std::string nodeBlock = readmeBlock("Send from your own server", "js");
  ASSERT_NE(curlBlock.find("curl --http2"), std::string::npos);
  ASSERT_NE(nodeBlock.find("@parse/node-apn"), std::string::npos);
  std::ofstream(dir / "send.sh") << curlBlock;
  std::ofstream(dir / "send.js") << nodeBlock;

  auto [curlStatus, curlOutput] = shell("cd " + quotedPath(dir) + " && SERVICE=" + url + " bash send.sh");
  ASSERT_EQ(curlStatus, 0) << curlOutput;
  std::vector<std::pair<int, std::string>> answers = curlAnswers(curlOutput);
  ASSERT_EQ(answers.size(), 2u) << curlOutput;

  auto [nodeStatus, nodeOutput] =
      shell("cd " + quotedPath(dir) + " && PORT=" + port + " NODE_PATH=" + quotedPath(node) + " node send.js");
  ASSERT_EQ(nodeStatus, 0) << nodeOutput;
  std::istringstream nodeLines(nodeOutput);
  for (std::string line; std::getline(nodeLines, line);) {
    Json result = Json::parse(line, nullptr, false);
    ASSERT_TRUE(result.is_object() && result["sent"].size() == 1) << nodeOutput;
    EXPECT_EQ(result["sent"][0].value("device", ""), kDeviceToken);
    answers.push_back({200, result["sent"][0].value("apns-id", "")});
  }
  ASSERT_EQ(answers.size(), 4u) << nodeOutput;

  EXPECT_EQ(serving.wait(), 0) << "--exit-after 4 ends the service once the four pushes are delivered";
  const std::vector<Json> records = serving.records();
  std::vector<Json> provider;
  for (const Json& r : records)
    if (r.value("kind", "") == "provider") provider.push_back(r);
  ASSERT_EQ(provider.size(), 4u);
  for (size_t i = 0; i < answers.size(); ++i) {
    SCOPED_TRACE("push " + std::to_string(i + 1));
    const auto& [status, apnsId] = answers[i];
    EXPECT_EQ(status, 200);
    EXPECT_EQ(provider[i].value("apns-id", ""), apnsId);
    EXPECT_EQ(provider[i].value("status", 0), 200);
    EXPECT_EQ(provider[i].value("path", ""), "/3/device/" + kDeviceToken);
    EXPECT_EQ(provider[i]["headers"].value("apns-topic", ""), "com.orvel.sample");
    EXPECT_EQ(provider[i]["headers"].value("authorization", ""), "bearer ...");

    const bool background = i % 2 == 1;
    EXPECT_EQ(provider[i]["headers"].value("apns-push-type", ""), background ? "background" : "alert");
    const std::vector<Json> device = deviceRecordsOf(records, apnsId);
    ASSERT_FALSE(device.empty()) << "the push " << apnsId << " did not reach the device";
    const std::string callback = background || version == "9.3"
                                     ? kFetch
                                     : "userNotificationCenter:willPresentNotification:withCompletionHandler:";
    EXPECT_TRUE(hasHostCall(device, callback)) << callback;
    const Json event = messageEvent(device);
    ASSERT_TRUE(event.is_object()) << "no message event";
    EXPECT_EQ(event.value("type", -1), 0) << "a push received while active";
    EXPECT_EQ(event["object"]["notification"].value("silentPush", false), background);
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, SimServeClients, testing::Values("9.3", "13.0"),
                         [](const auto& info) { return info.param == "9.3" ? "Legacy" : "Current"; });

// A push over h2c without a token, as curl sends it.
std::pair<int, std::string> curlH2c(const std::string& url, const std::string& payload,
                                    const std::string& headers = "") {
  auto [status, output] = shell("curl -sS --http2-prior-knowledge --include " + headers + " --data '" + payload + "' " +
                                url + "/3/device/" + kDeviceToken);
  std::vector<std::pair<int, std::string>> answers = curlAnswers(output);
  EXPECT_EQ(status, 0) << output;
  return answers.size() == 1 ? answers[0] : std::pair<int, std::string>{-1, output};
}

TEST(SimServeControl, StepsAndABadLineAreAnsweredInTheRecordStreamAndServingGoesOn) {
  Serving serving(scratch("control"), {"--h2c", "--no-auth"});
  const Json banner = serving.waitForKind("serve");
  ASSERT_TRUE(banner.is_object());
  EXPECT_EQ(banner.value("auth", ""), "none");

  serving.send(R"({"state": "background"})");
  serving.send(R"({"state": "sideways"})");
  serving.send("not json");
  serving.send(R"({"expect": {"state": "background", "host": ["applicationDidEnterBackground:"]}})");
  const Json expect = serving.waitForKind("expect");
  ASSERT_TRUE(expect.is_object());
  EXPECT_TRUE(expect.value("ok", false)) << expect.dump();

  std::vector<Json> errors;
  for (const Json& r : serving.records())
    if (r.value("kind", "") == "error") errors.push_back(r);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].value("control", 0), 2);
  EXPECT_EQ(errors[0].value("what", "").rfind("control:2:", 0), 0u) << errors[0].dump();
  EXPECT_NE(errors[0].value("what", "").find("sideways"), std::string::npos);
  EXPECT_EQ(errors[1].value("control", 0), 3);

  // Still serving: a push after the bad lines is delivered.
  const std::pair<int, std::string> answer = curlH2c(banner.value("url", ""), R"({"aps":{"alert":"after"}})");
  EXPECT_EQ(answer.first, 200);
  EXPECT_TRUE(serving.waitFor([&](const Json& r) { return r.value("id", "") == answer.second; }).is_object());

  // A VoIP payload may be longer than an alert's; once accepted it reaches
  // the device like any other.
  const std::string call = R"({"aps":{"alert":"call"},"pad":")" + std::string(4500, 'v') + R"("})";
  const std::pair<int, std::string> voip = curlH2c(banner.value("url", ""), call,
                                                   "-H 'apns-push-type: voip' -H 'apns-topic: com.orvel.sample.voip'");
  EXPECT_EQ(voip.first, 200);
  EXPECT_TRUE(serving.waitFor([&](const Json& r) { return r.value("id", "") == voip.second; }).is_object());
  // Its size is the text as sent, though written again it is longer.
  std::string numbers = R"({"aps":{"alert":"numbers"},"n":[1e10)";
  while (numbers.size() < 4000) numbers += ",1e10";
  const std::pair<int, std::string> sent = curlH2c(banner.value("url", ""), numbers + "]}");
  EXPECT_EQ(sent.first, 200);
  EXPECT_TRUE(serving.waitFor([&](const Json& r) { return r.value("id", "") == sent.second; }).is_object());

  serving.signal(SIGTERM);
  EXPECT_EQ(serving.wait(), 1) << "SIGTERM ends the service; the bad lines make the status 1";
}

// The live page beside the service: a push sent with curl shows on the
// phone panel with its badge, and the page's "open" button opens it.
TEST(SimServeLivePage, APushFromCurlShowsOnThePageAndItsOpenButtonOpensIt) {
  SKIP_WITHOUT_CHROMIUM();
  Serving serving(scratch("live"), {"--h2c", "--no-auth"});
  const Json banner = serving.waitForKind("serve");
  ASSERT_TRUE(banner.is_object());
  const std::string page = banner.value("page", "");
  ASSERT_EQ(page.rfind("http://127.0.0.1:", 0), 0u) << banner.dump();

  serving.send(R"({"state": "background"})");
  ASSERT_TRUE(serving
                  .waitFor([](const Json& r) {
                    return r.value("kind", "") == "host" && r.value("call", "") == "applicationDidEnterBackground:";
                  })
                  .is_object());
  const std::pair<int, std::string> answer =
      curlH2c(banner.value("url", ""), R"({"aps":{"alert":{"title":"Live order","body":"On its way"},"badge":3}})");
  ASSERT_EQ(answer.first, 200);
  ASSERT_TRUE(serving.waitFor([&](const Json& r) { return r.value("id", "") == answer.second; }).is_object());

  std::string dom = Browser::dom(page);
  EXPECT_NE(dom.find("<b class=\"title\">Live order</b>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("<span class=\"badge\">3</span>"), std::string::npos) << dom;

  // The first button opens the latest notification, as the user's tap.
  dom = Browser::dom(page + "#press=0", {"--virtual-time-budget=2000"});
  const Json opened = serving.waitFor([](const Json& r) {
    return r.value("kind", "") == "event" && r.value("name", "") == "OrvelDidReceiveMessageNotification" &&
           r.value("type", 0) == 2;
  });
  EXPECT_TRUE(opened.is_object()) << "no opened event after the page's open button";
  EXPECT_NE(dom.find("type 2 (remote opened)"), std::string::npos) << dom;

  serving.signal(SIGTERM);
  EXPECT_EQ(serving.wait(), 0);
}

TEST(SimServeControl, OfflineTheServiceKeepsThePushAndDeliversItWhenTheDeviceIsBack) {
  Serving serving(scratch("network"), {"--h2c", "--no-auth"});
  const Json banner = serving.waitForKind("serve");
  ASSERT_TRUE(banner.is_object());
  serving.send(R"({"network": "offline"})");
  serving.send(R"({"note": "offline"})");
  ASSERT_TRUE(serving.waitForKind("note").is_object());

  const std::pair<int, std::string> kept = curlH2c(banner.value("url", ""), R"({"aps":{"alert":"while away"}})");
  EXPECT_EQ(kept.first, 200) << "accepted, as the real service does";
  const auto reached = [&](const Json& r) {
    return r.value("kind", "") != "store" && r.value("id", "") == kept.second;
  };
  EXPECT_TRUE(serving.waitFor([&](const Json& r) { return r.value("event", "") == "kept"; }).is_object());

  serving.send(R"({"network": "online"})");
  EXPECT_TRUE(serving.waitFor(reached).is_object()) << "delivered once the device is back";
  const std::vector<Json> records = serving.records();
  size_t forwarded = 0, online = 0, delivered = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].value("step", "") == "network" && records[i]["value"] == "online") online = i;
    if (records[i].value("event", "") == "forwarded") forwarded = i;
    if (!delivered && reached(records[i])) delivered = i;
  }
  EXPECT_LT(online, forwarded);
  EXPECT_LT(forwarded, delivered);
  serving.signal(SIGINT);
  EXPECT_EQ(serving.wait(), 0);
}

// A second serve on a port that is taken fails with the reason, and leaves
// the running one's certificate and no key of its own behind.
TEST(SimServeControl, AServeThatCannotListenWritesNoCertificateAndNoKey) {
  const fs::path dir = scratch("taken");
  const std::string certificate = (dir / "service.pem").string();
  Serving running(dir, {"--certificate-out", certificate, "--new-key", (dir / "first.p8").string()});
  const Json banner = running.waitForKind("serve");
  ASSERT_TRUE(banner.is_object());
  const std::string url = banner.value("url", "");
  const std::string port = url.substr(url.rfind(':') + 1);
  const std::string trusted = slurp(certificate);
  ASSERT_FALSE(trusted.empty());

  const Result second = sim({"serve", "--json", "--port", port, "--no-page", "--certificate-out", certificate,
                             "--new-key", (dir / "second.p8").string()});
  EXPECT_NE(second.status, 0);
  EXPECT_NE(second.err.find("cannot listen on 127.0.0.1:" + port), std::string::npos) << second.err;
  EXPECT_EQ(slurp(certificate), trusted) << "the running service's certificate was replaced";
  EXPECT_FALSE(fs::exists(dir / "second.p8"));
  EXPECT_TRUE(fs::exists(dir / "first.p8"));
  running.signal(SIGINT);
  EXPECT_EQ(running.wait(), 0);
}

// Many pushes at once from a real load generator: serve's record stream
// stays whole (every line a record, in the order made) and every push is
// answered, delivered and recorded exactly once.
TEST(SimServeControl, ManyPushesAtOnceAreEachDeliveredAndRecordedOnceInOrder) {
  ASSERT_EQ(shell("command -v h2load").first, 0) << "run scripts/setup.sh: it installs nghttp2-client";
  constexpr int kPushes = 3000;
  const fs::path dir = scratch("many");
  Serving serving(dir, {"--h2c", "--no-auth", "--exit-after", std::to_string(kPushes)});
  const Json banner = serving.waitForKind("serve");
  ASSERT_TRUE(banner.is_object());
  { std::ofstream(dir / "payload.json") << R"({"aps":{"alert":"many","badge":1}})"; }
  const auto [status, output] =
      shell("h2load -n " + std::to_string(kPushes) + " -c 2 -m 100 -d " + quotedPath(dir / "payload.json") +
            " -H 'apns-topic: com.orvel.sample' -H 'apns-push-type: alert' '" + banner.value("url", "") +
            "/3/device/" + banner.value("deviceToken", "") + "'");
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find(std::to_string(kPushes) + " succeeded"), std::string::npos) << output;
  EXPECT_EQ(serving.wait(), 0);

  std::set<std::string> accepted, delivered;
  size_t malformed = 0;
  double lastDeviceTime = 0;
  bool inOrder = true;
  for (const Json& r : serving.records()) {
    if (!r.is_object()) {
      ++malformed;
      continue;
    }
    const std::string kind = r.value("kind", "");
    if (kind == "provider" && r.value("status", 0) == 200) {
      EXPECT_TRUE(accepted.insert(r.value("apns-id", "")).second);
    }
    if (kind == "os" && r.contains("id")) {
      EXPECT_TRUE(delivered.insert(r.value("id", "")).second);
    }
    if (kind != "provider" && kind != "store") {
      inOrder = inOrder && r.value("t", 0.0) >= lastDeviceTime;
      lastDeviceTime = std::max(lastDeviceTime, r.value("t", 0.0));
    }
  }
  EXPECT_EQ(malformed, 0u) << "lines that are not whole records";
  EXPECT_EQ(accepted.size(), static_cast<size_t>(kPushes));
  EXPECT_EQ(delivered, accepted);
  EXPECT_TRUE(inOrder) << "the device's records went back in time";
}

}  // namespace

