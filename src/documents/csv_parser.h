// The CSV and TSV reader, and the rows-to-CSV rule the workbook reader and the spreadsheet
// optimizer share.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::CSVParser {

// The file's text without a leading byte-order mark; a .tsv file converted to CSV.
// Throws ParseError::parseFailure("Could not read CSV").
std::string parse(const std::string& path);
// Tab-separated text as CSV text.
std::string csvFromTSV(std::string_view text);
// Rows as CSV: cells trimmed and quoted where needed, trailing empty cells dropped, rows with
// nothing but commas dropped, lines joined with "\n" without a final line feed.
std::string rowsToCSV(const std::vector<std::vector<std::string>>& rows);
// One row's CSV line, or nullopt when the rule drops the row.
std::optional<std::string> csvLine(const std::vector<std::string>& row);

}  // namespace zelk::CSVParser
