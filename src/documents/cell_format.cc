#include "documents/cell_format.h"

#include <unicode/utf8.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace zelk {
namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

constexpr long long kEpoch1900 = -25569;  // 1899-12-30 in days since 1970-01-01
constexpr long long kEpoch1904 = -24107;  // 1904-01-01

// Reads a whole decimal floating-point text (no surrounding spaces).
std::optional<double> readDouble(std::string_view value) {
  if (value.empty() || std::isspace(static_cast<unsigned char>(value.front()))) return std::nullopt;
  std::string s(value);
  char* end = nullptr;
  double x = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size()) return std::nullopt;
  return x;
}

bool isDashes(std::string_view v) { return v == "-" || v == "--" || v == "\u2014"; }

// Keeps a value as written unless it carries more digits than a double holds.
std::string trimmedNumber(std::string_view value, double x) {
  size_t e = value.find_first_of("Ee");
  std::string_view mantissa = value.substr(0, e);
  size_t digits = 0;
  bool leading = true;
  for (char c : mantissa) {
    if (c < '0' || c > '9') continue;
    if (leading && c == '0') continue;
    leading = false;
    ++digits;
  }
  if (digits > 15 && value.find_first_of(".Ee") != std::string_view::npos) {
    return CellFormat::number(x);
  }
  return std::string(value);
}

}  // namespace

std::string_view toString(CellFormat::Kind kind) {
  switch (kind) {
    case CellFormat::Kind::plain: return "plain";
    case CellFormat::Kind::date: return "date";
    case CellFormat::Kind::dateTime: return "dateTime";
    case CellFormat::Kind::time: return "time";
    case CellFormat::Kind::percent: return "percent";
  }
  return "";
}

std::string CellFormat::number(double x) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15g", x);
  std::string s = buffer;
  double ax = std::fabs(x);
  size_t epos = s.find('e');
  if (epos != std::string::npos && ax >= 1e-9 && ax < 1e15) {
    // Rewrite d.ddde±XX with the same digits in plain notation.
    bool negative = s[0] == '-';
    std::string mantissa = s.substr(negative ? 1 : 0, epos - (negative ? 1 : 0));
    int exponent = std::atoi(s.c_str() + epos + 1);
    std::string digits;
    for (char c : mantissa) {
      if (c != '.') digits.push_back(c);
    }
    // Value = 0.digits × 10^(exponent + 1)
    int point = exponent + 1;
    std::string plain;
    if (point <= 0) {
      plain = "0." + std::string(static_cast<size_t>(-point), '0') + digits;
    } else if (static_cast<size_t>(point) >= digits.size()) {
      plain = digits + std::string(static_cast<size_t>(point) - digits.size(), '0');
    } else {
      plain = digits.substr(0, static_cast<size_t>(point)) + "." +
              digits.substr(static_cast<size_t>(point));
    }
    s = (negative ? "-" : "") + plain;
  }
  if (s.find('.') != std::string::npos && s.find('e') == std::string::npos) {
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
  }
  return s;
}

CellFormat::Kind CellFormat::kindOfCode(std::string_view code) {
  code = code.substr(0, code.find(';'));
  // Drop quoted literals, bracketed sections, escapes and the padding and fill markers.
  std::string rest;
  const char* s = code.data();
  int32_t length = static_cast<int32_t>(code.size());
  int32_t i = 0;
  auto skipOne = [&](int32_t at) -> int32_t {  // index after the code point at `at`, or -1
    if (at >= length) return -1;
    int32_t next = at;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (c == '\n' || c == '\r' || c == 0x0B || c == 0x0C || c == 0x85 || c == 0x2028 ||
        c == 0x2029) {
      return -1;  // "." does not match a line terminator
    }
    return next;
  };
  while (i < length) {
    char c = s[i];
    if (c == '"') {
      size_t close = code.find('"', static_cast<size_t>(i) + 1);
      if (close != std::string_view::npos) {
        i = static_cast<int32_t>(close) + 1;
        continue;
      }
    } else if (c == '[') {
      size_t close = code.find(']', static_cast<size_t>(i) + 1);
      if (close != std::string_view::npos) {
        i = static_cast<int32_t>(close) + 1;
        continue;
      }
    } else if (c == '\\' || c == '_' || c == '*') {
      int32_t next = skipOne(i + 1);
      if (next >= 0) {
        i = next;
        continue;
      }
    }
    rest.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    ++i;
  }
  bool d = rest.find_first_of("dy") != std::string::npos;
  if (rest.find('h') != std::string::npos) return d ? Kind::dateTime : Kind::time;
  if (rest.find('s') != std::string::npos) return d ? Kind::dateTime : Kind::time;
  if (d) return Kind::date;
  if (rest.find('%') != std::string::npos) return Kind::percent;
  return Kind::plain;
}

CellFormat::Kind CellFormat::kind(int formatId, const std::map<int, std::string>& custom) {
  switch (formatId) {
    case 9: case 10: return Kind::percent;
    case 14: case 15: case 16: case 17: return Kind::date;
    case 22: return Kind::dateTime;
    case 18: case 19: case 20: case 21: case 45: case 47: return Kind::time;
    default: break;
  }
  auto it = custom.find(formatId);
  if (it == custom.end()) return Kind::plain;
  return kindOfCode(it->second);
}

std::optional<std::string> CellFormat::dateText(Kind kind, bool date1904, double x) {
  if (!(x >= 0 && x < 2958466)) return std::nullopt;
  if (!date1904 && kind != Kind::time && x == 60) return std::nullopt;
  long long seconds = std::llround(x * 86400);
  long long days = seconds / 86400;
  long long s = seconds % 86400;
  char time[32];
  if (s % 60 != 0) {
    std::snprintf(time, sizeof time, "%02lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
  } else {
    std::snprintf(time, sizeof time, "%02lld:%02lld", s / 3600, (s / 60) % 60);
  }
  if (kind == Kind::time) return std::string(time);
  long long day = (date1904 ? kEpoch1904 : kEpoch1900) + days + (!date1904 && x < 60 ? 1 : 0);
  long long y;
  unsigned m, d;
  civilFromDays(day, y, m, d);
  char date[48];
  std::snprintf(date, sizeof date, "%04lld-%02u-%02u", y, m, d);
  if (kind == Kind::date) return std::string(date);
  return std::string(date) + " " + time;
}

std::string CellFormat::text(std::string_view value, long long style) const {
  if (isDashes(value)) return "";
  std::optional<double> x = readDouble(value);
  if (!x || !std::isfinite(*x)) return std::string(value);
  if (style >= 0 && static_cast<size_t>(style) < styles.size()) {
    Kind k = styles[static_cast<size_t>(style)];
    if (k == Kind::date || k == Kind::dateTime || k == Kind::time) {
      if (auto t = dateText(k, date1904, *x)) return *t;
    } else if (k == Kind::percent) {
      return number(*x * 100) + "%";
    }
  }
  return trimmedNumber(value, *x);
}

}  // namespace zelk
