// Cached ICU pattern search for the detectors: every pattern is compiled once for the process
// (platform::RegexCache) and each search runs under a time limit. A search that runs out of
// time throws SensitiveData::CheckTimedOut. Thread-safe.
#pragma once

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zelk::sensitive_internal {

// The time limit of one find() call, in ICU's units of match-engine work (about 10,000 steps
// each): a fixed part plus one unit per 100 UTF-16 units of the text searched, because a find()
// that meets no match scans the whole text. That bounds every search to about 100 steps per
// character, linear in the text, so backtracking can never run away, yet an honest scan of a
// large text never hits the limit.
inline constexpr int32_t kSensitiveRegexTimeLimit = 1000;
inline constexpr int32_t kSensitiveRegexUnitsPerLimitStep = 100;
int32_t timeLimitFor(const icu::UnicodeString& text);

struct Span {
  int32_t start = -1;  // UTF-16 offset; -1 when a group did not take part
  int32_t end = -1;
  int32_t length() const { return end - start; }
  bool present() const { return start >= 0; }
};

struct Match {
  Span whole;
  std::vector<Span> groups;  // groups[0] is group 1
  Span group(size_t n) const { return n == 0 ? whole : (n <= groups.size() ? groups[n - 1] : Span{}); }
};

// Every match of the pattern in text, in order. A pattern that does not compile gives none.
std::vector<Match> matches(const std::string& pattern, const icu::UnicodeString& text,
                           uint32_t flags = 0);
// Whether the pattern matches somewhere in text.
bool searchFinds(const std::string& pattern, const icu::UnicodeString& text, uint32_t flags = 0);

// The matches found region by region (with transparent bounds, so look-arounds see the text
// around a region). Gives the same matches as one search over the text when no match can cross
// a region boundary, while keeping each search short: ICU's backtracking stack grows with the
// length of a match attempt, and a megabyte of digits would overflow it.
std::vector<Match> matchesInRegions(const std::string& pattern, const icu::UnicodeString& text,
                                    const std::vector<Span>& regions, uint32_t flags = 0);

// Text folded for keyword search: ASCII letters lower-cased one unit for one unit. `exact` is
// false when the text holds a character whose case folding gives ASCII letters of another
// length or value (ß, ſ, the Kelvin sign, ligatures...): keyword search could then miss a
// case-insensitive match, and callers fall back to a plain search.
struct FoldedText {
  std::u16string units;
  bool exact = true;
};
FoldedText foldForKeywords(const icu::UnicodeString& text);

// The matches of a pattern that can only match where one of the keywords (lower case ASCII)
// stands (with wordStart, preceded by no ASCII letter, digit or "_"): tried at those places only (in order, not
// overlapping, as a search would find them). Falls back to a full search when folded isn't exact.
std::vector<Match> matchesAtKeywords(const std::string& pattern, const icu::UnicodeString& text,
                                     const FoldedText& folded,
                                     const std::vector<std::u16string>& keywords,
                                     uint32_t flags = 0, bool wordStart = true);

// The matches of a pattern that can only begin with a digit not preceded by a digit (its first
// token is \d and a look-behind refuses a digit before it), tried at those places only.
std::vector<Match> matchesAtDigitRuns(const std::string& pattern, const icu::UnicodeString& text,
                                      uint32_t flags = 0);

// The matches that begin exactly at the given ascending places, in order and not overlapping.
std::vector<Match> matchesAtStarts(const std::string& pattern, const icu::UnicodeString& text,
                                   const std::vector<int32_t>& places, uint32_t flags = 0);

// Cuts the text into windows of at most `size` units, each ending where safeCut(offset) holds
// when such a place lies in the window's last quarter (else at the size).
std::vector<Span> windows(const icu::UnicodeString& text, int32_t size,
                          const std::function<bool(int32_t)>& safeCut);

}  // namespace zelk::sensitive_internal
