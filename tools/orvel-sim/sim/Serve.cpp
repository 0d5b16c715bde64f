#include "sim/Serve.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "Device/Device.h"
#include "PushService/PushService.h"

namespace orvelsim {

using namespace objc;

namespace {

double realTime() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

std::string hexOf(NSData* data) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < data->length(); ++i) {
    out += digits[data->bytes()[i] >> 4];
    out += digits[data->bytes()[i] & 15];
  }
  return out;
}

// The fields of a "provider" record, as text; the payload of an accepted
// push as the device is about to show it.
std::string exchangeText(const ProviderExchange& x, const NSDictionary* payload) {
  TextBuffer text(512 + x.path.size() + x.headers.size() * 48);
  JsonMembers fields(text);
  appendJsonText(fields.key("connection"), x.connection);
  appendJsonText(fields.key("stream"), x.stream);
  appendStringText(fields.key("method"), x.method);
  appendStringText(fields.key("path"), x.path);
  // A header sent twice is shown once, in its first place with its last
  // value, as an object takes a key given again.
  fields.key("headers") += '{';
  JsonMembers headers(text);
  for (size_t i = 0; i < x.headers.size(); ++i) {
    const std::string& name = x.headers[i].name;
    bool earlier = false;
    for (size_t j = 0; j < i && !earlier; ++j) earlier = x.headers[j].name == name;
    if (earlier) continue;
    const std::string* value = &x.headers[i].value;
    for (size_t j = i + 1; j < x.headers.size(); ++j)
      if (x.headers[j].name == name) value = &x.headers[j].value;
    appendStringText(headers.anyKey(name), *value);
  }
  text += '}';
  appendJsonText(fields.key("status"), x.status);
  if (!x.reason.empty()) appendStringText(fields.key("reason"), x.reason);
  if (!x.detail.empty()) appendStringText(fields.key("detail"), x.detail);
  appendStringText(fields.key("apns-id"), x.apnsId);
  if (payload) appendValueText(fields.key("payload"), payload);
  return text.take();
}

}  // namespace

struct Server::Impl {
  Impl(ServeOptions given, Recorder::Sink sink)
      : options(std::move(given)),
        session(options.scenario ? options.scenario->host : options.host, options.run, std::move(sink)) {
    PushServiceOptions service;
    service.address = options.address;
    service.port = options.port;
    service.cleartext = options.cleartext;
    service.certificateFile = options.certificateFile;
    service.privateKeyFile = options.privateKeyFile;
    if (!options.cleartext) service.writeCertificateTo = options.certificateOut;
    service.requireProviderToken = !options.noAuth;
    if (!options.noAuth) {
      if (!options.authKeyFile.empty()) {
        service.keys.push_back(ProviderKey::fromPEMFile(options.authKeyFile, options.keyId, options.teamId));
        if (service.keys.back().hasPrivateKey()) signingKey = service.keys.back();
      } else {
        ProviderKey key = ProviderKey::generate(options.keyId, options.teamId);
        signingKey = key;
        generatedKeyFile = options.newKeyFile.empty() ? "AuthKey_" + key.keyId() + ".p8" : options.newKeyFile;
        service.keys.push_back(key);
      }
      keyId = service.keys.front().keyId();
      teamId = service.keys.front().teamId();
    }
    service.deliver = [this](const PushNotification& n) { return handOver(n); };
    service.observe = [this](const ProviderExchange& x) { answered(x); };
    service.stored = [this](const PushNotification& n, StoreEvent e) { storeEvent(n, e); };
    if (options.scenarioOnly) service.clock = [this] { return session.device().now(); };
    // A provider that sends faster than the host takes pushes is slowed to
    // the host's pace instead of filling memory. Not while the main thread
    // waits for the service itself (a "send" step, stopping), which would
    // then wait forever.
    service.backlogged = [this] { return behind.load() >= kMaxPushesBehind && !mainThreadWaits.load(); };
    session.onNetworkChange([this](bool online) {
      if (!online) return;
      this->service->deviceReachable();
      runDeliveries();
    });
    session.onSend([this](const Step& step) { send(step); });
    this->service = std::make_unique<PushService>(std::move(service));
    // Written once the service listens, like its certificate: a serve that
    // cannot start leaves no key behind, nor replaces a running one's.
    if (!generatedKeyFile.empty()) signingKey->writePrivateKey(generatedKeyFile);
    registerDeviceToken();
  }

  ~Impl() { service.reset(); }

  // ---- the service's thread ----
  //
  // Nothing here adds a record: the service's thread only judges,
  // answers, and writes the text of the "provider" records. What a request
  // led to (its "provider" record, the service's "store" records and the
  // push itself) goes to the main thread in one piece, in the order the
  // requests were answered, so the timeline shows each request before what
  // the device did with it, and the records are written on one thread.

  // The device takes a push while online; it reaches the device once the
  // provider's request has its "provider" record.
  Delivery handOver(const PushNotification& n) {
    if (!session.online()) return Delivery::Unreachable;
    handed = n;
    return Delivery::Delivered;
  }

  // Device time now, for what happens on the service's thread. While
  // serving, the device clock follows real time only when the main thread
  // moves it; in a scenario it moves only with the steps.
  double deviceTime() {
    double now = options.scenarioOnly ? session.device().now() : realTime() + deviceAhead.load();
    return now - options.run.startTime;
  }

  void answered(const ProviderExchange& x) {
    std::shared_ptr<PushNotification> push;
    if (handed && handed->apnsId == x.apnsId) push = takeHanded();
    // The record's text is written here, which spares the main thread.
    std::string text = exchangeText(x, push ? push->payloadDictionary.get() : nullptr);
    toMainThread([this, t = deviceTime(), text = std::move(text), push, stored = std::move(storeRecords)]() mutable {
      session.recorder().add(Record::withText(t, "provider", std::move(text)));
      for (Json& store : stored) session.recorder().add(Record{t, "store", std::move(store)});
      if (push) deliver(*push);
    });
    storeRecords.clear();
    if (x.status == 200 && options.exitAfter && ++accepted == options.exitAfter) {
      post([this] {
        std::lock_guard<std::mutex> g(lock);
        stopping = true;
      });
    }
  }

  void storeEvent(const PushNotification& n, StoreEvent event) {
    Json fields{{"event", storeEventName(event)}, {"apns-id", n.apnsId}};
    if (n.expiration) fields["expiration"] = *n.expiration;
    // Kept, replaced and discarded come while a request is answered, before
    // its "provider" record; forwarded and expired when the device returns.
    if (event == StoreEvent::Kept || event == StoreEvent::Replaced || event == StoreEvent::Discarded) {
      storeRecords.push_back(std::move(fields));
      return;
    }
    std::shared_ptr<PushNotification> push;
    if (event == StoreEvent::Forwarded && handed && handed->apnsId == n.apnsId) push = takeHanded();
    toMainThread([this, t = deviceTime(), fields = std::move(fields), push]() mutable {
      session.recorder().add(Record{t, "store", std::move(fields)});
      if (push) deliver(*push);
    });
  }

  std::shared_ptr<PushNotification> takeHanded() {
    auto n = std::make_shared<PushNotification>(std::move(*handed));
    handed.reset();
    return n;
  }

  void toMainThread(std::function<void()> work) {
    ++behind;
    {
      std::lock_guard<std::mutex> g(lock);
      deliveries.push_back([this, work = std::move(work)] {
        struct Done {
          std::atomic<size_t>& behind;
          ~Done() { --behind; }
        } done{behind};
        work();
      });
    }
    wake.notify_one();
  }

  // Main thread.
  void deliver(const PushNotification& n) {
    session.deliver(n.payloadDictionary.get(), n.apnsId, {n.collapseId, n.priority, n.pushType, n.payload.size()});
  }

  // ---- any thread ----

  void post(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> g(lock);
      tasks.push_back(std::move(task));
    }
    wake.notify_one();
  }

  void control(std::string line) {
    size_t number = ++controlLines;
    post([this, number, line = std::move(line)] {
      Step step;
      try {
        step = parseStep(line, "control", number);
      } catch (const BadInput& e) {
        session.recorder().add("error", Json{{"what", e.what()}, {"control", number}});
        badLines = true;
        return;
      }
      session.perform(step);
      registerDeviceToken();
    });
  }

  // ---- the main thread ----

  // Records and delivers what the service handed over so far.
  void runDeliveries() {
    for (;;) {
      std::function<void()> task;
      {
        std::lock_guard<std::mutex> g(lock);
        if (deliveries.empty()) return;
        task = std::move(deliveries.front());
        deliveries.pop_front();
      }
      task();
    }
  }

  // A "send" step: the request as a provider makes it, over HTTP/2.
  void send(const Step& step) {
    registerDeviceToken();
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) throw std::runtime_error("cannot start an HTTP/2 client (libcurl)");
    curl_slist* list = nullptr;
    bool authorized = false;
    for (const auto& [name, value] : step.headers) {
      list = curl_slist_append(list, (name + ": " + value).c_str());
      std::string lower = name;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      authorized = authorized || lower == "authorization";
    }
    if (!authorized && signingKey && !options.noAuth) {
      std::string token = mintProviderToken(*signingKey, static_cast<int64_t>(realTime()));
      list = curl_slist_append(list, ("authorization: bearer " + token).c_str());
    }
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(list, curl_slist_free_all);
    const std::string url = service->url() + "/3/device/" + deviceToken;
    mainThreadWaits = true;
    struct Waited {
      std::atomic<bool>& waits;
      ~Waited() { waits = false; }
    } waited{mainThreadWaits};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION,
                     options.cleartext ? CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE : CURL_HTTP_VERSION_2TLS);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, step.body.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(step.body.size()));
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 30L);
    // The answer is in the "provider" record.
    curl_easy_setopt(
        c, CURLOPT_WRITEFUNCTION, +[](char*, size_t size, size_t count, void*) { return size * count; });
    curl_blob ca{const_cast<char*>(service->certificatePEM().data()), service->certificatePEM().size(), CURL_BLOB_COPY};
    if (!options.cleartext) curl_easy_setopt(c, CURLOPT_CAINFO_BLOB, &ca);
    if (CURLcode result = curl_easy_perform(c); result != CURLE_OK) {
      throw std::runtime_error(std::string("the request to the push service failed: ") + curl_easy_strerror(result));
    }
    // The service hands a push over before it answers.
    runDeliveries();
  }

  void registerDeviceToken() {
    Ref<NSData> token = session.device().deviceToken();
    if (!token || token->length() == 0) return;
    std::string hex = hexOf(token.get());
    if (hex == deviceToken) return;
    service->registerDevice(hex, options.topic);
    deviceToken = hex;
  }

  // Moves the device clock on by the real time that passed.
  void followRealTime() {
    double now = realTime();
    if (now > lastRealTime) session.device().advance(now - lastRealTime);
    lastRealTime = now;
    deviceAhead = session.device().now() - now;
  }

  int serve() {
    if (options.scenarioOnly) {
      session.run(*options.scenario);
      finish();
      return session.result().exitStatus();
    }
    lastRealTime = realTime();
    deviceAhead = session.device().now() - lastRealTime;
    session.recorder().add("serve", describe());
    bool launches = false;
    if (options.scenario) {
      for (const Step& step : options.scenario->steps) {
        if (step.kind == Step::Kind::Note) continue;
        launches = step.kind == Step::Kind::Launch;
        break;
      }
    }
    if (!launches) {
      Step launch;
      launch.kind = Step::Kind::Launch;
      launch.name = "launch";
      launch.value = Json::object();
      launch.at.line = 0;
      session.perform(launch);
    }
    if (options.scenario) session.run(*options.scenario);
    registerDeviceToken();

    for (;;) {
      // Every push handed over so far, or else the next control line.
      std::deque<std::function<void()>> batch;
      {
        std::unique_lock<std::mutex> g(lock);
        if (options.idle && !stopping && tasks.empty() && deliveries.empty()) {
          g.unlock();
          options.idle();
          g.lock();
        }
        wake.wait_for(g, std::chrono::seconds(1), [&] { return stopping || !tasks.empty() || !deliveries.empty(); });
        if (!deliveries.empty()) {
          batch.swap(deliveries);
        } else if (!tasks.empty()) {
          batch.push_back(std::move(tasks.front()));
          tasks.pop_front();
        } else if (stopping) {
          break;
        }
      }
      // The clock moves once for a batch: pushes that came together arrive
      // together.
      followRealTime();
      for (auto& task : batch) task();
    }
    finish();
    return badLines ? 1 : session.result().exitStatus();
  }

  // What is in flight is answered, and its pushes delivered.
  void finish() {
    mainThreadWaits = true;
    service->stop();
    runDeliveries();
    for (;;) {
      std::function<void()> task;
      {
        std::lock_guard<std::mutex> g(lock);
        if (tasks.empty()) break;
        task = std::move(tasks.front());
        tasks.pop_front();
      }
      task();
    }
  }

  Json describe() const {
    Json fields{{"url", service->url()}, {"deviceToken", deviceToken}, {"topic", options.topic}};
    if (!options.cleartext) fields["certificate"] = options.certificateOut;
    if (!options.livePage.empty()) fields["page"] = options.livePage;
    if (options.noAuth) {
      fields["auth"] = "none";
    } else {
      if (!generatedKeyFile.empty()) fields["authKey"] = generatedKeyFile;
      fields["keyId"] = keyId;
      fields["teamId"] = teamId;
    }
    return fields;
  }

  const ServeOptions options;
  Session session;
  std::unique_ptr<PushService> service;
  std::string generatedKeyFile, keyId, teamId;
  std::optional<ProviderKey> signingKey;  // for "send" steps
  std::string deviceToken;                // as registered

  // The service's thread only.
  std::optional<PushNotification> handed;
  std::vector<Json> storeRecords;
  uint64_t accepted = 0;

  std::mutex lock;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;       // control lines, in order
  std::deque<std::function<void()>> deliveries;  // what the service's thread handed over
  bool stopping = false;                         // guarded by lock
  std::atomic<size_t> controlLines{0};
  // Hand-overs to the main thread not yet finished there.
  std::atomic<size_t> behind{0};
  std::atomic<bool> mainThreadWaits{false};

  // How far the device clock is ahead of real time (an "advance" step moves
  // it on).
  std::atomic<double> deviceAhead{0};

  // The main thread only.
  double lastRealTime = 0;
  bool badLines = false;
};

Server::Server(ServeOptions options, Recorder::Sink sink)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(sink))) {}
Server::~Server() = default;
Json Server::describe() const { return impl_->describe(); }
void Server::control(std::string line) { impl_->control(std::move(line)); }
void Server::controlError(std::string what) {
  size_t number = ++impl_->controlLines;
  impl_->post([this, number, what = std::move(what)] {
    impl_->session.recorder().add("error", Json{{"what", what}, {"control", number}});
    impl_->badLines = true;
  });
}
void Server::stop() {
  {
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->stopping = true;
  }
  impl_->wake.notify_one();
}
int Server::serve() { return impl_->serve(); }
Recorder& Server::recorder() { return impl_->session.recorder(); }

// ---- standard input and signals ----

namespace {

// The write end of the pipe the signal handler writes to; async-signal-safe.
std::atomic<int> signalPipe{-1};

void onStopSignal(int) {
  int fd = signalPipe.load();
  if (fd >= 0) {
    char stop = 's';
    [[maybe_unused]] ssize_t n = ::write(fd, &stop, 1);
  }
}

}  // namespace

struct ServeInput::Impl {
  int pipe[2] = {-1, -1};
  struct sigaction previousInt {
  }, previousTerm{};
  std::thread thread;

  Impl() {
    if (::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0)
      throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
    signalPipe = pipe[1];
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
  }

  ~Impl() {
    if (thread.joinable()) {
      char quit = 'q';
      [[maybe_unused]] ssize_t n = ::write(pipe[1], &quit, 1);
      thread.join();
    }
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    signalPipe = -1;
    ::close(pipe[0]);
    ::close(pipe[1]);
  }

  void read(Server& server) {
    bool input = true;
    bool skipping = false;  // the rest of a line that was too long
    std::string line;
    char buffer[65536];
    for (;;) {
      pollfd fds[2] = {{pipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
      if (::poll(fds, input ? 2 : 1, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents & POLLIN) {
        char c;
        while (::read(pipe[0], &c, 1) == 1) {
          if (c == 'q') return;
          server.stop();
        }
      }
      if (!input || !(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // The end of the control channel; serving goes on.
        input = false;
        if (!line.empty() && !skipping) server.control(std::move(line));
        line.clear();
        continue;
      }
      for (ssize_t i = 0; i < n; ++i) {
        char c = buffer[i];
        if (c != '\n') {
          if (skipping) continue;
          if (line.size() == kMaxControlLineBytes) {
            server.controlError("a control line is at most " + std::to_string(kMaxControlLineBytes >> 20) +
                                " MiB; this one was longer and is skipped");
            skipping = true;
            line.clear();
            continue;
          }
          line += c;
          continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!skipping && line.find_first_not_of(" \t") != std::string::npos) server.control(std::move(line));
        line.clear();
        skipping = false;
      }
    }
  }
};

ServeInput::ServeInput() : impl_(std::make_unique<Impl>()) {}
ServeInput::~ServeInput() = default;
void ServeInput::attach(Server& server) {
  impl_->thread = std::thread([this, &server] { impl_->read(server); });
}

}  // namespace orvelsim
