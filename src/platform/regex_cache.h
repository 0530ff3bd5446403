// Compiled ICU regular expressions, compiled once per (pattern, flags) and shared.
// Patterns are compiled lazily on first use, never at start-up. Thread-safe: any thread may
// ask for a pattern; each caller makes its own matcher.
#pragma once

#include <unicode/regex.h>

#include <cstdint>
#include <memory>
#include <string>

namespace zelk::platform {

// Time limit for matching untrusted text, in ICU's match-time units (about a millisecond each).
inline constexpr int32_t kDefaultRegexTimeLimit = 2000;

class RegexCache {
 public:
  static RegexCache& shared();

  // The compiled pattern, or nullptr when it does not compile.
  std::shared_ptr<const icu::RegexPattern> pattern(const std::string& pattern, uint32_t flags = 0);

  // A matcher over text (which must outlive it) with a time limit set; nullptr when the pattern
  // does not compile. A match that runs out of time fails with U_REGEX_TIME_OUT.
  std::unique_ptr<icu::RegexMatcher> matcher(const std::string& pattern,
                                             const icu::UnicodeString& text, uint32_t flags = 0,
                                             int32_t timeLimit = kDefaultRegexTimeLimit);

 private:
  RegexCache() = default;
  struct Impl;
  Impl& impl();
};

}  // namespace zelk::platform
