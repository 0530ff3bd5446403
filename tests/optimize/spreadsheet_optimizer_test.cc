#include "optimize/spreadsheet_optimizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelk {
namespace {

using SpreadsheetOptimizer::Removed;
using SpreadsheetOptimizer::Rows;

// Splits CSV-ish lines on commas without quoting rules, for building fixtures.
Rows table(const std::vector<std::string>& lines) {
  Rows rows;
  for (const std::string& line : lines) rows.push_back(SpreadsheetOptimizer::parseCSVLine(line));
  return rows;
}

std::string sheet(const std::vector<std::string>& lines, Removed& removed) {
  return SpreadsheetOptimizer::optimizeSheet(table(lines), removed);
}

TEST(SpreadsheetOptimizer, ShortensLongDecimalsToFourPlaces) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"3.14159265", "3.1416"},   {"0.000123456", "0.0001235"}, {"2.5000001", "2.5"},
      {"12.34", "12.34"},         {"100000.123456", "100000.1235"}, {"-0.5000001", "-0.5"},
      {"1.00000", "1"},           {"abc.12345", "abc.12345"},   {"12,345.123456", "12,345.123456"},
      {" 7.123456 ", "7.1235"},   {"1.5e999999", "1.5e999999"},  // overflow stays as written
      {".123456", "0.1235"},      {"1.0000000001", "1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SpreadsheetOptimizer::optimizePrecision(c.in), c.out) << c.in;
  }
  EXPECT_EQ(SpreadsheetOptimizer::trimmed(0), "0");
  EXPECT_EQ(SpreadsheetOptimizer::trimmed(1e-7), "1e-07");
  EXPECT_EQ(SpreadsheetOptimizer::trimmed(42), "42");
}

TEST(SpreadsheetOptimizer, SplitsCellsWithQuotesAndTrims) {
  struct Case {
    std::string record;
    std::vector<std::string> cells;
  } cases[] = {
      {"a,\"b,c\",d", {"a", "b,c", "d"}},
      {"\"he said \"\"hi\"\"\"", {"he said \"hi\""}},
      {"", {""}},
      {" a , b ", {"a", "b"}},
      {"a,", {"a", ""}},
      {"x\"y\"z,w", {"xyz", "w"}},
      {"\"open,cell", {"open,cell"}},
      {"\xC2\xA0" "padded\xE3\x80\x80,\t2", {"padded", "2"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SpreadsheetOptimizer::parseCSVLine(c.record), c.cells) << c.record;
  }
}

TEST(SpreadsheetOptimizer, RecordsKeepQuotedLineBreaksTogether) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SpreadsheetOptimizer::records("a\n\"b\nc\"\nd"), (V{"a", "\"b\nc\"", "d"}));
  EXPECT_EQ(SpreadsheetOptimizer::records("a\n\"b\nc"), (V{"a", "\"b\nc"}));
  EXPECT_EQ(SpreadsheetOptimizer::records(""), (V{""}));
  EXPECT_EQ(SpreadsheetOptimizer::records("a\n\nb\n"), (V{"a", "", "b", ""}));
}

TEST(SpreadsheetOptimizer, JudgesMeaningfulValues) {
  struct Case {
    std::string cell;
    bool meaningful;
  } cases[] = {
      {"", false},          {"a", false},           {"ab", true},
      {"N/A", false},       {"n/a", false},         {"N/a", true},
      {"123", false},       {"999", false},         {"1000", true},
      {"0999", false},      {"00000000000000000000000000001", false},
      {"99999999999999999999999", true},            {"Do not delete", false},
      {"DON'T DELETE", false}, {"Total", false},    {"Grand Total ", false},
      {"Total revenue", true}, {"Page 3", false},   {"Confidential memo", false},
      {"Alice", true},      {"\xC2\xA9 2023 Acme", false},  {"(click for details)", false},
      {"Please enter a date", false}, {"___", false}, {"M\xC3\xBCller", true},
      {"\xC3\xA9", false},  // one character, two bytes
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SpreadsheetOptimizer::isMeaningfulValue(c.cell), c.meaningful) << c.cell;
  }
}

TEST(SpreadsheetOptimizer, ReadsNonzeroNumbers) {
  struct Case {
    std::string cell;
    bool nonzero;
  } cases[] = {
      {"$1,234", true}, {"0", false},    {"$0.00", false}, {"12%", true},  {"abc", false},
      {"\xE2\x82\xAC 5", true},          {"-3", true},     {"", false},    {"0.000", false},
      {"1e3", true},    {"12 apples", false}, {"\xC2\xA3" "0", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SpreadsheetOptimizer::isNonzeroNumber(c.cell), c.nonzero) << c.cell;
  }
}

TEST(SpreadsheetOptimizer, DropsTemplateRowsButKeepsRowsWithContent) {
  Removed removed;
  std::string out = sheet({"First,Name,Last,Note", "0,-,,N/A", "-,Alice,,", "-,Alice,Smith,",
                           "x,,5,", "-,A very long description of this item,,"},
                          removed);
  // The first column holds only "-" and "x", the last nothing: both go.
  EXPECT_EQ(out, "Name,Last\nAlice,Smith\n,5\nA very long description of this item");
  EXPECT_EQ(removed.emptyRows, 2);
  EXPECT_EQ(removed.emptyColumns, 2);
}

TEST(SpreadsheetOptimizer, CountsDuplicateAndEmptyRows) {
  Removed removed;
  std::string out =
      sheet({"Name,Amount", "Alice,100", " Alice , 100", "-,-", ",", "Bob,200"}, removed);
  EXPECT_EQ(out, "Name,Amount\nAlice,100\nBob,200");
  EXPECT_EQ(removed.repeatedRows, 1);
  EXPECT_EQ(removed.emptyRows, 2);  // the blank row and the row of dashes
}

TEST(SpreadsheetOptimizer, DropsEmptyColumnsButKeepsYearHeadedOnes) {
  Removed removed;
  std::string out =
      sheet({"Name,Empty,2023,Amount", "Alice,0,,100", "Bob,n/a,,200"}, removed);
  EXPECT_EQ(out, "Name,2023,Amount\nAlice,,100\nBob,,200");
  EXPECT_EQ(removed.emptyColumns, 1);
}

TEST(SpreadsheetOptimizer, BlanksInstructionCellsInDataButNotInTheHeader) {
  Removed removed;
  std::string out = sheet({"Name,Do not delete,Amount", "Alice,Do not delete,100",
                           "Bob,fine,3.14159265"},
                          removed);
  EXPECT_EQ(out, "Name,Do not delete,Amount\nAlice,,100\nBob,fine,3.1416");
  EXPECT_EQ(removed.notes, 1);
  EXPECT_EQ(removed.decimals, 1);
}

TEST(SpreadsheetOptimizer, ValuesRepeatedAcrossTheSheetDoNotMakeContent) {
  std::vector<std::string> names = {"Ann", "Ben", "Cal", "Dan", "Eve", "Fay"};
  auto build = [&](size_t n) {
    std::vector<std::string> lines = {"Name,A,B"};
    for (size_t i = 0; i < n; ++i) lines.push_back(names[i] + ",Foo bar,Baz qux");
    lines.push_back("Gus,7.5,yes");
    return lines;
  };
  Removed six;
  EXPECT_EQ(sheet(build(6), six), "Name,A,B\nGus,7.5,yes");
  EXPECT_EQ(six.emptyRows, 6);
  Removed four;
  EXPECT_EQ(sheet(build(4), four),
            "Name,A,B\nAnn,Foo bar,Baz qux\nBen,Foo bar,Baz qux\nCal,Foo bar,Baz qux\n"
            "Dan,Foo bar,Baz qux\nGus,7.5,yes");
  EXPECT_EQ(four.emptyRows, 0);
}

TEST(SpreadsheetOptimizer, SmallSheets) {
  Removed removed;
  EXPECT_EQ(sheet({",,", " , "}, removed), "");
  EXPECT_EQ(removed.emptyRows, 2);
  EXPECT_EQ(sheet({" only ,row,"}, removed), "only,row");
  // A header and nothing but template rows leaves nothing.
  EXPECT_EQ(sheet({"Name,Amount", "-,0"}, removed), "");
  EXPECT_EQ(SpreadsheetOptimizer::optimizeSheet({}, removed), "");
}

TEST(SpreadsheetOptimizer, WorkbookSectionsLoseEmptySheetsWithTheirTitles) {
  Removed removed;
  std::string text =
      "## Sheet1\nName,Amount\nAlice,100\nBob,200\n\n## Empty\n,,\n,\n## Single\nonly,row\n";
  EXPECT_EQ(SpreadsheetOptimizer::optimize(text, removed),
            "## Sheet1\n\nName,Amount\nAlice,100\nBob,200\n\n## Single\n\nonly,row");
  EXPECT_EQ(removed.emptyRows, 2);
}

TEST(SpreadsheetOptimizer, TextWithoutTitlesAndQuotedLineBreaks) {
  Removed removed;
  std::string text = "Name,Note\nAlice,\"first line\nsecond line\"\nBob,\"a, b\"";
  EXPECT_EQ(SpreadsheetOptimizer::optimize(text, removed),
            "Name,Note\nAlice,first line second line\nBob,\"a, b\"");
  EXPECT_EQ(SpreadsheetOptimizer::optimize("", removed), "");
  // Rows before the first title form a section of their own.
  EXPECT_EQ(SpreadsheetOptimizer::optimize("lead,row\n## S\nx,y", removed),
            "lead,row\n\n## S\n\nx,y");
}

TEST(SpreadsheetOptimizer, RemovedAddsUp) {
  Removed a{1, 2, 3, 4, 5};
  a += Removed{1, 1, 1, 1, 1};
  EXPECT_EQ(a, (Removed{2, 3, 4, 5, 6}));
  EXPECT_EQ(a.total(), 20);
}

TEST(SpreadsheetOptimizer, SurvivesHostileCells) {
  Removed removed;
  std::string longCell(200000, '_');
  std::string text = "H1,H2\n" + longCell + ",1.5\n\"" + std::string(100000, '"') + "\n";
  std::string out = SpreadsheetOptimizer::optimize(text, removed);
  EXPECT_NE(out.find("1.5"), std::string::npos);
}

}  // namespace
}  // namespace zelk
