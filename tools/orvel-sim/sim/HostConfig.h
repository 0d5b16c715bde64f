// What the sample host does: which callbacks its delegates implement,
// whether it installs a notification-centre delegate, whether it calls the
// completion handlers it is given, and whether it registers at launch.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace orvelsim {

struct HostConfig {
  // Every application-delegate callback the sample host knows, in the order
  // a launch meets them.
  static const std::vector<std::string>& applicationCallbacks();
  // Every notification-centre delegate callback it knows.
  static const std::vector<std::string>& centerCallbacks();
  static bool isKnownCallback(const std::string& selector);

  // The selectors the host's delegates implement; by default all of them.
  std::set<std::string> implemented = allCallbacks();
  // Whether the host installs a notification-centre delegate at launch
  // (where the system has a notification centre).
  bool centerDelegate = true;
  // Whether the host calls the completion handlers it is handed.
  bool callsCompletionHandlers = true;
  // The types the host registers with in application:didFinishLaunchingWithOptions:
  // through OrvelCenter; none: it does not register at launch.
  std::optional<int64_t> registerAtLaunch = 7;

  bool implements(const std::string& selector) const { return implemented.count(selector) != 0; }
  // A name that tells configurations apart: "" for the default one.
  std::string key() const;

  static std::set<std::string> allCallbacks();
};

}  // namespace orvelsim
