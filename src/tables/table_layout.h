// The layout of a table as people export it: where the header is, what the columns are called and
// how they read, which rows are data, totals or blank, and where a second table begins. The pass
// reads the table once through TableReader and holds at most 40 rows; a layout is a plain value.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "protocol/json_value.h"
#include "tables/table_column.h"
#include "tables/table_reader.h"

namespace zelk {

struct TableLayout {
  struct SheetInfo {
    std::string name;
    bool hidden = false;
    bool hasData = false;
  };

  using HeaderCallback = std::function<void(const std::vector<std::string>& headers)>;

  static constexpr size_t kGatheredRows = 40;
  static constexpr double kHeaderWidthShare = 0.6;
  static constexpr double kSlowReadSeconds = 5.0;

  std::optional<std::string> sheet;
  std::optional<int64_t> headerRow;
  std::vector<std::string> headers;
  std::vector<TableColumn> columns;
  int64_t rows = 0;
  int64_t blankRows = 0;
  std::vector<int64_t> totalsRows;
  std::optional<int64_t> secondTableRow;
  std::vector<std::string> notes;

  // The layout pass (the system's `TableLayout.rows`; a C++ member can't share the name of the
  // field). Without `known` it types the columns; with `known` (an earlier layout of the same
  // table) it treats the same rows as data, stops at the same second table and builds no columns.
  // `header` is called once with the header texts (empty without a header row) before the first
  // data row; `row` with each data row, false stopping the reading. Reading errors pass through.
  static TableLayout read(TableReader& reader, const TableReader::Sheet* sheet,
                          const TableLayout* known, const HeaderCallback& header,
                          const TableReader::RowCallback& row);

  // One entry per sheet of a workbook, in workbook order; empty for a delimited file. A sheet
  // that fails to stream counts as having no data.
  static std::vector<SheetInfo> sheets(TableReader& reader);

  static std::optional<size_t> headerIndex(const std::vector<std::vector<std::string>>& rows);
  static bool isLabel(std::string_view text);
  static bool isLabels(const std::vector<std::string>& cells);
  static bool isTotals(const std::vector<std::string>& cells);
  // The header text at that position, or "Column " and the position in spreadsheet letters.
  static std::string columnName(size_t index, const std::vector<std::string>& headers);
  static std::string columnLetters(size_t index);
};

namespace MCPTools {
// The answer of table_question without a question: the layout as a JSON object.
JSONObject layoutObject(const TableLayout& layout, const std::filesystem::path& url);
// The file's modification time as ISO 8601 in UTC; the current time when it can't be read.
std::string modified(const std::filesystem::path& url);
}  // namespace MCPTools

// The label of a hiding rule's category ("SSN", "PASSPORT DATA", ...) by its raw value.
std::string hiddenRuleLabel(std::string_view category);

}  // namespace zelk
