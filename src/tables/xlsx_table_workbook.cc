#include "tables/xlsx_table_workbook.h"

#include <algorithm>

namespace zelk {

namespace {

// Some writers put SpreadsheetML elements under a prefix (x:row); match by local name.
std::string_view localName(std::string_view name) {
  size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::optional<int64_t> decimalInteger(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

std::optional<long long> styleNumber(std::string_view text) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  long long n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

std::string_view trimSpacesTabs(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string lowerExtension(const std::filesystem::path& path) {
  std::string ext = path.extension().string();
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

}  // namespace

std::optional<size_t> SheetRows::column(std::string_view reference) {
  size_t n = 0, letters = 0;
  for (char c : reference) {
    if (c < 'A' || c > 'Z') break;
    n = n * 26 + static_cast<size_t>(c - 'A' + 1);
    if (n > TableReader::kMaxRowFields) return TableReader::kMaxRowFields;
    ++letters;
  }
  if (letters == 0) return std::nullopt;
  return n - 1;
}

bool SheetRows::send(int64_t n, const std::vector<std::string>& cells) {
  if (stopped) return false;
  if (!emit(n, cells)) stopped = true;
  return !stopped;
}

void SheetRows::startElement(std::string_view qualifiedName, const char** attributes) {
  std::string_view name = localName(qualifiedName);
  if (name == "row") {
    row.clear();
    rowBytes_ = 0;
    rowFull_ = false;
    const char* r = documents::xmlAttribute(attributes, "r");
    std::optional<int64_t> given = r ? decimalInteger(r) : std::nullopt;
    number = given && *given <= kMaxRowNumber ? *given : next;
    static const std::vector<std::string> kEmpty;
    for (int64_t k = next; k < number && !stopped; ++k) send(k, kEmpty);
    next = number + 1;
  } else if (name == "c") {
    val.clear();
    const char* t = documents::xmlAttribute(attributes, "t");
    type = t ? t : "";
    const char* s = documents::xmlAttribute(attributes, "s");
    style = s ? styleNumber(s).value_or(0) : 0;
    const char* r = documents::xmlAttribute(attributes, "r");
    col = r ? column(r) : std::nullopt;
    inlineString = type == "inlineStr";
  } else if (name == "v") {
    inV = true;
  } else if (name == "t") {
    if (inlineString) inIs = true;
  }
}

void SheetRows::characters(std::string_view text) {
  if (!inV && !inIs) return;
  size_t room = TableReader::kMaxFieldBytes - std::min(val.size(), TableReader::kMaxFieldBytes);
  val.append(text.substr(0, room));
}

void SheetRows::endElement(std::string_view qualifiedName) {
  std::string_view name = localName(qualifiedName);
  if (name == "v") {
    inV = false;
  } else if (name == "t") {
    inIs = false;
  } else if (name == "c") {
    if (rowFull_) return;
    std::string text = XLSXParser::cellText(trimSpacesTabs(val), type, style, strings, format);
    size_t width = col ? std::max(row.size(), *col) : row.size();
    // A row past Excel's width or 16 MiB of text keeps what it has; the rest is read past.
    if (width >= TableReader::kMaxRowFields ||
        rowBytes_ + text.size() > TableReader::kMaxRowBytes) {
      rowFull_ = true;
      return;
    }
    if (col && row.size() < *col) row.resize(*col);
    rowBytes_ += text.size();
    row.push_back(std::move(text));
  } else if (name == "row") {
    while (!row.empty() && row.back().empty()) row.pop_back();
    send(number, row);
  }
}

XLSXTableWorkbook::XLSXTableWorkbook(const std::filesystem::path& url)
    : safe_(PPTXParser::makeSafeURL(url.string())), book_(XLSXParser::workbook(safe_.path())) {}

std::vector<TableReader::Sheet> XLSXTableWorkbook::sheets() const {
  std::vector<TableReader::Sheet> out;
  out.reserve(book_.sheets.size());
  for (const auto& s : book_.sheets) out.push_back({s.name, s.hidden, s.file});
  return out;
}

void XLSXTableWorkbook::streamSheet(const TableReader::Sheet& sheet,
                                    const TableReader::RowCallback& row) {
  SheetRows handler(book_.sharedStrings, book_.format, row);
  XLSXParser::streamEntry(sheet.file, safe_.path(), handler);
}

std::optional<std::filesystem::path> XLSXTableWorkbook::temporaryCopy() const {
  if (!safe_.copy()) return std::nullopt;
  return std::filesystem::path(*safe_.copy());
}

std::unique_ptr<TableReader> openTableReader(const std::filesystem::path& url) {
  if (lowerExtension(url) == "xlsx") {
    return std::make_unique<TableReader>(url, std::make_unique<XLSXTableWorkbook>(url));
  }
  return std::make_unique<TableReader>(url);
}

}  // namespace zelk
