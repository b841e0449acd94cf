// The triggers' display texts: lookup by the user's language, the formats of the user's locale and
// the time trigger's descriptions built from them.
#include <gtest/gtest.h>
#include <unicode/uloc.h>

#include <cstdlib>
#include <optional>
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

class TriggerTexts : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto& [name, value] : saved_) {
      if (const char* v = std::getenv(name)) value = v;
      unsetenv(name);
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) value ? setenv(name, value->c_str(), 1) : unsetenv(name);
  }
  static void set(const char* name, const char* value) { value ? setenv(name, value, 1) : unsetenv(name); }

 private:
  std::pair<const char*, std::optional<std::string>> saved_[5] = {
      {"LC_ALL", {}}, {"LC_MESSAGES", {}}, {"LC_TIME", {}}, {"LANG", {}}, {"TZ", {}}};
};

TEST_F(TriggerTexts, LookupFollowsLcAllThenLcMessagesThenLangAndFallsBackToEnglish) {
  struct row { const char *all, *messages, *lang; std::u16string daily; };
  const row rows[] = {
      {nullptr, nullptr, "de_DE.UTF-8", u"Täglich"},    {nullptr, nullptr, "de_AT@euro", u"Täglich"},
      {nullptr, nullptr, "fr_CA", u"Quotidien"},        {nullptr, nullptr, "xx_YY.UTF-8", u"Daily"},
      {nullptr, nullptr, "C", u"Daily"},                {nullptr, nullptr, nullptr, u"Daily"},
      {"fr_FR", "de_DE", "de_DE", u"Quotidien"},        {"", "de_DE", "fr_FR", u"Täglich"}};
  for (const row& r : rows) {
    set("LC_ALL", r.all), set("LC_MESSAGES", r.messages), set("LANG", r.lang);
    EXPECT_EQ(load_text(165), r.daily) << (r.lang ? r.lang : "(none)");
  }
}

TEST_F(TriggerTexts, UnknownLanguageIsEnglishWhateverIcusDefaultLocale) {
  const std::string before = uloc_getDefault();
  UErrorCode status = U_ZERO_ERROR;
  uloc_setDefault("de_DE", &status);
  set("LANG", "xx_YY");
  EXPECT_EQ(load_text(164), u"Monthly");
  EXPECT_EQ(schedule_trigger_description(tvScheduleScheduleTriggerRecurrenceNone, start, 0, 0),
            u"At 9:05\u202FAM on 3/5/26");
  uloc_setDefault(before.c_str(), &status);
}

TEST_F(TriggerTexts, EveryLanguageHasEveryTextWithItsPlaceholders) {
  const std::pair<unsigned, std::u16string_view> placeholders[] = {
      {169, u"{date}"}, {169, u"{time}"}, {170, u"{time}"}, {171, u"{every}"}, {171, u"{time}"}, {171, u"{date}"},
      {172, u"{time}"}, {172, u"{day}"}, {173, u"{every}"}, {173, u"{time}"}, {173, u"{date}"}, {198, u"%s"}, {199, u"%s"}};
  for (const char* language : {"en_US", "de_DE", "fr_FR"}) {
    set("LANG", language);
    for (unsigned n = 164; n <= 201; n = n == 178 ? 198 : n + 1) EXPECT_NE(load_text(n), u"") << language << n;
    for (const auto& [n, placeholder] : placeholders) {
      EXPECT_NE(load_text(n).find(placeholder), std::u16string::npos) << language << n;
    }
    EXPECT_EQ(load_text(1) + load_text(202), u"");
  }
}

TEST_F(TriggerTexts, NamesByRecurrence) {
  set("LANG", "de_DE");
  const std::u16string names[] = {u"", u"Einmal", u"Benutzerdefiniert", u"Täglich", u"Wöchentlich", u"Monatlich", u""};
  for (LONG r = -1; r < 6; ++r) EXPECT_EQ(schedule_trigger_name(r), names[r + 1]);
}

// The calendar fields are local already: whatever the zone, they are shown as they stand.
TEST_F(TriggerTexts, DescriptionsInTheUsersLanguageAndFormats) {
  set("TZ", "Asia/Tokyo");
  struct row { const char* lang; LONG recurrence, mask; LONGLONG interval; std::u16string text; };
  const row rows[] = {
      {"en_US", 0, 0, 0, u"At 9:05\u202FAM on 3/5/26"},
      {"de_DE", 0, 0, 0, u"Um 09:05 am 05.03.26"},
      {"de_DE", 3, 65, 0, u"Um 09:05 jeden Sonntag, Samstag, ab 05.03.26"},
      {"en_US", 3, 128, 0, u"At 9:05\u202FAM every , starting 3/5/26"},
      {"de_DE", 4, 0, 0, u"Um 09:05 am 5. jedes Monats"},
      {"de_DE", 1, 0, 120, u"Alle 2 Minuten ab 09:05 am 05.03.26"},
      {"en_US", 7, 0, 0, u""}};
  for (const row& r : rows) {
    set("LANG", r.lang);
    EXPECT_EQ(schedule_trigger_description(r.recurrence, start, r.mask, r.interval), r.text) << r.lang;
  }
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
    EXPECT_EQ(trigger->ToString(text.put()), S_OK);
    EXPECT_EQ(text, monthly);
  }
  EXPECT_EQ(comrt::make<CScheduleInstantiationTrigger>()->ToString(text.put()), S_OK);
  EXPECT_EQ(text, u"Einmal nach dem Start");
}

TEST_F(TriggerTexts, DatesFollowLcTimeAndTextsLcMessages) {
  set("LC_MESSAGES", "en_US"), set("LC_TIME", "de_DE"), set("LANG", "fr_FR");
  EXPECT_EQ(schedule_trigger_description(tvScheduleScheduleTriggerRecurrenceNone, start, 0, 0),
            u"At 09:05 on 05.03.26");
}

TEST_F(TriggerTexts, EachRecurrenceReplacesOnlyItsPlaceholders) {
  set("LANG", "en_US");
  const std::u16string text = u"{every}|{time}{time}|{date}|{day}|{TIME}";
  const std::pair<LONG, std::u16string> rows[] = {
      {0, u"{every}|9:05\u202FAM9:05\u202FAM|3/5/26|{day}|{TIME}"},
      {2, u"{every}|9:05\u202FAM9:05\u202FAM|{date}|{day}|{TIME}"},
      {3, u"Tuesday|9:05\u202FAM9:05\u202FAM|3/5/26|{day}|{TIME}"},
      {4, u"{every}|9:05\u202FAM9:05\u202FAM|{date}|5|{TIME}"},
      {1, u"2 minutes|9:05\u202FAM9:05\u202FAM|3/5/26|{day}|{TIME}"}};
  for (const auto& [recurrence, filled] : rows) {
    EXPECT_EQ(fill_schedule_template(recurrence, text, start, 4, 150), filled);
  }
}

TEST_F(TriggerTexts, IntervalIsTheLargestWholeUnitWithTheRestDropped) {
  set("LANG", "en_US");
  const std::pair<LONGLONG, std::u16string> rows[] = {
      {5400, u"1 hours"}, {120, u"2 minutes"}, {2592000, u"1 months"}, {1209600 + 86399, u"2 weeks"},
      {30, u""}, {-30, u""}, {-120, u"4294967294 minutes"}};
  for (const auto& [interval, text] : rows) {
    EXPECT_EQ(fill_schedule_template(tvScheduleScheduleTriggerRecurrenceCustom, u"{every}", start, 0, interval), text);
  }
}

TEST(FormatText, OneStringConversionTakesTheArgument) {
  const std::pair<std::u16string, std::u16string> rows[] = {
      {u"File %s changed", u"File a.txt changed"}, {u"%ls|%ws|%S", u"a.txt|%ws|%S"},
      {u"100%% %s", u"100% a.txt"},                {u"[%-7s][%7s]", u"[a.txt  ][%7s]"},
      {u"[%.1s]", u"[a]"},                         {u"%d %s %", u"%d a.txt %"},
      {u"no conversion", u"no conversion"}};
  for (const auto& [format, text] : rows) EXPECT_EQ(format_text(format, u"a.txt"), text) << format.size();
  EXPECT_EQ(format_text(u"%99999999999999999999s", u"x").size(), 1024u);
}

}  // namespace
}  // namespace tolvane
