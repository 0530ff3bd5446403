// Cached ICU pattern search for the detectors: every pattern is compiled once for the process
// (platform::RegexCache) and each search runs under a time limit. A search that runs out of
// time throws SensitiveData::CheckTimedOut. Thread-safe: each thread keeps its own matchers, one
// per pattern, and reuses them from search to search (making a matcher costs more than most of
// the short searches the detectors run).
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

// The keywords that every match of one case-insensitive pattern begins with (lower case ASCII).
// With wordStart a keyword counts only where no ASCII letter, digit or "_" stands before it
// (the pattern opens with \b and a letter, so no match can start there).
struct KeywordSet {
  std::vector<std::u16string> keywords;
  bool wordStart = true;
};

// Where the keywords of each set stand in a text, found in one pass over it. `exact` is false
// when the text holds a character whose case folding gives ASCII letters of another length or
// value (ß, ſ, the Kelvin sign, ligatures...): a case-insensitive match could then begin at no
// keyword, and callers search the whole text instead.
struct KeywordPlaces {
  std::vector<std::vector<int32_t>> places;  // per set, ascending
  bool exact = true;
};

// The keywords of several sets indexed by their first two characters, built once and then
// used by any thread; the sets must outlive it. Keywords have at least two characters; with a
// shorter one every search reports `exact` false.
class KeywordIndex {
 public:
  explicit KeywordIndex(std::vector<const KeywordSet*> sets);
  KeywordPlaces find(const icu::UnicodeString& text) const;

 private:
  struct Entry {
    size_t set;
    const std::u16string* keyword;
  };
  static size_t slot(bool wordStart, char16_t first, char16_t second) {
    return (wordStart ? 128 * 128 : 0) + first * 128u + second;
  }
  std::vector<const KeywordSet*> sets_;
  std::vector<Entry> entries_;    // by slot, in set order within a slot
  std::vector<uint32_t> slots_;   // entries of slot s: [slots_[s], slots_[s + 1])
  bool anywhereFirst_[128] = {};  // a keyword that needs no word start begins with this
  bool wordStartFirst_[128] = {};
  bool usable_ = true;
};

// The matches that begin exactly at the given ascending places, in order and not overlapping,
// each ending by `limit` (the text's end when -1; look-arounds still see past it): the same
// matches as a whole-text (or region) search when no match can begin anywhere else.
std::vector<Match> matchesAtStarts(const std::string& pattern, const icu::UnicodeString& text,
                                   const std::vector<int32_t>& places, uint32_t flags = 0,
                                   int32_t limit = -1);

// Cuts the text into windows of at most `size` units, each ending where safeCut(offset) holds
// when such a place lies in the window's last quarter (else at the size).
std::vector<Span> windows(const icu::UnicodeString& text, int32_t size,
                          const std::function<bool(int32_t)>& safeCut);

}  // namespace zelk::sensitive_internal
