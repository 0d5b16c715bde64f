// The push service's state and its answers, apart from the transport: the
// registry of device tokens (shared with callers on other threads), the
// verdict on each request, the hand-over to the sink and the notifications
// kept while the device cannot be reached (service thread only).
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "PushService/PushService.h"

namespace objc {

class ServiceCore {
 public:
  explicit ServiceCore(const PushServiceOptions& options);

  double now() const;

  // Judges a request, hands an accepted notification to the sink (or keeps
  // it) and records the exchange. Service thread.
  ProviderVerdict answer(const ProviderRequest& request, const ProviderConnectionToken& connectionToken,
                         uint64_t connection, int32_t stream);
  // Tells the observer about a request answered without a verdict of
  // answer()'s. Service thread.
  void record(const ProviderRequest& request, const ProviderVerdict& verdict, uint64_t connection, int32_t stream);
  // Delivers what was kept, unless expired. Service thread.
  void forwardKept();

  // Whether the sink asks the service to read no more requests for now.
  bool backlogged() const { return options_.backlogged && options_.backlogged(); }

  // Any thread.
  void registerDevice(std::string_view deviceToken, std::string_view bundleId);
  void removeApplication(std::string_view deviceToken, int64_t removedAt);
  // Service thread: drops what was kept for a removed application.
  void dropKept(const std::string& deviceToken);

  struct Counters {
    std::atomic<uint64_t> openConnections{0}, openStreams{0}, requests{0}, accepted{0}, delivered{0}, kept{0};
  };
  Counters counters;

 private:
  std::shared_ptr<const ProviderServiceState> state() const;
  void deliver(const PushNotification& notification);
  void notifyStored(const PushNotification& notification, StoreEvent event);
  bool hasExpired(const PushNotification& notification) const;

  const PushServiceOptions& options_;
  // Copied on write, so that a request is judged on one consistent state
  // without holding the lock.
  mutable std::mutex stateLock_;
  std::shared_ptr<const ProviderServiceState> state_;
  // The latest notification per application (by device token) that the
  // device could not take.
  std::map<std::string, PushNotification> kept_;
};

}  // namespace objc
