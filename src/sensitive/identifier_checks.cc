#include "sensitive/identifier_checks.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>

#include <array>
#include <utility>

#include "platform/regex_cache.h"
#include "platform/unicode.h"
#include "sensitive/internal/pattern_search.h"
#include "sensitive/internal/text_units.h"

namespace zelk::SensitiveData {
namespace {

using sensitive_internal::digitsOf;
using sensitive_internal::isWhite;

bool allAsciiDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Value of an all-digit piece; -1 when it is not one.
long number(const std::string& s) {
  if (!allAsciiDigits(s) || s.size() > 18) return -1;
  long n = 0;
  for (char c : s) n = n * 10 + (c - '0');
  return n;
}

bool inAny(long v, std::initializer_list<std::pair<long, long>> ranges) {
  for (auto [lo, hi] : ranges) {
    if (v >= lo && v <= hi) return true;
  }
  return false;
}

bool hasPrefixIn(const std::string& d, size_t width, long lo, long hi) {
  if (d.size() < width) return false;
  long v = number(d.substr(0, width));
  return v >= lo && v <= hi;
}

}  // namespace

bool ssnValid(const std::string& digits) {
  if (digits.size() != 9 || !allAsciiDigits(digits)) return false;
  long area = number(digits.substr(0, 3)), group = number(digits.substr(3, 2)),
       serial = number(digits.substr(5, 4));
  if (area == 0 || area == 666 || group == 0 || serial == 0) return false;
  if (area >= 900) return inAny(group, {{50, 65}, {70, 88}, {90, 92}, {94, 99}});
  return true;
}

bool einPrefixValid(const std::string& digits) {
  if (digits.size() < 2) return false;
  long p = number(digits.substr(0, 2));
  if (p < 0) return false;
  return inAny(p, {{1, 6}, {10, 16}, {20, 27}, {30, 48}, {50, 68}, {71, 77}, {80, 88}, {90, 95},
                   {98, 99}});
}

bool luhn(const std::string& digits) {
  if (digits.size() < 2 || !allAsciiDigits(digits)) return false;
  int sum = 0;
  bool doubleIt = false;
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    int d = *it - '0';
    if (doubleIt) {
      d *= 2;
      if (d > 9) d -= 9;
    }
    sum += d;
    doubleIt = !doubleIt;
  }
  return sum % 10 == 0;
}

bool cardValid(const std::string& digits) {
  size_t n = digits.size();
  if (n < 13 || n > 19 || !luhn(digits)) return false;
  if (digits[0] == '4') return n == 13 || n == 16 || n == 19;
  if (hasPrefixIn(digits, 2, 51, 55) || hasPrefixIn(digits, 4, 2221, 2720)) return n == 16;
  if (hasPrefixIn(digits, 2, 34, 34) || hasPrefixIn(digits, 2, 37, 37)) return n == 15;
  if (hasPrefixIn(digits, 4, 6011, 6011) || hasPrefixIn(digits, 2, 65, 65) ||
      hasPrefixIn(digits, 3, 644, 649) || hasPrefixIn(digits, 4, 3528, 3589)) {
    return n >= 16 && n <= 19;
  }
  if (hasPrefixIn(digits, 2, 36, 36) || hasPrefixIn(digits, 2, 38, 38) ||
      hasPrefixIn(digits, 3, 300, 305)) {
    return n >= 14 && n <= 19;
  }
  return false;
}

bool abaValid(const std::string& text) {
  std::string d;
  icu::UnicodeString u = platform::toUnicode(text);
  for (int32_t i = 0; i < u.length();) {
    UChar32 c = u.char32At(i);
    if (u_isdigit(c)) d.push_back(static_cast<char>('0' + u_charDigitValue(c)));
    i += U16_LENGTH(c);
  }
  if (d.size() != 9) return false;
  long prefix = number(d.substr(0, 2));
  if (!inAny(prefix, {{0, 12}, {21, 32}, {61, 72}, {80, 80}})) return false;
  auto v = [&](int i) { return d[i] - '0'; };
  int sum = 3 * (v(0) + v(3) + v(6)) + 7 * (v(1) + v(4) + v(7)) + (v(2) + v(5) + v(8));
  return sum % 10 == 0;
}

bool ibanValid(const std::string& text) {
  std::string s;
  for (char c : text) {
    if (c != ' ') s.push_back(c);
  }
  if (s.size() < 15 || s.size() > 34) return false;
  static const std::array<std::pair<const char*, size_t>, 18> kLengths{{
      {"AT", 20}, {"BE", 16}, {"CH", 21}, {"CZ", 24}, {"DE", 22}, {"DK", 18},
      {"ES", 24}, {"FI", 18}, {"FR", 27}, {"GB", 22}, {"IE", 22}, {"IT", 27},
      {"LU", 20}, {"NL", 18}, {"NO", 15}, {"PL", 28}, {"PT", 25}, {"SE", 24},
  }};
  std::string country = s.substr(0, 2);
  for (const auto& [code, length] : kLengths) {
    if (country == code && s.size() != length) return false;
  }
  std::string moved = s.substr(4) + s.substr(0, 4);
  int r = 0;
  for (char c : moved) {
    if (c >= '0' && c <= '9') {
      r = (r * 10 + (c - '0')) % 97;
    } else if (c >= 'A' && c <= 'Z') {
      r = (r * 100 + (c - 'A' + 10)) % 97;
    } else {
      return false;
    }
  }
  return r == 1;
}

bool irdValid(const std::string& digits) {
  if ((digits.size() != 8 && digits.size() != 9) || !allAsciiDigits(digits)) return false;
  long value = number(digits);
  if (value < 10'000'000 || value > 150'000'000) return false;
  std::string d = digits.size() == 8 ? "0" + digits : digits;
  auto check = [&](const std::array<int, 8>& weights) {
    int sum = 0;
    for (int i = 0; i < 8; ++i) sum += (d[i] - '0') * weights[i];
    int r = sum % 11;
    return r == 0 ? 0 : 11 - r;
  };
  int c = check({3, 2, 7, 6, 5, 4, 3, 2});
  if (c == 10) {
    c = check({7, 4, 3, 2, 5, 2, 7, 6});
    if (c == 10) return false;
  }
  return c == d[8] - '0';
}

bool tfnValid(const std::string& digits) {
  if (!allAsciiDigits(digits)) return false;
  static const std::array<int, 9> k9{1, 4, 3, 7, 5, 8, 6, 9, 10};
  static const std::array<int, 8> k8{10, 7, 8, 4, 6, 3, 5, 1};
  int sum = 0;
  if (digits.size() == 9) {
    for (int i = 0; i < 9; ++i) sum += (digits[i] - '0') * k9[i];
  } else if (digits.size() == 8) {
    for (int i = 0; i < 8; ++i) sum += (digits[i] - '0') * k8[i];
  } else {
    return false;
  }
  return sum % 11 == 0;
}

bool sinValid(const std::string& digits) {
  return luhn(digits) && digits[0] != '0' && digits[0] != '8';
}

int mrzCheckDigit(const std::string& field) {
  static const std::array<int, 3> kWeights{7, 3, 1};
  int sum = 0;
  for (size_t i = 0; i < field.size(); ++i) {
    char c = field[i];
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c == '<') v = 0;
    else if (c >= 'A' && c <= 'Z') v = c - 'A' + 10;
    else return -1;
    sum += v * kWeights[i % 3];
  }
  return sum % 10;
}

int mrzLine2ChecksPassed(const std::string& line) {
  if (line.size() != 44) return 0;
  auto holds = [&](size_t from, size_t length, size_t at) {
    char check = line[at];
    if (check < '0' || check > '9') return false;
    return mrzCheckDigit(line.substr(from, length)) == check - '0';
  };
  return int(holds(0, 9, 9)) + int(holds(13, 6, 19)) + int(holds(21, 6, 27));
}

bool mrzLine2Valid(const std::string& line) { return mrzLine2ChecksPassed(line) >= 2; }

bool plausible(const std::string& value, SensitiveCategory category) {
  using sensitive_internal::searchFinds;
  std::string digits = digitsOf(value);
  icu::UnicodeString text = platform::toUnicode(value);
  icu::UnicodeString compact;
  for (int32_t i = 0; i < text.length();) {
    UChar32 c = text.char32At(i);
    if (!isWhite(c)) compact.append(c);
    i += U16_LENGTH(c);
  }
  switch (category) {
    case SensitiveCategory::ssn: return digits.size() == 9 && ssnValid(digits);
    case SensitiveCategory::ein: return digits.size() == 9 && einPrefixValid(digits);
    case SensitiveCategory::card: return cardValid(digits);
    case SensitiveCategory::iban: {
      icu::UnicodeString upper = text;
      upper.toUpper(icu::Locale::getRoot());
      return ibanValid(platform::toUtf8(upper));
    }
    case SensitiveCategory::routing: return digits.size() == 9 && abaValid(digits);
    case SensitiveCategory::passportMRZ: return false;
    case SensitiveCategory::canadaSIN: return digits.size() == 9 && luhn(digits);
    case SensitiveCategory::nzIRD: return irdValid(digits);
    case SensitiveCategory::ukNINO: {
      icu::UnicodeString upper = compact;
      upper.toUpper(icu::Locale::getRoot());
      return searchFinds("^[A-Z]{2}\\d{6}[A-D]$", upper);
    }
    case SensitiveCategory::auTFN: return tfnValid(digits);
    case SensitiveCategory::passport:
      return searchFinds("^(?=[A-Z0-9]*\\d)[A-Z0-9]{6,9}$", compact);
    case SensitiveCategory::driversLicense:
      return searchFinds("^(?=[A-Z0-9-]*\\d)[A-Z0-9-]{5,15}$", compact);
    case SensitiveCategory::bankAccount: {
      if (digits.size() < 6 || digits.size() > 17) return false;
      int others = 0;
      for (int32_t i = 0; i < compact.length();) {
        UChar32 c = compact.char32At(i);
        if (!sensitive_internal::isNumeric(c)) ++others;
        i += U16_LENGTH(c);
      }
      return others <= 2;
    }
    case SensitiveCategory::dateOfBirth:
      return searchFinds(
          "^\\s*(\\d{1,2}[/.-]\\d{1,2}[/.-]\\d{2,4}|\\d{4}-\\d{2}-\\d{2}|\\d{1,2} [A-Za-z]{3,9},? "
          "\\d{4}|[A-Za-z]{3,9} \\d{1,2},? \\d{4})\\s*$",
          text);
    case SensitiveCategory::name:
    case SensitiveCategory::address:
    case SensitiveCategory::phone:
    case SensitiveCategory::email: return true;
  }
  return false;
}

}  // namespace zelk::SensitiveData
