#include "tables/internal/question_text.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>

#include "platform/unicode.h"

namespace zelk::tables {

void foldTextInto(std::string_view text, std::string& out) {
  bool ascii = std::all_of(text.begin(), text.end(),
                           [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) {
    size_t start = out.size();
    out.append(text);
    for (size_t i = start; i < out.size(); ++i)
      if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] - 'A' + 'a');
    return;
  }
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  icu::UnicodeString source = platform::toUnicode(text);
  icu::UnicodeString decomposed = U_SUCCESS(status) ? nfd->normalize(source, status) : source;
  if (U_FAILURE(status)) decomposed = source;
  icu::UnicodeString kept;
  for (int32_t i = 0; i < decomposed.length();) {
    UChar32 c = decomposed.char32At(i);
    i += U16_LENGTH(c);
    if (u_charType(c) == U_NON_SPACING_MARK) continue;
    kept.append(c);
  }
  kept.foldCase();
  out += platform::toUtf8(kept);
}

std::string foldText(std::string_view text) {
  std::string out;
  foldTextInto(text, out);
  return out;
}

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Compares two digit runs as whole numbers of any length.
int compareRuns(std::string_view a, std::string_view b) {
  size_t i = a.find_first_not_of('0'), j = b.find_first_not_of('0');
  a = i == std::string_view::npos ? std::string_view() : a.substr(i);
  b = j == std::string_view::npos ? std::string_view() : b.substr(j);
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

int naturalCompare(std::string_view a, std::string_view b) {
  std::string fa = foldText(a), fb = foldText(b);
  size_t i = 0, j = 0;
  while (i < fa.size() && j < fb.size()) {
    if (isDigit(fa[i]) && isDigit(fb[j])) {
      size_t ei = i, ej = j;
      while (ei < fa.size() && isDigit(fa[ei])) ++ei;
      while (ej < fb.size() && isDigit(fb[ej])) ++ej;
      int c = compareRuns(std::string_view(fa).substr(i, ei - i),
                          std::string_view(fb).substr(j, ej - j));
      if (c != 0) return c;
      i = ei;
      j = ej;
      continue;
    }
    unsigned char ca = static_cast<unsigned char>(fa[i]), cb = static_cast<unsigned char>(fb[j]);
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < fa.size()) return 1;
  if (j < fb.size()) return -1;
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace zelk::tables
