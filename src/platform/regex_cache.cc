#include "platform/regex_cache.h"

#include <map>
#include <mutex>

#include "platform/unicode.h"

namespace zelk::platform {

struct RegexCache::Impl {
  std::mutex mutex;  // guards compiled
  std::map<std::pair<std::string, uint32_t>, std::shared_ptr<const icu::RegexPattern>> compiled;
};

RegexCache& RegexCache::shared() {
  static RegexCache* cache = new RegexCache;  // lives for the process
  return *cache;
}

RegexCache::Impl& RegexCache::impl() {
  static Impl* impl = new Impl;
  return *impl;
}

std::shared_ptr<const icu::RegexPattern> RegexCache::pattern(const std::string& text,
                                                             uint32_t flags) {
  Impl& state = impl();
  auto key = std::make_pair(text, flags);
  {
    std::lock_guard lock(state.mutex);
    if (auto it = state.compiled.find(key); it != state.compiled.end()) return it->second;
  }
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  std::shared_ptr<const icu::RegexPattern> compiled(
      icu::RegexPattern::compile(toUnicode(text), flags, parseError, status));
  if (U_FAILURE(status)) compiled.reset();
  std::lock_guard lock(state.mutex);
  return state.compiled.emplace(key, compiled).first->second;
}

std::unique_ptr<icu::RegexMatcher> RegexCache::matcher(const std::string& text,
                                                       const icu::UnicodeString& subject,
                                                       uint32_t flags, int32_t timeLimit) {
  auto compiled = pattern(text, flags);
  if (!compiled) return nullptr;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> m(compiled->matcher(subject, status));
  if (U_FAILURE(status)) return nullptr;
  m->setTimeLimit(timeLimit, status);
  return m;
}

}  // namespace zelk::platform
