// Reading a table question from its JSON object, strictly and with exact messages.
#include "tables/table_question.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "platform/unicode.h"

namespace zelk {

namespace {

constexpr std::array<std::string_view, 8> kFilterOps = {"equals",       "not_equals", "one_of",
                                                        "greater_than", "less_than",  "between",
                                                        "contains",     "is_blank"};
constexpr std::array<std::string_view, 5> kPeriods = {"day", "week", "month", "quarter", "year"};
constexpr std::array<std::string_view, 7> kMeasureOps = {
    "count", "count_distinct", "sum", "average", "median", "min", "max"};
constexpr std::array<std::string_view, 2> kDecimals = {"point", "comma"};
constexpr std::array<std::string_view, 2> kDateOrders = {"day_first", "month_first"};

template <size_t N>
std::optional<size_t> indexOf(const std::array<std::string_view, N>& list, std::string_view raw) {
  for (size_t i = 0; i < N; ++i)
    if (list[i] == raw) return i;
  return std::nullopt;
}

template <size_t N>
std::string joined(const std::array<std::string_view, N>& list) {
  std::string out;
  for (size_t i = 0; i < N; ++i) {
    if (i) out += ", ";
    out += list[i];
  }
  return out;
}

// A member that is present and not null.
const JSONValue* member(const JSONObject& object, const std::string& key) {
  auto it = object.find(key);
  if (it == object.end() || it->second.isNull()) return nullptr;
  return &it->second;
}

// A string as it stands, a boolean as "true"/"false", a number in its shortest decimal form.
std::optional<std::string> textOf(const JSONValue* value) {
  if (!value) return std::nullopt;
  if (const std::string* s = value->string()) return *s;
  if (const bool* b = value->boolean()) return std::string(*b ? "true" : "false");
  if (const double* d = value->number()) return encodeJSONNumber(*d);
  return std::nullopt;
}

std::vector<const JSONValue*> list(const JSONObject& object, const std::string& key) {
  const JSONValue* value = member(object, key);
  std::vector<const JSONValue*> out;
  if (!value) return out;
  if (const JSONArray* a = value->array()) {
    for (const auto& e : *a) out.push_back(&e);
    return out;
  }
  if (value->isObject() || value->isString()) {
    out.push_back(value);
    return out;
  }
  throw TableRefusal(key + " should be a list");
}

// An enumeration value: its text lower-cased with spaces as underscores, one of the raw values.
template <size_t N>
size_t op(const JSONValue* value, const std::array<std::string_view, N>& choices,
          const std::string& what) {
  std::string text = textOf(value).value_or("");
  std::string raw = platform::lowercased(text);
  std::replace(raw.begin(), raw.end(), ' ', '_');
  if (auto i = indexOf(choices, raw)) return *i;
  throw TableRefusal("\"" + text + "\" isn't a " + what + "; use one of " + joined(choices));
}

const JSONValue* either(const JSONObject& object, const std::string& first,
                        const std::string& second) {
  if (const JSONValue* v = member(object, first)) return v;
  return member(object, second);
}

// A JSON number's integer part, or a text holding a whole number.
std::optional<int64_t> wholeNumber(const JSONValue* value) {
  if (const double* d = value->number()) {
    double t = std::trunc(*d);
    if (t >= 9.2e18) return std::numeric_limits<int64_t>::max();
    if (t <= -9.2e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(t);
  }
  if (const std::string* s = value->string()) {
    std::string_view t = *s;
    bool negative = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
      negative = t[0] == '-';
      t.remove_prefix(1);
    }
    if (t.empty()) return std::nullopt;
    int64_t n = 0;
    for (char c : t) {
      if (c < '0' || c > '9') return std::nullopt;
      if (n > (std::numeric_limits<int64_t>::max() - (c - '0')) / 10) return std::nullopt;
      n = n * 10 + (c - '0');
    }
    return negative ? -n : n;
  }
  return std::nullopt;
}

std::string quotedValues(const std::vector<std::string>& values, const std::string& separator) {
  std::string out;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += separator;
    out += "\"" + values[i] + "\"";
  }
  return out;
}

std::string spaced(std::string_view raw) {
  std::string out(raw);
  std::replace(out.begin(), out.end(), '_', ' ');
  return out;
}

}  // namespace

std::string_view toString(TableRefusal::Kind kind) {
  switch (kind) {
    case TableRefusal::Kind::invalid:
      return "invalid";
    case TableRefusal::Kind::hidden:
      return "hidden";
    case TableRefusal::Kind::ambiguous:
      return "ambiguous";
    case TableRefusal::Kind::tooManyGroups:
      return "too_many_groups";
  }
  return "invalid";
}

std::string_view toString(TableQuestion::FilterOp op) {
  return kFilterOps[static_cast<size_t>(op)];
}
std::string_view toString(TableQuestion::Period period) {
  return kPeriods[static_cast<size_t>(period)];
}
std::string_view toString(TableQuestion::MeasureOp op) {
  return kMeasureOps[static_cast<size_t>(op)];
}
std::optional<TableQuestion::FilterOp> filterOpFromString(std::string_view raw) {
  if (auto i = indexOf(kFilterOps, raw)) return static_cast<TableQuestion::FilterOp>(*i);
  return std::nullopt;
}
std::optional<TableQuestion::Period> periodFromString(std::string_view raw) {
  if (auto i = indexOf(kPeriods, raw)) return static_cast<TableQuestion::Period>(*i);
  return std::nullopt;
}
std::optional<TableQuestion::MeasureOp> measureOpFromString(std::string_view raw) {
  if (auto i = indexOf(kMeasureOps, raw)) return static_cast<TableQuestion::MeasureOp>(*i);
  return std::nullopt;
}

const std::vector<std::string>& TableQuestion::fields() {
  static const std::vector<std::string> kFields = {"filters", "group_by",   "measures", "sort",
                                                   "limit",   "date_order", "decimal"};
  return kFields;
}

TableQuestion::TableQuestion(const JSONObject& json) {
  const auto& names = fields();
  for (const auto& [key, value] : json) {
    if (value.isNull()) continue;
    if (std::find(names.begin(), names.end(), key) == names.end()) {
      std::string all;
      for (size_t i = 0; i < names.size(); ++i) all += (i ? ", " : "") + names[i];
      throw TableRefusal("the question has no field \"" + key + "\"; its fields are " + all);
    }
  }

  for (const JSONValue* element : list(json, "filters")) {
    const JSONObject* object = element->object();
    std::optional<std::string> column = object ? textOf(member(*object, "column")) : std::nullopt;
    if (!column) throw TableRefusal("each filter needs a column, an operation and a value");
    Filter filter;
    filter.column = *column;
    filter.op = static_cast<FilterOp>(
        op(either(*object, "operation", "op"), kFilterOps, "filter operation"));
    const JSONValue* value = either(*object, "value", "values");
    if (value) {
      if (const JSONArray* a = value->array()) {
        for (const auto& e : *a)
          if (auto t = textOf(&e)) filter.values.push_back(*t);
      } else if (auto t = textOf(value)) {
        filter.values.push_back(*t);
      }
    }
    std::string operation(toString(filter.op));
    size_t n = filter.values.size();
    if (filter.op == FilterOp::between) {
      if (n != 2)
        throw TableRefusal("between on " + filter.column +
                           " needs two values, the low and the high end");
    } else if (filter.op == FilterOp::oneOf) {
      if (n < 1) throw TableRefusal("one_of on " + filter.column + " needs a list of values");
    } else if (filter.op != FilterOp::isBlank && n != 1) {
      throw TableRefusal(operation + " on " + filter.column + " needs one value");
    }
    filters.push_back(std::move(filter));
  }

  for (const JSONValue* element : list(json, "group_by")) {
    Group group;
    if (const JSONObject* object = element->object()) {
      auto column = textOf(member(*object, "column"));
      if (!column)
        throw TableRefusal("each group_by entry is a column name, or a column with a period");
      group.column = *column;
      if (const JSONValue* period = member(*object, "period"))
        group.period = static_cast<Period>(op(period, kPeriods, "period"));
    } else if (auto column = textOf(element)) {
      group.column = *column;
    } else {
      throw TableRefusal("each group_by entry is a column name, or a column with a period");
    }
    groupBy.push_back(std::move(group));
  }
  if (groupBy.size() > kMaxGroupColumns)
    throw TableRefusal("group by at most " + std::to_string(kMaxGroupColumns) + " columns");

  for (const JSONValue* element : list(json, "measures")) {
    Measure measure;
    if (const JSONObject* object = element->object()) {
      measure.op =
          static_cast<MeasureOp>(op(either(*object, "operation", "op"), kMeasureOps, "measure"));
      measure.column = textOf(member(*object, "column"));
    } else if (textOf(element)) {
      measure.op = static_cast<MeasureOp>(op(element, kMeasureOps, "measure"));
    } else {
      throw TableRefusal("each measure is an operation and a column");
    }
    if (measure.op != MeasureOp::count && !measure.column)
      throw TableRefusal(std::string(toString(measure.op)) + " needs a column");
    measures.push_back(std::move(measure));
  }

  for (const JSONValue* element : list(json, "sort")) {
    Sort entry;
    if (const JSONObject* object = element->object()) {
      auto by = textOf(either(*object, "by", "column"));
      if (!by)
        throw TableRefusal(
            "each sort entry needs \"by\": a group column or a measure such as \"sum of "
            "Amount\"");
      entry.by = *by;
      std::string direction = "ascending";
      if (const JSONValue* d = either(*object, "direction", "order")) {
        auto text = textOf(d);
        if (!text) throw TableRefusal("sort direction is ascending or descending");
        direction = platform::lowercased(*text);
      }
      if (direction != "asc" && direction != "ascending" && direction != "desc" &&
          direction != "descending")
        throw TableRefusal("sort direction is ascending or descending");
      entry.descending = direction.starts_with("desc");
    } else if (auto by = textOf(element)) {
      entry.by = *by;
    } else {
      throw TableRefusal(
          "each sort entry needs \"by\": a group column or a measure such as \"sum of Amount\"");
    }
    sort.push_back(std::move(entry));
  }

  if (const JSONValue* value = member(json, "limit")) {
    auto n = wholeNumber(value);
    if (!n || *n < 1) throw TableRefusal("limit is a whole number of result rows, 1 or more");
    limit = *n;
  }
  if (const JSONValue* value = member(json, "decimal"))
    decimal = static_cast<TableCell::Decimal>(op(value, kDecimals, "decimal mark"));
  if (const JSONValue* value = member(json, "date_order"))
    dateOrder = static_cast<TableCell::DateOrder>(op(value, kDateOrders, "date order"));
}

std::string TableQuestion::words() const {
  std::string out;
  if (measures.empty()) out = "count";
  for (size_t i = 0; i < measures.size(); ++i) {
    if (i) out += ", ";
    out += toString(measures[i].op);
    if (measures[i].column) out += " of " + *measures[i].column;
  }
  if (!groupBy.empty()) {
    out += " by ";
    for (size_t i = 0; i < groupBy.size(); ++i) {
      if (i) out += ", ";
      out += groupBy[i].column;
      if (groupBy[i].period) out += " (" + std::string(toString(*groupBy[i].period)) + ")";
    }
  }
  if (!filters.empty()) {
    out += ", where ";
    for (size_t i = 0; i < filters.size(); ++i) {
      const Filter& f = filters[i];
      if (i) out += " and ";
      out += f.column + " " + spaced(toString(f.op));
      if (!f.values.empty())
        out += " " + quotedValues(f.values, f.op == FilterOp::between ? " and " : ", ");
    }
  }
  return out;
}

}  // namespace zelk
