// Unicode helpers over UTF-8 std::string: validation, lengths in the units the tools count,
// normalisation and case mapping through ICU.
#pragma once

#include <unicode/unistr.h>

#include <string>
#include <string_view>

namespace zelk::platform {

// Replaces every ill-formed UTF-8 sequence (each maximal subpart) with U+FFFD.
std::string sanitizeUtf8(std::string_view bytes);
bool isValidUtf8(std::string_view bytes);

// User-perceived characters (extended grapheme clusters).
size_t graphemeCount(std::string_view utf8);
// UTF-16 code units.
size_t utf16Length(std::string_view utf8);

icu::UnicodeString toUnicode(std::string_view utf8);
std::string toUtf8(const icu::UnicodeString& text);

// Canonical composition (NFC) and canonical equivalence.
std::string nfc(std::string_view utf8);
bool canonicallyEqual(std::string_view a, std::string_view b);

// Full Unicode lower-casing, locale independent.
std::string lowercased(std::string_view utf8);

}  // namespace zelk::platform
