// Key-value collections. Keys compare by value (isEqual and hash) and are
// copied when stored; iteration is in insertion order, so output built from
// a dictionary is deterministic.
#pragma once

#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

#include "objc/runtime.h"

namespace objc {

class NSArray;

namespace detail {
// Entry positions by key hash: open addressing in one flat table, kept at
// most half full, so that a dictionary's index is one allocation.
class KeyIndex {
 public:
  void clear() {
    slots_.clear();
    used_ = 0;
  }
  void reserve(size_t entries);
  void add(size_t hash, size_t position);
  // The position of the first entry with this hash that `matches`, or -1.
  template <class Matches>
  long find(size_t hash, Matches&& matches) const {
    if (slots_.empty()) return -1;
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask; slots_[i].position != 0; i = (i + 1) & mask) {
      if (slots_[i].hash == hash && matches(slots_[i].position - 1)) return static_cast<long>(slots_[i].position - 1);
    }
    return -1;
  }

 private:
  struct Slot {
    size_t hash = 0;
    size_t position = 0;  // the entry's position + 1; 0 for an empty slot
  };
  void grow(size_t capacity);
  std::vector<Slot> slots_;
  size_t used_ = 0;
};
}  // namespace detail

class NSDictionary : public NSObject {
 public:
  struct Entry {
    Id key;
    Id value;
  };
  static Class class_();
  NSDictionary() = default;

  static Ref<NSDictionary> dictionary();
  // {{key, value}, ...}; a later entry with an equal key replaces the earlier one.
  static Ref<NSDictionary> dictionaryWithEntries(std::initializer_list<Entry> entries);
  // The same, taking the entries over; for equal keys the last value stays
  // at the place of the first key. Raises for a nil key or value.
  static Ref<NSDictionary> dictionaryWithEntries(std::vector<Entry>&& entries);
  static Ref<NSDictionary> dictionaryWithDictionary(const NSDictionary* other);

  uint64_t count() const { return entries_.size(); }
  // Borrowed: valid while the dictionary holds it.
  NSObject* objectForKey(const NSObject* key) const;
  // Looks up a string key without making a string object.
  NSObject* objectForKey(std::string_view key) const;
  NSObject* objectForKey(const char* key) const { return objectForKey(std::string_view(key)); }
  Ref<NSArray> allKeys() const;
  Ref<NSArray> allValues() const;
  const std::vector<Entry>& entries() const { return entries_; }
  std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
  std::vector<Entry>::const_iterator end() const { return entries_.end(); }

  // Equal when both hold equal values under equal keys, in any order.
  bool isEqual(const NSObject* other) const override;
  size_t hash() const override { return entries_.size(); }
  std::string description() const override;
  Ref<NSObject> copy() const override;
  Ref<NSObject> mutableCopy() const;

 protected:
  void set(NSObject* key, NSObject* value);
  // Stores `value` under `key` (whose hash is `hash`), replacing the value
  // of an equal key in its place.
  void place(Id key, Id value, size_t hash);
  void remove(const NSObject* key);
  void clear();
  long find(const NSObject* key) const;
  long findString(std::string_view key) const;

  std::vector<Entry> entries_;
  detail::KeyIndex index_;
};

class NSMutableDictionary final : public NSDictionary {
 public:
  static Class class_();
  NSMutableDictionary() = default;
  static Ref<NSMutableDictionary> dictionary();
  static Ref<NSMutableDictionary> dictionaryWithDictionary(const NSDictionary* other);

  // Raises for a nil key or value.
  void setObject(NSObject* value, NSObject* key);
  void setObject(NSObject* value, std::string_view key);
  void removeObjectForKey(const NSObject* key);
  void removeAllObjects() { clear(); }
  void addEntriesFromDictionary(const NSDictionary* other);
  Ref<NSObject> copy() const override;
};

inline NSDictionary* asDictionary(NSObject* obj) { return cast<NSDictionary>(obj); }

}  // namespace objc
