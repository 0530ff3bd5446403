// Question parsing with its exact messages, the one-line summary, planning against a layout
// (binding, privacy, conventions, typed targets, notes) and the filter tests and periods.
#include "tables/table_question.h"

#include <gtest/gtest.h>

#include "table_question_support.h"
#include "tables/internal/question_text.h"

namespace zelk {
namespace {

using testing::Table;

TableQuestion parse(const std::string& json) {
  return TableQuestion(*JSONValue::parse(json).object());
}

std::string parseError(const std::string& json) {
  try {
    parse(json);
  } catch (const TableRefusal& r) {
    EXPECT_EQ(r.kind, TableRefusal::Kind::invalid);
    EXPECT_EQ(std::string(r.what()), r.message);
    return r.message;
  }
  return "(parsed)";
}

TEST(TableQuestion, ParseFailuresHaveExactMessages) {
  struct Case {
    const char* json;
    const char* message;
  } cases[] = {
      {R"({"filter": []})",
       "the question has no field \"filter\"; its fields are filters, group_by, measures, sort, "
       "limit, date_order, decimal"},
      {R"({"filters": 5})", "filters should be a list"},
      {R"({"filters": true})", "filters should be a list"},
      {R"({"filters": ["Amount"]})", "each filter needs a column, an operation and a value"},
      {R"({"filters": [{"op": "equals", "value": 1}]})",
       "each filter needs a column, an operation and a value"},
      {R"({"filters": [{"column": "Amount", "op": "bigger", "value": 1}]})",
       "\"bigger\" isn't a filter operation; use one of equals, not_equals, one_of, "
       "greater_than, less_than, between, contains, is_blank"},
      {R"({"filters": [{"column": "Amount", "op": "between", "value": 1}]})",
       "between on Amount needs two values, the low and the high end"},
      {R"({"filters": [{"column": "Amount", "op": "between", "values": [1, 2, 3]}]})",
       "between on Amount needs two values, the low and the high end"},
      {R"({"filters": [{"column": "Region", "op": "one_of", "values": []}]})",
       "one_of on Region needs a list of values"},
      {R"({"filters": [{"column": "Region", "op": "equals", "values": ["a", "b"]}]})",
       "equals on Region needs one value"},
      {R"({"filters": [{"column": "Region", "op": "not equals"}]})",
       "not_equals on Region needs one value"},
      {R"({"filters": [{"column": "Region", "op": "contains", "value": {"a": 1}}]})",
       "contains on Region needs one value"},
      {R"({"group_by": ["A", "B", "C", "D"]})", "group by at most 3 columns"},
      {R"({"group_by": [{"period": "month"}]})",
       "each group_by entry is a column name, or a column with a period"},
      {R"({"group_by": [[1]]})", "each group_by entry is a column name, or a column with a period"},
      {R"({"group_by": [{"column": "Date", "period": "fortnight"}]})",
       "\"fortnight\" isn't a period; use one of day, week, month, quarter, year"},
      {R"({"measures": "sum"})", "sum needs a column"},
      {R"({"measures": [{"op": "average"}]})", "average needs a column"},
      {R"({"measures": [[1]]})", "each measure is an operation and a column"},
      {R"({"measures": ["total"]})",
       "\"total\" isn't a measure; use one of count, count_distinct, sum, average, median, min, "
       "max"},
      {R"({"sort": [{"by": "sum of Amount", "direction": "down"}]})",
       "sort direction is ascending or descending"},
      {R"({"sort": [{"by": "x", "direction": 1}]})", "sort direction is ascending or descending"},
      {R"({"sort": [{"direction": "asc"}]})",
       "each sort entry needs \"by\": a group column or a measure such as \"sum of Amount\""},
      {R"({"limit": 0})", "limit is a whole number of result rows, 1 or more"},
      {R"({"limit": "ten"})", "limit is a whole number of result rows, 1 or more"},
      {R"({"limit": -3})", "limit is a whole number of result rows, 1 or more"},
      {R"({"limit": 0.5})", "limit is a whole number of result rows, 1 or more"},
      {R"({"limit": true})", "limit is a whole number of result rows, 1 or more"},
      {R"({"limit": "99999999999999999999"})", "limit is a whole number of result rows, 1 or more"},
      {R"({"decimal": "dot"})", "\"dot\" isn't a decimal mark; use one of point, comma"},
      {R"({"date_order": "ymd"})", "\"ymd\" isn't a date order; use one of day_first, month_first"},
  };
  for (const auto& c : cases) EXPECT_EQ(parseError(c.json), c.message) << c.json;
}

TEST(TableQuestion, ParsesLenientSpellingsAndShapes) {
  TableQuestion q = parse(
      R"({"filters": [{"column": "Amount", "operation": "Greater Than", "value": 100}],
          "measures": ["count"], "limit": 2.9, "decimal": "Comma", "date_order": "Day First",
          "sort": [{"by": "sum of Amount", "direction": "DESC"}, "Region",
                   {"column": "count", "order": "asc"}]})");
  ASSERT_EQ(q.filters.size(), 1u);
  EXPECT_EQ(q.filters[0].op, TableQuestion::FilterOp::greaterThan);
  EXPECT_EQ(q.filters[0].values, std::vector<std::string>{"100"});
  ASSERT_EQ(q.measures.size(), 1u);
  EXPECT_EQ(q.measures[0].op, TableQuestion::MeasureOp::count);
  EXPECT_FALSE(q.measures[0].column);
  EXPECT_EQ(q.limit, 2);
  EXPECT_EQ(q.decimal, TableCell::Decimal::comma);
  EXPECT_EQ(q.dateOrder, TableCell::DateOrder::dayFirst);
  ASSERT_EQ(q.sort.size(), 3u);
  EXPECT_TRUE(q.sort[0].descending);
  EXPECT_EQ(q.sort[1].by, "Region");
  EXPECT_FALSE(q.sort[1].descending);
  EXPECT_EQ(q.sort[2].by, "count");

  // A single object or string stands for a list of one; null members count as absent; text
  // values come from strings, booleans and numbers, and elements without a text are dropped.
  TableQuestion one = parse(
      R"({"filters": {"column": "Paid", "op": "one_of", "values": [true, 1.5, null, {}, "x"]},
          "group_by": "Region", "limit": "12", "decimal": null, "measures": null})");
  EXPECT_EQ(one.filters[0].values, (std::vector<std::string>{"true", "1.5", "x"}));
  EXPECT_EQ(one.groupBy[0].column, "Region");
  EXPECT_EQ(one.limit, 12);
  EXPECT_FALSE(one.decimal);
  EXPECT_TRUE(one.measures.empty());
  EXPECT_TRUE(parse("{}").measures.empty());
}

TEST(TableQuestion, WordsSummariseTheQuestion) {
  struct Case {
    const char* json;
    const char* words;
  } cases[] = {
      {"{}", "count"},
      {R"({"measures": ["count", {"op": "sum", "column": "Amount"}]})", "count, sum of Amount"},
      {R"({"measures": [{"op": "count_distinct", "column": "Region"}],
           "group_by": ["Region", {"column": "Date", "period": "month"}]})",
       "count_distinct of Region by Region, Date (month)"},
      {R"({"filters": [{"column": "Amount", "op": "between", "values": [1, 2]},
                       {"column": "Region", "op": "one_of", "values": ["N", "S"]},
                       {"column": "Note", "op": "is_blank"}]})",
       "count, where Amount between \"1\" and \"2\" and Region one of \"N\", \"S\" and Note is "
       "blank"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse(c.json).words(), c.words) << c.json;
}

// A table with one column of each reading: proven point and comma numbers, percentages, ISO
// dates, ambiguous numbers and dates, yes/no, text, a column that is 85% numbers, and a column
// marked hidden by the ssn rule.
std::string planTable() {
  std::string csv = "Date,Amount,Euro,Pct,Both,DMY,Paid,Region,Mixed,SSN,Note\n";
  for (int i = 0; i < 20; ++i) {
    std::string day = std::to_string(10 + i % 9);
    csv += "2024-03-" + day + "," + std::to_string(1000 + i) + ".25,\"1.234," +
           std::to_string(i % 10) + "\"," + std::to_string(i) + "%,\"" + std::to_string(1 + i % 9) +
           ",234\",0" + std::to_string(1 + i % 9) + "/0" + std::to_string(1 + i % 5) + "/2024," +
           (i % 2 ? "yes" : "no") + ",North," + (i < 17 ? std::to_string(i) : "abc") +
           ",123-45-67" + std::to_string(10 + i) + ",note " + std::to_string(i) + "\n";
  }
  return csv;
}

class QuestionPlanTest : public ::testing::Test {
 protected:
  QuestionPlanTest() : table_(planTable()) { table_.column("SSN").hiddenBy = "ssn"; }
  QuestionPlan plan(const std::string& json) { return QuestionPlan(parse(json), table_.layout); }
  TableRefusal refusal(const std::string& json) {
    try {
      plan(json);
    } catch (const TableRefusal& r) {
      return r;
    }
    return TableRefusal("(planned)");
  }
  Table table_;
};

TEST_F(QuestionPlanTest, TheTableReadsAsIntended) {
  auto kinds = [&](const char* name) { return std::string(toString(table_.column(name).kind)); };
  EXPECT_EQ(kinds("Date"), "date");
  EXPECT_EQ(kinds("Amount"), "number");
  EXPECT_EQ(table_.column("Euro").decimal, TableCell::Decimal::comma);
  EXPECT_EQ(table_.column("Both").ambiguous, TableColumn::Ambiguity::decimal);
  EXPECT_EQ(table_.column("DMY").ambiguous, TableColumn::Ambiguity::dateOrder);
  EXPECT_EQ(kinds("Paid"), "yes/no");
  EXPECT_EQ(kinds("Mixed"), "text");
}

TEST_F(QuestionPlanTest, RefusalsHaveExactMessagesKindsAndRules) {
  using K = TableRefusal::Kind;
  struct Case {
    const char* json;
    const char* message;
    K kind;
    const char* rule;
  } cases[] = {
      {R"({"group_by": ["SSN"]})",
       "SSN is hidden by your rules (SSN): it can be counted, never grouped by", K::hidden, "ssn"},
      {R"({"filters": [{"column": "ssn", "op": "equals", "value": "1"}]})",
       "SSN is hidden by your rules (SSN): it can be counted, never filtered on", K::hidden, "ssn"},
      {R"({"filters": [{"column": "SSN", "op": "contains", "value": "1"}]})",
       "SSN is hidden by your rules (SSN): it can be counted, never filtered on", K::hidden, "ssn"},
      {R"({"measures": [{"op": "count_distinct", "column": "SSN"}]})",
       "SSN is hidden by your rules (SSN): it can be counted, never measured beyond count",
       K::hidden, "ssn"},
      {R"({"measures": [{"op": "sum", "column": "Both"}]})",
       "Both reads both ways, with a decimal point or a decimal comma; ask again with decimal "
       "(point or comma)",
       K::ambiguous, ""},
      {R"({"group_by": ["DMY"]})",
       "DMY reads both ways, day first or month first; ask again with date_order (day_first or "
       "month_first)",
       K::ambiguous, ""},
      {R"({"group_by": ["Nope"]})",
       "there's no column named \"Nope\"; use a name as the layout gives it", K::invalid, ""},
      {R"({"filters": [{"column": "Region", "op": "greater_than", "value": "a"}]})",
       "greater_than needs a number or date column; Region was read as text", K::invalid, ""},
      {R"({"filters": [{"column": "Paid", "op": "between", "values": ["a", "b"]}]})",
       "between needs a number or date column; Paid was read as yes/no", K::invalid, ""},
      {R"({"filters": [{"column": "Paid", "op": "equals", "value": "maybe"}]})",
       "Paid holds yes or no; give yes or no", K::invalid, ""},
      {R"({"filters": [{"column": "Date", "op": "equals", "value": "soon"}]})",
       "\"soon\" isn't a date; give dates as YYYY-MM-DD", K::invalid, ""},
      {R"({"filters": [{"column": "Amount", "op": "less_than", "value": "abc"}]})",
       "\"abc\" isn't a number, and Amount is a number column", K::invalid, ""},
      {R"({"group_by": [{"column": "Amount", "period": "month"}]})",
       "a period needs a date column; Amount was read as number", K::invalid, ""},
      {R"({"group_by": [{"column": "Paid", "period": "year"}]})",
       "a period needs a date column; Paid was read as yes/no", K::invalid, ""},
      {R"({"measures": [{"op": "sum", "column": "Region"}]})",
       "sum needs a number column; Region was read as text", K::invalid, ""},
      {R"({"measures": [{"op": "average", "column": "Date"}]})",
       "average needs a number column; Date was read as date", K::invalid, ""},
      {R"({"measures": [{"op": "median", "column": "Paid"}]})",
       "median needs a number or date column; Paid was read as yes/no", K::invalid, ""},
      {R"({"measures": [{"op": "sum", "column": "Mixed"}]})",
       "sum needs a number column; Mixed was read as text (85% of its cells read as number, "
       "under the 90% needed: read as text)",
       K::invalid, ""},
      {R"({"measures": [{"op": "sum", "column": "Amount"}, {"op": "sum", "column": "amount"}]})",
       "sum of Amount is asked for twice", K::invalid, ""},
      {R"({"measures": ["count", {"op": "count"}]})", "count is asked for twice", K::invalid, ""},
  };
  for (const auto& c : cases) {
    TableRefusal r = refusal(c.json);
    EXPECT_EQ(r.message, c.message) << c.json;
    EXPECT_EQ(r.kind, c.kind) << c.json;
    EXPECT_EQ(r.rule.value_or(""), c.rule) << c.json;
  }
}

TEST_F(QuestionPlanTest, HiddenColumnsCanStillBeCountedAndBlankTested) {
  QuestionPlan p = plan(R"({"filters": [{"column": "SSN", "op": "is_blank", "value": "no"}],
                            "measures": [{"op": "count", "column": "SSN"}]})");
  EXPECT_FALSE(p.filters[0].wantBlank);
  EXPECT_EQ(p.filters[0].words, "SSN is not blank");
  EXPECT_EQ(p.measures[0].label, "count of SSN");
}

TEST_F(QuestionPlanTest, ConventionsAskedForAreNotedOncePerColumn) {
  QuestionPlan p = plan(R"({"decimal": "comma", "date_order": "day_first",
      "measures": [{"op": "sum", "column": "Both"}, {"op": "max", "column": "Both"},
                   {"op": "min", "column": "DMY"}, {"op": "sum", "column": "Pct"},
                   {"op": "average", "column": "Pct"}]})");
  EXPECT_EQ(p.measures[0].col->decimal, TableCell::Decimal::comma);
  EXPECT_EQ(p.measures[2].col->order, TableCell::DateOrder::dayFirst);
  EXPECT_EQ(p.notes, (std::vector<std::string>{
                         "Both read with a decimal comma, as asked", "DMY read day first, as asked",
                         "Pct: percentages, measured as fractions (12.5% is 0.125)"}));
  EXPECT_EQ(p.measures[3].label, "sum of Pct");
  // An ambiguous column filtered with contains isn't read, so it needs no convention.
  EXPECT_NO_THROW(plan(R"({"filters": [{"column": "Both", "op": "contains", "value": "234"}]})"));
}

TEST_F(QuestionPlanTest, ColumnNamesBindExactlyThenIgnoringCase) {
  QuestionPlan p =
      plan(R"({"group_by": ["  region\t"], "measures": [{"op": "max", "column": "AMOUNT"}]})");
  EXPECT_EQ(p.groups[0].col.column.name, "Region");
  EXPECT_FALSE(p.groups[0].period);
  EXPECT_EQ(p.measures[0].label, "max of Amount");
  QuestionPlan d = plan(R"({"group_by": ["Date"]})");
  EXPECT_EQ(d.groups[0].period, TableQuestion::Period::day);
}

TEST_F(QuestionPlanTest, FilterValuesAreTypedByTheirColumn) {
  auto firstTarget = [&](const std::string& column, const std::string& value) {
    QuestionPlan p = plan(R"({"filters": [{"column": ")" + column +
                          R"(", "op": "equals", "value": ")" + value + R"("}]})");
    return QuestionPlan::Col::canonical(p.filters[0].targets[0]);
  };
  // A point reading is tried first, then the column's own comma.
  EXPECT_EQ(firstTarget("Euro", "1.234"), "1.234");
  EXPECT_EQ(firstTarget("Euro", "1.234,5"), "1234.5");
  EXPECT_EQ(firstTarget("Amount", "$1,000.50"), "1000.5");
  EXPECT_EQ(firstTarget("Date", "March 12, 2024"), "2024-03-12");
  EXPECT_EQ(firstTarget("Paid", "Y"), "yes");
  EXPECT_EQ(firstTarget("Region", "  North "), "North");
  QuestionPlan p =
      plan(R"({"filters": [{"column": "Amount", "op": "between", "values": [1, 2.5]}]})");
  EXPECT_EQ(p.filters[0].words, "Amount between \"1\" and \"2.5\"");
}

TEST(QuestionPlanFilter, TestsCompareWithinOneKind) {
  using Op = TableQuestion::FilterOp;
  auto filter = [](Op op, std::vector<Typed> targets) {
    QuestionPlan::FilterPlan f;
    f.op = op;
    f.targets = std::move(targets);
    for (const auto& t : f.targets) f.foldedTargets.push_back(tables::foldText(t.text));
    return f;
  };
  auto num = [](const char* s) { return Typed::ofNumber(*DecimalNumber::parse(s)); };
  auto text = [](const char* s) { return Typed::ofText(s); };
  EXPECT_TRUE(filter(Op::equals, {text("zurich")}).test(text("Zürich")));
  EXPECT_TRUE(filter(Op::equals, {text("ÉCOLE")}).test(text("école")));
  EXPECT_FALSE(filter(Op::equals, {text("North")}).test(text("Northern")));
  EXPECT_TRUE(filter(Op::oneOf, {text("a"), text("b")}).test(text("B")));
  EXPECT_TRUE(filter(Op::notEquals, {text("a"), text("b")}).test(text("c")));
  EXPECT_FALSE(filter(Op::notEquals, {text("a")}).test(text("A")));
  EXPECT_TRUE(filter(Op::equals, {num("1.5")}).test(num("1.50")));
  EXPECT_FALSE(filter(Op::equals, {num("1")}).test(text("1")));
  EXPECT_TRUE(filter(Op::greaterThan, {num("100")}).test(num("100.01")));
  EXPECT_FALSE(filter(Op::greaterThan, {num("100")}).test(num("100")));
  EXPECT_TRUE(filter(Op::lessThan, {Typed::ofDay(10)}).test(Typed::ofDay(9)));
  EXPECT_FALSE(filter(Op::lessThan, {Typed::ofDay(10)}).test(num("9")));
  EXPECT_TRUE(filter(Op::between, {num("1"), num("2")}).test(num("1")));
  EXPECT_TRUE(filter(Op::between, {num("1"), num("2")}).test(num("2")));
  EXPECT_FALSE(filter(Op::between, {num("1"), num("2")}).test(num("2.000001")));
  EXPECT_TRUE(filter(Op::contains, {text("Ürich")}).test(text("Zurich")));
  EXPECT_TRUE(filter(Op::contains, {text("234.5")}).test(num("1234.50")));
  EXPECT_TRUE(
      filter(Op::contains, {text("-03-")}).test(Typed::ofDay(*TableCell::days(2024, 3, 1))));
  EXPECT_TRUE(filter(Op::equals, {Typed::ofBool(true)}).test(Typed::ofBool(true)));
  EXPECT_FALSE(filter(Op::equals, {Typed::ofBool(true)}).test(Typed::ofBool(false)));
}

TEST(QuestionPlanPeriod, KeysAndSortDays) {
  using P = TableQuestion::Period;
  struct Case {
    int y, m, d;
    P period;
    const char* key;
    int sy, sm, sd;
  } cases[] = {
      {2024, 12, 30, P::week, "2025-W01", 2024, 12, 30},
      {2025, 1, 2, P::week, "2025-W01", 2024, 12, 30},
      {2021, 1, 3, P::week, "2020-W53", 2020, 12, 28},
      {2024, 2, 1, P::week, "2024-W05", 2024, 1, 29},
      {2026, 1, 1, P::week, "2026-W01", 2025, 12, 29},
      {2024, 3, 5, P::day, "2024-03-05", 2024, 3, 5},
      {2024, 3, 5, P::month, "2024-03", 2024, 3, 1},
      {2024, 2, 29, P::quarter, "2024-Q1", 2024, 1, 1},
      {2024, 12, 31, P::quarter, "2024-Q4", 2024, 10, 1},
      {1969, 12, 31, P::year, "1969", 1969, 1, 1},
  };
  for (const auto& c : cases) {
    auto k = QuestionPlan::period(*TableCell::days(c.y, c.m, c.d), c.period);
    EXPECT_EQ(k.key, c.key);
    EXPECT_EQ(k.sortDay, *TableCell::days(c.sy, c.sm, c.sd)) << c.key;
  }
  auto c = QuestionPlan::civil(*TableCell::days(2000, 2, 29));
  EXPECT_EQ(c.year, 2000);
  EXPECT_EQ(c.month, 2);
  EXPECT_EQ(c.day, 29);
}

TEST(QuestionText, NaturalOrderComparesDigitRunsAsNumbers) {
  EXPECT_LT(tables::naturalCompare("Item 2", "item 10"), 0);
  EXPECT_GT(tables::naturalCompare("b", "A"), 0);
  EXPECT_LT(tables::naturalCompare("A", "a"), 0);  // equal ignoring case, then exactly
  EXPECT_EQ(tables::naturalCompare("x007", "x007"), 0);
  EXPECT_GT(tables::naturalCompare("x7", "x007"), 0);  // equal as numbers, then exactly
}

}  // namespace
}  // namespace zelk
