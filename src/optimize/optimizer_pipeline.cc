// The seventeen steps of the general pipeline. Rules that are simple to state over bytes are
// written as loops with exactly the matches of their expressions; the others stay ICU
// expressions, run only when a cheap screen shows that the text may hold a match.
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "optimize/internal/pipeline_steps.h"
#include "optimize/internal/text_rules.h"
#include "optimize/optimizer.h"
#include "platform/regex_cache.h"
#include "platform/unicode.h"

namespace zelk {

using namespace optimize_internal;

namespace {

bool isLowerAscii(char c) { return c >= 'a' && c <= 'z'; }
bool isUpperAscii(char c) { return c >= 'A' && c <= 'Z'; }

// Where given lower-case ASCII keywords occur in a text, compared without case, found in one pass.
// Exact unless the text holds characters that fold to ASCII letters (the Kelvin sign, long s,
// ligatures); then every keyword "may" occur and no places are known.
class KeywordScreen {
 public:
  KeywordScreen(std::string_view text, std::vector<std::string_view> keywords)
      : keywords_(std::move(keywords)), bits_(1 << 10, 0) {
    for (std::string_view k : keywords_) {
      if (k.size() >= 4) {
        uint32_t w = fold4(k.data());
        bits_[slot(w) >> 6] |= uint64_t{1} << (slot(w) & 63);
      }
    }
    reset(text);
  }
  void reset(std::string_view text) {
    unsure_ = hasAsciiFoldingChars(text);
    hits_.assign(keywords_.size(), {});
    if (unsure_) return;
    for (size_t k = 0; k < keywords_.size(); ++k) {
      if (keywords_[k].size() < 4) {
        for (size_t at = text.find(keywords_[k]); at != std::string_view::npos;
             at = text.find(keywords_[k], at + 1)) {
          hits_[k].push_back(at);
        }
      }
    }
    if (text.size() < 4) return;
    const char* p = text.data();
    for (size_t i = 0, last = text.size() - 4; i <= last; ++i) {
      uint32_t w = fold4(p + i);
      uint32_t h = slot(w);
      if (!(bits_[h >> 6] >> (h & 63) & 1)) continue;
      for (size_t k = 0; k < keywords_.size(); ++k) {
        std::string_view kw = keywords_[k];
        if (kw.size() >= 4 && fold4(kw.data()) == w && i + kw.size() <= text.size() &&
            sameCaseless(text.substr(i, kw.size()), kw)) {
          hits_[k].push_back(i);
        }
      }
    }
  }
  bool sure() const { return !unsure_; }
  bool mayContain(std::string_view keyword) const {
    if (unsure_) return true;
    const auto* h = find(keyword);
    return h && !h->empty();
  }
  void addHits(std::string_view keyword, std::vector<size_t>& hits) const {
    if (const auto* h = find(keyword)) hits.insert(hits.end(), h->begin(), h->end());
  }

 private:
  static uint32_t fold4(const char* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w | 0x20202020u;
  }
  static uint32_t slot(uint32_t w) { return (w * 2654435761u) >> 16; }
  static bool sameCaseless(std::string_view text, std::string_view lower) {
    for (size_t i = 0; i < lower.size(); ++i) {
      char c = text[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      if (c != lower[i]) return false;
    }
    return true;
  }
  const std::vector<size_t>* find(std::string_view keyword) const {
    for (size_t k = 0; k < keywords_.size(); ++k) {
      if (keywords_[k] == keyword) return &hits_[k];
    }
    return nullptr;
  }

  std::vector<std::string_view> keywords_;
  std::vector<uint64_t> bits_;
  std::vector<std::vector<size_t>> hits_;
  bool unsure_ = false;
};

// Offsets where a byte of `chars` may begin a line (ICU multi-line ^), in ascending order.
void addLineStartHits(std::string_view text, std::string_view chars, std::vector<size_t>& hits) {
  size_t before = hits.size();
  for (char c : chars) {
    for (size_t at = text.find(c); at != std::string_view::npos; at = text.find(c, at + 1)) {
      if (mayStartLine(text, at)) hits.push_back(at);
    }
  }
  if (chars.size() > 1) std::sort(hits.begin() + static_cast<std::ptrdiff_t>(before), hits.end());
}

bool mayHaveLineStartingWith(std::string_view text, std::string_view chars) {
  std::vector<size_t> hits;
  addLineStartHits(text, chars, hits);
  return !hits.empty();
}

void sortHits(std::vector<size_t>& hits) {
  std::sort(hits.begin(), hits.end());
  hits.erase(std::unique(hits.begin(), hits.end()), hits.end());
}

bool mayHaveLineStartingWithText(std::string_view text, std::string_view prefix) {
  for (size_t at = text.find(prefix); at != std::string_view::npos;
       at = text.find(prefix, at + 1)) {
    if (mayStartLine(text, at)) return true;
  }
  return false;
}

size_t graphemes(std::string_view s) { return characterCount(s); }

std::string upperCased(std::string_view s) {
  icu::UnicodeString u = platform::toUnicode(s);
  u.toUpper(icu::Locale::getRoot());
  return platform::toUtf8(u);
}

bool containsLetter(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    size_t len;
    UChar32 c = decodeAt(s, i, len);
    if (u_isalpha(c)) return true;
    i += len;
  }
  return false;
}

// Lines that hold no \w character become empty; exact for text whose only line terminator is
// the line feed.
std::string emptyLinesWithoutWords(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    bool word = false;
    for (size_t i = 0; i < line.size() && !word;) {
      unsigned char b = static_cast<unsigned char>(line[i]);
      if (b < 0x80) {
        word = isWordChar(b);
        ++i;
      } else {
        size_t len;
        word = isWordChar(decodeAt(line, i, len));
        i += len;
      }
    }
    if (word) out.append(line);
    if (end == text.size()) break;
    out.push_back('\n');
    start = end + 1;
  }
  return out;
}

// Curly quotes become straight ones and zero-width characters go, in one pass.
std::string straightenQuotes(std::string_view text) {
  std::string out;
  size_t copied = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (b != 0xE2 && b != 0xEF) continue;
    std::string_view seq = text.substr(i, 3);
    const char* replacement = nullptr;
    if (seq == "\xE2\x80\x9C" || seq == "\xE2\x80\x9D")
      replacement = "\"";
    else if (seq == "\xE2\x80\x98" || seq == "\xE2\x80\x99")
      replacement = "'";
    else if (seq == "\xE2\x80\x8B" || seq == "\xE2\x80\x8C" || seq == "\xE2\x80\x8D" ||
             seq == "\xEF\xBB\xBF")
      replacement = "";
    if (!replacement) continue;
    if (out.empty()) out.reserve(text.size());
    out.append(text.substr(copied, i - copied));
    out.append(replacement);
    copied = i + 3;
    i += 2;
  }
  if (copied == 0) return std::string(text);
  out.append(text.substr(copied));
  return out;
}

// A run of `c` of at least `min` characters becomes `replacement`.
std::string shortenRuns(std::string_view text, char c, size_t min, std::string_view replacement) {
  if (text.find(std::string(min, c)) == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text[i] != c) {
      out.push_back(text[i++]);
      continue;
    }
    size_t j = i;
    while (j < text.size() && text[j] == c) ++j;
    if (j - i >= min)
      out.append(replacement);
    else
      out.append(text.substr(i, j - i));
    i = j;
  }
  return out;
}

bool regexSpaceAt(std::string_view s, size_t i) {
  size_t len;
  return i < s.size() && isRegexSpace(decodeAt(s, i, len));
}

}  // namespace

// 1.
std::string Optimizer::cleanWhitespace(std::string_view text) {
  std::string out(text.size(), '\0');
  char* o = out.data();
  char* lineStart = o;
  bool pendingSpace = false;
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    char c = *p++;
    if (c == ' ' || c == '\t') {
      // Leading blanks of a line go; inner runs become one space when text follows.
      pendingSpace = o > lineStart;
      continue;
    }
    if (c == '\r' || c == '\n') {
      if (c == '\r' && p < end && *p == '\n') ++p;
      pendingSpace = false;
      *o++ = '\n';
      lineStart = o;
      continue;
    }
    if (pendingSpace) {
      *o++ = ' ';
      pendingSpace = false;
    }
    *o++ = c;
  }
  out.resize(static_cast<size_t>(o - out.data()));
  std::string_view trimmed = trimWhiteAndNewlines(out);
  if (trimmed.size() == out.size()) return out;
  return std::string(trimmed);
}

// 2.
std::string Optimizer::fixLineBreakArtifacts(std::string_view text) {
  std::string out;
  bool hyphens = false;
  for (size_t at = text.find("-\n"); at != std::string_view::npos; at = text.find("-\n", at + 1)) {
    if (at + 2 < text.size() && isLowerAscii(text[at + 2])) {
      hyphens = true;
      break;
    }
  }
  if (hyphens) {
    out.assign(text.size(), '\0');
    char* o = out.data();
    for (size_t i = 0; i < text.size();) {
      if (text[i] == '-' && i + 2 < text.size() && text[i + 1] == '\n' &&
          isLowerAscii(text[i + 2])) {
        *o++ = text[i + 2];
        i += 3;
      } else {
        *o++ = text[i++];
      }
    }
    out.resize(static_cast<size_t>(o - out.data()));
  } else {
    out.assign(text);
  }
  // Decided on the joined text before any line feed of it becomes a space.
  std::vector<size_t> joins;
  for (size_t i = out.find('\n', 1); i != std::string::npos && i + 1 < out.size();
       i = out.find('\n', i + 1)) {
    if (!isLowerAscii(out[i + 1])) continue;
    char before = out[i - 1];
    if (isLowerAscii(before) || before == ',' || before == ';' || before == ':') joins.push_back(i);
  }
  for (size_t i : joins) out[i] = ' ';
  return out;
}

// 3.
std::string Optimizer::removeScatteredFlags(std::string_view text) {
  auto lines = splitLines(text);
  std::vector<int> flag(lines.size(), 0);
  bool any = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view t = trimWhite(lines[i]);
    if (t.size() == 1 && std::string_view("PYNXpynx").find(t[0]) != std::string_view::npos) {
      flag[i] = 1;
      any = true;
    }
  }
  if (!any) return std::string(text);
  std::vector<std::string_view> kept;
  kept.reserve(lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    if (flag[i]) {
      size_t from = i >= 3 ? i - 3 : 0;
      size_t to = std::min(lines.size() - 1, i + 3);
      int count = 0;
      for (size_t k = from; k <= to; ++k) count += flag[k];
      if (count >= 3) continue;
    }
    kept.push_back(lines[i]);
  }
  return join(kept, "\n");
}

// 4.
std::string Optimizer::cleanPdfArtifacts(std::string_view input) {
  std::string text(input);
  std::vector<size_t> flagHits;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if ((c == 'P' || c == 'Y' || c == 'N' || c == 'X') && mayStartLine(text, i) &&
        (i + 1 == text.size() || regexSpaceAt(text, i + 1))) {
      flagHits.push_back(i);
    }
  }
  windowedReplace(text, R"((?m)^[PYNX]\s*$)", "", flagHits);

  auto lines = splitLines(text);
  auto blank = [&](size_t i) { return trimWhite(lines[i]).empty(); };
  std::vector<std::string_view> kept;
  kept.reserve(lines.size());
  bool removedAny = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    bool before = i == 0 || blank(i - 1);
    bool after = i + 1 == lines.size() || blank(i + 1);
    if (before && after) {
      std::string_view t = trimWhite(lines[i]);
      if (!t.empty() && t.size() <= 64) {
        size_t n = graphemes(t);
        if (n >= 1 && n <= 4 && containsLetter(t) && upperCased(t) == t) {
          removedAny = true;
          continue;
        }
      }
    }
    kept.push_back(lines[i]);
  }
  if (removedAny) text = join(kept, "\n");

  // A label ending in a colon joined with a short indented value on the next line.
  std::vector<size_t> colonHits;
  for (size_t at = text.find(':'); at != std::string::npos; at = text.find(':', at + 1)) {
    size_t j = at + 1;
    size_t newlineAt = std::string::npos;
    while (j < text.size()) {
      unsigned char b = static_cast<unsigned char>(text[j]);
      if (b >= 0x80) {
        size_t len;
        if (!isRegexSpace(decodeAt(text, j, len))) break;
        j += len;
        continue;
      }
      if (!isRegexSpace(b)) break;
      if (b == '\n' && newlineAt == std::string::npos) newlineAt = j;
      ++j;
    }
    // The newline must be followed by at least two more \s characters of the same run.
    if (newlineAt != std::string::npos && j >= newlineAt + 3) colonHits.push_back(at);
  }
  windowedReplace(text, R"((?m)(:\s*)\n(\s{2,}[^\n]{1,60})\n)", "$1$2\n", colonHits);
  return text;
}

const std::vector<std::string>& Optimizer::noticePatterns() {
  static const std::vector<std::string> patterns = {
      R"((?im)This document is confidential[^.\n]*(?:\.|$))",
      R"((?im)All rights reserved[^.\n]*(?:\.|$))",
      R"((?im)Copyright\s*©?\s*\d{4}[^.\n]*(?:\.|$))",
      R"((?im)Confidential and proprietary[^.\n]*(?:\.|$))",
      R"((?im)Do not distribute[^.\n]*(?:\.|$))",
      R"((?im)For internal use only[^.\n]*(?:\.|$))",
      R"((?im)Unauthorized reproduction[^.\n]*(?:\.|$))",
      R"((?im)Not for distribution[^.\n]*(?:\.|$))",
      R"((?im)Privileged and confidential[^.\n]*(?:\.|$))",
      R"((?im)Attorney.client privilege[^.\n]*(?:\.|$))",
      R"((?m)^\s*©\s*\d{4}.*$)",
      R"((?im)^\s*All Rights Reserved\.?\s*$)",
      R"((?im)^Page\s+\d+\s*(of\s+\d+)?\s*$)",
      R"((?m)^-\s*\d+\s*-$)",
      R"((?m)^\[\s*\d+\s*\]$)",
  };
  return patterns;
}

const std::vector<std::string>& Optimizer::metadataPatterns() {
  static const std::vector<std::string> patterns = {
      R"((?im)^\s*(Draft|Confidential|Internal|Proprietary)\s*$)",
      R"((?im)^\s*Status:?\s*(Draft|Final|Review|Pending)\s*$)",
      R"((?im)^\s*Classification:.*$)",
      R"((?i)\[Insert[^\]]*\])",
      R"((?i)\[TBD\])",
      R"((?i)\[TODO\])",
      R"((?i)\[PLACEHOLDER\])",
      R"((?i)<Insert[^>]*>)",
      R"((?i)\[DRAFT\])",
  };
  return patterns;
}

namespace {

struct Screened {
  const std::string* pattern;
  std::vector<std::string_view> keywords;  // lower-case; any one may be present
  std::string lineStartChars;              // or: a line may start with one of these
  bool whole = false;     // a match may run on over any number of lines: match the whole text
  bool lineOnly = false;  // every match lies within the keyword's line
};

// The keywords without which the expression can't match.
std::vector<Screened> boilerplateScreens() {
  const auto& n = Optimizer::noticePatterns();
  const auto& m = Optimizer::metadataPatterns();
  return {
      {&n[0], {"this document is confidential"}, "", false, true},
      {&n[1], {"all rights reserved"}, "", false, true},
      {&n[2], {"copyright"}, ""},
      {&n[3], {"confidential and proprietary"}, "", false, true},
      {&n[4], {"do not distribute"}, "", false, true},
      {&n[5], {"for internal use only"}, "", false, true},
      {&n[6], {"unauthorized reproduction"}, "", false, true},
      {&n[7], {"not for distribution"}, "", false, true},
      {&n[8], {"privileged and confidential"}, "", false, true},
      {&n[9], {"client privilege"}, "", false, true},
      {&n[10], {"\xC2\xA9"}, ""},
      {&n[11], {"all rights reserved"}, ""},
      {&n[12], {"page"}, ""},
      {&n[13], {}, "-"},
      {&n[14], {}, "["},
      {&m[0], {"draft", "confidential", "internal", "proprietary"}, ""},
      {&m[1], {"status"}, ""},
      {&m[2], {"classification:"}, ""},
      {&m[3], {"[insert"}, "", true},
      {&m[4], {"[tbd]"}, "", false, true},
      {&m[5], {"[todo]"}, "", false, true},
      {&m[6], {"[placeholder]"}, "", false, true},
      {&m[7], {"<insert"}, "", true},
      {&m[8], {"[draft]"}, "", false, true},
  };
}

const std::vector<Screened>& screenedBoilerplate() {
  static const std::vector<Screened> screens = boilerplateScreens();
  return screens;
}

bool mayMatch(const Screened& s, std::string_view text, const KeywordScreen& screen) {
  for (std::string_view k : s.keywords) {
    if (screen.mayContain(k)) return true;
  }
  return !s.lineStartChars.empty() && mayHaveLineStartingWith(text, s.lineStartChars);
}

// Applies the screened expressions in order; the trace sees the text after each.
std::string removeScreened(std::string text, const std::vector<Screened>& list,
                           std::string_view replacement, const OptimizerTrace* trace,
                           std::string_view tracePrefix) {
  std::vector<std::string_view> keywords;
  for (const Screened& s : list)
    keywords.insert(keywords.end(), s.keywords.begin(), s.keywords.end());
  KeywordScreen screen(text, keywords);
  int otherTerminators = hasOtherLineTerminators(text) ? 1 : 0;  // removals never add one
  for (const Screened& s : list) {
    bool changed = false;
    if (mayMatch(s, text, screen)) {
      if (s.whole || !screen.sure()) {
        changed = regexReplace(text, *s.pattern, replacement);
      } else {
        std::vector<size_t> hits;
        for (std::string_view k : s.keywords) screen.addHits(k, hits);
        if (!s.lineStartChars.empty()) addLineStartHits(text, s.lineStartChars, hits);
        sortHits(hits);
        changed =
            windowedReplace(text, *s.pattern, replacement, hits, s.lineOnly, otherTerminators);
      }
    }
    if (changed) screen.reset(text);
    if (trace && *trace) (*trace)(std::string(tracePrefix) + *s.pattern, text);
  }
  return text;
}

}  // namespace

// 5.
std::string Optimizer::removeBoilerplate(std::string_view text) {
  return removeScreened(std::string(text), screenedBoilerplate(), "", nullptr, "");
}

std::string removeBoilerplateTraced(std::string_view text, const OptimizerTrace& trace) {
  return removeScreened(std::string(text), screenedBoilerplate(), "", &trace, "boilerplate ");
}

std::string removeNoticesOnly(std::string_view text) {
  static const std::vector<Screened> notices(screenedBoilerplate().begin(),
                                             screenedBoilerplate().begin() + 15);
  return removeScreened(std::string(text), notices, "", nullptr, "");
}

// 6.
std::string Optimizer::cleanFormattingArtifacts(std::string_view input) {
  std::string text(input);
  static constexpr std::string_view kBullets[] = {"\xE2\x80\xA2", "\xE2\x97\x8F", "\xE2\x97\x8B",
                                                  "\xE2\x97\xA6", "\xE2\x96\xAA", "\xE2\x96\xAB"};
  std::vector<size_t> bulletHits;
  for (std::string_view b : kBullets) {
    for (size_t at = text.find(b); at != std::string::npos; at = text.find(b, at + 1)) {
      if (mayStartLine(text, at)) bulletHits.push_back(at);
    }
  }
  sortHits(bulletHits);
  windowedReplace(text, "(?m)^[\\u2022\\u25CF\\u25CB\\u25E6\\u25AA\\u25AB]\\s*", "\xE2\x80\xA2 ",
                  bulletHits);
  text = shortenRuns(text, '.', 4, "...");
  text = shortenRuns(text, '-', 3, "--");
  text = shortenRuns(text, '_', 3, "__");
  text = straightenQuotes(text);

  // No space before punctuation that ends a word.
  {
    std::string out;
    size_t copied = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      char c = text[i];
      if (c != ' ' && c != '\t') continue;
      size_t j = i;
      while (j < text.size() && (text[j] == ' ' || text[j] == '\t')) ++j;
      if (j < text.size() && std::string_view(".,!?;:").find(text[j]) != std::string_view::npos &&
          (j + 1 == text.size() || regexSpaceAt(text, j + 1))) {
        out.append(text, copied, i - copied);
        copied = j;  // the punctuation is copied with what follows
      }
      i = j - 1;
    }
    if (copied) {
      out.append(text, copied);
      text = std::move(out);
    }
  }

  // A sentence end glued to the next sentence gets its space.
  {
    std::string out;
    size_t copied = 0;
    auto emailChar = [](char c) {
      return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
             c == '.' || c == '_' || c == '%' || c == '+' || c == '-';
    };
    for (size_t p = 2; p + 2 < text.size(); ++p) {
      char c = text[p];
      if (c != '.' && c != '!' && c != '?') continue;
      if (!isLowerAscii(text[p - 1]) || !isLowerAscii(text[p - 2])) continue;
      if (!isUpperAscii(text[p + 1]) || !isLowerAscii(text[p + 2])) continue;
      size_t k = p + 2;
      while (k < text.size() && isLowerAscii(text[k])) ++k;
      if (k < text.size()) {
        size_t len;
        UChar32 next = decodeAt(text, k, len);
        if (isWordChar(next)) continue;  // no word boundary after the word
        if (next == '.' || next == '@' || next == '/' || next == ':') continue;
      }
      size_t e = p + 1;
      while (e < text.size() && emailChar(text[e])) ++e;
      if (e < text.size() && text[e] == '@') continue;
      out.append(text, copied, p + 1 - copied);
      out.push_back(' ');
      copied = p + 1;
    }
    if (copied) {
      out.append(text, copied);
      text = std::move(out);
    }
  }
  return text;
}

// 7.
std::string Optimizer::stripURLs(std::string_view input) {
  std::string text = replaceURLs(input, "[link]");
  static constexpr std::string_view kLink = "[link]";
  if (text.find(kLink) == std::string::npos) return text;
  std::string out;
  size_t copied = 0;
  for (size_t i = text.find(kLink); i != std::string::npos; i = text.find(kLink, i)) {
    size_t j = i;
    int count = 0;
    while (text.compare(j, kLink.size(), kLink) == 0) {
      j += kLink.size();
      ++count;
      while (j < text.size()) {
        size_t len;
        if (!isRegexSpace(decodeAt(text, j, len))) break;
        j += len;
      }
    }
    if (count >= 2) {
      out.append(text, copied, i - copied);
      out.append("[link] ");
      copied = j;
      i = j;
    } else {
      i += kLink.size();
    }
  }
  if (copied)
    out.append(text, copied);
  else
    out = std::move(text);
  text = std::move(out);
  if (mayHaveLineStartingWithText(text, kLink)) regexReplace(text, R"((?m)^\[link\]\s*$)", "");
  return text;
}

// 8.
std::string Optimizer::removeDuplicateLines(std::string_view text) {
  auto lines = splitLines(text);
  std::unordered_set<std::string> seen;
  seen.reserve(lines.size());
  std::vector<std::string_view> kept;
  kept.reserve(lines.size());
  bool removed = false;
  for (std::string_view line : lines) {
    std::string_view t = trimWhite(line);
    if (t.empty()) {
      kept.push_back(line);
      continue;
    }
    if (seen.insert(lowercased(t)).second) {
      kept.push_back(line);
    } else {
      removed = true;
    }
  }
  return removed ? join(kept, "\n") : std::string(text);
}

// 9.
std::string Optimizer::compressTabularData(std::string_view text) {
  auto lines = splitLines(text);
  if (lines.size() <= 10) return std::string(text);
  auto longerThan40 = [](std::string_view line) {
    if (line.size() <= 40) return false;
    return isAscii(line) || graphemes(line) > 40;
  };
  std::vector<std::string_view> candidates;
  for (std::string_view line : lines) {
    if (longerThan40(line)) candidates.push_back(line);
  }
  if (candidates.size() < 8) return std::string(text);

  // Byte ends of the first twenty characters of the first candidate.
  std::string_view first = candidates[0];
  std::vector<size_t> ends;
  if (isAscii(first.substr(0, 21))) {
    for (size_t l = 1; l <= 20 && l <= first.size(); ++l) ends.push_back(l);
  } else {
    // Walk graphemes with ICU and map their ends back to UTF-8 offsets.
    icu::UnicodeString u = platform::toUnicode(first);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) return std::string(text);
    it->setText(u);
    size_t bytes = 0;
    int32_t prev = 0;
    for (int32_t pos = it->next(); pos != icu::BreakIterator::DONE && ends.size() < 20;
         pos = it->next()) {
      std::string piece;
      u.tempSubStringBetween(prev, pos).toUTF8String(piece);
      bytes += piece.size();
      ends.push_back(bytes);
      prev = pos;
    }
  }
  size_t threshold = candidates.size();  // count must be >= 0.8 * candidates
  size_t prefixBytes = 0;
  for (size_t end : ends) {
    std::string_view prefix = first.substr(0, end);
    size_t count = 0;
    for (std::string_view c : candidates) {
      if (c.substr(0, end) == prefix) ++count;
    }
    if (static_cast<double>(count) < 0.8 * static_cast<double>(threshold)) break;
    prefixBytes = end;
  }
  size_t prefixChars = 0;
  for (size_t end : ends) {
    if (end <= prefixBytes) ++prefixChars;
  }
  if (prefixChars < 11) return std::string(text);
  std::string_view prefix = first.substr(0, prefixBytes);
  std::string_view shown = trimWhite(prefix);
  if (shown.empty()) return std::string(text);

  std::vector<std::string> out;
  out.reserve(lines.size() + 1);
  bool marked = false;
  for (std::string_view line : lines) {
    bool begins = line.substr(0, prefix.size()) == prefix;
    if (begins && !marked) {
      out.push_back("[Common prefix '" + std::string(shown) + "' removed from " +
                    std::to_string(candidates.size()) + " rows]");
      marked = true;
    }
    if (begins && line.size() > prefix.size())
      out.emplace_back(line.substr(prefix.size()));
    else
      out.emplace_back(line);
  }
  return join(out, "\n");
}

// 10.
std::string Optimizer::compressRepetitiveContent(std::string_view text) {
  std::vector<std::string_view> paragraphs;
  size_t start = 0;
  while (true) {
    size_t at = text.find("\n\n", start);
    std::string_view piece =
        text.substr(start, at == std::string_view::npos ? text.npos : at - start);
    if (!trimWhiteAndNewlines(piece).empty()) paragraphs.push_back(piece);
    if (at == std::string_view::npos) break;
    start = at + 2;
  }
  if (paragraphs.size() < 5) return std::string(text);
  std::vector<std::string> keys;
  keys.reserve(paragraphs.size());
  std::unordered_set<std::string> distinct;
  for (std::string_view p : paragraphs) {
    keys.push_back(lowercased(trimWhiteAndNewlines(p)));
    distinct.insert(keys.back());
  }
  if (static_cast<double>(distinct.size()) / static_cast<double>(paragraphs.size()) >= 0.5) {
    return std::string(text);
  }
  std::unordered_set<std::string> seen;
  std::vector<std::string_view> kept;
  for (size_t i = 0; i < paragraphs.size(); ++i) {
    if (seen.insert(keys[i]).second) kept.push_back(paragraphs[i]);
  }
  return join(kept, "\n\n");
}

// 11.
std::string Optimizer::cleanSectionMarkers(std::string_view input) {
  std::string text(input);
  std::vector<size_t> headingHits;
  addLineStartHits(text, "#", headingHits);
  windowedReplace(text, R"((?m)^#{1,6}\s*$)", "", headingHits);
  bool rules = false;
  for (size_t i = 0; i + 2 < text.size() && !rules; ++i) {
    auto rule = [](char c) { return c == '-' || c == '*' || c == '_'; };
    rules = rule(text[i]) && rule(text[i + 1]) && rule(text[i + 2]) && mayStartLine(text, i);
  }
  if (rules) regexReplace(text, R"((?m)((?:^[-*_]{3,}\s*\n){3,}))", "---\n");
  KeywordScreen screen(text, {"slide"});
  if (screen.mayContain("slide")) {
    regexReplace(text, R"((?im)^[-=]{2,}\s*slide\s*\d+\s*[-=]{2,}\s*$)", "");
  }
  return text;
}

// 12.
std::string Optimizer::optimizePptxContent(std::string_view input) {
  std::string text(input);
  static const char* kTitleOnly[] = {
      R"((?im)^\[Slide \d+\]\s*\nQ&?A\s*$)",
      R"((?im)^\[Slide \d+\]\s*\nQuestions\???\s*$)",
      R"((?im)^\[Slide \d+\]\s*\nThank You\.?\s*$)",
      R"((?im)^\[Slide \d+\]\s*\nAny Questions\???\s*$)",
      R"((?im)^\[Slide \d+\]\s*\nAgenda\s*$)",
      R"((?im)^\[Slide \d+\]\s*\nTable of Contents\s*$)",
  };
  KeywordScreen screen(text, {"[slide "});
  if (screen.mayContain("[slide ")) {
    for (const char* p : kTitleOnly) {
      if (regexReplace(text, p, "")) screen.reset(text);
      if (!screen.mayContain("[slide ")) break;
    }
  }
  if (text.find("[Slide ") == std::string::npos) return text;

  icu::UnicodeString u = platform::toUnicode(text);
  auto matcher = platform::RegexCache::shared().matcher(R"((?m)^\[Slide \d+\]$)", u);
  if (!matcher) return text;
  struct Marker {
    int32_t start, end;
  };
  std::vector<Marker> markers;
  UErrorCode status = U_ZERO_ERROR;
  while (matcher->find(status) && U_SUCCESS(status)) {
    markers.push_back({matcher->start(status), matcher->end(status)});
  }
  if (U_FAILURE(status) || markers.size() <= 1) return text;

  auto utf8 = [&](int32_t from, int32_t to) {
    std::string s;
    u.tempSubStringBetween(from, to).toUTF8String(s);
    return s;
  };
  std::string result = utf8(0, markers[0].start);
  std::unordered_set<std::string> bodies;
  std::vector<std::string> kept;
  for (size_t i = 0; i < markers.size(); ++i) {
    int32_t bodyEnd = i + 1 < markers.size() ? markers[i + 1].start : u.length();
    std::string marker = utf8(markers[i].start, markers[i].end);
    std::string body(trimWhiteAndNewlines(utf8(markers[i].end, bodyEnd)));
    std::string key = lowercased(body);
    if (!bodies.insert(std::move(key)).second) continue;
    kept.push_back(marker + "\n" + body);
  }
  return result + join(kept, "\n\n");
}

// 13.
std::string Optimizer::optimizeDocxContent(std::string_view input) {
  std::string text;
  text.reserve(input.size());
  // Field codes in braces, up to 100 characters.
  size_t close = 0;
  for (size_t i = 0; i < input.size();) {
    if (input[i] == '{' && close != std::string_view::npos) {
      if (close <= i) close = input.find('}', i + 1);
      if (close != std::string_view::npos && close > i + 1) {
        size_t chars = 0;
        for (size_t k = i + 1; k < close && chars <= 100; ++k) {
          if ((static_cast<unsigned char>(input[k]) & 0xC0) != 0x80) ++chars;
        }
        if (chars >= 1 && chars <= 100) {
          i = close + 1;
          continue;
        }
      }
    }
    text.push_back(input[i++]);
  }
  // Bracketed insertion and deletion marks.
  if (text.find("[+") != std::string::npos || text.find("[-") != std::string::npos) {
    std::string out;
    out.reserve(text.size());
    size_t nextClose = 0;
    bool noClose = false;
    for (size_t i = 0; i < text.size();) {
      if (!noClose && text[i] == '[' && i + 1 < text.size() &&
          (text[i + 1] == '+' || text[i + 1] == '-')) {
        if (nextClose < i + 2) {
          nextClose = text.find(']', i + 2);
          if (nextClose == std::string::npos) noClose = true;
        }
        if (!noClose) {
          i = nextClose + 1;
          continue;
        }
      }
      out.push_back(text[i++]);
    }
    text = std::move(out);
  }
  windowedReplace(text, tocLeaderPattern, "$1", leaderHits(text));
  return text;
}

// 14.
std::string Optimizer::collapseBlankLines(std::string_view text) { return collapseNewlines(text); }

// 15.
std::string Optimizer::removeExcessiveEmptyLines(std::string_view text) {
  auto lines = splitLines(text);
  auto tabular = [](std::string_view line) {
    return line.find(',') != std::string_view::npos || line.find('\t') != std::string_view::npos;
  };
  std::vector<std::string_view> kept;
  kept.reserve(lines.size());
  bool removed = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].empty() && i > 0 && i + 1 < lines.size() && tabular(lines[i - 1]) &&
        tabular(lines[i + 1])) {
      kept.push_back(lines[i + 1]);
      removed = true;
      ++i;  // the walk goes on after the line that followed
      continue;
    }
    kept.push_back(lines[i]);
  }
  return removed ? join(kept, "\n") : std::string(text);
}

// 16.
std::string Optimizer::finalCleanup(std::string_view input) {
  std::string text;
  if (hasOtherLineTerminators(input)) {
    text = std::string(input);
    regexReplace(text, R"((?m)^[^\w\n]*$)", "");
  } else {
    text = emptyLinesWithoutWords(input);
  }
  return std::string(trimWhiteAndNewlines(text));
}

}  // namespace zelk
