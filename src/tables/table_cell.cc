#include "tables/table_cell.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <vector>

#include "platform/unicode.h"

namespace zelk {

namespace {

constexpr std::array<std::string_view, 11> kBlankWords = {
    "", "-", "--", "—", "–", "n/a", "na", "null", "none", "#n/a", "nan"};
constexpr std::array<std::string_view, 10> kYesWords = {"yes", "y",  "true", "ja", "oui",
                                                        "si",  "sí", "✓",    "✔",  "☑"};
constexpr std::array<std::string_view, 8> kNoWords = {"no",  "n",   "false", "nein",
                                                      "non", "✗", "✘",     "☐"};
constexpr std::array<std::string_view, 7> kCodes = {"USD", "EUR", "GBP", "CHF",
                                                    "CAD", "AUD", "JPY"};
constexpr std::array<std::string_view, 12> kMonths = {
    "january", "february", "march",     "april",   "may",      "june",
    "july",    "august",   "september", "october", "november", "december"};
constexpr std::array<std::string_view, 17> kWeekdays = {
    "mon",    "tue",     "tues",      "wed",      "thu",    "thur",     "thurs", "fri", "sat",
    "sun",    "monday",  "tuesday",   "wednesday", "thursday", "friday", "saturday", "sunday"};

template <size_t N>
bool contains(const std::array<std::string_view, N>& words, std::string_view w) {
  return std::find(words.begin(), words.end(), w) != words.end();
}

// Whether the lower-cased form of a short text (at most 8 bytes) is one of the words: ASCII is
// lower-cased in a stack buffer, anything else through ICU. `firsts` holds the lower-case first
// bytes of the words that begin with ASCII, so most texts are turned away by their first byte (a
// text beginning with an ASCII character lower-cases to that character, whatever follows).
template <size_t N>
bool lowerShortIn(std::string_view s, const std::array<std::string_view, N>& words,
                  std::string_view firsts) {
  char buf[8];
  bool ascii = true;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      ascii = false;
      break;
    }
    buf[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    if (i == 0 && std::none_of(firsts.begin(), firsts.end(), [&](char f) { return f == buf[0]; }))
      return false;
  }
  if (ascii) return contains(words, std::string_view(buf, s.size()));
  return contains(words, platform::lowercased(s));
}

// Lower-case first bytes of the blank, yes and no words that begin with ASCII.
constexpr std::string_view kBlankFirsts = "-n#";
constexpr std::string_view kYesFirsts = "ytjos";
constexpr std::string_view kNoFirsts = "nf";

char asciiLowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// ASCII case-insensitive equality with a lower-case word.
bool equalsLower(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (size_t i = 0; i < s.size(); ++i)
    if (asciiLowerChar(s[i]) != lower[i]) return false;
  return true;
}

bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// The ASCII part of the White_Space property.
bool isAsciiSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool isWholeNumber(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// A whole number of at most 9 digits (longer ones are no day, month or year anyway).
std::optional<int64_t> wholeNumber(std::string_view s) {
  if (s.empty() || s.size() > 9) return std::nullopt;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

// Decodes the code point at byte offset i (advancing i); U+FFFD for a bad sequence.
UChar32 nextCodePoint(std::string_view s, size_t& i) {
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

std::optional<int64_t> monthNumber(std::string_view token) {
  if (token.size() < 3 || token.size() > 9) return std::nullopt;
  // Every name begins with a letter: years and days are turned away at once.
  if ((token[0] | 0x20) < 'a' || (token[0] | 0x20) > 'z') return std::nullopt;
  char buf[9];
  for (size_t i = 0; i < token.size(); ++i) buf[i] = asciiLowerChar(token[i]);
  std::string_view lower(buf, token.size());
  if (lower == "sept") return 9;
  for (size_t m = 0; m < kMonths.size(); ++m) {
    if (lower == kMonths[m] || lower == kMonths[m].substr(0, 3)) return static_cast<int64_t>(m + 1);
  }
  return std::nullopt;
}

std::optional<int64_t> yearOf(std::string_view token) {
  if (!isWholeNumber(token)) return std::nullopt;
  int64_t n = *wholeNumber(token);
  if (token.size() == 4) return n;
  if (token.size() == 2) return n > 69 ? 1900 + n : 2000 + n;
  return std::nullopt;
}

}  // namespace

std::string_view toString(TableCell::Decimal decimal) {
  return decimal == TableCell::Decimal::point ? "point" : "comma";
}
std::optional<TableCell::Decimal> decimalFromString(std::string_view raw) {
  if (raw == "point") return TableCell::Decimal::point;
  if (raw == "comma") return TableCell::Decimal::comma;
  return std::nullopt;
}
std::string_view toString(TableCell::DateOrder order) {
  return order == TableCell::DateOrder::dayFirst ? "day_first" : "month_first";
}
std::optional<TableCell::DateOrder> dateOrderFromString(std::string_view raw) {
  if (raw == "day_first") return TableCell::DateOrder::dayFirst;
  if (raw == "month_first") return TableCell::DateOrder::monthFirst;
  return std::nullopt;
}

std::string_view TableCell::trimmedSlow(std::string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  int32_t start = 0, end = static_cast<int32_t>(text.size());
  while (start < end) {
    if (p[start] < 0x80) {
      if (!isAsciiSpace(p[start])) break;
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
      if (!isAsciiSpace(p[end - 1])) break;
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

bool TableCell::isBlankTrimmed(std::string_view t) {
  if (t.empty()) return true;
  if (t.size() > 6) return false;
  return lowerShortIn(t, kBlankWords, kBlankFirsts);
}

bool TableCell::isBlank(std::string_view text) { return isBlankTrimmed(trimmed(text)); }

std::optional<bool> TableCell::booleanTrimmed(std::string_view t) {
  if (t.empty() || t.size() > 6) return std::nullopt;
  if (lowerShortIn(t, kYesWords, kYesFirsts)) return true;
  if (lowerShortIn(t, kNoWords, kNoFirsts)) return false;
  return std::nullopt;
}

std::optional<bool> TableCell::boolean(std::string_view text) {
  return booleanTrimmed(trimmed(text));
}

std::optional<NumberShape> TableCell::shape(std::string_view text) {
  std::string_view t = trimmed(text);
  if (t.empty()) return std::nullopt;
  {
    // Most number cells are plain: an optional leading minus, then digits and marks only. They
    // read the same as through the full rules below, without them.
    size_t from = t[0] == '-' ? 1 : 0;
    bool plain = from < t.size(), anyDigit = false;
    for (size_t i = from; i < t.size() && plain; ++i) {
      char c = t[i];
      if (c >= '0' && c <= '9') anyDigit = true;
      else if (c != '.' && c != ',') plain = false;
    }
    if (plain && anyDigit) {
      NumberShape fast;
      fast.digits.assign(t.substr(from));
      fast.negative = from == 1;
      return fast;
    }
    // A text that begins with a digit and doesn't end with a capital letter (no currency code to
    // strip) reads through the rules below exactly as far as the plain scan went. Where the scan
    // stopped at an ASCII character that no rule accepts, or at a minus followed by anything but
    // white space, there is no number: answer that without the rules (dates, times, codes).
    if (from == 0 && isAsciiDigit(t[0]) && !(t.back() >= 'A' && t.back() <= 'Z')) {
      size_t stop = 0;
      while (stop < t.size() && (isAsciiDigit(t[stop]) || t[stop] == '.' || t[stop] == ','))
        ++stop;
      unsigned char c = static_cast<unsigned char>(t[stop]);  // stop < size: the scan wasn't plain
      bool accepted = isAsciiSpace(c) || c == '$' || c == '\'' || c == '%' || c == '+' ||
                      c == 'e' || c == 'E' || c >= 0x80;
      if (c == '-') {
        unsigned char next = stop + 1 < t.size() ? static_cast<unsigned char>(t[stop + 1]) : ' ';
        accepted = isAsciiSpace(next) || next >= 0x80;
      }
      if (!accepted) return std::nullopt;
    }
  }
  size_t first = 0;
  UChar32 c0 = nextCodePoint(t, first);
  bool allowed = (c0 >= '0' && c0 <= '9') || c0 == '-' || c0 == 0x2212 || c0 == '+' ||
                 c0 == '(' || c0 == '$' || c0 == 0x20AC || c0 == 0xA3 || c0 == 0xA5 ||
                 c0 == 0x20B9 || c0 == '.' || c0 == ',' || (c0 >= 'A' && c0 <= 'Z');
  if (!allowed) return std::nullopt;

  NumberShape shape;
  if (t.size() >= 2 && t.front() == '(' && t.back() == ')') {
    t = t.substr(1, t.size() - 2);
    shape.negative = true;
  }
  bool lastCapital = !t.empty() && t.back() >= 'A' && t.back() <= 'Z';
  if ((c0 >= 'A' && c0 <= 'Z') || lastCapital) {
    for (std::string_view code : kCodes) {
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

  bool inExponent = false;      // the exponent letter was read
  bool exponentJustBegan = false;
  bool onlySpaceFollows = false;
  bool exponentNegative = false;
  int exponentDigits = 0;
  int exponent = 0;
  bool anyDigit = false;
  size_t i = 0;
  while (i < t.size()) {
    UChar32 c = nextCodePoint(t, i);
    bool justBegan = exponentJustBegan;
    exponentJustBegan = false;
    if (c < 0x80 ? (c == ' ' || (c >= '\t' && c <= '\r')) : u_isUWhiteSpace(c)) continue;
    if (onlySpaceFollows) return std::nullopt;
    if (c == '$' || c == 0xA3 || c == 0xA5 || c == 0x20AC || c == 0x20B9) {
      shape.currency = true;
    } else if (c == '\'' || c == 0x2019) {
      // group separator
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

bool TableCell::reads(std::string_view digits, Decimal decimal) {
  const char mark = decimal == Decimal::point ? '.' : ',';
  const char group = decimal == Decimal::point ? ',' : '.';
  // One pass: the lengths of the whole part's groups, and the marks' order.
  bool seenMark = false, seenGroup = false;
  bool western = true, indian = decimal == Decimal::point;
  size_t length = 0;  // digits in the current group
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
  // The last group of the whole part.
  return (western && length == 3) || (indian && length == 3);
}

std::optional<DecimalNumber> TableCell::value(const NumberShape& shape, Decimal decimal) {
  if (!reads(shape.digits, decimal)) return std::nullopt;
  const char mark = decimal == Decimal::point ? '.' : ',';
  size_t markAt = shape.digits.find(mark);
  int64_t fraction = 0;
  if (markAt != std::string::npos) {
    for (size_t i = markAt + 1; i < shape.digits.size(); ++i)
      if (isAsciiDigit(shape.digits[i])) ++fraction;
  }
  int64_t exponent = static_cast<int64_t>(shape.exponent) - fraction - (shape.percent ? 2 : 0);
  return DecimalNumber::fromDigits(shape.negative, shape.digits, exponent);
}

std::optional<DecimalNumber> TableCell::number(std::string_view text, Decimal decimal) {
  auto s = shape(text);
  if (!s) return std::nullopt;
  return value(*s, decimal);
}

bool TableCell::isMonthName(std::string_view token) { return monthNumber(token).has_value(); }

TableCell::DateReadings TableCell::dates(std::string_view text) {
  return datesTrimmed(trimmed(text));
}

TableCell::DateReadings TableCell::datesTrimmed(std::string_view t) {
  DateReadings none;
  if (t.size() < 6 || t.size() > 40) return none;
  {
    size_t i = 0;
    UChar32 c = nextCodePoint(t, i);
    if (!isAsciiDigit(static_cast<char>(c < 0x80 ? c : 0)) && !u_isalpha(c)) return none;
  }
  size_t plus = t.rfind('+');
  if (plus != std::string_view::npos && t.substr(0, plus).find(':') != std::string_view::npos)
    t = t.substr(0, plus);
  if (std::none_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; })) return none;

  // At most 7 tokens; the first may be a weekday, dropped by starting one later.
  std::array<std::string_view, 7> tokens;
  size_t count = 0, skip = 0;
  size_t start = 0;
  auto isSeparator = [&](size_t i) {
    char c = t[i];
    if (c == ' ' || c == ',' || c == '-' || c == '.' || c == '/' || c == ':') return true;
    return c == 'T' && i > 0 && i + 1 < t.size() && isAsciiDigit(t[i - 1]) &&
           isAsciiDigit(t[i + 1]);
  };
  for (size_t i = 0; i <= t.size(); ++i) {
    if (i == t.size() || isSeparator(i)) {
      if (i > start) {
        if (count == 7) return none;
        tokens[count++] = t.substr(start, i - start);
      }
      start = i + 1;
    }
  }
  if (count > 0) {
    std::string_view f = tokens[0];
    unsigned char c = static_cast<unsigned char>(f[0]);
    if (((c | 0x20) >= 'a' && (c | 0x20) <= 'z') && f.size() >= 3 && f.size() <= 9 &&
        std::any_of(kWeekdays.begin(), kWeekdays.end(),
                    [&](std::string_view w) { return equalsLower(f, w); }))
      skip = 1;
  }
  if (count - skip < 3) return none;
  for (size_t k = skip + 3; k < count; ++k) {
    std::string_view token = tokens[k];
    if (isWholeNumber(token) || equalsLower(token, "am") || equalsLower(token, "pm") ||
        equalsLower(token, "z") || token[0] == 'Z')
      continue;
    // Seconds with the UTC mark attached ("10:15:00Z"), the commonest ISO 8601 form.
    if (token.size() >= 2 && asciiLowerChar(token.back()) == 'z' &&
        isWholeNumber(token.substr(0, token.size() - 1)))
      continue;
    return none;
  }
  std::string_view a = tokens[skip], b = tokens[skip + 1], c = tokens[skip + 2];
  auto year = yearOf(c);
  if (auto month = monthNumber(a); month && isWholeNumber(b)) {
    if (!year) return none;
    auto d = days(*year, *month, wholeNumber(b).value_or(0));
    return {d, d};
  }
  if (auto month = monthNumber(b); month && isWholeNumber(a)) {
    if (!year) return none;
    auto d = days(*year, *month, wholeNumber(a).value_or(0));
    return {d, d};
  }
  if (isWholeNumber(a) && isWholeNumber(b) && isWholeNumber(c)) {
    if (a.size() == 4) {
      auto d = days(*wholeNumber(a), wholeNumber(b).value_or(0), wholeNumber(c).value_or(0));
      return {d, d};
    }
    if (a.size() <= 2 && b.size() <= 2 && year) {
      int64_t x = *wholeNumber(a), y = *wholeNumber(b);
      return {days(*year, y, x), days(*year, x, y)};
    }
  }
  return none;
}

std::optional<int64_t> TableCell::days(int64_t year, int64_t month, int64_t day) {
  if (month < 1 || month > 12 || day < 1) return std::nullopt;
  static constexpr int kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int64_t length = kLengths[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day > length) return std::nullopt;
  // Days from civil (Howard Hinnant's algorithm).
  int64_t y = year - (month <= 2 ? 1 : 0);
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t mp = (month + 9) % 12;
  int64_t doy = (153 * mp + 2) / 5 + day - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

TableCell::Civil TableCell::civil(int64_t z) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  return {y + (m <= 2 ? 1 : 0), m, d};
}

}  // namespace zelk
