// Records whose fields are held as the text they were written as: the text
// of run-time values, finding one field without reading the rest, and the
// tree read back only when asked for.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "UserNotifications/UserNotifications.h"
#include "orvel/Orvel.h"
#include "sim/Records.h"

using namespace orvelsim;
using namespace objc;

namespace {

std::string textOf(const NSObject* value) {
  TextBuffer out(1);
  appendValueText(out, value);
  return std::string(out.view());
}

// What the JSON library writes for `value`.
std::string dumped(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

TEST(RecordText, ValuesAreWrittenAsTheJsonTheyStandFor) {
  EXPECT_EQ(textOf(nullptr), "null");
  EXPECT_EQ(textOf(NSNull::null()), "null");
  for (const char* s : {"", "plain", "quote \" and \\ and \n", "caf\xc3\xa9", "bad \xff byte", "0123456789abcdef\x01"})
    EXPECT_EQ(textOf(str(s).get()), dumped(Json(std::string(s)))) << s;
  EXPECT_EQ(textOf(NSNumber::numberWithBool(true).get()), "true");
  EXPECT_EQ(textOf(NSNumber::numberWithInteger(-3).get()), "-3");
  EXPECT_EQ(textOf(NSNumber::numberWithUnsignedInteger(UINT64_MAX).get()), "18446744073709551615");
  EXPECT_EQ(textOf(NSNumber::numberWithDouble(1.5).get()), "1.5");
  EXPECT_EQ(textOf(NSNumber::numberWithDouble(2).get()), "2.0");
  // Not a JSON number: its description, as a string.
  auto infinite = NSNumber::numberWithDouble(std::numeric_limits<double>::infinity());
  EXPECT_EQ(textOf(infinite.get()), dumped(Json(infinite->description())));
  const uint8_t bytes[] = {0x00, 0xAB, 0x10};
  EXPECT_EQ(textOf(NSData::dataWithBytes(bytes, sizeof bytes).get()), "\"00AB10\"");
  EXPECT_EQ(textOf(NSError::errorWithDomain("D", 7).get()), R"({"domain":"D","code":7})");
  auto array = make<NSArray>(std::vector<Id>{str("a"), NSNumber::numberWithInteger(1), make<NSArray>(std::vector<Id>{})});
  EXPECT_EQ(textOf(array.get()), R"(["a",1,[]])");
  EXPECT_EQ(textOf(NSDate::dateWithTimeIntervalSince1970(1767225600.25).get()), "\"2026-01-01T00:00:00.250Z\"");
  EXPECT_EQ(textOf(makeBlock<void()>([] {}).get()), "\"<block>\"");
}

TEST(RecordText, DictionariesKeepTheirOrderAndKeysThatMeetTakeTheLastValue) {
  auto d = NSMutableDictionary::dictionary();
  d->setObject(NSNumber::numberWithInteger(1), "z");
  d->setObject(str("x"), "a");
  d->setObject(NSDictionary::dictionaryWithEntries({{str("in"), NSNull::null()}}), "nested");
  EXPECT_EQ(textOf(d.get()), R"({"z":1,"a":"x","nested":{"in":null}})");

  // A number key and a string key with the same description are one JSON
  // key: in the first one's place, with the later value.
  auto mixed = NSMutableDictionary::dictionary();
  mixed->setObject(str("first"), NSNumber::numberWithInteger(1).get());
  mixed->setObject(str("between"), str("b").get());
  mixed->setObject(str("second"), str("1").get());
  EXPECT_EQ(textOf(mixed.get()), R"({"1":"second","b":"between"})");
  EXPECT_EQ(valueToJson(mixed.get()), Json::parse(R"({"1":"second","b":"between"})"));
}

// Keys known only at run time (a payload's) are escaped as they need, as
// the first member and after others, short and long.
TEST(RecordText, RunTimeKeysAreEscapedAsTheJsonLibraryWritesThem) {
  const std::string longPlain(40, 'k');
  for (const std::string& key :
       {std::string("plain"), std::string(""), std::string("quote \" and \\"), std::string("line\nbreak"),
        std::string("caf\xc3\xa9"), std::string("bad \xff byte"), longPlain, longPlain + "\"", std::string("\x01")}) {
    auto first = NSDictionary::dictionaryWithEntries({{str(key), NSNumber::numberWithInteger(1)}});
    EXPECT_EQ(textOf(first.get()), dumped(Json{{key, 1}})) << key;
    auto later = NSMutableDictionary::dictionary();
    later->setObject(NSNumber::numberWithInteger(0), "a");
    later->setObject(NSNumber::numberWithInteger(1), key);
    Json expected = Json::object();
    expected["a"] = 0;
    expected[key] = 1;
    EXPECT_EQ(textOf(later.get()), dumped(expected)) << key;
  }
}

TEST(RecordText, PlatformObjectsAreWrittenByTheirFields) {
  auto content = make<UNMutableNotificationContent>();
  content->setTitle(str("Hi"));
  content->setBody(str("there"));
  content->setBadge(NSNumber::numberWithInteger(2));
  content->setUserInfo(NSDictionary::dictionaryWithEntries({{str("k"), NSNumber::numberWithInteger(1)}}));
  auto request = UNNotificationRequest::requestWithIdentifier(str("id-1").get(), content.get(),
                                                              UNTimeIntervalNotificationTrigger::triggerWithTimeInterval(
                                                                  60, true)
                                                                  .get());
  auto notification =
      UNNotification::notificationWithRequest(request.get(), NSDate::dateWithTimeIntervalSince1970(1767225600).get());
  const std::string text = textOf(notification.get());
  const Json tree = Json::parse(text);
  EXPECT_EQ(tree["identifier"], "id-1");
  EXPECT_EQ(tree["content"]["title"], "Hi");
  EXPECT_EQ(tree["content"]["body"], "there");
  EXPECT_EQ(tree["content"]["badge"], 2);
  EXPECT_EQ(tree["content"]["userInfo"], Json::parse(R"({"k":1})"));
  EXPECT_EQ(tree["trigger"], Json::parse(R"({"kind":"timeInterval","timeInterval":60.0,"repeats":true})"));
  EXPECT_EQ(tree["date"], "2026-01-01T00:00:00Z");
  // The date comes after the request's own fields.
  EXPECT_EQ(std::prev(tree.end()).key(), "date");
  // Written once, read back the same.
  EXPECT_EQ(dumped(valueToJson(notification.get())), text);

  // The library's message by its dictionary form.
  auto message = make<OrvelNotificationMessage>();
  message->setIdentifier(str("m"));
  auto messageContent = make<OrvelNotificationContent>();
  messageContent->setBody(str("b"));
  message->setContent(messageContent);
  EXPECT_EQ(valueToJson(message.get()), valueToJson(message->convertDictionary().get()));
}

TEST(RecordText, AFieldIsFoundWithoutReadingTheRest) {
  Record r = Record::withText(
      1.5, "host",
      R"("call":"a\"b","args":[{"call":"inner"},"]"],"n":-5,"k\"ey":true,"s":"x,y}","none":null,"last":{"x":[1,2]})");
  ASSERT_NE(r.text(), nullptr);
  EXPECT_EQ(r.field("call"), "a\"b");
  EXPECT_EQ(r.field("args"), Json::parse(R"([{"call":"inner"},"]"])"));
  EXPECT_EQ(r.field("n"), -5);
  EXPECT_EQ(r.field("k\"ey"), true);
  EXPECT_EQ(r.field("s"), "x,y}");
  EXPECT_TRUE(r.field("none").is_null());
  EXPECT_EQ(r.field("last"), Json::parse(R"({"x":[1,2]})"));
  EXPECT_TRUE(r.field("inner").is_null()) << "only the record's own fields";
  EXPECT_TRUE(r.field("missing").is_null());
  // Looking did not read the tree: the text still holds.
  ASSERT_NE(r.text(), nullptr);
  EXPECT_EQ(r.fields()["call"], "a\"b");
  EXPECT_EQ(r.fields().size(), 7u);
}

TEST(RecordText, TheTextIsTheLineUntilTheFieldsAreChanged) {
  Record r = Record::withText(2, "completion", R"("call":"c","value":7)");
  r.addField("by", "host");
  EXPECT_EQ(r.toJsonLine(), R"({"t":2.0,"kind":"completion","call":"c","value":7,"by":"host"})");
  EXPECT_EQ(r.toJsonLine("9.3"), R"({"t":2.0,"kind":"completion","call":"c","value":7,"by":"host","os":"9.3"})");
  EXPECT_EQ(r.toJsonLine(), dumped(r.toJson()));
  // Read, then added to: the tree and the text stay the same record.
  EXPECT_EQ(r.fields()["by"], "host");
  r.addField("count", 2);
  EXPECT_EQ(r.fields()["count"], 2);
  EXPECT_EQ(r.toJsonLine(), R"({"t":2.0,"kind":"completion","call":"c","value":7,"by":"host","count":2})");
  // Changed through the tree: the text is given up, the line follows.
  r.fields()["value"] = 8;
  EXPECT_EQ(r.text(), nullptr);
  EXPECT_EQ(r.toJsonLine(), R"({"t":2.0,"kind":"completion","call":"c","value":8,"by":"host","count":2})");

  Record empty = Record::withText(0, "note", "");
  EXPECT_EQ(empty.toJsonLine(), R"({"t":0.0,"kind":"note"})");
  EXPECT_TRUE(empty.fields().is_object());
  EXPECT_TRUE(empty.fields().empty());
  Record grown = Record::withText(0, "note", "");
  grown.addField("text", "x");
  EXPECT_EQ(grown.toJsonLine(), R"({"t":0.0,"kind":"note","text":"x"})");
}

TEST(RecordText, ABufferGrowsAndGivesBackExactlyWhatWasWritten) {
  TextBuffer out(1);
  std::string expected;
  for (int i = 0; i < 2000; ++i) {
    const std::string piece = std::to_string(i) + (i % 7 ? "," : std::string(300, 'x'));
    out += piece;
    expected += piece;
    out += ';';
    expected += ';';
  }
  EXPECT_EQ(out.view(), expected);
  out.truncate(10);
  EXPECT_EQ(out.view(), expected.substr(0, 10));
  EXPECT_EQ(out.take(), expected.substr(0, 10));
  EXPECT_TRUE(out.empty());
  out += "again";
  EXPECT_EQ(out.take(), "again");
}

// Strings of every length up to a few words, with a byte that needs more
// than copying at every place: the word-at-a-time copy and its overlapping
// last word must give the library's text.
TEST(RecordText, StringsOfEveryLengthAreTheLibrarysText) {
  for (size_t length = 0; length <= 40; ++length) {
    const std::string plain(length, 'p');
    TextBuffer out(1);
    appendStringText(out, plain);
    EXPECT_EQ(out.view(), dumped(Json(plain))) << length;
    for (size_t at = 0; at < length; ++at) {
      for (char special : {'"', '\\', '\n', '\x1f', '\x80'}) {
        std::string s = plain;
        s[at] = special;
        TextBuffer text(1);
        appendStringText(text, s);
        ASSERT_EQ(text.view(), dumped(Json(s))) << length << " " << at << " " << int(special);
      }
    }
  }
}

}  // namespace
