// The run-time's data structures. Hosts use the functions of runtime.h; the
// structures are visible because the message-send fast path is inline.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <typeinfo>
#include <vector>

#include "objc/object.h"

namespace objc {

struct objc_selector {
  std::string name;
};

struct objc_method {
  SEL name;
  std::atomic<IMP> imp;
  std::string types;
  uint64_t signature;  // hash of the normalised encoding
};

namespace detail {

// Per-class method cache. Readers probe it without a lock; one writer at a
// time (holding the run-time lock) fills empty slots, publishing the method
// before the selector. A cache is valid only for the method-table epoch it
// holds; any change to a method list starts a new epoch, and a stale cache
// is emptied and refilled in place on its next miss. The writer first sets
// the cache's epoch to 0 (never current), so that a reader that probed
// while it was being emptied sees the epoch change when it checks again
// after the probe, and looks the method up under the lock instead (a
// sequence lock). Only a cache that grows is replaced; the old one is
// retired, never freed, because a reader may still be probing it. A class
// retires at most one cache per doubling, so retired caches take less
// memory than the class's current one, however often caches are rebuilt.
struct CacheSlot {
  std::atomic<SEL> sel{nullptr};
  std::atomic<Method> method{nullptr};
};

// The slots follow the header in the same allocation (mask + 1 of them), so
// that a probe needs no extra load to find them.
struct MethodCache {
  std::atomic<uint64_t> epoch;
  uint32_t mask;
  uint32_t occupied;
  CacheSlot* slots() noexcept {
    return std::launder(reinterpret_cast<CacheSlot*>(reinterpret_cast<char*>(this) + sizeof(MethodCache)));
  }
};
static_assert(sizeof(MethodCache) % alignof(CacheSlot) == 0);

extern std::atomic<uint64_t> gMethodEpoch;

using Allocator = NSObject* (*)();
using StorageCheck = bool (*)(const NSObject*);
using Availability = bool (*)();

}  // namespace detail

struct objc_protocol final : NSObject {
  std::string name;
  std::vector<Protocol> adopted;  // guarded by the run-time lock
  bool registered = false;
};

struct objc_class final : NSObject {
  std::string name;
  Class superclass = nullptr;
  Class meta = nullptr;
  bool isMeta = false;
  std::atomic<bool> registered{false};
  std::vector<Method> methods;      // own methods; guarded by the run-time lock
  std::vector<Protocol> protocols;  // guarded by the run-time lock
  std::atomic<detail::MethodCache*> cache;
  // How instances get their C++ storage, and which C++ storage a class may be
  // given to by object_setClass. Inherited from the superclass unless a
  // class builder sets them.
  detail::Allocator allocator = nullptr;
  detail::StorageCheck storageCheck = nullptr;
  const std::type_info* storageType = nullptr;
  std::atomic<detail::Availability> availability{nullptr};
};

}  // namespace objc
