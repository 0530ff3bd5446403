// The spreadsheet pass: sections, records and cells of CSV text, and the row and column filters.
#include "optimize/spreadsheet_optimizer.h"

#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>

#include "documents/csv_parser.h"
#include "platform/unicode.h"

namespace zelk::SpreadsheetOptimizer {

Removed& Removed::operator+=(const Removed& other) {
  emptyRows += other.emptyRows;
  repeatedRows += other.repeatedRows;
  emptyColumns += other.emptyColumns;
  notes += other.notes;
  decimals += other.decimals;
  return *this;
}

namespace {

// Unicode space separators and the tab: what "white space" means for cells.
bool isWhiteSpace(UChar32 c) {
  return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR;
}

std::string_view trimWhite(std::string_view s) {
  size_t begin = 0, end = s.size();
  while (begin < end) {
    unsigned char c = static_cast<unsigned char>(s[begin]);
    if (c == ' ' || c == '\t') {
      ++begin;
      continue;
    }
    if (c < 0x80) break;
    int32_t i = static_cast<int32_t>(begin);
    UChar32 cp;
    U8_NEXT(s.data(), i, static_cast<int32_t>(end), cp);
    if (cp < 0 || !isWhiteSpace(cp)) break;
    begin = static_cast<size_t>(i);
  }
  while (end > begin) {
    unsigned char c = static_cast<unsigned char>(s[end - 1]);
    if (c == ' ' || c == '\t') {
      --end;
      continue;
    }
    if (c < 0x80) break;
    int32_t i = static_cast<int32_t>(end);
    UChar32 cp;
    U8_PREV(s.data(), static_cast<int32_t>(begin), i, cp);
    if (cp < 0 || !isWhiteSpace(cp)) break;
    end = static_cast<size_t>(i);
  }
  return s.substr(begin, end - begin);
}

bool isASCII(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// User-perceived characters, without ICU for plain ASCII (where a CR LF pair is one).
size_t characters(std::string_view s) {
  if (!isASCII(s)) return platform::graphemeCount(s);
  size_t n = s.size();
  for (size_t i = 0; i + 1 < s.size(); ++i) {
    if (s[i] == '\r' && s[i + 1] == '\n') --n;
  }
  return n;
}

bool isNumberChar(UChar32 c) {
  int8_t type = u_charType(c);
  return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

bool containsNumeric(std::string_view s) {
  int32_t i = 0, n = static_cast<int32_t>(s.size());
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c >= '0' && c <= '9') return true;
      ++i;
      continue;
    }
    UChar32 cp;
    U8_NEXT(s.data(), i, n, cp);
    if (cp >= 0 && isNumberChar(cp)) return true;
  }
  return false;
}

// The whole text as a finite or infinite double, the way a strict number reader takes it: no
// leading or trailing space, nothing left over.
std::optional<double> readReal(std::string_view s) {
  if (s.empty() || s.size() > 512) return std::nullopt;
  unsigned char first = static_cast<unsigned char>(s.front());
  if (first == ' ' || (first >= '\t' && first <= '\r')) return std::nullopt;
  char buffer[520];
  std::memcpy(buffer, s.data(), s.size());
  buffer[s.size()] = '\0';
  if (std::strlen(buffer) != s.size()) return std::nullopt;  // an embedded NUL ends nothing
  char* end = nullptr;
  double x = std::strtod(buffer, &end);
  if (end != buffer + s.size()) return std::nullopt;
  return x;
}

// One instruction or boilerplate expression with the lower-case literal starts that any match of
// it must begin with (for ASCII text), so that most cells never reach the regex engine.
struct Pattern {
  std::vector<std::string> starts;
  std::unique_ptr<icu::RegexPattern> regex;
};

struct PatternSet {
  std::vector<Pattern> patterns;
  size_t id = 0;  // index of the set's matchers in each thread's cache
};

PatternSet compileSet(size_t id, std::vector<std::pair<const char*, std::vector<std::string>>> list) {
  PatternSet set;
  set.id = id;
  for (auto& [expression, starts] : list) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    std::unique_ptr<icu::RegexPattern> regex(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8(expression), UREGEX_CASE_INSENSITIVE, parseError, status));
    if (U_SUCCESS(status) && regex) set.patterns.push_back({std::move(starts), std::move(regex)});
  }
  return set;
}

const PatternSet& cellPatterns() {
  static const PatternSet set = compileSet(
      0, {{R"(^Dot?\s+n[o']?t\s+delete$)", {"do"}},
          {R"(^Do\s+not\s+delete$)", {"do"}},
          {R"(^\(click\s+for\s+\w+\)$)", {"(click"}},
          {R"(^click\s+for\s+\w+$)", {"click"}},
          {R"(^\(from\s+below\)$)", {"(from"}},
          {R"(^from\s+below$)", {"from"}},
          {R"(^Automatic\s+calculation$)", {"automatic"}},
          {R"(^Please\s+(indicate|enter|fill|specify))", {"please"}},
          {R"(^__+$)", {"__"}}});
  return set;
}

const PatternSet& sheetPatterns() {
  static const PatternSet set = compileSet(
      1, {{R"(^(confidential|internal use|draft|preliminary))",
           {"confidential", "internal use", "draft", "preliminary"}},
          {R"(^(generated|created|printed|exported)\s+(on|at|date))",
           {"generated", "created", "printed", "exported"}},
          {R"(^(report|document)\s+(date|title|name))", {"report", "document"}},
          {R"(^(company|organization)\s+name)", {"company", "organization"}},
          {R"(^page\s+\d+)", {"page"}},
          {R"(^(copyright|©|\(c\)))", {"copyright", "(c)"}},
          {R"(^(total|sum|average|mean|count|grand total)\s*$)",
           {"total", "sum", "average", "mean", "count", "grand total"}},
          {R"(^please\s+(indicate|enter|fill|input|specify))", {"please"}},
          {R"(^do\s*n[o']?t\s+delete)", {"do"}},
          {R"(^dot?\s+n[o']?t\s+delete)", {"do"}},
          {R"(^automatic\s+calculation)", {"automatic"}},
          {R"(^\*+\s*please)", {"*"}},
          {R"(^click\s+(for|to))", {"click"}},
          {R"(^\(click\s+for)", {"(click"}},
          {R"(^from\s+below$)", {"from"}},
          {R"(^\(from\s+below\)$)", {"(from"}},
          {R"(^__+$)", {"__"}}});
  return set;
}

// Longer than any literal start, in bytes.
constexpr size_t kStartWindow = 16;

// The opening bytes of t lower-cased, or nullopt when they are not all ASCII (then case folding
// could turn them into the letters of a start, and every pattern has to be tried).
std::optional<std::string_view> asciiHead(std::string_view t, std::array<char, kStartWindow>& buf) {
  size_t window = std::min(t.size(), kStartWindow);
  for (size_t i = 0; i < window; ++i) {
    unsigned char c = static_cast<unsigned char>(t[i]);
    if (c >= 0x80) return std::nullopt;
    buf[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  return std::string_view(buf.data(), window);
}

bool anyMatches(const PatternSet& set, std::string_view t) {
  if (t.empty()) return false;
  std::array<char, kStartWindow> buf{};
  std::optional<std::string_view> head = asciiHead(t, buf);
  // Each thread keeps one matcher per pattern, reset onto every text it checks.
  thread_local std::array<std::vector<std::unique_ptr<icu::RegexMatcher>>, 2> cache;
  auto& matchers = cache[set.id];
  if (matchers.size() != set.patterns.size()) matchers.resize(set.patterns.size());
  std::optional<icu::UnicodeString> text;
  for (size_t i = 0; i < set.patterns.size(); ++i) {
    const Pattern& pattern = set.patterns[i];
    if (head) {
      bool starts = false;
      for (const std::string& start : pattern.starts) {
        if (head->substr(0, start.size()) == start) {
          starts = true;
          break;
        }
      }
      if (!starts) continue;
    }
    if (!text) {
      text = icu::UnicodeString::fromUTF8(
          icu::StringPiece(t.data(), static_cast<int32_t>(t.size())));
    }
    UErrorCode status = U_ZERO_ERROR;
    if (!matchers[i]) {
      matchers[i].reset(pattern.regex->matcher(status));
      if (U_FAILURE(status) || !matchers[i]) {
        matchers[i].reset();
        continue;
      }
      matchers[i]->setTimeLimit(2000, status);
    }
    icu::RegexMatcher& matcher = *matchers[i];
    matcher.reset(*text);
    status = U_ZERO_ERROR;
    bool found = matcher.find(status) && U_SUCCESS(status);
    // Leave no matcher pointing at a text that is about to go.
    static const icu::UnicodeString kNothing;
    matcher.reset(kNothing);
    if (found) return true;
  }
  return false;
}

// The longest placeholder value is seven bytes; longer texts skip the set.
bool isPlaceholder(std::string_view t) { return t.size() <= 7 && placeholderValues().count(t) > 0; }

uint64_t hashKey(const Row& row) {
  uint64_t h = 1469598103934665603ull;
  for (const std::string& raw : row) {
    for (char c : trimWhite(raw)) {
      h ^= static_cast<unsigned char>(c);
      h *= 1099511628211ull;
    }
    h ^= 0x01;
    h *= 1099511628211ull;
  }
  return h;
}

bool sameTrimmed(const Row& a, const Row& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (trimWhite(a[i]) != trimWhite(b[i])) return false;
  }
  return true;
}

// Records as views into text.
std::vector<std::string_view> recordViews(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  size_t quotes = 0;
  size_t pos = 0;
  while (true) {
    size_t nl = text.find('\n', pos);
    size_t lineEnd = nl == std::string_view::npos ? text.size() : nl;
    for (size_t i = pos; i < lineEnd; ++i) {
      if (text[i] == '"') ++quotes;
    }
    if (nl == std::string_view::npos) {
      out.push_back(text.substr(start));
      break;
    }
    if (quotes % 2 == 0) {
      out.push_back(text.substr(start, lineEnd - start));
      start = nl + 1;
      quotes = 0;
    }
    pos = nl + 1;
  }
  return out;
}

}  // namespace

const std::set<std::string, std::less<>>& placeholderValues() {
  static const std::set<std::string, std::less<>> values = {
      "",    "-",     "--",    "---", "n/a",   "na",  "N/A", "NA",  "null", "none",
      "x",   "X",     ".",     "..",  "...",   "0",   "0.00", "$0", "$0.00", "0 €",
      "€0",  "0%",    "tbd",   "TBD", "tba",   "TBA", "pending", "Pending", "__", "___"};
  return values;
}

bool matchesCellBoilerplate(std::string_view t) { return anyMatches(cellPatterns(), t); }
bool matchesSheetBoilerplate(std::string_view t) { return anyMatches(sheetPatterns(), t); }

std::vector<std::string> records(std::string_view text) {
  std::vector<std::string> out;
  for (std::string_view r : recordViews(text)) out.emplace_back(r);
  return out;
}

std::vector<std::string> parseCSVLine(std::string_view record) {
  std::vector<std::string> cells;
  std::string cell;
  bool inQuotes = false;
  auto finish = [&] {
    std::string_view t = trimWhite(cell);
    cells.emplace_back(t);
    cell.clear();
  };
  for (size_t i = 0; i < record.size(); ++i) {
    char c = record[i];
    if (inQuotes) {
      if (c == '"') {
        if (i + 1 < record.size() && record[i + 1] == '"') {
          cell.push_back('"');
          ++i;
        } else {
          inQuotes = false;
        }
      } else {
        cell.push_back(c);
      }
    } else if (c == '"') {
      inQuotes = true;
    } else if (c == ',') {
      finish();
    } else {
      cell.push_back(c);
    }
  }
  finish();
  return cells;
}

std::string toCSV(const Rows& rows) { return CSVParser::rowsToCSV(rows); }

std::string trimmed(double x) {
  char buf[512];
  if (x != 0 && std::fabs(x) < 1) {
    std::snprintf(buf, sizeof buf, "%.4g", x);
    return buf;
  }
  std::snprintf(buf, sizeof buf, "%.4f", x);
  std::string out = buf;
  while (!out.empty() && out.back() == '0') out.pop_back();
  if (!out.empty() && out.back() == '.') out.pop_back();
  return out;
}

bool isMeaningfulValue(std::string_view cell) {
  std::string_view t = trimWhite(cell);
  if (characters(t) < 2) return false;
  if (isPlaceholder(t)) return false;
  if (std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    // Overflow reads as the largest value, which is above 999 like the number it stands for.
    if (std::strtoull(std::string(t).c_str(), nullptr, 10) <= 999) return false;
  }
  if (matchesSheetBoilerplate(t) || matchesCellBoilerplate(t)) return false;
  return true;
}

bool isNonzeroNumber(std::string_view cell) {
  std::string_view t = trimWhite(cell);
  if (t.empty()) return false;
  // A text that starts with a letter stays so after the trimming below; only the words of
  // infinity and not-a-number read as numbers then.
  char first = t.front();
  if (((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z')) && first != 'i' &&
      first != 'I' && first != 'n' && first != 'N') {
    return false;
  }
  std::string s;
  s.reserve(t.size());
  for (char c : t) {
    if (c != ',') s.push_back(c);
  }
  static const std::array<std::string_view, 6> strip = {"$", "\xE2\x82\xAC", "\xC2\xA3",
                                                        "\xC2\xA5", "%", " "};
  std::string_view rest = s;
  for (bool changed = true; changed && !rest.empty();) {
    changed = false;
    for (std::string_view sign : strip) {
      if (rest.size() >= sign.size() && rest.substr(0, sign.size()) == sign) {
        rest.remove_prefix(sign.size());
        changed = true;
      }
      if (rest.size() >= sign.size() && rest.substr(rest.size() - sign.size()) == sign) {
        rest.remove_suffix(sign.size());
        changed = true;
      }
    }
  }
  std::optional<double> x = readReal(rest);
  return x && *x != 0;
}

namespace {

std::set<std::string, std::less<>> repeatedFrom(const Rows& rows, size_t from, double threshold) {
  std::unordered_map<std::string_view, int> counts;
  for (size_t r = from; r < rows.size(); ++r) {
    for (const std::string& cell : rows[r]) {
      std::string_view t = trimWhite(cell);
      if (t.size() <= 3) continue;
      size_t n = characters(t);
      if (n > 3 && n < 100) ++counts[t];
    }
  }
  double count = static_cast<double>(rows.size() - std::min(from, rows.size()));
  int needed = std::max(5, static_cast<int>(threshold * count));
  std::set<std::string, std::less<>> out;
  for (const auto& [text, n] : counts) {
    if (n >= needed) out.emplace(text);
  }
  return out;
}

// Which rows the template filter keeps; the first row (the header) always stays. Each cell is
// classified once; only meaningful cells that are no nonzero number are counted for the
// repeated values, because a text's class depends on the text alone and no other cell ever asks
// whether it is repeated.
std::vector<char> templateFlags(const Rows& rows, int minMeaningful) {
  std::vector<char> keep(rows.size(), 1);
  if (rows.size() < 2) return keep;
  enum : uint8_t { kNothing = 0, kNumber = 1, kMeaningful = 2 };
  std::vector<uint8_t> classes;
  std::unordered_map<std::string_view, int> counts;
  counts.reserve(rows.size());
  for (size_t r = 1; r < rows.size(); ++r) {
    for (const std::string& cell : rows[r]) {
      std::string_view t = trimWhite(cell);
      uint8_t c = isNonzeroNumber(t) ? kNumber : isMeaningfulValue(t) ? kMeaningful : kNothing;
      classes.push_back(c);
      if (c == kMeaningful && t.size() > 3) {
        size_t n = characters(t);
        if (n > 3 && n < 100) ++counts[t];
      }
    }
  }
  const int needed =
      std::max(5, static_cast<int>(0.1 * static_cast<double>(rows.size() - 1)));
  size_t at = 0;
  for (size_t r = 1; r < rows.size(); ++r) {
    bool kept = false;
    int shortCells = 0;
    const Row& row = rows[r];
    for (size_t i = 0; i < row.size() && !kept; ++i) {
      uint8_t c = classes[at + i];
      if (c == kNumber) {
        kept = true;
      } else if (c == kMeaningful) {
        std::string_view t = trimWhite(row[i]);
        auto it = counts.find(t);
        if (it != counts.end() && it->second >= needed) continue;  // repeated across the sheet
        if (characters(t) > 24 || containsNumeric(t)) kept = true;
        else ++shortCells;
      }
    }
    at += row.size();
    if (!kept && !row.empty() && shortCells >= minMeaningful) kept = true;
    if (!kept && row.empty() && minMeaningful <= 0) kept = true;
    keep[r] = kept;
  }
  return keep;
}

// Which rows from `from` on the duplicate filter keeps; counts the rows without content.
std::vector<char> duplicateFlags(const Rows& rows, size_t from, int& contentless) {
  std::vector<char> keep(rows.size(), 1);
  contentless = 0;
  std::unordered_map<uint64_t, std::vector<size_t>> seen;  // key hash -> indices of kept rows
  for (size_t r = from; r < rows.size(); ++r) {
    const Row& row = rows[r];
    bool content = false;
    for (const std::string& cell : row) {
      if (isMeaningfulValue(cell) || isNonzeroNumber(cell)) {
        content = true;
        break;
      }
    }
    if (!content) {
      ++contentless;
      keep[r] = 0;
      continue;
    }
    auto& bucket = seen[hashKey(row)];
    bool duplicate = false;
    for (size_t index : bucket) {
      if (sameTrimmed(rows[index], row)) {
        duplicate = true;
        break;
      }
    }
    if (duplicate) {
      keep[r] = 0;
      continue;
    }
    bucket.push_back(r);
  }
  return keep;
}

// Moves the kept rows to the front and drops the rest; returns how many went.
int compact(Rows& rows, const std::vector<char>& keep) {
  size_t out = 0;
  for (size_t r = 0; r < rows.size(); ++r) {
    if (!keep[r]) continue;
    if (out != r) rows[out] = std::move(rows[r]);
    ++out;
  }
  int dropped = static_cast<int>(rows.size() - out);
  rows.resize(out);
  return dropped;
}

bool columnCellCounts(std::string_view cell) {
  std::string_view t = trimWhite(cell);
  if (characters(t) < 2 || isPlaceholder(t)) return false;
  if (readReal(t)) return true;
  return !matchesSheetBoilerplate(t) && !matchesCellBoilerplate(t);
}

// The columns with data, in order (empty when the table has fewer than two rows).
std::vector<size_t> columnsWithData(const Rows& table) {
  std::vector<size_t> kept;
  if (table.size() < 2) return kept;
  size_t width = 0;
  for (const Row& row : table) width = std::max(width, row.size());
  for (size_t c = 0; c < width; ++c) {
    bool hasData = false;
    for (size_t r = 1; r < table.size() && !hasData; ++r) {
      if (c < table[r].size() && columnCellCounts(table[r][c])) hasData = true;
    }
    if (!hasData && c < table[0].size()) {
      const std::string& head = table[0][c];
      hasData = containsNumeric(head) && columnCellCounts(head);
    }
    if (hasData) kept.push_back(c);
  }
  return kept;
}

void keepColumns(Row& row, const std::vector<size_t>& columns) {
  Row reduced;
  reduced.reserve(columns.size());
  for (size_t c : columns) reduced.push_back(c < row.size() ? std::move(row[c]) : std::string());
  row = std::move(reduced);
}

}  // namespace

std::set<std::string, std::less<>> repeatedBoilerplate(const Rows& rows, double threshold) {
  return repeatedFrom(rows, 0, threshold);
}

Rows removeEmptyTemplateRows(const Rows& rows, int minMeaningful, int* dropped) {
  Rows out = rows;
  int n = compact(out, templateFlags(rows, minMeaningful));
  if (dropped) *dropped = n;
  return out;
}

std::pair<Rows, int> removeDuplicateRows(const Rows& rows) {
  int contentless = 0;
  std::vector<char> keep = duplicateFlags(rows, 0, contentless);
  Rows out = rows;
  compact(out, keep);
  return {std::move(out), contentless};
}

Rows removeEmptyColumns(const Rows& table) {
  std::vector<size_t> columns = columnsWithData(table);
  if (columns.empty()) return {};
  Rows out = table;
  for (Row& row : out) keepColumns(row, columns);
  return out;
}

std::string optimizePrecision(std::string_view cell) {
  std::string_view t = trimWhite(cell);
  size_t dot = t.find('.');
  if (dot == std::string_view::npos || t.size() - dot - 1 <= 4) return std::string(cell);
  // More than four characters after the point, counted as characters rather than bytes.
  if (!isASCII(t) && characters(t.substr(dot + 1)) <= 4) return std::string(cell);
  std::optional<double> x = readReal(t);
  // An overflowing value would turn into "inf"; such a cell is left as written.
  if (!x || !std::isfinite(*x)) return std::string(cell);
  return trimmed(*x);
}

std::string optimizeSheet(Rows rows, Removed& removed) {
  std::vector<char> keep(rows.size());
  for (size_t r = 0; r < rows.size(); ++r) {
    keep[r] = std::any_of(rows[r].begin(), rows[r].end(),
                          [](const std::string& cell) { return !trimWhite(cell).empty(); });
  }
  removed.emptyRows += compact(rows, keep);
  if (rows.empty()) return {};
  if (rows.size() == 1) return toCSV(rows);

  size_t width = 0;
  for (const Row& row : rows) width = std::max(width, row.size());
  for (Row& row : rows) row.resize(width);

  removed.emptyRows += compact(rows, templateFlags(rows, 2));
  if (rows.size() < 2) return {};

  // rows[0] is the header from here on; the data rows follow it.
  int contentless = 0;
  keep = duplicateFlags(rows, 1, contentless);
  int dropped = compact(rows, keep);
  removed.emptyRows += contentless;
  removed.repeatedRows += dropped - contentless;

  std::vector<size_t> columns = columnsWithData(rows);
  if (!columns.empty()) {
    removed.emptyColumns += static_cast<int>(rows.front().size() - columns.size());
    for (Row& row : rows) keepColumns(row, columns);
  }

  for (size_t r = 1; r < rows.size(); ++r) {
    for (std::string& cell : rows[r]) {
      std::string_view t = trimWhite(cell);
      if (!t.empty() && matchesCellBoilerplate(t)) {
        cell.clear();
        ++removed.notes;
        continue;
      }
      std::string shortened = optimizePrecision(t);
      if (shortened != t) ++removed.decimals;
      cell = std::move(shortened);
    }
  }
  for (std::string& cell : rows.front()) {
    std::string_view t = trimWhite(cell);
    if (!t.empty() && !matchesCellBoilerplate(t)) cell = std::string(t);
  }
  if (rows.size() < 2) return {};
  return toCSV(rows);
}

std::string optimize(std::string_view text, Removed& removed) {
  struct Section {
    std::optional<std::string_view> title;
    std::vector<std::string_view> rows;
  };
  std::vector<Section> sections;
  std::vector<std::string_view> all = recordViews(text);
  Section current;
  for (std::string_view record : all) {
    if (record.substr(0, 3) == "## ") {
      if (current.title || !current.rows.empty()) sections.push_back(std::move(current));
      current = Section{record, {}};
    } else {
      current.rows.push_back(record);
    }
  }
  if (current.title || !current.rows.empty() || sections.empty()) sections.push_back(std::move(current));

  // Titles and sheet texts are never empty, so each piece after the first takes a blank line.
  std::string out;
  auto append = [&](std::string_view piece) {
    if (!out.empty()) out += "\n\n";
    out += piece;
  };
  for (Section& section : sections) {
    Rows rows;
    rows.reserve(section.rows.size());
    for (std::string_view record : section.rows) {
      if (record.empty()) continue;
      Row cells = parseCSVLine(record);
      for (std::string& cell : cells) std::replace(cell.begin(), cell.end(), '\n', ' ');
      rows.push_back(std::move(cells));
    }
    section.rows = {};
    std::string result = optimizeSheet(std::move(rows), removed);
    if (result.empty()) continue;
    if (section.title) append(*section.title);
    append(result);
  }
  return out;
}

}  // namespace zelk::SpreadsheetOptimizer
