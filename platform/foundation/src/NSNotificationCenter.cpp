#include "Foundation/NSNotificationCenter.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace objc {

// ---- NSNotification ----

Class NSNotification::class_() {
  static Class c = ClassBuilder<NSNotification>("NSNotification")
                       .method<&NSNotification::name>("name")
                       .method<&NSNotification::object>("object")
                       .method<&NSNotification::userInfo>("userInfo")
                       .build();
  return c;
}

Ref<NSNotification> NSNotification::notificationWithName(NSString* name, NSObject* object, NSDictionary* userInfo) {
  auto n = make<NSNotification>();
  n->name_ = name;
  n->object_ = object;
  n->userInfo_ = userInfo;
  return n;
}

std::string NSNotification::description() const {
  return "NSConcreteNotification {name = " + (name_ ? name_->utf8() : std::string("(null)")) +
         (object_ ? "; object = " + object_->description() : std::string()) +
         (userInfo_ ? "; userInfo = " + userInfo_->description() : std::string()) + "}";
}

// ---- NSNotificationCenter ----

namespace {

class ObserverToken final : public NSObject {
 public:
  static Class class_() {
    static Class c = ClassBuilder<ObserverToken>("__NSObserver").build();
    return c;
  }
};

struct Observation {
  uint64_t order;
  uintptr_t observerId;  // identity only; never dereferenced
  Weak<NSObject> observer;
  SEL selector = nullptr;
  std::function<void(NSNotification*)> block;
  Ref<DispatchQueue> queue;
  Id token;  // keeps a block observation's token alive until removal
  bool hasName = false;
  std::string name;
  uintptr_t objectFilter = 0;
  std::atomic<bool> removed{false};
};

using ObservationRef = std::shared_ptr<Observation>;

}  // namespace

struct NSNotificationCenter::Impl {
  std::mutex lock;
  uint64_t nextOrder = 0;
  std::unordered_map<std::string, std::vector<ObservationRef>> byName;
  std::vector<ObservationRef> anyName;

  void add(ObservationRef o) {
    std::lock_guard<std::mutex> g(lock);
    o->order = nextOrder++;
    if (o->hasName) {
      byName[o->name].push_back(std::move(o));
    } else {
      anyName.push_back(std::move(o));
    }
  }

  // Observations that are taken out are destroyed after the lock is
  // released: dropping one may release a block or a queue whose destructor
  // calls back into the centre.
  template <class Pred>
  void removeIf(Pred pred) {
    std::vector<ObservationRef> removed;
    {
      std::lock_guard<std::mutex> g(lock);
      for (auto it = byName.begin(); it != byName.end();) {
        sweep(it->second, pred, removed);
        it = it->second.empty() ? byName.erase(it) : std::next(it);
      }
      sweep(anyName, pred, removed);
    }
  }

  // Drops the selector observations of `name` (and of all names) whose
  // observer is gone; only the lists that a post of `name` reads.
  void removeGone(const std::string& name) {
    std::vector<ObservationRef> removed;
    std::vector<Id> alive;  // released after the lock, like `removed`
    auto gone = [&](const Observation& o) {
      if (o.block) return false;
      Id observer = o.observer.load();
      if (!observer) return true;
      alive.push_back(std::move(observer));
      return false;
    };
    std::lock_guard<std::mutex> g(lock);
    if (auto it = byName.find(name); it != byName.end()) {
      sweep(it->second, gone, removed);
      if (it->second.empty()) byName.erase(it);
    }
    sweep(anyName, gone, removed);
  }

  template <class Pred>
  static void sweep(std::vector<ObservationRef>& list, Pred& pred, std::vector<ObservationRef>& removed) {
    std::erase_if(list, [&](const ObservationRef& o) {
      if (!pred(*o)) return false;
      o->removed.store(true, std::memory_order_release);
      removed.push_back(o);
      return true;
    });
  }

  std::vector<ObservationRef> matching(const std::string& name, uintptr_t object) {
    std::vector<ObservationRef> out;
    std::lock_guard<std::mutex> g(lock);
    auto accept = [&](const ObservationRef& o) { return o->objectFilter == 0 || o->objectFilter == object; };
    auto it = byName.find(name);
    if (it != byName.end())
      for (const auto& o : it->second)
        if (accept(o)) out.push_back(o);
    size_t named = out.size();
    for (const auto& o : anyName)
      if (accept(o)) out.push_back(o);
    if (named && out.size() > named) {
      std::inplace_merge(out.begin(), out.begin() + static_cast<long>(named), out.end(),
                         [](const ObservationRef& a, const ObservationRef& b) { return a->order < b->order; });
    }
    return out;
  }
};

Class NSNotificationCenter::class_() {
  static Class c =
      ClassBuilder<NSNotificationCenter>("NSNotificationCenter")
          .method("addObserver:selector:name:object:",
                  [](NSNotificationCenter* self, SEL, id observer, SEL selector, NSString* name, id object) {
                    self->addObserver(observer, selector, name, object);
                  })
          .method("removeObserver:",
                  [](NSNotificationCenter* self, SEL, id observer) { self->removeObserver(observer); })
          .method("postNotificationName:object:", [](NSNotificationCenter* self, SEL, NSString* name,
                                                     id object) { self->postNotificationName(name, object); })
          .method("postNotificationName:object:userInfo:",
                  [](NSNotificationCenter* self, SEL, NSString* name, id object, NSDictionary* info) {
                    self->postNotificationName(name, object, info);
                  })
          .build();
  return c;
}

NSNotificationCenter::NSNotificationCenter() : impl_(new Impl) {}
NSNotificationCenter::~NSNotificationCenter() { delete impl_; }

NSNotificationCenter* NSNotificationCenter::defaultCenter() {
  static NSNotificationCenter* c = [] {
    NSNotificationCenter* p = make<NSNotificationCenter>().detach();
    p->makeImmortal();
    return p;
  }();
  return c;
}

void NSNotificationCenter::addObserver(NSObject* observer, SEL selector, NSString* name, NSObject* object) {
  if (!observer || !selector) return;
  auto o = std::make_shared<Observation>();
  o->observerId = reinterpret_cast<uintptr_t>(observer);
  o->observer = observer;
  o->selector = selector;
  o->hasName = name != nullptr;
  if (name) o->name = name->utf8();
  o->objectFilter = reinterpret_cast<uintptr_t>(object);
  impl_->add(std::move(o));
}

Id NSNotificationCenter::addObserverForName(NSString* name, NSObject* object, DispatchQueue* queue,
                                            std::function<void(NSNotification*)> block) {
  if (!block) return nullptr;
  Id token = make<ObserverToken>();
  auto o = std::make_shared<Observation>();
  o->observerId = reinterpret_cast<uintptr_t>(token.get());
  o->observer = token.get();
  o->token = token;
  o->block = std::move(block);
  o->queue = queue;
  o->hasName = name != nullptr;
  if (name) o->name = name->utf8();
  o->objectFilter = reinterpret_cast<uintptr_t>(object);
  impl_->add(std::move(o));
  return token;
}

void NSNotificationCenter::removeObserver(NSObject* observer) {
  if (!observer) return;
  auto id = reinterpret_cast<uintptr_t>(observer);
  impl_->removeIf([&](const Observation& o) { return o.observerId == id; });
}

void NSNotificationCenter::removeObserver(NSObject* observer, NSString* name, NSObject* object) {
  if (!observer) return;
  auto id = reinterpret_cast<uintptr_t>(observer);
  auto filter = reinterpret_cast<uintptr_t>(object);
  impl_->removeIf([&](const Observation& o) {
    return o.observerId == id && (!name || (o.hasName && o.name == name->utf8())) &&
           (!object || o.objectFilter == filter);
  });
}

void NSNotificationCenter::postNotification(NSNotification* n) {
  if (!n || !n->name()) return;
  Ref<NSNotification> keep(n);
  bool sawGone = false;
  for (const ObservationRef& o : impl_->matching(n->name()->utf8(), reinterpret_cast<uintptr_t>(n->object()))) {
    if (o->removed.load(std::memory_order_acquire)) continue;  // removed by an earlier observer
    if (o->block) {
      if (o->queue) {
        auto block = o->block;
        dispatch_async(o->queue, [block, keep] { block(keep.get()); });
      } else {
        o->block(n);
      }
      continue;
    }
    Id observer = o->observer.load();
    if (!observer) {
      sawGone = true;
      continue;
    }
    Method m = detail::lookUpMethod(observer->isa(), o->selector);
    if (m->signature == detail::signatureHash<void>()) {
      send<void>(observer, o->selector);
    } else {
      send<void>(observer, o->selector, static_cast<NSObject*>(n));
    }
  }
  if (sawGone) impl_->removeGone(n->name()->utf8());
}

void NSNotificationCenter::postNotificationName(NSString* name, NSObject* object) {
  postNotificationName(name, object, nullptr);
}

void NSNotificationCenter::postNotificationName(NSString* name, NSObject* object, NSDictionary* userInfo) {
  if (!name) return;
  postNotification(NSNotification::notificationWithName(name, object, userInfo));
}

}  // namespace objc
