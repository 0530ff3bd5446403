#include "documents/csv_parser.h"
#include "documents/text_parser.h"

#include <system_error>

#include "documents/document_format.h"
#include "documents/document_parser.h"
#include "documents/internal/text_util.h"
#include "platform/unicode.h"

namespace zelk {

std::string TextParser::parse(const std::string& path) {
  std::string bytes;
  try {
    bytes = documents::readFileBytes(path);
  } catch (const std::system_error&) {
    throw DocumentParser::ParseError::parseFailure("Could not read file");
  }
  return documents::decodeText(bytes);
}

namespace CSVParser {
namespace {

// Splits at every line break; CR LF counts as one.
std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0, i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t breakLength = 0;
    if (c == '\n' || c == 0x0B || c == 0x0C) {
      breakLength = 1;
    } else if (c == '\r') {
      breakLength = (i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
      breakLength = 2;
    } else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      breakLength = 3;
    }
    if (breakLength) {
      lines.push_back(text.substr(start, i - start));
      i += breakLength;
      start = i;
    } else {
      ++i;
    }
  }
  lines.push_back(text.substr(start));
  return lines;
}

std::string unquote(std::string_view field) {
  if (field.size() > 1 && field.front() == '"' && field.back() == '"') {
    std::string_view inner = field.substr(1, field.size() - 2);
    std::string out;
    out.reserve(inner.size());
    for (size_t i = 0; i < inner.size(); ++i) {
      out.push_back(inner[i]);
      if (inner[i] == '"' && i + 1 < inner.size() && inner[i + 1] == '"') ++i;
    }
    return out;
  }
  return std::string(field);
}

}  // namespace

std::optional<std::string> csvLine(const std::vector<std::string>& row) {
  std::vector<std::string> cells;
  cells.reserve(row.size());
  for (const std::string& raw : row) {
    std::string_view cell = documents::trimWhitespace(raw);
    if (cell.find_first_of(",\"\n") != std::string_view::npos) {
      std::string quoted = "\"";
      for (char c : cell) {
        if (c == '"') quoted.push_back('"');
        quoted.push_back(c);
      }
      quoted.push_back('"');
      cells.push_back(std::move(quoted));
    } else {
      cells.emplace_back(cell);
    }
  }
  while (!cells.empty() && cells.back().empty()) cells.pop_back();
  std::string line;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i) line.push_back(',');
    line += cells[i];
  }
  std::string withoutCommas;
  for (char c : line) {
    if (c != ',') withoutCommas.push_back(c);
  }
  if (documents::trimWhitespace(withoutCommas).empty()) return std::nullopt;
  return line;
}

std::string rowsToCSV(const std::vector<std::vector<std::string>>& rows) {
  std::string out;
  bool first = true;
  for (const auto& row : rows) {
    std::optional<std::string> line = csvLine(row);
    if (!line) continue;
    if (!first) out.push_back('\n');
    out += *line;
    first = false;
  }
  return out;
}

std::string csvFromTSV(std::string_view text) {
  std::vector<std::vector<std::string>> rows;
  for (std::string_view line : splitLines(text)) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
      size_t tab = line.find('\t', start);
      fields.push_back(unquote(line.substr(start, tab == std::string_view::npos ? tab : tab - start)));
      if (tab == std::string_view::npos) break;
      start = tab + 1;
    }
    rows.push_back(std::move(fields));
  }
  return rowsToCSV(rows);
}

std::string parse(const std::string& path) {
  std::string bytes;
  try {
    bytes = documents::readFileBytes(path);
  } catch (const std::system_error&) {
    throw DocumentParser::ParseError::parseFailure("Could not read CSV");
  }
  std::string text = documents::decodeText(bytes);
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  if (platform::lowercased(DocumentFormats::pathExtension(path)) == "tsv") return csvFromTSV(text);
  return text;
}

}  // namespace CSVParser
}  // namespace zelk
