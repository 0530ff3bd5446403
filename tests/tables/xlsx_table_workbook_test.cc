#include "tables/xlsx_table_workbook.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "documents/document_parser.h"
#include "documents/zip_builder.h"
#include "tables/table_layout.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::SheetSpec;
using testing::TempDir;
using testing::WorkbookSpec;
using Rows = std::vector<std::pair<int64_t, std::vector<std::string>>>;

std::string writeBook(const TempDir& dir, const std::string& name, const WorkbookSpec& spec) {
  std::string path = dir.file(name);
  testing::writeZip(path, testing::xlsxPackage(spec));
  return path;
}

Rows readAll(TableReader& reader, const TableReader::Sheet* sheet = nullptr) {
  Rows rows;
  reader.readRows(sheet, [&](int64_t n, const std::vector<std::string>& cells) {
    rows.emplace_back(n, cells);
    return true;
  });
  return rows;
}

Rows readBook(const std::string& path) {
  auto reader = openTableReader(path);
  return readAll(*reader);
}

long peakRSSKiB() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST(XLSXTableWorkbook, SkippedRowsAndColumnsKeepTheirPlaces) {
  TempDir dir;
  std::string path = writeBook(
      dir, "gaps.xlsx",
      testing::withSheets({{"Data",
                            "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>Name</t></is></c>"
                            "<c r=\"B1\" t=\"inlineStr\"><is><t>Amount</t></is></c></row>"
                            "<row r=\"2\"><c r=\"A2\"><v>1</v></c><c r=\"C2\"><v> 3 </v></c>"
                            "<c r=\"D2\" t=\"inlineStr\"><is><t></t></is></c></row>"
                            "<row r=\"5\"><c r=\"B5\"><v>2</v></c></row>"
                            "<row><c><v>7</v></c></row>",
                            ""}}));
  Rows expected = {{1, {"Name", "Amount"}}, {2, {"1", "", "3"}}, {3, {}}, {4, {}},
                   {5, {"", "2"}},          {6, {"7"}}};
  EXPECT_EQ(readBook(path), expected);
}

TEST(XLSXTableWorkbook, CellsRenderAsThePersonSeesThem) {
  TempDir dir;
  WorkbookSpec spec = testing::withSheets(
      {{"S",
        "<row r=\"1\"><c t=\"s\"><v>1</v></c><c t=\"b\"><v>1</v></c><c t=\"e\"><v>#DIV/0!</v></c>"
        "<c s=\"1\"><v>45000</v></c><c s=\"2\"><v>0.125</v></c><c><v>0.30000000000000004</v></c>"
        "<c t=\"str\"><v>\u2014</v></c><c t=\"s\"><v>9</v></c></row>",
        ""}});
  spec.sharedStrings = {"zero", "one"};
  spec.cellXfs = {0, 14, 10};
  std::string path = writeBook(dir, "formats.xlsx", spec);
  Rows expected = {{1, {"one", "TRUE", "", "2023-03-15", "12.5%", "0.3", "", "9"}}};
  EXPECT_EQ(readBook(path), expected);
}

TEST(XLSXTableWorkbook, PrefixedElementsAndUntrimmedNewlines) {
  TempDir dir;
  auto entries = testing::xlsxPackage(testing::withSheets({{"S", "", ""}}));
  for (auto& e : entries) {
    if (e.name != "xl/worksheets/sheet1.xml") continue;
    e.data =
        "<x:worksheet xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
        "<x:sheetData><x:row r=\"1\"><x:c r=\"B1\" t=\"inlineStr\"><x:is><x:t>\ta b\t</x:t>"
        "</x:is></x:c></x:row></x:sheetData></x:worksheet>";
  }
  std::string path = dir.file("prefixed.xlsx");
  testing::writeZip(path, entries);
  Rows expected = {{1, {"", "a b"}}};
  EXPECT_EQ(readBook(path), expected);
}

TEST(XLSXTableWorkbook, StopsAtTheFirstFalse) {
  TempDir dir;
  std::string rows;
  for (int r = 1; r <= 50; ++r)
    rows += "<row r=\"" + std::to_string(r) + "\"><c><v>" + std::to_string(r) + "</v></c></row>";
  std::string path = writeBook(dir, "many.xlsx", testing::withSheets({{"S", rows, ""}}));
  auto reader = openTableReader(path);
  int calls = 0;
  reader->readRows(nullptr, [&](int64_t, const std::vector<std::string>&) {
    ++calls;
    return false;
  });
  EXPECT_EQ(calls, 1);

  // A gap of skipped rows stops too.
  std::string gap = writeBook(
      dir, "gap.xlsx", testing::withSheets({{"S", "<row r=\"900000\"><c><v>1</v></c></row>", ""}}));
  auto gapReader = openTableReader(gap);
  calls = 0;
  gapReader->readRows(nullptr,
                      [&](int64_t, const std::vector<std::string>&) { return ++calls < 3; });
  EXPECT_EQ(calls, 3);
}

TEST(XLSXTableWorkbook, SheetsInWorkbookOrderWithHiddenFlagAndData) {
  TempDir dir;
  std::string path = writeBook(
      dir, "sheets.xlsx",
      testing::withSheets({{"Summary", "<row r=\"1\"><c><v>1</v></c></row>", ""},
                           {"Blank", "<row r=\"1\"><c t=\"str\"><v>n/a</v></c></row>", ""},
                           {"Secret", "<row r=\"2\"><c><v>5</v></c></row>", "veryHidden"}}));
  auto reader = openTableReader(path);
  ASSERT_TRUE(reader->hasWorkbook());
  auto infos = TableLayout::sheets(*reader);
  ASSERT_EQ(infos.size(), 3u);
  EXPECT_EQ(infos[0].name, "Summary");
  EXPECT_TRUE(infos[0].hasData);
  EXPECT_FALSE(infos[0].hidden);
  EXPECT_EQ(infos[1].name, "Blank");
  EXPECT_FALSE(infos[1].hasData);
  EXPECT_EQ(infos[2].name, "Secret");
  EXPECT_TRUE(infos[2].hidden);
  EXPECT_TRUE(infos[2].hasData);
  Rows expected = {{1, {}}, {2, {"5"}}};
  EXPECT_EQ(readAll(*reader, &reader->sheets()[2]), expected);
}

TEST(XLSXTableWorkbook, PatternCharactersReadThroughATemporaryCopy) {
  TempDir dir;
  std::string path =
      writeBook(dir, "report [draft].xlsx",
                testing::withSheets({{"S", "<row r=\"1\"><c><v>42</v></c></row>", ""}}));
  std::filesystem::path copy;
  {
    auto reader = openTableReader(path);
    copy = reader->safeURL();
    EXPECT_NE(copy, std::filesystem::path(path));
    EXPECT_EQ(copy.extension(), ".xlsx");
    EXPECT_TRUE(std::filesystem::exists(copy));
    EXPECT_EQ(reader->url(), std::filesystem::path(path));
    Rows expected = {{1, {"42"}}};
    EXPECT_EQ(readAll(*reader), expected);
  }
  EXPECT_FALSE(std::filesystem::exists(copy));
}

TEST(XLSXTableWorkbook, BrokenPackagesFailToOpen) {
  TempDir dir;
  std::string notZip = dir.file("plain.xlsx");
  {
    FILE* f = std::fopen(notZip.c_str(), "w");
    std::fputs("Date,Amount\n", f);
    std::fclose(f);
  }
  try {
    openTableReader(notZip);
    FAIL() << "opened a file that is no package";
  } catch (const DocumentParser::ParseError& e) {
    EXPECT_EQ(e.detail(), "No worksheets found in XLSX");
  }
  // A listed sheet whose entry is missing fails when rows are asked, and counts as empty.
  auto entries = testing::xlsxPackage(testing::withSheets({{"S", "<row r=\"1\"/>", ""}}));
  std::erase_if(entries, [](const auto& e) { return e.name == "xl/worksheets/sheet1.xml"; });
  std::string missing = dir.file("missing.xlsx");
  testing::writeZip(missing, entries);
  auto reader = openTableReader(missing);
  EXPECT_THROW(readAll(*reader), DocumentParser::ParseError);
  EXPECT_FALSE(TableLayout::sheets(*reader)[0].hasData);
}

TEST(XLSXTableWorkbook, HostileReferencesStayBounded) {
  TempDir dir;
  // A column far past the last one, a row number far past the last row, and a huge value.
  std::string huge(3 << 20, 'x');
  std::string path = writeBook(
      dir, "hostile.xlsx",
      testing::withSheets({{"S",
                            "<row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"ZZZZZZ1\"><v>2</v></c>"
                            "<c r=\"B1\"><v>3</v></c></row>"
                            "<row r=\"4000000000\"><c t=\"str\"><v>" +
                                huge + "</v></c></row>",
                            ""}}));
  Rows rows = readBook(path);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (std::pair<int64_t, std::vector<std::string>>{1, {"1"}}));
  EXPECT_EQ(rows[1].first, 2);
  ASSERT_EQ(rows[1].second.size(), 1u);
  EXPECT_EQ(rows[1].second[0].size(), TableReader::kMaxFieldBytes);
}

TEST(XLSXTableWorkbook, BillionLaughsSheetReadsAsEmptyInBoundedMemory) {
  TempDir dir;
  auto entries = testing::xlsxPackage(testing::withSheets({{"Bomb", "", ""}}));
  std::string dtd = "<!ENTITY lol \"lololololololololololol\">";
  for (int i = 1; i <= 12; ++i) {
    std::string prev = i == 1 ? "lol" : "lol" + std::to_string(i - 1);
    dtd += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) dtd += "&" + prev + ";";
    dtd += "\">";
  }
  for (auto& e : entries) {
    if (e.name != "xl/worksheets/sheet1.xml") continue;
    e.data = "<?xml version=\"1.0\"?><!DOCTYPE worksheet [" + dtd +
             "]><worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
             "<sheetData><row r=\"1\"><c t=\"inlineStr\"><is><t>&lol12;</t></is></c></row>"
             "</sheetData></worksheet>";
  }
  std::string path = dir.file("bomb.xlsx");
  testing::writeZip(path, entries);
  long before = peakRSSKiB();
  auto reader = openTableReader(path);
  EXPECT_TRUE(readAll(*reader).empty());
  EXPECT_FALSE(TableLayout::sheets(*reader)[0].hasData);
  EXPECT_LT(peakRSSKiB() - before, 64 * 1024);
}

TEST(SheetRows, ColumnLetters) {
  struct Case {
    const char* reference;
    std::optional<size_t> column;
  } cases[] = {{"A1", 0},
               {"Z9", 25},
               {"AA3", 26},
               {"XFD1", 16383},
               {"a1", std::nullopt},
               {"12", std::nullopt},
               {"", std::nullopt},
               {"XFE1", TableReader::kMaxRowFields}};
  for (const auto& c : cases) EXPECT_EQ(SheetRows::column(c.reference), c.column) << c.reference;
}

}  // namespace
}  // namespace zelk
