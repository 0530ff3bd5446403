#include "platform/unicode.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/utf8.h>

#include <memory>

namespace zelk::platform {

bool isValidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t length = static_cast<int32_t>(s.size());
  if (s.size() > static_cast<size_t>(INT32_MAX)) return false;
  int32_t i = 0;
  while (i < length) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    UChar32 c;
    U8_NEXT(p, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

std::string sanitizeUtf8(std::string_view s) {
  if (s.size() <= static_cast<size_t>(INT32_MAX) && isValidUtf8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size() + 16);
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  // Work in windows so that inputs over 2 GiB still index within int32.
  size_t base = 0;
  while (base < s.size()) {
    int32_t length = static_cast<int32_t>(std::min<size_t>(s.size() - base, 1 << 30));
    int32_t i = 0;
    while (i < length) {
      int32_t start = i;
      UChar32 c;
      U8_NEXT(p + base, i, length, c);
      if (c < 0) {
        out += "\xEF\xBF\xBD";
      } else {
        out.append(reinterpret_cast<const char*>(p + base + start), static_cast<size_t>(i - start));
      }
      // Don't split a sequence at the window edge.
      if (length == (1 << 30) && i > length - 4) break;
    }
    base += static_cast<size_t>(i);
  }
  return out;
}

icu::UnicodeString toUnicode(std::string_view s) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

std::string toUtf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

size_t utf16Length(std::string_view s) {
  size_t units = 0;
  for (unsigned char c : s) {
    if ((c & 0xC0) != 0x80) ++units;  // one per lead byte
    if ((c & 0xF8) == 0xF0) ++units;  // four-byte sequences need a surrogate pair
  }
  return units;
}

size_t graphemeCount(std::string_view s) {
  bool ascii = true;
  for (unsigned char c : s) {
    if (c >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) {
    size_t count = s.size();
    for (size_t i = 0; i + 1 < s.size(); ++i) {
      if (s[i] == '\r' && s[i + 1] == '\n') --count;
    }
    return count;
  }
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    return U_SUCCESS(status) ? std::move(it) : nullptr;
  }();
  icu::UnicodeString text = toUnicode(s);
  if (!iterator) return static_cast<size_t>(text.countChar32());
  iterator->setText(text);
  size_t count = 0;
  for (int32_t pos = iterator->next(); pos != icu::BreakIterator::DONE; pos = iterator->next()) {
    ++count;
  }
  return count;
}

std::string nfc(std::string_view s) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return std::string(s);
  icu::UnicodeString text = toUnicode(s);
  if (normalizer->isNormalized(text, status) && U_SUCCESS(status)) return std::string(s);
  status = U_ZERO_ERROR;
  icu::UnicodeString normal = normalizer->normalize(text, status);
  if (U_FAILURE(status)) return std::string(s);
  return toUtf8(normal);
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  return nfc(a) == nfc(b);
}

std::string lowercased(std::string_view s) {
  icu::UnicodeString text = toUnicode(s);
  text.toLower(icu::Locale::getRoot());
  return toUtf8(text);
}

}  // namespace zelk::platform
