// Numbers, collections, data, errors and null: kinds, equality, hashing,
// copying and descriptions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "Foundation/Foundation.h"

using namespace objc;

namespace {

Ref<NSNumber> num(int64_t v) { return NSNumber::numberWithInteger(v); }
Ref<NSNumber> unum(uint64_t v) { return NSNumber::numberWithUnsignedInteger(v); }
Ref<NSNumber> dnum(double v) { return NSNumber::numberWithDouble(v); }

void expectSameNumber(const NSNumber* a, const NSNumber* b) {
  EXPECT_TRUE(a->isEqual(b)) << a->description() << " vs " << b->description();
  EXPECT_TRUE(b->isEqual(a)) << b->description() << " vs " << a->description();
  EXPECT_EQ(a->hash(), b->hash()) << a->description() << " vs " << b->description();
}

}  // namespace

TEST(NumberKinds, KeepWhatTheyHold) {
  EXPECT_EQ(NSNumber::numberWithBool(true)->kind(), NSNumber::Kind::Bool);
  EXPECT_EQ(NSNumber::numberWithInt(-3)->kind(), NSNumber::Kind::Signed);
  EXPECT_EQ(unum(3)->kind(), NSNumber::Kind::Unsigned);
  EXPECT_EQ(dnum(3)->kind(), NSNumber::Kind::Double);
  EXPECT_EQ(dnum(0.5)->description(), "0.5");
  EXPECT_EQ(dnum(1.0)->description(), "1");
  EXPECT_EQ(unum(UINT64_MAX)->description(), "18446744073709551615");
  EXPECT_EQ(NSNumber::numberWithBool(false)->description(), "0");
}

TEST(NumberKinds, EqualAcrossKindsWithEqualHashes) {
  expectSameNumber(num(1), unum(1));
  expectSameNumber(num(1), dnum(1.0));
  expectSameNumber(num(1), NSNumber::numberWithBool(true));
  expectSameNumber(unum(1), dnum(1.0));
  expectSameNumber(dnum(0.0), dnum(-0.0));
  expectSameNumber(num(0), dnum(-0.0));
  expectSameNumber(num(int64_t{1} << 53), dnum(9007199254740992.0));
  expectSameNumber(unum(uint64_t{1} << 63), dnum(9223372036854775808.0));
  expectSameNumber(num(INT64_MIN), dnum(-9223372036854775808.0));
  expectSameNumber(dnum(NAN), dnum(NAN));  // a number is equal to itself, NaN too
}

TEST(NumberKinds, UnequalValuesStayApart) {
  EXPECT_FALSE(num(-1)->isEqual(unum(UINT64_MAX)));
  EXPECT_FALSE(dnum(1.5)->isEqual(num(1)));
  EXPECT_FALSE(num(2)->isEqual(NSNumber::numberWithBool(true)));
  // Through a double these would all read 2^53.
  EXPECT_FALSE(num((int64_t{1} << 53) + 1)->isEqual(dnum(9007199254740992.0)));
  EXPECT_FALSE(dnum(9007199254740992.0)->isEqual(num((int64_t{1} << 53) + 1)));
  EXPECT_FALSE(unum(UINT64_MAX)->isEqual(dnum(18446744073709551616.0)));
  EXPECT_FALSE(num(INT64_MAX)->isEqual(dnum(9223372036854775808.0)));
  EXPECT_FALSE(dnum(INFINITY)->isEqual(num(INT64_MAX)));
  EXPECT_FALSE(num(1)->isEqual(str("1")));
}

TEST(NumberKinds, EqualNumbersFindTheSameDictionaryEntry) {
  auto d = NSMutableDictionary::dictionary();
  d->setObject(str("one"), num(1));
  EXPECT_TRUE(asString(d->objectForKey(dnum(1.0))));
  EXPECT_TRUE(asString(d->objectForKey(unum(1))));
  d->setObject(str("true"), NSNumber::numberWithBool(true));  // replaces: true equals 1
  EXPECT_EQ(d->count(), 1u);
  EXPECT_EQ(asString(d->objectForKey(num(1)))->utf8(), "true");
  d->setObject(str("big"), unum(uint64_t{1} << 63));
  EXPECT_EQ(asString(d->objectForKey(dnum(9223372036854775808.0)))->utf8(), "big");
  d->setObject(str("nan"), dnum(NAN));
  EXPECT_EQ(asString(d->objectForKey(dnum(NAN)))->utf8(), "nan");
  EXPECT_EQ(d->objectForKey(num(2)), nullptr);
}

TEST(Collections, ArraysCompareElementsInOrder) {
  auto a = NSArray::arrayWithObjects({str("a"), num(1)});
  auto b = NSMutableArray::array();
  b->addObject(NSMutableString::string("a"));
  b->addObject(dnum(1.0));
  EXPECT_TRUE(a->isEqual(b.get()));
  EXPECT_TRUE(b->isEqual(a.get()));
  EXPECT_EQ(a->hash(), b->hash());
  EXPECT_FALSE(a->isEqual(NSArray::arrayWithObjects({num(1), str("a")})));
  EXPECT_FALSE(a->isEqual(NSArray::arrayWithObjects({str("a")})));
  EXPECT_TRUE(NSArray::arrayWithObjects({a})->isEqual(NSArray::arrayWithObjects({b})));
  EXPECT_EQ(a->indexOfObject(dnum(1.0)), 1u);
  EXPECT_EQ(a->indexOfObject(str("z")), NSNotFound);
}

TEST(Collections, DictionariesCompareEntriesInAnyOrder) {
  auto a = NSDictionary::dictionaryWithEntries({{str("x"), num(1)}, {str("y"), str("v")}});
  auto b = NSMutableDictionary::dictionary();
  b->setObject(str("v"), "y");
  b->setObject(num(1), "x");
  EXPECT_TRUE(a->isEqual(b.get()));
  EXPECT_TRUE(b->isEqual(a.get()));
  EXPECT_EQ(a->hash(), b->hash());
  b->setObject(num(2), "x");
  EXPECT_FALSE(a->isEqual(b.get()));
  b->setObject(num(1), "x");
  b->setObject(NSNull::null(), "z");
  EXPECT_FALSE(a->isEqual(b.get()));
  EXPECT_FALSE(b->isEqual(a.get()));
}

TEST(Collections, DictionariesIterateInInsertionOrder) {
  auto d = NSMutableDictionary::dictionary();
  for (const char* k : {"zeta", "alpha", "mid"}) d->setObject(num(1), k);
  d->setObject(num(2), "alpha");  // replacing keeps the place
  d->removeObjectForKey(str("zeta"));
  d->setObject(num(3), "zeta");  // re-adding goes last
  std::vector<std::string> keys;
  for (const auto& e : *d) keys.push_back(asString(e.key.get())->utf8());
  EXPECT_EQ(keys, (std::vector<std::string>{"alpha", "mid", "zeta"}));
  EXPECT_EQ(asNumber(d->objectForKey("alpha"))->integerValue(), 2);
  EXPECT_EQ(asNumber(d->objectForKey(str("mid")))->integerValue(), 1);
  auto later = NSDictionary::dictionaryWithEntries({{str("k"), num(1)}, {str("k"), num(2)}});
  EXPECT_EQ(later->count(), 1u);
  EXPECT_EQ(asNumber(later->objectForKey("k"))->integerValue(), 2);
}

TEST(Collections, DictionaryCopiesItsKeys) {
  auto key = NSMutableString::string("key");
  auto d = NSMutableDictionary::dictionary();
  d->setObject(num(1), key.get());
  key->append("-changed");
  EXPECT_TRUE(d->objectForKey("key"));
  EXPECT_EQ(d->objectForKey("key-changed"), nullptr);
  NSObject* stored = d->entries().front().key.get();
  EXPECT_NE(stored, key.get());
  EXPECT_EQ(stored->getClass(), NSString::class_());
}

TEST(Collections, CopyOfMutableIsImmutableSnapshot) {
  auto ma = NSMutableArray::array();
  ma->addObject(num(1));
  Id a = ma->copy();
  EXPECT_EQ(a->getClass(), NSArray::class_());
  ma->addObject(num(2));
  EXPECT_EQ(asArray(a.get())->count(), 1u);
  EXPECT_EQ(a->copy().get(), a.get());  // an immutable copy is itself

  auto md = NSMutableDictionary::dictionary();
  md->setObject(num(1), "a");
  Id d = md->copy();
  EXPECT_EQ(d->getClass(), NSDictionary::class_());
  md->setObject(num(2), "b");
  EXPECT_EQ(asDictionary(d.get())->count(), 1u);
  EXPECT_EQ(d->copy().get(), d.get());
  EXPECT_TRUE(asNumber(asDictionary(d.get())->objectForKey("a")));

  Id thawed = asDictionary(d.get())->mutableCopy();
  cast<NSMutableDictionary>(thawed.get())->setObject(num(3), "c");
  EXPECT_EQ(asDictionary(d.get())->count(), 1u);

  auto mdata = make<NSMutableData>();
  mdata->appendBytes("ab", 2);
  Id data = mdata->copy();
  mdata->appendBytes("c", 1);
  EXPECT_EQ(cast<NSData>(data.get())->length(), 2u);
  EXPECT_EQ(data->getClass(), NSData::class_());
}

TEST(Collections, NilAndOutOfRangeRaise) {
  auto a = NSMutableArray::array();
  EXPECT_THROW(a->addObject(nullptr), Exception);
  EXPECT_THROW(a->objectAtIndex(0), Exception);
  EXPECT_THROW(a->removeObjectAtIndex(0), Exception);
  EXPECT_THROW(NSArray::arrayWithObjects({Id()}), Exception);
  auto d = NSMutableDictionary::dictionary();
  EXPECT_THROW(d->setObject(nullptr, "k"), Exception);
  EXPECT_THROW(d->setObject(num(1), static_cast<NSObject*>(nullptr)), Exception);
  EXPECT_EQ(d->objectForKey(static_cast<NSObject*>(nullptr)), nullptr);
}

TEST(Collections, Descriptions) {
  auto inner = NSDictionary::dictionaryWithEntries({{str("b c"), NSArray::arrayWithObjects({num(1), str("x\"y")})}});
  auto outer = NSDictionary::dictionaryWithEntries({{str("k"), inner}, {str("e"), NSArray::array()}});
  EXPECT_EQ(outer->description(),
            "{\n"
            "    k = {\n"
            "        \"b c\" = (\n"
            "            1,\n"
            "            \"x\\\"y\"\n"
            "        );\n"
            "    };\n"
            "    e = (\n"
            "    );\n"
            "}");
  EXPECT_EQ(format("%@", NSArray::arrayWithObjects({str("a"), NSNull::null()})), "(\n    a,\n    <null>\n)");
  EXPECT_EQ(send<Ref<NSString>>(num(5), sel<"description">())->utf8(), "5");
}

TEST(DataErrorNull, DataBytesEqualityAndDescription) {
  const uint8_t bytes[] = {0x00, 0x0F, 0xA0, 0xFF, 0x01};
  auto d = NSData::dataWithBytes(bytes, sizeof bytes);
  EXPECT_EQ(d->length(), 5u);
  EXPECT_EQ(d->description(), "<000fa0ff 01>");
  EXPECT_TRUE(d->isEqual(NSData::dataWithBytes(std::vector<uint8_t>(bytes, bytes + 5))));
  EXPECT_EQ(d->hash(), NSData::dataWithBytes(std::vector<uint8_t>(bytes, bytes + 5))->hash());
  EXPECT_FALSE(d->isEqual(NSData::dataWithUTF8("x")));
  EXPECT_EQ(NSData::dataWithBytes(nullptr, 3)->length(), 0u);
  EXPECT_EQ(NSData::dataWithUTF8("")->description(), "<>");
}

TEST(DataErrorNull, ErrorCarriesDomainCodeAndCopiedUserInfo) {
  auto info = NSMutableDictionary::dictionary();
  info->setObject(str("该推送不包含多媒体附件"), "Description");
  auto e = NSError::errorWithDomain("Attachment", 999, info.get());
  info->setObject(str("later"), "Other");
  EXPECT_EQ(e->domain()->utf8(), "Attachment");
  EXPECT_EQ(e->code(), 999);
  EXPECT_EQ(e->userInfo()->count(), 1u);
  EXPECT_EQ(asString(e->userInfo()->objectForKey("Description"))->utf8(), "该推送不包含多媒体附件");
  EXPECT_EQ(e->description(),
            "Error Domain=Attachment Code=999 \"The operation couldn't be completed. (Attachment error 999.)\" "
            "UserInfo={Description=该推送不包含多媒体附件}");
  EXPECT_EQ(send<int64_t>(e, sel<"code">()), 999);
  auto described = NSError::errorWithDomain(
      NSURLErrorDomain, -1001,
      NSDictionary::dictionaryWithEntries({{str(NSLocalizedDescriptionKey), str("timed out")}}));
  EXPECT_EQ(described->localizedDescription()->utf8(), "timed out");
  EXPECT_FALSE(e->isEqual(NSError::errorWithDomain("Attachment", 999, info.get())));  // info has grown
  EXPECT_TRUE(e->isEqual(NSError::errorWithDomain("Attachment", 999, e->userInfo())));
}

TEST(DataErrorNull, NullIsOneSharedObject) {
  EXPECT_EQ(NSNull::null(), NSNull::null());
  EXPECT_EQ(NSNull::null()->copy().get(), NSNull::null());
  EXPECT_EQ(NSNull::null()->description(), "<null>");
  EXPECT_TRUE(NSNull::null()->isKindOfClass(NSClassFromString("NSNull")));
}

TEST(DataErrorNull, ClassesAreFoundByName) {
  for (const char* name : {"NSString", "NSMutableString", "NSNumber", "NSNull", "NSData", "NSMutableData", "NSArray",
                           "NSMutableArray", "NSDictionary", "NSMutableDictionary", "NSDate", "NSTimeZone",
                           "NSDateComponents", "NSError", "NSURL", "NSNotification", "NSNotificationCenter"})
    EXPECT_NE(NSClassFromString(name), nullptr) << name;
  EXPECT_TRUE(NSMutableArray::array()->isKindOfClass(NSClassFromString("NSArray")));
  EXPECT_FALSE(NSArray::array()->isKindOfClass(NSClassFromString("NSMutableArray")));
}
