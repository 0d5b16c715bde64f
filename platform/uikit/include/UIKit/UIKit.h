// The application framework.
#pragma once

#include "Foundation/Foundation.h"
#include "UIKit/UIDevice.h"
