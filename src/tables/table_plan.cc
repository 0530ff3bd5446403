// Binding a table question to a layout: columns resolved, privacy and conventions checked, filter
// values typed; and the cell readings and comparisons that the answer pass shares.
#include <algorithm>

#include "platform/unicode.h"
#include "tables/internal/question_text.h"
#include "tables/table_layout.h"
#include "tables/table_question.h"

namespace zelk {

using Kind = TableColumn::Kind;
using FilterOp = TableQuestion::FilterOp;
using MeasureOp = TableQuestion::MeasureOp;

Typed Typed::ofNumber(DecimalNumber n) {
  Typed t;
  t.kind = Kind::number;
  t.number = n;
  return t;
}
Typed Typed::ofDay(int64_t d) {
  Typed t;
  t.kind = Kind::day;
  t.day = d;
  return t;
}
Typed Typed::ofBool(bool b) {
  Typed t;
  t.kind = Kind::boolean;
  t.flag = b;
  return t;
}
Typed Typed::ofText(std::string s) {
  Typed t;
  t.kind = Kind::text;
  t.text = std::move(s);
  return t;
}

namespace {

std::optional<int64_t> dateIn(std::string_view text, TableCell::DateOrder order) {
  auto readings = TableCell::dates(text);
  return order == TableCell::DateOrder::dayFirst ? readings.dayFirst : readings.monthFirst;
}

std::string spaced(std::string_view raw) {
  std::string out(raw);
  std::replace(out.begin(), out.end(), '_', ' ');
  return out;
}

std::string quotedValues(const std::vector<std::string>& values, const std::string& separator) {
  std::string out;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += separator;
    out += "\"" + values[i] + "\"";
  }
  return out;
}

std::string joinedNotes(const std::vector<std::string>& notes) {
  std::string out;
  for (size_t i = 0; i < notes.size(); ++i) out += (i ? "; " : "") + notes[i];
  return out;
}

std::string_view trimSpacesTabs(std::string_view s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// Builds one plan: binding, privacy, conventions and the one note per column.
class Planner {
 public:
  Planner(const TableQuestion& question, const TableLayout& layout, QuestionPlan& plan)
      : question_(question), layout_(layout), plan_(plan) {}

  QuestionPlan::Col bind(const std::string& name) {
    std::string_view wanted = trimSpacesTabs(name);
    const auto& columns = layout_.columns;
    for (size_t i = 0; i < columns.size(); ++i)
      if (columns[i].name == wanted) return col(i);
    std::string lower = platform::lowercased(wanted);
    for (size_t i = 0; i < columns.size(); ++i)
      if (platform::lowercased(columns[i].name) == lower) return col(i);
    throw TableRefusal("there's no column named \"" + name +
                       "\"; use a name as the layout gives it");
  }

  QuestionPlan::Col use(const std::string& name, const std::string& purpose, bool needsReading) {
    QuestionPlan::Col c = bind(name);
    const TableColumn& column = c.column;
    if (column.hiddenBy)
      throw TableRefusal(column.name + " is hidden by your rules (" +
                             hiddenRuleLabel(*column.hiddenBy) + "): it can be counted, never " +
                             purpose,
                         TableRefusal::Kind::hidden, *column.hiddenBy);
    if (needsReading && column.ambiguous == TableColumn::Ambiguity::decimal) {
      if (!question_.decimal)
        throw TableRefusal(column.name +
                               " reads both ways, with a decimal point or a decimal comma; ask "
                               "again with decimal (point or comma)",
                           TableRefusal::Kind::ambiguous);
      c.decimal = *question_.decimal;
      note(c.index, column.name + " read with a decimal " +
                        std::string(toString(*question_.decimal)) + ", as asked");
    } else if (needsReading && column.ambiguous == TableColumn::Ambiguity::dateOrder) {
      if (!question_.dateOrder)
        throw TableRefusal(column.name +
                               " reads both ways, day first or month first; ask again with "
                               "date_order (day_first or month_first)",
                           TableRefusal::Kind::ambiguous);
      c.order = *question_.dateOrder;
      note(c.index, column.name + " read " +
                        (c.order == TableCell::DateOrder::dayFirst ? "day" : "month") +
                        " first, as asked");
    } else if (column.kind != Kind::text && !column.notes.empty()) {
      note(c.index, column.name + ": " + joinedNotes(column.notes));
    }
    return c;
  }

 private:
  QuestionPlan::Col col(size_t index) {
    QuestionPlan::Col c;
    c.index = index;
    c.column = layout_.columns[index];
    c.decimal = c.column.decimal;
    c.order = c.column.dateOrder;
    return c;
  }

  void note(size_t index, std::string text) {
    if (std::find(noted_.begin(), noted_.end(), index) != noted_.end()) return;
    noted_.push_back(index);
    plan_.notes.push_back(std::move(text));
  }

  const TableQuestion& question_;
  const TableLayout& layout_;
  QuestionPlan& plan_;
  std::vector<size_t> noted_;
};

std::string kindWord(Kind kind) { return std::string(toString(kind)); }

}  // namespace

QuestionPlan::QuestionPlan(const TableQuestion& question, const TableLayout& layout) {
  Planner planner(question, layout, *this);

  for (const auto& f : question.filters) {
    FilterPlan fp;
    fp.op = f.op;
    if (f.op == FilterOp::isBlank) {
      fp.col = planner.bind(f.column);
      fp.wantBlank = !(!f.values.empty() && TableCell::boolean(f.values[0]) == false);
      fp.words = fp.col.column.name + (fp.wantBlank ? " is blank" : " is not blank");
      filters.push_back(std::move(fp));
      continue;
    }
    fp.col = planner.use(f.column, "filtered on", f.op != FilterOp::contains);
    const TableColumn& column = fp.col.column;
    bool ordered =
        f.op == FilterOp::greaterThan || f.op == FilterOp::lessThan || f.op == FilterOp::between;
    if (ordered && (column.kind == Kind::text || column.kind == Kind::yesno))
      throw TableRefusal(std::string(toString(f.op)) + " needs a number or date column; " +
                         column.name + " was read as " + kindWord(column.kind));
    if (f.op == FilterOp::contains) {
      fp.targets.push_back(Typed::ofText(f.values[0]));
    } else {
      for (const auto& v : f.values) fp.targets.push_back(target(v, fp.col));
    }
    for (const auto& t : fp.targets)
      fp.foldedTargets.push_back(t.kind == Typed::Kind::text ? tables::foldText(t.text) : "");
    fp.words = column.name + " " + spaced(toString(f.op)) + " " +
               quotedValues(f.values, f.op == FilterOp::between ? " and " : ", ");
    filters.push_back(std::move(fp));
  }

  for (const auto& g : question.groupBy) {
    GroupPlan gp;
    gp.col = planner.use(g.column, "grouped by", true);
    const TableColumn& column = gp.col.column;
    if (g.period && column.kind != Kind::date)
      throw TableRefusal("a period needs a date column; " + column.name + " was read as " +
                         kindWord(column.kind));
    if (column.kind == Kind::date) gp.period = g.period.value_or(TableQuestion::Period::day);
    groups.push_back(std::move(gp));
  }

  std::vector<TableQuestion::Measure> asked = question.measures;
  if (asked.empty()) asked.push_back({MeasureOp::count, std::nullopt});
  for (const auto& m : asked) {
    MeasurePlan mp;
    mp.op = m.op;
    if (m.op == MeasureOp::count && !m.column) {
      mp.label = "count";
    } else if (m.op == MeasureOp::count) {
      mp.col = planner.bind(*m.column);
      mp.label = "count of " + mp.col->column.name;
    } else {
      mp.col = planner.use(*m.column, "measured beyond count", true);
      const TableColumn& column = mp.col->column;
      bool fits = true;
      std::string needs;
      if (m.op == MeasureOp::sum || m.op == MeasureOp::average) {
        fits = column.kind == Kind::number;
        needs = "number";
      } else if (m.op != MeasureOp::countDistinct) {
        fits = column.kind == Kind::number || column.kind == Kind::date;
        needs = "number or date";
      }
      if (!fits) {
        std::string message = std::string(toString(m.op)) + " needs a " + needs + " column; " +
                              column.name + " was read as " + kindWord(column.kind);
        if (column.kind == Kind::text && !column.notes.empty())
          message += " (" + joinedNotes(column.notes) + ")";
        throw TableRefusal(message);
      }
      mp.label = std::string(toString(m.op)) + " of " + column.name;
    }
    for (const auto& earlier : measures)
      if (earlier.label == mp.label) throw TableRefusal(mp.label + " is asked for twice");
    measures.push_back(std::move(mp));
  }
}

Typed QuestionPlan::target(std::string_view value, const Col& col) {
  const TableColumn& column = col.column;
  switch (column.kind) {
    case Kind::text:
      return Typed::ofText(std::string(TableCell::trimmed(value)));
    case Kind::yesno:
      if (auto b = TableCell::boolean(value)) return Typed::ofBool(*b);
      throw TableRefusal(column.name + " holds yes or no; give yes or no");
    case Kind::date:
      if (auto d = dateIn(value, col.order)) return Typed::ofDay(*d);
      throw TableRefusal("\"" + std::string(value) + "\" isn't a date; give dates as YYYY-MM-DD");
    case Kind::number:
      if (auto shape = TableCell::shape(value)) {
        if (auto n = TableCell::value(*shape, TableCell::Decimal::point))
          return Typed::ofNumber(*n);
        if (auto n = TableCell::value(*shape, col.decimal)) return Typed::ofNumber(*n);
      }
      throw TableRefusal("\"" + std::string(value) + "\" isn't a number, and " + column.name +
                         " is a number column");
  }
  throw TableRefusal("\"" + std::string(value) + "\" can't be read");
}

std::optional<Typed> QuestionPlan::Col::read(std::string_view text) const {
  switch (column.kind) {
    case Kind::number:
      if (auto n = TableCell::number(text, decimal)) return Typed::ofNumber(*n);
      return std::nullopt;
    case Kind::date:
      if (auto d = dateIn(text, order)) return Typed::ofDay(*d);
      return std::nullopt;
    case Kind::text:
      return Typed::ofText(std::string(TableCell::trimmed(text)));
    case Kind::yesno:
      if (auto b = TableCell::boolean(text)) return Typed::ofBool(*b);
      return std::nullopt;
  }
  return std::nullopt;
}

std::string QuestionPlan::Col::canonical(const Typed& typed) {
  switch (typed.kind) {
    case Typed::Kind::number:
      return typed.number.toString();
    case Typed::Kind::day:
      return dayText(typed.day);
    case Typed::Kind::boolean:
      return typed.flag ? "yes" : "no";
    case Typed::Kind::text:
      return typed.text;
  }
  return typed.text;
}

bool QuestionPlan::FilterPlan::test(const Typed& value) const {
  // One folded copy per test; the buffer is reused from row to row.
  thread_local std::string folded;
  if (value.kind == Typed::Kind::text && op != FilterOp::contains) {
    folded.clear();
    tables::foldTextInto(value.text, folded);
  }
  auto equalsTarget = [&](size_t i) {
    const Typed& t = targets[i];
    if (t.kind != value.kind) return false;
    switch (t.kind) {
      case Typed::Kind::number:
        return value.number == t.number;
      case Typed::Kind::day:
        return value.day == t.day;
      case Typed::Kind::boolean:
        return value.flag == t.flag;
      case Typed::Kind::text:
        return folded == foldedTargets[i];
    }
    return false;
  };
  auto anyEqual = [&] {
    for (size_t i = 0; i < targets.size(); ++i)
      if (equalsTarget(i)) return true;
    return false;
  };
  auto ordered = [&](size_t i) -> std::optional<std::weak_ordering> {
    const Typed& t = targets[i];
    if (t.kind != value.kind) return std::nullopt;
    if (t.kind != Typed::Kind::number && t.kind != Typed::Kind::day) return std::nullopt;
    return order(value, t);
  };
  switch (op) {
    case FilterOp::equals:
    case FilterOp::oneOf:
      return anyEqual();
    case FilterOp::notEquals:
      return !anyEqual();
    case FilterOp::greaterThan: {
      auto o = ordered(0);
      return o && *o > 0;
    }
    case FilterOp::lessThan: {
      auto o = ordered(0);
      return o && *o < 0;
    }
    case FilterOp::between: {
      auto low = ordered(0), high = ordered(1);
      return low && high && *low >= 0 && *high <= 0;
    }
    case FilterOp::contains: {
      folded.clear();
      tables::foldTextInto(value.kind == Typed::Kind::text ? value.text : Col::canonical(value),
                           folded);
      return folded.find(foldedTargets[0]) != std::string::npos;
    }
    case FilterOp::isBlank:
      return false;  // decided by the cell's blankness, not its value
  }
  return false;
}

std::weak_ordering QuestionPlan::order(const Typed& a, const Typed& b) {
  switch (a.kind) {
    case Typed::Kind::number:
      return a.number <=> b.number;
    case Typed::Kind::day:
      return a.day <=> b.day;
    case Typed::Kind::boolean:
      return a.flag <=> b.flag;
    case Typed::Kind::text:
      return tables::foldText(a.text) <=> tables::foldText(b.text);
  }
  return std::weak_ordering::equivalent;
}

TableCell::Civil QuestionPlan::civil(int64_t day) { return TableCell::civil(day); }

namespace {

// Zero-padded decimal digits; period keys are made for every grouped row, so no printf.
void appendPadded(std::string& out, int64_t value, int width) {
  if (value < 0) {
    out += '-';
    value = -value;
  }
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  for (int i = n; i < width; ++i) out += '0';
  while (n > 0) out += digits[--n];
}

}  // namespace

std::string QuestionPlan::dayText(int64_t day) {
  auto c = civil(day);
  std::string out;
  out.reserve(10);
  appendPadded(out, c.year, 4);
  out += '-';
  appendPadded(out, c.month, 2);
  out += '-';
  appendPadded(out, c.day, 2);
  return out;
}

QuestionPlan::PeriodKey QuestionPlan::period(int64_t day, TableQuestion::Period period) {
  using P = TableQuestion::Period;
  auto c = civil(day);
  std::string key;
  switch (period) {
    case P::day:
      return {day, dayText(day)};
    case P::week: {
      int64_t weekday = ((day + 3) % 7 + 7) % 7;  // 1970-01-01 was a Thursday; Monday is 0
      int64_t monday = day - weekday;
      int64_t thursday = monday + 3;
      auto t = civil(thursday);
      int64_t first = *TableCell::days(t.year, 1, 1);
      appendPadded(key, t.year, 4);
      key += "-W";
      appendPadded(key, 1 + (thursday - first) / 7, 2);
      return {monday, key};
    }
    case P::month:
      appendPadded(key, c.year, 4);
      key += '-';
      appendPadded(key, c.month, 2);
      return {*TableCell::days(c.year, c.month, 1), key};
    case P::quarter: {
      int64_t q = (c.month - 1) / 3 + 1;
      appendPadded(key, c.year, 4);
      key += "-Q";
      appendPadded(key, q, 1);
      return {*TableCell::days(c.year, (q - 1) * 3 + 1, 1), key};
    }
    case P::year:
      appendPadded(key, c.year, 4);
      return {*TableCell::days(c.year, 1, 1), key};
  }
  return {day, dayText(day)};
}

}  // namespace zelk
