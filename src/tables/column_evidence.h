// Counts, over the data cells of one column, how they read; then decides the column's kind and
// conventions. One per column position of one layout pass; not shared between threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tables/table_column.h"

namespace zelk {

class ColumnEvidence {
 public:
  // A column still undecided by its 2,000th filled cell stops being parsed.
  static constexpr int64_t kSettleAt = 2000;

  int64_t filled = 0;
  int64_t blank = 0;
  int64_t yesno = 0;
  int64_t point = 0;
  int64_t comma = 0;
  int64_t decimalDiffer = 0;
  int64_t dayFirst = 0;
  int64_t monthFirst = 0;
  int64_t leadingZero = 0;
  int64_t percent = 0;
  int64_t currency = 0;
  int64_t dateDiffer = 0;
  std::vector<std::string> examples;
  bool settledText = false;

  void add(std::string_view text);
  // The typed column; a kind is taken when at least `threshold` of the filled cells agree.
  TableColumn column(const std::string& name, double threshold) const;
};

}  // namespace zelk
