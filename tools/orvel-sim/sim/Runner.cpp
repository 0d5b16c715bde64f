#include "sim/Runner.h"

#include <httplib.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include "Device/Device.h"
#include "UIKit/UIKit.h"
#include "UserNotifications/UserNotifications.h"
#include "orvel/Orvel.h"
#include "sim/LoopbackServer.h"
#include "sim/SampleHost.h"

namespace orvelsim {

using namespace objc;

namespace {

// A 1x1 PNG.
const unsigned char kPicture[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
                                  0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
                                  0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78,
                                  0x9C, 0x63, 0xF8, 0xCF, 0xC0, 0xF0, 0x1F, 0x00, 0x05, 0x00, 0x01, 0xFF, 0x89, 0x99,
                                  0x3D, 0x1D, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

// The files scheduling steps name with "$SERVER/...": served on 127.0.0.1
// on a port of the system's choosing, from the first step that needs them.
class AttachmentServer {
 public:
  // What the server answered for a path, noted before the answer leaves,
  // so a client that has its answer finds it here.
  struct Served {
    int status = 0;
    size_t bytes = 0;
    std::string type;
  };

  AttachmentServer() {
    std::string picture(reinterpret_cast<const char*>(kPicture), sizeof kPicture);
    auto serve = [this](std::string path, std::string body, std::string type) {
      server_.Get(path, [this, path, body, type](const httplib::Request&, httplib::Response& res) {
        note(path, {200, body.size(), type});
        res.set_content(body, type);
      });
    };
    serve("/picture.png", picture, "image/png");
    serve("/sound.mp3", std::string(512, '\x55'), "audio/mpeg");
    serve("/notes.txt", "not a media file\n", "text/plain");
    server_.set_error_handler([this](const httplib::Request& req, httplib::Response& res) {
      note(req.path, {res.status, 0, ""});
    });
    // A few small files for one client at a time: two threads, not the
    // library's default of one per processor and more, and one request per
    // connection so that neither thread sits in an idle connection.
    server_.new_task_queue = [] { return new httplib::ThreadPool(2); };
    server_.set_keep_alive_max_count(1);
    running_.emplace(server_, 0, "attachments");
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(running_->port()); }

  // What was last served for `path`, if anything; forgotten once read.
  std::optional<Served> take(const std::string& path) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = served_.find(path);
    if (it == served_.end()) return std::nullopt;
    Served out = it->second;
    served_.erase(it);
    return out;
  }

 private:
  void note(const std::string& path, Served served) {
    std::lock_guard<std::mutex> g(lock_);
    served_[path] = std::move(served);
  }

  std::mutex lock_;
  std::map<std::string, Served> served_;
  httplib::Server server_;
  std::optional<LoopbackServer> running_;  // stopped before the server goes
};

std::string stateName(AppState state) {
  if (state == AppState::NotRunning) return "not-running";
  if (state == AppState::ForceQuit) return "force-quit";
  return appStateName(state);
}

AppState stateFrom(const std::string& name) {
  if (name == "active") return AppState::Active;
  if (name == "inactive") return AppState::Inactive;
  if (name == "background") return AppState::Background;
  if (name == "force-quit") return AppState::ForceQuit;
  return AppState::NotRunning;
}

Ref<NSString> optionalString(const std::optional<std::string>& s) { return s ? str(*s) : nullptr; }

// Whether a record is of kind `name`: lengths first, then the bytes. Every
// record is asked this several times, and the standard library's comparison
// of views is a call of its own.
bool isKind(std::string_view kind, std::string_view name) {
  return kind.size() == name.size() && std::memcmp(kind.data(), name.data(), name.size()) == 0;
}

// What the expectations need of the records, gathered as the records stream
// by, so that no record is kept: counts since the previous "expect" step,
// the last event and completion, the faults so far, and for the "host" and
// "log" expectations of the next "expect" step, how far they are met. What
// a failed expectation shows of the records is cut after kShownAtMost
// items.
class Tally {
 public:
  static constexpr size_t kShownAtMost = 100;

  // Follows the "host" and "log" expectations of `step` (the next "expect"
  // step, or null) from now on, and counts afresh.
  void startFor(const Step* step) {
    std::lock_guard<std::mutex> g(lock_);
    events_ = completions_ = sounds_ = 0;
    followed_.clear();
    recalledHost_.clear();
    recalledLog_.clear();
    if (!step) return;
    for (const Expectation& e : step->expectations)
      if (e.kind == Expectation::Kind::Host || e.kind == Expectation::Kind::Log)
        followed_.push_back(Followed{&e, 0, {}, 0});
  }

  // Takes the last event and completion out of `r`: their fields are read
  // only when an expectation asks for them.
  void add(Record& r) {
    // Every record comes here; most kinds are not tallied, and need not
    // wait for the lock.
    const Counted counted = countedKind(r.kind);
    if (counted == Counted::None) return;
    std::lock_guard<std::mutex> g(lock_);
    if (counted == Counted::Event) {
      ++events_;
      lastEvent_ = std::move(r);
    } else if (counted == Counted::Completion) {
      ++completions_;
      lastCompletion_ = std::move(r);
    } else if (counted == Counted::Fault) {
      ++faults_;
    } else if (counted == Counted::Sound) {
      ++sounds_;
    } else {
      bool host = counted == Counted::Host;
      const Json value = r.field(host ? "call" : "text");
      std::string text = value.is_string() ? value.get<std::string>() : std::string();
      if (followed_.empty()) {
        // No expectation known in advance (steps one at a time): keep the
        // latest for one that comes.
        std::deque<std::string>& recalled = host ? recalledHost_ : recalledLog_;
        if (recalled.size() == Session::kRecalled) recalled.pop_front();
        recalled.push_back(std::move(text));
        return;
      }
      for (Followed& f : followed_) {
        if ((f.expectation->kind == Expectation::Kind::Host) != host) continue;
        const Expectation& e = *f.expectation;
        if (host) {
          // In this order, with any others between them.
          if (f.matched < e.names.size() && text == e.names[f.matched]) ++f.matched;
        } else if (text.find(e.text) != std::string::npos) {
          f.matched = 1;
        }
        if (f.shown.size() < kShownAtMost) {
          f.shown.push_back(text);
        } else {
          ++f.notShown;
        }
      }
    }
  }

  int64_t events() const { return locked(events_); }
  int64_t completions() const { return locked(completions_); }
  int64_t faults() const { return locked(faults_); }
  int64_t sounds() const { return locked(sounds_); }
  // Null until there is one.
  Json lastEvent() const { return fieldsOf(lastEvent_); }
  Json lastCompletion() const { return fieldsOf(lastCompletion_); }

  // Whether the followed expectation `e` holds, and what was seen for it.
  bool holds(const Expectation& e, Json& seen) const {
    std::lock_guard<std::mutex> g(lock_);
    for (const Followed& f : followed_) {
      if (f.expectation != &e) continue;
      seen = Json(f.shown);
      if (f.notShown) seen.push_back("… and " + std::to_string(f.notShown) + " more");
      return e.kind == Expectation::Kind::Host ? f.matched == e.names.size() : f.matched > 0;
    }
    bool host = e.kind == Expectation::Kind::Host;
    const std::deque<std::string>& recalled = host ? recalledHost_ : recalledLog_;
    size_t matched = 0;
    for (const std::string& text : recalled) {
      if (host ? matched < e.names.size() && text == e.names[matched] : text.find(e.text) != std::string::npos)
        ++matched;
    }
    seen = Json::array();
    size_t skipped = recalled.size() > kShownAtMost ? recalled.size() - kShownAtMost : 0;
    if (skipped) seen.push_back("… " + std::to_string(skipped) + " before these");
    for (size_t i = skipped; i < recalled.size(); ++i) seen.push_back(recalled[i]);
    return host ? matched == e.names.size() : matched > 0;
  }

 private:
  enum class Counted { None, Event, Completion, Fault, Sound, Host, Log };
  static Counted countedKind(std::string_view kind) {
    if (isKind(kind, "event")) return Counted::Event;
    if (isKind(kind, "completion")) return Counted::Completion;
    if (isKind(kind, "fault")) return Counted::Fault;
    if (isKind(kind, "sound")) return Counted::Sound;
    if (isKind(kind, "host")) return Counted::Host;
    if (isKind(kind, "log")) return Counted::Log;
    return Counted::None;
  }

  struct Followed {
    const Expectation* expectation;
    size_t matched = 0;  // host: callbacks found in order; log: 1 once found
    std::vector<std::string> shown;
    size_t notShown = 0;
  };

  template <class T>
  T locked(const T& value) const {
    std::lock_guard<std::mutex> g(lock_);
    return value;
  }

  Json fieldsOf(const std::optional<Record>& record) const {
    std::lock_guard<std::mutex> g(lock_);
    return record ? record->fields() : Json();
  }

  mutable std::mutex lock_;
  int64_t events_ = 0, completions_ = 0, faults_ = 0, sounds_ = 0;
  std::optional<Record> lastEvent_, lastCompletion_;
  std::vector<Followed> followed_;
  std::deque<std::string> recalledHost_, recalledLog_;
};

}  // namespace

class Session::Run {
 public:
  Run(const HostConfig& host, const RunOptions& options, Recorder::Sink sink) : start_(options.startTime) {
    recorder_.subscribe(std::move(sink));
    recorder_.setKeeper([this](Record& r) { tally_.add(r); });
    DeviceOptions deviceOptions;
    deviceOptions.startTime = options.startTime;
    // The log's lines become records; they need not go to standard error too.
    deviceOptions.logPassOn = [](const std::string&) {};
    // Its records reach the recorder as they are made; the device need not
    // keep them as well.
    deviceOptions.keepRecords = false;
    device_.emplace(deviceOptions);
    recorder_.setClock([this] { return device_->now() - start_; });
    recorder_.setNormalizer([this](Record& r) { normalize(r); });
    device_->setRecordObserver([this](const DeviceRecord& r) {
      Record record = fromDeviceRecord(r, start_);
      // The system's handlers: the host completes them, or the library
      // does for a host that has not.
      if (std::string_view(record.kind) == "completion")
        record.addField("by", SampleHost::isCompletingHandler() ? "host" : "library");
      recorder_.add(std::move(record));
    });
    host_.emplace(host, recorder_);
  }

  ~Run() {
    device_->setRecordObserver(nullptr);
    host_.reset();
    device_.reset();
    server_.reset();
  }

  RunResult run(const Scenario& scenario) {
    scenario_ = &scenario;
    tally_.startFor(nextExpect(0));
    for (size_t i = 0; i < scenario.steps.size(); ++i) {
      current_ = i;
      if (!perform(scenario.steps[i])) break;
    }
    scenario_ = nullptr;
    tally_.startFor(nullptr);
    return result_;
  }

  bool perform(const Step& step) {
    // A note is its own record; every other step is announced first.
    if (step.kind != Step::Kind::Note) {
      Json fields{{"step", step.name}, {"value", step.value}};
      if (step.at.line) fields["line"] = step.at.line;
      if (step.kind == Step::Kind::Push) {
        fields["id"] = nextPushIdentifier();
        // A payload named by its file shows what the file held.
        if (step.value.is_string()) fields["payload"] = valueToJson(step.payload.get());
      }
      recorder_.add("step", std::move(fields));
    }
    try {
      perform(step, *device_);
      if (step.kind == Step::Kind::Expect) tally_.startFor(scenario_ ? nextExpect(current_ + 1) : nullptr);
      return true;
    } catch (const std::bad_alloc&) {
      throw;  // nothing more can be done; the caller says so
    } catch (const std::exception& e) {
      recorder_.add("error", Json{{"what", quoted(step.name) + " could not be carried out: " + describe(e)},
                                  {"step", step.name},
                                  {"line", step.at.line}});
      result_.completed = false;
      return false;
    }
  }

  void deliver(NSDictionary* payload, const std::string& identifier, const PushAttributes& attributes) {
    try {
      device_->push(payload, str(identifier).get(), attributes);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& e) {
      recorder_.add("error", Json{{"what", "the push " + identifier + " could not be delivered: " + describe(e)}});
    }
  }

  Recorder& recorder() { return recorder_; }
  Device& device() { return *device_; }
  const RunResult& result() const { return result_; }
  bool online() const { return online_; }
  void onNetworkChange(std::function<void(bool)> listener) { networkChanged_ = std::move(listener); }
  void onSend(std::function<void(const Step&)> sender) { sender_ = std::move(sender); }

 private:
  // The platform's reasons may hold a NUL byte, which what() would cut.
  static std::string describe(const std::exception& e) {
    auto* platform = dynamic_cast<const objc::Exception*>(&e);
    return platform ? platform->name() + ": " + printable(platform->reason()) : printable(e.what());
  }

  static std::string quoted(const std::string& s) { return displayQuoted(s); }

  const Step* nextExpect(size_t from) const {
    for (size_t i = from; i < scenario_->steps.size(); ++i)
      if (scenario_->steps[i].kind == Step::Kind::Expect) return &scenario_->steps[i];
    return nullptr;
  }

  std::string nextPushIdentifier() { return "push-" + std::to_string(++pushes_); }
  std::string currentPushIdentifier() const { return "push-" + std::to_string(pushes_); }

  void perform(const Step& step, Device& d) {
    switch (step.kind) {
      case Step::Kind::Launch:
        d.launch(host_->factory(), launchOptions(step.launch));
        break;
      case Step::Kind::State:
        d.setState(stateFrom(step.text));
        break;
      case Step::Kind::Register:
        host_->registerForRemoteNotification(step.flag, step.integer);
        d.settle();
        break;
      case Step::Kind::Answer:
        d.setAuthorizationAnswer(step.text == "allow");
        break;
      case Step::Kind::Token:
        d.setRemoteRegistrationError(nullptr);
        d.setDeviceToken(step.flag ? step.token.get() : nullptr);
        break;
      case Step::Kind::RegistrationError:
        d.setRemoteRegistrationError(step.flag ? NSError::errorWithDomain(step.errorDomain, step.integer).get()
                                               : nullptr);
        break;
      case Step::Kind::Push:
        if (!online_) {
          throw std::runtime_error(
              "the device is offline; a \"push\" step puts its payload straight on the device, so take it online "
              "first (with orvel-sim serve, the push service keeps what providers send while it is offline)");
        }
        d.push(step.payload, str(currentPushIdentifier()).get());
        break;
      case Step::Kind::Open:
        if (!(step.text == "latest" ? d.openLatest() : d.open(step.text))) {
          throw std::runtime_error(step.text == "latest"
                                       ? "no delivered notification is listed"
                                       : "no delivered notification has the identifier " + quoted(step.text));
        }
        break;
      case Step::Kind::OpenSettings:
        d.openSettings();
        break;
      case Step::Kind::Schedule:
        schedule(step.schedule);
        break;
      case Step::Kind::Advance:
        d.advance(step.seconds);
        break;
      case Step::Kind::SetBadge:
        OrvelCenter::setBadge(step.integer);
        d.settle();
        break;
      case Step::Kind::ClearBadge:
        OrvelCenter::clearBadge();
        d.settle();
        break;
      case Step::Kind::ClearNoticeBar:
        OrvelCenter::clearNoticeBar();
        d.settle();
        break;
      case Step::Kind::Remove:
        remove(step);
        d.settle();
        break;
      case Step::Kind::ForegroundType:
        send<void>(OrvelContext::currentContext(), sel<"setForegroundType:">(), step.integer);
        break;
      case Step::Kind::AuthorizationStatus:
        authorizationStatus(step.text);
        break;
      case Step::Kind::EnterRegion:
        d.enterRegion(step.text);
        break;
      case Step::Kind::TimeZone:
        d.setTimeZone(NSTimeZone::timeZoneWithName(step.text).get());
        break;
      case Step::Kind::Note:
        recorder_.add("note", Json{{"text", step.text}});
        break;
      case Step::Kind::Expect:
        for (const Expectation& e : step.expectations) check(e);
        break;
      case Step::Kind::Network:
        online_ = step.text == "online";
        if (networkChanged_) networkChanged_(online_);
        break;
      case Step::Kind::Send:
        if (!sender_) throw std::runtime_error("there is no push service to send to");
        sender_(step);
        break;
    }
  }

  LaunchOptions launchOptions(const LaunchInput& given) {
    LaunchOptions o;
    o.background = given.background;
    if (given.localNotification) {
      const LocalNotificationInput& l = *given.localNotification;
      auto n = make<UILocalNotification>();
      n->setAlertTitle(optionalString(l.alertTitle));
      n->setAlertBody(optionalString(l.alertBody));
      n->setSoundName(optionalString(l.soundName));
      n->setApplicationIconBadgeNumber(l.badge);
      n->setUserInfo(l.userInfo);
      o.localNotification = n;
    }
    o.remoteNotification = given.remoteNotification;
    return o;
  }

  void authorizationStatus(const std::string& what) {
    if (what == "query") {
      host_->requestAuthorizationStatus();
      device_->settle();
      return;
    }
    UNAuthorizationStatus status = what == "not-determined" ? UNAuthorizationStatusNotDetermined
                                   : what == "denied"       ? UNAuthorizationStatusDenied
                                   : what == "provisional"  ? UNAuthorizationStatusProvisional
                                                            : UNAuthorizationStatusAuthorized;
    device_->setAuthorizationStatus(status);
  }

  void remove(const Step& step) {
    Ref<NSArray> identifiers;
    if (step.identifiers) {
      std::vector<Id> items;
      for (const auto& s : *step.identifiers) items.push_back(str(s));
      identifiers = make<NSArray>(std::move(items));
    }
    OrvelCenter::removeNotificationWithIdentifiers(identifiers,
                                                   static_cast<OrvelNotificationRequestStatus>(step.integer));
  }

  // ---- scheduling ----

  // String values "$SERVER/<file>" become addresses on the simulator's server.
  Id withServer(NSObject* value) {
    if (auto* s = asString(value)) {
      if (!s->hasPrefix("$SERVER/")) return Id(value);
      if (!server_) {
        server_ = std::make_unique<AttachmentServer>();
        std::lock_guard<std::mutex> g(normalizing_);
        serverBase_ = server_->base();
        serverStarted_.store(true, std::memory_order_release);
      }
      return str(server_->base() + s->utf8().substr(std::string_view("$SERVER").size()));
    }
    if (auto* a = asArray(value)) {
      std::vector<Id> items;
      for (const Id& item : *a) items.push_back(withServer(item.get()));
      return make<NSArray>(std::move(items));
    }
    if (auto* d = asDictionary(value)) {
      auto out = NSMutableDictionary::dictionary();
      for (const auto& entry : *d) out->setObject(withServer(entry.value.get()), entry.key.get());
      return out->copy();
    }
    return Id(value);
  }

  Ref<OrvelNotificationContent> content(const ContentInput& c) {
    auto content = make<OrvelNotificationContent>();
    content->setTitle(optionalString(c.title));
    content->setSubTitle(optionalString(c.subTitle));
    content->setBody(optionalString(c.body));
    content->setSound(optionalString(c.sound));
    if (c.badge) content->setBadge(NSNumber::numberWithInteger(*c.badge));
    content->setThreadIdentifier(optionalString(c.threadIdentifier));
    content->setLaunchImageName(optionalString(c.launchImageName));
    content->setSummaryArgument(optionalString(c.summaryArgument));
    content->setSummaryArgumentCount(c.summaryArgumentCount);
    content->setTargetContentIdentifier(optionalString(c.targetContentIdentifier));
    content->setSilentPush(c.silentPush);
    if (c.userInfo) content->setUserInfo(cast<NSDictionary>(withServer(c.userInfo.get())));
    return content;
  }

  Ref<OrvelNotificationTrigger> trigger(const TriggerInput& t) {
    auto trigger = make<OrvelNotificationTrigger>();
    trigger->setRepeat(t.repeat);
    trigger->setTimeInterval(t.timeInterval);
    if (t.fireDate) {
      double at = t.fireDateIsRelative ? device_->now() + *t.fireDate : *t.fireDate;
      trigger->setFireDate(NSDate::dateWithTimeIntervalSince1970(at));
    }
    if (t.dateComponents) {
      auto c = make<NSDateComponents>();
      for (const auto& [unit, value] : *t.dateComponents) {
        if (unit == "year") c->year = value;
        if (unit == "month") c->month = value;
        if (unit == "day") c->day = value;
        if (unit == "hour") c->hour = value;
        if (unit == "minute") c->minute = value;
        if (unit == "second") c->second = value;
        if (unit == "timeZone") c->timeZone = NSTimeZone::timeZoneForSecondsFromGMT(value);
      }
      trigger->setDateComponents(c);
    }
    if (t.region) {
      const RegionInput& r = *t.region;
      auto region = CLCircularRegion::regionWithCenter({r.latitude, r.longitude}, r.radius, str(r.identifier).get());
      region->setNotifyOnEntry(r.notifyOnEntry);
      region->setNotifyOnExit(r.notifyOnExit);
      trigger->setRegion(region);
    }
    return trigger;
  }

  void schedule(const ScheduleInput& given) {
    Ref<OrvelNotificationContent> c = given.content ? content(*given.content) : nullptr;
    Ref<OrvelNotificationTrigger> t = given.trigger ? trigger(*given.trigger) : nullptr;
    auto request = OrvelNotificationRequest::requestWithIdentifier(optionalString(given.identifier), c, t);
    auto done = std::make_shared<std::atomic<bool>>(false);
    setScheduling(given.identifier.value_or(""));
    host_->addLocalNotification(request, done);
    // Settling waits for the library's downloads as long as the device
    // does; a request without content is not scheduled, and nobody is told.
    device_->settle();
    setScheduling("");
    if (c && !done->load()) {
      throw std::runtime_error("the library did not report what it scheduled: a download was still running after " +
                               std::to_string(static_cast<int>(device_->options().downloadWaitSeconds)) + " seconds");
    }
    if (c && given.content->userInfo) {
      if (auto* address = asString(given.content->userInfo->objectForKey("attachment")); address && address->length())
        recordAttachment(given.identifier.value_or(""), address->utf8());
    }
  }

  // ---- what differs from run to run ----

  // Takes out of a record what would differ between two runs of the same
  // input: the attachment server's port (shown as "$SERVER", as the input
  // writes it) and the random part of downloaded files' names (numbered in
  // the order they first show). On systems whose legacy notifications have
  // no identifier the device makes one up; the request's own identifier is
  // added as "request".
  void normalize(Record& r) {
    const std::string_view kind = r.kind;
    const bool local = isKind(kind, "local");
    const std::string* text = r.text();
    // The device's own records are written with their few fixed keys
    // (fromDeviceRecord), never "file". Those other than "local" (which may
    // need their request) can hold nothing to take out but the server's
    // address: before there is a server they need neither a look nor the
    // lock.
    const bool deviceOwn =
        local || isKind(kind, "os") || isKind(kind, "completion") || isKind(kind, "badge") || isKind(kind, "log");
    if (text && deviceOwn && !local && !serverStarted_.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> g(normalizing_);
    if (text) {
      // Most records have nothing to take out, which their text shows
      // without reading their tree: no server address, no file name (a
      // "file" key is always written so), no identifier to map.
      // JSON text has no NUL byte (a NUL in a string is written \u0000), so
      // the C library's string search, much the faster, reads all of it.
      const bool server = !serverBase_.empty() && std::strstr(text->c_str(), serverBase_.c_str());
      const bool file = !deviceOwn && std::strstr(text->c_str(), "\"file\":");
      if (!server && !file && (!local || (scheduling_.empty() && requestOf_.empty()))) return;
    }
    Json& fields = r.fields();
    replaceStrings(fields);
    if (!local) return;
    std::string id = fields.value("id", std::string());
    if (!scheduling_.empty() && fields.value("action", "") == "scheduled" && id != scheduling_) {
      requestOf_[id] = scheduling_;
    }
    if (auto it = requestOf_.find(id); it != requestOf_.end()) fields["request"] = it->second;
  }

  // The identifier of the request being scheduled, while it is.
  void setScheduling(std::string identifier) {
    std::lock_guard<std::mutex> g(normalizing_);
    scheduling_ = std::move(identifier);
  }

  // The server's address anywhere; the downloaded file's name where an
  // attachment names its file ("file": "download-" and six random
  // characters, then the extension).
  static constexpr std::string_view kFileKey = "file";
  void replaceStrings(Json& value, bool isFile = false) {
    // Every record passes through here: the members are reached directly,
    // not through the JSON library's iterators, and only text is looked at.
    if (value.is_object()) {
      for (auto& [key, member] : value.get_ref<Json::object_t&>())
        if (!member.is_primitive() || member.is_string()) replaceStrings(member, key == kFileKey);
      return;
    }
    if (value.is_array()) {
      for (Json& item : value.get_ref<Json::array_t&>())
        if (!item.is_primitive() || item.is_string()) replaceStrings(item);
      return;
    }
    if (!value.is_string() || (serverBase_.empty() && !isFile)) return;
    std::string& text = value.get_ref<std::string&>();
    for (size_t at; !serverBase_.empty() && (at = text.find(serverBase_)) != std::string::npos;)
      text.replace(at, serverBase_.size(), "$SERVER");
    const size_t randomSize = 6;
    if (isFile && text.starts_with(kDownloadPrefix) && text.size() >= kDownloadPrefix.size() + randomSize) {
      std::string random = text.substr(kDownloadPrefix.size(), randomSize);
      auto found = downloads_.emplace(random, downloads_.size() + 1).first;
      text.replace(kDownloadPrefix.size(), randomSize, std::to_string(found->second));
    }
  }

  // ---- attachments ----

  // What became of a scheduled request's media address, from what the
  // simulator's server served and what the library reported scheduling.
  void recordAttachment(const std::string& request, const std::string& address) {
    Json fields{{"id", request}, {"address", address}};
    auto add = [&](const char* action, Json more) {
      Json out = fields;
      out["action"] = action;
      for (auto it = more.begin(); it != more.end(); ++it) out[it.key()] = it.value();
      recorder_.add("attachment", std::move(out));
    };
    std::optional<AttachmentServer::Served> served;
    if (server_ && address.starts_with("$SERVER/"))
      served = server_->take(address.substr(std::string_view("$SERVER").size()));
    if (served && served->status == 200) {
      add("downloaded", Json{{"type", served->type}, {"bytes", served->bytes}});
    } else if (served) {
      add("failed", Json{{"reason", "the server answered " + std::to_string(served->status)}});
      return;
    }
    // What the library reported scheduling: {"result": {"content": {"attachments": [...]}}}
    // from 10.0, a legacy notification without any below.
    const Json completion = tally_.lastCompletion();
    Json result = completion.is_object() && completion.contains("value") && completion["value"].is_object()
                      ? completion["value"].value("result", Json())
                      : Json();
    if (result.is_object() && !result.contains("content")) {
      if (!served) add("unsupported", Json{{"reason", "local notifications have no attachments below 10.0"}});
      return;
    }
    Json attachments = result.is_object() && result["content"].is_object()
                           ? result["content"].value("attachments", Json::array())
                           : Json::array();
    if (attachments.is_array() && !attachments.empty()) {
      const Json& last = attachments.back();
      add("attached", Json{{"type", last.value("type", "")}, {"file", last.value("file", "")}});
    } else if (served) {
      add("refused", Json{{"reason", "the system did not take the downloaded file (" + served->type + ", " +
                                         std::to_string(served->bytes) + " bytes)"}});
    } else {
      add("failed", Json{{"reason",
                          "nothing was attached: the address could not be downloaded or the system "
                          "refused the file"}});
    }
  }

  // ---- expectations ----

  void check(const Expectation& e) {
    bool ok = false;
    std::string what;
    Json actual;
    switch (e.kind) {
      case Expectation::Kind::Badge:
        actual = UIApplication::sharedApplication()->applicationIconBadgeNumber();
        ok = actual == e.number;
        what = "badge is " + std::to_string(e.number);
        break;
      case Expectation::Kind::LastEvent:
      case Expectation::Kind::LastCompletion: {
        bool event = e.kind == Expectation::Kind::LastEvent;
        actual = event ? tally_.lastEvent() : tally_.lastCompletion();
        ok = !actual.is_null() && jsonContains(actual, e.partial);
        what = std::string(event ? "the last event" : "the last completion") + " contains " + e.partial.dump();
        if (actual.is_null()) actual = event ? "no event yet" : "no completion yet";
        break;
      }
      case Expectation::Kind::Events:
        actual = tally_.events();
        ok = actual == e.number;
        what = std::to_string(e.number) + " event" + (e.number == 1 ? "" : "s") + " since the previous expect";
        break;
      case Expectation::Kind::Completions:
        actual = tally_.completions();
        ok = actual == e.number;
        what = std::to_string(e.number) + " completion" + (e.number == 1 ? "" : "s") + " since the previous expect";
        break;
      case Expectation::Kind::Sounds:
        actual = tally_.sounds();
        ok = actual == e.number;
        what = std::to_string(e.number) + " sound" + (e.number == 1 ? "" : "s") + " played since the previous expect";
        break;
      case Expectation::Kind::Faults:
        actual = tally_.faults();
        ok = actual == e.number;
        what = std::to_string(e.number) + " fault" + (e.number == 1 ? "" : "s") + " so far";
        break;
      case Expectation::Kind::Host: {
        ok = tally_.holds(e, actual);
        what = "the host's callbacks since the previous expect include, in order, " + Json(e.names).dump();
        break;
      }
      case Expectation::Kind::Delivered:
        actual = device_->deliveredIdentifiers().size();
        ok = actual == e.number;
        what = std::to_string(e.number) + " delivered notification" + (e.number == 1 ? "" : "s") + " listed";
        break;
      case Expectation::Kind::Pending: {
        size_t pending = UNUserNotificationCenter::currentNotificationCenter()->pendingRequests().size() +
                         UIApplication::sharedApplication()->scheduledLocalNotifications()->count();
        actual = pending;
        ok = actual == e.number;
        what = std::to_string(e.number) + " notification" + (e.number == 1 ? "" : "s") + " waiting to fire";
        break;
      }
      case Expectation::Kind::State:
        actual = stateName(device_->state());
        ok = actual == e.text;
        what = "the application is " + e.text;
        break;
      case Expectation::Kind::Log: {
        ok = tally_.holds(e, actual);
        what = "a log line since the previous expect contains " + Json(e.text).dump();
        break;
      }
    }
    ++result_.expectationsChecked;
    if (!ok) ++result_.expectationsFailed;
    Json fields{{"ok", ok}, {"what", what}, {"key", e.key}};
    if (!ok) fields["actual"] = actual;
    recorder_.add("expect", std::move(fields));
  }

  const Scenario* scenario_ = nullptr;
  size_t current_ = 0;  // the scenario's step being performed
  const double start_;
  Tally tally_;
  Recorder recorder_;
  std::unique_ptr<AttachmentServer> server_;
  std::optional<Device> device_;
  std::optional<SampleHost> host_;
  RunResult result_;
  int pushes_ = 0;
  // Read by the push service's thread.
  std::atomic<bool> online_{true};
  std::function<void(bool)> networkChanged_;
  std::function<void(const Step&)> sender_;
  static constexpr std::string_view kDownloadPrefix = "download-";
  // What normalize() reads and the run's thread sets, while records come
  // from other threads too.
  std::mutex normalizing_;
  // Set once serverBase_ is, for the records that need nothing else.
  std::atomic<bool> serverStarted_{false};
  std::string serverBase_;
  std::string scheduling_;
  std::map<std::string, std::string> requestOf_;  // device identifier → request identifier
  std::map<std::string, size_t> downloads_;       // random part of a file name → its number
};

Session::Session(const HostConfig& host, const RunOptions& options, Recorder::Sink sink)
    : run_(std::make_unique<Run>(host, options, std::move(sink))) {}
Session::~Session() = default;
Recorder& Session::recorder() { return run_->recorder(); }
Device& Session::device() { return run_->device(); }
bool Session::perform(const Step& step) { return run_->perform(step); }
RunResult Session::run(const Scenario& scenario) { return run_->run(scenario); }
const RunResult& Session::result() const { return run_->result(); }
void Session::deliver(NSDictionary* payload, const std::string& identifier, const PushAttributes& attributes) {
  run_->deliver(payload, identifier, attributes);
}
void Session::onSend(std::function<void(const Step&)> sender) { run_->onSend(std::move(sender)); }
bool Session::online() const { return run_->online(); }
void Session::onNetworkChange(std::function<void(bool)> listener) { run_->onNetworkChange(std::move(listener)); }

bool jsonContains(const Json& actual, const Json& partial) {
  if (partial.is_object()) {
    if (!actual.is_object()) return false;
    for (auto it = partial.begin(); it != partial.end(); ++it) {
      auto found = actual.find(it.key());
      if (found == actual.end() || !jsonContains(*found, it.value())) return false;
    }
    return true;
  }
  if (partial.is_array()) {
    if (!actual.is_array() || actual.size() != partial.size()) return false;
    for (size_t i = 0; i < partial.size(); ++i)
      if (!jsonContains(actual[i], partial[i])) return false;
    return true;
  }
  if (partial.is_number() && actual.is_number()) return partial.get<double>() == actual.get<double>();
  return actual == partial;
}

RunResult runScenario(const Scenario& scenario, const RunOptions& options, Recorder::Sink sink) {
  Session session(scenario.host, options, std::move(sink));
  return session.run(scenario);
}

}  // namespace orvelsim
