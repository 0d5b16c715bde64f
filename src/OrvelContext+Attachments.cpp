// Attachments: the media address of a local notification is downloaded,
// given the address's file extension and wrapped into the notification
// framework's attachment (looked up by name).
#include "OrvelContext+Private.h"

using objc::Id;
using objc::NSArray;
using objc::NSDictionary;
using objc::NSError;
using objc::NSObject;
using objc::NSString;
using objc::NSURL;
using objc::Ref;
using orvel::detail::handlerOf;

namespace {

constexpr double kAttachmentRequestTimeout = 30;

// The platform refuses some files; why is of no use to the caller.
Id makeAttachment(NSURL* file) {
  Ref<NSError> refusal;
  return objc::send<Id>(objc::NSClassFromString("UNNotificationAttachment"),
                        objc::sel<"attachmentWithIdentifier:URL:options:error:">(), objc::lit<"attachment">(), file,
                        nullptr, static_cast<void*>(&refusal));
}

// The extension of the address's path: a query or fragment after the file
// name is no part of it ("https://host/picture.png?size=2" is a "png"). An
// address that does not parse is taken as a path; its download fails anyway.
Ref<NSString> fileTypeOf(NSString* address) {
  Ref<NSURL> parsed = NSURL::URLWithString(address);
  return parsed ? parsed->pathExtension() : address->pathExtension();
}

// Only a success with a body is media: an error page (a 404 answered with
// HTML) saved under the address's extension would be offered as a picture.
bool isMediaDownload(objc::NSURLResponse* response, NSURL* location) {
  if (auto* http = objc::cast<objc::NSHTTPURLResponse>(response)) {
    if (http->statusCode() < 200 || http->statusCode() > 299) return false;
  }
  return objc::NSFileManager::defaultManager()->fileSizeAtPath(location->path()->utf8()) > 0;
}

Ref<NSError> missingAttachmentError() {
  return NSError::errorWithDomain(
      objc::lit<"Attachment">(), 999,
      NSDictionary::dictionaryWithEntries({{objc::lit<"Description">(), objc::str("该推送不包含多媒体附件")}}));
}

}  // namespace

void OrvelContext::_handleNotificationServiceRequestUrl(NSString* url, NSObject* complete) {
  Ref<OrvelAttachmentsCompletion> completion(
      handlerOf<OrvelAttachmentsCompletion>(complete, "_handleNotificationServiceRequestUrl:withAttachmentsComplete:",
                                            "OrvelAttachmentsCompletion (objc::Block<void(objc::NSArray*, "
                                            "objc::NSError*)>)"));
  if (!url || url->length() == 0) {
    objc::callBlock(completion.get(), nullptr, missingAttachmentError().get());
    return;
  }
  auto loaded = objc::makeBlock<void(NSObject*)>([completion](NSObject* attachment) {
    if (attachment) {
      objc::callBlock(completion.get(), NSArray::arrayWithObjects({Id(attachment)}).get(), nullptr);
    } else {
      objc::callBlock(completion.get(), nullptr, nullptr);
    }
  });
  objc::send<void>(this, objc::sel<"_loadAttachmentForUrlString:withType:completionHandle:">(), url, fileTypeOf(url),
                   loaded);
}

void OrvelContext::_loadAttachmentForUrlString(NSString* url, NSString* type, NSObject* completionHandle) {
  Ref<OrvelAttachmentCompletion> completion(
      handlerOf<OrvelAttachmentCompletion>(completionHandle, "_loadAttachmentForUrlString:withType:completionHandle:",
                                           "OrvelAttachmentCompletion (objc::Block<void(objc::NSObject*)>)"));
  // An address that does not parse gives a nil URL, whose task fails when it
  // starts, on the session's queue: it ends like any failed download.
  Ref<NSURL> address = NSURL::URLWithString(url);
  Ref<NSString> suffix = objc::lit<".">()->stringByAppendingString(type);

  auto configuration = objc::NSURLSessionConfiguration::defaultSessionConfiguration();
  configuration->setTimeoutIntervalForRequest(kAttachmentRequestTimeout);
  // Not kept: a session with a running task stays alive until it completes.
  auto session = objc::NSURLSession::sessionWithConfiguration(configuration);
  auto task = session->downloadTaskWithURL(
      address, [suffix, completion](NSURL* location, objc::NSURLResponse* response, NSError* error) {
        Id attachment;
        // A file that is not taken here is removed by the session.
        if (!error && location && isMediaDownload(response, location)) {
          // The session deletes its temporary file once this returns, so it
          // is moved now; the platform judges the file by its extension.
          Ref<NSURL> destination = NSURL::fileURLWithPath(location->path()->stringByAppendingString(suffix));
          Ref<NSError> moveError;
          objc::NSFileManager* files = objc::NSFileManager::defaultManager();
          (void)files->moveItemAtURL(location, destination, &moveError);
          attachment = makeAttachment(destination);
          // An accepted file has moved into the platform's store; a refused
          // one (empty, too large, of an unknown type) would stay behind.
          if (!attachment) (void)files->removeItemAtURL(destination, nullptr);
        }
        objc::callBlock(completion.get(), attachment.get());
      });
  task->resume();
}
