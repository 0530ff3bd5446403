// The DOCX, PPTX and XLSX readers over packages built in code, one fault per fixture.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "documents/docx_parser.h"
#include "documents/document_parser.h"
#include "documents/office_package.h"
#include "documents/pptx_parser.h"
#include "documents/xlsx_parser.h"
#include "test_support.h"
#include "zip_builder.h"

namespace zelk {
namespace {

using testing::Part;
using testing::SheetSpec;
using testing::TempDir;
using testing::WorkbookSpec;
using testing::ZipEntries;

std::string failureOf(const std::function<void()>& read) {
  try {
    read();
  } catch (const DocumentParser::ParseError& e) {
    return e.what();
  }
  return "(no failure)";
}

std::string docxText(const ZipEntries& entries) { return DOCXParser::parseBytes(testing::zipBytes(entries)); }

// ---- DOCX

TEST(DOCXParser, ParagraphsBreaksAndTabs) {
  std::string body =
      "<w:p><w:r><w:t>One</w:t><w:tab/><w:t>two</w:t><w:br/><w:t>three</w:t><w:cr/></w:r></w:p>"
      "<w:p><w:r><w:t xml:space=\"preserve\"> spaced </w:t></w:r><w:r><w:t>run</w:t></w:r></w:p>"
      "<w:p><w:r><w:instrText>PAGE</w:instrText></w:r></w:p>";
  EXPECT_EQ(docxText(testing::docxPackage(body)), "One\ttwo\nthree\n\n spaced run\n\n");
}

TEST(DOCXParser, TableRowOfTwoCells) {
  std::string body =
      "<w:tbl><w:tr><w:tc><w:p><w:r><w:t>A</w:t></w:r></w:p></w:tc>"
      "<w:tc><w:p><w:r><w:t>B</w:t></w:r></w:p></w:tc></w:tr></w:tbl>";
  // Each cell's paragraph ends with a line feed, each cell with a tab, the row with a line feed.
  EXPECT_EQ(docxText(testing::docxPackage(body)), "A\n\tB\n\t\n");
}

TEST(DOCXParser, MainPartFromTheRelationships) {
  struct Case {
    const char* rels;
    const char* mainEntry;
    const char* expected;
  } cases[] = {
      {"<Relationships><Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/"
       "officeDocument/2006/relationships/officeDocument\" Target=\"/word/document2.xml\"/>"
       "</Relationships>",
       "word/document2.xml", "second\n"},
      {"<Relationships><Relationship Id=\"rId2\" Type=\"http://x/relationships/extended-properties\""
       " Target=\"docProps/app.xml\"/><Relationship Id=\"rId1\" Target=\"main/doc.xml\" "
       "Type=\"http://purl.oclc.org/ooxml/officeDocument/relationships/officeDocument\"/>"
       "</Relationships>",
       "main/doc.xml", "second\n"},
      // No usable officeDocument relationship: the default part is read.
      {"<Relationships><Relationship Id=\"rId1\" Type=\"http://x/relationships/officeDocument\" "
       "Target=\"\"/></Relationships>",
       "word/document2.xml", "first\n"},
      {"not xml at all \xFF\xFE", "word/document2.xml", "first\n"},
  };
  for (const Case& c : cases) {
    ZipEntries entries = {{"_rels/.rels", c.rels},
                          {"word/document.xml", testing::wordDocument(testing::wordParagraph("first"))},
                          {c.mainEntry, testing::wordDocument(testing::wordParagraph("second"))}};
    EXPECT_EQ(docxText(entries), c.expected) << c.rels;
  }
  TempDir dir;
  testing::writeZip(dir.file("a.docx"), {{"word/document.xml", testing::wordDocument("")}});
  EXPECT_EQ(DOCXParser::mainDocument(dir.file("a.docx")), "word/document.xml");
}

TEST(DOCXParser, Failures) {
  TempDir dir;
  std::ofstream(dir.file("fake.docx")) << "PK but not a zip";
  testing::writeZip(dir.file("nomain.docx"), {{"word/other.xml", "<x/>"}});
  EXPECT_EQ(failureOf([&] { DOCXParser::parse(dir.file("fake.docx")); }),
            "Could not read file: Failed to read DOCX");
  EXPECT_EQ(failureOf([&] { DOCXParser::parse(dir.file("nomain.docx")); }),
            "Could not read file: Failed to read DOCX");
  EXPECT_EQ(failureOf([&] { DOCXParser::extractEntry("word/none.xml", dir.file("nomain.docx")); }),
            "Could not read file: Failed to read DOCX");
  EXPECT_EQ(DOCXParser::extractEntry("word/other.xml", dir.file("nomain.docx")), "<x/>");
}

TEST(DOCXParser, MalformedXMLKeepsWhatCameBefore) {
  ZipEntries entries = testing::docxPackage("");
  entries[2].data = "<w:document><w:body>" + testing::wordParagraph("kept") +
                    testing::wordParagraph("also") + "<w:p></w:oops>" +
                    testing::wordParagraph("lost") + "</w:body></w:document>";
  EXPECT_EQ(docxText(entries), "kept\nalso\n");
}

TEST(DOCXParser, EntityDeclarationsAreRefused) {
  // A billion-laughs document: the parse ends at the first entity declaration.
  std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE w:document [<!ENTITY a \"aaaaaaaaaa\">";
  for (int i = 1; i < 10; ++i) {
    std::string prev = "a" + std::to_string(i - 1), cur = "a" + std::to_string(i);
    if (i == 1) prev = "a";
    bomb += "<!ENTITY " + cur + " \"";
    for (int k = 0; k < 10; ++k) bomb += "&" + prev + ";";
    bomb += "\">";
  }
  bomb += "]><w:document><w:body><w:p><w:r><w:t>&a9;</w:t></w:r></w:p></w:body></w:document>";
  ZipEntries entries = testing::docxPackage("");
  entries[2].data = bomb;
  EXPECT_EQ(docxText(entries), "");
}

TEST(DOCXParser, InflatedSizeIsBounded) {
  // A main part that unpacks past the 100 MB limit for one document.
  std::string run = "<w:p><w:r><w:t>" + std::string(4000, 'x') + "</w:t></w:r></w:p>";
  std::string body;
  body.reserve(105 << 20);
  while (body.size() < (101u << 20)) body += run;
  ZipEntries entries = testing::docxPackage(body);
  body.clear();
  body.shrink_to_fit();
  std::string bytes = testing::zipBytes(entries);
  entries.clear();
  EXPECT_LT(bytes.size(), 8u << 20);
  EXPECT_EQ(failureOf([&] { DOCXParser::parseBytes(bytes); }),
            "Could not read file: word/document.xml unpacks past zelk's 100 MB limit for the "
            "unpacked parts of one document");
}

TEST(DOCXParser, OddPathIsReadFromATemporaryCopyThatIsRemoved) {
  TempDir dir, tmp;
  testing::ScopedEnv tmpdir("TMPDIR", tmp.path());
  std::string good = dir.file("report [final].docx");
  std::string bad = dir.file("broken [v2].docx");
  testing::writeZip(good, testing::docxPackage(testing::wordParagraph("final text")));
  std::ofstream(bad) << "not a zip";
  EXPECT_EQ(DOCXParser::parse(good), "final text\n");
  EXPECT_EQ(failureOf([&] { DOCXParser::parse(bad); }), "Could not read file: Failed to read DOCX");
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
  {
    SafeURL safe = PPTXParser::makeSafeURL(good);
    ASSERT_TRUE(safe.copy().has_value());
    std::string name = std::filesystem::path(*safe.copy()).filename().string();
    EXPECT_EQ(name.rfind("zelk_", 0), 0u);
    EXPECT_EQ(name.size(), 5 + 36 + 5u);  // zelk_ + UUID + .docx
    EXPECT_TRUE(std::filesystem::exists(*safe.copy()));
  }
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
  SafeURL plain = PPTXParser::makeSafeURL(dir.file("plain.docx"));
  EXPECT_FALSE(plain.copy().has_value());
  EXPECT_EQ(plain.path(), dir.file("plain.docx"));
}

// ---- PPTX

std::string pptxText(const std::vector<Part>& slides, const std::vector<Part>& masters = {},
                     const std::vector<Part>& layouts = {}) {
  return PPTXParser::parseBytes(testing::zipBytes(testing::pptxPackage(slides, masters, layouts)));
}

TEST(PPTXParser, SlidesInNumericOrderNumberedByPosition) {
  EXPECT_EQ(pptxText({{"ppt/slides/slide10.xml", {"ten"}},
                      {"ppt/slides/slide2.xml", {"two"}},
                      {"ppt/slides/slide1.xml", {"one", "  ", " first  "}},
                      {"ppt/slides/_rels/slide1.xml.rels", {"rels"}}}),
            "[Slide 1]\none\nfirst\n\n[Slide 2]\ntwo\n\n[Slide 3]\nten");
  EXPECT_EQ(PPTXParser::slideNumber("ppt/slides/slide12.xml"), 12u);
  EXPECT_EQ(PPTXParser::slideNumber("ppt/slides/slide.xml"), 0u);
  EXPECT_EQ(PPTXParser::slideNumber("ppt/slides2/s1lide3.xml"), 13u);
}

TEST(PPTXParser, MasterAndLayoutLinesAreRemoved) {
  std::string longLine(100, 'm');
  std::string layoutLong(80, 'l');
  std::string text = pptxText(
      {{"ppt/slides/slide1.xml", {"Revenue grew", "ACME Corp", longLine, "Confidential", layoutLong}},
       {"ppt/slides/slide2.xml", {"acme corp"}},
       {"ppt/slides/slide3.xml", {"Last"}}},
      {{"ppt/slideMasters/slideMaster1.xml", {"  ACME CORP ", longLine}}},
      {{"ppt/slideLayouts/slideLayout1.xml", {"confidential", layoutLong}}});
  // Master lines of 100 characters or more and layout lines of 80 or more stay; the slide with
  // only master text has no block, and the next slide keeps its number.
  EXPECT_EQ(text, "[Slide 1]\nRevenue grew\n" + longLine + "\n" + layoutLong + "\n\n[Slide 3]\nLast");
}

TEST(PPTXParser, Failures) {
  EXPECT_EQ(failureOf([] { pptxText({{"ppt/slideLayouts/slideLayout1.xml", {"x"}}}); }),
            "Could not read file: No slides found in PPTX");
  EXPECT_EQ(failureOf([] { PPTXParser::parseBytes("not a zip"); }),
            "Could not read file: No slides found in PPTX");
  EXPECT_EQ(pptxText({{"ppt/slides/slide1.xml", {}}}), "");
  TempDir dir;
  testing::writeZip(dir.file("d.pptx"), testing::pptxPackage({{"ppt/slides/slide1.xml", {"a"}}}));
  std::vector<std::string> names = PPTXParser::listZipEntries(dir.file("d.pptx"));
  EXPECT_NE(std::find(names.begin(), names.end(), "ppt/slides/slide1.xml"), names.end());
  EXPECT_TRUE(PPTXParser::listZipEntries(dir.file("missing.pptx")).empty());
}

// ---- XLSX

std::string xlsxText(const WorkbookSpec& spec) {
  return XLSXParser::parseBytes(testing::zipBytes(testing::xlsxPackage(spec)));
}

std::string cell(const std::string& ref, const std::string& value, const std::string& attrs = "") {
  return "<c r=\"" + ref + "\"" + attrs + "><v>" + value + "</v></c>";
}

TEST(XLSXParser, CellsAsAPersonSeesThem) {
  WorkbookSpec spec;
  spec.sharedStrings = {"Name", "Total, net"};
  spec.numFmtsXML =
      "<numFmt numFmtId=\"164\" formatCode=\"yyyy-mm-dd;@\"/>"
      "<numFmt numFmtId=\"165\" formatCode=\"[h]:mm:ss\"/>"
      "<numFmt numFmtId=\"166\" formatCode=\"0.00%\"/>"
      "<numFmt numFmtId=\"167\" formatCode=\"#,##0\"/>"
      "<numFmt numFmtId=\"168\" formatCode=\"[Red]0.00\"/>";
  spec.cellXfs = {0, 14, 22, 10, 164, 165, 166, 167, 168};
  spec.sheets = {{"Data",
                  "<row r=\"1\">" + cell("A1", "0", " t=\"s\"") + cell("B1", "1", " t=\"s\"") +
                      cell("C1", "7", " t=\"s\"") + "</row>"
                  "<row r=\"2\">" + cell("A2", "45000.5", " s=\"2\"") + cell("B2", "0.125", " s=\"3\"") +
                      cell("C2", "0.30000000000000004") + cell("D2", "1234567890123456789") + "</row>"
                  "<row r=\"3\">" + cell("A3", "45000", " s=\"4\"") + cell("B3", "1.5", " s=\"5\"") +
                      cell("C3", "0.5", " s=\"6\"") + cell("D3", "1234.5", " s=\"7\"") +
                      cell("E3", "2.5", " s=\"8\"") + "</row>"
                  "<row r=\"4\">" + cell("A4", "1", " t=\"b\"") + cell("B4", "#DIV/0!", " t=\"e\"") +
                      cell("C4", "\u2014", " t=\"str\"") + cell("D4", "0", " t=\"b\"") +
                      "<c r=\"E4\" t=\"inlineStr\"><is><r><t>in</t></r><r><t>line</t></r></is></c></row>"
                  "<row r=\"5\">" + cell("A5", "x", " s=\"99\"") + cell("B5", " 42 ") + "</row>",
                  ""}};
  EXPECT_EQ(xlsxText(spec),
            "## Data\nName,\"Total, net\",7\n"
            "2023-03-15 12:00,12.5%,0.3,1234567890123456789\n"
            "2023-03-15,12:00,50%,1234.5,2.5\n"
            "TRUE,,,FALSE,inline\n"
            "x,42");
}

TEST(XLSXParser, DatesInBothSystems) {
  auto dates = [](bool date1904, const std::vector<std::string>& serials) {
    WorkbookSpec spec;
    spec.date1904 = date1904;
    spec.cellXfs = {0, 14};
    std::string rows;
    for (size_t i = 0; i < serials.size(); ++i) {
      rows += "<row>" + cell("A" + std::to_string(i + 1), serials[i], " s=\"1\"") + "</row>";
    }
    spec.sheets = {{"S", rows, ""}};
    return xlsxText(spec);
  };
  EXPECT_EQ(dates(true, {"0", "1"}), "## S\n1904-01-01\n1904-01-02");
  EXPECT_EQ(dates(false, {"1", "59", "60", "61", "45000"}),
            "## S\n1900-01-01\n1900-02-28\n60\n1900-03-01\n2023-03-15");
}

TEST(XLSXParser, GapsArePaddedAndEmptyRowsDropped) {
  WorkbookSpec spec;
  spec.sheets = {{"S",
                  "<row>" + cell("A1", "1") + cell("D1", "4") + "</row>"
                  "<row>" + cell("A2", "") + cell("B2", " ") + "</row>"
                  "<row>" + cell("B3", "b") + cell("C3", "", " t=\"e\"") + "</row>"
                  "<row><c><v>n1</v></c><c><v>n2</v></c></row>"
                  // A crafted reference far past the last column is not padded out.
                  "<row>" + cell("ZZZZZZZZZZZZZZ5", "far") + "</row>",
                  ""}};
  EXPECT_EQ(xlsxText(spec), "## S\n1,,,4\n,b\nn1,n2\nfar");
  EXPECT_EQ(WorksheetParser::column("A1"), 0);
  EXPECT_EQ(WorksheetParser::column("aa7"), 26);
  EXPECT_EQ(WorksheetParser::column("XFD1"), 16383);
  EXPECT_EQ(WorksheetParser::column("XFE1"), std::nullopt);
  EXPECT_EQ(WorksheetParser::column("12"), std::nullopt);
}

TEST(XLSXParser, HiddenSheetsAreMarked) {
  WorkbookSpec spec;
  spec.sheets = {{"Visible", "<row>" + cell("A1", "1") + "</row>", ""},
                 {"Empty", "", ""},
                 {"Hidden", "<row>" + cell("A1", "2") + "</row>", "hidden"},
                 {"Very", "<row>" + cell("A1", "3") + "</row>", "veryHidden"}};
  EXPECT_EQ(xlsxText(spec),
            "## Visible\n1\n\n## Hidden (hidden in the workbook)\n2\n\n"
            "## Very (hidden in the workbook)\n3");
  TempDir dir;
  testing::writeZip(dir.file("b.xlsx"), testing::xlsxPackage(spec));
  XLSXParser::Workbook book = XLSXParser::workbook(dir.file("b.xlsx"));
  ASSERT_EQ(book.sheets.size(), 4u);
  EXPECT_EQ(book.sheets[3].name, "Very");
  EXPECT_EQ(book.sheets[3].file, "xl/worksheets/sheet4.xml");
  EXPECT_TRUE(book.sheets[3].hidden);
  EXPECT_FALSE(book.sheets[0].hidden);
}

TEST(XLSXParser, WorkbookWithoutWorkbookPartListsTheSheets) {
  ZipEntries entries = {
      {"xl/worksheets/sheet10.xml", testing::worksheet("<row>" + cell("A1", "ten") + "</row>")},
      {"xl/worksheets/sheet2.xml", testing::worksheet("<row>" + cell("A1", "two") + "</row>")},
      {"xl/worksheets/sheet1.xml", testing::worksheet("<row>" + cell("A1", "one") + "</row>")},
      {"xl/worksheets/_rels/sheet1.xml.rels", "<Relationships/>"}};
  EXPECT_EQ(XLSXParser::parseBytes(testing::zipBytes(entries)),
            "## Sheet1\none\n\n## Sheet2\ntwo\n\n## Sheet3\nten");
}

TEST(XLSXParser, SheetTargetsAndNames) {
  ZipEntries entries = {
      {"xl/workbook.xml",
       "<workbook xmlns:r=\"r\"><workbookPr date1904=\"true\"/><sheets>"
       "<sheet r:id=\"a\"/><sheet name=\"Abs\" r:id=\"b\"/><sheet name=\"Gone\" r:id=\"c\"/>"
       "<sheet name=\"NoId\"/></sheets></workbook>"},
      {"xl/_rels/workbook.xml.rels",
       "<Relationships><Relationship Id=\"a\" Target=\"worksheets/one.xml\"/>"
       "<Relationship Id=\"b\" Target=\"/custom/two.xml\"/><Relationship Id=\"c\"/></Relationships>"},
      {"xl/worksheets/one.xml", testing::worksheet("<row>" + cell("A1", "1") + "</row>")},
      {"custom/two.xml", testing::worksheet("<row>" + cell("A1", "2") + "</row>")}};
  TempDir dir;
  testing::writeZip(dir.file("t.xlsx"), entries);
  XLSXParser::Workbook book = XLSXParser::workbook(dir.file("t.xlsx"));
  ASSERT_EQ(book.sheets.size(), 2u);
  EXPECT_EQ(book.sheets[0].name, "Sheet1");
  EXPECT_EQ(book.sheets[0].file, "xl/worksheets/one.xml");
  EXPECT_EQ(book.sheets[1].name, "Abs");
  EXPECT_EQ(book.sheets[1].file, "custom/two.xml");
  EXPECT_TRUE(book.format.date1904);
  EXPECT_TRUE(book.format.styles.empty());
  EXPECT_EQ(XLSXParser::parse(dir.file("t.xlsx")), "## Sheet1\n1\n\n## Abs\n2");
}

TEST(XLSXParser, SharedStringsJoinRichTextRuns) {
  ZipEntries entries = testing::xlsxPackage(testing::withSheets(
      {{"S", "<row>" + cell("A1", "0", " t=\"s\"") + cell("B1", "5", " t=\"s\"") + "</row>", ""}}));
  entries.push_back({"xl/sharedStrings.xml",
                     "<sst><si><r><t>Bold</t></r><r><t xml:space=\"preserve\"> plain</t></r></si></sst>"});
  EXPECT_EQ(XLSXParser::parseBytes(testing::zipBytes(entries)), "## S\nBold plain,5");
}

TEST(XLSXParser, PrefixedSpreadsheetElementsAreRead) {
  ZipEntries entries = {
      {"xl/workbook.xml",
       "<s:workbook xmlns:s=\"m\" xmlns:r=\"r\"><s:workbookPr date1904=\"1\"/><s:sheets>"
       "<s:sheet name=\"Data\" r:id=\"rId1\"/></s:sheets></s:workbook>"},
      {"xl/_rels/workbook.xml.rels",
       "<p:Relationships xmlns:p=\"p\"><p:Relationship Id=\"rId1\" Target=\"worksheets/sheet1.xml\"/>"
       "</p:Relationships>"},
      {"xl/sharedStrings.xml", "<x:sst xmlns:x=\"m\"><x:si><x:t>shared</x:t></x:si></x:sst>"},
      {"xl/styles.xml", "<x:styleSheet xmlns:x=\"m\"><x:cellXfs><x:xf numFmtId=\"14\"/></x:cellXfs></x:styleSheet>"},
      {"xl/worksheets/sheet1.xml",
       "<x:worksheet xmlns:x=\"m\"><x:sheetData><x:row><x:c r=\"A1\" t=\"s\"><x:v>0</x:v></x:c>"
       "<x:c r=\"C1\" s=\"0\"><x:v>0</x:v></x:c><x:c r=\"D1\" t=\"inlineStr\"><x:is><x:t>in</x:t>"
       "</x:is></x:c></x:row></x:sheetData></x:worksheet>"}};
  EXPECT_EQ(XLSXParser::parseBytes(testing::zipBytes(entries)), "## Data\nshared,,1904-01-01,in");
}

TEST(XLSXParser, NoWorksheets) {
  EXPECT_EQ(failureOf([] { XLSXParser::parseBytes("\xD0\xCF\x11\xE0 OLE container"); }),
            "Could not read file: No worksheets found in XLSX");
  EXPECT_EQ(failureOf([] { XLSXParser::parseBytes(testing::zipBytes({{"xl/styles.xml", "<x/>"}})); }),
            "Could not read file: No worksheets found in XLSX");
}

// Counts rows and stops after a given number.
class RowCounter : public documents::XMLHandler {
 public:
  explicit RowCounter(int stopAfter) : stopAfter_(stopAfter) {}
  void endElement(std::string_view name) override {
    if (name == "row") ++rows;
  }
  bool keepGoing() override { return rows < stopAfter_; }
  int rows = 0;

 private:
  int stopAfter_;
};

TEST(XLSXParser, StreamEntryStopsWhenAsked) {
  std::string rows;
  for (int i = 1; i <= 50000; ++i) rows += "<row>" + cell("A" + std::to_string(i), std::to_string(i)) + "</row>";
  TempDir dir;
  testing::writeZip(dir.file("big.xlsx"), testing::xlsxPackage(testing::withSheets({{"S", rows, ""}})));
  RowCounter all(1 << 30), some(10);
  XLSXParser::streamEntry("xl/worksheets/sheet1.xml", dir.file("big.xlsx"), all);
  XLSXParser::streamEntry("xl/worksheets/sheet1.xml", dir.file("big.xlsx"), some);
  EXPECT_EQ(all.rows, 50000);
  EXPECT_EQ(some.rows, 10);
  RowCounter none(1);
  EXPECT_EQ(failureOf([&] { XLSXParser::streamEntry("xl/worksheets/nope.xml", dir.file("big.xlsx"), none); }),
            "Could not read file: Failed to extract xl/worksheets/nope.xml");
  EXPECT_EQ(failureOf([&] { XLSXParser::streamEntry("xl/worksheets/sheet1.xml", dir.file("big.xlsx"), all, 1); }),
            "Could not read file: xl/worksheets/sheet1.xml unpacks past zelk's 1 MB limit for the "
            "unpacked parts of one document");
  EXPECT_EQ(failureOf([&] { XLSXParser::extractEntry("xl/nope.xml", dir.file("big.xlsx")); }),
            "Could not read file: Failed to extract xl/nope.xml");
}

}  // namespace
}  // namespace zelk
