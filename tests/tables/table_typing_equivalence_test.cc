// The fast cell typing and reading paths against the straightforward implementations they
// replaced, kept here as reference_* functions: over many generated cells (dates in all their
// forms, money in both conventions, Indian grouping, percentages, blanks, junk, other scripts,
// yes/no words) and over whole generated CSVs (the same rows, the same column evidence, the same
// typed columns).
#include <gtest/gtest.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/regex_cache.h"
#include "platform/unicode.h"
#include "tables/column_evidence.h"
#include "tables/table_cell.h"
#include "tables/table_layout.h"
#include "tables/table_reader.h"
#include "test_support.h"

namespace zelk {
namespace {

// ---------------------------------------------------------------------------------------------
// Reference cell rules: a plain copy of the implementations before they were made fast.

constexpr std::array<std::string_view, 11> kRefBlankWords = {
    "", "-", "--", "—", "–", "n/a", "na", "null", "none", "#n/a", "nan"};
constexpr std::array<std::string_view, 10> kRefYesWords = {"yes", "y",  "true", "ja", "oui",
                                                           "si",  "sí", "✓",    "✔",  "☑"};
constexpr std::array<std::string_view, 8> kRefNoWords = {"no",  "n", "false", "nein",
                                                         "non", "✗", "✘",     "☐"};
constexpr std::array<std::string_view, 7> kRefCodes = {"USD", "EUR", "GBP", "CHF",
                                                       "CAD", "AUD", "JPY"};
constexpr std::array<std::string_view, 12> kRefMonths = {
    "january", "february", "march",     "april",   "may",      "june",
    "july",    "august",   "september", "october", "november", "december"};
constexpr std::array<std::string_view, 17> kRefWeekdays = {
    "mon", "tue",    "tues",    "wed",       "thu",      "thur",   "thurs",    "fri",   "sat",
    "sun", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"};

template <size_t N>
bool reference_contains(const std::array<std::string_view, N>& words, std::string_view w) {
  return std::find(words.begin(), words.end(), w) != words.end();
}

std::string reference_lowerShort(std::string_view s) {
  bool ascii = true;
  std::string out(s);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) >= 0x80)
      ascii = false;
    else if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return ascii ? out : platform::lowercased(s);
}

std::string reference_asciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool reference_isDigit(char c) { return c >= '0' && c <= '9'; }
bool reference_isAsciiSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool reference_isWholeNumber(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), reference_isDigit);
}

std::optional<int64_t> reference_wholeNumber(std::string_view s) {
  if (!reference_isWholeNumber(s) || s.size() > 9) return std::nullopt;
  int64_t v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

UChar32 reference_nextCodePoint(std::string_view s, size_t& i) {
  unsigned char b = static_cast<unsigned char>(s[i]);
  if (b < 0x80) {
    ++i;
    return b;
  }
  UChar32 c;
  int32_t pos = static_cast<int32_t>(i);
  U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), pos, static_cast<int32_t>(s.size()), c);
  i = static_cast<size_t>(pos);
  return c < 0 ? 0xFFFD : c;
}

std::optional<int64_t> reference_monthNumber(std::string_view token) {
  if (token.size() < 3 || token.size() > 9) return std::nullopt;
  std::string lower = reference_asciiLower(token);
  if (lower == "sept") return 9;
  for (size_t m = 0; m < kRefMonths.size(); ++m) {
    if (lower == kRefMonths[m] || lower == kRefMonths[m].substr(0, 3))
      return static_cast<int64_t>(m + 1);
  }
  return std::nullopt;
}

std::optional<int64_t> reference_yearOf(std::string_view token) {
  if (!reference_isWholeNumber(token)) return std::nullopt;
  int64_t n = *reference_wholeNumber(token);
  if (token.size() == 4) return n;
  if (token.size() == 2) return n > 69 ? 1900 + n : 2000 + n;
  return std::nullopt;
}

std::string_view reference_trimmed(std::string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  int32_t start = 0, end = static_cast<int32_t>(text.size());
  while (start < end) {
    if (p[start] < 0x80) {
      if (!reference_isAsciiSpace(p[start])) break;
      ++start;
      continue;
    }
    int32_t i = start;
    UChar32 c;
    U8_NEXT(p, i, end, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    start = i;
  }
  while (end > start) {
    if (p[end - 1] < 0x80) {
      if (!reference_isAsciiSpace(p[end - 1])) break;
      --end;
      continue;
    }
    int32_t i = end;
    UChar32 c;
    U8_PREV(p, start, i, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    end = i;
  }
  return text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}

bool reference_isBlank(std::string_view text) {
  std::string_view t = reference_trimmed(text);
  if (t.empty()) return true;
  if (t.size() > 6) return false;
  return reference_contains(kRefBlankWords, reference_lowerShort(t));
}

std::optional<bool> reference_boolean(std::string_view text) {
  std::string_view t = reference_trimmed(text);
  if (t.empty() || t.size() > 6) return std::nullopt;
  std::string lower = reference_lowerShort(t);
  if (reference_contains(kRefYesWords, lower)) return true;
  if (reference_contains(kRefNoWords, lower)) return false;
  return std::nullopt;
}

std::optional<NumberShape> reference_shape(std::string_view text) {
  std::string_view t = reference_trimmed(text);
  if (t.empty()) return std::nullopt;
  size_t first = 0;
  UChar32 c0 = reference_nextCodePoint(t, first);
  bool allowed = (c0 >= '0' && c0 <= '9') || c0 == '-' || c0 == 0x2212 || c0 == '+' || c0 == '(' ||
                 c0 == '$' || c0 == 0x20AC || c0 == 0xA3 || c0 == 0xA5 || c0 == 0x20B9 ||
                 c0 == '.' || c0 == ',' || (c0 >= 'A' && c0 <= 'Z');
  if (!allowed) return std::nullopt;

  NumberShape shape;
  if (t.size() >= 2 && t.front() == '(' && t.back() == ')') {
    t = t.substr(1, t.size() - 2);
    shape.negative = true;
  }
  bool lastCapital = !t.empty() && t.back() >= 'A' && t.back() <= 'Z';
  if ((c0 >= 'A' && c0 <= 'Z') || lastCapital) {
    for (std::string_view code : kRefCodes) {
      if (t.size() >= 3 && t.substr(0, 3) == code) {
        t.remove_prefix(3);
        shape.currency = true;
      }
      if (t.size() >= 3 && t.substr(t.size() - 3) == code) {
        t.remove_suffix(3);
        shape.currency = true;
      }
    }
  }
  bool inExponent = false, exponentJustBegan = false, onlySpaceFollows = false;
  bool exponentNegative = false, anyDigit = false;
  int exponentDigits = 0, exponent = 0;
  size_t i = 0;
  while (i < t.size()) {
    UChar32 c = reference_nextCodePoint(t, i);
    bool justBegan = exponentJustBegan;
    exponentJustBegan = false;
    if (c < 0x80 ? (c == ' ' || (c >= '\t' && c <= '\r')) : u_isUWhiteSpace(c)) continue;
    if (onlySpaceFollows) return std::nullopt;
    if (c == '$' || c == 0xA3 || c == 0xA5 || c == 0x20AC || c == 0x20B9) {
      shape.currency = true;
    } else if (c == '\'' || c == 0x2019) {
    } else if (c == '%') {
      shape.percent = true;
      onlySpaceFollows = true;
    } else if (c == '+') {
      if (justBegan) continue;
      if (!shape.digits.empty() || inExponent) return std::nullopt;
    } else if (c == '-' || c == 0x2212) {
      if (justBegan) {
        exponentNegative = true;
        continue;
      }
      shape.negative = !shape.negative;
      if (!shape.digits.empty()) onlySpaceFollows = true;
    } else if (c == '.' || c == ',') {
      if (inExponent) return std::nullopt;
      shape.digits += static_cast<char>(c);
    } else if (c >= '0' && c <= '9') {
      if (inExponent) {
        if (++exponentDigits > 3) return std::nullopt;
        exponent = exponent * 10 + static_cast<int>(c - '0');
      } else {
        shape.digits += static_cast<char>(c);
        anyDigit = true;
      }
    } else if (c == 'e' || c == 'E') {
      if (!anyDigit || inExponent) return std::nullopt;
      inExponent = true;
      exponentJustBegan = true;
    } else {
      return std::nullopt;
    }
  }
  if (!anyDigit) return std::nullopt;
  if (inExponent && exponentDigits == 0) return std::nullopt;
  shape.exponent = exponentNegative ? -exponent : exponent;
  return shape;
}

bool reference_reads(std::string_view digits, TableCell::Decimal decimal) {
  const char mark = decimal == TableCell::Decimal::point ? '.' : ',';
  const char group = decimal == TableCell::Decimal::point ? ',' : '.';
  bool seenMark = false, seenGroup = false;
  bool western = true, indian = decimal == TableCell::Decimal::point;
  size_t length = 0;
  bool firstGroup = true;
  for (char c : digits) {
    if (c == mark) {
      if (seenMark) return false;
      seenMark = true;
    } else if (c == group) {
      if (seenMark) return false;
      if (firstGroup) {
        western = western && length >= 1 && length <= 3;
        indian = indian && length >= 1 && length <= 2;
        firstGroup = false;
      } else {
        western = western && length == 3;
        indian = indian && length == 2;
      }
      seenGroup = true;
      length = 0;
    } else if (!seenMark) {
      ++length;
    }
  }
  if (!seenGroup) return true;
  return (western && length == 3) || (indian && length == 3);
}

TableCell::DateReadings reference_dates(std::string_view text) {
  TableCell::DateReadings none;
  std::string_view t = reference_trimmed(text);
  if (t.size() < 6 || t.size() > 40) return none;
  {
    size_t i = 0;
    UChar32 c = reference_nextCodePoint(t, i);
    if (!reference_isDigit(static_cast<char>(c < 0x80 ? c : 0)) && !u_isalpha(c)) return none;
  }
  size_t plus = t.rfind('+');
  if (plus != std::string_view::npos && t.substr(0, plus).find(':') != std::string_view::npos)
    t = t.substr(0, plus);
  if (std::none_of(t.begin(), t.end(), reference_isDigit)) return none;

  std::vector<std::string_view> tokens;
  size_t start = 0;
  auto isSeparator = [&](size_t i) {
    char c = t[i];
    if (c == ' ' || c == ',' || c == '-' || c == '.' || c == '/' || c == ':') return true;
    return c == 'T' && i > 0 && i + 1 < t.size() && reference_isDigit(t[i - 1]) &&
           reference_isDigit(t[i + 1]);
  };
  for (size_t i = 0; i <= t.size(); ++i) {
    if (i == t.size() || isSeparator(i)) {
      if (i > start) {
        if (tokens.size() == 7) return none;
        tokens.push_back(t.substr(start, i - start));
      }
      start = i + 1;
    }
  }
  if (!tokens.empty()) {
    std::string_view f = tokens.front();
    unsigned char c = static_cast<unsigned char>(f[0]);
    if (((c | 0x20) >= 'a' && (c | 0x20) <= 'z') &&
        reference_contains(kRefWeekdays, reference_asciiLower(f)))
      tokens.erase(tokens.begin());
  }
  if (tokens.size() < 3) return none;
  for (size_t k = 3; k < tokens.size(); ++k) {
    std::string lower = reference_asciiLower(tokens[k]);
    if (reference_isWholeNumber(tokens[k]) || lower == "am" || lower == "pm" || lower == "z" ||
        tokens[k][0] == 'Z')
      continue;
    if (lower.size() >= 2 && lower.back() == 'z' &&
        reference_isWholeNumber(std::string_view(tokens[k]).substr(0, tokens[k].size() - 1)))
      continue;
    return none;
  }
  std::string_view a = tokens[0], b = tokens[1], c = tokens[2];
  auto year = reference_yearOf(c);
  if (auto month = reference_monthNumber(a); month && reference_isWholeNumber(b)) {
    if (!year) return none;
    auto d = TableCell::days(*year, *month, reference_wholeNumber(b).value_or(0));
    return {d, d};
  }
  if (auto month = reference_monthNumber(b); month && reference_isWholeNumber(a)) {
    if (!year) return none;
    auto d = TableCell::days(*year, *month, reference_wholeNumber(a).value_or(0));
    return {d, d};
  }
  if (reference_isWholeNumber(a) && reference_isWholeNumber(b) && reference_isWholeNumber(c)) {
    if (a.size() == 4) {
      auto d = TableCell::days(*reference_wholeNumber(a), reference_wholeNumber(b).value_or(0),
                               reference_wholeNumber(c).value_or(0));
      return {d, d};
    }
    if (a.size() <= 2 && b.size() <= 2 && year) {
      int64_t x = *reference_wholeNumber(a), y = *reference_wholeNumber(b);
      return {TableCell::days(*year, y, x), TableCell::days(*year, x, y)};
    }
  }
  return none;
}

// The evidence counting of one column, as it was.
struct ReferenceEvidence {
  ColumnEvidence e;  // only its fields are used; counting is done here

  void reference_add(std::string_view text) {
    if (reference_isBlank(text)) {
      ++e.blank;
      return;
    }
    ++e.filled;
    if (e.examples.size() < 3 &&
        std::find(e.examples.begin(), e.examples.end(), text) == e.examples.end())
      e.examples.emplace_back(text);
    if (e.settledText) return;
    if (e.filled == ColumnEvidence::kSettleAt) {
      int64_t best = std::max({e.yesno, e.point, e.comma, e.dayFirst, e.monthFirst});
      if (2 * best < e.filled) {
        e.settledText = true;
        return;
      }
    }
    if (reference_boolean(text)) {
      ++e.yesno;
      return;
    }
    if (auto shape = reference_shape(text)) {
      bool withPoint = reference_reads(shape->digits, TableCell::Decimal::point);
      bool withComma = reference_reads(shape->digits, TableCell::Decimal::comma);
      if (withPoint) ++e.point;
      if (withComma) ++e.comma;
      if (withPoint && withComma && shape->digits.find_first_of(".,") != std::string::npos)
        ++e.decimalDiffer;
      if (shape->percent) ++e.percent;
      if (shape->currency) ++e.currency;
      size_t digitCount = static_cast<size_t>(std::count_if(
          shape->digits.begin(), shape->digits.end(), [](char c) { return c >= '0' && c <= '9'; }));
      if (digitCount >= 2 && shape->digits[0] == '0' &&
          shape->digits.find_first_of(".,") == std::string::npos)
        ++e.leadingZero;
      if (withPoint || withComma) return;
    }
    auto readings = reference_dates(text);
    if (readings.dayFirst) ++e.dayFirst;
    if (readings.monthFirst) ++e.monthFirst;
    if (readings.dayFirst && readings.monthFirst && *readings.dayFirst != *readings.monthFirst)
      ++e.dateDiffer;
  }
};

// The totals test of a row, as it was: first filled cell, its first letter, the width rule and
// the pattern.
bool reference_isTotals(const std::vector<std::string>& cells) {
  size_t first = cells.size(), filled = 0;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (reference_isBlank(cells[i])) continue;
    if (first == cells.size()) first = i;
    ++filled;
  }
  if (first == cells.size()) return false;
  std::string_view label = reference_trimmed(cells[first]);
  if (label.empty() || std::string_view("tTsSgGiI").find(label[0]) == std::string_view::npos)
    return false;
  if (2 * filled > std::max<size_t>(cells.size(), 2) + 1) return false;
  icu::UnicodeString text = platform::toUnicode(label);
  auto matcher = platform::RegexCache::shared().matcher(
      "^(grand |sub ?)?totals?\\b|^(sum|summe|gesamt|insgesamt|total général)\\b", text,
      UREGEX_CASE_INSENSITIVE);
  if (!matcher) return false;
  UErrorCode status = U_ZERO_ERROR;
  bool found = matcher->find(0, status);
  return U_SUCCESS(status) && found;
}

// ---------------------------------------------------------------------------------------------
// Reference delimited reading: the field state machine byte by byte over the whole file.

constexpr std::array<uint16_t, 32> kRefCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void reference_appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string reference_fieldText(const std::string& bytes) {
  if (platform::isValidUtf8(bytes)) return bytes;
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0xA0) {
      uint16_t cp = kRefCp1252High[c - 0x80];
      if (cp == 0) return std::string();
      reference_appendUtf8(out, cp);
    } else {
      reference_appendUtf8(out, c);
    }
  }
  return out;
}

using Rows = std::vector<std::pair<int64_t, std::vector<std::string>>>;

Rows reference_readRows(std::string data, char delimiter) {
  if (data.size() >= 3 && data.compare(0, 3, "\xEF\xBB\xBF") == 0) data.erase(0, 3);
  Rows rows;
  std::string field;
  std::vector<std::string> cells;
  bool inQuotes = false, justClosed = false, pending = false;
  int64_t line = 1, rowStart = 1;
  auto endField = [&] {
    cells.push_back(reference_fieldText(field));
    field.clear();
  };
  auto endRow = [&] {
    endField();
    if (cells.size() == 1 && cells[0].empty()) cells.clear();
    rows.emplace_back(rowStart, cells);
    cells.clear();
    inQuotes = justClosed = pending = false;
  };
  for (char ch : data) {
    bool wasClosed = justClosed;
    justClosed = false;
    if (ch == '\n') {
      ++line;
      if (inQuotes) {
        field += ch;
        pending = true;
      } else {
        endRow();
        rowStart = line;
      }
      continue;
    }
    pending = true;
    if (ch == '"') {
      if (inQuotes) {
        inQuotes = false;
        justClosed = true;
      } else if (wasClosed) {
        field += '"';
        inQuotes = true;
      } else if (field.empty()) {
        inQuotes = true;
      } else {
        field += '"';
      }
    } else if (ch == delimiter && !inQuotes) {
      endField();
    } else if (ch == '\r' && !inQuotes) {
    } else {
      field += ch;
    }
  }
  if (pending || !field.empty() || !cells.empty()) endRow();
  return rows;
}

// ---------------------------------------------------------------------------------------------
// Generated cells.

class CellMaker {
 public:
  explicit CellMaker(uint32_t seed) : rng_(seed) {}

  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  int number(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool chance(int percent) { return number(1, 100) <= percent; }

  std::string date() {
    static const char* months[] = {"Jan",      "feb", "MAR",  "April", "may",
                                   "June",     "jul", "Aug",  "Sept",  "october",
                                   "NOVEMBER", "Dec", "Janu", "Mai",   "sepTember"};
    static const char* weekdays[] = {"Mon", "tues", "Wed",  "THURS",     "friday",
                                     "Sat", "sun",  "Thur", "wednesday", "Frid"};
    int y = number(0, 9) == 0 ? number(1, 9999) : number(1960, 2040);
    int m = number(0, 13), d = number(0, 32);
    int yy = y % 100;
    char buf[96];
    switch (pick(14)) {
      case 0:
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
        break;
      case 1:
        std::snprintf(buf, sizeof buf, "%d/%d/%d", d, m, y);
        break;
      case 2:
        std::snprintf(buf, sizeof buf, "%02d/%02d/%02d", m, d, yy);
        break;
      case 3:
        std::snprintf(buf, sizeof buf, "%s %d, %d", months[pick(15)], d, y);
        break;
      case 4:
        std::snprintf(buf, sizeof buf, "%s %d %s %02d", weekdays[pick(10)], d, months[pick(15)],
                      yy);
        break;
      case 5:
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%s", y, m, d, number(0, 24),
                      number(0, 59), number(0, 59),
                      std::array<const char*, 5>{"Z", "+02:00", "", "z", "-05:00"}[pick(5)]);
        break;
      case 6:
        std::snprintf(buf, sizeof buf, "%d.%d.%d", d, m, y);
        break;
      case 7:
        std::snprintf(buf, sizeof buf, "%d-%s-%d %d:%02d %s", d, months[pick(15)], y, number(1, 12),
                      number(0, 59), std::array<const char*, 4>{"am", "PM", "Zulu", "h"}[pick(4)]);
        break;
      case 8:
        std::snprintf(buf, sizeof buf, "%d/%d/%d %d:%d:%d:%d:%d", m, d, y, 1, 2, 3, 4, 5);
        break;
      case 9:
        std::snprintf(buf, sizeof buf, "%d %s %d", d, months[pick(15)], y);
        break;
      case 10:
        std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
        break;
      case 11:
        std::snprintf(buf, sizeof buf, "%d+%d:%d/%d", y, m, d, yy);
        break;
      case 12:
        std::snprintf(buf, sizeof buf, "%s, %s %d, %d", weekdays[pick(10)], months[pick(15)], d, y);
        break;
      default:
        std::snprintf(buf, sizeof buf, "%d//%d -- %d", d, m, y);
        break;
    }
    return buf;
  }

  std::string money() {
    long long whole = number(0, 3) == 0 ? number(0, 99) : number(0, 99999999);
    int cents = number(0, 99);
    bool comma = chance(40);
    std::string w = std::to_string(whole);
    std::string grouped;
    int style = number(0, 3);  // none, western, Indian, apostrophes/spaces
    if (style == 0) {
      grouped = w;
    } else if (style == 2 && w.size() > 3) {
      std::string head = w.substr(0, w.size() - 3);
      std::string tail = w.substr(w.size() - 3);
      std::string h;
      for (size_t i = 0; i < head.size(); ++i) {
        if (i > 0 && (head.size() - i) % 2 == 0) h += ',';
        h += head[i];
      }
      grouped = h + "," + tail;
    } else {
      const char* sep = style == 3 ? std::array<const char*, 4>{" ", "'", "’", "\xC2\xA0"}[pick(4)]
                                   : (comma ? "." : ",");
      for (size_t i = 0; i < w.size(); ++i) {
        if (i > 0 && (w.size() - i) % 3 == 0) grouped += sep;
        grouped += w[i];
      }
    }
    char frac[8];
    std::snprintf(frac, sizeof frac, "%02d", cents);
    std::string text = grouped;
    if (chance(80)) text += std::string(comma ? "," : ".") + (chance(80) ? frac : frac + 1);
    static const char* before[] = {"$", "€ ", "£", "¥", "₹", "USD ", "EUR", "(", "-", "−", "+", ""};
    static const char* after[] = {" €",  "%",  " %",  "-", ")",     " CHF",
                                  "JPY", "e5", "E-3", "e", "e1234", ""};
    if (chance(40)) text = before[pick(12)] + text;
    if (chance(40)) text += after[pick(12)];
    return text;
  }

  std::string word() {
    static const char* words[] = {"",
                                  " ",
                                  "-",
                                  "--",
                                  " -- ",
                                  "—",
                                  "–",
                                  "N/A",
                                  "n/a",
                                  "NA",
                                  "null",
                                  "NULL",
                                  "None",
                                  "#N/A",
                                  "NaN",
                                  "none of them",
                                  "yes",
                                  "YES",
                                  "Y",
                                  "y",
                                  "true",
                                  "TRUE",
                                  "ja",
                                  "Oui",
                                  "si",
                                  "sí",
                                  "SÍ",
                                  "Sí",
                                  "✓",
                                  "✔",
                                  "☑",
                                  "no",
                                  "NO",
                                  "N",
                                  "false",
                                  "Nein",
                                  "non",
                                  "✗",
                                  "✘",
                                  "☐",
                                  "007",
                                  "0.07",
                                  "1",
                                  "12-",
                                  "-12",
                                  "(12)",
                                  "1 234,50 €",
                                  "12 %",
                                  "%12",
                                  "1e5",
                                  "1e",
                                  "1e1234",
                                  "1,234",
                                  "5,678",
                                  "3,5",
                                  "1,2345",
                                  "1.5,2",
                                  "0,123",
                                  "North",
                                  "Doohickey",
                                  "Widget",
                                  "note 123, with a comma",
                                  "Total",
                                  "Grand total",
                                  "subtotal",
                                  "Sum",
                                  "Summe",
                                  "total général",
                                  "İstanbul",
                                  "straße",
                                  "ÉTÉ",
                                  "Ⅻ",
                                  "\xE2\x84\xAA"
                                  "elvin",
                                  "\xC2\xA0"
                                  "12"
                                  "\xC2\xA0",
                                  "\xE3\x80\x80"
                                  "yes",
                                  "\t12\t",
                                  "ＮＵＬＬ",
                                  "Ｙ",
                                  "١٢٣",
                                  "12\xE2\x80\xA8",
                                  "\xEF\xBB\xBF"
                                  "12",
                                  "\xE9t\xE9",
                                  "caf\xE9",
                                  "\xFF\xFE",
                                  "\xC3",
                                  "Wed 3 Apr 24",
                                  "April 3, 2024",
                                  "03/04/2024",
                                  "13/04/2024",
                                  "31/02/2024",
                                  "3/4/24",
                                  "3/4/75",
                                  "2024-04-03T10:15:00+02:00",
                                  "T12T",
                                  "12T13T14",
                                  "1.234.567,89",
                                  "1,23,456.78",
                                  "12,34,567",
                                  "+-1",
                                  "1e+5",
                                  "1e-",
                                  "--5",
                                  "5 - ",
                                  "5-x",
                                  "$$5",
                                  "5$",
                                  "(5",
                                  "5)",
                                  "()",
                                  "(USD)",
                                  "USDUSD",
                                  "AUD5CAD",
                                  "A5",
                                  "Z",
                                  "e5",
                                  ".",
                                  ",",
                                  ".5",
                                  ",5",
                                  "5.",
                                  "'5'",
                                  "5''5",
                                  "12%%",
                                  "12% x",
                                  "₹1,00,000"};
    return words[pick(sizeof words / sizeof words[0])];
  }

  // A cell text of any kind, sometimes padded with white space and sometimes mutated.
  std::string cell() {
    std::string text;
    switch (pick(5)) {
      case 0:
        text = date();
        break;
      case 1:
        text = money();
        break;
      case 2:
        text = word();
        break;
      case 3:
        text = std::to_string(number(-99999, 99999));
        break;
      default:
        text = junk();
        break;
    }
    if (chance(15)) mutate(text);
    if (chance(10)) text = pad() + text + pad();
    return text;
  }

  std::string junk() {
    std::string text;
    int n = number(0, 12);
    for (int i = 0; i < n; ++i) text += alphabet();
    return text;
  }

 private:
  std::string alphabet() {
    static const char* pieces[] = {"0", "1",    "9",        "a",    "Z", "T",  "e", "E",
                                   "z", ".",    ",",        "-",    "/", ":",  "+", "(",
                                   ")", "%",    "$",        " ",    "'", "\t", "€", "£",
                                   "−", "’",    "\xC2\xA0", "é",    "Ö", "İ",  "ß", "\xE2\x80\x83",
                                   "✓", "\x80", "\x81",     "\xE9", "n", "a",  "/", "#",
                                   "y", "s",    "m",        "p"};
    return pieces[pick(sizeof pieces / sizeof pieces[0])];
  }
  std::string pad() {
    static const char* pads[] = {
        " ",  "\t", "  ",       "\xC2\xA0",    "\xE3\x80\x80", "\xE2\x80\x8B",
        "\r", "\v", "\xC2\x85", "\xE1\x9A\x80"};
    return pads[pick(sizeof pads / sizeof pads[0])];
  }
  void mutate(std::string& text) {
    int edits = number(1, 3);
    for (int i = 0; i < edits; ++i) {
      size_t at = text.empty() ? 0 : pick(text.size() + 1);
      switch (pick(3)) {
        case 0:
          text.insert(at, alphabet());
          break;
        case 1:
          if (at < text.size()) text.erase(at, 1);
          break;
        default:
          if (at < text.size()) text.replace(at, 1, alphabet());
          break;
      }
    }
  }
  std::mt19937 rng_;
};

void expectSameShape(const std::optional<NumberShape>& got, const std::optional<NumberShape>& want,
                     const std::string& text) {
  ASSERT_EQ(got.has_value(), want.has_value()) << "shape of \"" << text << "\"";
  if (!want) return;
  EXPECT_EQ(got->digits, want->digits) << text;
  EXPECT_EQ(got->negative, want->negative) << text;
  EXPECT_EQ(got->percent, want->percent) << text;
  EXPECT_EQ(got->currency, want->currency) << text;
  EXPECT_EQ(got->exponent, want->exponent) << text;
}

void expectSameCell(const std::string& text) {
  SCOPED_TRACE("cell \"" + text + "\"");
  std::string_view t = TableCell::trimmed(text), r = reference_trimmed(text);
  EXPECT_EQ(t, r);
  EXPECT_EQ(t.data(), r.data());
  EXPECT_EQ(TableCell::isBlank(text), reference_isBlank(text));
  EXPECT_EQ(TableCell::boolean(text), reference_boolean(text));
  auto shape = TableCell::shape(text);
  expectSameShape(shape, reference_shape(text), text);
  if (shape) {
    for (auto d : {TableCell::Decimal::point, TableCell::Decimal::comma})
      EXPECT_EQ(TableCell::reads(shape->digits, d), reference_reads(shape->digits, d));
  }
  auto dates = TableCell::dates(text);
  auto want = reference_dates(text);
  EXPECT_EQ(dates.dayFirst, want.dayFirst);
  EXPECT_EQ(dates.monthFirst, want.monthFirst);
}

void expectSameEvidence(const ColumnEvidence& got, const ColumnEvidence& want, size_t column) {
  SCOPED_TRACE("column " + std::to_string(column));
  EXPECT_EQ(got.filled, want.filled);
  EXPECT_EQ(got.blank, want.blank);
  EXPECT_EQ(got.yesno, want.yesno);
  EXPECT_EQ(got.point, want.point);
  EXPECT_EQ(got.comma, want.comma);
  EXPECT_EQ(got.decimalDiffer, want.decimalDiffer);
  EXPECT_EQ(got.dayFirst, want.dayFirst);
  EXPECT_EQ(got.monthFirst, want.monthFirst);
  EXPECT_EQ(got.leadingZero, want.leadingZero);
  EXPECT_EQ(got.percent, want.percent);
  EXPECT_EQ(got.currency, want.currency);
  EXPECT_EQ(got.dateDiffer, want.dateDiffer);
  EXPECT_EQ(got.examples, want.examples);
  EXPECT_EQ(got.settledText, want.settledText);
}

TEST(TableTypingEquivalence, FixedCellsAgree) {
  CellMaker maker(1);
  // Every fixed word, bare and padded.
  for (int i = 0; i < 3000; ++i) {
    std::string w = maker.word();
    expectSameCell(w);
    expectSameCell(" " + w + "\t");
    expectSameCell("\xC2\xA0" + w);
  }
}

TEST(TableTypingEquivalence, GeneratedCellsAgree) {
  CellMaker maker(7);
  for (int i = 0; i < 150000 && !::testing::Test::HasFailure(); ++i) expectSameCell(maker.cell());
}

TEST(TableTypingEquivalence, EvidenceAgreesOverGeneratedColumns) {
  CellMaker maker(11);
  // Columns mostly of one kind with a share of others, long enough to pass the settling point.
  for (int kind = 0; kind < 6; ++kind) {
    ColumnEvidence got;
    ReferenceEvidence want;
    for (int i = 0; i < 4000; ++i) {
      std::string text;
      if (maker.chance(kind == 5 ? 40 : 92)) {
        switch (kind) {
          case 0:
            text = maker.date();
            break;
          case 1:
            text = maker.money();
            break;
          case 2:
            text = maker.word();
            break;
          case 3:
            text = std::to_string(maker.number(0, 500));
            break;
          default:
            text = maker.junk();
            break;
        }
      } else {
        text = maker.cell();
      }
      got.add(text);
      want.reference_add(text);
    }
    expectSameEvidence(got, want.e, static_cast<size_t>(kind));
  }
}

TEST(TableTypingEquivalence, TotalsTestAgreesOverGeneratedRows) {
  CellMaker maker(13);
  static const char* labels[] = {"Total",
                                 "total",
                                 "TOTALS",
                                 "Grand Total",
                                 "subtotal",
                                 "Sub total",
                                 "Summe",
                                 "gesamt",
                                 "Insgesamt",
                                 "total général",
                                 "Totality",
                                 "Sum:",
                                 "sums",
                                 "Grand",
                                 "Ist",
                                 "  Total",
                                 "tot",
                                 "S",
                                 "",
                                 "Total général 2024",
                                 "\xC2\xA0Total"};
  for (int i = 0; i < 20000; ++i) {
    std::vector<std::string> cells(maker.pick(6));
    for (auto& c : cells) c = maker.chance(50) ? std::string() : maker.cell();
    if (!cells.empty() && maker.chance(60))
      cells[maker.pick(cells.size())] = labels[maker.pick(21)];
    ASSERT_EQ(TableLayout::isTotals(cells), reference_isTotals(cells))
        << (cells.empty() ? std::string("(no cells)") : cells[0]);
  }
}

// ---------------------------------------------------------------------------------------------
// Whole CSVs.

std::string quoteField(CellMaker& maker, const std::string& text, char delimiter) {
  bool needs = text.find_first_of(std::string("\"\n\r") + delimiter) != std::string::npos;
  if (!needs && !maker.chance(10)) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  if (maker.chance(3)) out += "tail";  // text after a closing quote is appended
  return out;
}

std::string makeCsv(CellMaker& maker, int rows, char delimiter, bool bom, bool crlf) {
  const int width = maker.number(1, 7);
  std::vector<int> kinds(static_cast<size_t>(width));
  for (auto& k : kinds) k = maker.number(0, 5);
  std::string csv = bom ? "\xEF\xBB\xBF" : "";
  const char* eol = crlf ? "\r\n" : "\n";
  if (maker.chance(30)) csv += std::string("A title line") + eol + eol;
  for (int c = 0; c < width; ++c) {
    if (c) csv += delimiter;
    csv += "Col" + std::to_string(c % 4);
  }
  csv += eol;
  for (int r = 0; r < rows; ++r) {
    if (maker.chance(2)) {
      csv += eol;  // a blank line
      continue;
    }
    if (maker.chance(1)) {
      csv += "Total" + std::string(1, delimiter) + delimiter + "12" + eol;
      continue;
    }
    int cells = maker.chance(5) ? maker.number(0, width + 2) : width;
    for (int c = 0; c < cells; ++c) {
      if (c) csv += delimiter;
      std::string text;
      int kind = c < width ? kinds[static_cast<size_t>(c)] : 4;
      if (maker.chance(8)) {
        text = maker.cell();
      } else {
        switch (kind) {
          case 0:
            text = maker.date();
            break;
          case 1:
            text = maker.money();
            break;
          case 2:
            text = maker.word();
            break;
          case 3:
            text = std::to_string(maker.number(0, 999)) + (maker.chance(50) ? ".5" : "");
            break;
          case 4:
            text = "note " + std::to_string(maker.number(0, 9999)) + ", with \"a\" comma";
            break;
          default:
            text = maker.junk();
            break;
        }
      }
      if (maker.chance(2)) text += "\nsecond line";
      csv += quoteField(maker, text, delimiter);
    }
    csv += eol;
  }
  if (maker.chance(50) && !csv.empty()) csv.resize(csv.size() - (crlf ? 2 : 1));
  return csv;
}

TEST(TableTypingEquivalence, GeneratedCsvsReadAndTypeAlike) {
  zelk::testing::TempDir dir;
  CellMaker maker(17);
  const char delimiters[] = {',', ';', '\t', '|'};
  for (int file = 0; file < 12; ++file) {
    SCOPED_TRACE("file " + std::to_string(file));
    char delimiter = delimiters[file % 4];
    std::string csv =
        makeCsv(maker, file < 4 ? 3000 : 700, delimiter, file % 3 == 0, file % 5 == 1);
    std::string path = dir.file("t" + std::to_string(file) + ".csv");
    std::ofstream(path, std::ios::binary) << csv;

    std::string sample =
        csv.substr(csv.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0, TableReader::kDelimiterSample);
    char chosen = TableReader::delimiter(sample, "csv");
    Rows want = reference_readRows(csv, chosen);
    Rows got;
    {
      TableReader reader(path);
      reader.readRows(nullptr, [&](int64_t n, const std::vector<std::string>& cells) {
        got.emplace_back(n, cells);
        return true;
      });
    }
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i].first, want[i].first) << "row " << i;
      ASSERT_EQ(got[i].second, want[i].second) << "row " << got[i].first;
    }

    // The layout pass, and the same evidence counted over its data rows by the reference rules.
    TableReader reader(path);
    std::vector<ReferenceEvidence> evidence;
    Rows dataRows;
    TableLayout layout = TableLayout::read(
        reader, nullptr, nullptr, [](const std::vector<std::string>&) {},
        [&](int64_t n, const std::vector<std::string>& cells) {
          dataRows.emplace_back(n, cells);
          if (evidence.size() < cells.size()) evidence.resize(cells.size());
          for (size_t i = 0; i < cells.size(); ++i) evidence[i].reference_add(cells[i]);
          for (size_t i = cells.size(); i < evidence.size(); ++i) ++evidence[i].e.blank;
          return true;
        });
    EXPECT_EQ(static_cast<size_t>(layout.rows), dataRows.size());
    size_t width = std::max(layout.headers.size(), evidence.size());
    ASSERT_EQ(layout.columns.size(), width);
    for (const auto& [n, cells] : want) {
      EXPECT_EQ(TableLayout::isTotals(cells), reference_isTotals(cells)) << "row " << n;
    }
    for (size_t i = 0; i < width; ++i) {
      SCOPED_TRACE("column " + std::to_string(i));
      ColumnEvidence none;
      TableColumn ref = (i < evidence.size() ? evidence[i].e : none).column("x", 0.9);
      const TableColumn& col = layout.columns[i];
      EXPECT_EQ(col.kind, ref.kind);
      EXPECT_EQ(col.decimal, ref.decimal);
      EXPECT_EQ(col.dateOrder, ref.dateOrder);
      EXPECT_EQ(col.ambiguous, ref.ambiguous);
      EXPECT_EQ(col.proven, ref.proven);
      EXPECT_EQ(col.filled, ref.filled);
      EXPECT_EQ(col.blank, ref.blank);
      EXPECT_EQ(col.misfit, ref.misfit);
      EXPECT_EQ(col.examples, ref.examples);
      // The layout may add cross-column hints after the column's own notes.
      ASSERT_GE(col.notes.size(), ref.notes.size());
      EXPECT_TRUE(std::equal(ref.notes.begin(), ref.notes.end(), col.notes.begin()));
    }
  }
}

}  // namespace
}  // namespace zelk
