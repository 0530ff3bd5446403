// A table question as the AI app asks it (filters, groups, measures, sort, limit), checked
// strictly, and its plan: the question bound to one table's layout with every column resolved,
// every filter value typed and every convention settled. Failures are TableRefusal with the
// exact text the AI app sees. Plain values; any thread may use its own copies.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/json_value.h"
#include "tables/decimal_number.h"
#include "tables/table_cell.h"
#include "tables/table_column.h"
#include "tables/table_layout.h"
#include "tables/table_reader.h"

namespace zelk {

struct TableAnswer;
class ProtectedCells;

// A question that can't be answered as asked. what() is the message.
struct TableRefusal : std::runtime_error {
  enum class Kind { invalid, hidden, ambiguous, tooManyGroups };

  explicit TableRefusal(std::string message, Kind kind = Kind::invalid,
                        std::optional<std::string> rule = std::nullopt)
      : std::runtime_error(message),
        message(std::move(message)),
        rule(std::move(rule)),
        kind(kind) {}

  std::string message;
  // The raw value of the category whose rule hid a column.
  std::optional<std::string> rule;
  Kind kind;
};

// "invalid", "hidden", "ambiguous", "too_many_groups".
std::string_view toString(TableRefusal::Kind kind);

struct TableQuestion {
  enum class FilterOp {
    equals,
    notEquals,
    oneOf,
    greaterThan,
    lessThan,
    between,
    contains,
    isBlank
  };
  enum class Period { day, week, month, quarter, year };
  enum class MeasureOp { count, countDistinct, sum, average, median, min, max };

  struct Filter {
    std::string column;
    FilterOp op = FilterOp::equals;
    std::vector<std::string> values;
  };
  struct Group {
    std::string column;
    std::optional<Period> period;
  };
  struct Measure {
    MeasureOp op = MeasureOp::count;
    std::optional<std::string> column;
  };
  struct Sort {
    std::string by;  // a group column or a measure label
    bool descending = false;
  };

  static constexpr size_t kMaxGroupColumns = 3;

  std::vector<Filter> filters;
  std::vector<Group> groupBy;
  std::vector<Measure> measures;  // empty: one count of rows
  std::vector<Sort> sort;
  std::optional<int64_t> limit;  // at least 1
  std::optional<TableCell::Decimal> decimal;
  std::optional<TableCell::DateOrder> dateOrder;

  TableQuestion() = default;
  // Parses and checks the question object; throws TableRefusal (kind invalid) at the first fault.
  // Null members count as absent.
  explicit TableQuestion(const JSONObject& json);

  // "filters", "group_by", "measures", "sort", "limit", "date_order", "decimal".
  static const std::vector<std::string>& fields();

  // A one-line summary: "sum of Amount by Date (month), where Region equals \"North\"".
  std::string words() const;

  // Works the question out over every row of the table, read again with its known layout
  // (columns, verdicts and the first layout's data rows). `cells` hides protected values of this
  // question (the TableHidden::Cells made for the layout's headers and the current rules; see
  // HiddenCellsAdapter in table_answer.h). Throws TableRefusal (the plan's, too many groups, an
  // unresolvable sort entry); reading errors and the cells' errors pass through.
  TableAnswer answer(TableReader& reader, const TableReader::Sheet* sheet,
                     const TableLayout& layout, ProtectedCells& cells) const;
};

std::string_view toString(TableQuestion::FilterOp op);  // "equals", "not_equals", ...
std::string_view toString(TableQuestion::Period period);
std::string_view toString(TableQuestion::MeasureOp op);  // "count", "count_distinct", ...
std::optional<TableQuestion::FilterOp> filterOpFromString(std::string_view raw);
std::optional<TableQuestion::Period> periodFromString(std::string_view raw);
std::optional<TableQuestion::MeasureOp> measureOpFromString(std::string_view raw);

// A typed cell value: a number (exact), a day (days since 1970-01-01), a yes/no or a text.
struct Typed {
  enum class Kind { number, day, boolean, text };

  Kind kind = Kind::text;
  DecimalNumber number;
  int64_t day = 0;
  bool flag = false;
  std::string text;

  static Typed ofNumber(DecimalNumber n);
  static Typed ofDay(int64_t d);
  static Typed ofBool(bool b);
  static Typed ofText(std::string t);
};

struct QuestionPlan {
  // A column as the plan reads it: its position, its layout entry and the conventions to read it
  // with (the column's own, or the question's where the column was ambiguous).
  struct Col {
    size_t index = 0;
    TableColumn column;
    TableCell::Decimal decimal = TableCell::Decimal::point;
    TableCell::DateOrder order = TableCell::DateOrder::monthFirst;

    // The cell read as the column's kind; none when it doesn't read (number, date, yes/no).
    std::optional<Typed> read(std::string_view text) const;
    // A typed value as text: plain decimal notation, "YYYY-MM-DD", "yes"/"no", the text itself.
    static std::string canonical(const Typed& typed);
  };

  struct FilterPlan {
    Col col;
    TableQuestion::FilterOp op = TableQuestion::FilterOp::equals;
    bool wantBlank = true;  // for is_blank
    std::vector<Typed> targets;
    std::string words;
    // Text targets folded for comparison ignoring case and diacritics.
    std::vector<std::string> foldedTargets;

    // Whether a value (read from a non-blank cell) passes. Values and targets compare only
    // within one kind; texts ignoring case and diacritics.
    bool test(const Typed& value) const;
  };

  struct GroupPlan {
    Col col;
    std::optional<TableQuestion::Period> period;  // always set for a date column
  };

  struct MeasurePlan {
    TableQuestion::MeasureOp op = TableQuestion::MeasureOp::count;
    std::optional<Col> col;
    std::string label;  // "count", "sum of Amount"
  };

  std::vector<FilterPlan> filters;
  std::vector<GroupPlan> groups;
  std::vector<MeasurePlan> measures;
  std::vector<std::string> notes;  // in the order written, at most one per column

  QuestionPlan() = default;
  // Binds the question to the layout; throws TableRefusal (invalid, hidden or ambiguous).
  QuestionPlan(const TableQuestion& question, const TableLayout& layout);

  // A filter value typed by its column; throws TableRefusal. A number is read the way JSON
  // writes numbers (decimal point) before the column's own convention.
  static Typed target(std::string_view value, const Col& col);
  // Two values of one kind in order (texts ignoring case and diacritics).
  static std::weak_ordering order(const Typed& a, const Typed& b);

  struct PeriodKey {
    int64_t sortDay;  // the period's first day (a week's Monday)
    std::string key;  // "2024-03-05", "2024-W05", "2024-03", "2024-Q1", "2024"
  };
  static PeriodKey period(int64_t day, TableQuestion::Period period);
  static TableCell::Civil civil(int64_t day);
  // "YYYY-MM-DD".
  static std::string dayText(int64_t day);
};

}  // namespace zelk
