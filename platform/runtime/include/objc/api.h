// The run-time C API, under its usual names.
#pragma once

#include <string_view>
#include <typeinfo>

#include "objc/class.h"

namespace objc {

// Selectors. Interned: two selectors are the same pointer exactly when their
// names are equal. Safe from any thread.
SEL sel_registerName(std::string_view name);
const char* sel_getName(SEL sel);
SEL NSSelectorFromString(std::string_view name);

// Classes.
Class objc_allocateClassPair(Class superclass, std::string_view name, size_t extraBytes);
void objc_registerClassPair(Class cls);
Class objc_getClass(std::string_view name);
Class objc_lookUpClass(std::string_view name);
Class objc_getMetaClass(std::string_view name);
Class NSClassFromString(std::string_view name);
int objc_getClassCount();
const char* class_getName(Class cls);
Class class_getSuperclass(Class cls);
bool class_isMetaClass(Class cls);
Class object_getClass(id obj);
Class object_setClass(id obj, Class cls);
const char* object_getClassName(id obj);
Ref<NSObject> class_createInstance(Class cls, size_t extraBytes = 0);
// Hides a class from lookup by name while `available` answers false; used
// by frameworks that exist only on some system versions.
void class_setAvailability(Class cls, detail::Availability available);
// Runs `handler` once with the class named `name` as soon as that class is
// registered: at once, on this thread, when it already is; otherwise on the
// registering thread, right after objc_registerClassPair. Code that reaches
// a framework by name alone uses it to adjust the framework's classes
// whichever of the two is loaded first. The handler must not use the class's
// C++ accessor (it may run inside it).
using ClassRegistrationHandler = void (*)(Class cls);
void objc_whenClassRegistered(std::string_view name, ClassRegistrationHandler handler);

// Methods.
Method* class_copyMethodList(Class cls, unsigned int* outCount);
Method class_getInstanceMethod(Class cls, SEL sel);
Method class_getClassMethod(Class cls, SEL sel);
IMP class_getMethodImplementation(Class cls, SEL sel);
bool class_addMethod(Class cls, SEL sel, IMP imp, const char* types);
IMP class_replaceMethod(Class cls, SEL sel, IMP imp, const char* types);
bool class_respondsToSelector(Class cls, SEL sel);
SEL method_getName(Method m);
IMP method_getImplementation(Method m);
IMP method_setImplementation(Method m, IMP imp);
void method_exchangeImplementations(Method a, Method b);
const char* method_getTypeEncoding(Method m);

// The forwarding entry: what class_getMethodImplementation answers when
// nothing implements a selector. Sending a message that resolves to it
// raises "unrecognized selector".
void _objc_msgForward();
inline IMP forwardingIMP() { return reinterpret_cast<IMP>(&_objc_msgForward); }

// Protocols.
Protocol objc_allocateProtocol(std::string_view name);
void objc_registerProtocol(Protocol proto);
Protocol objc_getProtocol(std::string_view name);
Protocol NSProtocolFromString(std::string_view name);
// Returns the registered protocol of that name, creating and registering it
// (adopting the given protocols) when there is none.
Protocol objc_registerProtocolNamed(std::string_view name, std::initializer_list<Protocol> adopted = {});
void protocol_addProtocol(Protocol proto, Protocol addition);
bool protocol_conformsToProtocol(Protocol proto, Protocol other);
const char* protocol_getName(Protocol proto);
bool class_addProtocol(Class cls, Protocol proto);
// The class itself, not its superclasses, declares the protocol (directly or
// through a protocol that adopts it).
bool class_conformsToProtocol(Class cls, Protocol proto);

namespace detail {
// Message lookup for `cls`: the method record, or noMethod() when nothing
// answers (that record's implementation is the forwarding entry). The fast
// path reads the cache without a lock.
Method noMethod();
Method lookUpMethod(Class cls, SEL sel);
Method lookUpMethodSlow(Class cls, SEL sel);
// Starts a new method-table epoch, so that every class's cache is rebuilt
// at its next miss. Adding methods does this by itself.
void flushMethodCaches();
// The caches replaced by bigger ones and kept for readers that may still
// probe them, process-wide.
struct RetiredCaches {
  size_t count = 0;
  size_t bytes = 0;
};
RetiredCaches retiredMethodCaches();
[[noreturn]] void throwUnrecognized(id receiver, SEL sel);
[[noreturn]] void throwSignatureMismatch(id receiver, SEL sel, Method m, const std::string& callerSignature);
// Type errors found by an implementation `imp` (or in its result). They name
// the method by the class and selector under which `imp` was first defined
// in the receiver's class chain, so that a host's method reached through a
// generated subclass or a backup selector is reported as the host wrote it,
// and C++ types by their demangled names.
[[noreturn]] void throwBadArgument(id receiver, SEL sel, IMP imp, int index, const std::type_info& expected, id got);
[[noreturn]] void throwBadReceiver(id receiver, SEL sel, IMP imp, const std::type_info& expected);
[[noreturn]] void throwBadResult(id receiver, SEL sel, IMP imp, const std::type_info& expected, id got);
// A C++ type's readable name ("objc::NSString", not "N4objc8NSStringE").
std::string typeName(const std::type_info& type);
void setIsa(NSObject* obj, Class cls);
bool checkStorage(Class cls, const NSObject* obj);
// The class or one of its superclasses has instances of C++ type `type`, so
// every instance of the class has storage derived from it.
bool classHasStorage(Class cls, const std::type_info& type);
}  // namespace detail

inline Method detail::lookUpMethod(Class cls, SEL sel) {
  MethodCache* c = cls->cache.load(std::memory_order_acquire);
  const uint64_t epoch = c->epoch.load(std::memory_order_acquire);
  if (epoch == gMethodEpoch.load(std::memory_order_acquire)) {
    CacheSlot* slots = c->slots();
    uint32_t i = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(sel) >> 4) & c->mask;
    for (;;) {
      SEL k = slots[i].sel.load(std::memory_order_acquire);
      // An empty slot ends the probe before the key compare, so that a null
      // selector never matches an empty slot.
      if (k == nullptr) break;
      if (k == sel) {
        // A method stored by a refill that began after the probe began
        // brings the refill's epoch of 0 with it (release and acquire), so
        // the check below sees that the cache changed under the probe.
        Method m = slots[i].method.load(std::memory_order_acquire);
        if (c->epoch.load(std::memory_order_relaxed) == epoch) return m;
        break;
      }
      i = (i + 1) & c->mask;
    }
  }
  return lookUpMethodSlow(cls, sel);
}

}  // namespace objc
