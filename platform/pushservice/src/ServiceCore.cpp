#include "ServiceCore.h"

#include <chrono>
#include <cstdio>

namespace objc {

namespace {

// Headers worth a record: the ones the service reads, without the token.
std::vector<ProviderHeader> recordedHeaders(const ProviderRequest& request) {
  std::vector<ProviderHeader> headers;
  for (const ProviderHeader& h : request.headers) {
    if (h.name.starts_with("apns-")) headers.push_back(h);
    if (h.name == "authorization") headers.push_back({h.name, "bearer ..."});
  }
  return headers;
}

std::string checkedDeviceToken(std::string_view text) {
  std::optional<std::string> token = canonicalDeviceToken(text);
  if (!token) {
    throw PushServiceError("device token \"" + std::string(text) + "\" is not hexadecimal text of whole bytes");
  }
  return *token;
}

// Runs an observer. One that throws must not take the service's thread
// down or leave a request unanswered, so the failure is reported and the
// service goes on.
template <class F>
void callObserver(const char* which, F&& observer) {
  try {
    observer();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "push service: the %s observer failed: %s\n", which, e.what());
  }
}

}  // namespace

const char* storeEventName(StoreEvent event) {
  switch (event) {
    case StoreEvent::Kept:
      return "kept";
    case StoreEvent::Replaced:
      return "replaced";
    case StoreEvent::Discarded:
      return "discarded";
    case StoreEvent::Expired:
      return "expired";
    case StoreEvent::Forwarded:
      return "forwarded";
  }
  return "unknown";
}

ServiceCore::ServiceCore(const PushServiceOptions& options) : options_(options) {
  auto state = std::make_shared<ProviderServiceState>();
  state->requireProviderToken = options.requireProviderToken;
  state->keys = options.keys;
  state_ = std::move(state);
}

double ServiceCore::now() const {
  if (options_.clock) return options_.clock();
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::shared_ptr<const ProviderServiceState> ServiceCore::state() const {
  std::lock_guard<std::mutex> lock(stateLock_);
  return state_;
}

void ServiceCore::registerDevice(std::string_view deviceToken, std::string_view bundleId) {
  std::string token = checkedDeviceToken(deviceToken);
  if (!isBundleIdentifier(bundleId)) {
    throw PushServiceError("bundle identifier \"" + std::string(bundleId) +
                           "\" is not one: letters, digits, '-' and '.', like com.example.app");
  }
  std::lock_guard<std::mutex> lock(stateLock_);
  auto state = std::make_shared<ProviderServiceState>(*state_);
  state->devices[token] = RegisteredDevice{std::string(bundleId), std::nullopt};
  state_ = std::move(state);
}

void ServiceCore::removeApplication(std::string_view deviceToken, int64_t removedAt) {
  std::string token = checkedDeviceToken(deviceToken);
  std::lock_guard<std::mutex> lock(stateLock_);
  auto found = state_->devices.find(token);
  if (found == state_->devices.end()) {
    throw PushServiceError("device token " + token + " is not registered with the push service");
  }
  auto state = std::make_shared<ProviderServiceState>(*state_);
  state->devices[token].removedAt = removedAt;
  state_ = std::move(state);
}

ProviderVerdict ServiceCore::answer(const ProviderRequest& request, const ProviderConnectionToken& connectionToken,
                                    uint64_t connection, int32_t stream) {
  ProviderVerdict verdict = validateProviderRequest(request, *state(), connectionToken, now(), newApnsId());
  if (verdict.accepted()) {
    try {
      deliver(*verdict.notification);
    } catch (const std::exception& e) {
      verdict.status = 500;
      verdict.reason = "InternalServerError";
      verdict.detail = std::string("the delivery failed: ") + e.what();
      verdict.notification.reset();
    }
  }
  record(request, verdict, connection, stream);
  return verdict;
}

void ServiceCore::record(const ProviderRequest& request, const ProviderVerdict& verdict, uint64_t connection,
                         int32_t stream) {
  ++counters.requests;
  if (verdict.accepted()) ++counters.accepted;
  if (!options_.observe) return;
  callObserver("request", [&] {
    options_.observe(ProviderExchange{now(), connection, stream, request.method, request.path, recordedHeaders(request),
                                      verdict.status, verdict.reason, verdict.detail, verdict.apnsId});
  });
}

bool ServiceCore::hasExpired(const PushNotification& notification) const {
  return notification.expiration && static_cast<double>(*notification.expiration) <= now();
}

void ServiceCore::notifyStored(const PushNotification& notification, StoreEvent event) {
  if (options_.stored) callObserver("store", [&] { options_.stored(notification, event); });
}

void ServiceCore::deliver(const PushNotification& notification) {
  if (options_.deliver(notification) == Delivery::Delivered) {
    ++counters.delivered;
    return;
  }
  if (hasExpired(notification)) {
    notifyStored(notification, StoreEvent::Discarded);
    return;
  }
  auto [entry, inserted] = kept_.try_emplace(notification.deviceToken, notification);
  if (!inserted) {
    notifyStored(entry->second, StoreEvent::Replaced);
    entry->second = notification;
  }
  counters.kept = kept_.size();
  notifyStored(notification, StoreEvent::Kept);
}

void ServiceCore::forwardKept() {
  std::map<std::string, PushNotification> waiting;
  waiting.swap(kept_);
  for (auto& [token, notification] : waiting) {
    if (hasExpired(notification)) {
      notifyStored(notification, StoreEvent::Expired);
      continue;
    }
    Delivery delivery = Delivery::Unreachable;
    try {
      delivery = options_.deliver(notification);
    } catch (const std::exception&) {
      // No provider is waiting for this answer: the notification stays
      // kept, as if the device could not be reached, and is tried again.
    }
    if (delivery == Delivery::Delivered) {
      ++counters.delivered;
      notifyStored(notification, StoreEvent::Forwarded);
    } else {
      kept_.insert_or_assign(token, std::move(notification));
    }
  }
  counters.kept = kept_.size();
}

void ServiceCore::dropKept(const std::string& deviceToken) {
  kept_.erase(checkedDeviceToken(deviceToken));
  counters.kept = kept_.size();
}

}  // namespace objc
