// Character classes and small UTF-16 helpers shared by the detectors and the checks.
#pragma once

#include <unicode/unistr.h>

#include <string>

namespace zelk::sensitive_internal {

// A character with the Unicode numeric property.
bool isNumeric(UChar32 c);
bool isWhite(UChar32 c);

// The numeric characters of a text in order, as ASCII digits; a numeric character that is not
// a decimal digit (such as a fraction) becomes '?', so it counts but fails every check.
std::string digitsOf(const icu::UnicodeString& text);
std::string digitsOf(const std::string& utf8);

bool containsNumeric(const icu::UnicodeString& text);

// Trims Unicode white space from both ends; the result owns its characters.
icu::UnicodeString trimWhite(const icu::UnicodeString& text);
// Trims the given characters (all BMP) from both ends.
icu::UnicodeString trimChars(const icu::UnicodeString& text, const icu::UnicodeString& chars);

}  // namespace zelk::sensitive_internal
