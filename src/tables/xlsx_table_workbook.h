// The workbook side of the table reader: an .xlsx file's sheets, each streamed row by row out of
// the package through the workbook reader, with cells rendered by the workbook's cell formats.
// Memory stays at one inflated chunk plus one row, whatever the sheet's size. One object serves
// one reader on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "documents/cell_format.h"
#include "documents/internal/xml_stream.h"
#include "documents/office_package.h"
#include "documents/xlsx_parser.h"
#include "tables/table_reader.h"

namespace zelk {

// The streaming handler for one sheet: rows in sheet order, a row the XML skips delivered empty,
// cells placed at their referenced columns, trailing empty cells removed. `emit` returning false
// sets `stopped` and ends the parse.
class SheetRows : public documents::XMLHandler {
 public:
  // Row numbers past Excel's last row don't open a gap of empty rows; such a row takes the next
  // number instead, so that a crafted reference can't make billions of rows.
  static constexpr int64_t kMaxRowNumber = 1048576;

  SheetRows(const std::vector<std::string>& strings, const CellFormat& format,
            TableReader::RowCallback emit)
      : strings(strings), format(format), emit(std::move(emit)) {}

  void startElement(std::string_view name, const char** attributes) override;
  void endElement(std::string_view name) override;
  void characters(std::string_view text) override;
  bool keepGoing() override { return !stopped; }

  // The 0-based column of a reference's leading capital letters ("A" 0, "AA" 26); nullopt
  // without one. A column past the widest row kept (TableReader::kMaxRowFields) gives that
  // limit, and the row keeps only its cells before it.
  static std::optional<size_t> column(std::string_view reference);

  const std::vector<std::string>& strings;
  const CellFormat& format;
  TableReader::RowCallback emit;
  bool stopped = false;
  std::vector<std::string> row;
  int64_t number = 0;
  int64_t next = 1;
  std::string val;
  std::string type;
  long long style = 0;
  std::optional<size_t> col;
  bool inV = false, inIs = false;
  bool inlineString = false;

 private:
  bool send(int64_t n, const std::vector<std::string>& cells);
  size_t rowBytes_ = 0;
  bool rowFull_ = false;
};

class XLSXTableWorkbook : public TableWorkbook {
 public:
  // Reads the workbook's parts, through a temporary copy when the path holds a character that
  // unzip would take as a pattern. Throws the workbook reader's ParseError (the copy is removed
  // first), or std::filesystem::filesystem_error when the copy can't be made.
  explicit XLSXTableWorkbook(const std::filesystem::path& url);

  std::vector<TableReader::Sheet> sheets() const override;
  // Throws ParseError "Failed to extract {entry}" when the sheet can't be read, and whatever the
  // row callback throws.
  void streamSheet(const TableReader::Sheet& sheet, const TableReader::RowCallback& row) override;
  std::optional<std::filesystem::path> temporaryCopy() const override;

  const XLSXParser::Workbook& workbook() const { return book_; }

 private:
  SafeURL safe_;
  XLSXParser::Workbook book_;
};

// A reader for any table file: an .xlsx file (by its extension, in any case) with its workbook,
// any other file as delimited text. Throws like XLSXTableWorkbook's constructor.
std::unique_ptr<TableReader> openTableReader(const std::filesystem::path& url);

}  // namespace zelk
