// The workbook reader: the whole workbook as text (one "## " section of CSV per sheet), and
// the workbook's structure and entry streaming that the table reader builds on.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "documents/cell_format.h"
#include "documents/internal/xml_stream.h"
#include "documents/internal/zip_package.h"

namespace zelk {

// Reads the shared-string table: one text per "si", the concatenation of its "t" pieces.
class SharedStringsParser : public documents::XMLHandler {
 public:
  void startElement(std::string_view name, const char** attributes) override;
  void endElement(std::string_view name) override;
  void characters(std::string_view text) override;

  std::vector<std::string> strings;
  std::string currentValue;
  bool inT = false;
};

// Reads the sheet list and the date system of xl/workbook.xml.
class WorkbookParser : public documents::XMLHandler {
 public:
  struct Entry {
    std::string name, relID;
    bool hidden;
  };
  void startElement(std::string_view name, const char** attributes) override;

  std::vector<Entry> sheets;
  bool date1904 = false;
};

// Reads relationship id -> target.
class RelationshipsParser : public documents::XMLHandler {
 public:
  void startElement(std::string_view name, const char** attributes) override;
  std::map<std::string, std::string> targets;
};

// Reads the custom number formats and the number format of each cell format.
class StylesParser : public documents::XMLHandler {
 public:
  void startElement(std::string_view name, const char** attributes) override;
  void endElement(std::string_view name) override;
  // The kinds of the cell formats, in order.
  std::vector<CellFormat::Kind> kinds() const;

  std::map<int, std::string> custom;
  std::vector<int> xfs;
  bool inCellXfs = false;
};

// Reads a worksheet's rows as the texts a person sees. Each finished, non-empty row goes to
// onRow when it is set, otherwise into `rows`.
class WorksheetParser : public documents::XMLHandler {
 public:
  WorksheetParser(const std::vector<std::string>& sharedStrings, const CellFormat& format)
      : sharedStrings(sharedStrings), format(format) {}
  void startElement(std::string_view name, const char** attributes) override;
  void endElement(std::string_view name) override;
  void characters(std::string_view text) override;
  bool keepGoing() override { return !stop; }

  // Columns past Excel's last (XFD) are treated as unknown, so a crafted reference can't pad
  // a row with billions of cells.
  static constexpr long kMaxColumns = 16384;
  // The 0-based column of a cell reference such as "AB12"; nullopt without a leading letter.
  static std::optional<long> column(std::string_view reference);

  const std::vector<std::string>& sharedStrings;
  const CellFormat& format;
  std::function<void(std::vector<std::string>&&)> onRow;
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> currentRow;
  std::string currentCellValue;
  std::string currentCellType;
  std::optional<long> currentCellColumn;
  long long currentCellStyle = 0;
  bool inV = false, inIs = false, isInlineString = false;
  bool stop = false;  // set by onRow's owner to end the parse
};

namespace XLSXParser {

struct Workbook {
  struct Sheet {
    std::string name;
    std::string file;  // entry path inside the package, such as xl/worksheets/sheet1.xml
    bool hidden = false;
  };
  std::vector<Sheet> sheets;
  std::vector<std::string> sharedStrings;
  CellFormat format;
};

// Every sheet with rows, as "## {name}[ (hidden in the workbook)]\n{CSV}", joined by blank
// lines. Throws ParseError::parseFailure "No worksheets found in XLSX" or the unpacked-size
// limit's message.
std::string parse(const std::string& path);
std::string parseBytes(std::string_view bytes);

// The workbook's sheets, shared strings and cell formats. Throws
// ParseError::parseFailure("No worksheets found in XLSX").
Workbook workbook(const std::string& path);

// Streams one entry's XML into the handler without holding the entry in memory; the handler's
// keepGoing() returning false stops the stream (a success). Throws
// ParseError::parseFailure("Failed to extract {entry}") when the entry can't be read, or the
// unpacked-size limit's message past limitMB.
void streamEntry(const std::string& name, const std::string& path, documents::XMLHandler& handler,
                 int limitMB = documents::kWorkbookUnpackLimitMB);

// One entry's bytes; throws ParseError::parseFailure("Failed to extract {entry}").
std::string extractEntry(const std::string& name, const std::string& path);

// The text of one cell by its type attribute ("s", "b", "e", "n", "str", ...).
std::string cellText(std::string_view value, std::string_view type, long long style,
                     const std::vector<std::string>& sharedStrings, const CellFormat& format);

// The same as workbook() and parse() over an open package (nullptr: not a zip archive).
Workbook workbookOf(documents::ZipPackage* package, documents::UnpackBudget& budget);

}  // namespace XLSXParser
}  // namespace zelk
