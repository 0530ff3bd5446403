#include "sensitive/internal/pattern_search.h"

#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <unordered_map>

#include <unicode/uchar.h>

#include "platform/regex_cache.h"
#include "sensitive/check_timed_out.h"

namespace zelk::sensitive_internal {

namespace {

// This thread's matchers, one per (pattern, flags). A matcher is lent to one search at a time;
// a search that asks for a pattern already lent (a search nested in another) gets a new one.
class MatcherPool {
 public:
  struct Entry {
    // Shared with the process-wide cache: the matcher needs its pattern alive.
    std::shared_ptr<const icu::RegexPattern> pattern;
    std::unique_ptr<icu::RegexMatcher> matcher;
    bool lent = false;
  };

  static MatcherPool& forThisThread() {
    thread_local MatcherPool pool;
    return pool;
  }

  Entry& entry(const std::string& pattern, uint32_t flags) {
    auto& byPattern = flags == 0 ? plain_ : (flags == UREGEX_CASE_INSENSITIVE ? caseless_ : other_[flags]);
    auto it = byPattern.find(pattern);
    if (it != byPattern.end()) return it->second;
    Entry e;
    e.pattern = platform::RegexCache::shared().pattern(pattern, flags);
    return byPattern.emplace(pattern, std::move(e)).first->second;
  }

 private:
  std::unordered_map<std::string, Entry> plain_, caseless_;
  std::unordered_map<uint32_t, std::unordered_map<std::string, Entry>> other_;
};

// A matcher over one text for the length of one search, with the text's time limit and ICU's
// default bounds. Returns the pool's matcher to it, detached from the text. A matcher that
// searched a long text is dropped instead: its backtracking stack may have grown, and ICU never
// gives that memory back while the matcher lives.
class LentMatcher {
 public:
  LentMatcher(const std::string& pattern, const icu::UnicodeString& text, uint32_t flags) {
    MatcherPool::Entry& e = MatcherPool::forThisThread().entry(pattern, flags);
    if (!e.pattern) return;
    UErrorCode status = U_ZERO_ERROR;
    if (!e.lent && !e.matcher) {
      e.matcher.reset(e.pattern->matcher(status));
      if (U_FAILURE(status)) {
        e.matcher.reset();
        return;
      }
    }
    if (e.lent) {
      own_.reset(e.pattern->matcher(text, status));
      if (U_FAILURE(status)) {
        own_.reset();
        return;
      }
      m_ = own_.get();
    } else {
      e.lent = true;
      entry_ = &e;
      longText_ = text.length() > kKeptMatcherTextLength;
      m_ = e.matcher.get();
      m_->reset(text);
      m_->useTransparentBounds(false);
      m_->useAnchoringBounds(true);
    }
    m_->setTimeLimit(timeLimitFor(text), status);
  }
  ~LentMatcher() {
    if (!entry_) return;
    static const icu::UnicodeString kNothing;
    if (longText_) {
      entry_->matcher.reset();
    } else {
      m_->reset(kNothing);
    }
    entry_->lent = false;
  }
  LentMatcher(const LentMatcher&) = delete;
  LentMatcher& operator=(const LentMatcher&) = delete;

  icu::RegexMatcher* get() const { return m_; }

 private:
  static constexpr int32_t kKeptMatcherTextLength = 4096;
  icu::RegexMatcher* m_ = nullptr;
  MatcherPool::Entry* entry_ = nullptr;
  bool longText_ = false;
  std::unique_ptr<icu::RegexMatcher> own_;
};

void throwIfOutOfTime(UErrorCode status) {
  if (status == U_REGEX_TIME_OUT || status == U_REGEX_STACK_OVERFLOW) {
    throw SensitiveData::CheckTimedOut();
  }
}

Match currentMatch(icu::RegexMatcher& m, int32_t groupCount, UErrorCode& status) {
  Match match;
  match.whole.start = m.start(status);
  match.whole.end = m.end(status);
  match.groups.reserve(static_cast<size_t>(groupCount));
  for (int32_t g = 1; g <= groupCount; ++g) {
    Span s;
    s.start = m.start(g, status);
    s.end = m.end(g, status);
    match.groups.push_back(s);
  }
  return match;
}

// Appends every further match of m (with its groups) until none is left or status fails.
void collect(icu::RegexMatcher& m, int32_t groupCount, std::vector<Match>& out,
             UErrorCode& status) {
  while (m.find(status) && U_SUCCESS(status)) {
    Match match = currentMatch(m, groupCount, status);
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
  LentMatcher lent(pattern, text, flags);
  icu::RegexMatcher* m = lent.get();
  if (!m) return out;
  UErrorCode status = U_ZERO_ERROR;
  collect(*m, m->groupCount(), out, status);
  throwIfOutOfTime(status);
  return out;
}

bool searchFinds(const std::string& pattern, const icu::UnicodeString& text, uint32_t flags) {
  LentMatcher lent(pattern, text, flags);
  icu::RegexMatcher* m = lent.get();
  if (!m) return false;
  UErrorCode status = U_ZERO_ERROR;
  bool found = m->find(status);
  throwIfOutOfTime(status);
  return found && U_SUCCESS(status);
}

std::vector<Match> matchesInRegions(const std::string& pattern, const icu::UnicodeString& text,
                                    const std::vector<Span>& regions, uint32_t flags) {
  std::vector<Match> out;
  LentMatcher lent(pattern, text, flags);
  icu::RegexMatcher* m = lent.get();
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
  throwIfOutOfTime(status);
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

namespace {

bool asciiWordChar(char16_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Characters whose case folding gives ASCII letters of another length or value.
bool foldsToOtherAscii(char16_t c) {
  return c == 0xDF || c == 0x130 || c == 0x17F || c == 0x212A || c == 0x1E9E ||
         (c >= 0xFB00 && c <= 0xFB06);
}

}  // namespace

KeywordIndex::KeywordIndex(std::vector<const KeywordSet*> sets) : sets_(std::move(sets)) {
  std::vector<std::vector<Entry>> bySlot(2 * 128 * 128);
  for (size_t s = 0; s < sets_.size(); ++s) {
    bool wordStart = sets_[s]->wordStart;
    for (const std::u16string& k : sets_[s]->keywords) {
      if (k.size() < 2 || k[0] >= 128 || k[1] >= 128) {
        usable_ = false;
        continue;
      }
      bySlot[slot(wordStart, k[0], k[1])].push_back({s, &k});
      (wordStart ? wordStartFirst_ : anywhereFirst_)[k[0]] = true;
    }
  }
  slots_.reserve(bySlot.size() + 1);
  for (const std::vector<Entry>& entries : bySlot) {
    slots_.push_back(static_cast<uint32_t>(entries_.size()));
    entries_.insert(entries_.end(), entries.begin(), entries.end());
  }
  slots_.push_back(static_cast<uint32_t>(entries_.size()));
}

KeywordPlaces KeywordIndex::find(const icu::UnicodeString& text) const {
  KeywordPlaces out;
  out.places.resize(sets_.size());
  out.exact = usable_;
  const char16_t* u = text.getBuffer();
  const int32_t n = text.length();
  if (!u) return out;
  auto lower = [](char16_t c) { return c >= 'A' && c <= 'Z' ? static_cast<char16_t>(c + 32) : c; };
  auto tryAt = [&](size_t s, int32_t i) {
    size_t placedSet = SIZE_MAX;
    for (uint32_t e = slots_[s]; e < slots_[s + 1]; ++e) {
      const Entry& entry = entries_[e];
      if (entry.set == placedSet) continue;
      const std::u16string& k = *entry.keyword;
      if (static_cast<int64_t>(i) + static_cast<int64_t>(k.size()) > n) continue;
      bool same = true;
      for (size_t j = 2; j < k.size() && same; ++j) same = lower(u[i + static_cast<int32_t>(j)]) == k[j];
      if (!same) continue;
      out.places[entry.set].push_back(i);
      placedSet = entry.set;
    }
  };
  for (int32_t i = 0; i < n; ++i) {
    char16_t c = u[i];
    if (c >= 128) {
      if (foldsToOtherAscii(c)) out.exact = false;
      continue;
    }
    c = lower(c);
    bool anywhere = anywhereFirst_[c];
    bool wordStart = wordStartFirst_[c] && !(i > 0 && asciiWordChar(u[i - 1]));
    if ((!anywhere && !wordStart) || i + 1 >= n || u[i + 1] >= 128) continue;
    char16_t next = lower(u[i + 1]);
    if (anywhere) tryAt(slot(false, c, next), i);
    if (wordStart) tryAt(slot(true, c, next), i);
  }
  return out;
}

std::vector<Match> matchesAtStarts(const std::string& pattern, const icu::UnicodeString& text,
                                   const std::vector<int32_t>& places, uint32_t flags,
                                   int32_t limit) {
  std::vector<Match> out;
  if (places.empty()) return out;
  LentMatcher lent(pattern, text, flags);
  icu::RegexMatcher* m = lent.get();
  if (!m) return out;
  if (limit < 0 || limit > text.length()) limit = text.length();
  m->useTransparentBounds(true);
  m->useAnchoringBounds(false);
  int32_t groupCount = m->groupCount();
  UErrorCode status = U_ZERO_ERROR;
  int32_t doneUpTo = 0;
  for (int32_t place : places) {
    if (place < doneUpTo || place > limit) continue;
    m->region(place, limit, status);
    if (U_FAILURE(status)) break;
    if (!m->lookingAt(status) || U_FAILURE(status)) {
      if (U_FAILURE(status)) break;
      continue;
    }
    Match match = currentMatch(*m, groupCount, status);
    if (U_FAILURE(status)) break;
    // An empty match would not move a search on; step past it as find() does.
    doneUpTo = std::max(match.whole.end, place + 1);
    out.push_back(std::move(match));
  }
  throwIfOutOfTime(status);
  return out;
}

}  // namespace zelk::sensitive_internal
