// Download tasks on libcurl. Each session owns one loader: a thread running
// a curl multi loop, started with the session's first task and joined when
// the session is destroyed. A session is destroyed only when none of its
// tasks is running (a task holds its session until its completion has run),
// so the loader never outlives the transfers it drives.
#include "Foundation/NSURLSession.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "Foundation/NSFileManager.h"

namespace objc {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<size_t> gDownloadsInFlight{0};

void initializeCurl() {
  // curl_global_init is not safe to race with itself; a function-local static
  // runs it exactly once, whichever thread gets here first.
  static const CURLcode initialized = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (initialized != CURLE_OK) {
    throw Exception(kInternalInconsistencyException,
                    std::string("libcurl failed to initialise: ") + curl_easy_strerror(initialized));
  }
}

const char* describeURLError(int64_t code) {
  switch (code) {
    case NSURLErrorCancelled:
      return "cancelled";
    case NSURLErrorBadURL:
      return "bad URL";
    case NSURLErrorTimedOut:
      return "The request timed out.";
    case NSURLErrorUnsupportedURL:
      return "unsupported URL";
    case NSURLErrorCannotFindHost:
      return "A server with the specified hostname could not be found.";
    case NSURLErrorCannotConnectToHost:
      return "Could not connect to the server.";
    case NSURLErrorNetworkConnectionLost:
      return "The network connection was lost.";
    case NSURLErrorHTTPTooManyRedirects:
      return "too many HTTP redirects";
    case NSURLErrorBadServerResponse:
      return "The server returned a response that could not be understood.";
    case NSURLErrorCannotDecodeContentData:
      return "The downloaded data could not be decoded.";
    case NSURLErrorSecureConnectionFailed:
      return "A TLS error occurred and a secure connection to the server cannot be made.";
    case NSURLErrorServerCertificateUntrusted:
      return "The certificate for this server is invalid.";
    case NSURLErrorCannotCreateFile:
      return "The file for the download could not be created.";
    case NSURLErrorCannotWriteToFile:
      return "The downloaded data could not be written to its file.";
    default:
      return "An unknown error occurred.";
  }
}

Ref<NSError> urlError(int64_t code, const NSURL* url, const std::string& detail = {}) {
  auto info = NSMutableDictionary::dictionary();
  info->setObject(str(describeURLError(code)), NSLocalizedDescriptionKey);
  if (url) {
    info->setObject(const_cast<NSURL*>(url), NSURLErrorFailingURLErrorKey);
    info->setObject(url->absoluteString(), NSURLErrorFailingURLStringErrorKey);
  }
  if (!detail.empty()) info->setObject(str(detail), "NSDebugDescription");
  return NSError::errorWithDomain(NSURLErrorDomain, code, info);
}

int64_t urlErrorForCurl(CURLcode rc) {
  switch (rc) {
    case CURLE_OK:
      return 0;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return NSURLErrorUnsupportedURL;
    case CURLE_URL_MALFORMAT:
      return NSURLErrorBadURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return NSURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return NSURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
      return NSURLErrorTimedOut;
    case CURLE_TOO_MANY_REDIRECTS:
      return NSURLErrorHTTPTooManyRedirects;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return NSURLErrorNetworkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
      return NSURLErrorBadServerResponse;
    case CURLE_BAD_CONTENT_ENCODING:
      return NSURLErrorCannotDecodeContentData;
    case CURLE_PEER_FAILED_VERIFICATION:
      return NSURLErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
      return NSURLErrorSecureConnectionFailed;
    case CURLE_WRITE_ERROR:
      return NSURLErrorCannotWriteToFile;
    default:
      return NSURLErrorUnknown;
  }
}

std::string lowercase(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

// Why a URL cannot be loaded at all, before any connection: 0 when it can.
int64_t checkURL(const NSURL* url) {
  if (!url) return NSURLErrorBadURL;
  Ref<NSString> scheme = url->scheme();
  if (!scheme || (scheme->utf8() != "http" && scheme->utf8() != "https")) return NSURLErrorUnsupportedURL;
  Ref<NSString> host = url->host();
  if (!host || host->utf8().empty()) return NSURLErrorBadURL;
  return 0;
}

constexpr const char* kAllowedProtocols = "http,https";
constexpr long kMaximumRedirects = 16;

// Hosts reached without a proxy: the environment's list, plus loopback,
// which a proxy could never reach for us.
const std::string& hostsWithoutProxy() {
  static const std::string hosts = [] {
    const char* env = std::getenv("no_proxy");
    if (!env || !*env) env = std::getenv("NO_PROXY");
    std::string list = env ? env : "";
    if (list == "*") return list;
    return list + (list.empty() ? "" : ",") + "localhost,127.0.0.1,::1";
  }();
  return hosts;
}
constexpr double kIdlePollSeconds = 60;

std::atomic<double> gTimeoutScale{1.0};

}  // namespace

namespace detail {

class SessionLoader : public std::enable_shared_from_this<SessionLoader> {
 public:
  SessionLoader() {
    initializeCurl();
    multi_ = curl_multi_init();
    if (!multi_) throw Exception(kInternalInconsistencyException, "curl_multi_init failed");
  }
  ~SessionLoader() {
    for (auto& t : active_) abandon(*t);
    curl_multi_cleanup(multi_);
  }

  // Hands a resumed task to the loop, starting the loop's thread if needed.
  void start(Ref<NSURLSessionTask> task) {
    {
      std::lock_guard<std::mutex> g(lock_);
      if (!thread_.joinable()) {
        try {
          thread_ = std::thread([self = shared_from_this()] { self->run(); });
        } catch (const std::system_error& e) {
          NSURL* url = task->url_.get();
          NSURLSessionTask::complete(std::move(task), {}, nullptr, urlError(NSURLErrorUnknown, url, e.what()));
          return;
        }
      }
      incoming_.push_back(std::move(task));
    }
    wake();
  }

  void wake() { curl_multi_wakeup(multi_); }

  // Ends the loop. Called by the session's destructor, when no task of the
  // session is running.
  void shutdown() {
    std::thread thread;
    {
      std::lock_guard<std::mutex> g(lock_);
      stopping_ = true;
      thread = std::move(thread_);
    }
    wake();
    if (!thread.joinable()) return;
    // The loop holds the loader too, so it may finish on its own if the last
    // reference to the session happened to be dropped on its thread.
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }

 private:
  struct Transfer {
    Ref<NSURLSessionTask> task;
    CURL* easy = nullptr;
    FILE* file = nullptr;
    std::string path;
    bool writeFailed = false;
    std::vector<std::pair<std::string, std::string>> headers;  // of the latest response
    Clock::time_point lastActivity;
    char errorBuffer[CURL_ERROR_SIZE] = {};
  };

  static size_t onBody(char* data, size_t size, size_t count, void* context) {
    auto* t = static_cast<Transfer*>(context);
    size_t bytes = size * count;
    t->lastActivity = Clock::now();
    if (std::fwrite(data, 1, bytes, t->file) != bytes) {
      t->writeFailed = true;
      return 0;
    }
    return bytes;
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* context) {
    auto* t = static_cast<Transfer*>(context);
    size_t bytes = size * count;
    t->lastActivity = Clock::now();
    std::string_view line(data, bytes);
    if (line.substr(0, 5) == "HTTP/") {
      t->headers.clear();  // a new response: an interim one, or one after a redirect
    } else if (size_t colon = line.find(':'); colon != std::string_view::npos) {
      t->headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }
    return bytes;
  }

  void run() {
    for (;;) {
      std::vector<Ref<NSURLSessionTask>> incoming;
      {
        std::lock_guard<std::mutex> g(lock_);
        if (stopping_) return;
        incoming.swap(incoming_);
      }
      for (auto& task : incoming) begin(std::move(task));

      int running = 0;
      curl_multi_perform(multi_, &running);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        auto it = std::find_if(active_.begin(), active_.end(),
                               [&](const auto& t) { return t->easy == message->easy_handle; });
        CURLcode rc = message->data.result;  // `message` dies with the handle
        if (it != active_.end()) {
          std::string detail = (*it)->errorBuffer[0] ? (*it)->errorBuffer : curl_easy_strerror(rc);
          finish(it, urlErrorForCurl(rc), detail);
        }
      }

      // Cancellations and time-outs: a task that has received nothing for
      // its time-out fails, however long it has been running.
      auto now = Clock::now();
      double wait = kIdlePollSeconds;
      for (auto it = active_.begin(); it != active_.end();) {
        Transfer& t = **it;
        double timeout = t.task->timeout_;  // positive; infinity for none
        double idle = std::chrono::duration<double>(now - t.lastActivity).count();
        if (t.task->cancelRequested()) {
          it = finish(it, NSURLErrorCancelled, {});
        } else if (idle >= timeout) {
          it = finish(it, NSURLErrorTimedOut, "no data received for " + std::to_string(timeout) + " s");
        } else {
          wait = std::min(wait, timeout - idle);
          ++it;
        }
      }
      // Returns early for socket activity, curl's own timers and wake().
      int waitMilliseconds = std::max(1, static_cast<int>(std::ceil(wait * 1000)));
      curl_multi_poll(multi_, nullptr, 0, waitMilliseconds, nullptr);
    }
  }

  void begin(Ref<NSURLSessionTask> task) {
    auto t = std::make_unique<Transfer>();
    t->task = std::move(task);
    std::string directory = NSFileManager::defaultManager()->temporaryDirectory()->path()->utf8();
    t->path = directory + "/download-XXXXXX";
    int fd = ::mkostemp(t->path.data(), O_CLOEXEC);
    if (fd >= 0) t->file = ::fdopen(fd, "wb");
    if (!t->file) {
      std::string detail = std::strerror(errno);
      if (fd >= 0) {
        ::close(fd);
        ::unlink(t->path.c_str());
      }
      NSURL* url = t->task->url_.get();
      NSURLSessionTask::complete(std::move(t->task), {}, nullptr, urlError(NSURLErrorCannotCreateFile, url, detail));
      return;
    }
    t->easy = curl_easy_init();
    CURL* e = t->easy;
    curl_easy_setopt(e, CURLOPT_URL, t->task->url_->absoluteString()->UTF8String());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaximumRedirects);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(e, CURLOPT_USERAGENT, "OrvelFoundation/1.0");
    curl_easy_setopt(e, CURLOPT_NOPROXY, hostsWithoutProxy().c_str());
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &SessionLoader::onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &SessionLoader::onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, t.get());
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->errorBuffer);
    t->lastActivity = Clock::now();
    curl_multi_add_handle(multi_, e);
    active_.push_back(std::move(t));
  }

  using Active = std::vector<std::unique_ptr<Transfer>>;

  // Ends a transfer (code 0 for success) and hands the outcome to the task.
  Active::iterator finish(Active::iterator it, int64_t code, const std::string& detail) {
    Transfer& t = **it;
    curl_multi_remove_handle(multi_, t.easy);
    bool closed = std::fclose(t.file) == 0;
    t.file = nullptr;
    if (code == 0 && (t.writeFailed || !closed)) code = NSURLErrorCannotWriteToFile;

    NSURL* requested = t.task->url_.get();
    Ref<NSURLResponse> response;
    Ref<NSError> error;
    std::string path;
    if (code == 0) {
      path = t.path;
      response = makeResponse(t, requested);
    } else {
      ::unlink(t.path.c_str());
      error = urlError(code, requested, detail);
    }
    curl_easy_cleanup(t.easy);
    t.easy = nullptr;
    Ref<NSURLSessionTask> task = std::move(t.task);
    it = active_.erase(it);
    // The reference moves on to the completion, so the loop's thread never
    // drops the last reference to a task (and through it to the session).
    NSURLSessionTask::complete(std::move(task), std::move(path), std::move(response), std::move(error));
    return it;
  }

  Ref<NSURLResponse> makeResponse(Transfer& t, NSURL* requested) {
    long status = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
    char* effective = nullptr;
    curl_easy_getinfo(t.easy, CURLINFO_EFFECTIVE_URL, &effective);
    Ref<NSURL> url = effective ? NSURL::URLWithString(effective) : nullptr;
    if (!url) url = requested;

    // Fields sent more than once are joined, names compared without case.
    std::vector<std::pair<std::string, std::string>> fields;
    for (auto& header : t.headers) {
      std::string name = lowercase(header.first);
      auto same = std::find_if(fields.begin(), fields.end(), [&](const auto& f) { return lowercase(f.first) == name; });
      if (same == fields.end()) {
        fields.push_back(header);
      } else {
        same->second += ", " + header.second;
      }
    }
    auto headers = NSMutableDictionary::dictionary();
    for (auto& [name, value] : fields) headers->setObject(str(value), name);
    return NSHTTPURLResponse::responseWithURL(url, status, headers);
  }

  // Drops a transfer without completing it; only reached if a loader is
  // destroyed with transfers left, which its session's lifetime rules out.
  void abandon(Transfer& t) {
    if (t.easy) {
      curl_multi_remove_handle(multi_, t.easy);
      curl_easy_cleanup(t.easy);
    }
    if (t.file) std::fclose(t.file);
    ::unlink(t.path.c_str());
  }

  CURLM* multi_ = nullptr;
  std::mutex lock_;
  std::vector<Ref<NSURLSessionTask>> incoming_;
  bool stopping_ = false;
  std::thread thread_;
  Active active_;  // the loop's thread only
};

}  // namespace detail

// Responses.

Class NSURLResponse::class_() {
  static Class c = ClassBuilder<NSURLResponse>("NSURLResponse")
                       .method<&NSURLResponse::URL>("URL")
                       .method<&NSURLResponse::MIMEType>("MIMEType")
                       .method<&NSURLResponse::textEncodingName>("textEncodingName")
                       .method<&NSURLResponse::expectedContentLength>("expectedContentLength")
                       .build();
  return c;
}

Class NSHTTPURLResponse::class_() {
  static Class c =
      ClassBuilder<NSHTTPURLResponse, NSURLResponse>("NSHTTPURLResponse")
          .method<&NSHTTPURLResponse::statusCode>("statusCode")
          .method<&NSHTTPURLResponse::allHeaderFields>("allHeaderFields")
          .method("valueForHTTPHeaderField:",
                  [](NSHTTPURLResponse* self, SEL, NSString* field) { return self->valueForHTTPHeaderField(field); })
          .build();
  return c;
}

Ref<NSHTTPURLResponse> NSHTTPURLResponse::responseWithURL(NSURL* url, int64_t statusCode, NSDictionary* headerFields) {
  auto r = make<NSHTTPURLResponse>();
  r->url_ = url;
  r->statusCode_ = statusCode;
  r->headerFields_ = headerFields ? cast<NSDictionary>(headerFields->copy()) : NSDictionary::dictionary();
  if (auto type = r->valueForHTTPHeaderField("Content-Type")) {
    std::string_view text = type->utf8();
    size_t semicolon = text.find(';');
    std::string mime = lowercase(trim(text.substr(0, semicolon)));
    if (!mime.empty()) r->mimeType_ = str(mime);
    while (semicolon != std::string_view::npos) {
      text.remove_prefix(semicolon + 1);
      semicolon = text.find(';');
      std::string parameter = trim(text.substr(0, semicolon));
      if (lowercase(parameter.substr(0, 8)) == "charset=") {
        std::string charset = parameter.substr(8);
        if (charset.size() >= 2 && charset.front() == '"' && charset.back() == '"') {
          charset = charset.substr(1, charset.size() - 2);
        }
        r->textEncodingName_ = str(lowercase(charset));
      }
    }
  }
  if (auto length = r->valueForHTTPHeaderField("Content-Length")) {
    const std::string& text = length->utf8();
    bool digits = !text.empty() && std::all_of(text.begin(), text.end(),
                                               [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
    if (digits && text.size() < 19) r->expectedContentLength_ = std::stoll(text);
  }
  return r;
}

Ref<NSString> NSHTTPURLResponse::valueForHTTPHeaderField(const NSString* field) const {
  return field ? valueForHTTPHeaderField(field->utf8()) : nullptr;
}

Ref<NSString> NSHTTPURLResponse::valueForHTTPHeaderField(std::string_view field) const {
  if (!headerFields_) return nullptr;
  std::string wanted = lowercase(std::string(field));
  for (const auto& entry : *headerFields_) {
    auto* name = asString(entry.key.get());
    if (name && lowercase(name->utf8()) == wanted) return Ref<NSString>(asString(entry.value.get()));
  }
  return nullptr;
}

// Configuration.

Class NSURLSessionConfiguration::class_() {
  static Class c =
      ClassBuilder<NSURLSessionConfiguration>("NSURLSessionConfiguration")
          .classMethod("defaultSessionConfiguration",
                       [](Class, SEL) { return NSURLSessionConfiguration::defaultSessionConfiguration(); })
          .method<&NSURLSessionConfiguration::timeoutIntervalForRequest>("timeoutIntervalForRequest")
          .method<&NSURLSessionConfiguration::setTimeoutIntervalForRequest>("setTimeoutIntervalForRequest:")
          .build();
  return c;
}

Ref<NSURLSessionConfiguration> NSURLSessionConfiguration::defaultSessionConfiguration() {
  return make<NSURLSessionConfiguration>();
}

void NSURLSessionConfiguration::setTimeoutIntervalForRequest(double seconds) {
  if (!(seconds > 0)) {
    throw Exception(kInvalidArgumentException,
                    "timeoutIntervalForRequest must be positive, not " + std::to_string(seconds));
  }
  timeoutIntervalForRequest_ = seconds;
}

Ref<NSObject> NSURLSessionConfiguration::copy() const {
  auto c = make<NSURLSessionConfiguration>();
  c->timeoutIntervalForRequest_ = timeoutIntervalForRequest_;
  return c;
}

void setURLSessionTimeoutScaleForTesting(double factor) {
  if (!(factor > 0) || !std::isfinite(factor)) {
    throw Exception(kInvalidArgumentException,
                    "the time-out scale must be positive and finite, not " + std::to_string(factor));
  }
  gTimeoutScale.store(factor, std::memory_order_relaxed);
}

// Sessions.

Class NSURLSession::class_() {
  static Class c = ClassBuilder<NSURLSession>("NSURLSession")
                       .classMethod("sessionWithConfiguration:",
                                    [](Class, SEL, NSURLSessionConfiguration* configuration) {
                                      return NSURLSession::sessionWithConfiguration(configuration);
                                    })
                       .method("downloadTaskWithURL:completionHandler:",
                               [](NSURLSession* self, SEL, NSURL* url, NSURLSessionDownloadCompletion* completion) {
                                 return self->downloadTaskWithURL(url, completion);
                               })
                       .method<&NSURLSession::configuration>("configuration")
                       .method<&NSURLSession::delegateQueue>("delegateQueue")
                       .method<&NSURLSession::invalidateAndCancel>("invalidateAndCancel")
                       .method<&NSURLSession::finishTasksAndInvalidate>("finishTasksAndInvalidate")
                       .build();
  return c;
}

NSURLSession::NSURLSession()
    : delegateQueue_(dispatch_queue_create("NSURLSession.delegateQueue")),
      loader_(std::make_shared<detail::SessionLoader>()) {}

NSURLSession::~NSURLSession() { loader_->shutdown(); }

Ref<NSURLSession> NSURLSession::sessionWithConfiguration(const NSURLSessionConfiguration* configuration) {
  auto session = make<NSURLSession>();
  if (configuration) session->timeoutIntervalForRequest_ = configuration->timeoutIntervalForRequest();
  return session;
}

Ref<NSURLSessionConfiguration> NSURLSession::configuration() const {
  auto c = NSURLSessionConfiguration::defaultSessionConfiguration();
  c->setTimeoutIntervalForRequest(timeoutIntervalForRequest_);
  return c;
}

Ref<NSURLSessionDownloadTask> NSURLSession::downloadTaskWithURL(NSURL* url,
                                                                NSURLSessionDownloadCompletion* completionHandler) {
  auto task = make<NSURLSessionDownloadTask>();
  task->url_ = url ? cast<NSURL>(url->copy()) : nullptr;
  task->timeout_ = timeoutIntervalForRequest_ * gTimeoutScale.load(std::memory_order_relaxed);
  task->delegateQueue_ = delegateQueue_;
  task->loader_ = loader_;
  task->completion_ = completionHandler;
  task->session_ = this;
  std::vector<Ref<NSURLSessionTask>> seen;
  std::lock_guard<std::mutex> g(lock_);
  if (invalidated_) {
    throw Exception(kInternalInconsistencyException, "Task created in a session that has been invalidated");
  }
  task->taskIdentifier_ = nextTaskIdentifier_++;
  std::erase_if(tasks_, [&](const Weak<NSURLSessionTask>& w) {
    Ref<NSURLSessionTask> t = w.load();
    bool done = !t || t->state() == NSURLSessionTaskStateCompleted;
    // Released after the lock: a task's last release may run arbitrary code.
    if (t) seen.push_back(std::move(t));
    return done;
  });
  tasks_.emplace_back(task.get());
  return task;
}

void NSURLSession::invalidateAndCancel() {
  std::vector<Ref<NSURLSessionTask>> live;
  {
    std::lock_guard<std::mutex> g(lock_);
    invalidated_ = true;
    for (auto& w : tasks_) {
      if (auto t = w.load()) live.push_back(std::move(t));
    }
    tasks_.clear();
  }
  for (auto& t : live) t->cancel();
}

void NSURLSession::finishTasksAndInvalidate() {
  std::lock_guard<std::mutex> g(lock_);
  invalidated_ = true;
}

// Tasks.

Class NSURLSessionTask::class_() {
  static Class c = ClassBuilder<NSURLSessionTask>("NSURLSessionTask")
                       .method<&NSURLSessionTask::resume>("resume")
                       .method<&NSURLSessionTask::cancel>("cancel")
                       .method<&NSURLSessionTask::state>("state")
                       .method<&NSURLSessionTask::taskIdentifier>("taskIdentifier")
                       .method<&NSURLSessionTask::response>("response")
                       .method<&NSURLSessionTask::error>("error")
                       .build();
  return c;
}

Class NSURLSessionDownloadTask::class_() {
  static Class c = ClassBuilder<NSURLSessionDownloadTask, NSURLSessionTask>("NSURLSessionDownloadTask").build();
  return c;
}

size_t URLSessionDownloadsInFlight() { return gDownloadsInFlight.load(std::memory_order_acquire); }

void NSURLSessionTask::resume() {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (started_) return;
    started_ = true;
    inFlight_ = true;
    state_ = NSURLSessionTaskStateRunning;
  }
  gDownloadsInFlight.fetch_add(1, std::memory_order_acq_rel);
  if (int64_t code = checkURL(url_.get())) {
    complete(Ref<NSURLSessionTask>(this), {}, nullptr, urlError(code, url_.get()));
    return;
  }
  loader_->start(Ref<NSURLSessionTask>(this));
}

void NSURLSessionTask::cancel() {
  bool running;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (completed_ || state_ == NSURLSessionTaskStateCanceling) return;
    running = started_;
    started_ = true;
    state_ = NSURLSessionTaskStateCanceling;
  }
  if (running) {
    loader_->wake();  // the loop sees the request and ends the transfer
  } else {
    complete(Ref<NSURLSessionTask>(this), {}, nullptr, urlError(NSURLErrorCancelled, url_.get()));
  }
}

bool NSURLSessionTask::cancelRequested() const {
  std::lock_guard<std::mutex> g(lock_);
  return state_ == NSURLSessionTaskStateCanceling;
}

NSURLSessionTaskState NSURLSessionTask::state() const {
  std::lock_guard<std::mutex> g(lock_);
  return state_;
}

Ref<NSURLResponse> NSURLSessionTask::response() const {
  std::lock_guard<std::mutex> g(lock_);
  return response_;
}

Ref<NSError> NSURLSessionTask::error() const {
  std::lock_guard<std::mutex> g(lock_);
  return error_;
}

void NSURLSessionTask::complete(Ref<NSURLSessionTask> task, std::string path, Ref<NSURLResponse> response,
                                Ref<NSError> error) {
  {
    std::lock_guard<std::mutex> g(task->lock_);
    if (task->completed_) return;
    task->completed_ = true;
    task->state_ = NSURLSessionTaskStateCompleted;
    task->response_ = response;
    task->error_ = error;
  }
  DispatchQueue* queue = task->delegateQueue_.get();
  dispatch_async(queue, [task = std::move(task), path = std::move(path), response = std::move(response),
                         error = std::move(error)]() mutable {
    Ref<NSURLSessionDownloadCompletion> completion;
    Ref<NSURLSession> session;
    bool inFlight;
    {
      std::lock_guard<std::mutex> g(task->lock_);
      completion = std::move(task->completion_);
      session = std::move(task->session_);
      inFlight = std::exchange(task->inFlight_, false);
    }
    Ref<NSURL> location = path.empty() ? nullptr : NSURL::fileURLWithPath(path);
    callBlock(completion.get(), location.get(), response.get(), error.get());
    if (!path.empty()) ::unlink(path.c_str());
    if (inFlight) gDownloadsInFlight.fetch_sub(1, std::memory_order_acq_rel);
    // The completion and the session are released here, on the session's
    // queue; a completion that refers to its own task no longer keeps it.
  });
}

namespace {
// Lookups by name find the classes before anything has used them.
struct RegisterURLLoading {
  RegisterURLLoading() {
    NSURLResponse::class_();
    NSHTTPURLResponse::class_();
    NSURLSessionConfiguration::class_();
    NSURLSession::class_();
    NSURLSessionTask::class_();
    NSURLSessionDownloadTask::class_();
  }
} gRegisterURLLoading;
}  // namespace

}  // namespace objc
