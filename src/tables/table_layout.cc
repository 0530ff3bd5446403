#include "tables/table_layout.h"

#include <sys/stat.h>
#include <unicode/regex.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>

#include "platform/iso_date.h"
#include "platform/regex_cache.h"
#include "platform/unicode.h"
#include "sensitive/sensitive_category.h"
#include "tables/column_evidence.h"
#include "tables/table_cell.h"

namespace zelk {

namespace {

constexpr const char* kTotalsPattern =
    "^(grand |sub ?)?totals?\\b|^(sum|summe|gesamt|insgesamt|total général)\\b";
constexpr int kMaxResultRows = 200;

std::optional<size_t> firstFilled(const std::vector<std::string>& cells) {
  for (size_t i = 0; i < cells.size(); ++i)
    if (!TableCell::isBlank(cells[i])) return i;
  return std::nullopt;
}

size_t filledCount(const std::vector<std::string>& cells) {
  return static_cast<size_t>(
      std::count_if(cells.begin(), cells.end(), [](const std::string& c) { return !TableCell::isBlank(c); }));
}

bool isBlankRow(const std::vector<std::string>& cells) { return !firstFilled(cells).has_value(); }

bool isYear(std::string_view text) {
  std::string_view t = TableCell::trimmed(text);
  if (t.empty() || t.size() > 4 || !std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  int v = std::stoi(std::string(t));
  return v >= 1900 && v <= 2100;
}

bool readsAsDate(std::string_view text) {
  auto d = TableCell::dates(text);
  return d.dayFirst || d.monthFirst;
}

bool numberOrDate(std::string_view text) {
  return TableCell::shape(text).has_value() || readsAsDate(text);
}

// The header test of one row: at least `minimum` filled cells, the first not a number, each a
// year or neither number nor date.
bool labelRow(const std::vector<std::string>& cells, size_t minimum) {
  auto first = firstFilled(cells);
  if (!first || filledCount(cells) < minimum) return false;
  if (TableCell::shape(cells[*first])) return false;
  for (const auto& c : cells)
    if (!TableCell::isBlank(c) && !TableLayout::isLabel(c)) return false;
  return true;
}

std::string plural(size_t n, const std::string& word) { return n == 1 ? word : word + "s"; }

}  // namespace

std::string TableLayout::columnLetters(size_t index) {
  std::string letters;
  size_t n = index + 1;
  while (n > 0) {
    --n;
    letters.insert(letters.begin(), static_cast<char>('A' + n % 26));
    n /= 26;
  }
  return letters;
}

std::string TableLayout::columnName(size_t index, const std::vector<std::string>& headers) {
  if (index < headers.size() && !headers[index].empty()) return headers[index];
  return "Column " + columnLetters(index);
}

bool TableLayout::isLabel(std::string_view text) { return isYear(text) || !numberOrDate(text); }

bool TableLayout::isLabels(const std::vector<std::string>& cells) { return labelRow(cells, 2); }

bool TableLayout::isTotals(const std::vector<std::string>& cells) {
  auto first = firstFilled(cells);
  if (!first) return false;
  std::string_view label = TableCell::trimmed(cells[*first]);
  if (label.empty() || std::string_view("tTsSgGiI").find(label[0]) == std::string_view::npos)
    return false;
  size_t filled = filledCount(cells);
  if (2 * filled > std::max<size_t>(cells.size(), 2) + 1) return false;
  icu::UnicodeString text = platform::toUnicode(label);
  auto matcher =
      platform::RegexCache::shared().matcher(kTotalsPattern, text, UREGEX_CASE_INSENSITIVE);
  if (!matcher) return false;
  UErrorCode status = U_ZERO_ERROR;
  bool found = matcher->find(0, status);
  return U_SUCCESS(status) && found;
}

std::optional<size_t> TableLayout::headerIndex(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> filled;
  filled.reserve(rows.size());
  for (const auto& r : rows) filled.push_back(filledCount(r));
  std::map<size_t, size_t> widths;
  for (size_t f : filled)
    if (f >= 2) ++widths[f];
  size_t usual = 1, most = 0;
  for (const auto& [width, count] : widths) {
    if (count >= most) {  // ascending order: a tie goes to the larger width
      usual = width;
      most = count;
    }
  }
  size_t minimum = std::max<size_t>(2, static_cast<size_t>(kHeaderWidthShare * static_cast<double>(usual)));
  for (size_t i = 0; i < rows.size(); ++i)
    if (filled[i] >= minimum && labelRow(rows[i], minimum)) return i;
  if (usual != 1) return std::nullopt;
  // A single-column table: a label above numbers or dates.
  for (size_t i = 0; i < rows.size(); ++i) {
    auto first = firstFilled(rows[i]);
    if (!first) continue;
    if (!isLabel(rows[i][*first])) return std::nullopt;
    for (size_t j = i + 1; j < rows.size(); ++j) {
      for (const auto& c : rows[j]) {
        if (TableCell::isBlank(c) || isYear(c)) continue;
        if (numberOrDate(c)) return i;
      }
    }
    return std::nullopt;
  }
  return std::nullopt;
}

TableLayout TableLayout::read(TableReader& reader, const TableReader::Sheet* sheet,
                              const TableLayout* known, const HeaderCallback& header,
                              const TableReader::RowCallback& row) {
  const auto began = std::chrono::steady_clock::now();
  TableLayout layout;
  if (sheet) layout.sheet = sheet->name;
  std::vector<std::pair<int64_t, std::vector<std::string>>> gathered;
  bool started = false, stop = false, lastBlank = false;
  std::vector<ColumnEvidence> evidence;

  auto dataStep = [&](int64_t number, const std::vector<std::string>& cells) -> bool {
    if (isBlankRow(cells)) {
      ++layout.blankRows;
      lastBlank = true;
      return true;
    }
    if (!known) {
      if (lastBlank && isLabels(cells)) {
        bool clearlyTyped = std::any_of(evidence.begin(), evidence.end(), [](const ColumnEvidence& e) {
          int64_t best = std::max({e.point, e.comma, e.dayFirst, e.monthFirst});
          return e.filled >= 3 && static_cast<double>(best) >= 0.9 * static_cast<double>(e.filled);
        });
        if (clearlyTyped) {
          layout.secondTableRow = number;
          return false;
        }
      }
    } else if (known->secondTableRow && *known->secondTableRow == number) {
      layout.secondTableRow = number;
      return false;
    }
    lastBlank = false;
    if (isTotals(cells)) {
      layout.totalsRows.push_back(number);
      return true;
    }
    ++layout.rows;
    if (!known) {
      if (evidence.size() < cells.size()) evidence.resize(cells.size());
      for (size_t i = 0; i < cells.size(); ++i) evidence[i].add(cells[i]);
      for (size_t i = cells.size(); i < evidence.size(); ++i) ++evidence[i].blank;
    }
    return row(number, cells);
  };

  auto start = [&]() {
    started = true;
    std::vector<std::vector<std::string>> cells;
    cells.reserve(gathered.size());
    for (const auto& g : gathered) cells.push_back(g.second);
    size_t from = 0;
    if (auto h = headerIndex(cells)) {
      layout.headerRow = gathered[*h].first;
      for (const auto& c : gathered[*h].second) layout.headers.emplace_back(TableCell::trimmed(c));
      size_t above = 0;
      for (size_t i = 0; i < *h; ++i) {
        if (isBlankRow(gathered[i].second)) ++layout.blankRows;
        else ++above;
      }
      if (above > 0)
        layout.notes.push_back(std::to_string(above) + " " + plural(above, "line") +
                               " above the header row left out");
      from = *h + 1;
    } else {
      layout.notes.push_back("no header row found: columns are named by letter");
    }
    header(layout.headers);
    for (size_t i = from; i < gathered.size() && !stop; ++i)
      if (!dataStep(gathered[i].first, gathered[i].second)) stop = true;
    gathered.clear();
    gathered.shrink_to_fit();
  };

  reader.readRows(sheet, [&](int64_t number, const std::vector<std::string>& cells) {
    if (started) return dataStep(number, cells);
    gathered.emplace_back(number, cells);
    if (gathered.size() == kGatheredRows) start();
    return !stop;
  });
  if (!started) start();

  if (!known) {
    size_t width = std::max(layout.headers.size(), evidence.size());
    ColumnEvidence none;
    for (size_t i = 0; i < width; ++i)
      layout.columns.push_back(
          (i < evidence.size() ? evidence[i] : none).column(columnName(i, layout.headers), 0.9));

    std::vector<TableCell::Decimal> decimals;
    std::vector<TableCell::DateOrder> orders;
    for (const auto& c : layout.columns) {
      if (!c.proven) continue;
      if (c.kind == TableColumn::Kind::number) decimals.push_back(c.decimal);
      if (c.kind == TableColumn::Kind::date) orders.push_back(c.dateOrder);
    }
    auto agree = [](const auto& list) {
      return !list.empty() && std::all_of(list.begin(), list.end(), [&](auto v) { return v == list[0]; });
    };
    for (auto& c : layout.columns) {
      if (c.ambiguous == TableColumn::Ambiguity::decimal && agree(decimals))
        c.notes.push_back(std::string("the table's other number columns use a decimal ") +
                          std::string(toString(decimals[0])));
      if (c.ambiguous == TableColumn::Ambiguity::dateOrder && agree(orders))
        c.notes.push_back(std::string("the table's other date columns put the ") +
                          (orders[0] == TableCell::DateOrder::dayFirst ? "day" : "month") + " first");
    }
    std::map<std::string, int> seen;
    for (auto& c : layout.columns) {
      int n = ++seen[c.name];
      if (n > 1) c.name = c.name + " (" + std::to_string(n) + ")";
    }

    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (seconds >= kSlowReadSeconds)
      layout.notes.push_back("a large table: reading it took about " +
                             std::to_string(std::llround(seconds)) +
                             " seconds, and each question reads it again");
  }
  if (layout.secondTableRow)
    layout.notes.push_back("another table starts at row " + std::to_string(*layout.secondTableRow) +
                           " and isn't read");
  if (!layout.totalsRows.empty()) {
    size_t n = layout.totalsRows.size();
    std::string numbers;
    for (size_t i = 0; i < std::min<size_t>(n, 5); ++i)
      numbers += (i ? ", " : "") + std::to_string(layout.totalsRows[i]);
    if (n > 5) numbers += ", …";
    layout.notes.push_back(std::to_string(n) + " totals " + plural(n, "row") + " left out (" +
                           plural(n, "row") + " " + numbers + ")");
  }
  return layout;
}

std::vector<TableLayout::SheetInfo> TableLayout::sheets(TableReader& reader) {
  std::vector<SheetInfo> out;
  for (const auto& sheet : reader.sheets()) {
    bool hasData = false;
    try {
      reader.readRows(&sheet, [&](int64_t, const std::vector<std::string>& cells) {
        hasData = !isBlankRow(cells);
        return !hasData;
      });
    } catch (const std::exception&) {
      hasData = false;
    }
    out.push_back({sheet.name, sheet.hidden, hasData});
  }
  return out;
}

std::string hiddenRuleLabel(std::string_view category) {
  auto known = sensitiveCategoryFromString(category);
  return std::string(known ? placeholderLabel(*known) : category);
}

namespace MCPTools {

std::string modified(const std::filesystem::path& url) {
  struct stat st;
  if (::stat(url.c_str(), &st) != 0) return platform::iso8601(platform::now());
  return platform::iso8601(static_cast<double>(st.st_mtim.tv_sec));
}

JSONObject layoutObject(const TableLayout& layout, const std::filesystem::path& url) {
  JSONObject o;
  o["status"] = "layout";
  o["file"] = url.filename().string();
  o["modified"] = modified(url);
  o["rows"] = layout.rows;
  JSONArray columns;
  for (const auto& c : layout.columns) {
    JSONObject col;
    col["name"] = c.name;
    col["type"] = std::string(toString(c.kind));
    col["filled"] = c.filled;
    col["blank"] = c.blank;
    if (c.misfit > 0) {
      const char* key = c.kind == TableColumn::Kind::number ? "not_a_number"
                        : c.kind == TableColumn::Kind::date ? "not_a_date"
                                                            : "not_yes_no";
      col[key] = c.misfit;
    }
    if (c.proven) {
      if (c.kind == TableColumn::Kind::number)
        col["reading"] = c.decimal == TableCell::Decimal::point ? "decimal point" : "decimal comma";
      else if (c.kind == TableColumn::Kind::date)
        col["reading"] = c.dateOrder == TableCell::DateOrder::dayFirst ? "day first" : "month first";
    }
    if (c.ambiguous) col["needs"] = std::string(toString(*c.ambiguous));
    if (c.hiddenBy) col["hidden_by_rule"] = hiddenRuleLabel(*c.hiddenBy);
    if (!c.examples.empty()) {
      JSONArray ex(c.examples.begin(), c.examples.end());
      col["examples"] = ex;
    }
    if (!c.notes.empty()) col["notes"] = JSONArray(c.notes.begin(), c.notes.end());
    columns.push_back(std::move(col));
  }
  o["columns"] = std::move(columns);
  o["how_to_ask"] =
      "Call again with question: filters [{column, operation, value}], group_by [{column, "
      "period}], measures [{operation, column}], sort [{by, direction}], limit. Use the column "
      "names above. zelk works it out over every row and returns at most " +
      std::to_string(kMaxResultRows) + " result rows.";
  if (layout.sheet) o["sheet"] = *layout.sheet;
  if (layout.headerRow) o["header_row"] = *layout.headerRow;
  if (layout.blankRows > 0) o["blank_rows"] = layout.blankRows;
  if (!layout.notes.empty()) o["notes"] = JSONArray(layout.notes.begin(), layout.notes.end());
  return o;
}

}  // namespace MCPTools

}  // namespace zelk
