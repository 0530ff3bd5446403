#include "sensitive/sensitive_data.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "platform/unicode.h"
#include "test_support.h"

namespace zelk {
namespace {

using namespace SensitiveData;
using C = SensitiveCategory;

SensitiveRules withText(std::initializer_list<C> on) {
  SensitiveRules r = SensitiveRules::defaults();
  for (C c : on) r.actions[c] = SensitiveAction::redact;
  return r;
}

std::string redacted(const std::string& text, const SensitiveRules& rules = SensitiveRules::defaults()) {
  PlaceholderMap map;
  return redact(text, rules, map);
}

struct RedactCase {
  const char* what;
  std::string text;
  std::string expected;
};

TEST(SensitiveData, RedactsTableOfCases) {
  const RedactCase cases[] = {
      {"nothing found", "Revenue grew 12% to $4,500 in 2023.", "Revenue grew 12% to $4,500 in 2023."},
      {"labeled ssn wins over validated", "SSN: 123-45-6789", "SSN: [SSN 1]"},
      {"bare ssn", "number 219-09-9999 here", "number [SSN 1] here"},
      {"invalid ssn area", "ref 666-12-3456 end", "ref 666-12-3456 end"},
      {"ein shape", "EIN 12-3456789.", "EIN [EIN 1]."},
      {"labeled ein digits", "EIN: 123456789", "EIN: [EIN 1]"},
      {"card in groups", "Card 4111 1111 1111 1111 ok", "Card [CARD 1] ok"},
      {"iban grouped", "Pay to GB82 WEST 1234 5698 7654 32 now", "Pay to [IBAN 1] now"},
      {"uk nino", "NI: AB 12 34 56 C", "NI: [NINO 1]"},
      {"passport label", "Passport No: X1234567", "Passport No: [PASSPORT 1]"},
      {"drivers licence label", "Driver's license: D123-4567-8901", "Driver's license: [LICENSE 1]"},
      {"routing label", "Routing number 011000015", "Routing number [ROUTING 1]"},
      {"dob label", "Date of birth: 13/05/1990", "Date of birth: [DOB 1]"},
      {"tfn label", "TFN 123 456 782", "TFN [TFN 1]"},
      {"sin label", "SIN: 130 692 544", "SIN: [SIN 1]"},
      {"sin label first digit 0", "SIN: 046 454 286", "SIN: 046 454 286"},
      {"ird label", "IRD no. 49-091-850", "IRD no. [IRD 1]"},
      {"account number", "Account number 12345678", "Account number [ACCOUNT 1]"},
      {"same value twice", "SSN 123-45-6789 and again 123-45-6789",
       "SSN [SSN 1] and again [SSN 1]"},
      {"mrz lines",
       "P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<\nL898902C36UTO7408122F1204159ZE184226B<<<<<10",
       "[PASSPORT DATA 1]\n[PASSPORT DATA 2]"},
      {"csv column", "Name,SSN,Notes\nAnn,123-45-6789,x\nBob,000-00-0000,y\n\nZed,219-09-9999,z",
       "Name,SSN,Notes\nAnn,[SSN 1],x\nBob,000-00-0000,y\n\nZed,[SSN 2],z"},
      {"tax id column names ssn", "Name,Tax ID\nAnn,12-3456789", "Name,Tax ID\nAnn,[SSN 1]"},
      {"json iban", R"({"iban": "gb82 west 1234 5698 7654 32"})", R"({"iban": "[IBAN 1]"})"},
      {"json n/a", R"({"ssn": "N/A", "x": 1})", R"({"ssn": "N/A", "x": 1})"},
      {"json tax_id", R"({"tax_id":"219099999"})", R"({"tax_id":"[SSN 1]"})"},
      {"flat table", "Name          Passport No     Expiry Date\nAnn Lee       X1234567        12/05/2031",
       "Name          Passport No     Expiry Date\nAnn Lee       [PASSPORT 1]        12/05/2031"},
      {"flat line without header", "Ann Lee       X1234567        12/05/2031",
       "Ann Lee       X1234567        12/05/2031"},
      {"telephone label near bank", "Bank account details. Tel. 0123456789",
       "Bank account details. Tel. 0123456789"},
      {"compact date near bank", "Bank account statement 20240131", "Bank account statement 20240131"},
      {"hyphen date near bank", "Bank account statement, posted 2024-01-31 and 31-01-2024 and 01-31-2024",
       "Bank account statement, posted 2024-01-31 and 31-01-2024 and 01-31-2024"},
      {"account near bank word", "Our bank account: see 9876 5432 1098",
       "Our bank account: see [ACCOUNT 1]"},
      {"routing near bank word", "routing 011000015", "routing [ROUTING 1]"},
  };
  for (const RedactCase& c : cases) EXPECT_EQ(redacted(c.text), c.expected) << c.what;
}

TEST(SensitiveData, LabeledAndValidatedFindingsCoincideAndTheLabelSurvives) {
  auto found = detect("SSN: 123-45-6789", SensitiveRules::defaults());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], (Finding{C::ssn, 5, 11, "123-45-6789"}));
}

TEST(SensitiveData, ColumnDetectorRunsBeforeValidated) {
  auto found = detect("Name,Tax ID\nAnn,12-3456789", SensitiveRules::defaults());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].category, C::ssn);
}

TEST(SensitiveData, TableEndsAtAnotherSeparator) {
  EXPECT_EQ(redacted("Name,SSN\nAnn|219-09-9999|x\nBob,219099999"),
            "Name,SSN\nAnn|[SSN 1]|x\nBob,219099999");
}

TEST(SensitiveData, HeaderCategories) {
  struct Case {
    const char* header;
    std::optional<C> category;
  };
  const Case cases[] = {
      {"Social Security No.", C::ssn}, {"Employee #", std::nullopt}, {"SSN", C::ssn},
      {"\"tax_id\"", C::ssn},          {"Date-of-Birth", C::dateOfBirth},
      {"  IBAN ", C::iban},            {"Account No", C::bankAccount}, {"ABA Routing", C::routing},
      {"Driver License #", C::driversLicense}, {"NI Number", C::ukNINO}, {"FEIN", C::ein},
      {"ssn_number", std::nullopt},    {"Tax File No", C::auTFN},   {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(headerCategory(c.header), c.category) << c.header;
  EXPECT_EQ(headerKey(" *Social__Security--No.* "), "social security no");
}

TEST(SensitiveData, HeaderRowsNeedShortCellsWithoutDigits) {
  std::string longCell(41, 'x');
  EXPECT_EQ(redacted("SSN," + longCell + "\n219-09-9999,a"), "SSN," + longCell + "\n[SSN 1],a");
  // Not a header, so only the validated detector acts; the lone digits stay.
  EXPECT_EQ(redacted("SSN," + longCell + "\n219099999,a"), "SSN," + longCell + "\n219099999,a");
  EXPECT_EQ(redacted("SSN,Note 2\n219099999,a"), "SSN,Note 2\n219099999,a");
  EXPECT_EQ(redacted("SSN,Note\n219099999,a"), "SSN,Note\n[SSN 1],a");
}

TEST(SensitiveData, FlatHeaderRoles) {
  auto roles = flatHeader("Name    Passport No    Expiry Date");
  ASSERT_TRUE(roles);
  EXPECT_EQ(*roles, (std::vector<FlatRole>{FlatRole::field(C::passport), FlatRole::date()}));
  EXPECT_FALSE(flatHeader("Name    Expiry Date"));            // no field role
  EXPECT_FALSE(flatHeader("what is the passport number?"));   // question
  EXPECT_FALSE(flatHeader("Passport 2"));                     // digit
  EXPECT_TRUE(flatHeader("Name  D.O.B."));
  EXPECT_FALSE(flatHeader("the passport was stamped."));
}

TEST(SensitiveData, CardLikeNumbersAreFlaggedNotRedacted) {
  PlaceholderMap map;
  std::string text = "Ticket 9111 1111 1111 1110 issued";  // Luhn-valid, prefix 9
  EXPECT_EQ(redact(text, SensitiveRules::defaults(), map), text);
  EXPECT_EQ(map.flagged(), (std::map<std::string, int>{{"card_like_number", 1}}));
  EXPECT_EQ(map.totalHidden(), 0);
  EXPECT_EQ(flagCandidates("4111 1111 1111 1111"), (std::map<std::string, int>{}));
}

TEST(SensitiveData, FlagAndOffActions) {
  SensitiveRules rules = SensitiveRules::defaults();
  rules.actions[C::ssn] = SensitiveAction::flag;
  rules.actions[C::card] = SensitiveAction::off;
  PlaceholderMap map;
  std::string text = "SSN 123-45-6789 card 4111 1111 1111 1111 EIN 12-3456789";
  EXPECT_EQ(redact(text, rules, map), "SSN 123-45-6789 card 4111 1111 1111 1111 EIN [EIN 1]");
  EXPECT_EQ(map.flagged(), (std::map<std::string, int>{{"ssn", 1}}));
  EXPECT_EQ(map.summary(), (std::map<std::string, int>{{"ein", 1}}));
}

TEST(SensitiveData, SuppliedFindingsAreUsedAndStaleOnesIgnored) {
  PlaceholderMap map;
  std::vector<Finding> given{{C::name, 0, 3, "Ann"}, {C::name, 1, 3, "nn "}, {C::ssn, 40, 5, "x"}};
  EXPECT_EQ(redact("Ann met 219-09-9999", withText({C::name}), map, given),
            "[NAME 1] met 219-09-9999");
}

TEST(SensitiveData, TextCategoriesOnlyWhenTurnedOn) {
  std::string text = "Write to maria.garcia@example.com or call (415) 555-2671.";
  EXPECT_EQ(redacted(text), text);
  EXPECT_EQ(redacted(text, withText({C::email, C::phone})), "Write to [EMAIL 1] or call [PHONE 1].");
}

TEST(SensitiveData, PhoneResultsThatAreDatesOrAmountsAreDropped) {
  SensitiveRules rules = withText({C::phone});
  for (const char* text : {"Due 2024-01-31 please", "Total 1,234,567.89 due"}) {
    EXPECT_TRUE(detect(text, rules).empty()) << text;
  }
  auto found = detect("Call +44 20 7946 0958 today", rules);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].category, C::phone);
  EXPECT_EQ(found[0].value, "+44 20 7946 0958");
}

TEST(SensitiveData, AddressesAndNames) {
  SensitiveRules rules = withText({C::address, C::name});
  EXPECT_EQ(redacted("Send it to 1600 Pennsylvania Avenue NW, Washington, DC 20500 soon.", rules),
            "Send it to [ADDRESS 1] soon.");
  EXPECT_EQ(redacted("Mail: PO Box 1234", rules), "Mail: [ADDRESS 1]");
  EXPECT_EQ(redacted("Signed by Maria Garcia and Mr. Okafor.", rules),
            "Signed by [NAME 1] and Mr. [NAME 2].");
  EXPECT_EQ(redacted("In May we met at Washington Street.", rules),
            "In May we met at Washington Street.");
  EXPECT_EQ(redacted("Will Turner came.", rules), "[NAME 1] came.");
}

TEST(SensitiveData, CellJudgement) {
  SensitiveRules names = withText({C::name});
  auto found = detectCell("Maria Garcia", "Customer", names);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], (Finding{C::name, 0, 12, "Maria Garcia"}));
  EXPECT_TRUE(detectCell("Maria Garcia", "Customer", SensitiveRules::defaults()).empty());
  EXPECT_TRUE(detectCell("invoice total", "Customer", names).empty());

  auto ssn = detectCell("12-3456789", "Tax ID", SensitiveRules::defaults());
  ASSERT_EQ(ssn.size(), 1u);
  EXPECT_EQ(ssn[0], (Finding{C::ssn, 0, 10, "12-3456789"}));
  auto piped = detectCell("x|219-09-9999", "a|b", SensitiveRules::defaults());
  ASSERT_EQ(piped.size(), 1u);
  EXPECT_EQ(piped[0].start, 2);
  SensitiveRules ssnOff = SensitiveRules::defaults();
  ssnOff.actions[C::ssn] = SensitiveAction::flag;
  EXPECT_TRUE(detectCell("219-09-9999", "SSN", ssnOff).empty());
}

TEST(SensitiveData, RangesAreUtf16UnitsAfterEmojiAndAccents) {
  std::string text = "Caf\u00e9 \U0001F600\U0001F44D\U0001F3FD r\u00e9sum\u00e9: 219-09-9999";
  auto found = detect(text, SensitiveRules::defaults());
  ASSERT_EQ(found.size(), 1u);
  // "Café " 5 + three emoji (2 units each) 6 + " résumé: " 9.
  EXPECT_EQ(found[0].start, 20);
  EXPECT_EQ(found[0].length, 11);
  EXPECT_EQ(found[0].value, "219-09-9999");
  icu::UnicodeString u = platform::toUnicode(text);
  EXPECT_EQ(platform::toUtf8(u.tempSubString(found[0].start, found[0].length)), "219-09-9999");
  EXPECT_EQ(redacted(text),
            "Caf\u00e9 \U0001F600\U0001F44D\U0001F3FD r\u00e9sum\u00e9: [SSN 1]");
}

TEST(SensitiveData, OverlapsResolveToTheEarlierDetector) {
  // The column names a date of birth; the validated detector would call the same text an SSN.
  auto found = detect("Name,Account No\nAnn,219-09-9999", SensitiveRules::defaults());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].category, C::bankAccount);
  // The labeled and validated findings of each number collapse into one.
  auto all = detect("SSN 219-09-9999 SSN 219-09-9999", SensitiveRules::defaults());
  ASSERT_EQ(all.size(), 2u);
  EXPECT_LT(all[0].start, all[1].start);
}

TEST(SensitiveData, RedactionNeverLeavesAFoundValue) {
  const std::string texts[] = {
      "SSN: 123-45-6789, card 4111111111111111, IBAN DE89 3704 0044 0532 0130 00",
      "Name,SSN,DOB\nAnn,219-09-9999,13/05/1990\nBob,123 45 6789,1990-05-01",
      R"({"passport_no": "X1234567", "dob": "1990-05-01", "account_no": "12345678"})",
      "bank account 12345678901 and routing 011000015; a.b@example.org; (415) 555-2671",
  };
  SensitiveRules all = withText({C::name, C::address, C::phone, C::email});
  for (const std::string& text : texts) {
    PlaceholderMap map;
    std::string out = redact(text, all, map);
    auto found = detect(text, all);
    EXPECT_FALSE(found.empty()) << text;
    for (const Finding& f : found) {
      EXPECT_EQ(out.find(f.value), std::string::npos) << f.value << " in " << out;
    }
    EXPECT_EQ(map.totalHidden(), static_cast<int>(found.size()));
  }
}

TEST(SensitiveData, RedactTestMainPrintsRedactedFileWithoutLineFeed) {
  testing::TempDir dir;
  {
    std::ofstream(dir.file("in.txt")) << "SSN 123-45-6789\n";
  }
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  int saved = dup(STDOUT_FILENO);
  dup2(pipeFds[1], STDOUT_FILENO);
  auto status = redactTestMain(dir.file("in.txt"));
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(pipeFds[1]);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(pipeFds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(pipeFds[0]);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "SSN [SSN 1]\n");

  EXPECT_EQ(redactTestMain(dir.file("missing.txt")), std::nullopt);
  {
    std::ofstream(dir.file("bad.txt")) << "\xff\xfe bad";
  }
  EXPECT_EQ(redactTestMain(dir.file("bad.txt")), std::nullopt);
  EXPECT_EQ(redactTestMain(dir.path()), std::nullopt);
}

}  // namespace
}  // namespace zelk
