// The notification framework. Its classes are found by name only on system
// "10.0" and later.
#pragma once

#include "Foundation/Foundation.h"
#include "UIKit/CLRegion.h"
#include "UserNotifications/UNError.h"
#include "UserNotifications/UNNotification.h"
#include "UserNotifications/UNNotificationAttachment.h"
#include "UserNotifications/UNNotificationContent.h"
#include "UserNotifications/UNNotificationRequest.h"
#include "UserNotifications/UNNotificationSettings.h"
#include "UserNotifications/UNNotificationSound.h"
#include "UserNotifications/UNNotificationTrigger.h"
#include "UserNotifications/UNUserNotificationCenter.h"
