// Foundation: values, the notification centre, queues, log, JSON bridge,
// files and URL loading.
#pragma once

#include "Foundation/NSArray.h"
#include "Foundation/NSData.h"
#include "Foundation/NSDate.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSError.h"
#include "Foundation/NSFileManager.h"
#include "Foundation/NSFormat.h"
#include "Foundation/NSJSONSerialization.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSNotificationCenter.h"
#include "Foundation/NSNumber.h"
#include "Foundation/NSString.h"
#include "Foundation/NSURL.h"
#include "Foundation/NSURLSession.h"
#include "Foundation/dispatch.h"
#include "objc/runtime.h"
