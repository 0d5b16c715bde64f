// The object run-time: classes, selectors, methods, dispatch, class pairs,
// protocols, strong and weak references, blocks and the class builder.
#pragma once

#include "objc/api.h"
#include "objc/block.h"
#include "objc/builder.h"
#include "objc/class.h"
#include "objc/encoding.h"
#include "objc/message.h"
#include "objc/object.h"
