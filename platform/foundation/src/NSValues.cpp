// Numbers, null, data, arrays and dictionaries.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <utility>

#include "Foundation/NSArray.h"
#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSNumber.h"
#include "Foundation/NSString.h"

namespace objc {

namespace {

[[noreturn]] void raise(const std::string& reason) { throw Exception(kInvalidArgumentException, reason); }

// Descriptions in the platform's property-list style, with nesting indented
// by four spaces. Everything is appended to one growing buffer, so that a
// leaf is copied once rather than once per level of nesting (the library
// logs every payload it receives).
void describeInto(std::string& out, const NSObject* obj, int indent);

// Characters a string may consist of to be written without quotes.
constexpr std::array<bool, 256> kPlainCharacters = [] {
  std::array<bool, 256> plain{};
  for (int c = 0; c < 256; ++c) {
    plain[c] = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '.' ||
               c == '/' || c == '$' || c >= 0x80;
  }
  return plain;
}();

void appendQuotedIfNeeded(std::string& out, const std::string& s) {
  bool plain = !s.empty() &&
               std::all_of(s.begin(), s.end(), [](char c) { return kPlainCharacters[static_cast<unsigned char>(c)]; });
  if (plain) {
    out += s;
    return;
  }
  out += '"';
  size_t copied = 0;  // s[copied, i) is still to be written as it is
  for (size_t i = 0; i < s.size(); ++i) {
    const char* escape = s[i] == '"' ? "\\\"" : s[i] == '\\' ? "\\\\" : s[i] == '\n' ? "\\n" : nullptr;
    if (!escape) continue;
    out.append(s, copied, i - copied);
    out += escape;
    copied = i + 1;
  }
  out.append(s, copied);
  out += '"';
}

void appendPadding(std::string& out, int indent) { out.append(static_cast<size_t>(indent) * 4, ' '); }

void describeInto(std::string& out, const NSObject* obj, int indent) {
  if (!obj) {
    out += "(null)";
    return;
  }
  if (auto* s = dynamic_cast<const NSString*>(obj)) {
    appendQuotedIfNeeded(out, s->utf8());
    return;
  }
  if (auto* a = dynamic_cast<const NSArray*>(obj)) {
    out += "(\n";
    for (size_t i = 0; i < a->count(); ++i) {
      appendPadding(out, indent + 1);
      describeInto(out, a->objects()[i].get(), indent + 1);
      out += i + 1 < a->count() ? ",\n" : "\n";
    }
    appendPadding(out, indent);
    out += ')';
    return;
  }
  if (auto* d = dynamic_cast<const NSDictionary*>(obj)) {
    out += "{\n";
    for (const auto& e : d->entries()) {
      appendPadding(out, indent + 1);
      describeInto(out, e.key.get(), indent + 1);
      out += " = ";
      describeInto(out, e.value.get(), indent + 1);
      out += ";\n";
    }
    appendPadding(out, indent);
    out += '}';
    return;
  }
  out += obj->description();
}

std::string describe(const NSObject* obj) {
  std::string out;
  describeInto(out, obj, 0);
  return out;
}

}  // namespace

// ---- NSNumber ----

Class NSNumber::class_() {
  static Class c = ClassBuilder<NSNumber>("NSNumber")
                       .method<&NSNumber::boolValue>("boolValue")
                       .method<&NSNumber::intValue>("intValue")
                       .method<&NSNumber::integerValue>("integerValue")
                       .method<&NSNumber::integerValue>("longLongValue")
                       .method<&NSNumber::unsignedIntegerValue>("unsignedIntegerValue")
                       .method<&NSNumber::unsignedIntegerValue>("unsignedLongLongValue")
                       .method<&NSNumber::doubleValue>("doubleValue")
                       .build();
  return c;
}

Ref<NSNumber> NSNumber::numberWithBool(bool v) {
  auto n = make<NSNumber>();
  n->kind_ = Kind::Bool;
  n->i_ = v ? 1 : 0;
  return n;
}
Ref<NSNumber> NSNumber::numberWithInt(int32_t v) { return numberWithInteger(v); }
Ref<NSNumber> NSNumber::numberWithInteger(int64_t v) {
  auto n = make<NSNumber>();
  n->kind_ = Kind::Signed;
  n->i_ = v;
  return n;
}
Ref<NSNumber> NSNumber::numberWithUnsignedInteger(uint64_t v) {
  auto n = make<NSNumber>();
  n->kind_ = Kind::Unsigned;
  n->u_ = v;
  return n;
}
Ref<NSNumber> NSNumber::numberWithDouble(double v) {
  auto n = make<NSNumber>();
  n->kind_ = Kind::Double;
  n->d_ = v;
  return n;
}

bool NSNumber::boolValue() const {
  switch (kind_) {
    case Kind::Double:
      return d_ != 0.0;
    case Kind::Unsigned:
      return u_ != 0;
    default:
      return i_ != 0;
  }
}
int64_t NSNumber::integerValue() const {
  switch (kind_) {
    case Kind::Double:
      if (std::isnan(d_)) return 0;
      if (d_ >= 9.2233720368547758e18) return INT64_MAX;
      if (d_ <= -9.2233720368547758e18) return INT64_MIN;
      return static_cast<int64_t>(d_);
    case Kind::Unsigned:
      return static_cast<int64_t>(u_);
    default:
      return i_;
  }
}
int32_t NSNumber::intValue() const { return static_cast<int32_t>(integerValue()); }
uint64_t NSNumber::unsignedIntegerValue() const {
  switch (kind_) {
    case Kind::Double:
      return d_ <= 0 || std::isnan(d_) ? 0 : d_ >= 1.8446744073709552e19 ? UINT64_MAX : static_cast<uint64_t>(d_);
    case Kind::Unsigned:
      return u_;
    default:
      return static_cast<uint64_t>(i_);
  }
}
double NSNumber::doubleValue() const {
  switch (kind_) {
    case Kind::Double:
      return d_;
    case Kind::Unsigned:
      return static_cast<double>(u_);
    default:
      return static_cast<double>(i_);
  }
}

namespace {

// Exact comparisons between a double and an integer: going through a double
// would make 2^53 + 1 equal to 2^53 and break the hash contract.
constexpr double kTwoTo63 = 9223372036854775808.0;
constexpr double kTwoTo64 = 18446744073709551616.0;

bool isWhole(double d) { return std::isfinite(d) && std::floor(d) == d; }
bool equalsSigned(double d, int64_t i) {
  return isWhole(d) && d >= -kTwoTo63 && d < kTwoTo63 && static_cast<int64_t>(d) == i;
}
bool equalsUnsigned(double d, uint64_t u) {
  return isWhole(d) && d >= 0 && d < kTwoTo64 && static_cast<uint64_t>(d) == u;
}

}  // namespace

bool NSNumber::isEqual(const NSObject* other) const {
  auto* n = dynamic_cast<const NSNumber*>(other);
  if (!n) return false;
  if (kind_ == Kind::Double && n->kind_ == Kind::Double) return d_ == n->d_ || (std::isnan(d_) && std::isnan(n->d_));
  if (kind_ == Kind::Double || n->kind_ == Kind::Double) {
    const NSNumber& d = kind_ == Kind::Double ? *this : *n;
    const NSNumber& w = kind_ == Kind::Double ? *n : *this;
    return w.kind_ == Kind::Unsigned ? equalsUnsigned(d.d_, w.u_) : equalsSigned(d.d_, w.i_);
  }
  bool aUnsigned = kind_ == Kind::Unsigned, bUnsigned = n->kind_ == Kind::Unsigned;
  if (aUnsigned == bUnsigned) return aUnsigned ? u_ == n->u_ : i_ == n->i_;
  const NSNumber& s = aUnsigned ? *n : *this;
  const NSNumber& u = aUnsigned ? *this : *n;
  return s.i_ >= 0 && static_cast<uint64_t>(s.i_) == u.u_;
}

// Equal numbers hash alike whatever their kinds: a whole double hashes as
// the integer it equals.
size_t NSNumber::hash() const {
  switch (kind_) {
    case Kind::Double:
      if (isWhole(d_) && d_ >= -kTwoTo63 && d_ < kTwoTo63) return std::hash<int64_t>{}(static_cast<int64_t>(d_));
      if (isWhole(d_) && d_ >= 0 && d_ < kTwoTo64)
        return std::hash<int64_t>{}(static_cast<int64_t>(static_cast<uint64_t>(d_)));
      return std::isnan(d_) ? 0 : std::hash<double>{}(d_);
    case Kind::Unsigned:
      return std::hash<int64_t>{}(static_cast<int64_t>(u_));
    default:
      return std::hash<int64_t>{}(i_);
  }
}

std::string NSNumber::description() const {
  char buf[64];
  switch (kind_) {
    case Kind::Double:
      std::snprintf(buf, sizeof buf, "%.16g", d_);
      break;
    case Kind::Unsigned:
      std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(u_));
      break;
    default:
      std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(i_));
      break;
  }
  return buf;
}

Ref<NSObject> NSNumber::copy() const { return Ref<NSObject>(const_cast<NSNumber*>(this)); }

// ---- NSNull ----

Class NSNull::class_() {
  static Class c = ClassBuilder<NSNull>("NSNull").build();
  return c;
}

NSNull* NSNull::null() {
  static NSNull* n = [] {
    NSNull* p = make<NSNull>().detach();
    p->makeImmortal();
    return p;
  }();
  return n;
}

Ref<NSObject> NSNull::copy() const { return Ref<NSObject>(const_cast<NSNull*>(this)); }

// ---- NSData ----

Class NSData::class_() {
  static Class c = ClassBuilder<NSData>("NSData").method<&NSData::length>("length").build();
  return c;
}

Ref<NSData> NSData::dataWithBytes(const void* bytes, size_t length) {
  auto* p = static_cast<const uint8_t*>(bytes);
  return make<NSData>(std::vector<uint8_t>(p, p + (p ? length : 0)));
}
Ref<NSData> NSData::dataWithBytes(std::vector<uint8_t> bytes) { return make<NSData>(std::move(bytes)); }
Ref<NSData> NSData::dataWithUTF8(std::string_view text) { return dataWithBytes(text.data(), text.size()); }

bool NSData::isEqual(const NSObject* other) const {
  auto* d = dynamic_cast<const NSData*>(other);
  return d && d->bytes_ == bytes_;
}

size_t NSData::hash() const {
  size_t h = bytes_.size();
  for (size_t i = 0; i < bytes_.size() && i < 80; ++i) h = h * 31 + bytes_[i];
  return h;
}

std::string NSData::description() const {
  std::string out = "<";
  char buf[4];
  for (size_t i = 0; i < bytes_.size(); ++i) {
    if (i > 0 && i % 4 == 0) out += ' ';
    std::snprintf(buf, sizeof buf, "%02x", bytes_[i]);
    out += buf;
  }
  return out + ">";
}

Ref<NSObject> NSData::copy() const { return Ref<NSObject>(const_cast<NSData*>(this)); }

Class NSMutableData::class_() {
  static Class c = ClassBuilder<NSMutableData, NSData>("NSMutableData").build();
  return c;
}

void NSMutableData::appendBytes(const void* bytes, size_t length) {
  auto* p = static_cast<const uint8_t*>(bytes);
  if (p) bytes_.insert(bytes_.end(), p, p + length);
}

Ref<NSObject> NSMutableData::copy() const { return NSData::dataWithBytes(bytes_); }

// ---- NSArray ----

Class NSArray::class_() {
  static Class c = ClassBuilder<NSArray>("NSArray")
                       .method<&NSArray::count>("count")
                       .method<&NSArray::objectAtIndex>("objectAtIndex:")
                       .method<&NSArray::firstObject>("firstObject")
                       .method<&NSArray::lastObject>("lastObject")
                       .method<&NSArray::mutableCopy>("mutableCopy")
                       .build();
  return c;
}

NSArray::NSArray(std::vector<Id> items) : items_(std::move(items)) {
  for (const auto& i : items_)
    if (!i) raise("-[NSArray initWithObjects:]: attempt to insert nil object");
}

Ref<NSArray> NSArray::array() { return make<NSArray>(); }
Ref<NSArray> NSArray::arrayWithObjects(std::initializer_list<Id> items) {
  return make<NSArray>(std::vector<Id>(items));
}
Ref<NSArray> NSArray::arrayWithArray(const NSArray* other) {
  return make<NSArray>(other ? other->items_ : std::vector<Id>{});
}

NSObject* NSArray::objectAtIndex(uint64_t index) const {
  if (index >= items_.size()) {
    raise("-[NSArray objectAtIndex:]: index " + std::to_string(index) + " beyond bounds [0 .. " +
          std::to_string(items_.size()) + ")");
  }
  return items_[index].get();
}

bool NSArray::containsObject(const NSObject* obj) const { return indexOfObject(obj) != NSNotFound; }

uint64_t NSArray::indexOfObject(const NSObject* obj) const {
  if (!obj) return NSNotFound;
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i]->isEqual(obj)) return i;
  return NSNotFound;
}

bool NSArray::isEqual(const NSObject* other) const {
  auto* a = dynamic_cast<const NSArray*>(other);
  if (!a || a->items_.size() != items_.size()) return false;
  for (size_t i = 0; i < items_.size(); ++i)
    if (!items_[i]->isEqual(a->items_[i].get())) return false;
  return true;
}

std::string NSArray::description() const { return describe(this); }

Ref<NSObject> NSArray::copy() const { return Ref<NSObject>(const_cast<NSArray*>(this)); }

Ref<NSObject> NSArray::mutableCopy() const { return NSMutableArray::arrayWithArray(this); }

Class NSMutableArray::class_() {
  static Class c =
      ClassBuilder<NSMutableArray, NSArray>("NSMutableArray").method<&NSMutableArray::addObject>("addObject:").build();
  return c;
}

Ref<NSMutableArray> NSMutableArray::array() { return make<NSMutableArray>(); }
Ref<NSMutableArray> NSMutableArray::arrayWithArray(const NSArray* other) {
  auto a = make<NSMutableArray>();
  if (other) a->items_ = other->objects();
  return a;
}

void NSMutableArray::addObject(NSObject* obj) {
  if (!obj) raise("-[NSMutableArray addObject:]: object cannot be nil");
  items_.emplace_back(obj);
}

void NSMutableArray::addObjectsFromArray(const NSArray* other) {
  if (!other) return;
  std::vector<Id> copy = other->objects();  // the other array may be this one
  items_.insert(items_.end(), copy.begin(), copy.end());
}

void NSMutableArray::insertObject(NSObject* obj, uint64_t index) {
  if (!obj) raise("-[NSMutableArray insertObject:atIndex:]: object cannot be nil");
  if (index > items_.size())
    raise("-[NSMutableArray insertObject:atIndex:]: index " + std::to_string(index) + " beyond bounds");
  items_.insert(items_.begin() + static_cast<long>(index), Id(obj));
}

void NSMutableArray::removeObject(const NSObject* obj) {
  if (!obj) return;
  std::erase_if(items_, [&](const Id& i) { return i->isEqual(obj); });
}

void NSMutableArray::removeObjectAtIndex(uint64_t index) {
  if (index >= items_.size())
    raise("-[NSMutableArray removeObjectAtIndex:]: index " + std::to_string(index) + " beyond bounds");
  items_.erase(items_.begin() + static_cast<long>(index));
}

Ref<NSObject> NSMutableArray::copy() const { return NSArray::arrayWithArray(this); }

// ---- NSDictionary ----

Class NSDictionary::class_() {
  static Class c = ClassBuilder<NSDictionary>("NSDictionary")
                       .method<&NSDictionary::count>("count")
                       .method("objectForKey:", [](NSDictionary* self, SEL, id key) { return self->objectForKey(key); })
                       .method<&NSDictionary::allKeys>("allKeys")
                       .method<&NSDictionary::allValues>("allValues")
                       .method<&NSDictionary::mutableCopy>("mutableCopy")
                       .build();
  return c;
}

Ref<NSDictionary> NSDictionary::dictionary() { return make<NSDictionary>(); }

Ref<NSDictionary> NSDictionary::dictionaryWithEntries(std::initializer_list<Entry> entries) {
  auto d = make<NSDictionary>();
  for (const auto& e : entries) d->set(e.key.get(), e.value.get());
  return d;
}

Ref<NSDictionary> NSDictionary::dictionaryWithEntries(std::vector<Entry>&& entries) {
  auto d = make<NSDictionary>();
  d->entries_.reserve(entries.size());
  d->index_.reserve(entries.size());
  for (auto& e : entries) {
    if (!e.key || !e.value) d->set(e.key.get(), e.value.get());  // raises
    size_t hash = e.key->hash();
    d->place(std::move(e.key), std::move(e.value), hash);
  }
  return d;
}

Ref<NSDictionary> NSDictionary::dictionaryWithDictionary(const NSDictionary* other) {
  auto d = make<NSDictionary>();
  if (other) {
    d->entries_ = other->entries_;
    d->index_ = other->index_;
  }
  return d;
}

void detail::KeyIndex::reserve(size_t entries) {
  size_t capacity = 8;
  while (capacity < entries * 2) capacity *= 2;
  if (capacity > slots_.size()) grow(capacity);
}

void detail::KeyIndex::grow(size_t capacity) {
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
  for (const Slot& s : old) {
    if (!s.position) continue;
    size_t i = s.hash & (capacity - 1);
    while (slots_[i].position) i = (i + 1) & (capacity - 1);
    slots_[i] = s;
  }
}

void detail::KeyIndex::add(size_t hash, size_t position) {
  if ((used_ + 1) * 2 > slots_.size()) grow(std::max<size_t>(8, slots_.size() * 2));
  size_t i = hash & (slots_.size() - 1);
  while (slots_[i].position) i = (i + 1) & (slots_.size() - 1);
  slots_[i] = {hash, position + 1};
  ++used_;
}

long NSDictionary::find(const NSObject* key) const {
  if (!key) return -1;
  return index_.find(key->hash(), [&](size_t i) { return entries_[i].key->isEqual(key); });
}

long NSDictionary::findString(std::string_view key) const {
  return index_.find(std::hash<std::string_view>{}(key), [&](size_t i) {
    const NSObject* k = entries_[i].key.get();
    auto* s = typeid(*k) == typeid(NSString) ? static_cast<const NSString*>(k) : dynamic_cast<const NSString*>(k);
    return s && s->utf8() == key;
  });
}

NSObject* NSDictionary::objectForKey(const NSObject* key) const {
  long i = find(key);
  return i < 0 ? nullptr : entries_[static_cast<size_t>(i)].value.get();
}

NSObject* NSDictionary::objectForKey(std::string_view key) const {
  long i = findString(key);
  return i < 0 ? nullptr : entries_[static_cast<size_t>(i)].value.get();
}

void NSDictionary::set(NSObject* key, NSObject* value) {
  if (!key) raise("-[NSMutableDictionary setObject:forKey:]: key cannot be nil");
  if (!value) raise("-[NSMutableDictionary setObject:forKey:]: object cannot be nil (key: " + key->description() + ")");
  place(Id(key), Id(value), key->hash());
}

void NSDictionary::place(Id key, Id value, size_t hash) {
  long i = index_.find(hash, [&](size_t k) { return entries_[k].key->isEqual(key.get()); });
  if (i >= 0) {
    entries_[static_cast<size_t>(i)].value = std::move(value);
    return;
  }
  index_.add(hash, entries_.size());
  entries_.push_back({key->copy(), std::move(value)});
}

void NSDictionary::remove(const NSObject* key) {
  long i = find(key);
  if (i < 0) return;
  entries_.erase(entries_.begin() + i);
  index_.clear();
  for (size_t k = 0; k < entries_.size(); ++k) index_.add(entries_[k].key->hash(), k);
}

void NSDictionary::clear() {
  entries_.clear();
  index_.clear();
}

Ref<NSArray> NSDictionary::allKeys() const {
  std::vector<Id> keys;
  for (const auto& e : entries_) keys.push_back(e.key);
  return make<NSArray>(std::move(keys));
}

Ref<NSArray> NSDictionary::allValues() const {
  std::vector<Id> values;
  for (const auto& e : entries_) values.push_back(e.value);
  return make<NSArray>(std::move(values));
}

bool NSDictionary::isEqual(const NSObject* other) const {
  auto* d = dynamic_cast<const NSDictionary*>(other);
  if (!d || d->entries_.size() != entries_.size()) return false;
  for (const auto& e : entries_) {
    NSObject* v = d->objectForKey(e.key.get());
    if (!v || !v->isEqual(e.value.get())) return false;
  }
  return true;
}

std::string NSDictionary::description() const { return describe(this); }

Ref<NSObject> NSDictionary::copy() const { return Ref<NSObject>(const_cast<NSDictionary*>(this)); }

Ref<NSObject> NSDictionary::mutableCopy() const { return NSMutableDictionary::dictionaryWithDictionary(this); }

Class NSMutableDictionary::class_() {
  static Class c =
      ClassBuilder<NSMutableDictionary, NSDictionary>("NSMutableDictionary")
          .method("setObject:forKey:",
                  [](NSMutableDictionary* self, SEL, id value, id key) { self->setObject(value, key); })
          .method("removeObjectForKey:", [](NSMutableDictionary* self, SEL, id key) { self->removeObjectForKey(key); })
          .build();
  return c;
}

Ref<NSMutableDictionary> NSMutableDictionary::dictionary() { return make<NSMutableDictionary>(); }

Ref<NSMutableDictionary> NSMutableDictionary::dictionaryWithDictionary(const NSDictionary* other) {
  auto d = make<NSMutableDictionary>();
  if (other) {
    d->entries_ = other->entries();
    for (size_t k = 0; k < d->entries_.size(); ++k) d->index_.add(d->entries_[k].key->hash(), k);
  }
  return d;
}

void NSMutableDictionary::setObject(NSObject* value, NSObject* key) { set(key, value); }
void NSMutableDictionary::setObject(NSObject* value, std::string_view key) { set(str(key), value); }
void NSMutableDictionary::removeObjectForKey(const NSObject* key) { remove(key); }

void NSMutableDictionary::addEntriesFromDictionary(const NSDictionary* other) {
  if (!other) return;
  std::vector<Entry> copy = other->entries();  // the other dictionary may be this one
  for (const auto& e : copy) set(e.key.get(), e.value.get());
}

Ref<NSObject> NSMutableDictionary::copy() const { return NSDictionary::dictionaryWithDictionary(this); }

}  // namespace objc
