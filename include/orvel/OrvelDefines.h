// The library's exported constants: event names, user-info keys, the
// version record, and the enumerations shared by the model records.
#pragma once

#include <cstdint>

#include "Foundation/NSString.h"

// User-info key under which a legacy local notification carries its request
// identifier ("OrvelIdentifier").
extern objc::NSString* const OrvelIdentifierKey;
// Event posted for every received or opened notification; its object is an
// OrvelNotificationMessage.
extern objc::NSString* const OrvelDidReceiveMessageNotification;
// Event posted when the system grants a device token.
extern objc::NSString* const OrvelDidRegisterRemoteNotification;
// Event posted when remote-notification registration fails.
extern objc::NSString* const OrvelFailedRegisterRemoteNotification;
// User-info key that marks the library's own badge-clearing local
// notification ("Orvel_Command_ClearBadge").
extern objc::NSString* const OrvelCommandClearBadge;

// "@(#)PROGRAM:OrvelSDK  PROJECT:OrvelSDK-1\n" followed by a zero byte.
extern const unsigned char OrvelSDKVersionString[];
extern const double OrvelSDKVersionNumber;

// What a delivery event reports.
enum OrvelNotificationMessageType : uint64_t {
  OrvelNotificationMessageTypeRemoteReceived = 0,
  OrvelNotificationMessageTypeLocalReceived = 1,
  OrvelNotificationMessageTypeRemoteOpened = 2,
  OrvelNotificationMessageTypeLocalOpened = 3,
};

// Bit set choosing which notifications a removal applies to.
enum OrvelNotificationRequestStatus : uint64_t {
  OrvelNotificationRequestStatusPending = 1,
  OrvelNotificationRequestStatusDelivered = 2,
};
