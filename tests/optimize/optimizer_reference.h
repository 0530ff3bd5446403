// Reference forms of the optimizer's rules written directly as ICU expressions, and random texts
// built from tokens that hit their edges. The optimizer writes many rules as byte loops or runs
// an expression only after a screen; these references check that nothing changes by that.
#pragma once

#include <unicode/regex.h>
#include <unicode/uchar.h>

#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "optimize/optimizer_fidelity.h"
#include "platform/unicode.h"

namespace zelk::testing {

// Every match of pattern replaced, straight through ICU (no screen, no time limit).
inline std::string icuReplace(std::string_view text, const std::string& pattern,
                              const std::string& replacement) {
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  std::unique_ptr<icu::RegexPattern> compiled(
      icu::RegexPattern::compile(platform::toUnicode(pattern), 0, parseError, status));
  if (U_FAILURE(status)) return std::string(text);
  icu::UnicodeString subject = platform::toUnicode(text);
  std::unique_ptr<icu::RegexMatcher> m(compiled->matcher(subject, status));
  icu::UnicodeString out = m->replaceAll(platform::toUnicode(replacement), status);
  return platform::toUtf8(out);
}

inline bool referenceWhiteOrNewline(UChar32 c) {
  if (c == '\t' || (c >= 0x0A && c <= 0x0D) || c == 0x85) return true;
  int8_t t = u_charType(c);
  return t == U_SPACE_SEPARATOR || t == U_LINE_SEPARATOR || t == U_PARAGRAPH_SEPARATOR;
}

inline std::string referenceTrimAll(std::string_view text) {
  icu::UnicodeString u = platform::toUnicode(text);
  int32_t b = 0, e = u.length();
  while (b < e && referenceWhiteOrNewline(u.char32At(b))) b = u.moveIndex32(b, 1);
  while (e > b && referenceWhiteOrNewline(u.char32At(u.moveIndex32(e, -1)))) {
    e = u.moveIndex32(e, -1);
  }
  return platform::toUtf8(icu::UnicodeString(u, b, e - b));
}

// The significant numbers of prose, with the three expressions run by ICU.
inline std::set<std::string> referenceProseNumbers(std::string_view text) {
  std::string s = icuReplace(text, R"(\\u[0-9A-Fa-f]{4})", " ");
  s = icuReplace(s, R"([ \t]+,(?=\d{3}(?!\d)))", ",");
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  std::unique_ptr<icu::RegexPattern> number(icu::RegexPattern::compile(
      platform::toUnicode(
          "[$€£¥]?[ \\t]?(?:\\d{1,3}(?:,\\d{3})+(?!\\d)(?:\\.\\d+)?|\\d+(?:\\.\\d+)?)%?"),
      0, parseError, status));
  icu::UnicodeString subject = platform::toUnicode(s);
  std::unique_ptr<icu::RegexMatcher> m(number->matcher(subject, status));
  std::set<std::string> out;
  while (m->find(status)) {
    std::string match = referenceTrimAll(platform::toUtf8(m->group(status)));
    icu::UnicodeString u = platform::toUnicode(match);
    bool currency = false, percent = false, separator = false;
    int digits = 0;
    icu::UnicodeString normal;
    for (int32_t i = 0; i < u.length(); i = u.moveIndex32(i, 1)) {
      UChar32 c = u.char32At(i);
      if (c == '$' || c == 0x20AC || c == 0xA3 || c == 0xA5) {
        currency = true;
        continue;
      }
      if (c == '%') percent = true;
      if (c == ',' || c == '.') separator = true;
      if (u_charType(c) == U_DECIMAL_DIGIT_NUMBER) ++digits;
      if (c != ' ' && c != '\t' && c != ',') normal.append(c);
    }
    if (digits < 3 && !currency && !percent && !separator) continue;
    std::string value = OptimizerFidelity::roundedTo4(platform::toUtf8(normal));
    icu::UnicodeString v = platform::toUnicode(value);
    int valueDigits = 0;
    for (int32_t i = 0; i < v.length(); i = v.moveIndex32(i, 1)) {
      if (u_charType(v.char32At(i)) == U_DECIMAL_DIGIT_NUMBER) ++valueDigits;
    }
    if (valueDigits < 3 && !percent && !currency) continue;
    out.insert(value);
  }
  return out;
}

// A random text made of tokens that the rules care about.
class TokenText {
 public:
  TokenText(std::vector<std::string> tokens, uint32_t seed)
      : tokens_(std::move(tokens)), rng_(seed) {}
  std::string next(size_t maxTokens) {
    std::uniform_int_distribution<size_t> count(0, maxTokens);
    std::uniform_int_distribution<size_t> pick(0, tokens_.size() - 1);
    std::string out;
    for (size_t n = count(rng_); n > 0; --n) out += tokens_[pick(rng_)];
    return out;
  }

 private:
  std::vector<std::string> tokens_;
  std::mt19937 rng_;
};

}  // namespace zelk::testing
