// Shared by the framework's sources.
#pragma once

#include "Foundation/Foundation.h"

namespace objc::un {

// The framework exists from system "10.0"; the answer follows the version in
// force at each lookup.
bool frameworkAvailable();
// Hides the class from lookups by name below "10.0"; returns it.
Class gated(Class cls);
// Raises "unrecognized selector" when the running system is older than
// `version`, as sending a selector that system lacks would.
void requireSystem(id receiver, SEL cmd, const char* version);

// An immutable copy of a value (nil stays nil).
template <class T>
Ref<T> copied(const T* v) {
  return v ? cast<T>(v->copy()) : nullptr;
}

}  // namespace objc::un
