// Helpers shared by the run-time tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "objc/runtime.h"

namespace objc::testing {

// A registered run-time-only class (instances are plain NSObject storage).
inline Class makeClass(const std::string& name, Class superclass = NSObject::class_()) {
  Class cls = objc_allocateClassPair(superclass, name, 0);
  EXPECT_NE(cls, nullptr) << "class name " << name << " is taken";
  objc_registerClassPair(cls);
  return cls;
}

// Implementations that say which of them ran by their result.
template <int64_t N>
int64_t answer(id, SEL) {
  return N;
}

template <int64_t N>
bool addAnswer(Class cls, SEL sel) {
  return addMethod(cls, sel, &answer<N>);
}

template <int64_t N>
IMP answerIMP() {
  return reinterpret_cast<IMP>(&answer<N>);
}

inline int64_t ask(id receiver, SEL sel) { return send<int64_t>(receiver, sel); }

inline std::vector<std::string> ownSelectorNames(Class cls) {
  unsigned int count = 0;
  Method* list = class_copyMethodList(cls, &count);
  std::vector<std::string> names;
  for (unsigned int i = 0; i < count; ++i) names.emplace_back(sel_getName(method_getName(list[i])));
  std::free(list);
  return names;
}

// The reason of the objc::Exception that `fn` raises; fails the test when it
// raises nothing.
template <class F>
std::string reasonOf(F&& fn) {
  try {
    fn();
  } catch (const Exception& e) {
    return e.reason();
  }
  ADD_FAILURE() << "expected an objc::Exception";
  return {};
}

}  // namespace objc::testing
