// The one read path of the tools: size limit, access check, then the format's reader.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "documents/document_format.h"

namespace zelk::MCPTools {

// What the last PDF parse counted; read by the same tool call right after parseFile returns.
// Plain process-wide values without a lock.
struct PDFReport {
  int pages = 0;
  std::vector<int> ocr;   // 1-based page numbers read by OCR
  std::vector<int> thin;  // 1-based page numbers that gave little text
};
extern int lastOCRPages;
extern std::optional<PDFReport> lastPDFReport;

// The document's text. Resets the PDF report, refuses files over FileLimit with
// MCPToolError::parseFailure("{filename} is {reason}."), borrows a copy through the read
// service when the file may not be opened (refusing with blockedMessage when none comes), and
// reads through parseOpened. Reader failures propagate unchanged.
std::string parseFile(const std::string& path, DocumentFormat format);
// Dispatches to the format's reader.
std::string parseOpened(const std::string& path, DocumentFormat format);
// The size guard of the whole-file tools: MCPToolError::parseFailure("{filename} is {reason}
// for reading a whole file. Use smart_select with a query to read only the relevant parts.").
void checkSize(const std::string& path);

}  // namespace zelk::MCPTools
