// The layout pass: header search, blank, totals and second-table rows, column names and hints,
// the known-layout rerun, and the layout object.
#include "tables/table_layout.h"

#include <gtest/gtest.h>
#include <utime.h>

#include <fstream>

#include "test_support.h"

namespace zelk {
namespace {

struct Pass {
  TableLayout layout;
  std::vector<std::string> headers;
  std::vector<int64_t> dataRows;
  int headerCalls = 0;
};

class TableLayoutTest : public ::testing::Test {
 protected:
  std::string write(const std::string& text, const std::string& name = "t.csv") {
    std::string path = dir_.file(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  Pass run(const std::string& text, const TableLayout* known = nullptr) {
    TableReader reader(write(text));
    Pass p;
    p.layout = TableLayout::read(
        reader, nullptr, known,
        [&](const std::vector<std::string>& h) {
          p.headers = h;
          ++p.headerCalls;
        },
        [&](int64_t number, const std::vector<std::string>&) {
          p.dataRows.push_back(number);
          return true;
        });
    return p;
  }
  std::vector<std::string> names(const TableLayout& l) {
    std::vector<std::string> out;
    for (const auto& c : l.columns) out.push_back(c.name);
    return out;
  }
  testing::TempDir dir_;
};

using Strings = std::vector<std::string>;

TEST_F(TableLayoutTest, FindsHeaderBelowTitleRows) {
  Pass p = run("Expenses 2024\n\nDate,Amount,Category\n2024-01-03,12.50,Food\n2024-01-04,3.20,Bus\n");
  EXPECT_EQ(p.layout.headerRow, 3);
  EXPECT_EQ(p.layout.blankRows, 1);
  EXPECT_EQ(p.layout.rows, 2);
  EXPECT_EQ(p.headers, (Strings{"Date", "Amount", "Category"}));
  EXPECT_EQ(p.headerCalls, 1);
  EXPECT_EQ(p.dataRows, (std::vector<int64_t>{4, 5}));
  EXPECT_EQ(p.layout.notes, Strings{"1 line above the header row left out"});
  ASSERT_EQ(p.layout.columns.size(), 3u);
  EXPECT_EQ(p.layout.columns[0].kind, TableColumn::Kind::date);
  EXPECT_EQ(p.layout.columns[1].kind, TableColumn::Kind::number);
  EXPECT_EQ(p.layout.columns[2].kind, TableColumn::Kind::text);
}

TEST_F(TableLayoutTest, NoHeaderNamesColumnsByLetter) {
  Pass p = run("2024-01-03,12.50,Food\n2024-01-04,3.20,Bus\n");
  EXPECT_FALSE(p.layout.headerRow);
  EXPECT_EQ(names(p.layout), (Strings{"Column A", "Column B", "Column C"}));
  EXPECT_EQ(p.layout.notes, Strings{"no header row found: columns are named by letter"});
  EXPECT_EQ(p.layout.rows, 2);
  EXPECT_TRUE(p.headers.empty());
  EXPECT_EQ(p.headerCalls, 1);
}

TEST_F(TableLayoutTest, YearsAreLabels) {
  Pass p = run("North,120,130,150\nRegion,2022,2023,2024\nNorth,120,130,150\nSouth,1,2,3\n");
  EXPECT_EQ(p.layout.headerRow, 2);
  EXPECT_EQ(p.layout.notes, Strings{"1 line above the header row left out"});
  EXPECT_FALSE(TableLayout::isLabels({"North", "120", "130", "150"}));
  EXPECT_TRUE(TableLayout::isLabels({"Region", "2022", "2023", "2024"}));
  EXPECT_FALSE(TableLayout::isLabels({"2022", "Region"}));
}

TEST_F(TableLayoutTest, HeaderSearchCases) {
  struct Case {
    const char* name;
    std::vector<Strings> rows;
    std::optional<size_t> header;
  } cases[] = {
      {"usual width decides the minimum",
       {{"Report"}, {"a", "b", "c", "d", "e"}, {"1", "2", "3", "4", "5"}, {"1", "2", "3", "4", "5"}},
       1},
      {"too narrow for the usual width",
       {{"x", "y"}, {"1", "2", "3", "4", "5"}, {"1", "2", "3", "4", "5"}},
       std::nullopt},
      {"a date is no label", {{"2024-01-01", "b"}, {"1", "2"}}, std::nullopt},
      {"single column label above numbers", {{"Amount"}, {"12"}, {"13"}}, 0},
      {"single column of words", {{"Amount"}, {"x"}, {"y"}}, std::nullopt},
      {"single column above years only", {{"Year"}, {"2020"}, {"2021"}}, std::nullopt},
      {"nothing at all", {}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(TableLayout::headerIndex(c.rows), c.header) << c.name;
}

TEST_F(TableLayoutTest, TotalsRows) {
  Pass p = run("Item,A,B,Amount\nx,1,2,3\nTotal,,,\"1,234.00\"\ny,4,5,6\nTotal,10,20,30\n");
  EXPECT_EQ(p.layout.totalsRows, (std::vector<int64_t>{3}));
  EXPECT_EQ(p.layout.rows, 3);
  EXPECT_EQ(p.dataRows, (std::vector<int64_t>{2, 4, 5}));
  EXPECT_EQ(p.layout.notes, Strings{"1 totals row left out (row 3)"});

  struct Case {
    Strings cells;
    bool totals;
  } cases[] = {
      {{"Grand total", "", "5"}, true},     {{"subtotal", "", "5"}, true},
      {{"Sub Totals", "", "5"}, true},      {{"Summe", "", "5"}, true},
      {{"  insgesamt", "", ""}, true},      {{"Total général", "", "1"}, true},
      {{"", "Total", "", "5"}, true},       {{"Totally", "", "5"}, false},
      {{"Sum of parts", "", ""}, true},     {{"Summary", "", "5"}, false},
      {{"Total", "1", "2", "3"}, false},    {{"Net total", "", "5"}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(TableLayout::isTotals(c.cells), c.totals) << c.cells[0];

  std::string many = "Item,Amount\n";
  for (int i = 1; i <= 7; ++i) many += "x,1\nTotal,\n";
  EXPECT_EQ(run(many).layout.notes, Strings{"7 totals rows left out (rows 3, 5, 7, 9, 11, …)"});
}

TEST_F(TableLayoutTest, SecondTableStopsTheReadingAndKnownStopsThereToo) {
  std::string text = "Day,Amount\n";
  for (int i = 1; i <= 50; ++i) text += "x" + std::to_string(i) + "," + std::to_string(i) + ".5\n";
  text += "\nName,Phone\nAnn,555\n";
  Pass p = run(text);
  EXPECT_EQ(p.layout.secondTableRow, 53);
  EXPECT_EQ(p.layout.rows, 50);
  EXPECT_EQ(p.layout.blankRows, 1);
  EXPECT_EQ(p.layout.notes, Strings{"another table starts at row 53 and isn't read"});
  EXPECT_EQ(p.dataRows.back(), 51);

  Pass again = run(text, &p.layout);
  EXPECT_EQ(again.layout.rows, 50);
  EXPECT_EQ(again.dataRows, p.dataRows);
  EXPECT_TRUE(again.layout.columns.empty());
  EXPECT_EQ(again.layout.notes, Strings{"another table starts at row 53 and isn't read"});

  // Without a blank row first, or after a text column, the labels row is data.
  EXPECT_FALSE(run("Day,Amount\nx,1\nx,2\nx,3\nName,Phone\n").layout.secondTableRow);
  EXPECT_FALSE(run("Day,Note\nx,a\nx,b\nx,c\n\nName,Phone\n").layout.secondTableRow);
}

TEST_F(TableLayoutTest, ColumnNamesAndHints) {
  Pass p = run("Amount;Amount;;Extra\n1,234;3,5;x;\n5,678;4,25;y;\n");
  EXPECT_EQ(names(p.layout), (Strings{"Amount", "Amount (2)", "Column C", "Extra"}));
  const TableColumn& first = p.layout.columns[0];
  EXPECT_EQ(first.ambiguous, TableColumn::Ambiguity::decimal);
  EXPECT_EQ(first.notes.back(), "the table's other number columns use a decimal comma");
  EXPECT_EQ(p.layout.columns[3].notes, Strings{"all blank"});
  EXPECT_EQ(TableLayout::columnLetters(0), "A");
  EXPECT_EQ(TableLayout::columnLetters(25), "Z");
  EXPECT_EQ(TableLayout::columnLetters(26), "AA");
  EXPECT_EQ(TableLayout::columnLetters(701), "ZZ");
  EXPECT_EQ(TableLayout::columnLetters(702), "AAA");

  Pass dates = run("When,Also\n03/04/2024,13/04/2024\n05/06/2024,14/04/2024\n");
  EXPECT_EQ(dates.layout.columns[0].notes.back(),
            "the table's other date columns put the day first");
}

TEST_F(TableLayoutTest, EmptyAndHeaderOnlyTables) {
  Pass empty = run("");
  EXPECT_FALSE(empty.layout.headerRow);
  EXPECT_TRUE(empty.layout.columns.empty());
  EXPECT_EQ(empty.layout.rows, 0);
  EXPECT_EQ(empty.layout.notes, Strings{"no header row found: columns are named by letter"});

  Pass headers = run("Name,Amount\n");
  EXPECT_EQ(headers.layout.headerRow, 1);
  ASSERT_EQ(headers.layout.columns.size(), 2u);
  EXPECT_EQ(headers.layout.columns[1].notes, Strings{"all blank"});
}

TEST_F(TableLayoutTest, RowsBeyondFortyAndStopping) {
  std::string text = "N,V\n";
  for (int i = 0; i < 100; ++i) text += "a," + std::to_string(i) + "\n";
  EXPECT_EQ(run(text).layout.rows, 100);
  TableReader reader(write(text));
  int seen = 0;
  TableLayout l = TableLayout::read(reader, nullptr, nullptr, [](const Strings&) {},
                                    [&](int64_t, const Strings&) { return ++seen < 5; });
  EXPECT_EQ(seen, 5);
  EXPECT_EQ(l.rows, 5);
}

// Sheets by name: "blank" streams blank rows only, "broken" fails, any other has data on row 3.
class SheetsWorkbook : public TableWorkbook {
 public:
  std::vector<TableReader::Sheet> sheets() const override {
    return {{"Summary", false, "a"}, {"blank", false, "b"}, {"broken", true, "c"}, {"Data", true, "d"}};
  }
  void streamSheet(const TableReader::Sheet& sheet, const TableReader::RowCallback& row) override {
    if (sheet.name == "broken") throw std::runtime_error("Failed to extract c");
    for (int64_t i = 1; i <= 5; ++i) {
      ++rowsStreamed;
      bool data = sheet.name != "blank" && i == 3;
      if (!row(i, data ? Strings{"", "x"} : Strings{"", "n/a"})) return;
    }
  }
  int rowsStreamed = 0;
};

TEST_F(TableLayoutTest, SheetListStopsAtTheFirstRowWithData) {
  auto workbook = std::make_unique<SheetsWorkbook>();
  SheetsWorkbook* counts = workbook.get();
  TableReader reader("/tmp/book.xlsx", std::move(workbook));
  auto infos = TableLayout::sheets(reader);
  ASSERT_EQ(infos.size(), 4u);
  EXPECT_EQ(infos[0].name, "Summary");
  EXPECT_TRUE(infos[0].hasData);
  EXPECT_FALSE(infos[1].hasData);
  EXPECT_FALSE(infos[2].hasData);
  EXPECT_TRUE(infos[2].hidden);
  EXPECT_TRUE(infos[3].hasData);
  EXPECT_EQ(counts->rowsStreamed, 3 + 5 + 3);
  TableReader delimited(write("a,b\n"));
  EXPECT_TRUE(TableLayout::sheets(delimited).empty());
}

TEST_F(TableLayoutTest, LayoutObject) {
  std::string path = write("Title\n\nDate,Amount,Code\n2024-01-03,\"1,234.50\",007\n2024-01-04,n/a,012\n",
                           "Money.csv");
  struct utimbuf times = {1712139300, 1712139300};
  ASSERT_EQ(utime(path.c_str(), &times), 0);
  TableReader reader(path);
  TableLayout l = TableLayout::read(reader, nullptr, nullptr, [](const Strings&) {},
                                    [](int64_t, const Strings&) { return true; });
  std::string json = JSONValue(MCPTools::layoutObject(l, path)).encode();
  EXPECT_EQ(json,
            "{\"blank_rows\":1,\"columns\":[{\"blank\":0,\"examples\":[\"2024-01-03\",\"2024-01-04\"],"
            "\"filled\":2,\"name\":\"Date\",\"type\":\"date\"},{\"blank\":1,\"examples\":[\"1,234.50\"],"
            "\"filled\":1,\"name\":\"Amount\",\"reading\":\"decimal point\",\"type\":\"number\"},"
            "{\"blank\":0,\"examples\":[\"007\",\"012\"],\"filled\":2,\"name\":\"Code\",\"notes\":"
            "[\"leading zeros: a code, read as text\"],\"type\":\"text\"}],\"file\":\"Money.csv\","
            "\"header_row\":3,\"how_to_ask\":\"Call again with question: filters [{column, operation, "
            "value}], group_by [{column, period}], measures [{operation, column}], sort [{by, "
            "direction}], limit. Use the column names above. zelk works it out over every row and "
            "returns at most 200 result rows.\",\"modified\":\"2024-04-03T10:15:00Z\",\"notes\":[\"1 "
            "line above the header row left out\"],\"rows\":2,\"status\":\"layout\"}");
}

TEST(TableLayout, HiddenRuleLabelsAreThePlaceholderWords) {
  EXPECT_EQ(hiddenRuleLabel("ssn"), "SSN");
  EXPECT_EQ(hiddenRuleLabel("passport_mrz"), "PASSPORT DATA");
  EXPECT_EQ(hiddenRuleLabel("bank_account"), "ACCOUNT");
  EXPECT_EQ(hiddenRuleLabel("not_a_category"), "not_a_category");
}

}  // namespace
}  // namespace zelk
