// URL loading: sessions and download tasks over HTTP and HTTPS.
//
//   auto config = NSURLSessionConfiguration::defaultSessionConfiguration();
//   config->setTimeoutIntervalForRequest(30);
//   auto session = NSURLSession::sessionWithConfiguration(config);
//   auto task = session->downloadTaskWithURL(url, [](NSURL* location, NSURLResponse* response, NSError* error) {
//     // On the session's delegate queue. `location` is a temporary file that
//     // is deleted when this returns: move it to keep it.
//   });
//   task->resume();
//
// A download writes the response body, whatever its status code, to a fresh
// temporary file. Its completion runs exactly once, on the session's own
// serial delegate queue, with the file's location and the response, or with
// no location and an error in NSURLErrorDomain; a failed download leaves no
// file behind. Only http and https are loaded, also when redirected.
// A task that receives nothing for the configuration's request time-out
// fails with NSURLErrorTimedOut. A session stays alive while it has tasks
// that have not completed, even when nothing else refers to it.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "Foundation/NSDictionary.h"
#include "Foundation/NSError.h"
#include "Foundation/NSString.h"
#include "Foundation/NSURL.h"
#include "Foundation/dispatch.h"

namespace objc {

// NSURLErrorDomain codes.
inline constexpr int64_t NSURLErrorUnknown = -1;
inline constexpr int64_t NSURLErrorCancelled = -999;
inline constexpr int64_t NSURLErrorBadURL = -1000;
inline constexpr int64_t NSURLErrorTimedOut = -1001;
inline constexpr int64_t NSURLErrorUnsupportedURL = -1002;
inline constexpr int64_t NSURLErrorCannotFindHost = -1003;
inline constexpr int64_t NSURLErrorCannotConnectToHost = -1004;
inline constexpr int64_t NSURLErrorNetworkConnectionLost = -1005;
inline constexpr int64_t NSURLErrorHTTPTooManyRedirects = -1007;
inline constexpr int64_t NSURLErrorBadServerResponse = -1011;
inline constexpr int64_t NSURLErrorCannotDecodeContentData = -1016;
inline constexpr int64_t NSURLErrorSecureConnectionFailed = -1200;
inline constexpr int64_t NSURLErrorServerCertificateUntrusted = -1202;
inline constexpr int64_t NSURLErrorCannotCreateFile = -3000;
inline constexpr int64_t NSURLErrorCannotWriteToFile = -3003;

// User-info keys of URL-loading errors.
inline constexpr const char* NSURLErrorFailingURLErrorKey = "NSErrorFailingURLKey";
inline constexpr const char* NSURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";

class NSURLSessionTask;
class NSURLSessionDownloadTask;
namespace detail {
class SessionLoader;
}  // namespace detail

// Response metadata.
class NSURLResponse : public NSObject {
 public:
  static Class class_();
  NSURLResponse() = default;

  // The URL that answered (after redirects).
  NSURL* URL() const { return url_.get(); }
  // The content type without parameters, lowercased; nil when not given.
  NSString* MIMEType() const { return mimeType_.get(); }
  // The "charset" parameter of the content type; nil when not given.
  NSString* textEncodingName() const { return textEncodingName_.get(); }
  // The announced body length, -1 when unknown.
  int64_t expectedContentLength() const { return expectedContentLength_; }

 protected:
  Ref<NSURL> url_;
  Ref<NSString> mimeType_;
  Ref<NSString> textEncodingName_;
  int64_t expectedContentLength_ = -1;
};

class NSHTTPURLResponse final : public NSURLResponse {
 public:
  static Class class_();
  NSHTTPURLResponse() = default;

  // A response for `url`; the MIME type, text encoding and expected length
  // are read from the "Content-Type" and "Content-Length" fields.
  static Ref<NSHTTPURLResponse> responseWithURL(NSURL* url, int64_t statusCode, NSDictionary* headerFields);

  int64_t statusCode() const { return statusCode_; }
  // The final response's header fields; a field sent more than once holds
  // its values joined by ", ".
  NSDictionary* allHeaderFields() const { return headerFields_.get(); }
  // Header field names compare without regard to case.
  Ref<NSString> valueForHTTPHeaderField(const NSString* field) const;
  Ref<NSString> valueForHTTPHeaderField(std::string_view field) const;

 private:
  int64_t statusCode_ = 0;
  Ref<NSDictionary> headerFields_;
};

class NSURLSessionConfiguration final : public NSObject {
 public:
  static Class class_();
  NSURLSessionConfiguration() = default;

  // A new configuration with the defaults (request time-out 60 seconds).
  static Ref<NSURLSessionConfiguration> defaultSessionConfiguration();

  // Seconds a task may go without receiving data (while connecting, waiting
  // for the response or reading the body) before it fails with
  // NSURLErrorTimedOut. Infinity disables the limit; other values that are
  // not positive raise NSInvalidArgumentException.
  double timeoutIntervalForRequest() const { return timeoutIntervalForRequest_; }
  void setTimeoutIntervalForRequest(double seconds);

  Ref<NSObject> copy() const override;

 private:
  double timeoutIntervalForRequest_ = 60;
};

// For tests of time-outs that would otherwise last their full length: every
// task made after this call has its request time-out multiplied by `factor`
// (1 restores the normal length; values that are not positive and finite
// raise NSInvalidArgumentException). Process-wide.
void setURLSessionTimeoutScaleForTesting(double factor);

// Download tasks of this process that have been resumed and whose
// completion handlers have not yet returned. The simulated device waits for
// them to reach zero when it settles.
size_t URLSessionDownloadsInFlight();

using NSURLSessionDownloadCompletion = Block<void(NSURL* location, NSURLResponse* response, NSError* error)>;

class NSURLSession final : public NSObject {
 public:
  static Class class_();
  NSURLSession();
  ~NSURLSession() override;

  // A session with a copy of `configuration` (nil: the default one) and a
  // new serial delegate queue of its own.
  static Ref<NSURLSession> sessionWithConfiguration(const NSURLSessionConfiguration* configuration);

  // A copy of the session's configuration.
  Ref<NSURLSessionConfiguration> configuration() const;
  DispatchQueue* delegateQueue() const { return delegateQueue_.get(); }

  // A suspended download task; `resume` starts it. A nil URL, or one that is
  // not http or https, makes a task that fails when resumed. Raises
  // NSInternalInconsistencyException once the session is invalidated.
  Ref<NSURLSessionDownloadTask> downloadTaskWithURL(NSURL* url, NSURLSessionDownloadCompletion* completionHandler);
  template <class F, class = std::enable_if_t<std::is_invocable_v<F&, NSURL*, NSURLResponse*, NSError*>>>
  Ref<NSURLSessionDownloadTask> downloadTaskWithURL(NSURL* url, F&& completionHandler) {
    auto block = makeBlock<void(NSURL*, NSURLResponse*, NSError*)>(std::forward<F>(completionHandler));
    return downloadTaskWithURL(url, block.get());
  }

  // Cancels every task that has not completed and refuses new ones.
  void invalidateAndCancel();
  // Lets the tasks already made finish and refuses new ones.
  void finishTasksAndInvalidate();

 private:
  double timeoutIntervalForRequest_ = 60;
  Ref<DispatchQueue> delegateQueue_;
  std::shared_ptr<detail::SessionLoader> loader_;
  mutable std::mutex lock_;
  std::list<Weak<NSURLSessionTask>> tasks_;  // made and not known to be done
  uint64_t nextTaskIdentifier_ = 1;
  bool invalidated_ = false;
};

enum NSURLSessionTaskState : int64_t {
  NSURLSessionTaskStateRunning = 0,
  NSURLSessionTaskStateSuspended = 1,
  NSURLSessionTaskStateCanceling = 2,
  NSURLSessionTaskStateCompleted = 3,
};

class NSURLSessionTask : public NSObject {
 public:
  static Class class_();
  NSURLSessionTask() = default;

  // Starts a suspended task; does nothing otherwise.
  void resume();
  // Ends a task that has not completed: its completion gets
  // NSURLErrorCancelled. Does nothing once the task has completed.
  void cancel();

  NSURLSessionTaskState state() const;
  uint64_t taskIdentifier() const { return taskIdentifier_; }
  NSURL* URL() const { return url_.get(); }
  // Set when the task completes.
  Ref<NSURLResponse> response() const;
  Ref<NSError> error() const;

 private:
  friend class NSURLSession;
  friend class detail::SessionLoader;

  // Hands the outcome to the completion on the delegate queue, once; the
  // file at `path` (if any) is deleted after the completion returns.
  static void complete(Ref<NSURLSessionTask> task, std::string path, Ref<NSURLResponse> response, Ref<NSError> error);
  bool cancelRequested() const;

  uint64_t taskIdentifier_ = 0;
  Ref<NSURL> url_;
  double timeout_ = 60;
  Ref<DispatchQueue> delegateQueue_;
  std::shared_ptr<detail::SessionLoader> loader_;

  mutable std::mutex lock_;
  // Held until the completion has run: a running task keeps its session.
  Ref<NSURLSession> session_;
  Ref<NSURLSessionDownloadCompletion> completion_;
  NSURLSessionTaskState state_ = NSURLSessionTaskStateSuspended;
  bool started_ = false;
  bool inFlight_ = false;  // counted in URLSessionDownloadsInFlight
  bool completed_ = false;
  Ref<NSURLResponse> response_;
  Ref<NSError> error_;
};

class NSURLSessionDownloadTask final : public NSURLSessionTask {
 public:
  static Class class_();
  NSURLSessionDownloadTask() = default;
};

}  // namespace objc
