// The JSON path: a table of objects becomes CSV for the spreadsheet optimizer; anything else is
// written compactly with sorted keys and unescaped slashes.
#include <algorithm>
#include <map>

#include "documents/csv_parser.h"
#include "documents/json_readers.h"
#include "optimize/internal/text_rules.h"
#include "optimize/optimizer.h"
#include "protocol/json_value.h"

namespace zelk {

using namespace optimize_internal;

namespace {

// nullopt when a number can't be written (never for parsed input, whose numbers are finite).
std::optional<std::string> compact(const JSONValue& v) {
  try {
    // Keys come out sorted because objects keep them sorted.
    return v.encode(JSONValue::Slashes::plain);
  } catch (const JSONEncodeError&) {
    return std::nullopt;
  }
}

std::string cellText(const JSONValue& v) {
  switch (v.kind()) {
    case JSONValue::Kind::null:
      return "";
    case JSONValue::Kind::string:
      return *v.string();
    case JSONValue::Kind::boolean:
      return *v.boolean() ? "true" : "false";
    case JSONValue::Kind::number: {
      auto s = compact(v);
      return s ? *s : "";
    }
    case JSONValue::Kind::array:
    case JSONValue::Kind::object: {
      auto s = compact(v);
      return s ? *s : "";
    }
  }
  return "";
}

std::string tidyCSV(std::string_view csv) {
  SpreadsheetOptimizer::Removed removed;
  std::string out = SpreadsheetOptimizer::optimize(csv, removed);
  return std::string(trimWhiteAndNewlines(collapseNewlines(out)));
}

}  // namespace

std::optional<Optimizer::TabularCSV> Optimizer::tabularCSV(const JSONValue& value) {
  const JSONArray* candidate = nullptr;
  std::optional<std::string> key;
  if (const JSONArray* a = value.array()) {
    candidate = a;
  } else if (const JSONObject* o = value.object()) {
    // Most elements wins; keys are visited in text order, so a tie keeps the smaller key.
    for (const auto& [k, member] : *o) {
      const JSONArray* a = member.array();
      if (a && (!candidate || a->size() > candidate->size())) {
        candidate = a;
        key = k;
      }
    }
  }
  if (!candidate || candidate->size() < 2) return std::nullopt;
  std::vector<const JSONObject*> rows;
  for (const JSONValue& e : *candidate) {
    if (const JSONObject* o = e.object()) rows.push_back(o);
  }
  if (static_cast<double>(rows.size()) < 0.8 * static_cast<double>(candidate->size())) {
    return std::nullopt;
  }
  std::map<std::string, size_t> keyCounts;
  size_t present = 0, nested = 0;
  for (const JSONObject* row : rows) {
    for (const auto& [k, v] : *row) {
      ++keyCounts[k];
      ++present;
      if (v.isArray() || v.isObject()) ++nested;
    }
  }
  if (keyCounts.empty() || present == 0) return std::nullopt;
  if (static_cast<double>(nested) > 0.2 * static_cast<double>(present)) return std::nullopt;
  std::vector<std::pair<std::string, size_t>> columns(keyCounts.begin(), keyCounts.end());
  std::stable_sort(columns.begin(), columns.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });

  std::vector<std::vector<std::string>> table;
  table.reserve(rows.size() + 1);
  std::vector<std::string> header;
  for (const auto& c : columns) header.push_back(c.first);
  table.push_back(std::move(header));
  for (const JSONObject* row : rows) {
    std::vector<std::string> cells;
    cells.reserve(columns.size());
    for (const auto& c : columns) {
      auto it = row->find(c.first);
      cells.push_back(it == row->end() ? std::string() : cellText(it->second));
    }
    table.push_back(std::move(cells));
  }
  return TabularCSV{CSVParser::rowsToCSV(table), key};
}

std::optional<std::string> Optimizer::optimizeJSON(std::string_view text) {
  JSONValue value;
  try {
    value = JSONValue::parse(text);
  } catch (const JSONParseError&) {
    auto split = JSONLeadingValue::split(text);
    if (!split) return std::nullopt;
    auto head = optimizeJSON(split->json);
    if (!head) return std::nullopt;
    return *head + "\n\n" + split->trailer;
  }
  if (auto table = tabularCSV(value)) {
    std::string csv = tidyCSV(table->csv);
    if (!csv.empty()) {
      if (!table->key) return csv;
      JSONObject rest = *value.object();
      rest.erase(*table->key);
      if (!rest.empty()) {
        if (auto written = compact(JSONValue(std::move(rest)))) {
          return *written + "\n\n" + *table->key + ":\n" + csv;
        }
      }
      return *table->key + ":\n" + csv;
    }
  }
  if (value.isObject() || value.isArray()) {
    if (auto written = compact(value)) return written;
  }
  return std::string(trimWhiteAndNewlines(text));
}

}  // namespace zelk
