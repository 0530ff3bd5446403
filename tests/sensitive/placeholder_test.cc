#include <gtest/gtest.h>

#include "platform/atomic_file.h"
#include "sensitive/placeholder_map.h"
#include "sensitive/sensitive_rules.h"
#include "test_support.h"

namespace zelk {
namespace {

using C = SensitiveCategory;

TEST(SensitiveCategory, RawValuesAndLabelsRoundTrip) {
  ASSERT_EQ(allSensitiveCategories().size(), 18u);
  EXPECT_EQ(toString(C::passportMRZ), "passport_mrz");
  EXPECT_EQ(placeholderLabel(C::passportMRZ), "PASSPORT DATA");
  EXPECT_EQ(placeholderLabel(C::driversLicense), "LICENSE");
  EXPECT_EQ(toString(C::dateOfBirth), "dob");
  for (C c : allSensitiveCategories()) EXPECT_EQ(sensitiveCategoryFromString(toString(c)), c);
  EXPECT_FALSE(sensitiveCategoryFromString("SSN"));
  EXPECT_FALSE(sensitiveCategoryFromString("ssn "));
  EXPECT_FALSE(sensitiveCategoryFromString("passportMRZ"));
}

TEST(SensitiveRules, DefaultsRedactIdentifiersAndLeaveTextCategoriesOff) {
  const SensitiveRules& d = SensitiveRules::defaults();
  EXPECT_EQ(d.actions.size(), 18u);
  EXPECT_EQ(d.actions.at(C::ssn), SensitiveAction::redact);
  EXPECT_EQ(d.actions.at(C::dateOfBirth), SensitiveAction::redact);
  EXPECT_EQ(d.actions.at(C::email), SensitiveAction::off);
  EXPECT_EQ(d.actions.at(C::name), SensitiveAction::off);
  EXPECT_EQ(d.style, PlaceholderStyle::labeled);
  SensitiveRules empty;
  EXPECT_EQ(empty.actionFor(C::card), SensitiveAction::redact);
}

TEST(SensitiveRules, SettingsEntriesAreReadWithFlagAsRedact) {
  SensitiveRules r = SensitiveRules::fromSettings(
      {{"ssn", "off"}, {"email", "flag"}, {"phone", "redact"}, {"bogus", "off"}, {"card", "hide"}},
      "last4");
  EXPECT_EQ(r.actions.at(C::ssn), SensitiveAction::off);
  EXPECT_EQ(r.actions.at(C::email), SensitiveAction::redact);
  EXPECT_EQ(r.actions.at(C::phone), SensitiveAction::redact);
  EXPECT_EQ(r.actions.at(C::card), SensitiveAction::redact);
  EXPECT_EQ(r.style, PlaceholderStyle::last4);
  EXPECT_EQ(SensitiveRules::fromSettings({}, "").style, PlaceholderStyle::labeled);
  EXPECT_EQ(SensitiveRules::fromSettings({}, "LAST4").style, PlaceholderStyle::labeled);
}

TEST(SensitiveRules, CurrentReadsTheSettingsFileAfreshEachTime) {
  testing::TempDir dir;
  testing::ScopedEnv prefs("ZELK_PREFS_PATH", dir.file("prefs.json"));
  EXPECT_EQ(SensitiveRules::current().actions.at(C::email), SensitiveAction::off);
  ASSERT_TRUE(platform::writeFileAtomically(
      dir.file("prefs.json"),
      R"({"sensitiveRules":{"email":"redact","ssn":"off"},"placeholderStyle":"last4"})"));
  SensitiveRules r = SensitiveRules::current();
  EXPECT_EQ(r.actions.at(C::email), SensitiveAction::redact);
  EXPECT_EQ(r.actions.at(C::ssn), SensitiveAction::off);
  EXPECT_EQ(r.style, PlaceholderStyle::last4);
  ASSERT_TRUE(platform::writeFileAtomically(dir.file("prefs.json"), "{}"));
  EXPECT_EQ(SensitiveRules::current().actions.at(C::ssn), SensitiveAction::redact);
}

TEST(PlaceholderNumbering, OneValueKeepsItsNumberAcrossMapsAndANewNumberingStartsAtOne) {
  auto numbering = std::make_shared<PlaceholderNumbering>();
  PlaceholderMap first(numbering), second(numbering);
  EXPECT_EQ(first.placeholder(C::ssn, "123-45-6789", PlaceholderStyle::labeled), "[SSN 1]");
  EXPECT_EQ(second.placeholder(C::ssn, "123 45 6789", PlaceholderStyle::labeled), "[SSN 1]");
  EXPECT_EQ(second.placeholder(C::ssn, "219-09-9999", PlaceholderStyle::labeled), "[SSN 2]");
  EXPECT_EQ(second.placeholder(C::ein, "123456789", PlaceholderStyle::labeled), "[EIN 1]");
  EXPECT_EQ(second.counts().at(C::ssn), 2);
  PlaceholderMap fresh;
  EXPECT_EQ(fresh.placeholder(C::ssn, "219-09-9999", PlaceholderStyle::labeled), "[SSN 1]");
}

TEST(PlaceholderNumbering, ConnectionSlotHoldsTheNumberingSet) {
  auto saved = PlaceholderNumbering::connection();
  auto mine = std::make_shared<PlaceholderNumbering>();
  PlaceholderNumbering::setConnection(mine);
  EXPECT_EQ(PlaceholderNumbering::connection(), mine);
  PlaceholderNumbering::setConnection(saved);
}

TEST(PlaceholderMap, DatesOfBirthShareANumberOnlyWhenTheyReadAsOneDate) {
  PlaceholderMap map;
  auto dob = [&](const std::string& v) {
    return map.placeholder(C::dateOfBirth, v, PlaceholderStyle::labeled);
  };
  EXPECT_EQ(dob("05/01/1990"), "[DOB 1]");  // ambiguous: keyed by its characters
  EXPECT_EQ(dob("1990-05-01"), "[DOB 2]");
  EXPECT_EQ(dob("1 May 1990"), "[DOB 2]");
  EXPECT_EQ(dob("13/05/1990"), "[DOB 3]");
  EXPECT_EQ(dob("1990-05-13"), "[DOB 3]");
}

TEST(PlaceholderMap, Last4StyleAppliesOnlyWhereAllowed) {
  PlaceholderMap map;
  auto p = [&](C c, const std::string& v) { return map.placeholder(c, v, PlaceholderStyle::last4); };
  EXPECT_EQ(p(C::card, "4111 1111 1111 1111"), "\u2022\u2022\u20221111");
  EXPECT_EQ(p(C::ssn, "123-45-6789"), "\u2022\u2022\u20226789");
  EXPECT_EQ(p(C::dateOfBirth, "1990-05-13"), "[DOB 1]");
  EXPECT_EQ(p(C::passportMRZ, "L898902C36UTO7408122F1204159ZE184226B<<<<<10"), "[PASSPORT DATA 1]");
  EXPECT_EQ(p(C::name, "Maria Garcia"), "[NAME 1]");
  EXPECT_EQ(p(C::address, "12 Main Street 100234"), "[ADDRESS 1]");
  EXPECT_EQ(p(C::email, "a123456@example.com"), "[EMAIL 1]");
  EXPECT_EQ(p(C::phone, "555-12"), "[PHONE 1]");
  EXPECT_EQ(p(C::phone, "555-1234"), "\u2022\u2022\u20221234");
  EXPECT_EQ(p(C::bankAccount, "12345"), "[ACCOUNT 1]");
  EXPECT_EQ(p(C::bankAccount, "123456"), "\u2022\u2022\u20223456");
}

TEST(PlaceholderMap, CalendarDates) {
  struct Case {
    const char* text;
    std::optional<std::string> date;
  };
  const Case cases[] = {
      {"1990-05-01", "1990-05-01"}, {"13/05/1990", "1990-05-13"}, {"05/13/1990", "1990-05-13"},
      {"05/01/1990", std::nullopt}, {"13/13/1990", std::nullopt}, {"May 1, 1990", "1990-05-01"},
      {"1 MAY 1990", "1990-05-01"}, {"1 Sept 1990", "1990-09-01"}, {"31 Feb 1990", "1990-02-31"},
      {"1 Foo 1990", std::nullopt}, {"1990-13-01", std::nullopt}, {"1990-01-32", std::nullopt},
      {"13/05/90", std::nullopt},   {"1990-05", std::nullopt},    {"1990-05-01-02", std::nullopt},
      {"0/13/1990", std::nullopt},  {"", std::nullopt},           {"May 1 199O", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(PlaceholderMap::calendarDate(c.text), c.date) << c.text;
}

TEST(PlaceholderMap, SummaryTotalsAndHiddenDigitFilter) {
  PlaceholderMap empty;
  EXPECT_EQ(empty.totalHidden(), 0);
  EXPECT_TRUE(empty.summary().empty());
  EXPECT_EQ(empty.filterOutHidden({"3456"}), std::vector<std::string>{"3456"});

  PlaceholderMap map;
  map.placeholder(C::bankAccount, "123456", PlaceholderStyle::labeled);
  map.placeholder(C::bankAccount, "123456", PlaceholderStyle::labeled);
  map.placeholder(C::card, "12", PlaceholderStyle::labeled);
  EXPECT_EQ(map.totalHidden(), 3);
  EXPECT_EQ(map.summary(), (std::map<std::string, int>{{"bank_account", 2}, {"card", 1}}));
  EXPECT_EQ(map.hiddenDigits(), std::set<std::string>{"123456"});
  EXPECT_EQ(map.filterOutHidden({"12", "3456", "3,456", "7890", "1"}),
            (std::vector<std::string>{"12", "7890", "1"}));
}

}  // namespace
}  // namespace zelk
