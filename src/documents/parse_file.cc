#include "documents/parse_file.h"

#include <filesystem>

#include "documents/csv_parser.h"
#include "documents/document_parser.h"
#include "documents/docx_parser.h"
#include "documents/file_limit.h"
#include "documents/html_readers.h"
#include "documents/json_readers.h"
#include "documents/pdf_parser.h"
#include "documents/pptx_parser.h"
#include "documents/read_service.h"
#include "documents/text_parser.h"
#include "documents/xlsx_parser.h"
#include "platform/paths.h"
#include "protocol/mcp_tool_error.h"

namespace zelk::MCPTools {

int lastOCRPages = 0;
std::optional<PDFReport> lastPDFReport;

namespace {

// A fresh reader per file; its counters become the report, also when the parse failed.
std::string parsePDF(const std::string& path) {
  PDFParser parser;
  auto report = [&] {
    lastOCRPages = parser.ocrPageCount();
    lastPDFReport = PDFReport{parser.pageCount(), parser.ocrPages(), parser.thinPages()};
  };
  try {
    std::string text = parser.parse(path);
    report();
    return text;
  } catch (...) {
    report();
    throw;
  }
}

}  // namespace

std::string parseOpened(const std::string& path, DocumentFormat format) {
  switch (format) {
    case DocumentFormat::pdf: return parsePDF(path);
    case DocumentFormat::docx: return DOCXParser::parse(path);
    case DocumentFormat::pptx: return PPTXParser::parse(path);
    case DocumentFormat::xlsx: return XLSXParser::parse(path);
    case DocumentFormat::csv: return CSVParser::parse(path);
    case DocumentFormat::txt:
    case DocumentFormat::md: return TextParser::parse(path);
    case DocumentFormat::json: return parseJSON(path);
    case DocumentFormat::html: return parseHTML(path);
  }
  return "";
}

std::string parseFile(const std::string& path, DocumentFormat format) {
  lastOCRPages = 0;
  lastPDFReport.reset();
  if (auto excess = FileLimit::exceeds(path)) {
    throw MCPToolError::parseFailure(platform::lastPathComponent(path) + " is " +
                                     FileLimit::reason(*excess) + ".");
  }
  if (canOpen(path)) return parseOpened(path, format);
  std::optional<std::string> copy = ReadService::borrow(path);
  if (!copy) throw MCPToolError::refused(blockedMessage(path));
  struct RemoveCopy {
    const std::string& path;
    ~RemoveCopy() {
      std::error_code ec;
      std::filesystem::remove(path, ec);
    }
  } remove{*copy};
  return parseOpened(*copy, format);
}

void checkSize(const std::string& path) {
  if (auto excess = FileLimit::exceeds(path)) {
    throw MCPToolError::parseFailure(platform::lastPathComponent(path) + " is " +
                                     FileLimit::reason(*excess) +
                                     " for reading a whole file. Use smart_select with a query "
                                     "to read only the relevant parts.");
  }
}

}  // namespace zelk::MCPTools
