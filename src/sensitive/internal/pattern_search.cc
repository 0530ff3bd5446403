#include "sensitive/internal/pattern_search.h"

#include <algorithm>
#include <climits>

#include <unicode/uchar.h>

#include "platform/regex_cache.h"
#include "sensitive/check_timed_out.h"

namespace zelk::sensitive_internal {

namespace {
// Appends every further match of m (with its groups) until none is left or status fails.
void collect(icu::RegexMatcher& m, int32_t groupCount, std::vector<Match>& out,
             UErrorCode& status) {
  while (m.find(status) && U_SUCCESS(status)) {
    Match match;
    match.whole.start = m.start(status);
    match.whole.end = m.end(status);
    for (int32_t g = 1; g <= groupCount; ++g) {
      Span s;
      s.start = m.start(g, status);
      s.end = m.end(g, status);
      match.groups.push_back(s);
    }
    if (U_FAILURE(status)) break;
    out.push_back(std::move(match));
  }
}
}  // namespace

int32_t timeLimitFor(const icu::UnicodeString& text) {
  int64_t limit = kSensitiveRegexTimeLimit + text.length() / kSensitiveRegexUnitsPerLimitStep;
  return static_cast<int32_t>(std::min<int64_t>(limit, INT32_MAX));
}

std::vector<Match> matches(const std::string& pattern, const icu::UnicodeString& text,
                           uint32_t flags) {
  std::vector<Match> out;
  auto m = platform::RegexCache::shared().matcher(pattern, text, flags, timeLimitFor(text));
  if (!m) return out;
  UErrorCode status = U_ZERO_ERROR;
  int32_t groupCount = m->groupCount();
  collect(*m, groupCount, out, status);
  if (status == U_REGEX_TIME_OUT || status == U_REGEX_STACK_OVERFLOW) {
    throw SensitiveData::CheckTimedOut();
  }
  return out;
}

bool searchFinds(const std::string& pattern, const icu::UnicodeString& text, uint32_t flags) {
  auto m = platform::RegexCache::shared().matcher(pattern, text, flags, timeLimitFor(text));
  if (!m) return false;
  UErrorCode status = U_ZERO_ERROR;
  bool found = m->find(status);
  if (status == U_REGEX_TIME_OUT || status == U_REGEX_STACK_OVERFLOW) {
    throw SensitiveData::CheckTimedOut();
  }
  return found && U_SUCCESS(status);
}

}  // namespace zelk::sensitive_internal

namespace zelk::sensitive_internal {

std::vector<Match> matchesInRegions(const std::string& pattern, const icu::UnicodeString& text,
                                    const std::vector<Span>& regions, uint32_t flags) {
  std::vector<Match> out;
  auto m = platform::RegexCache::shared().matcher(pattern, text, flags, timeLimitFor(text));
  if (!m) return out;
  int32_t groupCount = m->groupCount();
  m->useTransparentBounds(true);
  m->useAnchoringBounds(false);
  UErrorCode status = U_ZERO_ERROR;
  for (const Span& region : regions) {
    m->region(region.start, region.end, status);
    if (U_FAILURE(status)) break;
    collect(*m, groupCount, out, status);
    if (U_FAILURE(status)) break;
  }
  if (status == U_REGEX_TIME_OUT || status == U_REGEX_STACK_OVERFLOW) {
    throw SensitiveData::CheckTimedOut();
  }
  return out;
}

std::vector<Span> windows(const icu::UnicodeString& text, int32_t size,
                          const std::function<bool(int32_t)>& safeCut) {
  std::vector<Span> out;
  int32_t n = text.length(), start = 0;
  while (start < n) {
    int32_t end = std::min(n, start + size);
    if (end < n) {
      int32_t floor = std::max(start + 1, end - size / 4);
      int32_t cut = end;
      while (cut > floor && !safeCut(cut)) --cut;
      if (cut > floor) end = cut;
      // Never split a surrogate pair.
      if (U16_IS_TRAIL(text.charAt(end)) && end - 1 > start) --end;
    }
    out.push_back({start, end});
    start = end;
  }
  return out;
}

FoldedText foldForKeywords(const icu::UnicodeString& text) {
  FoldedText f;
  f.units.resize(static_cast<size_t>(text.length()));
  for (int32_t i = 0; i < text.length(); ++i) {
    char16_t c = text.charAt(i);
    if (c >= 'A' && c <= 'Z') c = static_cast<char16_t>(c + 32);
    else if (c == 0xDF || c == 0x130 || c == 0x17F || c == 0x212A || c == 0x1E9E ||
             (c >= 0xFB00 && c <= 0xFB06)) f.exact = false;
    f.units[static_cast<size_t>(i)] = c;
  }
  return f;
}

namespace {

bool asciiWordChar(char16_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

std::vector<Match> matchesAtKeywords(const std::string& pattern, const icu::UnicodeString& text,
                                     const FoldedText& folded,
                                     const std::vector<std::u16string>& keywords,
                                     uint32_t flags, bool wordStart) {
  if (!folded.exact) return matches(pattern, text, flags);
  const std::u16string& u = folded.units;
  std::vector<int32_t> places;
  bool first[128] = {};
  for (const std::u16string& k : keywords) first[k[0] & 0x7F] = true;
  for (size_t i = 0; i < u.size(); ++i) {
    char16_t c = u[i];
    if (c >= 128 || !first[c] || (wordStart && i > 0 && asciiWordChar(u[i - 1]))) continue;
    for (const std::u16string& k : keywords) {
      if (k[0] == c && u.compare(i, k.size(), k) == 0) {
        places.push_back(static_cast<int32_t>(i));
        break;
      }
    }
  }
  return matchesAtStarts(pattern, text, places, flags);
}

std::vector<Match> matchesAtDigitRuns(const std::string& pattern, const icu::UnicodeString& text,
                                      uint32_t flags) {
  std::vector<int32_t> places;
  bool previousDigit = false;
  for (int32_t i = 0; i < text.length(); ++i) {
    char16_t c = text.charAt(i);
    bool digit = (c >= '0' && c <= '9') || (c >= 0x80 && !U16_IS_SURROGATE(c) && u_isdigit(c));
    if (c >= 0x80 && U16_IS_LEAD(c) && i + 1 < text.length()) {
      UChar32 cp = text.char32At(i);
      digit = u_isdigit(cp);
    }
    if (digit && !previousDigit) places.push_back(i);
    previousDigit = digit;
  }
  return matchesAtStarts(pattern, text, places, flags);
}

std::vector<Match> matchesAtStarts(const std::string& pattern, const icu::UnicodeString& text,
                                   const std::vector<int32_t>& places, uint32_t flags) {
  std::vector<Match> out;
  if (places.empty()) return out;
  auto m = platform::RegexCache::shared().matcher(pattern, text, flags, timeLimitFor(text));
  if (!m) return out;
  m->useTransparentBounds(true);
  m->useAnchoringBounds(false);
  int32_t groupCount = m->groupCount();
  UErrorCode status = U_ZERO_ERROR;
  int32_t doneUpTo = 0;
  for (int32_t place : places) {
    if (place < doneUpTo) continue;
    m->region(place, text.length(), status);
    if (U_FAILURE(status)) break;
    if (!m->lookingAt(status) || U_FAILURE(status)) {
      if (U_FAILURE(status)) break;
      continue;
    }
    Match match;
    match.whole.start = m->start(status);
    match.whole.end = m->end(status);
    for (int32_t g = 1; g <= groupCount; ++g) {
      Span sp;
      sp.start = m->start(g, status);
      sp.end = m->end(g, status);
      match.groups.push_back(sp);
    }
    if (U_FAILURE(status)) break;
    // An empty match would not move a search on; step past it as find() does.
    doneUpTo = std::max(match.whole.end, place + 1);
    out.push_back(std::move(match));
  }
  if (status == U_REGEX_TIME_OUT || status == U_REGEX_STACK_OVERFLOW) {
    throw SensitiveData::CheckTimedOut();
  }
  return out;
}

}  // namespace zelk::sensitive_internal
