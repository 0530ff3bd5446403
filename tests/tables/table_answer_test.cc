// The one-pass evaluation: filters and skip reasons, groups and periods, exact measures, sorting,
// limits, coverage, notes, placeholders and the group limit.
#include "tables/table_answer.h"

#include <gtest/gtest.h>

#include "sensitive/sensitive_rules.h"
#include "table_question_support.h"

namespace zelk {
namespace {

using testing::ChosenCells;
using testing::rowsText;
using testing::Table;

std::string lines(const std::string& header, const std::vector<std::string>& rows) {
  std::string out = header + "\n";
  for (const auto& r : rows) out += r + "\n";
  return out;
}

TEST(TableAnswer, NoMeasuresCountsEveryDataRow) {
  std::string csv = "Region,Amount\n";
  for (int i = 0; i < 1000; ++i) csv += (i % 3 ? "North," : "South,") + std::to_string(i) + "\n";
  Table t(csv);
  TableAnswer a = t.ask("{}");
  EXPECT_EQ(a.columns, std::vector<std::string>{"count"});
  EXPECT_EQ(rowsText(a), "1000\n");
  EXPECT_EQ(a.rowsRead, 1000);
  EXPECT_EQ(a.rowsUsed, 1000);
  EXPECT_EQ(a.groups, 1);
  EXPECT_TRUE(a.measureCoverage.empty());
  EXPECT_EQ(a.notes, std::vector<std::string>{"at most 200 result rows per answer"});
}

TEST(TableAnswer, BlankAndUnreadableCellsSkipFiltersWithReasons) {
  Table t(lines("Amount,Region", {"150,North", ",North", "n/a,South", "abc,South", "50,North",
                                  "200,", "300,East", "60,a", "70,b", "80,c", "90,d", "95,e"}));
  TableAnswer a = t.ask(R"({"filters": [{"column": "Amount", "op": "greater_than", "value": 100},
                                        {"column": "Region", "op": "not_equals", "value": "east"}],
                            "measures": [{"op": "sum", "column": "Amount"}]})");
  EXPECT_EQ(rowsText(a), "150\n");
  EXPECT_EQ(a.rowsRead, 12);
  EXPECT_EQ(a.rowsFiltered, 7);  // 100 or less, and East
  EXPECT_EQ(a.rowsUsed, 1);
  using Skips = std::vector<std::pair<std::string, int64_t>>;
  EXPECT_EQ(a.skipped,
            (Skips{{"blank Amount", 2}, {"not a number in Amount", 1}, {"blank Region", 1}}));
  EXPECT_EQ(a.applied, (std::vector<std::string>{"Amount greater than \"100\"",
                                                 "Region not equals \"east\""}));
  EXPECT_EQ(a.measureCoverage, std::vector<std::string>{"sum of Amount: 1 value used"});
}

TEST(TableAnswer, IsBlankFiltersOnBlanknessAlone) {
  Table t(lines("Name,Note", {"a,", "b,x", "c,n/a", "d,  ", "e,none of them"}));
  auto blank = t.ask(R"({"filters": [{"column": "Note", "op": "is_blank"}]})");
  EXPECT_EQ(rowsText(blank), "3\n");
  EXPECT_EQ(blank.rowsFiltered, 2);
  EXPECT_EQ(blank.applied, std::vector<std::string>{"Note is blank"});
  auto filled = t.ask(R"({"filters": [{"column": "Note", "op": "is_blank", "value": false}]})");
  EXPECT_EQ(rowsText(filled), "2\n");
  EXPECT_EQ(filled.applied, std::vector<std::string>{"Note is not blank"});
}

TEST(TableAnswer, MeasuresAreExact) {
  Table t(lines("Group,Amount,Day", {"a,1,2024-01-01", "a,2,2024-01-02", "a,2,", "b,0.1,2024-01-05",
                                     "b,0.2,2024-01-09", "b,,2024-01-03", "b,x,2024-01-04",
                                     "c,1,2024-02-01", "c,2,2024-02-02", "c,3,", "c,4,"}));
  TableAnswer a = t.ask(R"({"group_by": ["Group"], "sort": ["Group"],
      "measures": [{"op": "sum", "column": "Amount"}, {"op": "average", "column": "Amount"},
                   {"op": "median", "column": "Amount"}, {"op": "min", "column": "Amount"},
                   {"op": "max", "column": "Amount"}, {"op": "median", "column": "Day"},
                   {"op": "min", "column": "Day"}, {"op": "count", "column": "Day"},
                   {"op": "count_distinct", "column": "Amount"}]})");
  EXPECT_EQ(a.columns, (std::vector<std::string>{"Group", "sum of Amount", "average of Amount",
                                                 "median of Amount", "min of Amount",
                                                 "max of Amount", "median of Day", "min of Day",
                                                 "count of Day", "count_distinct of Amount"}));
  EXPECT_EQ(rowsText(a),
            "a|5|1.666667|2|1|2|2024-01-01 (between two days)|2024-01-01|2|2\n"
            "b|0.3|0.15|0.15|0.1|0.2|2024-01-04 (between two days)|2024-01-03|4|3\n"
            "c|10|2.5|2.5|1|4|2024-02-01 (between two days)|2024-02-01|2|4\n");
  EXPECT_EQ(a.measureCoverage,
            (std::vector<std::string>{"sum of Amount: 9 values used, 1 blank, 1 not a number",
                                      "average of Amount: 9 values used, 1 blank, 1 not a number",
                                      "median of Amount: 9 values used, 1 blank, 1 not a number",
                                      "min of Amount: 9 values used, 1 blank, 1 not a number",
                                      "max of Amount: 9 values used, 1 blank, 1 not a number",
                                      "median of Day: 8 values used, 3 blank",
                                      "min of Day: 8 values used, 3 blank",
                                      "count of Day: 8 values used, 3 blank",
                                      "count_distinct of Amount: 10 values used, 1 blank"}));
  EXPECT_EQ(a.notes, (std::vector<std::string>{"averages are rounded to 6 decimal places",
                                               "at most 200 result rows per answer"}));
}

TEST(TableAnswer, MeasuresOverNothingHaveNoValue) {
  Table t(lines("Amount,Region", {"1,North", "2,South"}));
  TableAnswer a = t.ask(R"({"filters": [{"column": "Region", "op": "equals", "value": "West"}],
      "measures": ["count", {"op": "sum", "column": "Amount"}, {"op": "median", "column": "Amount"}]})");
  EXPECT_EQ(rowsText(a), "0|null|null\n");
  TableAnswer grouped =
      t.ask(R"({"filters": [{"column": "Region", "op": "equals", "value": "West"}],
      "group_by": ["Region"]})");
  EXPECT_EQ(rowsText(grouped), "");
  EXPECT_EQ(grouped.groups, 0);
}

TEST(TableAnswer, GroupsByPeriodsNumbersAndBlanks) {
  Table t(
      lines("Day,Amount", {"2024-12-30,1", "2025-01-02,2", "2021-01-03,4", "2024-12-29,8", ",16"}));
  TableAnswer weeks = t.ask(R"j({"group_by": [{"column": "Day", "period": "week"}],
      "measures": [{"op": "sum", "column": "Amount"}], "sort": ["Day (week)"]})j");
  EXPECT_EQ(weeks.columns, (std::vector<std::string>{"Day (week)", "sum of Amount"}));
  EXPECT_EQ(rowsText(weeks), "2020-W53|4\n2024-W52|8\n2025-W01|3\nnull|16\n");
  Table p(lines("Paid,Amount", {"yes,1", "no,2", "Y,4", ",8", "maybe,16", "true,32", "n,64",
                                "no,128", "yes,256", "ja,512", "nein,1024"}));
  TableAnswer paid =
      p.ask(R"({"group_by": ["Paid"], "measures": [{"op": "sum", "column": "Amount"}]})");
  EXPECT_EQ(rowsText(paid), "yes|805\nno|1218\nnull|8\n");
  using Skips = std::vector<std::pair<std::string, int64_t>>;
  EXPECT_EQ(paid.skipped, (Skips{{"not yes or no in Paid", 1}}));
  TableAnswer days = t.ask(
      R"({"group_by": ["Day", "Amount"], "limit": 2, "sort": [{"by": "amount", "direction": "desc"}]})");
  EXPECT_EQ(days.columns, (std::vector<std::string>{"Day", "Amount", "count"}));
  EXPECT_EQ(rowsText(days), "null|16|1\n2024-12-29|8|1\n");
  EXPECT_EQ(days.notes,
            (std::vector<std::string>{"the first 2 of 5 groups in the order asked, as limit asked",
                                      "at most 200 result rows per answer"}));
}

TEST(TableAnswer, LargestGroupsFirstAndTheLimitNotes) {
  std::string csv = "Item,Amount\n";
  for (int g = 0; g < 250; ++g)
    for (int k = 0; k <= (g == 7 ? 3 : 0); ++k) csv += "Item " + std::to_string(g) + ",1\n";
  Table t(csv);
  TableAnswer a = t.ask(R"({"group_by": ["Item"]})");
  EXPECT_EQ(a.groups, 250);
  ASSERT_EQ(a.rows.size(), 200u);
  EXPECT_EQ(*a.rows[0][0], "Item 7");  // the largest group, then the keys in natural order
  EXPECT_EQ(*a.rows[1][0], "Item 0");
  EXPECT_EQ(*a.rows[11][0], "Item 11");
  EXPECT_EQ(a.notes, (std::vector<std::string>{
                         "partial result: the first 200 of 250 groups, largest first; filter or "
                         "group more coarsely for the rest",
                         "at most 200 result rows per answer"}));
  TableAnswer ten = t.ask(R"({"group_by": ["Item"], "limit": 10})");
  EXPECT_EQ(ten.rows.size(), 10u);
  EXPECT_EQ(ten.shownLimit, 10);
  EXPECT_EQ(ten.notes[0], "the first 10 of 250 groups, largest first, as limit asked");
  TableAnswer many = t.ask(R"({"group_by": ["Item"], "limit": 300, "sort": ["item"]})");
  EXPECT_EQ(many.rows.size(), 200u);
  EXPECT_EQ(*many.rows[2][0], "Item 2");
  EXPECT_EQ(many.notes[0],
            "partial result: the first 200 of 250 groups in the order asked; filter or group more "
            "coarsely for the rest");
}

TEST(TableAnswer, SortEntriesResolveAgainstTheAnswersColumns) {
  Table t(lines("Region,Amount,Tax", {"North,10,1", "South,30,2", "East,20,", "West,,5"}));
  const char* measures =
      R"("measures": [{"op": "sum", "column": "Amount"}, {"op": "sum", "column": "Tax"}])";
  TableRefusal r =
      t.refusal(std::string(R"({"group_by": ["Region"], "sort": ["sum"], )") + measures + "}");
  EXPECT_EQ(r.message,
            "can't sort by \"sum\": sort by a group column or a measure as the answer names it "
            "(Region, sum of Amount, sum of Tax)");
  EXPECT_EQ(r.kind, TableRefusal::Kind::invalid);
  TableAnswer up =
      t.ask(std::string(R"({"group_by": ["Region"], "sort": ["sum of a"], )") + measures + "}");
  EXPECT_EQ(rowsText(up), "North|10|1\nEast|20|null\nSouth|30|2\nWest|null|5\n");
  TableAnswer down = t.ask(
      std::string(
          R"({"group_by": ["Region"], "sort": [{"by": "SUM OF AMOUNT", "direction": "descending"}], )") +
      measures + "}");
  EXPECT_EQ(rowsText(down), "West|null|5\nSouth|30|2\nEast|20|null\nNorth|10|1\n");
}

TEST(TableAnswer, ProtectedValuesShowAsPlaceholders) {
  Table t(lines("Owner,Account,Amount",
                {"a,111,5", "a,999999,7", "b,222,1", "b,999999,2", "c,333,4", "c,444,4"}));
  t.column("Account").someHidden = true;
  ChosenCells cells({"999999"});
  TableAnswer a = t.ask(R"({"group_by": ["Owner"], "sort": ["owner"],
      "measures": [{"op": "max", "column": "Account"}, {"op": "median", "column": "Account"},
                   {"op": "min", "column": "Account"}]})",
                        &cells);
  EXPECT_EQ(rowsText(a), "a|[ACCOUNT 1]|500055|111\nb|[ACCOUNT 1]|500110.5|222\nc|444|388.5|333\n");
  EXPECT_EQ(a.notes.back(),
            "Some values were hidden by the user's privacy rules and appear as placeholders like "
            "[SSN 1]. The same placeholder always stands for the same value. They were removed on "
            "purpose; they are not missing or corrupt, and should not be guessed.");
  EXPECT_EQ(a.hidden, (std::map<std::string, int>{{"bankAccount", 1}}));

  // A protected middle value of an odd count shows as its placeholder; filters never match
  // protected cells; protected cells group under their placeholders.
  Table odd(lines("Account,Kind", {"1,x", "999999,y", "1000000,x"}));
  odd.column("Account").someHidden = true;
  ChosenCells oddCells({"999999"});
  EXPECT_EQ(
      rowsText(odd.ask(R"({"measures": [{"op": "median", "column": "Account"}]})", &oddCells)),
      "[ACCOUNT 1]\n");
  TableAnswer filtered = odd.ask(
      R"({"filters": [{"column": "Account", "op": "greater_than", "value": 0}]})", &oddCells);
  EXPECT_EQ(rowsText(filtered), "2\n");
  EXPECT_EQ(filtered.skipped,
            (std::vector<std::pair<std::string, int64_t>>{{"hidden by your rules in Account", 1}}));
  TableAnswer grouped = odd.ask(R"({"group_by": ["Account"], "sort": ["Account"]})", &oddCells);
  EXPECT_EQ(rowsText(grouped), "1|1\n1000000|1\n[ACCOUNT 1]|1\n");
  EXPECT_EQ(grouped.notes.back().substr(0, 20), "Some values were hid");
  // Without a shown placeholder there is no privacy notice.
  TableAnswer plain = odd.ask(R"({"measures": [{"op": "min", "column": "Account"}]})", &oddCells);
  EXPECT_EQ(rowsText(plain), "1\n");
  EXPECT_EQ(plain.notes, std::vector<std::string>{"at most 200 result rows per answer"});
}

TEST(TableAnswer, KnownLayoutKeepsTotalsAndSecondTableOut) {
  std::string csv = "Report\n\nDate,Amount,Note\n";
  for (int i = 1; i <= 9; ++i)
    csv += "2024-01-0" + std::to_string(i) + "," + std::to_string(i) + ".50,x\n";
  csv += "Total,49.50,\n\nName,Phone\nAlice,555\n";
  Table t(csv);
  ASSERT_TRUE(t.layout.secondTableRow);
  TableAnswer a = t.ask(R"({"measures": [{"op": "sum", "column": "Amount"}, "count"]})");
  EXPECT_EQ(rowsText(a), "49.5|9\n");
  EXPECT_EQ(a.rowsRead, 9);
  EXPECT_EQ(a.notes, (std::vector<std::string>{"1 line above the header row left out",
                                               "another table starts at row 15 and isn't read",
                                               "1 totals row left out (row 13)",
                                               "at most 200 result rows per answer"}));
}

TEST(TableAnswer, TooManyGroupsIsRefusedAndStopsTheReading) {
  std::string csv = "Id,Amount\n";
  for (int i = 0; i < 100001; ++i) csv += std::to_string(i) + "x,1\n";
  csv += "last,1\n";
  Table t(csv);
  ChosenCells cells;
  TableRefusal r = t.refusal(R"({"group_by": ["Id"]})", &cells);
  EXPECT_EQ(r.kind, TableRefusal::Kind::tooManyGroups);
  EXPECT_EQ(r.message,
            "grouping by Id makes more than 100000 groups; group by a coarser column or period, or "
            "filter first");
  EXPECT_EQ(cells.calls, 100001);  // the row after the 100,001st group is never read

  // Filtering first brings the groups under the limit.
  TableAnswer a = t.ask(R"({"group_by": ["Id"], "limit": 1,
      "filters": [{"column": "Id", "op": "not_equals", "value": "100000x"},
                  {"column": "Id", "op": "not_equals", "value": "LAST"}]})");
  EXPECT_EQ(a.groups, 100000);
  EXPECT_EQ(a.rowsFiltered, 2);
}

TEST(TableAnswer, ExactlyTheGroupLimitIsAnswered) {
  std::string csv = "Id,Amount\n";
  for (int i = 0; i < 100000; ++i) csv += std::to_string(i) + ",0.01\n";
  Table t(csv);
  TableAnswer a = t.ask(R"({"group_by": ["Id"], "measures": [{"op": "sum", "column": "Amount"}],
                            "sort": [{"by": "Id", "direction": "desc"}], "limit": 2})");
  EXPECT_EQ(a.groups, 100000);
  EXPECT_EQ(rowsText(a), "99999|0.01\n99998|0.01\n");
  TableAnswer total = t.ask(
      R"({"measures": [{"op": "sum", "column": "Amount"}, {"op": "average", "column": "Amount"}]})");
  EXPECT_EQ(rowsText(total), "1000|0.01\n");
}

TEST(TableAnswer, ObjectHasTheKeysOfTheToolsAnswer) {
  Table t(lines("Region,Amount", {"North,1.5", "South,", "North,2"}));
  TableAnswer a = t.ask(R"({"filters": [{"column": "Amount", "op": "greater_than", "value": 1}],
      "group_by": ["Region"], "measures": [{"op": "sum", "column": "Amount"}]})");
  a.hidden = {{"ssn", 2}};
  EXPECT_EQ(
      JSONValue(a.object("t.csv", "2024-04-03T10:15:00Z", std::string("Data"))).encode(),
      R"({"columns":["Region","sum of Amount"],"coverage":{"measures":["sum of Amount: 2 values used"],)"
      R"("rows_filtered_out":0,"rows_read":3,"rows_skipped":{"blank Amount":1},"rows_used":2},)"
      R"("file":"t.csv","filters_applied":["Amount greater than \"1\""],"groups":1,)"
      R"("modified":"2024-04-03T10:15:00Z","notes":["at most 200 result rows per answer"],)"
      R"("redactions":{"hidden_by_type":{"ssn":2}},"rows":[["North","3.5"]],"sheet":"Data",)"
      R"("status":"answer"})");
  TableAnswer empty = t.ask("{}");
  JSONObject o = empty.object("t.csv", "m", std::nullopt);
  EXPECT_FALSE(o.count("sheet"));
  EXPECT_FALSE(o.count("filters_applied"));
  EXPECT_FALSE(o.count("redactions"));
  EXPECT_EQ(o["coverage"].encode(), R"({"rows_filtered_out":0,"rows_read":3,"rows_used":3})");
}

TEST(TableAnswer, PlanRefusalsPassThrough) {
  Table t(lines("Region,Amount", {"North,1"}));
  EXPECT_EQ(t.refusal(R"({"group_by": ["Nope"]})").message,
            "there's no column named \"Nope\"; use a name as the layout gives it");
}

}  // namespace
}  // namespace zelk

namespace zelk {
namespace {

// The privacy check of the table tool itself: a card number that a maximum lands on shows as its
// placeholder, counted in the answer's hidden summary.
TEST(TableAnswer, RealHiddenCellsHideACardNumberThatAMaximumLandsOn) {
  Table t(lines("Ref,Amount", {"12,1", "4111 1111 1111 1111,2", "13,3", "14,4", "15,5"}));
  t.column("Ref").someHidden = true;
  TableHidden::Cells cells(t.layout.headers, SensitiveRules::defaults());
  HiddenCellsAdapter adapter(cells);
  TableAnswer a =
      t.ask(R"({"measures": [{"op": "max", "column": "Ref"}, {"op": "min", "column": "Ref"},
                                         {"op": "sum", "column": "Amount"}]})",
            &adapter);
  ASSERT_EQ(a.rows.size(), 1u);
  EXPECT_EQ(a.rows[0][0], "[CARD 1]");
  EXPECT_EQ(a.rows[0][1], "12");
  EXPECT_EQ(a.rows[0][2], "15");
  EXPECT_EQ(a.hidden, (std::map<std::string, int>{{"card", 1}}));
  EXPECT_EQ(a.notes.back().substr(0, 16), "Some values were");
}

}  // namespace
}  // namespace zelk
