// The triggers' display texts: lookup by the user's language, the formats of the user's locale and
// the time trigger's descriptions built from them.
#include <gtest/gtest.h>
#include <unicode/uloc.h>

#include <cstdlib>
#include <string>

#include <comrt/variant.h>

#include "Scheduler.h"
#include "triggers/instantiation_trigger.h"
#include "triggers/schedule_trigger.h"
#include "triggers/trigger_texts.h"

namespace tolvane {
namespace {

// 2026-03-05, a Thursday, 09:05.
constexpr SYSTEMTIME start{2026, 3, 4, 5, 9, 5, 0, 0};

// Each test starts and ends without the locale and zone variables.
class TriggerTexts : public ::testing::Test {
 protected:
  TriggerTexts() { clear(); }
  ~TriggerTexts() override { clear(); }
  static void clear() { for (const char* name : {"LC_ALL", "LC_MESSAGES", "LC_TIME", "LANG", "TZ"}) unsetenv(name); }
  static void set(const char* name, const char* value) { value ? setenv(name, value, 1) : unsetenv(name); }
};

TEST_F(TriggerTexts, LookupFollowsLcAllThenLcMessagesThenLangAndFallsBackToEnglish) {
  const struct { const char *all, *messages, *lang; std::u16string daily; } rows[] = {
      {nullptr, nullptr, "de_AT@euro", u"Täglich"}, {nullptr, nullptr, "fr_CA", u"Quotidien"}, {nullptr, nullptr, "xx_YY.UTF-8", u"Daily"},
      {nullptr, nullptr, nullptr, u"Daily"}, {"fr_FR", "de_DE", "de_DE", u"Quotidien"}, {"", "de_DE", "fr_FR", u"Täglich"}};
  for (const auto& r : rows) {
    set("LC_ALL", r.all), set("LC_MESSAGES", r.messages), set("LANG", r.lang);
    EXPECT_EQ(load_text(165), r.daily) << (r.lang ? r.lang : "(none)");
  }
  // An unknown language is English whatever ICU's default locale.
  const std::string before = uloc_getDefault();
  UErrorCode status = U_ZERO_ERROR;
  uloc_setDefault("de_DE", &status);
  clear(), set("LANG", "xx_YY");
  EXPECT_EQ(schedule_trigger_description(tvScheduleScheduleTriggerRecurrenceNone, start, 0, 0),
            u"At 9:05\u202FAM on 3/5/26");
  uloc_setDefault(before.c_str(), &status);
}

TEST_F(TriggerTexts, EveryLanguageHasEveryTextWithTheEnglishPlaceholders) {
  for (unsigned n = 164; n <= 202; n = n == 178 ? 198 : n + 1) {
    const std::u16string english = (set("LANG", "en_US"), load_text(n));
    EXPECT_EQ(english.empty(), n == 202) << n;
    for (const char* language : {"de_DE", "fr_FR"}) {
      const std::u16string text = (set("LANG", language), load_text(n));
      EXPECT_EQ(text.empty(), n == 202) << language << n;
      for (const std::u16string_view p : {u"{date}", u"{time}", u"{every}", u"{day}", u"%s"})
        EXPECT_EQ(text.find(p) == text.npos, english.find(p) == english.npos) << language << n;
    }
  }
}

// The calendar fields are local already: whatever the zone, they are shown as they stand. Dates
// follow LC_TIME, texts LC_MESSAGES.
TEST_F(TriggerTexts, NamesAndDescriptionsInTheUsersLanguageAndFormats) {
  set("TZ", "Asia/Tokyo");
  const struct { const char *lang, *time; LONG recurrence, mask; LONGLONG interval; std::u16string text; } rows[] = {
      {"en_US", "", 0, 0, 0, u"At 9:05\u202FAM on 3/5/26"}, {"en_US", "de_DE", 0, 0, 0, u"At 09:05 on 05.03.26"},
      {"de_DE", "", 3, 65, 0, u"Um 09:05 jeden Sonntag, Samstag, ab 05.03.26"},
      {"en_US", "", 3, 128, 0, u"At 9:05\u202FAM every , starting 3/5/26"}, {"de_DE", "", 4, 0, 0, u"Um 09:05 am 5. jedes Monats"},
      {"de_DE", "", 1, 0, 120, u"Alle 2 Minuten ab 09:05 am 05.03.26"}, {"en_US", "", 7, 0, 0, u""}};
  for (const auto& r : rows) {
    set("LANG", r.lang), set("LC_TIME", *r.time ? r.time : nullptr);
    EXPECT_EQ(schedule_trigger_description(r.recurrence, start, r.mask, r.interval), r.text) << r.lang;
  }
  set("LANG", "de_DE");
  const std::u16string names[] = {u"", u"Einmal", u"Benutzerdefiniert", u"Täglich", u"Wöchentlich", u"Monatlich", u""};
  for (LONG r = -1; r < 6; ++r) EXPECT_EQ(schedule_trigger_name(r), names[r + 1]);
}

TEST_F(TriggerTexts, TriggersDescribeThemselvesInTheUsersLanguage) {
  set("LANG", "de_DE");
  const auto trigger = comrt::make<CScheduleScheduleTrigger>();
  trigger->put_UTC(VARIANT_TRUE);
  trigger->put_Recurrence(tvScheduleScheduleTriggerRecurrenceMonthly);
  trigger->put_StartTimeAsUnixTime(1772681400);  // 2026-03-05 03:30 UTC
  comrt::bstr text;
  for (const auto& [zone, monthly] :
       {std::pair{"Asia/Tokyo", u"Um 12:30 am 5. jedes Monats"}, {"America/New_York", u"Um 22:30 am 4. jedes Monats"}}) {
    set("TZ", zone);
    EXPECT_EQ(trigger->ToString(text.put()) == S_OK ? text.str() : u"", monthly);
  }
  EXPECT_EQ(comrt::make<CScheduleInstantiationTrigger>()->ToString(text.put()) == S_OK ? text.str() : u"", u"Einmal nach dem Start");
}

TEST_F(TriggerTexts, EachRecurrenceReplacesOnlyItsPlaceholdersAndIntervalsTakeTheLargestWholeUnit) {
  set("LANG", "en_US");
  const std::u16string text = u"{every}|{time}{time}|{date}|{day}|{TIME}";
  const std::pair<LONG, std::u16string> rows[] = {
      {0, u"{every}|9:05\u202FAM9:05\u202FAM|3/5/26|{day}|{TIME}"}, {2, u"{every}|9:05\u202FAM9:05\u202FAM|{date}|{day}|{TIME}"},
      {3, u"Tuesday|9:05\u202FAM9:05\u202FAM|3/5/26|{day}|{TIME}"}, {4, u"{every}|9:05\u202FAM9:05\u202FAM|{date}|5|{TIME}"},
      {1, u"2 minutes|9:05\u202FAM9:05\u202FAM|3/5/26|{day}|{TIME}"}};
  for (const auto& [recurrence, filled] : rows) EXPECT_EQ(fill_schedule_template(recurrence, text, start, 4, 150), filled);
  const std::pair<LONGLONG, std::u16string> intervals[] = {
      {5400, u"1 hours"}, {2592000, u"1 months"}, {1209600 + 86399, u"2 weeks"}, {-30, u""}, {-120, u"4294967294 minutes"}};
  for (const auto& [interval, every] : intervals)
    EXPECT_EQ(fill_schedule_template(tvScheduleScheduleTriggerRecurrenceCustom, u"{every}", start, 0, interval), every);
}

TEST(FormatText, OneStringConversionTakesTheArgument) {
  const std::pair<std::u16string, std::u16string> rows[] = {
      {u"File %s changed", u"File a.txt changed"}, {u"%ls|%ws|%S", u"a.txt|%ws|%S"}, {u"100%% %s", u"100% a.txt"},
      {u"[%-7s][%7s]", u"[a.txt  ][%7s]"}, {u"[%.1s]", u"[a]"}, {u"%d %s %", u"%d a.txt %"}};
  for (const auto& [format, text] : rows) EXPECT_EQ(format_text(format, u"a.txt"), text) << format.size();
  EXPECT_EQ(format_text(u"%99999999999999999999s", u"x").size(), 1024u);
}

}  // namespace
}  // namespace tolvane
