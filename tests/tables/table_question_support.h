// Small builders for the table question tests: a CSV in a temporary folder with its layout, a
// question asked of it, and cells that hide a chosen set of values behind placeholders.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <string>

#include "tables/table_answer.h"
#include "tables/table_layout.h"
#include "tables/table_question.h"
#include "test_support.h"

namespace zelk::testing {

// Hides the cells whose trimmed text is one of `values` as "[ACCOUNT n]", numbered by value.
class ChosenCells : public ProtectedCells {
 public:
  explicit ChosenCells(std::set<std::string> values = {}) : values_(std::move(values)) {}
  std::optional<std::string> hidden(const std::string& text, size_t column) override {
    ++calls;
    ++callsByColumn[column];
    std::string t(TableCell::trimmed(text));
    if (!values_.count(t)) return std::nullopt;
    auto it = numbers_.find(t);
    if (it == numbers_.end()) it = numbers_.emplace(t, numbers_.size() + 1).first;
    return "[ACCOUNT " + std::to_string(it->second) + "]";
  }
  std::map<std::string, int> summary() const override {
    if (numbers_.empty()) return {};
    return {{"bankAccount", static_cast<int>(numbers_.size())}};
  }
  int64_t calls = 0;
  std::map<size_t, int64_t> callsByColumn;

 private:
  std::set<std::string> values_;
  std::map<std::string, size_t> numbers_;
};

class Table {
 public:
  explicit Table(const std::string& csv, const std::string& name = "t.csv")
      : path_(dir_.file(name)) {
    std::ofstream(path_, std::ios::binary) << csv;
    relayout();
  }
  void relayout() {
    TableReader reader(path_);
    layout = TableLayout::read(
        reader, nullptr, nullptr, [](const std::vector<std::string>&) {},
        [](int64_t, const std::vector<std::string>&) { return true; });
  }
  TableColumn& column(const std::string& name) {
    for (auto& c : layout.columns)
      if (c.name == name) return c;
    ADD_FAILURE() << "no column " << name;
    return layout.columns.at(0);
  }
  TableAnswer ask(const std::string& json, ProtectedCells* cells = nullptr) const {
    TableQuestion question(*JSONValue::parse(json).object());
    TableReader reader(path_);
    ChosenCells none;
    return question.answer(reader, nullptr, layout, cells ? *cells : none);
  }
  // The refusal a question gets, or an empty refusal text when it is answered.
  TableRefusal refusal(const std::string& json, ProtectedCells* cells = nullptr) const {
    try {
      ask(json, cells);
    } catch (const TableRefusal& r) {
      return r;
    }
    return TableRefusal("");
  }
  const std::string& path() const { return path_; }

  TableLayout layout;

 private:
  TempDir dir_;
  std::string path_;
};

// The rows of an answer with missing values as "null", one row per line, cells joined by "|".
inline std::string rowsText(const TableAnswer& a) {
  std::string out;
  for (const auto& r : a.rows) {
    for (size_t i = 0; i < r.size(); ++i) out += (i ? "|" : "") + (r[i] ? *r[i] : "null");
    out += "\n";
  }
  return out;
}

}  // namespace zelk::testing
