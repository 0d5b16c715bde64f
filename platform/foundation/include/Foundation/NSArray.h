// Ordered collections of objects. Nil cannot be stored; a nil element raises.
#pragma once

#include <initializer_list>
#include <vector>

#include "objc/runtime.h"

namespace objc {

class NSArray : public NSObject {
 public:
  static Class class_();
  NSArray() = default;
  explicit NSArray(std::vector<Id> items);

  static Ref<NSArray> array();
  static Ref<NSArray> arrayWithObjects(std::initializer_list<Id> items);
  static Ref<NSArray> arrayWithArray(const NSArray* other);

  uint64_t count() const { return items_.size(); }
  // Raises on an index out of range.
  NSObject* objectAtIndex(uint64_t index) const;
  NSObject* firstObject() const { return items_.empty() ? nullptr : items_.front().get(); }
  NSObject* lastObject() const { return items_.empty() ? nullptr : items_.back().get(); }
  bool containsObject(const NSObject* obj) const;
  // NSNotFound when absent.
  uint64_t indexOfObject(const NSObject* obj) const;
  const std::vector<Id>& objects() const { return items_; }
  std::vector<Id>::const_iterator begin() const { return items_.begin(); }
  std::vector<Id>::const_iterator end() const { return items_.end(); }

  bool isEqual(const NSObject* other) const override;
  size_t hash() const override { return items_.size(); }
  std::string description() const override;
  Ref<NSObject> copy() const override;
  Ref<NSObject> mutableCopy() const;

 protected:
  std::vector<Id> items_;
};

class NSMutableArray final : public NSArray {
 public:
  static Class class_();
  NSMutableArray() = default;
  static Ref<NSMutableArray> array();
  static Ref<NSMutableArray> arrayWithArray(const NSArray* other);

  void addObject(NSObject* obj);
  void addObjectsFromArray(const NSArray* other);
  void insertObject(NSObject* obj, uint64_t index);
  void removeObject(const NSObject* obj);
  void removeObjectAtIndex(uint64_t index);
  void removeAllObjects() { items_.clear(); }
  Ref<NSObject> copy() const override;
};

inline constexpr uint64_t NSNotFound = 0x7fffffffffffffffull;

inline NSArray* asArray(NSObject* obj) { return cast<NSArray>(obj); }

}  // namespace objc
