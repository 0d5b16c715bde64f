// Strings: the platform's conversions, paths, lengths and formatting.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "Foundation/Foundation.h"

using namespace objc;

TEST(StringConversion, IntegerValueReadsLeadingDecimalInteger) {
  EXPECT_EQ(str(" -0012abc")->integerValue(), -12);
  EXPECT_EQ(str("+7")->integerValue(), 7);
  EXPECT_EQ(str(" \t\n42 apples")->integerValue(), 42);
  EXPECT_EQ(str("12.7")->integerValue(), 12);
  EXPECT_EQ(str("abc")->integerValue(), 0);
  EXPECT_EQ(str("")->integerValue(), 0);
  EXPECT_EQ(str("- 5")->integerValue(), 0);  // the sign must touch the digits
  EXPECT_EQ(str("0x1A")->integerValue(), 0);
}

TEST(StringConversion, IntegerValueSaturatesOnOverflow) {
  EXPECT_EQ(str("9223372036854775807")->integerValue(), INT64_MAX);
  EXPECT_EQ(str("9223372036854775808")->integerValue(), INT64_MAX);
  EXPECT_EQ(str("-9223372036854775808")->integerValue(), INT64_MIN);
  EXPECT_EQ(str("-9223372036854775809")->integerValue(), INT64_MIN);
  EXPECT_EQ(str("123456789012345678901234567890")->integerValue(), INT64_MAX);
}

TEST(StringConversion, IntValueIs32BitAndSaturates) {
  EXPECT_EQ(str(" -0012abc")->intValue(), -12);
  EXPECT_EQ(str("2147483647")->intValue(), INT32_MAX);
  EXPECT_EQ(str("2147483648")->intValue(), INT32_MAX);
  EXPECT_EQ(str("-2147483649")->intValue(), INT32_MIN);
  EXPECT_EQ(str("4294967297")->intValue(), INT32_MAX);  // not wrapped round to 1
  EXPECT_EQ(str("3")->intValue(), 3);
}

TEST(StringConversion, BoolValueLooksAtFirstSignificantCharacter) {
  for (const char* yes : {"  0t", "Y", "yes", "T", "true", "-1", "+0001", " 9", "00y"})
    EXPECT_TRUE(str(yes)->boolValue()) << yes;
  for (const char* no : {"0", "00", "", "   ", "N", "no", "false", "0.5", "x1", "-", "+0"})
    EXPECT_FALSE(str(no)->boolValue()) << no;
}

TEST(StringConversion, NumbersConvertByTheirKind) {
  EXPECT_EQ(NSNumber::numberWithDouble(3.9)->integerValue(), 3);
  EXPECT_EQ(NSNumber::numberWithDouble(-3.9)->integerValue(), -3);
  EXPECT_EQ(NSNumber::numberWithDouble(1e30)->integerValue(), INT64_MAX);
  EXPECT_EQ(NSNumber::numberWithInteger((int64_t{1} << 32) + 5)->intValue(), 5);
  EXPECT_FALSE(NSNumber::numberWithDouble(0.0)->boolValue());
  EXPECT_TRUE(NSNumber::numberWithDouble(0.1)->boolValue());
  EXPECT_TRUE(NSNumber::numberWithInteger(-2)->boolValue());
  EXPECT_EQ(NSNumber::numberWithBool(true)->integerValue(), 1);
  EXPECT_EQ(NSNumber::numberWithUnsignedInteger(UINT64_MAX)->unsignedIntegerValue(), UINT64_MAX);
}

// The library reads badge and flag entries of unknown type by message.
TEST(StringConversion, ConversionsAnswerMessages) {
  Id s = str(" -0012abc");
  Id n = NSNumber::numberWithDouble(7.5);
  EXPECT_EQ(send<int64_t>(s, sel<"integerValue">()), -12);
  EXPECT_EQ(send<int32_t>(s, sel<"intValue">()), -12);
  EXPECT_TRUE(send<bool>(str("  0t"), sel<"boolValue">()));
  EXPECT_EQ(send<int64_t>(n, sel<"integerValue">()), 7);
  EXPECT_EQ(send<int32_t>(n, sel<"intValue">()), 7);
  EXPECT_TRUE(send<bool>(n, sel<"boolValue">()));
}

TEST(StringPath, PathExtensionIsTextAfterLastDotOfLastComponent) {
  auto ext = [](const char* s) { return str(s)->pathExtension()->utf8(); };
  EXPECT_EQ(ext("https://example.com/media/pic.jpg"), "jpg");
  EXPECT_EQ(ext("https://example.com/media/pic"), "");
  EXPECT_EQ(ext("https://example.com/media/pic.png?size=2"), "png?size=2");
  EXPECT_EQ(ext("https://example.com/v1.2/pic"), "");  // a dot in an earlier component does not count
  EXPECT_EQ(ext("/tmp/pic.jpg/"), "jpg");              // trailing slashes are not a component
  EXPECT_EQ(ext("/tmp/"), "");
  EXPECT_EQ(ext("archive.tar.gz"), "gz");
  EXPECT_EQ(ext(""), "");
}

TEST(StringPath, SuffixBuiltFromExtensionAppends) {
  Ref<NSString> suffix = str(".")->stringByAppendingString(str("https://h/pic")->pathExtension());
  EXPECT_EQ(suffix->utf8(), ".");
  EXPECT_EQ(str("/tmp/dl")->stringByAppendingString(suffix)->utf8(), "/tmp/dl.");
  EXPECT_EQ(str("a")->stringByAppendingString(nullptr)->utf8(), "a");
  EXPECT_EQ(str("/a/b/")->lastPathComponent()->utf8(), "b");
  EXPECT_EQ(str("/")->lastPathComponent()->utf8(), "/");
}

TEST(StringBasics, LengthCountsUtf16Units) {
  EXPECT_EQ(str("")->length(), 0u);
  EXPECT_EQ(str("abc")->length(), 3u);
  EXPECT_EQ(str("é")->length(), 1u);
  EXPECT_EQ(str("中文")->length(), 2u);
  EXPECT_EQ(str("😀")->length(), 2u);  // outside the basic plane: a surrogate pair
  EXPECT_EQ(str("a😀b")->length(), 4u);
  EXPECT_EQ(send<uint64_t>(str("中文"), sel<"length">()), 2u);
}

TEST(StringBasics, SplittingKeepsEmptyParts) {
  auto parts = [](const char* s, const char* sep) {
    std::vector<std::string> out;
    Ref<NSArray> array = str(s)->componentsSeparatedByString(sep);
    for (const Id& p : *array) out.push_back(asString(p.get())->utf8());
    return out;
  };
  EXPECT_EQ(parts("a.b..c", "."), (std::vector<std::string>{"a", "b", "", "c"}));
  EXPECT_EQ(parts("10.0a1", "a"), (std::vector<std::string>{"10.0", "1"}));
  EXPECT_EQ(parts("abc", ","), (std::vector<std::string>{"abc"}));
  EXPECT_EQ(parts("", ","), (std::vector<std::string>{""}));
  EXPECT_EQ(parts("a::b", "::"), (std::vector<std::string>{"a", "b"}));
}

TEST(StringBasics, EqualityHashAndCopying) {
  auto m = NSMutableString::string("ab");
  Ref<NSString> s = str("ab");
  EXPECT_TRUE(s->isEqual(m.get()));
  EXPECT_TRUE(m->isEqual(s.get()));
  EXPECT_EQ(s->hash(), m->hash());
  EXPECT_FALSE(s->isEqual(NSNumber::numberWithInt(1).get()));

  Id frozen = m->copy();
  EXPECT_EQ(frozen->getClass(), NSString::class_());
  m->append("c");
  EXPECT_EQ(asString(frozen.get())->utf8(), "ab");
  EXPECT_EQ(s->copy().get(), s.get());  // an immutable copy is the string itself

  Id thawed = s->mutableCopy();
  ASSERT_TRUE(cast<NSMutableString>(thawed.get()));
  cast<NSMutableString>(thawed.get())->append("!");
  EXPECT_EQ(s->utf8(), "ab");

  // A checked conversion answers for subclasses as for the class itself.
  EXPECT_EQ(cast<NSString>(static_cast<NSObject*>(m.get())), m.get());
  EXPECT_EQ(cast<NSString>(static_cast<NSObject*>(s.get())), s.get());
  EXPECT_EQ(cast<NSMutableString>(static_cast<NSObject*>(s.get())), nullptr);
  EXPECT_EQ(cast<NSNumber>(static_cast<NSObject*>(s.get())), nullptr);
  EXPECT_EQ(cast<NSString>(static_cast<NSObject*>(nullptr)), nullptr);
}

TEST(Format, ObjectsAndNil) {
  EXPECT_EQ(format("%@", static_cast<NSObject*>(nullptr)), "(null)");
  EXPECT_EQ(format("[%@]", nullptr), "[(null)]");
  EXPECT_EQ(format("%@=%@", str("k"), NSNumber::numberWithInteger(5)), "k=5");
  EXPECT_EQ(format("%@", NSNumber::numberWithBool(true)), "1");
  EXPECT_EQ(NSString::stringWithFormat("deviceToken:%@", str("00FF"))->utf8(), "deviceToken:00FF");
  const char* none = nullptr;
  EXPECT_EQ(format("%s", none), "(null)");
}

TEST(Format, IntegersAndHex) {
  EXPECT_EQ(format("%02X", uint8_t{0x0F}), "0F");
  EXPECT_EQ(format("%02X", uint8_t{0xFF}), "FF");
  EXPECT_EQ(format("%02x", 10u), "0a");
  EXPECT_EQ(format("%X", -1), "FFFFFFFF");  // an int shows its own 32 bits
  EXPECT_EQ(format("%X", int64_t{-1}), "FFFFFFFFFFFFFFFF");
  EXPECT_EQ(format("%u", -1), "4294967295");
  EXPECT_EQ(format("%lld %ld %d", INT64_MAX, -3L, true), "9223372036854775807 -3 1");
  EXPECT_EQ(format("%zu", size_t{42}), "42");
  EXPECT_EQ(format("%c%c", 'o', 'k'), "ok");
}

TEST(Format, FloatingRoundsLikePrintf) {
  EXPECT_EQ(format("%.0f", 2.5), "2");  // to even
  EXPECT_EQ(format("%.0f", 3.5), "4");
  EXPECT_EQ(format("%.0f", 0.5), "0");
  EXPECT_EQ(format("%.2f", 1.005), "1.00");  // 1.005 is just below in binary
  EXPECT_EQ(format("%f", 3), "3.000000");    // an integer argument still prints as a number
  EXPECT_EQ(format("%g", 0.0001), "0.0001");
}

TEST(Format, StarWidthAndPrecisionTakeArguments) {
  EXPECT_EQ(format("%*d|", 5, 42), "   42|");
  EXPECT_EQ(format("%-*d|", 4, 7), "7   |");
  EXPECT_EQ(format("%*d|", -4, 7), "7   |");  // a negative width left-justifies
  EXPECT_EQ(format("%.*f", 2, 3.14159), "3.14");
  EXPECT_EQ(format("%.*f", -1, 1.5), "1.500000");  // a negative precision is none
  EXPECT_EQ(format("%5s|%-3s|", "ab", "c"), "   ab|c  |");
}

TEST(Format, MissingArgumentsAndStrayPercents) {
  EXPECT_EQ(format("%d and %d", 1), "1 and ");
  EXPECT_EQ(format("%@"), "");
  EXPECT_EQ(format("%d%%", 50), "50%");
  EXPECT_EQ(format("100%"), "100%");
  EXPECT_EQ(format("%k %d", 7), "%k 7");  // not a conversion: takes no argument
  EXPECT_EQ(format("%c", str("x")), "x");
  EXPECT_EQ(format("%d", str("seven")), "seven");  // a mismatched argument prints as it is
}
