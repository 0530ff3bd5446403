// What one table cell's text means: blank, a yes/no word, a number (with its decimal convention),
// a date (with its day/month order) or plain text. Pure functions over fixed tables; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tables/decimal_number.h"

namespace zelk {

// The parts of a text that reads as a number, before a decimal convention is applied.
struct NumberShape {
  std::string digits;  // the digits, "." and "," in order
  bool negative = false;
  bool percent = false;
  bool currency = false;
  int exponent = 0;
};

struct TableCell {
  enum class Decimal { point, comma };
  enum class DateOrder { dayFirst, monthFirst };

  struct DateReadings {
    std::optional<int64_t> dayFirst;
    std::optional<int64_t> monthFirst;
  };

  // Without leading and trailing characters of the Unicode White_Space property.
  static std::string_view trimmed(std::string_view text) {
    // Most cells begin and end with a visible ASCII character: nothing to trim.
    if (!text.empty()) {
      auto first = static_cast<unsigned char>(text.front());
      auto last = static_cast<unsigned char>(text.back());
      if (first > ' ' && first < 0x80 && last > ' ' && last < 0x80) return text;
    }
    return trimmedSlow(text);
  }
  static std::string_view trimmedSlow(std::string_view text);
  // Empty once trimmed, or a short blank word such as "n/a", "-" or "null".
  static bool isBlank(std::string_view text);
  // A yes word (true) or a no word (false); none for anything else.
  static std::optional<bool> boolean(std::string_view text);

  static std::optional<NumberShape> shape(std::string_view text);
  // Whether the digits group correctly under the convention (Indian grouping too, with a point).
  static bool reads(std::string_view digits, Decimal decimal);
  static std::optional<DecimalNumber> value(const NumberShape& shape, Decimal decimal);
  // Convenience: shape, then value.
  static std::optional<DecimalNumber> number(std::string_view text, Decimal decimal);

  static DateReadings dates(std::string_view text);

  // The same rules for a text that is already trimmed, for callers that test one cell several
  // ways and trim it once.
  static bool isBlankTrimmed(std::string_view trimmedText);
  static std::optional<bool> booleanTrimmed(std::string_view trimmedText);
  static DateReadings datesTrimmed(std::string_view trimmedText);
  // Days since 1970-01-01 in the proleptic Gregorian calendar; none for an impossible date.
  static std::optional<int64_t> days(int64_t year, int64_t month, int64_t day);
  // The inverse of days.
  struct Civil {
    int64_t year, month, day;
  };
  static Civil civil(int64_t days);

  static bool isMonthName(std::string_view token);
};

std::string_view toString(TableCell::Decimal decimal);
std::optional<TableCell::Decimal> decimalFromString(std::string_view raw);
std::string_view toString(TableCell::DateOrder order);
std::optional<TableCell::DateOrder> dateOrderFromString(std::string_view raw);

}  // namespace zelk
