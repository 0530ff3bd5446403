// Strips what costs tokens and carries nothing from spreadsheets given as CSV text: blank rows
// and columns, template rows, instruction cells, repeated rows and long binary decimals. Every
// function may be called from several threads at once: the patterns and the placeholder set are
// built once and then only read.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk::SpreadsheetOptimizer {

// What the optimizer dropped; each call adds to the record it is given.
struct Removed {
  int emptyRows = 0;     // rows dropped as empty, template or contentless
  int repeatedRows = 0;  // rows dropped as duplicates
  int emptyColumns = 0;  // columns dropped
  int notes = 0;         // cells blanked as instruction text
  int decimals = 0;      // cells whose long decimals were shortened

  Removed& operator+=(const Removed& other);
  int total() const { return emptyRows + repeatedRows + emptyColumns + notes + decimals; }
  bool operator==(const Removed&) const = default;
};

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

// The whole CSV text, with its "## " sheet sections, optimized; adds what it dropped to removed.
std::string optimize(std::string_view text, Removed& removed);

// One sheet given as rows of cells, optimized, as CSV text (empty when nothing is left).
std::string optimizeSheet(Rows rows, Removed& removed);

// The text's CSV records: lines, a quoted cell spanning lines kept in one record.
std::vector<std::string> records(std::string_view text);

// The cells of one record, each trimmed of white space; an empty record gives one empty cell.
std::vector<std::string> parseCSVLine(std::string_view record);

// Rows back to CSV text, records joined by line feeds.
std::string toCSV(const Rows& rows);

// x written with at most four decimals ("%.4g" for 0 < |x| < 1, else "%.4f" without trailing
// zeros and point).
std::string trimmed(double x);

// The texts that stand for an empty value (exact comparison).
const std::set<std::string, std::less<>>& placeholderValues();

// Parts of the sheet pass, exposed for the fidelity check and for tests.
bool isMeaningfulValue(std::string_view cell);
bool isNonzeroNumber(std::string_view cell);
bool matchesCellBoilerplate(std::string_view trimmedCell);
bool matchesSheetBoilerplate(std::string_view trimmedCell);
std::set<std::string, std::less<>> repeatedBoilerplate(const Rows& rows, double threshold);
// Returns the kept rows; dropped = how many went.
Rows removeEmptyTemplateRows(const Rows& rows, int minMeaningful, int* dropped = nullptr);
// Kept rows and the number of contentless rows dropped (duplicates are the rest).
std::pair<Rows, int> removeDuplicateRows(const Rows& rows);
// The table reduced to the columns with data; empty when the caller should keep its table.
Rows removeEmptyColumns(const Rows& table);
std::string optimizePrecision(std::string_view cell);

}  // namespace zelk::SpreadsheetOptimizer
