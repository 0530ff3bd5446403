// Builds small Office packages in code, so that each fixture shows exactly one fault.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zelk::testing {

struct ZipEntry {
  std::string name;
  std::string data;
};
using ZipEntries = std::vector<ZipEntry>;

// Writes the entries, deflated, to a new zip file at path (replacing any file there).
void writeZip(const std::string& path, const ZipEntries& entries);
// The same zip as bytes.
std::string zipBytes(const ZipEntries& entries);

// A Word package whose main part holds these body paragraphs/tables (WordprocessingML).
ZipEntries docxPackage(const std::string& bodyXML);
std::string wordDocument(const std::string& bodyXML);
// <w:p> with one run per text.
std::string wordParagraph(const std::string& text);

// A presentation: slide entries (name -> paragraphs), masters and layouts likewise.
struct Part {
  std::string name;
  std::vector<std::string> paragraphs;
};
ZipEntries pptxPackage(const std::vector<Part>& slides, const std::vector<Part>& masters = {},
                       const std::vector<Part>& layouts = {});
std::string drawingPart(const std::vector<std::string>& paragraphs);

// A workbook with sheets (name, state, sheet XML rows), shared strings and styles.
struct SheetSpec {
  std::string name;
  std::string rowsXML;  // the <row> elements
  std::string state;    // "" for visible
};
struct WorkbookSpec {
  std::vector<SheetSpec> sheets;
  std::vector<std::string> sharedStrings;
  std::string numFmtsXML;       // <numFmt .../> elements
  std::vector<int> cellXfs;     // numFmtId of each cell format
  bool date1904 = false;
  bool withWorkbookPart = true;
};
ZipEntries xlsxPackage(const WorkbookSpec& spec);
WorkbookSpec withSheets(std::vector<SheetSpec> sheets);
std::string worksheet(const std::string& rowsXML);

}  // namespace zelk::testing
