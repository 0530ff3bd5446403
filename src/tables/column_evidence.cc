#include "tables/column_evidence.h"

#include <algorithm>
#include <cmath>

namespace zelk {

std::string_view toString(TableColumn::Kind kind) {
  switch (kind) {
    case TableColumn::Kind::number: return "number";
    case TableColumn::Kind::date: return "date";
    case TableColumn::Kind::text: return "text";
    case TableColumn::Kind::yesno: return "yes/no";
  }
  return "text";
}

std::optional<TableColumn::Kind> columnKindFromString(std::string_view raw) {
  for (auto kind : {TableColumn::Kind::number, TableColumn::Kind::date, TableColumn::Kind::text,
                    TableColumn::Kind::yesno})
    if (toString(kind) == raw) return kind;
  return std::nullopt;
}

std::string_view toString(TableColumn::Ambiguity ambiguity) {
  return ambiguity == TableColumn::Ambiguity::decimal ? "decimal" : "date_order";
}

void ColumnEvidence::add(std::string_view text) {
  // Trimmed once for all the tests below.
  const std::string_view t = TableCell::trimmed(text);
  if (TableCell::isBlankTrimmed(t)) {
    ++blank;
    return;
  }
  ++filled;
  if (examples.size() < 3 && std::find(examples.begin(), examples.end(), text) == examples.end())
    examples.emplace_back(text);
  if (settledText) return;
  if (filled == kSettleAt) {
    int64_t best = std::max({yesno, point, comma, dayFirst, monthFirst});
    if (2 * best < filled) {
      settledText = true;
      return;
    }
  }
  if (TableCell::booleanTrimmed(t)) {
    ++yesno;
    return;
  }
  if (auto shape = TableCell::shape(t)) {
    bool withPoint = TableCell::reads(shape->digits, TableCell::Decimal::point);
    bool withComma = TableCell::reads(shape->digits, TableCell::Decimal::comma);
    size_t digitCount = 0;
    bool marks = false;
    for (char c : shape->digits) {
      if (c >= '0' && c <= '9') ++digitCount;
      else marks = true;  // digits hold only digits, "." and ","
    }
    if (withPoint) ++point;
    if (withComma) ++comma;
    if (withPoint && withComma && marks) ++decimalDiffer;
    if (shape->percent) ++percent;
    if (shape->currency) ++currency;
    if (digitCount >= 2 && shape->digits[0] == '0' && !marks) ++leadingZero;
    if (withPoint || withComma) return;
  }
  auto readings = TableCell::datesTrimmed(t);
  if (readings.dayFirst) ++dayFirst;
  if (readings.monthFirst) ++monthFirst;
  if (readings.dayFirst && readings.monthFirst && *readings.dayFirst != *readings.monthFirst)
    ++dateDiffer;
}

TableColumn ColumnEvidence::column(const std::string& name, double threshold) const {
  TableColumn col;
  col.name = name;
  col.filled = filled;
  col.blank = blank;
  col.examples = examples;
  if (filled == 0) {
    col.notes.push_back("all blank");
    return col;
  }
  int64_t numbers = std::max(point, comma);
  int64_t dates = std::max(dayFirst, monthFirst);
  int64_t best = std::max({numbers, dates, yesno});
  double share = static_cast<double>(best) / static_cast<double>(filled);
  TableColumn::Kind candidate = numbers > dates && numbers > yesno ? TableColumn::Kind::number
                                : dates > yesno                    ? TableColumn::Kind::date
                                                                   : TableColumn::Kind::yesno;
  if (share < threshold) {
    if (share >= 0.5) {
      col.notes.push_back(std::to_string(std::lround(share * 100)) + "% of its cells read as " +
                          std::string(toString(candidate)) + ", under the " +
                          std::to_string(std::lround(threshold * 100)) +
                          "% needed: read as text");
    }
    return col;
  }
  col.kind = candidate;
  col.misfit = filled - best;
  switch (candidate) {
    case TableColumn::Kind::number:
      if (leadingZero > 0) {
        col.kind = TableColumn::Kind::text;
        col.misfit = 0;
        col.notes.push_back("leading zeros: a code, read as text");
        return col;
      }
      if (comma != point) {
        col.decimal = comma > point ? TableCell::Decimal::comma : TableCell::Decimal::point;
        col.proven = true;
      } else {
        col.decimal = TableCell::Decimal::point;
        if (decimalDiffer > 0) {
          col.ambiguous = TableColumn::Ambiguity::decimal;
          col.notes.push_back(std::to_string(decimalDiffer) +
                              " values read differently as 1,234.5 or 1.234,5: give decimal "
                              "(point or comma) to use it");
        }
      }
      if (percent > 0) col.notes.push_back("percentages, measured as fractions (12.5% is 0.125)");
      if (currency > 0) col.notes.push_back("currency symbols removed");
      break;
    case TableColumn::Kind::date:
      if (dayFirst != monthFirst) {
        col.dateOrder = dayFirst > monthFirst ? TableCell::DateOrder::dayFirst
                                              : TableCell::DateOrder::monthFirst;
        col.proven = true;
      } else {
        col.dateOrder = TableCell::DateOrder::monthFirst;
        if (dateDiffer > 0) {
          col.ambiguous = TableColumn::Ambiguity::dateOrder;
          col.notes.push_back(std::to_string(dateDiffer) +
                              " dates read differently day first or month first: give "
                              "date_order (day_first or month_first) to use it");
        }
      }
      break;
    case TableColumn::Kind::yesno:
    case TableColumn::Kind::text:
      break;
  }
  return col;
}

}  // namespace zelk
