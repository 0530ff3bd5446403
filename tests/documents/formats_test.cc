// Formats from extensions, the size limits and the two read paths' order of checks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "documents/document_format.h"
#include "documents/document_parser.h"
#include "documents/file_limit.h"
#include "documents/parse_file.h"
#include "documents/read_service.h"
#include "protocol/mcp_tool_error.h"
#include "test_support.h"
#include "zip_builder.h"

namespace zelk {
namespace {

using testing::TempDir;

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A sparse file of the given size: no disk blocks are written.
void sizedFile(const std::string& path, off_t size) {
  int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, size), 0);
  ::close(fd);
}

TEST(DocumentFormat, FromExtension) {
  struct Case {
    const char* path;
    std::optional<DocumentFormat> format;
  } cases[] = {
      {"/a/b/report.pdf", DocumentFormat::pdf},   {"notes.TXT", DocumentFormat::txt},
      {"page.HTM", DocumentFormat::html},         {"page.html", DocumentFormat::html},
      {"data.tsv", DocumentFormat::csv},          {"data.Csv", DocumentFormat::csv},
      {"deck.pptx", DocumentFormat::pptx},        {"book.XLSX", DocumentFormat::xlsx},
      {"a.b.md", DocumentFormat::md},             {"x.json", DocumentFormat::json},
      {"letter.docx", DocumentFormat::docx},      {"old.doc", std::nullopt},
      {"old.xls", std::nullopt},                  {"README", std::nullopt},
      {"/dir.json/file", std::nullopt},           {".json", std::nullopt},
      {"trailing.", std::nullopt},                {"rich.rtf", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DocumentFormats::from(c.path), c.format) << c.path;
  }
}

TEST(DocumentFormat, RawValuesAreTheDisplayNames) {
  std::vector<std::string> names;
  for (DocumentFormat f : DocumentFormats::allCases) {
    names.push_back(DocumentFormats::toString(f));
    EXPECT_EQ(DocumentFormats::fromString(DocumentFormats::toString(f)), f);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"PDF", "DOCX", "PPTX", "XLSX", "CSV", "TXT", "MD",
                                             "JSON", "HTML"}));
  EXPECT_EQ(DocumentFormats::fromString("pdf"), std::nullopt);
  EXPECT_EQ(DocumentFormats::fromString("TSV"), std::nullopt);
  EXPECT_TRUE(DocumentFormats::isSpreadsheet(DocumentFormat::xlsx));
  EXPECT_TRUE(DocumentFormats::isSpreadsheet(DocumentFormat::csv));
  EXPECT_FALSE(DocumentFormats::isSpreadsheet(DocumentFormat::json));
}

TEST(FileLimit, ExactLimitPassesOneByteMoreIsRefused) {
  TempDir dir;
  struct Case {
    const char* name;
    off_t size;
    bool refused;
    const char* reason;
  } cases[] = {
      {"exact.txt", 104857600, false, ""},
      {"over.txt", 104857601, true, "100 MB, over zelk's 100 MB limit"},
      {"BIG.XLSX", 60 * 1048576, true, "60 MB, over zelk's 50 MB limit"},
      {"big.csv", 60 * 1048576, false, ""},
      {"book.xlsx", 50 * 1048576, false, ""},
      {"huge.pdf", 105850000, true, "100 MB, over zelk's 100 MB limit"},
  };
  for (const Case& c : cases) {
    std::string path = dir.file(c.name);
    sizedFile(path, c.size);
    auto excess = FileLimit::exceeds(path);
    EXPECT_EQ(excess.has_value(), c.refused) << c.name;
    if (excess) {
      EXPECT_EQ(FileLimit::reason(*excess), c.reason) << c.name;
    }
  }
  EXPECT_EQ(FileLimit::exceeds(dir.file("missing.txt")), std::nullopt);
}

TEST(DocumentParser, SizeIsCheckedBeforeFormat) {
  TempDir dir;
  sizedFile(dir.file("movie.Doc"), 200 * 1048576);
  try {
    DocumentParser::parse(dir.file("movie.Doc"));
    FAIL();
  } catch (const DocumentParser::ParseError& e) {
    EXPECT_EQ(e.kind(), DocumentParser::ParseError::Kind::fileTooLarge);
    EXPECT_STREQ(e.what(), "This file is 200 MB, over zelk's 100 MB limit.");
  }
  writeFile(dir.file("small.Doc"), "x");
  try {
    DocumentParser::parse(dir.file("small.Doc"));
    FAIL();
  } catch (const DocumentParser::ParseError& e) {
    EXPECT_EQ(e.kind(), DocumentParser::ParseError::Kind::unsupportedFormat);
    EXPECT_STREQ(e.what(), ".Doc files are not supported.");
  }
}

TEST(DocumentParser, ReturnsTheRecord) {
  TempDir dir;
  writeFile(dir.file("a.md"), "# Title\n\nBody\n");
  Document d = DocumentParser::parse(dir.file("a.md"));
  EXPECT_EQ(d.url, dir.file("a.md"));
  EXPECT_EQ(d.filename, "a.md");
  EXPECT_EQ(d.format, DocumentFormat::md);
  EXPECT_EQ(d.rawText, "# Title\n\nBody\n");
  EXPECT_EQ(d.fileSize, 14);
  EXPECT_THROW(DocumentParser::parse(dir.file("missing.md")), std::system_error);
}

TEST(DocumentParser, ReadersUseTheDocumentPathMessages) {
  TempDir dir;
  writeFile(dir.file("app.html"), "<html><body><script>render()</script></body></html>");
  writeFile(dir.file("bad.json"), "{\"a\": ");
  writeFile(dir.file("scan.pdf"), "%PDF-1.4 not really");
  struct Case {
    const char* name;
    const char* message;
  } cases[] = {
      {"app.html",
       "Could not read file: No readable text found \u2014 file may be a JavaScript-rendered app"},
      {"scan.pdf", "Could not read file: Could not open PDF"},
  };
  for (const Case& c : cases) {
    try {
      DocumentParser::parse(dir.file(c.name));
      ADD_FAILURE() << c.name;
    } catch (const DocumentParser::ParseError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  try {
    DocumentParser::parse(dir.file("bad.json"));
    ADD_FAILURE();
  } catch (const DocumentParser::ParseError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Could not read file: Invalid JSON: ", 0), 0u) << e.what();
  }
}

TEST(ParseFile, RefusesFilesOverTheLimitByName) {
  TempDir dir;
  sizedFile(dir.file("big.txt"), 104857601);
  try {
    MCPTools::parseFile(dir.file("big.txt"), DocumentFormat::txt);
    FAIL();
  } catch (const MCPToolError& e) {
    EXPECT_EQ(e.kind(), MCPToolError::Kind::parseFailure);
    EXPECT_STREQ(e.what(), "Failed to read file: big.txt is 100 MB, over zelk's 100 MB limit.");
  }
  try {
    MCPTools::checkSize(dir.file("big.txt"));
    FAIL();
  } catch (const MCPToolError& e) {
    EXPECT_STREQ(e.what(),
                 "Failed to read file: big.txt is 100 MB, over zelk's 100 MB limit for reading a "
                 "whole file. Use smart_select with a query to read only the relevant parts.");
  }
  sizedFile(dir.file("ok.txt"), 10);
  EXPECT_NO_THROW(MCPTools::checkSize(dir.file("ok.txt")));
}

TEST(ParseFile, MissingFileFailsInsideTheReader) {
  TempDir dir;
  EXPECT_TRUE(MCPTools::canOpen(dir.file("missing.csv")));
  try {
    MCPTools::parseFile(dir.file("missing.csv"), DocumentFormat::csv);
    FAIL();
  } catch (const DocumentParser::ParseError& e) {
    EXPECT_STREQ(e.what(), "Could not read file: Could not read CSV");
  }
}

TEST(ParseFile, UnreadableFileIsRefusedWithTheBlockedMessage) {
  if (geteuid() == 0) GTEST_SKIP() << "root opens every file";
  TempDir dir;
  writeFile(dir.file("secret.txt"), "x");
  chmod(dir.file("secret.txt").c_str(), 0);
  EXPECT_FALSE(MCPTools::canOpen(dir.file("secret.txt")));
  try {
    MCPTools::parseFile(dir.file("secret.txt"), DocumentFormat::txt);
    FAIL();
  } catch (const MCPToolError& e) {
    EXPECT_EQ(e.kind(), MCPToolError::Kind::refused);
    EXPECT_EQ(std::string(e.what()), MCPTools::blockedMessage(dir.file("secret.txt")));
  }
}

TEST(ParseFile, BlockedMessageNamesTheFile) {
  EXPECT_EQ(MCPTools::blockedMessage("/home/u/Desktop/report.pdf"),
            "zelk can't open report.pdf: permission denied for this user account. smart_select "
            "still searches it if it is in a base zelk has indexed.");
}

TEST(ParseFile, ResetsTheReportOfTheLastPDF) {
  TempDir dir;
  testing::writeZip(dir.file("a.docx"), testing::docxPackage(testing::wordParagraph("Hi")));
  writeFile(dir.file("a.pdf"), "not a pdf");
  EXPECT_THROW(MCPTools::parseFile(dir.file("a.pdf"), DocumentFormat::pdf),
               DocumentParser::ParseError);
  ASSERT_TRUE(MCPTools::lastPDFReport.has_value());
  EXPECT_EQ(MCPTools::lastPDFReport->pages, 0);
  EXPECT_EQ(MCPTools::lastOCRPages, 0);
  MCPTools::lastOCRPages = 3;
  EXPECT_EQ(MCPTools::parseFile(dir.file("a.docx"), DocumentFormat::docx), "Hi\n");
  EXPECT_FALSE(MCPTools::lastPDFReport.has_value());
  EXPECT_EQ(MCPTools::lastOCRPages, 0);
}

}  // namespace
}  // namespace zelk
