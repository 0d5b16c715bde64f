#include "orvel/OrvelHookTool.h"

#include <cstdlib>

#include "Foundation/NSString.h"

using objc::Class;
using objc::IMP;
using objc::Method;
using objc::SEL;

namespace {

[[maybe_unused]] const Class gRegistered = OrvelHookTool::class_();

}  // namespace

Class OrvelHookTool::class_() {
  static Class c =
      objc::ClassBuilder<OrvelHookTool>("OrvelHookTool")
          .classMethod("hasMethodWithClass:method:",
                       [](Class, SEL, Class cls, SEL sel) { return OrvelHookTool::hasMethodWithClass(cls, sel); })
          .classMethod("hookRawClass:rawSEL:targetClass:newSEL:placeHolderSEL:",
                       [](Class, SEL, Class rawClass, SEL rawSEL, Class targetClass, SEL newSEL, SEL placeHolderSEL) {
                         OrvelHookTool::hookRawClassRawSEL(rawClass, rawSEL, targetClass, newSEL, placeHolderSEL);
                       })
          .classMethod("hookRawClass:classMethodSEL:targetClass:newClassMethodSEL:",
                       [](Class, SEL, Class rawClass, SEL rawSEL, Class targetClass, SEL newClassMethodSEL) {
                         OrvelHookTool::hookRawClassClassMethodSEL(rawClass, rawSEL, targetClass, newClassMethodSEL);
                       })
          .build();
  return c;
}

bool OrvelHookTool::hasMethodWithClass(Class cls, SEL sel) {
  objc::Ref<objc::NSString> wanted = objc::NSStringFromSelector(sel);
  unsigned int count = 0;
  Method* methods = objc::class_copyMethodList(cls, &count);
  bool found = false;
  for (unsigned int i = 0; wanted && i < count; ++i) {
    if (objc::NSStringFromSelector(objc::method_getName(methods[i]))->isEqualToString(wanted)) {
      found = true;
      break;
    }
  }
  std::free(methods);
  return found;
}

void OrvelHookTool::hookRawClassRawSEL(Class rawClass, SEL rawSEL, Class targetClass, SEL newSEL, SEL placeHolderSEL) {
  if (!rawClass || !rawSEL || hasMethodWithClass(rawClass, newSEL)) return;

  IMP newIMP = objc::class_getMethodImplementation(targetClass, newSEL);
  IMP rawIMP = objc::class_getMethodImplementation(rawClass, rawSEL);
  IMP placeHolderIMP = objc::class_getMethodImplementation(targetClass, placeHolderSEL);
  Method rawMethod = objc::class_getInstanceMethod(rawClass, rawSEL);
  bool rawIsOwn = hasMethodWithClass(rawClass, rawSEL);
  Method targetNewMethod = objc::class_getInstanceMethod(targetClass, newSEL);

  // Without the target's methods there is nothing sound to install: the
  // forwarding entry would turn the raw selector into an unrecognised one.
  if (!targetNewMethod) return;
  if (!rawMethod && !objc::class_getInstanceMethod(targetClass, placeHolderSEL)) return;
  const char* types = objc::method_getTypeEncoding(targetNewMethod);

  if (!rawMethod) {
    objc::class_addMethod(rawClass, rawSEL, placeHolderIMP, types);
    rawMethod = objc::class_getInstanceMethod(rawClass, rawSEL);
    rawIMP = placeHolderIMP;
  } else if (!rawIsOwn) {
    // The raw class gets its own record, so that only it (and its
    // subclasses) change, never the superclass that defines the selector.
    objc::class_addMethod(rawClass, rawSEL, rawIMP, types);
    rawMethod = objc::class_getInstanceMethod(rawClass, rawSEL);
  }

  if (rawIMP == newIMP) return;

  objc::class_addMethod(rawClass, newSEL, newIMP, types);
  Method newMethod = objc::class_getInstanceMethod(rawClass, newSEL);
  objc::method_setImplementation(rawMethod, newIMP);
  objc::method_setImplementation(newMethod, rawIMP);
}

void OrvelHookTool::hookRawClassClassMethodSEL(Class rawClass, SEL rawSEL, Class targetClass, SEL newClassMethodSEL) {
  if (!rawClass) return;
  Method rawMethod = objc::class_getClassMethod(rawClass, rawSEL);
  Method newMethod = objc::class_getClassMethod(targetClass, newClassMethodSEL);
  if (!rawMethod || !newMethod) return;

  IMP rawIMP = objc::method_getImplementation(rawMethod);
  IMP newIMP = objc::method_getImplementation(newMethod);
  const char* rawTypes = objc::method_getTypeEncoding(rawMethod);
  const char* newTypes = objc::method_getTypeEncoding(newMethod);

  Class meta = objc::objc_getMetaClass(objc::class_getName(rawClass));
  objc::class_replaceMethod(meta, rawSEL, newIMP, newTypes);
  objc::class_replaceMethod(meta, newClassMethodSEL, rawIMP, rawTypes);
}
