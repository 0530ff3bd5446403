// The checks that each issuing scheme defines for its numbers, and `plausible`, which judges a
// value found under a column or key named for a category. Pure functions; any thread.
// Unless said otherwise a check takes the value already reduced to its digits.
#pragma once

#include <string>

#include "sensitive/sensitive_category.h"

namespace zelk::SensitiveData {

// United States social security number structure (9 digits).
bool ssnValid(const std::string& digits);
// The first two digits are an employer identification prefix the IRS issues.
bool einPrefixValid(const std::string& digits);
// Luhn check digit: at least two characters, all decimal digits.
bool luhn(const std::string& digits);
// A payment card: 13 to 19 digits, Luhn, and a length allowed for its prefix.
bool cardValid(const std::string& digits);
// ABA routing checksum; takes any text with exactly 9 decimal digits.
bool abaValid(const std::string& text);
// IBAN length table and modulo 97; takes the text with its letters and spaces.
bool ibanValid(const std::string& text);
// New Zealand IRD number check digit.
bool irdValid(const std::string& digits);
// Australian tax file number weighting (8 or 9 digits).
bool tfnValid(const std::string& digits);
// Labeled Canadian social insurance number: Luhn, first digit neither 0 nor 8.
bool sinValid(const std::string& digits);

// The passport check digit (weights 7, 3, 1) of a field of digits, letters and "<"; -1 when the
// field holds any other character.
int mrzCheckDigit(const std::string& field);
// How many of the three check digits of a 44-character passport line 2 hold (document number,
// date of birth, expiry date); 0 for a line of another length.
int mrzLine2ChecksPassed(const std::string& line);
// At least two of the three hold.
bool mrzLine2Valid(const std::string& line);

// Whether a value found through a column or key name can be a value of the category.
bool plausible(const std::string& value, SensitiveCategory category);

}  // namespace zelk::SensitiveData
