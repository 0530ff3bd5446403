#include "sensitive/internal/text_units.h"

#include <unicode/uchar.h>

#include "platform/unicode.h"

namespace zelk::sensitive_internal {

bool isNumeric(UChar32 c) {
  if (c < 0x80) return c >= '0' && c <= '9';
  return u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

bool isWhite(UChar32 c) { return u_isUWhiteSpace(c); }

std::string digitsOf(const icu::UnicodeString& text) {
  std::string out;
  for (int32_t i = 0; i < text.length();) {
    UChar32 c = text.char32At(i);
    if (isNumeric(c)) {
      int32_t v = u_charDigitValue(c);
      out.push_back(v >= 0 && v <= 9 && u_isdigit(c) ? static_cast<char>('0' + v) : '?');
    }
    i += U16_LENGTH(c);
  }
  return out;
}

std::string digitsOf(const std::string& utf8) { return digitsOf(platform::toUnicode(utf8)); }

bool containsNumeric(const icu::UnicodeString& text) {
  for (int32_t i = 0; i < text.length();) {
    UChar32 c = text.char32At(i);
    if (isNumeric(c)) return true;
    i += U16_LENGTH(c);
  }
  return false;
}

icu::UnicodeString trimWhite(const icu::UnicodeString& text) {
  int32_t start = 0, end = text.length();
  while (start < end) {
    UChar32 c = text.char32At(start);
    if (!isWhite(c)) break;
    start += U16_LENGTH(c);
  }
  while (end > start) {
    UChar32 c = text.char32At(end - 1);
    if (!isWhite(c)) break;
    end -= U16_LENGTH(c);
  }
  return icu::UnicodeString(text, start, end - start);
}

icu::UnicodeString trimChars(const icu::UnicodeString& text, const icu::UnicodeString& chars) {
  int32_t start = 0, end = text.length();
  while (start < end && chars.indexOf(text.charAt(start)) >= 0) ++start;
  while (end > start && chars.indexOf(text.charAt(end - 1)) >= 0) --end;
  return icu::UnicodeString(text, start, end - start);
}

}  // namespace zelk::sensitive_internal
