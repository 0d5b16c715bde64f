// The JSON bridge: kinds, order, round trips, errors and limits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "Foundation/Foundation.h"

using namespace objc;

namespace {

NSNumber* numberAt(const Id& array, uint64_t i) { return asNumber(asArray(array.get())->objectAtIndex(i)); }

JSONError parseError(std::string_view text) {
  JSONError e;
  EXPECT_EQ(JSONParse(text, &e), nullptr) << text;
  return e;
}

}  // namespace

TEST(JSON, KindsAreKeptApart) {
  Id v = JSONParse("[1, 1.0, true, false, -7, 1e2, 9223372036854775807, 9223372036854775808, -9223372036854775808]");
  ASSERT_TRUE(v);
  EXPECT_EQ(numberAt(v, 0)->kind(), NSNumber::Kind::Signed);
  EXPECT_EQ(numberAt(v, 1)->kind(), NSNumber::Kind::Double);
  EXPECT_EQ(numberAt(v, 2)->kind(), NSNumber::Kind::Bool);
  EXPECT_EQ(numberAt(v, 3)->kind(), NSNumber::Kind::Bool);
  EXPECT_EQ(numberAt(v, 4)->integerValue(), -7);
  EXPECT_EQ(numberAt(v, 5)->kind(), NSNumber::Kind::Double);
  EXPECT_EQ(numberAt(v, 6)->kind(), NSNumber::Kind::Signed);
  EXPECT_EQ(numberAt(v, 6)->integerValue(), INT64_MAX);
  EXPECT_EQ(numberAt(v, 7)->kind(), NSNumber::Kind::Unsigned);  // only above INT64_MAX
  EXPECT_EQ(numberAt(v, 7)->unsignedIntegerValue(), uint64_t{1} << 63);
  EXPECT_EQ(numberAt(v, 8)->integerValue(), INT64_MIN);
  EXPECT_EQ(JSONSerialize(v),
            "[1,1.0,true,false,-7,100.0,9223372036854775807,9223372036854775808,-9223372036854775808]");
}

TEST(JSON, ValuesOfEachType) {
  Id v = JSONParse(R"({"s": "text", "n": null, "a": [], "o": {}, "big": 123456789012345678901234567890})");
  auto* d = asDictionary(v.get());
  ASSERT_TRUE(d);
  EXPECT_EQ(asString(d->objectForKey("s"))->utf8(), "text");
  EXPECT_EQ(d->objectForKey("n"), NSNull::null());
  EXPECT_EQ(asArray(d->objectForKey("a"))->count(), 0u);
  EXPECT_EQ(asDictionary(d->objectForKey("o"))->count(), 0u);
  EXPECT_EQ(asNumber(d->objectForKey("big"))->kind(), NSNumber::Kind::Double);
  // Results are immutable values, and a scalar is fine at the top level.
  EXPECT_EQ(v->getClass(), NSDictionary::class_());
  EXPECT_EQ(d->objectForKey("a")->getClass(), NSArray::class_());
  EXPECT_EQ(asString(JSONParse(R"( "top" )").get())->utf8(), "top");
  EXPECT_EQ(JSONParse("null").get(), NSNull::null());
}

TEST(JSON, ObjectsKeepTheirOrderAndTheLastDuplicateWins) {
  Id v = JSONParse(R"({"zeta": 1, "alpha": 2, "zeta": 3, "mid": 4})");
  auto* d = asDictionary(v.get());
  ASSERT_TRUE(d);
  EXPECT_EQ(d->count(), 3u);
  EXPECT_EQ(asNumber(d->objectForKey("zeta"))->integerValue(), 3);
  EXPECT_EQ(JSONSerialize(v), R"({"zeta":3,"alpha":2,"mid":4})");
}

TEST(JSON, RoundTripOfAPayload) {
  const char* text =
      R"({"aps":{"alert":{"title":"T","body":"B \"quoted\" \\ / é 😀"},"badge":3,"sound":"default",)"
      R"("content-available":1},"attachment":"https://127.0.0.1/pic.png?size=2","ratio":0.25,"flags":[true,false,null]})";
  Id v = JSONParse(text);
  ASSERT_TRUE(v);
  EXPECT_EQ(JSONSerialize(v), text);
  EXPECT_TRUE(JSONParse(JSONSerialize(v, true))->isEqual(v.get()));
  auto* alert = asDictionary(asDictionary(asDictionary(v.get())->objectForKey("aps"))->objectForKey("alert"));
  EXPECT_EQ(asString(alert->objectForKey("body"))->utf8(), "B \"quoted\" \\ / é 😀");
}

TEST(JSON, PrettyOutput) {
  Id v = JSONParse(R"({"a":[1,{"b":null}],"c":{},"d":[]})");
  EXPECT_EQ(JSONSerialize(v, true),
            "{\n"
            "  \"a\": [\n"
            "    1,\n"
            "    {\n"
            "      \"b\": null\n"
            "    }\n"
            "  ],\n"
            "  \"c\": {},\n"
            "  \"d\": []\n"
            "}");
}

TEST(JSON, UnicodeEscapes) {
  Id v = JSONParse(R"(["\u00e9", "\ud83d\ude00", "\u4e2d", "a\u0000b", "\n\t\"\\\/"])");
  ASSERT_TRUE(v);
  auto at = [&](uint64_t i) { return asString(asArray(v.get())->objectAtIndex(i)); };
  EXPECT_EQ(at(0)->utf8(), "é");
  EXPECT_EQ(at(1)->utf8(), "😀");
  EXPECT_EQ(at(1)->length(), 2u);
  EXPECT_EQ(at(2)->utf8(), "中");
  EXPECT_EQ(at(3)->utf8(), std::string("a\0b", 3));
  EXPECT_EQ(at(4)->utf8(), "\n\t\"\\/");
  EXPECT_EQ(JSONSerialize(v), R"(["é","😀","中","a\u0000b","\n\t\"\\/"])");
  JSONError lone = parseError(R"(["\ud83d"])");
  EXPECT_NE(lone.message.find("surrogate"), std::string::npos) << lone.describe();
}

TEST(JSON, ErrorsGiveLineColumnAndWhatWasExpected) {
  JSONError e = parseError("{\n  \"a\": 1,\n  \"b\" 2\n}");
  EXPECT_EQ(e.line, 3u);
  EXPECT_EQ(e.column, 7u);
  EXPECT_NE(e.message.find("expected ':'"), std::string::npos) << e.describe();
  EXPECT_EQ(e.describe(), "3:7: " + e.message);

  e = parseError("");
  EXPECT_EQ(e.line, 1u);
  EXPECT_EQ(e.column, 1u);
  EXPECT_NE(e.message.find("unexpected end of input"), std::string::npos) << e.describe();

  e = parseError("[1, 2,]");
  EXPECT_EQ(e.column, 7u);
  e = parseError("[\"é\", x]");  // columns count characters, not bytes
  EXPECT_EQ(e.column, 7u);
  e = parseError("{\"a\": 1} extra");
  EXPECT_NE(e.message.find("expected end of input"), std::string::npos) << e.describe();
  e = parseError("[\"open");
  EXPECT_EQ(e.line, 1u);
  e = parseError("[1e400]");
  EXPECT_NE(e.message.find("overflow"), std::string::npos) << e.describe();
  e = parseError("{1: 2}");
  EXPECT_NE(e.message.find("object key"), std::string::npos) << e.describe();
  parseError("[01]");
  parseError("[NaN]");
  parseError("// comment\n1");
  parseError("\xff");
  EXPECT_EQ(JSONParse("[", nullptr), nullptr);  // no error object: still nil, no crash
}

TEST(JSON, ARawNulByteIsAnErrorNotTheEndOfTheText) {
  using namespace std::string_view_literals;
  JSONError e = parseError("1\0junk"sv);
  EXPECT_EQ(e.line, 1u);
  EXPECT_EQ(e.column, 2u);
  EXPECT_NE(e.message.find("NUL"), std::string::npos);
  e = parseError("{\n \"a\": \"x\0y\"}"sv);
  EXPECT_EQ(e.line, 2u);
  EXPECT_EQ(e.column, 9u);
  // An earlier fault is still the one reported.
  e = parseError("[1,,\0]"sv);
  EXPECT_EQ(e.column, 4u);
  EXPECT_EQ(e.message.find("NUL"), std::string::npos);
}

TEST(JSON, DeepNestingIsRefusedNotACrash) {
  std::string ok = std::string(kJSONMaxDepth, '[') + std::string(kJSONMaxDepth, ']');
  EXPECT_TRUE(JSONParse(ok));
  std::string deep = std::string(kJSONMaxDepth + 1, '[') + std::string(kJSONMaxDepth + 1, ']');
  JSONError e = parseError(deep);
  EXPECT_EQ(e.message, "nesting deeper than 512 levels");
  EXPECT_EQ(e.line, 1u);
  EXPECT_EQ(e.column, kJSONMaxDepth + 1);
  // The object is the first level; brackets inside its key do not count.
  e = parseError(std::string("{\"[[\": ") + std::string(kJSONMaxDepth, '['));
  EXPECT_EQ(e.message, "nesting deeper than 512 levels");
  EXPECT_EQ(e.column, 8u + kJSONMaxDepth - 1);
  EXPECT_EQ(parseError(std::string(200000, '[')).message, "nesting deeper than 512 levels");
}

TEST(JSON, SerialisingWhatJSONCannotHoldRaises) {
  auto raisesNaming = [](const NSObject* value, const std::string& part) {
    try {
      JSONSerialize(value);
      ADD_FAILURE() << "no exception for " << part;
    } catch (const Exception& e) {
      EXPECT_NE(e.reason().find(part), std::string::npos) << e.reason();
    }
  };
  raisesNaming(NSDate::dateWithTimeIntervalSince1970(0), "NSDate");
  raisesNaming(NSArray::arrayWithObjects({NSURL::URLWithString("http://h/")}), "NSURL");
  raisesNaming(NSDictionary::dictionaryWithEntries({{NSNumber::numberWithInt(1), str("v")}}), "NSNumber");
  raisesNaming(NSNumber::numberWithDouble(NAN), "NaN");
  raisesNaming(NSNumber::numberWithDouble(INFINITY), "infinite");
  raisesNaming(str("\xff"), "UTF-8");

  auto loop = NSMutableArray::array();  // contains itself
  loop->addObject(loop);
  raisesNaming(loop, "nesting");
  loop->removeAllObjects();
}

TEST(JSON, SerialisesNilNullAndBooleans) {
  EXPECT_EQ(JSONSerialize(nullptr), "null");
  EXPECT_EQ(JSONSerialize(NSNull::null()), "null");
  EXPECT_EQ(JSONSerialize(NSNumber::numberWithBool(true)), "true");
  EXPECT_EQ(JSONSerialize(NSNumber::numberWithInt(1)), "1");
  EXPECT_EQ(JSONSerialize(NSNumber::numberWithUnsignedInteger(UINT64_MAX)), "18446744073709551615");
  EXPECT_EQ(JSONSerialize(NSNumber::numberWithDouble(0.1)), "0.1");
  auto m = NSMutableDictionary::dictionary();
  m->setObject(NSMutableString::string("v"), NSMutableString::string("k"));
  m->setObject(NSMutableArray::array(), "list");
  EXPECT_EQ(JSONSerialize(m), R"({"k":"v","list":[]})");
  EXPECT_EQ(JSONSerialize(str("tab\tand\x01")), R"("tab\tand\u0001")");
}

// ---- hardening: what once crashed, ran for minutes or pointed elsewhere ----

TEST(JSONCrash, AByteOrderMarkOpensTheTextAndTakesNoColumn) {
  Id v = JSONParse("\xEF\xBB\xBF{\"a\": 1}");
  ASSERT_TRUE(v);
  EXPECT_EQ(asNumber(asDictionary(v.get())->objectForKey("a"))->integerValue(), 1);
  JSONError e = parseError("\xEF\xBB\xBF{\"a\" 1}");
  EXPECT_EQ(e.line, 1u);
  EXPECT_EQ(e.column, 6u) << e.describe();
  // Only at the start: anywhere else it is a character JSON does not allow.
  parseError("[1, \xEF\xBB\xBF 2]");
}

TEST(JSONMessage, LinesEndAtCarriageReturnsAndAnOverflowPointsAtItsNumber) {
  JSONError e = parseError("{\r  \"a\": 1,\r  \"b\" 2\r}");
  EXPECT_EQ(e.line, 3u);
  EXPECT_EQ(e.column, 7u) << e.describe();
  e = parseError("{\r\n  \"a\": 1,\r\n  \"b\" 2\r\n}");
  EXPECT_EQ(e.line, 3u);
  EXPECT_EQ(e.column, 7u) << e.describe();
  e = parseError("[1,\n  1e400]");
  EXPECT_EQ(e.line, 2u);
  EXPECT_EQ(e.column, 3u) << e.describe();
  EXPECT_NE(e.message.find("1e400"), std::string::npos);
}

TEST(JSONTime, ObjectsWithManyKeysAreReadAndWrittenWhole) {
  // A key lookup that scans the members makes this quadratic: minutes
  // instead of a fraction of a second.
  constexpr int kKeys = 200000;
  std::string text = "{";
  for (int i = 0; i < kKeys; ++i) text += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
  text += ",\"k7\":\"again\"}";
  Id v = JSONParse(text);
  auto* d = asDictionary(v.get());
  ASSERT_TRUE(d);
  EXPECT_EQ(d->count(), static_cast<uint64_t>(kKeys));
  EXPECT_EQ(asString(d->objectForKey("k7"))->utf8(), "again") << "the last duplicate wins";
  EXPECT_EQ(asString(d->entries()[7].key.get())->utf8(), "k7") << "in the first one's place";
  std::string written = JSONSerialize(v);
  EXPECT_EQ(written.size(), text.size() - std::string(",\"k7\":\"again\"").size() + 6);
  EXPECT_TRUE(JSONParse(written)->isEqual(v.get()));
}

TEST(JSONCursor, CountsLinesAndCharactersAsEditorsShowThem) {
  std::string_view text =
      "\xEF\xBB\xBF"
      "ab\r\ncd\re\xC3\xA9x\nz";
  JSONCursor cursor(text);
  auto at = [&](size_t offset) {
    cursor.moveTo(offset);
    return std::to_string(cursor.line()) + ":" + std::to_string(cursor.column());
  };
  EXPECT_EQ(at(3), "1:1");  // after the mark
  EXPECT_EQ(at(5), "1:3");  // the CR of CR LF ends nothing by itself
  EXPECT_EQ(at(7), "2:1");
  EXPECT_EQ(at(10), "3:1");  // a lone CR ends the line
  EXPECT_EQ(at(13), "3:3");  // é is one column
  EXPECT_EQ(at(15), "4:1");
  EXPECT_EQ(at(4), "1:2");  // and back again
}
