// The Orvel SDK: everything a host application uses.
#pragma once

#include "orvel/OrvelContext.h"
#include "orvel/OrvelDefines.h"
#include "orvel/OrvelDevice.h"
#include "orvel/OrvelHookTool.h"
#include "orvel/OrvelNotificationConfiguration.h"
#include "orvel/OrvelNotificationContent.h"
#include "orvel/OrvelNotificationMessage.h"
#include "orvel/OrvelNotificationRequest.h"
#include "orvel/OrvelNotificationTrigger.h"
#include "orvel/UIApplication+Orvel.h"

// The facade and its request placeholder join the umbrella as soon as they
// are part of the library.
#if __has_include("orvel/OrvelCenter.h")
#include "orvel/OrvelCenter.h"
#endif
#if __has_include("orvel/KivOrvelHttpRequest.h")
#include "orvel/KivOrvelHttpRequest.h"
#endif
