#include "tables/decimal_number.h"

#include <algorithm>

namespace zelk {

namespace {

using u128 = unsigned __int128;

// Exponents beyond this are refused: no cell can reach them, and printing stays bounded.
constexpr int64_t kMaxExponent = 1'000'000;

constexpr u128 pow10(int n) {
  u128 v = 1;
  for (int i = 0; i < n; ++i) v *= 10;
  return v;
}

struct Powers {
  u128 p[40];
  constexpr Powers() : p() {
    for (int i = 0; i < 40; ++i) p[i] = i <= 38 ? pow10(i) : 0;
  }
};
constexpr Powers kPowers;
constexpr u128 kLimit = pow10(38);  // coefficients stay below this

int digitCount(u128 u) {
  int n = 1;
  while (n < 39 && u >= kPowers.p[n]) ++n;
  return n;
}

u128 magnitude(__int128 c) { return c < 0 ? static_cast<u128>(-(c + 1)) + 1 : static_cast<u128>(c); }

__int128 signedOf(u128 u, bool negative) {
  return negative ? -static_cast<__int128>(u) : static_cast<__int128>(u);
}

// u / 10^m, rounded half away from zero.
u128 dropDigits(u128 u, int64_t m) {
  if (m <= 0) return u;
  if (m > 38) return 0;  // u < 10^38 is below half of 10^39
  u128 p = kPowers.p[m];
  u128 q = u / p, r = u % p;
  if (r >= p / 2) ++q;
  return q;
}

}  // namespace

DecimalNumber::DecimalNumber(__int128 coefficient, int64_t exponent)
    : coefficient_(coefficient), exponent_(static_cast<int32_t>(exponent)) {}

DecimalNumber DecimalNumber::fromInteger(int64_t value) { return DecimalNumber(value, 0); }

std::optional<DecimalNumber> DecimalNumber::fromDigits(bool negative, std::string_view digits,
                                                       int64_t exponent) {
  size_t i = 0;
  const size_t n = digits.size();
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  while (i < n && (!isDigit(digits[i]) || digits[i] == '0')) ++i;
  u128 u = 0;
  int kept = 0;
  // Most cells have few digits: gather them in 64 bits first.
  uint64_t small = 0;
  int smallCount = 0;
  for (; i < n && kept < kMaxDigits; ++i) {
    char c = digits[i];
    if (!isDigit(c)) continue;
    small = small * 10 + static_cast<uint64_t>(c - '0');
    ++kept;
    if (++smallCount == 18) {
      u = u * kPowers.p[18] + small;
      small = 0;
      smallCount = 0;
    }
  }
  if (smallCount > 0) u = u * kPowers.p[smallCount] + small;
  // Digits past the 38th move the exponent and round the last kept one.
  int64_t dropped = 0;
  bool roundUp = false;
  for (; i < n; ++i) {
    char c = digits[i];
    if (!isDigit(c)) continue;
    if (dropped == 0) roundUp = c >= '5';
    ++dropped;
  }
  if (u == 0) return DecimalNumber();
  if (exponent > INT64_MAX / 4 || exponent < INT64_MIN / 4) return std::nullopt;
  exponent += dropped;
  if (roundUp && ++u == kLimit) {
    u /= 10;
    ++exponent;
  }
  if (exponent > kMaxExponent || exponent < -kMaxExponent) return std::nullopt;
  return DecimalNumber(signedOf(u, negative), exponent);
}

std::optional<DecimalNumber> DecimalNumber::parse(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  size_t start = i;
  int64_t fraction = 0;
  bool point = false, any = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      any = true;
      if (point) ++fraction;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!any) return std::nullopt;
  std::string_view digits = text.substr(start, i - start);
  int64_t exponent = 0;
  if (i < text.size()) {
    if (text[i] != 'e' && text[i] != 'E') return std::nullopt;
    ++i;
    bool expNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    for (; i < text.size(); ++i) {
      char c = text[i];
      if (c < '0' || c > '9') return std::nullopt;
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (c - '0');
    }
    if (expNegative) exponent = -exponent;
  }
  return fromDigits(negative, digits, exponent - fraction);
}

DecimalNumber DecimalNumber::operator-() const { return DecimalNumber(-coefficient_, exponent_); }

DecimalNumber DecimalNumber::operator+(const DecimalNumber& other) const {
  DecimalNumber r = *this;
  r += other;
  return r;
}

DecimalNumber& DecimalNumber::operator+=(const DecimalNumber& other) {
  if (other.coefficient_ == 0) return *this;
  if (coefficient_ == 0) return *this = other;
  if (exponent_ == other.exponent_) {
    __int128 s;
    if (!__builtin_add_overflow(coefficient_, other.coefficient_, &s) &&
        magnitude(s) < kLimit) {
      coefficient_ = s;
      return *this;
    }
  }
  // Align on the smaller exponent where the larger-exponent side has room; otherwise round the
  // finer side, which only happens when the sum needs more than 38 digits anyway.
  const DecimalNumber* hi = this;
  const DecimalNumber* lo = &other;
  if (hi->exponent_ < lo->exponent_) std::swap(hi, lo);
  u128 hiMag = magnitude(hi->coefficient_), loMag = magnitude(lo->coefficient_);
  int64_t gap = static_cast<int64_t>(hi->exponent_) - lo->exponent_;
  int64_t room = kMaxDigits - digitCount(hiMag);
  int64_t up = std::min(gap, room);
  hiMag *= kPowers.p[up];
  int64_t exponent = hi->exponent_ - up;
  loMag = dropDigits(loMag, gap - up);
  bool hiNegative = hi->coefficient_ < 0, loNegative = lo->coefficient_ < 0;
  u128 sum;
  bool negative;
  if (hiNegative == loNegative) {
    sum = hiMag + loMag;
    negative = hiNegative;
  } else if (hiMag >= loMag) {
    sum = hiMag - loMag;
    negative = hiNegative;
  } else {
    sum = loMag - hiMag;
    negative = loNegative;
  }
  if (sum >= kLimit) {
    sum = dropDigits(sum, 1);
    ++exponent;
  }
  coefficient_ = signedOf(sum, negative);
  exponent_ = static_cast<int32_t>(exponent);
  return *this;
}

DecimalNumber DecimalNumber::half() const {
  if (coefficient_ % 2 == 0) return DecimalNumber(coefficient_ / 2, exponent_);
  u128 u = magnitude(coefficient_);
  bool negative = coefficient_ < 0;
  if (u * 5 < kLimit) return DecimalNumber(signedOf(u * 5, negative), exponent_ - 1);
  return DecimalNumber(signedOf(u / 2 + 1, negative), exponent_);  // x.5 rounds away from zero
}

DecimalNumber DecimalNumber::dividedBy(int64_t count, int places) const {
  if (count <= 0 || coefficient_ == 0) return DecimalNumber();
  const u128 n = static_cast<u128>(count);
  const u128 u = magnitude(coefficient_);
  const bool negative = coefficient_ < 0;
  const int64_t target = -static_cast<int64_t>(places);
  u128 q = u / n, r = u % n;
  int64_t exponent = exponent_;
  if (exponent < target) {
    // Drop digits of the quotient; the remainder r/n < 1 cannot lift a digit below half to it.
    int64_t m = target - exponent;
    if (m > 38) return DecimalNumber();
    u128 p = kPowers.p[m];
    u128 d = q % p;
    q /= p;
    if (d >= p / 2) ++q;
    return DecimalNumber(signedOf(q, negative), target);
  }
  while (exponent > target && q < kLimit / 10) {
    u128 r10 = r * 10;
    q = q * 10 + r10 / n;
    r = r10 % n;
    --exponent;
  }
  if (2 * r >= n && ++q == kLimit) {
    q /= 10;
    ++exponent;
  }
  return DecimalNumber(signedOf(q, negative), exponent);
}

DecimalNumber DecimalNumber::rounded(int places) const {
  int64_t target = -static_cast<int64_t>(places);
  if (exponent_ >= target) return *this;
  u128 q = dropDigits(magnitude(coefficient_), target - exponent_);
  return DecimalNumber(signedOf(q, coefficient_ < 0), target);
}

std::strong_ordering DecimalNumber::operator<=>(const DecimalNumber& other) const {
  auto sign = [](__int128 c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); };
  int sa = sign(coefficient_), sb = sign(other.coefficient_);
  if (sa != sb) return sa <=> sb;
  if (sa == 0) return std::strong_ordering::equal;
  u128 a = magnitude(coefficient_), b = magnitude(other.coefficient_);
  int64_t adjA = digitCount(a) + static_cast<int64_t>(exponent_);
  int64_t adjB = digitCount(b) + static_cast<int64_t>(other.exponent_);
  std::strong_ordering mag = std::strong_ordering::equal;
  if (adjA != adjB) {
    mag = adjA <=> adjB;
  } else {
    // Same leading position: scaling the coarser side up keeps it within 38 digits.
    if (exponent_ > other.exponent_) a *= kPowers.p[exponent_ - other.exponent_];
    else if (other.exponent_ > exponent_) b *= kPowers.p[other.exponent_ - exponent_];
    mag = a <=> b;
  }
  if (sa < 0) return 0 <=> mag;
  return mag;
}

std::string DecimalNumber::toString() const {
  u128 u = magnitude(coefficient_);
  if (u == 0) return "0";
  int64_t exponent = exponent_;
  while (exponent < 0 && u % 10 == 0) {
    u /= 10;
    ++exponent;
  }
  char buffer[40];
  int len = 0;
  while (u > 0) {
    buffer[len++] = static_cast<char>('0' + static_cast<int>(u % 10));
    u /= 10;
  }
  std::string digits(buffer, static_cast<size_t>(len));
  std::reverse(digits.begin(), digits.end());
  std::string out = coefficient_ < 0 ? "-" : "";
  if (exponent >= 0) {
    out += digits;
    out.append(static_cast<size_t>(exponent), '0');
    return out;
  }
  size_t fraction = static_cast<size_t>(-exponent);
  if (digits.size() > fraction) {
    out += digits.substr(0, digits.size() - fraction);
    out += '.';
    out += digits.substr(digits.size() - fraction);
  } else {
    out += "0.";
    out.append(fraction - digits.size(), '0');
    out += digits;
  }
  return out;
}

}  // namespace zelk
