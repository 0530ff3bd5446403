// Cell rules (blank, yes/no, number shapes and grouping, values, dates) and column decisions.
#include "tables/table_cell.h"

#include <gtest/gtest.h>

#include "tables/column_evidence.h"

namespace zelk {
namespace {

using Decimal = TableCell::Decimal;

TEST(TableCell, Trimmed) {
  EXPECT_EQ(TableCell::trimmed("  a b \t\n"), "a b");
  EXPECT_EQ(TableCell::trimmed("\xC2\xA0x\xE2\x80\xAF"), "x");  // no-break spaces
  EXPECT_EQ(TableCell::trimmed("\xE3\x80\x80"), "");            // ideographic space
  EXPECT_EQ(TableCell::trimmed("\xFFx\xFF"), "\xFFx\xFF");
}

TEST(TableCell, BlankAndYesNoWords) {
  for (const char* blank : {"", "   ", "N/A", " -- ", "null", "—", "–", "NaN", "#N/A", "none"})
    EXPECT_TRUE(TableCell::isBlank(blank)) << blank;
  for (const char* filled : {"none of them", "0", "x", "nil", "n/a/b", "-1"})
    EXPECT_FALSE(TableCell::isBlank(filled)) << filled;

  struct Case {
    const char* in;
    std::optional<bool> out;
  } cases[] = {{"Y", true},     {"✓", true},      {"Sí", true},      {" yes ", true},
               {"nein", false}, {"NO", false},    {"☐", false},      {"1", std::nullopt},
               {"yess", std::nullopt}, {"y es", std::nullopt}, {"", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(TableCell::boolean(c.in), c.out) << c.in;
}

TEST(TableCell, NumberValues) {
  struct Case {
    const char* in;
    Decimal decimal;
    std::optional<std::string> out;
  } cases[] = {
      {"12-", Decimal::point, "-12"},
      {"-12", Decimal::point, "-12"},
      {"−12", Decimal::point, "-12"},
      {"(12)", Decimal::point, "-12"},
      {"(1,234)", Decimal::point, "-1234"},
      {"1 234,50 €", Decimal::comma, "1234.5"},
      {"12 %", Decimal::point, "0.12"},
      {"12.5%", Decimal::point, "0.125"},
      {"USD 1,234.50", Decimal::point, "1234.5"},
      {"1,234.50 EUR", Decimal::point, "1234.5"},
      {"$1,234", Decimal::point, "1234"},
      {"£3", Decimal::point, "3"},
      {"₹1,23,456.78", Decimal::point, "123456.78"},
      {"1'234'567", Decimal::point, "1234567"},
      {"1.5e3", Decimal::point, "1500"},
      {"1e5", Decimal::point, "100000"},
      {"2.5E-2", Decimal::point, "0.025"},
      {"+7", Decimal::point, "7"},
      {"1e+2", Decimal::point, "100"},
      {"007", Decimal::point, "7"},
      {"1.234", Decimal::comma, "1234"},
      {"1.234,5", Decimal::comma, "1234.5"},
      {"12,5", Decimal::comma, "12.5"},
      {"1.234,5", Decimal::point, std::nullopt},
      {"1,2345", Decimal::point, std::nullopt},
      {"1.5,2", Decimal::point, std::nullopt},
      {"1.5,2", Decimal::comma, std::nullopt},
      {"1,23,456.78", Decimal::comma, std::nullopt},  // Indian grouping needs a point
      {"%12", Decimal::point, std::nullopt},
      {"1e", Decimal::point, std::nullopt},
      {"1e1234", Decimal::point, std::nullopt},
      {"e5", Decimal::point, std::nullopt},
      {"12%3", Decimal::point, std::nullopt},
      {"12-3", Decimal::point, std::nullopt},
      {"1+2", Decimal::point, std::nullopt},
      {"12abc", Decimal::point, std::nullopt},
      {"ABC", Decimal::point, std::nullopt},
      {"-", Decimal::point, std::nullopt},
      {"$", Decimal::point, std::nullopt},
      {"(", Decimal::point, std::nullopt},
      {"1e5.5", Decimal::point, std::nullopt},
      {"12345678901234567890123.45", Decimal::point, "12345678901234567890123.45"},
  };
  for (const auto& c : cases) {
    auto v = TableCell::number(c.in, c.decimal);
    EXPECT_EQ(v ? std::optional<std::string>(v->toString()) : std::nullopt, c.out) << c.in;
  }
  auto shape = TableCell::shape("USD 1,234.50");
  ASSERT_TRUE(shape);
  EXPECT_TRUE(shape->currency);
  EXPECT_EQ(shape->digits, "1,234.50");
  EXPECT_TRUE(TableCell::shape("12 %")->percent);
  EXPECT_EQ(TableCell::shape("1e-3")->exponent, -3);
}

TEST(TableCell, GroupingReadsOneOrBothWays) {
  struct Case {
    const char* digits;
    bool point, comma;
  } cases[] = {
      {"1,234.5", true, false}, {"1.234,5", false, true}, {"12,5", false, true},
      {"1,234", true, true},    {"0,123", true, true},    {"1234", true, true},
      {"1,2345", false, true},  {"1.5,2", false, false},  {"1,23,456.78", true, false},
      {"12,34,567", true, false}, {"1,23,45", false, false}, {"123,45,678", false, false},
      {"1234,567", false, true}, {"1,234,567.", true, false}, {".5", true, false},
      {"1.234.567", false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TableCell::reads(c.digits, Decimal::point), c.point) << c.digits;
    EXPECT_EQ(TableCell::reads(c.digits, Decimal::comma), c.comma) << c.digits;
  }
}

std::string isoOf(std::optional<int64_t> day) {
  if (!day) return "none";
  auto c = TableCell::civil(*day);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld", static_cast<long long>(c.year),
                static_cast<long long>(c.month), static_cast<long long>(c.day));
  return buf;
}

TEST(TableCell, Dates) {
  struct Case {
    const char* in;
    const char* dayFirst;
    const char* monthFirst;
  } cases[] = {
      {"03/04/2024", "2024-04-03", "2024-03-04"},
      {"13/04/2024", "2024-04-13", "none"},
      {"2024-04-03", "2024-04-03", "2024-04-03"},
      {"April 3, 2024", "2024-04-03", "2024-04-03"},
      {"Wed 3 Apr 24", "2024-04-03", "2024-04-03"},
      {"2024-04-03T10:15:00+02:00", "2024-04-03", "2024-04-03"},
      {"2024-04-03T10:15:00Z", "2024-04-03", "2024-04-03"},
      {"2024-04-03T10:15:00.250Z", "2024-04-03", "2024-04-03"},
      {"2024-04-03T10:15:00Q", "none", "none"},
      {"2024-04-03 10:15 Z", "2024-04-03", "2024-04-03"},
      {"3/4/24", "2024-04-03", "2024-03-04"},
      {"3/4/75", "1975-04-03", "1975-03-04"},
      {"31/02/2024", "none", "none"},
      {"29/02/2024", "2024-02-29", "none"},
      {"29/02/2023", "none", "none"},
      {"3 Sept 2024", "2024-09-03", "2024-09-03"},
      {"12.03.2024 10:15 pm", "2024-03-12", "2024-12-03"},
      {"2024/4/3", "2024-04-03", "2024-04-03"},
      {"3/4/2024 x", "none", "none"},       // a token after the third that is no time part
      {"1/2/3/4/5/6/7/8", "none", "none"},  // more than 7 tokens
      {"April May June", "none", "none"},   // no digit
      {"3/4", "none", "none"},              // too short, and too few tokens
      {"03/04/202", "none", "none"},        // a three-digit year
      {"(3/4/2024)", "none", "none"},       // must begin with a letter or digit
      {"1234567", "none", "none"},
  };
  for (const auto& c : cases) {
    auto r = TableCell::dates(c.in);
    EXPECT_EQ(isoOf(r.dayFirst), c.dayFirst) << c.in;
    EXPECT_EQ(isoOf(r.monthFirst), c.monthFirst) << c.in;
  }
  EXPECT_EQ(TableCell::days(1970, 1, 1), 0);
  EXPECT_EQ(TableCell::days(1969, 12, 31), -1);
  EXPECT_EQ(TableCell::days(2000, 2, 29), 11016);
  EXPECT_FALSE(TableCell::days(1900, 2, 29));
  EXPECT_FALSE(TableCell::days(2024, 13, 1));
  for (int64_t d : {-719468, -1, 0, 11016, 19816, 2932896}) {
    auto c = TableCell::civil(d);
    EXPECT_EQ(TableCell::days(c.year, c.month, c.day), d);
  }
}

TableColumn decide(const std::vector<std::string>& cells) {
  ColumnEvidence e;
  for (const auto& c : cells) e.add(c);
  return e.column("C", 0.9);
}

std::vector<std::string> repeat(const std::string& text, int n) {
  return std::vector<std::string>(static_cast<size_t>(n), text);
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(ColumnEvidence, DecidesKindsAndNotes) {
  TableColumn dates = decide(repeat("2024-04-03", 95) + repeat("soon", 5));
  EXPECT_EQ(dates.kind, TableColumn::Kind::date);
  EXPECT_EQ(dates.misfit, 5);
  EXPECT_TRUE(dates.notes.empty());

  TableColumn mostly = decide(repeat("12", 85) + repeat("abc", 15));
  EXPECT_EQ(mostly.kind, TableColumn::Kind::text);
  EXPECT_EQ(mostly.misfit, 0);
  EXPECT_EQ(mostly.notes,
            std::vector<std::string>{"85% of its cells read as number, under the 90% needed: read as text"});

  TableColumn few = decide(repeat("12", 40) + repeat("abc", 60));
  EXPECT_EQ(few.kind, TableColumn::Kind::text);
  EXPECT_TRUE(few.notes.empty());

  TableColumn codes = decide({"007", "012", "123"});
  EXPECT_EQ(codes.kind, TableColumn::Kind::text);
  EXPECT_EQ(codes.notes, std::vector<std::string>{"leading zeros: a code, read as text"});
  EXPECT_EQ(decide({"0.07", "0.5", "1"}).kind, TableColumn::Kind::number);

  TableColumn blank = decide({"", "n/a"});
  EXPECT_EQ(blank.notes, std::vector<std::string>{"all blank"});
  EXPECT_EQ(blank.blank, 2);

  TableColumn yesno = decide({"yes", "no", "Y", ""});
  EXPECT_EQ(yesno.kind, TableColumn::Kind::yesno);
  EXPECT_EQ(yesno.filled, 3);
  EXPECT_EQ(yesno.blank, 1);
  EXPECT_FALSE(yesno.proven);
}

TEST(ColumnEvidence, DecimalConventions) {
  TableColumn ambiguous = decide({"1,234", "5,678"});
  EXPECT_EQ(ambiguous.kind, TableColumn::Kind::number);
  EXPECT_EQ(ambiguous.ambiguous, TableColumn::Ambiguity::decimal);
  EXPECT_FALSE(ambiguous.proven);
  EXPECT_EQ(ambiguous.decimal, Decimal::point);
  EXPECT_EQ(ambiguous.notes,
            std::vector<std::string>{"2 values read differently as 1,234.5 or 1.234,5: give "
                                     "decimal (point or comma) to use it"});

  TableColumn settled = decide({"1,234", "5,678", "3,5"});
  EXPECT_EQ(settled.decimal, Decimal::comma);
  EXPECT_TRUE(settled.proven);
  EXPECT_FALSE(settled.ambiguous);
  EXPECT_TRUE(settled.notes.empty());

  TableColumn plain = decide({"1", "2", "3"});
  EXPECT_FALSE(plain.proven);
  EXPECT_FALSE(plain.ambiguous);

  TableColumn money = decide({"12.5%", "$3.25", "4"});
  EXPECT_EQ(money.decimal, Decimal::point);
  EXPECT_TRUE(money.proven);
  EXPECT_EQ(money.notes, (std::vector<std::string>{
                             "percentages, measured as fractions (12.5% is 0.125)",
                             "currency symbols removed"}));
  EXPECT_EQ(money.examples, (std::vector<std::string>{"12.5%", "$3.25", "4"}));
}

TEST(ColumnEvidence, DateOrders) {
  TableColumn ambiguous = decide({"03/04/2024", "05/06/2024", "2024-01-01"});
  EXPECT_EQ(ambiguous.kind, TableColumn::Kind::date);
  EXPECT_EQ(ambiguous.ambiguous, TableColumn::Ambiguity::dateOrder);
  EXPECT_EQ(ambiguous.dateOrder, TableCell::DateOrder::monthFirst);
  EXPECT_EQ(ambiguous.notes,
            std::vector<std::string>{"2 dates read differently day first or month first: give "
                                     "date_order (day_first or month_first) to use it"});
  TableColumn dayFirst = decide({"03/04/2024", "13/04/2024"});
  EXPECT_EQ(dayFirst.dateOrder, TableCell::DateOrder::dayFirst);
  EXPECT_TRUE(dayFirst.proven);
  EXPECT_FALSE(dayFirst.ambiguous);
  TableColumn same = decide({"2024-01-01", "2024-02-01"});
  EXPECT_FALSE(same.proven);
  EXPECT_FALSE(same.ambiguous);
}

TEST(ColumnEvidence, ExamplesAreTheFirstThreeDistinct) {
  ColumnEvidence e;
  for (const char* c : {"a", "", "a", "b", "b", "c", "d"}) e.add(c);
  EXPECT_EQ(e.examples, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(ColumnEvidence, ClearlyTextualColumnSettlesAt2000) {
  ColumnEvidence e;
  for (int i = 0; i < 1999; ++i) e.add("word " + std::to_string(i));
  EXPECT_FALSE(e.settledText);
  e.add("word");
  EXPECT_TRUE(e.settledText);
  for (int i = 0; i < 100; ++i) e.add("12");
  EXPECT_EQ(e.point, 0);  // no longer parsed
  EXPECT_EQ(e.filled, 2100);
  // A column where numbers are at least half is still counted.
  ColumnEvidence n;
  for (int i = 0; i < 1000; ++i) n.add("12");
  for (int i = 0; i < 1000; ++i) n.add("x");
  EXPECT_FALSE(n.settledText);
}

}  // namespace
}  // namespace zelk
