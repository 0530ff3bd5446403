// The number formats of a workbook and the rule that turns a stored number into the text a
// person sees in the sheet. Shared by the workbook reader and the table reader.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

struct CellFormat {
  enum class Kind { plain, date, dateTime, time, percent };

  std::vector<Kind> styles;  // by the cell's style number (its index into the cell formats)
  bool date1904 = false;     // the workbook counts dates from 1904

  // The text of a number cell under its style: dates as ISO dates, percentages with "%",
  // binary floating-point noise rounded away; a value that isn't a number is returned as is.
  std::string text(std::string_view value, long long style) const;

  // The kind of number format id, with the workbook's custom format codes.
  static Kind kind(int formatId, const std::map<int, std::string>& custom);
  // The kind of a custom format code.
  static Kind kindOfCode(std::string_view code);
  // The date, date-time or time of day of serial x; nullopt outside the calendar's range and
  // for the 1900 system's 29 February.
  static std::optional<std::string> dateText(Kind kind, bool date1904, double x);
  // x with 15 significant digits, plain decimal notation between 1e-9 and 1e15, no trailing
  // zeros.
  static std::string number(double x);
};

std::string_view toString(CellFormat::Kind kind);

}  // namespace zelk
