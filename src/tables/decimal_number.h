// The exact base-10 number of the table measures: a 128-bit significand of at most 38 digits and
// a power-of-ten exponent. Sums of money add up to the cent; nothing goes through binary floating
// point. A plain value type; any thread may use its own copies.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelk {

class DecimalNumber {
 public:
  // Significant digits kept exactly; a result with more is rounded half away from zero.
  static constexpr int kMaxDigits = 38;

  DecimalNumber() = default;  // zero
  static DecimalNumber fromInteger(int64_t value);

  // The value (−1 if negative) × digits × 10^exponent. `digits` holds ASCII digits only (may be
  // empty: zero); leading zeros are free, beyond 38 significant digits the rest is rounded.
  // None when the exponent leaves the range this type can hold.
  static std::optional<DecimalNumber> fromDigits(bool negative, std::string_view digits,
                                                 int64_t exponent);

  // Plain numeric text in the POSIX form: an optional sign, digits with at most one ".", an
  // optional exponent ("e" or "E", optional sign, digits). No spaces, groups or symbols.
  static std::optional<DecimalNumber> parse(std::string_view text);

  bool isZero() const { return coefficient_ == 0; }
  bool isNegative() const { return coefficient_ < 0; }

  DecimalNumber operator-() const;
  DecimalNumber operator+(const DecimalNumber& other) const;
  DecimalNumber operator-(const DecimalNumber& other) const { return *this + -other; }
  DecimalNumber& operator+=(const DecimalNumber& other);

  // Exact half (for the mean of two middle values).
  DecimalNumber half() const;
  // This divided by a positive count, rounded half away from zero to `places` decimal places
  // (fewer only where 38 significant digits run out). A count of 0 or below gives zero.
  DecimalNumber dividedBy(int64_t count, int places) const;
  // Rounded half away from zero to `places` decimal places.
  DecimalNumber rounded(int places) const;

  // Numeric order: 1.50 equals 1.5.
  std::strong_ordering operator<=>(const DecimalNumber& other) const;
  bool operator==(const DecimalNumber& other) const { return (*this <=> other) == 0; }

  // Plain decimal notation without exponent or trailing fraction zeros: "1234.5", "-0.125",
  // "1500", "0".
  std::string toString() const;

 private:
  // value = coefficient_ × 10^exponent_, |coefficient_| < 10^38.
  __int128 coefficient_ = 0;
  int32_t exponent_ = 0;

  DecimalNumber(__int128 coefficient, int64_t exponent);
};

}  // namespace zelk
