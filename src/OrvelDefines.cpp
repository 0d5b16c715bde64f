#include "orvel/OrvelDefines.h"

#include <new>
#include <string>

namespace {

// Static storage for one exported string. The exported pointer holds the
// address of `string`, so it is constant-initialised and correct before any
// code runs. The string object is built by a static initialiser that runs
// ahead of every ordinary one (init_priority), so code that reads a constant
// during its own static initialisation finds it built. It is immortal and
// the storage never destroys it, so reads during process exit are safe too.
struct ExportedString {
  explicit ExportedString(const char* text) {
    new (&string) objc::NSString(std::string(text));
    objc::object_setClass(&string, objc::NSString::class_());
    string.makeImmortal();
  }
  ~ExportedString() {}
  ExportedString(const ExportedString&) = delete;
  ExportedString& operator=(const ExportedString&) = delete;

  union {
    objc::NSString string;
  };
};

#define ORVEL_EARLY_INIT __attribute__((init_priority(101)))

ExportedString gIdentifierKey ORVEL_EARLY_INIT{"OrvelIdentifier"};
ExportedString gDidReceiveMessage ORVEL_EARLY_INIT{"OrvelDidReceiveMessageNotification"};
ExportedString gDidRegisterRemote ORVEL_EARLY_INIT{"OrvelDidRegisterRemoteNotification"};
ExportedString gFailedRegisterRemote ORVEL_EARLY_INIT{"OrvelFailedRegisterRemoteNotification"};
ExportedString gCommandClearBadge ORVEL_EARLY_INIT{"Orvel_Command_ClearBadge"};

}  // namespace

constinit objc::NSString* const OrvelIdentifierKey = &gIdentifierKey.string;
constinit objc::NSString* const OrvelDidReceiveMessageNotification = &gDidReceiveMessage.string;
constinit objc::NSString* const OrvelDidRegisterRemoteNotification = &gDidRegisterRemote.string;
constinit objc::NSString* const OrvelFailedRegisterRemoteNotification = &gFailedRegisterRemote.string;
constinit objc::NSString* const OrvelCommandClearBadge = &gCommandClearBadge.string;

const unsigned char OrvelSDKVersionString[] = "@(#)PROGRAM:OrvelSDK  PROJECT:OrvelSDK-1\n";
const double OrvelSDKVersionNumber = 1.0;
