// The exact answer to a table question: result rows worked out in one pass over every row in
// exact decimal arithmetic, with counts of what was read, filtered, used and skipped, per-measure
// coverage and notes. A plain value once made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/json_value.h"
#include "tables/table_hidden.h"
#include "tables/table_question.h"

namespace zelk {

// What an answer needs from the privacy check of single cells: the text with its protected parts
// replaced by placeholders (none when nothing in it is protected), and the counts of what was
// hidden by category raw value. One object serves one question on one thread.
class ProtectedCells {
 public:
  virtual ~ProtectedCells() = default;
  virtual std::optional<std::string> hidden(const std::string& text, size_t column) = 0;
  virtual std::map<std::string, int> summary() const = 0;
};

// The question's TableHidden::Cells as ProtectedCells.
class HiddenCellsAdapter final : public ProtectedCells {
 public:
  explicit HiddenCellsAdapter(TableHidden::Cells& cells) : cells_(cells) {}
  std::optional<std::string> hidden(const std::string& text, size_t column) override {
    return cells_.hidden(text, column);
  }
  std::map<std::string, int> summary() const override { return cells_.map().summary(); }

 private:
  TableHidden::Cells& cells_;
};

struct TableAnswer {
  static constexpr size_t kMaxGroups = 100000;
  static constexpr int64_t kMaxRows = 200;
  static constexpr int kAveragePlaces = 6;

  std::vector<std::string> columns;  // group labels, then measure labels
  // The rows shown; none for a blank group value or a measure without a value.
  std::vector<std::vector<std::optional<std::string>>> rows;
  int64_t groups = 0;  // groups found, before the limit
  int64_t shownLimit = kMaxRows;
  int64_t rowsRead = 0;
  int64_t rowsFiltered = 0;
  int64_t rowsUsed = 0;
  std::vector<std::pair<std::string, int64_t>> skipped;  // in the order first met
  std::vector<std::string> measureCoverage;
  std::vector<std::string> applied;
  std::vector<std::string> notes;
  std::map<std::string, int> hidden;

  // The answer object as table_question writes it (keys sorted when encoded): status, file,
  // modified, columns, rows, groups, coverage, notes, and sheet, filters_applied and redactions
  // when they apply.
  JSONObject object(const std::string& file, const std::string& modified,
                    const std::optional<std::string>& sheet) const;
};

}  // namespace zelk
