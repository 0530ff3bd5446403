// The PDF reader: text layers, the typical-page and thin-page rule, recognition of scanned
// pages, the page report, damaged and hostile files, and real PDFs from public test suites.
#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>
#include <poppler-document.h>
#include <poppler-page.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "documents/document_parser.h"
#include "documents/internal/pdf_render.h"
#include "documents/ocr.h"
#include "documents/parse_file.h"
#include "documents/pdf_fixtures.h"
#include "documents/pdf_parser.h"
#include "test_support.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;
using testing::PDFBuilder;
using testing::proseOfLength;

const std::string kNotAPDF = "Could not read file: Could not open PDF";

// cairo (drawing the fixtures) and poppler (finding fonts a PDF does not embed) load
// fontconfig's configuration once per process and keep it; it is released at the end so that
// leak checking sees only what this program itself allocates.
class ReleaseFontconfig : public ::testing::Environment {
 public:
  void TearDown() override {
    cairo_debug_reset_static_data();
    FcFini();
  }
};
::testing::Environment* const kReleaseFontconfig =
    ::testing::AddGlobalTestEnvironment(new ReleaseFontconfig);

struct Parsed {
  std::string text;
  int pages, ocrCount;
  std::vector<int> ocr, thin;
};

Parsed parse(const std::string& path, int threads = 0) {
  PDFParser parser(PDFParser::Options{threads});
  std::string text = parser.parse(path);
  return {text, parser.pageCount(), parser.ocrPageCount(), parser.ocrPages(), parser.thinPages()};
}

std::string failure(const std::string& path) {
  try {
    PDFParser().parse(path);
  } catch (const DocumentParser::ParseError& e) {
    EXPECT_EQ(e.kind(), DocumentParser::ParseError::Kind::parseFailure);
    return e.what();
  }
  return "(no failure)";
}

std::vector<std::string> wordsOf(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text + " ") {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  return words;
}

// The share of `expected` words (with repeats) found among the words of `text`.
double wordRecall(const std::vector<std::string>& expected, const std::string& text) {
  std::multiset<std::string> found;
  for (const std::string& w : wordsOf(text)) found.insert(w);
  size_t hits = 0;
  for (const std::string& w : expected) {
    auto it = found.find(w);
    if (it != found.end()) {
      ++hits;
      found.erase(it);
    }
  }
  return expected.empty() ? 1 : static_cast<double>(hits) / expected.size();
}

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

class PDFParserTest : public ::testing::Test {
 protected:
  std::string write(const PDFBuilder& builder, const std::string& name = "doc.pdf") {
    std::string path = dir_.file(name);
    EXPECT_TRUE(builder.write(path));
    return path;
  }
  testing::TempDir dir_;
};

TEST_F(PDFParserTest, JoinsTextLayersWithOneEmptyLine) {
  Parsed r = parse(write(PDFBuilder()
                             .textPage("Alpha beta gamma")
                             .textPage("Delta epsilon\nzeta eta")
                             .textPage("Theta iota")));
  EXPECT_EQ(r.text, "Alpha beta gamma\n\nDelta epsilon\nzeta eta\n\nTheta iota");
  EXPECT_EQ(r.pages, 3);
  EXPECT_EQ(r.ocrCount, 0);
  EXPECT_TRUE(r.ocr.empty());
  EXPECT_TRUE(r.thin.empty());
}

TEST_F(PDFParserTest, RecognisesEveryPageOfAScannedDocumentTheSameOnOneOrTwoThreads) {
  std::vector<std::string> words = testing::knownWords(111);
  std::vector<std::string> first(words.begin(), words.begin() + 37),
      second(words.begin() + 37, words.begin() + 74), third(words.begin() + 74, words.end());
  std::string path = write(
      PDFBuilder().scannedPage(joined(first)).scannedPage(joined(second)).scannedPage(joined(third)));
  Parsed one = parse(path, 1);
  EXPECT_EQ(one.pages, 3);
  EXPECT_EQ(one.ocrCount, 3);
  EXPECT_EQ(one.ocr, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(one.thin.empty());
  // Page texts come in page order, one empty line apart.
  size_t a = one.text.find(first.front()), b = one.text.find(second.front()),
         c = one.text.find(third.front());
  ASSERT_NE(a, std::string::npos);
  ASSERT_NE(b, std::string::npos);
  ASSERT_NE(c, std::string::npos);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_NE(one.text.substr(a, b - a).find("\n\n"), std::string::npos);

  Parsed two = parse(path, 2);
  EXPECT_EQ(two.text, one.text);
  EXPECT_EQ(two.ocr, one.ocr);
  EXPECT_EQ(two.ocrCount, one.ocrCount);
}

TEST_F(PDFParserTest, RecognisesAtLeast95PercentOfTheWordsOfACleanPage) {
  std::vector<std::string> words = testing::knownWords(110);
  Parsed r = parse(write(PDFBuilder().scannedPage(joined(words), 12)));
  EXPECT_GE(wordRecall(words, r.text), 0.95) << r.text;
}

TEST_F(PDFParserTest, RecognisesAnImageDirectly) {
  // A one-colour image has nothing to read; a page image holds its words.
  auto white = std::make_shared<std::vector<uint8_t>>(300 * 100 * 3, 255);
  RGBImage blank{300, 100, 900, 144, std::shared_ptr<const uint8_t>(white, white->data())};
  EXPECT_TRUE(isOneColour(blank));
  EXPECT_EQ(OCR::recognize(blank, {"en-US"}), "");
  EXPECT_EQ(OCR::recognize(RGBImage{}, {"en-US"}), "");

  ASSERT_TRUE(OCR::available());
  std::string path = write(PDFBuilder().scannedPage("harbor lantern meadow", 24));
  std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(path));
  ASSERT_TRUE(doc);
  std::unique_ptr<poppler::page> page(doc->create_page(0));
  std::optional<RGBImage> image = documents::renderPage(*page, 2);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 1224);
  EXPECT_EQ(image->height, 1584);
  EXPECT_EQ(image->dpi, 144);
  EXPECT_FALSE(isOneColour(*image));
  EXPECT_EQ(wordsOf(OCR::recognize(*image, {"en-US"})),
            (std::vector<std::string>{"harbor", "lantern", "meadow"}));
}

// A document whose typical page holds 2,000 characters, with a 100-character page and a chart
// at `thinAt` (1-based) among `pages` pages.
PDFBuilder thinPageDocument(int pages, int thinAt, bool labelledChart) {
  PDFBuilder b;
  for (int p = 1; p <= pages; ++p) {
    if (p == thinAt) b.chartPage(proseOfLength(100, 50 + p), labelledChart);
    else b.textPage(proseOfLength(2000, p));
  }
  return b;
}

TEST_F(PDFParserTest, ThinPageIsReplacedByRecognitionOnlyWhenItGivesTwiceTheText) {
  struct Case {
    bool labelledChart;
    std::vector<int> ocr, thin;
  };
  for (const Case& c : {Case{true, {3}, {}}, Case{false, {}, {3}}}) {
    SCOPED_TRACE(c.labelledChart ? "labelled chart" : "bars only");
    Parsed r = parse(write(thinPageDocument(5, 3, c.labelledChart)));
    EXPECT_EQ(r.pages, 5);
    EXPECT_EQ(r.ocr, c.ocr);
    EXPECT_EQ(r.ocrCount, static_cast<int>(c.ocr.size()));
    EXPECT_EQ(r.thin, c.thin);
    // The recognised page brings the chart's printed words; a thin page keeps its text layer.
    bool chartWords = r.text.find("Quarterly revenue") != std::string::npos;
    EXPECT_EQ(chartWords, c.labelledChart);
    if (!c.labelledChart) {
      EXPECT_NE(r.text.find(proseOfLength(100, 53).substr(0, 40)), std::string::npos);
    }
  }
}

TEST_F(PDFParserTest, ThinLastPageIsNeverRecognised) {
  Parsed r = parse(write(thinPageDocument(3, 3, true)));
  EXPECT_TRUE(r.ocr.empty());
  EXPECT_TRUE(r.thin.empty());
  EXPECT_EQ(r.text.find("Quarterly"), std::string::npos);
  EXPECT_NE(r.text.find(proseOfLength(100, 53).substr(0, 20)), std::string::npos);
}

TEST_F(PDFParserTest, TypicalPageUnder800CharactersMakesNoPageThin) {
  Parsed r = parse(write(PDFBuilder()
                             .textPage(proseOfLength(700, 1))
                             .chartPage("Short page", true)
                             .textPage(proseOfLength(700, 2))
                             .textPage(proseOfLength(700, 3))));
  EXPECT_EQ(r.ocrCount, 0);
  EXPECT_TRUE(r.ocr.empty());
  EXPECT_TRUE(r.thin.empty());
  EXPECT_EQ(r.text.find("Quarterly"), std::string::npos);
}

TEST_F(PDFParserTest, EmptyPageCountsAsRecognisedButLeavesNoGap) {
  Parsed r = parse(write(PDFBuilder().textPage("First page").emptyPage().textPage("Last page")));
  EXPECT_EQ(r.text, "First page\n\nLast page");
  EXPECT_EQ(r.pages, 3);
  EXPECT_EQ(r.ocrCount, 1);
  EXPECT_EQ(r.ocr, (std::vector<int>{2}));
  EXPECT_TRUE(r.thin.empty());
}

TEST_F(PDFParserTest, DocumentOfOnlyEmptyPagesGivesTheEmptyText) {
  Parsed r = parse(write(PDFBuilder().emptyPage().emptyPage()));
  EXPECT_EQ(r.text, "");
  EXPECT_EQ(r.ocr, (std::vector<int>{1, 2}));
}

TEST_F(PDFParserTest, FilesThatAreNoPDFCannotBeOpened) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  std::string real = testing::readBytes(write(thinPageDocument(4, 0, false), "real.pdf"));
  for (const Case& c : {Case{"text.pdf", "This is a plain text file, named .pdf by mistake.\n"},
                        Case{"empty.pdf", ""}, Case{"header-only.pdf", "%PDF-1.4\n%%EOF\n"},
                        Case{"cut-at-10-bytes.pdf", real.substr(0, 10)},
                        Case{"cut-in-half.pdf", real.substr(0, real.size() / 2)},
                        Case{"cut-before-trailer.pdf", real.substr(0, real.size() - 200)}}) {
    SCOPED_TRACE(c.name);
    std::string path = dir_.file(c.name);
    testing::writeBytes(path, c.bytes);
    PDFParser parser;
    try {
      parser.parse(path);
      ADD_FAILURE() << "opened";
    } catch (const DocumentParser::ParseError& e) {
      EXPECT_EQ(std::string(e.what()), kNotAPDF);
    }
    EXPECT_EQ(parser.pageCount(), 0);
    EXPECT_EQ(parser.ocrPageCount(), 0);
  }
  EXPECT_EQ(failure(dir_.file("missing.pdf")), kNotAPDF);
}

TEST_F(PDFParserTest, PasswordProtectedPDFSaysNoPasswordIsKnown) {
  std::string path = dir_.file("locked.pdf");
  testing::writeBytes(path, testing::encryptedPDFBytes());
  EXPECT_EQ(failure(path),
            "Could not read file: Could not open PDF: it is password-protected, and zelk has no "
            "password to open it. The user can save a copy without a password and share that "
            "instead.");
}

TEST_F(PDFParserTest, TenThousandEmptyPagesAreCountedWithoutDrawingEachInFull) {
  PDFBuilder b;
  for (int i = 0; i < 10000; ++i) b.emptyPage();
  Parsed r = parse(write(b));
  EXPECT_EQ(r.text, "");
  EXPECT_EQ(r.pages, 10000);
  EXPECT_EQ(r.ocrCount, 10000);
  ASSERT_EQ(r.ocr.size(), 10000u);
  EXPECT_EQ(r.ocr.front(), 1);
  EXPECT_EQ(r.ocr.back(), 10000);
}

TEST_F(PDFParserTest, PageTreeClaimingTwoBillionPagesReadsAsNoPages) {
  // The page tree names itself among its kids and claims more pages than the file has objects.
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R 2 0 R] /Count 2000000000 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R >>",
      "<< /Length 44 >>\nstream\nBT /F1 24 Tf 72 700 Td (Hello hostile) Tj ET\nendstream"};
  std::string pdf = "%PDF-1.4\n", xref;
  for (size_t i = 0; i < objects.size(); ++i) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", pdf.size());
    xref += entry;
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  size_t start = pdf.size();
  pdf += "xref\n0 5\n0000000000 65535 f \n" + xref + "trailer\n<< /Size 5 /Root 1 0 R >>\n" +
         "startxref\n" + std::to_string(start) + "\n%%EOF\n";
  std::string path = dir_.file("count.pdf");
  testing::writeBytes(path, pdf);
  Parsed r = parse(path);
  EXPECT_EQ(r.pages, 0);
  EXPECT_EQ(r.text, "");
  EXPECT_EQ(r.ocrCount, 0);
}

TEST(PDFRender, ScaleIsBoundedTo100Megapixels) {
  struct Case {
    double w, h;
    bool bounded;
    double fill;  // the least share of the bound a bounded page's bitmap fills
  };
  // A very thin strip loses most to rounding its short side.
  for (const Case& c : {Case{612, 792, false, 0}, Case{3000, 3000, false, 0},
                        Case{7071, 7071, true, 0.99}, Case{14400, 14400, true, 0.99},
                        Case{200000, 200000, true, 0.99}, Case{1e7, 100, true, 0.9}}) {
    SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h));
    double s = documents::boundedScale(c.w, c.h, 2);
    double pixels = std::floor(c.w * s + 0.5) * std::floor(c.h * s + 0.5);
    EXPECT_LE(pixels, documents::kMaxRenderPixels);
    if (c.bounded) {
      EXPECT_LT(s, 2);
      EXPECT_GT(pixels, c.fill * documents::kMaxRenderPixels);
    } else {
      EXPECT_EQ(s, 2);
    }
  }
}

TEST_F(PDFParserTest, GiantMediaBoxIsDrawnWithinTheBound) {
  // 20,000 points square is 6.4 gigapixels at scale 2; it is drawn at 100 megapixels.
  std::string path = write(PDFBuilder().emptyPage(20000, 20000).emptyPage(612, 792));
  std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(path));
  ASSERT_TRUE(doc);
  std::unique_ptr<poppler::page> giant(doc->create_page(0));
  std::optional<RGBImage> image = documents::renderPage(*giant, 2);
  ASSERT_TRUE(image);
  EXPECT_LE(static_cast<double>(image->width) * image->height, documents::kMaxRenderPixels);
  EXPECT_GE(image->width, 9990);
  EXPECT_TRUE(isOneColour(*image));
  image.reset();

  Parsed r = parse(path);
  EXPECT_EQ(r.text, "");
  EXPECT_EQ(r.ocr, (std::vector<int>{1, 2}));
}

TEST_F(PDFParserTest, ParseFileKeepsTheReportOfTheLastPDF) {
  std::string scanned = write(PDFBuilder().textPage("Cover page").scannedPage("river harbor", 24),
                              "scan.pdf");
  EXPECT_NE(MCPTools::parseFile(scanned, DocumentFormat::pdf).find("harbor"), std::string::npos);
  EXPECT_EQ(MCPTools::lastOCRPages, 1);
  ASSERT_TRUE(MCPTools::lastPDFReport);
  EXPECT_EQ(MCPTools::lastPDFReport->pages, 2);
  EXPECT_EQ(MCPTools::lastPDFReport->ocr, (std::vector<int>{2}));
  EXPECT_TRUE(MCPTools::lastPDFReport->thin.empty());

  // A failed PDF still leaves its (empty) report; any other format leaves none.
  std::string broken = dir_.file("broken.pdf");
  testing::writeBytes(broken, "not a pdf");
  EXPECT_THROW(MCPTools::parseFile(broken, DocumentFormat::pdf), DocumentParser::ParseError);
  EXPECT_EQ(MCPTools::lastOCRPages, 0);
  ASSERT_TRUE(MCPTools::lastPDFReport);
  EXPECT_EQ(MCPTools::lastPDFReport->pages, 0);

  std::string notes = dir_.file("notes.txt");
  testing::writeBytes(notes, "plain notes");
  MCPTools::parseFile(notes, DocumentFormat::txt);
  EXPECT_EQ(MCPTools::lastOCRPages, 0);
  EXPECT_FALSE(MCPTools::lastPDFReport);
}

TEST_F(PDFParserTest, DocumentParserReadsPDFs) {
  std::string path = write(PDFBuilder().textPage("Quarterly figures"), "figures.pdf");
  Document doc = DocumentParser::parse(path);
  EXPECT_EQ(doc.format, DocumentFormat::pdf);
  EXPECT_EQ(doc.filename, "figures.pdf");
  EXPECT_EQ(doc.rawText, "Quarterly figures");
  EXPECT_EQ(doc.fileSize, static_cast<int64_t>(fs::file_size(path)));
}

// Real PDFs from public test suites: each is read, or fails with "Could not open PDF" (a
// password-protected one with its explanation), and never crashes or hangs. One test per file,
// so that the scans (recognised page by page) spread over the test runner's jobs.
const std::string kOffice = std::string(ZELK_TESTDATA_DIR) + "/office";

std::vector<std::string> realPDFs() {
  std::vector<std::string> files;
  for (const char* folder : {"pdf-pypdf", "pdf-ocrmypdf", "textract/tests/pdf"}) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(kOffice + "/" + folder, ec), end; !ec && it != end;
         it.increment(ec)) {
      std::string ext = it->path().extension().string();
      std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
      if (ext == ".pdf") files.push_back(fs::relative(it->path(), kOffice).string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Page counts (and whether a password is needed) from the suite's manifest.
std::map<std::string, std::pair<std::string, std::string>> manifest() {
  std::map<std::string, std::pair<std::string, std::string>> out;
  std::istringstream lines(fileText(kOffice + "/MANIFEST-pdf.tsv"));
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    std::vector<std::string> cols;
    std::stringstream cells(line);
    std::string cell;
    while (std::getline(cells, cell, '\t')) cols.push_back(cell);
    if (cols.size() >= 7) out[cols[0]] = {cols[3], cols[6]};
  }
  return out;
}

std::string withoutWhitespace(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) out += c;
  }
  return out;
}

class RealPDF : public ::testing::TestWithParam<std::string> {};

TEST_P(RealPDF, ReadsOrFailsCleanly) {
  const std::string& name = GetParam();
  std::string path = kOffice + "/" + name;
  auto info = manifest();
  ASSERT_TRUE(info.count(name)) << "not in the manifest";
  const auto& [pages, status] = info[name];

  PDFParser parser;
  std::string text, error;
  try {
    text = parser.parse(path);
  } catch (const DocumentParser::ParseError& e) {
    error = e.what();
  }
  if (status.find("needs-password") != std::string::npos) {
    EXPECT_EQ(error.rfind(kNotAPDF + ": it is password-protected", 0), 0u) << error;
    return;
  }
  if (pages.empty()) {
    EXPECT_EQ(error, kNotAPDF);
    return;
  }
  ASSERT_EQ(error, "");
  EXPECT_EQ(parser.pageCount(), std::stoi(pages));
  EXPECT_TRUE(std::is_sorted(parser.ocrPages().begin(), parser.ocrPages().end()));
  EXPECT_EQ(parser.ocrPageCount(), static_cast<int>(parser.ocrPages().size()));

  // Where the suite gives the expected text, the words match.
  struct Expectation {
    const char* file;
    const char* expected;
    double recall;
  };
  const Expectation expectations[] = {
      {"pdf-pypdf/resources/crazyones.pdf", "pdf-pypdf/resources/crazyones.txt", 0.98},
      {"textract/tests/pdf/raw_text.pdf", "textract/tests/pdf/raw_text.txt", 0.98},
      {"textract/tests/pdf/two_column.pdf", "textract/tests/pdf/two_column.txt", 0.98},
      // Recognised text is approximate on both sides.
      {"textract/tests/pdf/ocr_text.pdf", "textract/tests/pdf/ocr_text.txt", 0.85},
      {"pdf-ocrmypdf/tests/resources/linn.pdf", "pdf-ocrmypdf/tests/resources/linn.txt", 0.7},
  };
  for (const Expectation& e : expectations) {
    if (name != e.file) continue;
    std::vector<std::string> expected = wordsOf(fileText(kOffice + "/" + e.expected));
    ASSERT_FALSE(expected.empty());
    EXPECT_GE(wordRecall(expected, text), e.recall) << text;
  }
  if (name == "textract/tests/pdf/standardized_text.pdf") {
    EXPECT_EQ(withoutWhitespace(text), "thequickbrownfoxjumpsoverthelazydog");
  }
  if (name == "textract/tests/pdf/ocr_text.pdf") {
    EXPECT_EQ(parser.ocrPages(), (std::vector<int>{1, 2, 3}));
  }
  if (name.find("encryption/") != std::string::npos) {
    EXPECT_NE(text.find("pdf encryption test"), std::string::npos) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Suites, RealPDF, ::testing::ValuesIn(realPDFs()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name;
                           for (char c : info.param) {
                             name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           }
                           return name;
                         });

TEST(RealPDFs, SuitesArePresent) { EXPECT_GE(realPDFs().size(), 50u); }

}  // namespace
}  // namespace zelk
