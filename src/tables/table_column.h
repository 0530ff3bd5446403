// A typed column of a table layout: its kind, the conventions it is read with and the notes that
// explain the decision to the AI app. A plain value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tables/table_cell.h"

namespace zelk {

struct TableColumn {
  enum class Kind { number, date, text, yesno };
  enum class Ambiguity { decimal, dateOrder };

  std::string name;
  Kind kind = Kind::text;
  TableCell::Decimal decimal = TableCell::Decimal::comma;
  TableCell::DateOrder dateOrder = TableCell::DateOrder::monthFirst;
  std::optional<Ambiguity> ambiguous;
  bool proven = false;
  int64_t filled = 0;
  int64_t blank = 0;
  int64_t misfit = 0;
  std::vector<std::string> notes;
  std::vector<std::string> examples;
  // The raw value of the sensitive category whose rule hides the whole column.
  std::optional<std::string> hiddenBy;
  bool someHidden = false;
};

std::string_view toString(TableColumn::Kind kind);  // "number", "date", "text", "yes/no"
std::optional<TableColumn::Kind> columnKindFromString(std::string_view raw);
std::string_view toString(TableColumn::Ambiguity ambiguity);  // "decimal", "date_order"

}  // namespace zelk
