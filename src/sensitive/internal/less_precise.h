// Our stand-ins for the platform's telephone/address data detector and personal-name tagger,
// used only when the user turns a text category on. They return UTF-16 spans into the text;
// the redaction's own post-filters then apply. Stateless and thread-safe.
#pragma once

#include <unicode/unistr.h>

#include <vector>

#include "sensitive/internal/pattern_search.h"

namespace zelk::sensitive_internal {

// Telephone numbers found by libphonenumber's matcher (United States as the default region, so
// national numbers there and international numbers with "+" everywhere).
std::vector<Span> findPhoneNumbers(const icu::UnicodeString& text);

// Street addresses: a house number, up to four capitalised words and a street word, with an
// optional direction, unit, and ", City, ST 12345" tail; and post office boxes.
std::vector<Span> findPostalAddresses(const icu::UnicodeString& text);

// Personal names: a capitalised first name from the shipped list followed by up to three
// capitalised words or initials, joined into one token; or a title (Mr, Mrs, Ms, Dr, ...)
// followed by capitalised words. Names that are also ordinary words (May, Will, Grace) need a
// surname after them.
std::vector<Span> tagPersonalNames(const icu::UnicodeString& text);

}  // namespace zelk::sensitive_internal
