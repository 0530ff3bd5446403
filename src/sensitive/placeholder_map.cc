#include "sensitive/placeholder_map.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>

#include <array>

#include "platform/unicode.h"
#include "sensitive/internal/text_units.h"

namespace zelk {
namespace {

using sensitive_internal::digitsOf;
using sensitive_internal::isNumeric;

bool isLetterOrDigit(UChar32 c) { return u_isalpha(c) || isNumeric(c); }

// Upper case with everything but letters and digits removed, so that 123-45-6789 and
// 123 45 6789 share one key.
std::string compactKey(const std::string& value) {
  icu::UnicodeString text = platform::toUnicode(value);
  text.toUpper(icu::Locale::getRoot());
  icu::UnicodeString out;
  for (int32_t i = 0; i < text.length();) {
    UChar32 c = text.char32At(i);
    if (isLetterOrDigit(c)) out.append(c);
    i += U16_LENGTH(c);
  }
  return platform::toUtf8(out);
}

bool allDigits(const icu::UnicodeString& piece) {
  if (piece.isEmpty()) return false;
  for (int32_t i = 0; i < piece.length();) {
    UChar32 c = piece.char32At(i);
    if (!u_isdigit(c)) return false;
    i += U16_LENGTH(c);
  }
  return true;
}

// The whole number a digit piece reads as; nullopt when it is not one or is absurdly long.
std::optional<long> wholeNumber(const icu::UnicodeString& piece) {
  if (!allDigits(piece) || piece.length() > 9) return std::nullopt;
  long n = 0;
  for (int32_t i = 0; i < piece.length();) {
    UChar32 c = piece.char32At(i);
    n = n * 10 + u_charDigitValue(c);
    i += U16_LENGTH(c);
  }
  return n;
}

std::optional<int> monthNamed(const icu::UnicodeString& name) {
  static const std::array<std::pair<const char*, int>, 24> kMonths{{
      {"JAN", 1},  {"JANUARY", 1},  {"FEB", 2},       {"FEBRUARY", 2}, {"MAR", 3},
      {"MARCH", 3}, {"APR", 4},     {"APRIL", 4},     {"MAY", 5},      {"JUN", 6},
      {"JUNE", 6}, {"JUL", 7},      {"JULY", 7},      {"AUG", 8},      {"AUGUST", 8},
      {"SEP", 9},  {"SEPT", 9},     {"SEPTEMBER", 9}, {"OCT", 10},     {"OCTOBER", 10},
      {"NOV", 11}, {"NOVEMBER", 11}, {"DEC", 12},     {"DECEMBER", 12},
  }};
  for (const auto& [text, number] : kMonths) {
    if (name == icu::UnicodeString(text)) return number;
  }
  return std::nullopt;
}

std::string pad(long value, int width) {
  std::string s = std::to_string(value);
  while (static_cast<int>(s.size()) < width) s.insert(s.begin(), '0');
  return s;
}

}  // namespace

PlaceholderMap::PlaceholderMap(std::shared_ptr<PlaceholderNumbering> numbering)
    : numbering_(numbering ? std::move(numbering) : std::make_shared<PlaceholderNumbering>()) {}

std::optional<std::string> PlaceholderMap::calendarDate(const std::string& text) {
  icu::UnicodeString upper = platform::toUnicode(text);
  upper.toUpper(icu::Locale::getRoot());
  std::vector<icu::UnicodeString> pieces;
  icu::UnicodeString current;
  for (int32_t i = 0; i < upper.length();) {
    UChar32 c = upper.char32At(i);
    if (isLetterOrDigit(c)) {
      current.append(c);
    } else if (!current.isEmpty()) {
      pieces.push_back(current);
      current.remove();
    }
    if (pieces.size() > 3) return std::nullopt;
    i += U16_LENGTH(c);
  }
  if (!current.isEmpty()) pieces.push_back(current);
  if (pieces.size() != 3) return std::nullopt;
  const icu::UnicodeString &p0 = pieces[0], &p1 = pieces[1], &p2 = pieces[2];

  std::optional<long> month, day;
  const icu::UnicodeString* yearPiece = &p2;
  if (allDigits(p1)) {
    if (allDigits(p0)) {
      if (!allDigits(p2)) return std::nullopt;
      if (p0.length() == 4) {
        yearPiece = &p0;
        month = wholeNumber(p1);
        day = wholeNumber(p2);
      } else {
        auto a = wholeNumber(p0), b = wholeNumber(p1);
        if (!a || !b) return std::nullopt;
        if (*a >= 13 && *b <= 12) {
          day = a;
          month = b;
        } else if (*a <= 12 && *b > 12) {
          month = a;
          day = b;
        } else {
          return std::nullopt;
        }
      }
    } else {
      if (auto m = monthNamed(p0)) month = *m;
      day = wholeNumber(p1);
    }
  } else {
    if (auto m = monthNamed(p1)) month = *m;
    day = wholeNumber(p0);
  }
  if (yearPiece->length() != 4) return std::nullopt;
  auto year = wholeNumber(*yearPiece);
  if (!year || !month || !day) return std::nullopt;
  if (*month < 1 || *month > 12 || *day < 1 || *day > 31) return std::nullopt;
  return pad(*year, 4) + "-" + pad(*month, 2) + "-" + pad(*day, 2);
}

std::string PlaceholderMap::placeholder(SensitiveCategory category, const std::string& value,
                                        PlaceholderStyle style) {
  std::string key(toString(category));
  key += "|";
  std::optional<std::string> date;
  if (category == SensitiveCategory::dateOfBirth) date = calendarDate(value);
  key += date ? *date : compactKey(value);

  int n = numbering_->number(category, key);
  counts_[category] += 1;
  std::string digits = digitsOf(value);
  if (digits.size() > 2) hiddenDigits_.insert(digits);

  bool keepsLabel = category == SensitiveCategory::passportMRZ ||
                    category == SensitiveCategory::dateOfBirth ||
                    category == SensitiveCategory::name || category == SensitiveCategory::address ||
                    category == SensitiveCategory::email;
  if (style == PlaceholderStyle::last4 && !keepsLabel && digits.size() >= 6) {
    return "\u2022\u2022\u2022" + digits.substr(digits.size() - 4);
  }
  return "[" + std::string(placeholderLabel(category)) + " " + std::to_string(n) + "]";
}

int PlaceholderMap::totalHidden() const {
  int total = 0;
  for (const auto& [category, count] : counts_) total += count;
  return total;
}

std::map<std::string, int> PlaceholderMap::summary() const {
  std::map<std::string, int> out;
  for (const auto& [category, count] : counts_) out[std::string(toString(category))] = count;
  return out;
}

std::vector<std::string> PlaceholderMap::filterOutHidden(
    const std::vector<std::string>& values) const {
  std::vector<std::string> kept;
  for (const std::string& value : values) {
    std::string digits = digitsOf(value);
    bool reveals = false;
    if (digits.size() >= 3) {
      for (const std::string& hidden : hiddenDigits_) {
        if (hidden.find(digits) != std::string::npos) {
          reveals = true;
          break;
        }
      }
    }
    if (!reveals) kept.push_back(value);
  }
  return kept;
}

}  // namespace zelk
