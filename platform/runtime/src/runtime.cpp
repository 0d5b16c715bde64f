#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "objc/runtime.h"

namespace objc {

namespace detail {

// Starts at 1 so that the shared empty cache (epoch 0) is never valid.
std::atomic<uint64_t> gMethodEpoch{1};

namespace {

// Every class starts with this cache. Its epoch is never current, so it is
// never probed and needs no slots.
MethodCache gEmptyCache{{0}, 0, 0};

// Everything mutable about classes and protocols is guarded by one lock; the
// message-send fast path never takes it.
struct Registry {
  std::mutex lock;
  std::unordered_map<std::string, Class> classes;  // allocated pairs, registered or not
  std::unordered_map<std::string, Protocol> protocols;
  std::vector<MethodCache*> retiredCaches;
  size_t retiredBytes = 0;
  int registeredCount = 0;
  // objc_whenClassRegistered handlers waiting for their class, by its name.
  std::unordered_multimap<std::string, ClassRegistrationHandler> pendingHandlers;
};

Registry& registry() {
  static Registry* r = new Registry;  // lives for the process; never destroyed
  return *r;
}

struct SelectorTable {
  std::mutex lock;
  std::unordered_map<std::string_view, SEL> byName;
};

SelectorTable& selectors() {
  static SelectorTable* t = new SelectorTable;
  return *t;
}

size_t cacheBytes(uint32_t capacity) { return sizeof(MethodCache) + capacity * sizeof(CacheSlot); }

MethodCache* newCache(uint32_t capacity, uint64_t epoch) {
  void* memory = ::operator new(cacheBytes(capacity));
  auto* c = new (memory) MethodCache{{epoch}, capacity - 1, 0};
  for (uint32_t i = 0; i < capacity; ++i) new (c->slots() + i) CacheSlot;
  return c;
}

// Empties a stale cache for `epoch`. Its epoch reads 0 meanwhile, so that
// a reader probing it now finds it changed when it checks after its probe:
// every slot store releases, so a reader that sees one sees the 0 too.
void emptyForEpoch(MethodCache* c, uint64_t epoch) {
  c->epoch.store(0, std::memory_order_relaxed);
  for (uint32_t i = 0; i <= c->mask; ++i) {
    c->slots()[i].sel.store(nullptr, std::memory_order_release);
    c->slots()[i].method.store(nullptr, std::memory_order_release);
  }
  c->occupied = 0;
  c->epoch.store(epoch, std::memory_order_release);
}

// Both stores release, so that a reader that sees either also sees
// everything the writer did before (an emptying refill's epoch of 0).
void cacheInsert(MethodCache* c, SEL sel, Method m) {
  uint32_t i = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(sel) >> 4) & c->mask;
  while (c->slots()[i].sel.load(std::memory_order_relaxed) != nullptr) i = (i + 1) & c->mask;
  c->slots()[i].method.store(m, std::memory_order_release);
  c->slots()[i].sel.store(sel, std::memory_order_release);
  ++c->occupied;
}

bool cacheContains(MethodCache* c, SEL sel) {
  for (uint32_t i = 0; i <= c->mask; ++i)
    if (c->slots()[i].sel.load(std::memory_order_relaxed) == sel) return true;
  return false;
}

// Called with the registry lock held.
void cacheFill(Registry& r, Class cls, SEL sel, Method m) {
  MethodCache* c = cls->cache.load(std::memory_order_relaxed);
  uint64_t epoch = gMethodEpoch.load(std::memory_order_relaxed);
  MethodCache* next = c;
  if (c->epoch.load(std::memory_order_relaxed) == epoch && cacheContains(c, sel)) {
    return;  // another thread missed on the same selector and filled it first
  } else if (c == &gEmptyCache) {
    next = newCache(8, epoch);
  } else if (c->epoch.load(std::memory_order_relaxed) != epoch) {
    // Refilled where it is, at the size the class needed before.
    emptyForEpoch(c, epoch);
  } else if ((c->occupied + 1) * 2 > c->mask + 1) {
    next = newCache((c->mask + 1) * 2, epoch);
    for (uint32_t i = 0; i <= c->mask; ++i) {
      SEL k = c->slots()[i].sel.load(std::memory_order_relaxed);
      if (k) cacheInsert(next, k, c->slots()[i].method.load(std::memory_order_relaxed));
    }
  }
  cacheInsert(next, sel, m);
  if (next != c) {
    cls->cache.store(next, std::memory_order_release);
    if (c != &gEmptyCache) {
      r.retiredCaches.push_back(c);
      r.retiredBytes += cacheBytes(c->mask + 1);
    }
  }
}

Method findOwn(Class cls, SEL sel) {
  for (Method m : cls->methods)
    if (m->name == sel) return m;
  return nullptr;
}

Method findInChain(Class cls, SEL sel) {
  for (Class c = cls; c; c = c->superclass)
    if (Method m = findOwn(c, sel)) return m;
  return nullptr;
}

Method addMethodLocked(Class cls, SEL sel, IMP imp, const char* types) {
  auto* m = new objc_method;
  m->name = sel;
  m->imp.store(imp, std::memory_order_relaxed);
  m->types = types ? types : "";
  m->signature = encodingHash(m->types);
  cls->methods.push_back(m);
  gMethodEpoch.fetch_add(1, std::memory_order_acq_rel);
  return m;
}

bool protocolConformsLocked(Protocol p, Protocol target) {
  if (p == target) return true;
  for (Protocol a : p->adopted)
    if (protocolConformsLocked(a, target)) return true;
  return false;
}

bool classConformsLocked(Class cls, Protocol proto) {
  for (Protocol p : cls->protocols)
    if (protocolConformsLocked(p, proto)) return true;
  return false;
}

std::string hexAddress(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

std::string messageName(id receiver, SEL sel) {
  Class cls = receiver->isa();
  std::string s = cls->isMeta ? "+[" : "-[";
  s += cls->name;
  s += ' ';
  s += sel ? sel->name : "(null)";
  s += ']';
  return s;
}

std::string receiverKind(id receiver) {
  return (receiver->isa()->isMeta ? "class " : "instance ") + hexAddress(receiver);
}

// "-[Class selector]" for the class and selector under which `imp` was
// first defined in the receiver's class chain, searching from the root down:
// a host method that a generated subclass keeps under a backup selector is
// named as the host defined it. Falls back to the receiver's class and `sel`.
std::string implementationName(id receiver, SEL sel, IMP imp) {
  std::vector<Class> chain;
  for (Class c = receiver->isa(); c; c = c->superclass) chain.push_back(c);
  std::lock_guard<std::mutex> g(registry().lock);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    for (Method m : (*it)->methods) {
      if (m->imp.load(std::memory_order_relaxed) == imp) {
        return std::string((*it)->isMeta ? "+[" : "-[") + (*it)->name + ' ' + m->name->name + ']';
      }
    }
  }
  return messageName(receiver, sel);
}

}  // namespace

Method noMethod() {
  static objc_method* m = [] {
    auto* r = new objc_method;
    r->name = nullptr;
    r->imp.store(forwardingIMP(), std::memory_order_relaxed);
    r->signature = 0;
    return r;
  }();
  return m;
}

Method lookUpMethodSlow(Class cls, SEL sel) {
  if (!sel) return noMethod();
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  Method m = findInChain(cls, sel);
  if (!m) m = noMethod();
  cacheFill(r, cls, sel, m);
  return m;
}

void flushMethodCaches() {
  std::lock_guard<std::mutex> g(registry().lock);
  gMethodEpoch.fetch_add(1, std::memory_order_acq_rel);
}

RetiredCaches retiredMethodCaches() {
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  return {r.retiredCaches.size(), r.retiredBytes};
}

void throwUnrecognized(id receiver, SEL sel) {
  throw Exception(kInvalidArgumentException,
                  messageName(receiver, sel) + ": unrecognized selector sent to " + receiverKind(receiver));
}

void throwSignatureMismatch(id receiver, SEL sel, Method m, const std::string& callerSignature) {
  throw Exception(kInvalidArgumentException,
                  messageName(receiver, sel) + ": signature mismatch: the method's type is \"" + m->types + "\" (" +
                      normalizeEncoding(m->types) + ") but the message was sent as " + callerSignature);
}

void throwBadArgument(id receiver, SEL sel, IMP imp, int index, const std::type_info& expected, id got) {
  throw Exception(kInvalidArgumentException, implementationName(receiver, sel, imp) + ": argument " +
                                                 std::to_string(index + 1) + " is an instance of " + got->isa()->name +
                                                 ", which is not of the expected C++ type " + typeName(expected));
}

void throwBadReceiver(id receiver, SEL sel, IMP imp, const std::type_info& expected) {
  throw Exception(kInvalidArgumentException, implementationName(receiver, sel, imp) +
                                                 ": the implementation was written for receivers of C++ type " +
                                                 typeName(expected) + ", which an instance of " +
                                                 receiver->isa()->name + " is not");
}

void throwBadResult(id receiver, SEL sel, IMP imp, const std::type_info& expected, id got) {
  throw Exception(kInvalidArgumentException, implementationName(receiver, sel, imp) + ": returned an instance of " +
                                                 got->isa()->name + " where C++ type " + typeName(expected) +
                                                 " was expected");
}

void throwUnconstructible(const std::type_info& type) {
  throw Exception(kInvalidArgumentException,
                  "instances of C++ type " + typeName(type) + " cannot be created without arguments");
}

std::string typeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> readable(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                       &std::free);
  return status == 0 && readable ? std::string(readable.get()) : std::string(type.name());
}

bool checkStorage(Class cls, const NSObject* obj) { return !cls->storageCheck || cls->storageCheck(obj); }

bool classHasStorage(Class cls, const std::type_info& type) {
  for (Class c = cls; c; c = c->superclass)
    if (c->storageType && *c->storageType == type) return true;
  return false;
}

Class buildClass(std::string_view name, Class superclass, const std::type_info& superStorage, Allocator alloc,
                 StorageCheck check, const std::type_info& storage, const std::vector<BuiltMethod>& methods,
                 const std::vector<BuiltMethod>& classMethods, const std::vector<std::string>& protocols) {
  if (superclass && superclass->storageType && *superclass->storageType != superStorage) {
    throw Exception(kInvalidArgumentException, "cannot build class " + std::string(name) + ": superclass " +
                                                   superclass->name + " does not have instances of C++ type " +
                                                   typeName(superStorage));
  }
  // A selector takes one argument per colon; a method taking another number
  // would be called with arguments it does not expect, so refuse it before
  // anything is registered.
  for (const auto* list : {&methods, &classMethods}) {
    for (const auto& m : *list) {
      auto colons = static_cast<size_t>(std::count(m.selector.begin(), m.selector.end(), ':'));
      if (colons != m.arguments) {
        throw Exception(kInvalidArgumentException, "cannot build class " + std::string(name) + ": selector " +
                                                       m.selector + " takes " + std::to_string(colons) +
                                                       (colons == 1 ? " argument" : " arguments") +
                                                       " but its implementation takes " + std::to_string(m.arguments));
      }
    }
  }
  Class cls = objc_allocateClassPair(superclass, name, 0);
  if (!cls) {
    throw Exception(kInvalidArgumentException,
                    "cannot build class " + std::string(name) + ": the name is taken or the superclass is unusable");
  }
  {
    std::lock_guard<std::mutex> g(registry().lock);
    cls->allocator = alloc;
    cls->storageCheck = check;
    cls->storageType = &storage;
  }
  auto add = [&](Class target, const BuiltMethod& m) {
    if (!class_addMethod(target, sel_registerName(m.selector), m.imp, m.types.c_str())) {
      throw Exception(kInvalidArgumentException,
                      "cannot build class " + std::string(name) + ": selector " + m.selector + " given twice");
    }
  };
  for (const auto& m : methods) add(cls, m);
  for (const auto& m : classMethods) add(cls->meta, m);
  for (const auto& p : protocols) class_addProtocol(cls, objc_registerProtocolNamed(p));
  objc_registerClassPair(cls);
  return cls;
}

}  // namespace detail

// ---- selectors ----

SEL sel_registerName(std::string_view name) {
  auto& t = detail::selectors();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.byName.find(name);
  if (it != t.byName.end()) return it->second;
  auto* s = new objc_selector{std::string(name)};
  t.byName.emplace(s->name, s);
  return s;
}

const char* sel_getName(SEL sel) { return sel ? sel->name.c_str() : "<null selector>"; }

SEL NSSelectorFromString(std::string_view name) { return name.empty() ? nullptr : sel_registerName(name); }

// ---- classes ----

Class objc_allocateClassPair(Class superclass, std::string_view name, size_t /*extraBytes*/) {
  auto& r = detail::registry();
  std::lock_guard<std::mutex> g(r.lock);
  if (name.empty() || r.classes.count(std::string(name))) return nullptr;
  if (superclass && (superclass->isMeta || !superclass->registered.load(std::memory_order_acquire))) return nullptr;

  auto* cls = new objc_class;
  auto* meta = new objc_class;
  cls->makeImmortal();
  meta->makeImmortal();
  cls->name = meta->name = std::string(name);
  cls->superclass = superclass;
  cls->meta = meta;
  meta->isMeta = true;
  meta->meta = meta;
  meta->superclass = superclass ? superclass->meta : cls;
  Class rootMeta = superclass ? superclass->meta->isa() : meta;
  detail::setIsa(meta, rootMeta);
  detail::setIsa(cls, meta);
  cls->cache.store(&detail::gEmptyCache, std::memory_order_relaxed);
  meta->cache.store(&detail::gEmptyCache, std::memory_order_relaxed);
  if (superclass) {
    cls->allocator = superclass->allocator;
    cls->storageCheck = superclass->storageCheck;
    cls->storageType = superclass->storageType;
  }
  meta->storageCheck = [](const NSObject* o) { return dynamic_cast<const objc_class*>(o) != nullptr; };
  meta->storageType = &typeid(objc_class);
  r.classes.emplace(cls->name, cls);
  return cls;
}

void objc_registerClassPair(Class cls) {
  if (!cls || cls->isMeta) return;
  auto& r = detail::registry();
  std::vector<ClassRegistrationHandler> handlers;
  {
    std::lock_guard<std::mutex> g(r.lock);
    if (cls->registered.load(std::memory_order_relaxed)) return;
    cls->meta->registered.store(true, std::memory_order_release);
    cls->registered.store(true, std::memory_order_release);
    ++r.registeredCount;
    auto [first, last] = r.pendingHandlers.equal_range(cls->name);
    for (auto it = first; it != last; ++it) handlers.push_back(it->second);
    r.pendingHandlers.erase(first, last);
  }
  // Unlocked: handlers change the class's methods.
  for (ClassRegistrationHandler handler : handlers) handler(cls);
}

void objc_whenClassRegistered(std::string_view name, ClassRegistrationHandler handler) {
  if (!handler) return;
  auto& r = detail::registry();
  Class registered = nullptr;
  {
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.classes.find(std::string(name));
    if (it != r.classes.end() && it->second->registered.load(std::memory_order_relaxed)) {
      registered = it->second;
    } else {
      r.pendingHandlers.emplace(std::string(name), handler);
    }
  }
  if (registered) handler(registered);
}

namespace {
Class findClass(std::string_view name, bool honourAvailability) {
  Class cls = nullptr;
  {
    auto& r = detail::registry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.classes.find(std::string(name));
    if (it == r.classes.end() || !it->second->registered.load(std::memory_order_relaxed)) return nullptr;
    cls = it->second;
  }
  // The availability test may itself look things up, so it runs unlocked.
  if (honourAvailability) {
    detail::Availability available = cls->availability.load(std::memory_order_acquire);
    if (available && !available()) return nullptr;
  }
  return cls;
}
}  // namespace

Class objc_getClass(std::string_view name) { return findClass(name, true); }
Class objc_lookUpClass(std::string_view name) { return findClass(name, true); }
Class NSClassFromString(std::string_view name) { return findClass(name, true); }

Class objc_getMetaClass(std::string_view name) {
  Class cls = findClass(name, true);
  return cls ? cls->meta : nullptr;
}

int objc_getClassCount() {
  auto& r = detail::registry();
  std::lock_guard<std::mutex> g(r.lock);
  return r.registeredCount;
}

void class_setAvailability(Class cls, detail::Availability available) {
  if (cls) cls->availability.store(available, std::memory_order_release);
}

const char* class_getName(Class cls) { return cls ? cls->name.c_str() : "nil"; }
Class class_getSuperclass(Class cls) { return cls ? cls->superclass : nullptr; }
bool class_isMetaClass(Class cls) { return cls && cls->isMeta; }
Class object_getClass(id obj) { return obj ? obj->isa() : nullptr; }
const char* object_getClassName(id obj) { return class_getName(object_getClass(obj)); }

Class object_setClass(id obj, Class cls) {
  if (!obj || !cls) return nullptr;
  if (!detail::checkStorage(cls, obj)) {
    throw Exception(kInvalidArgumentException, std::string("object_setClass: an instance of ") + obj->isa()->name +
                                                   " cannot become a " + cls->name +
                                                   ": its C++ storage is not that class's");
  }
  return obj->isa_.exchange(cls, std::memory_order_acq_rel);
}

Ref<NSObject> class_createInstance(Class cls, size_t /*extraBytes*/) {
  if (!cls || cls->isMeta || !cls->allocator) return nullptr;
  NSObject* obj = cls->allocator();
  detail::setIsa(obj, cls);
  return Ref<NSObject>::adopt(obj);
}

// ---- methods ----

Method* class_copyMethodList(Class cls, unsigned int* outCount) {
  if (!cls) {
    if (outCount) *outCount = 0;
    return nullptr;
  }
  auto& r = detail::registry();
  std::lock_guard<std::mutex> g(r.lock);
  unsigned int n = static_cast<unsigned int>(cls->methods.size());
  if (outCount) *outCount = n;
  if (n == 0) return nullptr;
  auto* list = static_cast<Method*>(std::malloc(sizeof(Method) * n));
  std::memcpy(list, cls->methods.data(), sizeof(Method) * n);
  return list;
}

Method class_getInstanceMethod(Class cls, SEL sel) {
  if (!cls || !sel) return nullptr;
  auto& r = detail::registry();
  std::lock_guard<std::mutex> g(r.lock);
  return detail::findInChain(cls, sel);
}

Method class_getClassMethod(Class cls, SEL sel) {
  if (!cls) return nullptr;
  return class_getInstanceMethod(cls->isMeta ? cls : cls->meta, sel);
}

IMP class_getMethodImplementation(Class cls, SEL sel) {
  if (!cls || !sel) return nullptr;
  return detail::lookUpMethod(cls, sel)->imp.load(std::memory_order_acquire);
}

bool class_respondsToSelector(Class cls, SEL sel) {
  if (!cls || !sel) return false;
  return detail::lookUpMethod(cls, sel) != detail::noMethod();
}

bool class_addMethod(Class cls, SEL sel, IMP imp, const char* types) {
  if (!cls || !sel || !imp) return false;
  auto& r = detail::registry();
  std::lock_guard<std::mutex> g(r.lock);
  if (detail::findOwn(cls, sel)) return false;
  detail::addMethodLocked(cls, sel, imp, types);
  return true;
}

IMP class_replaceMethod(Class cls, SEL sel, IMP imp, const char* types) {
  if (!cls || !sel || !imp) return nullptr;
  auto& r = detail::registry();
  std::lock_guard<std::mutex> g(r.lock);
  if (Method m = detail::findOwn(cls, sel)) return m->imp.exchange(imp, std::memory_order_acq_rel);
  detail::addMethodLocked(cls, sel, imp, types);
  return nullptr;
}

SEL method_getName(Method m) { return m ? m->name : nullptr; }
IMP method_getImplementation(Method m) { return m ? m->imp.load(std::memory_order_acquire) : nullptr; }
const char* method_getTypeEncoding(Method m) { return m ? m->types.c_str() : nullptr; }

IMP method_setImplementation(Method m, IMP imp) {
  if (!m || !imp) return nullptr;
  return m->imp.exchange(imp, std::memory_order_acq_rel);
}

void method_exchangeImplementations(Method a, Method b) {
  if (!a || !b) return;
  auto& r = detail::registry();
  std::lock_guard<std::mutex> g(r.lock);
  IMP ia = a->imp.load(std::memory_order_relaxed);
  IMP ib = b->imp.exchange(ia, std::memory_order_acq_rel);
  a->imp.store(ib, std::memory_order_release);
}

void _objc_msgForward() {
  std::fputs("objc: _objc_msgForward called directly; send messages through objc::send\n", stderr);
  std::abort();
}

// ---- protocols ----

namespace {
Class protocolClass();
}

namespace {
// Called with the registry lock held; the protocol class must already exist.
Protocol newProtocolLocked(detail::Registry& r, Class isa, std::string_view name) {
  auto* p = new objc_protocol;
  p->makeImmortal();
  detail::setIsa(p, isa);
  p->name = std::string(name);
  r.protocols.emplace(p->name, p);
  return p;
}
}  // namespace

Protocol objc_allocateProtocol(std::string_view name) {
  if (name.empty()) return nullptr;
  Class isa = protocolClass();  // builds a class, so before taking the lock
  auto& r = detail::registry();
  std::lock_guard<std::mutex> g(r.lock);
  if (r.protocols.count(std::string(name))) return nullptr;
  return newProtocolLocked(r, isa, name);
}

void objc_registerProtocol(Protocol proto) {
  if (!proto) return;
  std::lock_guard<std::mutex> g(detail::registry().lock);
  proto->registered = true;
}

Protocol objc_getProtocol(std::string_view name) {
  auto& r = detail::registry();
  std::lock_guard<std::mutex> g(r.lock);
  auto it = r.protocols.find(std::string(name));
  if (it == r.protocols.end() || !it->second->registered) return nullptr;
  return it->second;
}

Protocol NSProtocolFromString(std::string_view name) { return objc_getProtocol(name); }

Protocol objc_registerProtocolNamed(std::string_view name, std::initializer_list<Protocol> adopted) {
  if (name.empty()) return nullptr;
  Class isa = protocolClass();
  auto& r = detail::registry();
  // One critical section, so that a thread racing another to declare the same
  // protocol never sees it allocated but not yet registered.
  std::lock_guard<std::mutex> g(r.lock);
  auto it = r.protocols.find(std::string(name));
  if (it != r.protocols.end()) return it->second->registered ? it->second : nullptr;
  Protocol p = newProtocolLocked(r, isa, name);
  for (Protocol a : adopted)
    if (a) p->adopted.push_back(a);
  p->registered = true;
  return p;
}

void protocol_addProtocol(Protocol proto, Protocol addition) {
  if (!proto || !addition) return;
  std::lock_guard<std::mutex> g(detail::registry().lock);
  proto->adopted.push_back(addition);
}

bool protocol_conformsToProtocol(Protocol proto, Protocol other) {
  if (!proto || !other) return false;
  std::lock_guard<std::mutex> g(detail::registry().lock);
  return detail::protocolConformsLocked(proto, other);
}

const char* protocol_getName(Protocol proto) { return proto ? proto->name.c_str() : "nil"; }

bool class_addProtocol(Class cls, Protocol proto) {
  if (!cls || !proto) return false;
  std::lock_guard<std::mutex> g(detail::registry().lock);
  for (Protocol p : cls->protocols)
    if (p == proto) return false;
  cls->protocols.push_back(proto);
  return true;
}

bool class_conformsToProtocol(Class cls, Protocol proto) {
  if (!cls || !proto) return false;
  std::lock_guard<std::mutex> g(detail::registry().lock);
  return detail::classConformsLocked(cls, proto);
}

namespace {
Class protocolClass() {
  static Class c = ClassBuilder<objc_protocol>("Protocol").build();
  return c;
}
}  // namespace

// ---- encodings ----

namespace {
// Skips one type starting at s[i]; returns the index after it.
size_t skipType(std::string_view s, size_t i) {
  while (i < s.size() && std::strchr("rnNoORVA", s[i])) ++i;
  if (i >= s.size()) return i;
  char c = s[i];
  if (c == '^') return skipType(s, i + 1);
  if (c == '@') {
    ++i;
    if (i < s.size() && s[i] == '?') return i + 1;
    if (i < s.size() && s[i] == '"') {
      size_t close = s.find('"', i + 1);
      return close == std::string_view::npos ? s.size() : close + 1;
    }
    return i;
  }
  if (c == '{' || c == '(' || c == '[') {
    char open = c, close = c == '{' ? '}' : c == '(' ? ')' : ']';
    int depth = 0;
    for (; i < s.size(); ++i) {
      if (s[i] == open) ++depth;
      if (s[i] == close && --depth == 0) return i + 1;
    }
    return i;
  }
  return i + 1;
}
}  // namespace

std::string normalizeEncoding(std::string_view types) {
  std::string out;
  size_t i = 0;
  while (i < types.size()) {
    char c = types[i];
    if ((c >= '0' && c <= '9') || std::strchr("rnNoORVA", c)) {
      ++i;
      continue;
    }
    size_t next = skipType(types, i);
    switch (c) {
      case '@':
      case '#':
        out += '@';
        break;
      case '^':
        out += '^';
        break;
      case 'l':
        out += 'i';
        break;
      case 'L':
        out += 'I';
        break;
      default:
        out.append(types.substr(i, next - i));
        break;
    }
    i = next;
  }
  return out;
}

uint64_t encodingHash(std::string_view types) {
  uint64_t h = detail::kFnvOffset;
  for (char c : normalizeEncoding(types)) h = detail::fnv(h, c);
  return h;
}

// ---- generic call ----

Id performSelector(id receiver, SEL sel, id object) {
  if (!receiver) return nullptr;
  Method m = detail::lookUpMethod(receiver->isa(), sel);
  IMP imp = m->imp.load(std::memory_order_acquire);
  if (m == detail::noMethod() || imp == forwardingIMP()) detail::throwUnrecognized(receiver, sel);
  if (m->signature == detail::signatureHash<void, id>()) {
    reinterpret_cast<void (*)(NSObject*, SEL, NSObject*)>(imp)(receiver, sel, object);
    return nullptr;
  }
  if (m->signature == detail::signatureHash<Id, id>()) {
    return reinterpret_cast<Ref<NSObject> (*)(NSObject*, SEL, NSObject*)>(imp)(receiver, sel, object);
  }
  detail::throwSignatureMismatch(receiver, sel, m, "performSelector:withObject: (one object, object or no result)");
}

}  // namespace objc
