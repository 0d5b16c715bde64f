// The application framework.
#pragma once

#include "Foundation/Foundation.h"
#include "UIKit/CLRegion.h"
#include "UIKit/UIApplication.h"
#include "UIKit/UIDevice.h"
#include "UIKit/UILocalNotification.h"
#include "UIKit/UIUserNotificationSettings.h"
