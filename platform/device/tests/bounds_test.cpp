// What keeps a device's work per step and its memory bounded: an advance
// fires one by one only up to a limit, a device that runs for ever holds
// only what is still listed, and settling waits for downloads in flight as
// long as their own time-outs, within a bound of its own.
#include <atomic>
#include <memory>

#include "LoopbackServers.h"
#include "support.h"

namespace device_test {
namespace {

class DeviceTime : public DeviceTest {};
class DeviceMemory : public DeviceTest {};

TEST_F(DeviceTime, ARepeatingRequestFiresOneByOneOnlyUpToTheLimitPerAdvance) {
  useVersion("10.0");
  launch(kFullHost);
  device->setState(AppState::Background);
  const double start = device->now();
  auto trigger = send<Ref<UNNotificationTrigger>>(UNTimeIntervalNotificationTrigger::class_(),
                                                  sel<"triggerWithTimeInterval:repeats:">(), 60.0, true);
  auto content = make<UNMutableNotificationContent>();
  content->setBody(str("every minute"));
  centre->addNotificationRequest(UNNotificationRequest::requestWithIdentifier(str("minute"), content, trigger),
                                 nullptr);
  // A century of minutes: 52 million firings, were each one taken in turn.
  const double century = 3155760000;
  device->advance(century);
  size_t fired = 0;
  for (const auto& r : device->records("local")) fired += r.get("change") == "delivered";
  EXPECT_EQ(fired, static_cast<size_t>(Device::kMaxFiringsPerAdvance) + 1) << "then once for what was missed";
  EXPECT_EQ(device->now() - start, century);
  ASSERT_EQ(centre->pendingRequests().size(), 1u);
  EXPECT_GT(centre->pendingRequests().front().fireTime, device->now()) << "it goes on repeating";
}

TEST_F(DeviceMemory, ALongRunningDeviceHoldsOnlyWhatIsStillListed) {
  this->device.reset();  // one device at a time
  for (const char* version : {"9.3", "13.0"}) {
    SCOPED_TRACE(version);
    UIDevice::currentDevice()->setSystemVersion(version);
    DeviceOptions options;
    options.logPassOn = [](const std::string&) {};
    options.keepRecords = false;
    Device longRunning(options);
    std::atomic<size_t> seen{0};
    longRunning.setRecordObserver([&](const DeviceRecord&) { ++seen; });
    longRunning.launch([] { return Id(newHost(kFullHost)); });
    longRunning.setState(AppState::Background);
    auto payload = json(kVisible);
    for (int i = 0; i < 400; ++i) {
      longRunning.push(payload);
      // The user clears what is shown now and then: writing 0 to the badge
      // empties the notice bar and the delivered list.
      if (i % 50 == 49) {
        UIApplication::sharedApplication()->setApplicationIconBadgeNumber(0);
        UNUserNotificationCenter::currentNotificationCenter()->removeAllDeliveredNotifications();
        longRunning.settle();
      }
    }
    Device::Footprint f = longRunning.footprint();
    EXPECT_EQ(f.records, 0u) << "they went to the observer only";
    EXPECT_GT(seen.load(), 400u);
    EXPECT_EQ(f.deliveries, 0u) << "every delivery once remembered for ever";
    EXPECT_EQ(f.notices, 0u);
    EXPECT_EQ(f.fetchHandlers, 0u);
    longRunning.terminate();
  }
  UIDevice::currentDevice()->setSystemVersion("13.0");
}

// A download that never answers: its task's own time-out ends it.
struct StalledDownload {
  loopback::Gate release;
  loopback::RawServer server{[this](int, const std::string&, loopback::Gate&) { release.wait(); }};
  std::shared_ptr<std::atomic<bool>> completed = std::make_shared<std::atomic<bool>>(false);
  Ref<NSURLSessionDownloadTask> task;

  explicit StalledDownload(double timeout) {
    auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
    configuration->setTimeoutIntervalForRequest(timeout);
    auto session = NSURLSession::sessionWithConfiguration(configuration);
    task = session->downloadTaskWithURL(NSURL::URLWithString(server.url("/stalled.png")),
                                        [done = completed](NSURL*, NSURLResponse*, NSError*) { done->store(true); });
    task->resume();
  }
  ~StalledDownload() {
    release.open();
    task->cancel();
  }
};

TEST_F(DeviceTime, SettlingWaitsForDownloadsAsLongAsTheirTimeOuts) {
  launch(kFullHost);
  StalledDownload download(0.3);
  device->settle();
  EXPECT_TRUE(download.completed->load()) << "its completion ran before settling ended";
  EXPECT_EQ(URLSessionDownloadsInFlight(), 0u);
}

TEST_F(DeviceTime, SettlingStopsWaitingForDownloadsAtItsOwnBound) {
  DeviceOptions options;
  options.logPassOn = [](const std::string&) {};
  options.downloadWaitSeconds = 0.2;
  device.reset();
  device = std::make_unique<Device>(options);
  StalledDownload download(30);
  device->settle();
  EXPECT_FALSE(download.completed->load());
  EXPECT_EQ(URLSessionDownloadsInFlight(), 1u) << "still running when settling gave up";
}

}  // namespace
}  // namespace device_test
