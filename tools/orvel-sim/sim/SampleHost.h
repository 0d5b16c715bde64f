// The sample host application: an application delegate and a
// notification-centre delegate written the way a host writes them, with
// the class builder and no forwarding code, and observers of the library's
// three events. Every callback it receives becomes a "host" record, every
// event an "event" record, and the handlers it gives the library
// "completion" records.
//
// Which callbacks exist is decided by a HostConfig: the delegate classes are
// built at run time with only the configured methods, one pair of classes
// per configuration, so that each forwarding branch of the library can be
// seen. By default the host implements every callback and, at launch,
// installs its notification-centre delegate (where the system has a
// notification centre) and registers through OrvelCenter with types 7.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "Device/Device.h"
#include "orvel/Orvel.h"
#include "sim/HostConfig.h"
#include "sim/Records.h"

namespace orvelsim {

class SampleHost {
 public:
  // Starts observing the library's events. `recorder` outlives the host.
  SampleHost(HostConfig config, Recorder& recorder);
  ~SampleHost();
  SampleHost(const SampleHost&) = delete;
  SampleHost& operator=(const SampleHost&) = delete;

  // Makes a new application delegate, for each launch.
  objc::Device::DelegateFactory factory();

  // The host's own requests, through OrvelCenter, with handlers that
  // record what they are told. The local-notification handler also sets
  // `done` when it runs.
  void registerForRemoteNotification(bool withConfiguration, int64_t types);
  void requestAuthorizationStatus();
  void addLocalNotification(OrvelNotificationRequest* request, std::shared_ptr<std::atomic<bool>> done);

  const HostConfig& config() const;

  // Whether this thread is inside a call of the host to a completion
  // handler the system gave it.
  static bool isCompletingHandler();

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::vector<objc::Id> observers_;
};

}  // namespace orvelsim
