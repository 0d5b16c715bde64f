// Method replacement on the object run-time. A stateless utility: its
// operations are class-level and also reachable at run time as the class
// methods "hasMethodWithClass:method:",
// "hookRawClass:rawSEL:targetClass:newSEL:placeHolderSEL:" and
// "hookRawClass:classMethodSEL:targetClass:newClassMethodSEL:" of the class
// "OrvelHookTool". None of them reports a failure, and none is atomic: run
// them before other threads message the classes they change.
#pragma once

#include "objc/runtime.h"

class OrvelHookTool : public objc::NSObject {
 public:
  static objc::Class class_();
  OrvelHookTool() = delete;

  // Whether `cls` itself defines a method for `sel`; an inherited method does
  // not count. A nil class answers false.
  static bool hasMethodWithClass(objc::Class cls, objc::SEL sel);

  // Makes `rawClass` answer `rawSEL` with `targetClass`'s implementation of
  // `newSEL`, and `newSEL` with what `rawSEL` ran before (or, when nothing in
  // the raw class's chain answered `rawSEL`, with `targetClass`'s
  // implementation of `placeHolderSEL`). Superclasses of the raw class and
  // the target class are left unchanged. Does nothing when the raw class is
  // nil or already defines `newSEL` itself, and nothing when the target class
  // lacks `newSEL` (or lacks `placeHolderSEL` when the placeholder is
  // needed).
  static void hookRawClassRawSEL(objc::Class rawClass, objc::SEL rawSEL, objc::Class targetClass, objc::SEL newSEL,
                                 objc::SEL placeHolderSEL);

  // Makes the raw class answer the class-level `rawSEL` with `targetClass`'s
  // class-level implementation of `newClassMethodSEL`, and
  // `newClassMethodSEL` with its former implementation of `rawSEL`. The
  // change is made on the raw class's own metaclass; the target class is
  // unchanged. Does nothing when the raw class is nil or either class
  // method is missing (inherited ones count).
  static void hookRawClassClassMethodSEL(objc::Class rawClass, objc::SEL rawSEL, objc::Class targetClass,
                                         objc::SEL newClassMethodSEL);
};
