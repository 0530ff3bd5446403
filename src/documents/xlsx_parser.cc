#include "documents/xlsx_parser.h"

#include <algorithm>
#include <cctype>

#include "documents/csv_parser.h"
#include "documents/document_parser.h"
#include "documents/internal/office_xml.h"
#include "documents/internal/text_util.h"
#include "documents/office_package.h"

namespace zelk {
namespace {

// A whole number as written: optional sign and decimal digits only, in range.
std::optional<long long> wholeNumber(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  unsigned long long n = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    if (n > (9223372036854775808ull - static_cast<unsigned>(c - '0')) / 10) return std::nullopt;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  if (!negative && n > 9223372036854775807ull) return std::nullopt;
  return negative ? static_cast<long long>(0 - n) : static_cast<long long>(n);
}

// Workbook parts are matched by local name: some writers put SpreadsheetML elements under a
// prefix (x:row, s:sheet), and such a workbook would otherwise read as empty.
std::string_view localName(std::string_view name) {
  size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

bool isDashes(std::string_view v) { return v == "-" || v == "--" || v == "\u2014"; }

unsigned long long digitsNumber(const std::string& entry) {
  size_t slash = entry.rfind('/');
  unsigned long long n = 0;
  for (size_t i = slash == std::string::npos ? 0 : slash + 1; i < entry.size(); ++i) {
    char c = entry[i];
    if (c < '0' || c > '9') continue;
    unsigned long long digit = static_cast<unsigned long long>(c - '0');
    if (n > (~0ull - digit) / 10) return 0;
    n = n * 10 + digit;
  }
  return n;
}

}  // namespace

void SharedStringsParser::startElement(std::string_view qualifiedName, const char**) {
  std::string_view name = localName(qualifiedName);
  if (name == "si") currentValue.clear();
  else if (name == "t") inT = true;
}

void SharedStringsParser::endElement(std::string_view qualifiedName) {
  std::string_view name = localName(qualifiedName);
  if (name == "t") inT = false;
  else if (name == "si") strings.push_back(std::move(currentValue)), currentValue.clear();
}

void SharedStringsParser::characters(std::string_view text) {
  if (inT) currentValue.append(text);
}

void WorkbookParser::startElement(std::string_view qualifiedName, const char** attributes) {
  std::string_view name = localName(qualifiedName);
  if (name == "workbookPr") {
    const char* v = documents::xmlAttribute(attributes, "date1904");
    std::string_view value = v ? v : "";
    date1904 = value == "1" || value == "true";
  } else if (name == "sheet") {
    const char* rid = documents::xmlAttribute(attributes, "r:id");
    if (!rid) return;
    const char* sheetName = documents::xmlAttribute(attributes, "name");
    const char* state = documents::xmlAttribute(attributes, "state");
    sheets.push_back({sheetName ? sheetName : "Sheet" + std::to_string(sheets.size() + 1), rid,
                      std::string_view(state ? state : "visible") != "visible"});
  }
}

void RelationshipsParser::startElement(std::string_view qualifiedName, const char** attributes) {
  std::string_view name = localName(qualifiedName);
  if (name != "Relationship") return;
  const char* id = documents::xmlAttribute(attributes, "Id");
  const char* target = documents::xmlAttribute(attributes, "Target");
  if (id && target) targets[id] = target;
}

void StylesParser::startElement(std::string_view qualifiedName, const char** attributes) {
  std::string_view name = localName(qualifiedName);
  if (name == "numFmt") {
    const char* id = documents::xmlAttribute(attributes, "numFmtId");
    std::optional<long long> n = id ? wholeNumber(id) : std::nullopt;
    if (n && *n >= INT32_MIN && *n <= INT32_MAX) {
      const char* code = documents::xmlAttribute(attributes, "formatCode");
      custom[static_cast<int>(*n)] = code ? code : "";
    }
  } else if (name == "cellXfs") {
    inCellXfs = true;
  } else if (name == "xf" && inCellXfs) {
    const char* id = documents::xmlAttribute(attributes, "numFmtId");
    std::optional<long long> n = id ? wholeNumber(id) : std::nullopt;
    xfs.push_back(n && *n >= INT32_MIN && *n <= INT32_MAX ? static_cast<int>(*n) : 0);
  }
}

void StylesParser::endElement(std::string_view qualifiedName) {
  std::string_view name = localName(qualifiedName);
  if (name == "cellXfs") inCellXfs = false;
}

std::vector<CellFormat::Kind> StylesParser::kinds() const {
  std::vector<CellFormat::Kind> out;
  out.reserve(xfs.size());
  for (int id : xfs) out.push_back(CellFormat::kind(id, custom));
  return out;
}

std::optional<long> WorksheetParser::column(std::string_view reference) {
  long n = 0;
  size_t letters = 0;
  for (char c : reference) {
    char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper < 'A' || upper > 'Z') break;
    n = n * 26 + (upper - 'A' + 1);
    if (n > kMaxColumns) return std::nullopt;
    ++letters;
  }
  if (letters == 0) return std::nullopt;
  return n - 1;
}

void WorksheetParser::startElement(std::string_view qualifiedName, const char** attributes) {
  std::string_view name = localName(qualifiedName);
  if (name == "row") {
    currentRow.clear();
  } else if (name == "c") {
    currentCellValue.clear();
    const char* t = documents::xmlAttribute(attributes, "t");
    currentCellType = t ? t : "";
    const char* r = documents::xmlAttribute(attributes, "r");
    currentCellColumn = r ? column(r) : std::nullopt;
    const char* s = documents::xmlAttribute(attributes, "s");
    std::optional<long long> style = s ? wholeNumber(s) : std::nullopt;
    currentCellStyle = style.value_or(0);
    isInlineString = currentCellType == "inlineStr";
  } else if (name == "v") {
    inV = true;
  } else if (name == "is") {
    isInlineString = true;
  } else if (name == "t") {
    if (isInlineString) inIs = true;
  }
}

void WorksheetParser::characters(std::string_view text) {
  if (inV) currentCellValue.append(text);
  if (inIs) currentCellValue.append(text);
}

void WorksheetParser::endElement(std::string_view qualifiedName) {
  std::string_view name = localName(qualifiedName);
  if (name == "v") {
    inV = false;
  } else if (name == "t") {
    inIs = false;
  } else if (name == "c") {
    std::string value(documents::trimWhitespace(currentCellValue));
    std::string text =
        XLSXParser::cellText(value, currentCellType, currentCellStyle, sharedStrings, format);
    if (currentCellColumn && currentRow.size() < static_cast<size_t>(*currentCellColumn)) {
      currentRow.resize(static_cast<size_t>(*currentCellColumn));
    }
    currentRow.push_back(std::move(text));
  } else if (name == "row") {
    while (!currentRow.empty() && documents::trimWhitespace(currentRow.back()).empty()) {
      currentRow.pop_back();
    }
    if (currentRow.empty()) return;
    if (onRow) onRow(std::move(currentRow));
    else rows.push_back(std::move(currentRow));
    currentRow.clear();
  }
}

namespace XLSXParser {

std::string cellText(std::string_view value, std::string_view type, long long style,
                     const std::vector<std::string>& sharedStrings, const CellFormat& format) {
  if (type == "s") {
    std::optional<long long> index = wholeNumber(value);
    if (index && *index >= 0 && static_cast<unsigned long long>(*index) < sharedStrings.size()) {
      return sharedStrings[static_cast<size_t>(*index)];
    }
    return std::string(value);
  }
  if (type == "e") return "";
  if (type == "b") {
    if (value == "1") return "TRUE";
    if (value == "0") return "FALSE";
    return std::string(value);
  }
  if (type.empty() || type == "n") return format.text(value, style);
  if (isDashes(value)) return "";
  return std::string(value);
}

Workbook workbookOf(documents::ZipPackage* package, documents::UnpackBudget& budget) {
  Workbook book;
  {
    SharedStringsParser strings;
    if (documents::streamPart(package, "xl/sharedStrings.xml", budget, strings) !=
        documents::PartRead::failed) {
      book.sharedStrings = std::move(strings.strings);
    }
  }
  std::optional<std::string> workbookXML, relsXML;
  if (package) {
    workbookXML = package->read("xl/workbook.xml", budget);
    if (workbookXML) relsXML = package->read("xl/_rels/workbook.xml.rels", budget);
  }
  if (workbookXML && relsXML) {
    RelationshipsParser rels;
    documents::parseXML(*relsXML, rels);
    WorkbookParser wb;
    documents::parseXML(*workbookXML, wb);
    book.format.date1904 = wb.date1904;
    for (const WorkbookParser::Entry& entry : wb.sheets) {
      auto target = rels.targets.find(entry.relID);
      if (target == rels.targets.end()) continue;
      const std::string& t = target->second;
      std::string file = !t.empty() && t.front() == '/' ? t.substr(1) : "xl/" + t;
      book.sheets.push_back({entry.name, std::move(file), entry.hidden});
    }
  }
  if (book.sheets.empty()) {
    std::vector<std::string> files;
    if (package) {
      for (const std::string& name : package->entryNames()) {
        if (name.empty() || name.front() == '-' || name == "----") continue;
        if (name.rfind("xl/worksheets/sheet", 0) == 0 && name.size() >= 4 &&
            name.compare(name.size() - 4, 4, ".xml") == 0) {
          files.push_back(name);
        }
      }
    }
    std::stable_sort(files.begin(), files.end(), [](const std::string& a, const std::string& b) {
      return digitsNumber(a) < digitsNumber(b);
    });
    for (size_t k = 0; k < files.size(); ++k) {
      book.sheets.push_back({"Sheet" + std::to_string(k + 1), files[k], false});
    }
    if (book.sheets.empty()) {
      throw DocumentParser::ParseError::parseFailure("No worksheets found in XLSX");
    }
  }
  if (std::optional<std::string> styles = package ? package->read("xl/styles.xml", budget)
                                                  : std::nullopt) {
    StylesParser parser;
    documents::parseXML(*styles, parser);
    book.format.styles = parser.kinds();
  }
  return book;
}

namespace {

std::string parsePackage(documents::ZipPackage* package) {
  documents::UnpackBudget budget(documents::kWorkbookUnpackLimitMB);
  Workbook book = workbookOf(package, budget);
  std::string result;
  for (const Workbook::Sheet& sheet : book.sheets) {
    std::string csv;
    WorksheetParser parser(book.sharedStrings, book.format);
    parser.onRow = [&](std::vector<std::string>&& row) {
      std::optional<std::string> line = CSVParser::csvLine(row);
      if (!line) return;
      // Cells padded out to a far column are text this read produces; they count as unpacked.
      if (!budget.take(line->size() + 1)) documents::throwUnpackLimit(sheet.file, budget.limitMB());
      if (!csv.empty()) csv.push_back('\n');
      csv += *line;
    };
    if (documents::streamPart(package, sheet.file, budget, parser) == documents::PartRead::failed) {
      continue;
    }
    if (csv.empty()) continue;
    if (!result.empty()) result += "\n\n";
    result += "## " + sheet.name + (sheet.hidden ? " (hidden in the workbook)" : "") + "\n" + csv;
  }
  return result;
}

}  // namespace

Workbook workbook(const std::string& path) {
  auto package = documents::ZipPackage::openFile(path);
  documents::UnpackBudget budget(documents::kWorkbookUnpackLimitMB);
  return workbookOf(package.get(), budget);
}

std::string parse(const std::string& path) {
  SafeURL safe = PPTXParser::makeSafeURL(path);
  auto package = documents::ZipPackage::openFile(safe.path());
  return parsePackage(package.get());
}

std::string parseBytes(std::string_view bytes) {
  auto package = documents::ZipPackage::openBytes(bytes);
  return parsePackage(package.get());
}

void streamEntry(const std::string& name, const std::string& path, documents::XMLHandler& handler,
                 int limitMB) {
  auto package = documents::ZipPackage::openFile(path);
  documents::UnpackBudget budget(limitMB);
  if (documents::streamPart(package.get(), name, budget, handler) == documents::PartRead::failed) {
    throw DocumentParser::ParseError::parseFailure("Failed to extract " + name);
  }
}

std::string extractEntry(const std::string& name, const std::string& path) {
  auto package = documents::ZipPackage::openFile(path);
  documents::UnpackBudget budget(documents::kWorkbookUnpackLimitMB);
  std::optional<std::string> bytes = package ? package->read(name, budget) : std::nullopt;
  if (!bytes) throw DocumentParser::ParseError::parseFailure("Failed to extract " + name);
  return std::move(*bytes);
}

}  // namespace XLSXParser
}  // namespace zelk
