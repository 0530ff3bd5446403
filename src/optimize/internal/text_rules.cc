#include "optimize/internal/text_rules.h"

#include <unicode/regex.h>
#include <unicode/uchar.h>

#include <cstring>

#include "platform/regex_cache.h"
#include "platform/unicode.h"

namespace zelk::optimize_internal {

UChar32 decodeAt(std::string_view s, size_t i, size_t& length) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  unsigned char b = p[i];
  length = 1;
  if (b < 0x80) return b;
  int extra;
  UChar32 c;
  if (b >= 0xC2 && b <= 0xDF) {
    extra = 1;
    c = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    extra = 2;
    c = b & 0x0F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    extra = 3;
    c = b & 0x07;
  } else {
    return 0xFFFD;
  }
  if (i + static_cast<size_t>(extra) >= n) return 0xFFFD;
  for (int k = 1; k <= extra; ++k) {
    unsigned char t = p[i + static_cast<size_t>(k)];
    if ((t & 0xC0) != 0x80) return 0xFFFD;
    c = (c << 6) | (t & 0x3F);
  }
  // Overlong forms, surrogates and values beyond Unicode are bad sequences.
  if ((extra == 2 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ||
      (extra == 3 && (c < 0x10000 || c > 0x10FFFF))) {
    return 0xFFFD;
  }
  length = static_cast<size_t>(extra) + 1;
  return c;
}

UChar32 decodeBefore(std::string_view s, size_t i, size_t& length) {
  size_t start = i;
  // Step back over at most three continuation bytes.
  for (int k = 0; k < 4 && start > 0; ++k) {
    --start;
    if ((static_cast<unsigned char>(s[start]) & 0xC0) != 0x80) break;
  }
  size_t len = 0;
  UChar32 c = decodeAt(s, start, len);
  if (start + len != i) {
    length = 1;
    return 0xFFFD;
  }
  length = len;
  return c;
}

bool isWhite(UChar32 c) {
  if (c < 0x80) return c == ' ' || c == '\t';
  return u_charType(c) == U_SPACE_SEPARATOR;
}

bool isWhiteOrNewline(UChar32 c) {
  if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
  if (c == 0x85) return true;
  int8_t type = u_charType(c);
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

bool isRegexSpace(UChar32 c) {
  if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
  return u_hasBinaryProperty(c, UCHAR_WHITE_SPACE);
}

bool isWordChar(UChar32 c) {
  if (c < 0x80) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  }
  if (c == 0x200C || c == 0x200D) return true;
  if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) return true;
  int8_t type = u_charType(c);
  return type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK ||
         type == U_COMBINING_SPACING_MARK || type == U_DECIMAL_DIGIT_NUMBER ||
         type == U_CONNECTOR_PUNCTUATION;
}

bool isDigit(UChar32 c) {
  if (c < 0x80) return c >= '0' && c <= '9';
  return u_charType(c) == U_DECIMAL_DIGIT_NUMBER;
}

bool isNumberChar(UChar32 c) {
  if (c < 0x80) return c >= '0' && c <= '9';
  int8_t type = u_charType(c);
  return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

bool isLineTerminator(UChar32 c) {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isAscii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

namespace {
// A character that always breaks from a neighbour that also has this property (CR LF aside).
bool breaksSimply(UChar32 c) {
  if (c < 0x80) return true;
  auto gcb = u_getIntPropertyValue(c, UCHAR_GRAPHEME_CLUSTER_BREAK);
  return gcb == U_GCB_OTHER || gcb == U_GCB_CONTROL || gcb == U_GCB_CR || gcb == U_GCB_LF;
}
}  // namespace

size_t characterCount(std::string_view s) {
  size_t count = 0;
  size_t pieceStart = std::string_view::npos;  // start of a run that needs the break iterator
  bool prevSimple = false;
  for (size_t i = 0; i < s.size();) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80 && pieceStart == std::string_view::npos && b != '\n') {
      // The common case: an ASCII character outside any piece.
      ++count;
      prevSimple = true;
      ++i;
      continue;
    }
    size_t len = 1;
    bool simple = b < 0x80 || breaksSimply(decodeAt(s, i, len));
    bool crlf = b == '\n' && i > 0 && s[i - 1] == '\r';
    if (pieceStart != std::string_view::npos && simple && prevSimple && !crlf) {
      // Two simple characters always break: the piece ends between them.
      count += platform::graphemeCount(s.substr(pieceStart, i - pieceStart));
      pieceStart = std::string_view::npos;
    }
    if (pieceStart == std::string_view::npos) {
      if (!simple) {
        // The character before may join this one: it goes into the piece, uncounted.
        pieceStart = i;
        if (i > 0 && prevSimple) {
          size_t plen = 0;
          decodeBefore(s, i, plen);
          pieceStart = i - plen;
          if (s[pieceStart] == '\n' && pieceStart > 0 && s[pieceStart - 1] == '\r') --pieceStart;
          --count;
        }
      } else if (!crlf) {
        ++count;
      }
    }
    prevSimple = simple;
    i += len;
  }
  if (pieceStart != std::string_view::npos) count += platform::graphemeCount(s.substr(pieceStart));
  return count;
}

bool containsNumberChar(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      if (b >= '0' && b <= '9') return true;
      ++i;
      continue;
    }
    size_t len;
    if (isNumberChar(decodeAt(s, i, len))) return true;
    i += len;
  }
  return false;
}

namespace {
template <typename Pred>
std::string_view trimBy(std::string_view s, Pred pred, bool front) {
  size_t begin = 0, end = s.size();
  // Most texts start and end with a visible ASCII character.
  auto visible = [](char c) { return c > ' ' && c < 0x7F; };
  if (end > 0 && (!front || visible(s[0])) && visible(s[end - 1])) return s;
  if (front) {
    while (begin < end) {
      size_t len;
      UChar32 c = decodeAt(s, begin, len);
      if (!pred(c)) break;
      begin += len;
    }
  }
  while (end > begin) {
    size_t len;
    UChar32 c = decodeBefore(s, end, len);
    if (!pred(c)) break;
    end -= len;
  }
  return s.substr(begin, end - begin);
}
}  // namespace

std::string_view trimWhite(std::string_view s) { return trimBy(s, isWhite, true); }
std::string_view trimWhiteAndNewlines(std::string_view s) {
  return trimBy(s, isWhiteOrNewline, true);
}
std::string_view trimTrailingRegexSpace(std::string_view s) {
  return trimBy(s, isRegexSpace, false);
}

std::vector<std::string_view> splitLines(std::string_view s) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (true) {
    const void* hit = std::memchr(s.data() + start, '\n', s.size() - start);
    if (!hit) break;
    size_t pos = static_cast<size_t>(static_cast<const char*>(hit) - s.data());
    lines.push_back(s.substr(start, pos - start));
    start = pos + 1;
  }
  lines.push_back(s.substr(start));
  return lines;
}

namespace {
template <typename Piece>
std::string joinPieces(const std::vector<Piece>& pieces, std::string_view separator) {
  size_t total = 0;
  for (const auto& p : pieces) total += p.size() + separator.size();
  std::string out;
  out.reserve(total);
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i) out.append(separator);
    out.append(pieces[i]);
  }
  return out;
}
}  // namespace

std::string join(const std::vector<std::string_view>& pieces, std::string_view separator) {
  return joinPieces(pieces, separator);
}
std::string join(const std::vector<std::string>& pieces, std::string_view separator) {
  return joinPieces(pieces, separator);
}

std::string lowercased(std::string_view s) {
  if (!isAscii(s)) return platform::lowercased(s);
  return asciiLower(s);
}

std::string asciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return out;
}

bool hasAsciiFoldingChars(std::string_view s) {
  // U+212A Kelvin, U+017F long s, U+00DF and U+1E9E sharp s, U+FB00..U+FB06 ligatures.
  static constexpr std::string_view kSequences[] = {"\xE2\x84\xAA", "\xC5\xBF", "\xC3\x9F",
                                                    "\xE1\xBA\x9E", "\xEF\xAC"};
  for (std::string_view seq : kSequences) {
    if (s.find(seq) != std::string_view::npos) return true;
  }
  return false;
}

bool mayStartLine(std::string_view s, size_t i) {
  if (i == 0) return true;
  unsigned char prev = static_cast<unsigned char>(s[i - 1]);
  return (prev >= 0x0A && prev <= 0x0D) || prev >= 0x80;
}

bool regexReplace(std::string& text, std::string_view pattern, std::string_view replacement) {
  icu::UnicodeString subject = platform::toUnicode(text);
  auto matcher = platform::RegexCache::shared().matcher(std::string(pattern), subject);
  if (!matcher) return false;
  UErrorCode status = U_ZERO_ERROR;
  if (!matcher->find(0, status) || U_FAILURE(status)) return false;
  status = U_ZERO_ERROR;
  icu::UnicodeString result = matcher->replaceAll(platform::toUnicode(replacement), status);
  if (U_FAILURE(status)) return false;
  std::string out = platform::toUtf8(result);
  if (out == text) return false;
  text = std::move(out);
  return true;
}

bool hasOtherLineTerminators(std::string_view text) {
  for (unsigned char c : text) {
    if (c == '\r' || c == '\v' || c == '\f') return true;
  }
  return text.find("\xC2\x85") != std::string_view::npos ||
         text.find("\xE2\x80\xA8") != std::string_view::npos ||
         text.find("\xE2\x80\xA9") != std::string_view::npos;
}

namespace {

bool blankLine(std::string_view line) {
  for (size_t i = 0; i < line.size();) {
    size_t len;
    if (!isRegexSpace(decodeAt(line, i, len))) return false;
    i += len;
  }
  return true;
}

// A line that a match may run through to the next: the expressions cross lines only between
// short tokens (a page word, a number, a sign), so a longer line of other text ends every match.
bool crossable(std::string_view line) {
  std::string_view t = trimTrailingRegexSpace(line);
  size_t lead = 0;
  while (lead < t.size() && isRegexSpace(static_cast<unsigned char>(t[lead]))) ++lead;
  t.remove_prefix(lead);
  if (t.size() <= 32) return true;
  for (size_t i = 0; i < t.size();) {
    size_t len;
    UChar32 c = decodeAt(t, i, len);
    if (!isDigit(c) && !isRegexSpace(c)) return false;
    i += len;
  }
  return true;
}

// Replaces within one piece of text with a matcher made once for all pieces.
class PieceMatcher {
 public:
  PieceMatcher(std::string_view pattern, std::string_view replacement)
      : replacement_(platform::toUnicode(replacement)) {
    matcher_ = platform::RegexCache::shared().matcher(std::string(pattern), subject_);
  }
  bool valid() const { return matcher_ != nullptr; }
  // false when the piece has no match or the match ran out of time (piece unchanged).
  bool replace(std::string_view piece, std::string& out) {
    subject_ = platform::toUnicode(piece);
    matcher_->reset(subject_);
    UErrorCode status = U_ZERO_ERROR;
    if (!matcher_->find(0, status) || U_FAILURE(status)) return false;
    status = U_ZERO_ERROR;
    icu::UnicodeString result = matcher_->replaceAll(replacement_, status);
    if (U_FAILURE(status)) return false;
    out.clear();
    result.toUTF8String(out);
    return true;
  }

 private:
  icu::UnicodeString subject_;
  icu::UnicodeString replacement_;
  std::unique_ptr<icu::RegexMatcher> matcher_;
};

}  // namespace

bool windowedReplace(std::string& text, std::string_view pattern, std::string_view replacement,
                     const std::vector<size_t>& hits, bool lineOnly, int otherTerminators) {
  if (hits.empty()) return false;
  if (otherTerminators < 0) otherTerminators = hasOtherLineTerminators(text) ? 1 : 0;
  if (otherTerminators) return regexReplace(text, pattern, replacement);
  PieceMatcher matcher(pattern, replacement);
  if (!matcher.valid()) return false;
  std::string_view view(text);
  auto lineStart = [&](size_t pos) {
    size_t nl = pos == 0 ? std::string_view::npos : view.rfind('\n', pos - 1);
    return nl == std::string_view::npos ? 0 : nl + 1;
  };
  auto lineEnd = [&](size_t pos) {
    size_t nl = view.find('\n', pos);
    return nl == std::string_view::npos ? view.size() : nl;
  };
  std::string out;
  std::string replaced;
  size_t copied = 0;
  bool changed = false;
  size_t wStart = 0, wEnd = 0;
  bool open = false;
  auto flush = [&] {
    out.append(view.substr(copied, wStart - copied));
    std::string_view piece = view.substr(wStart, wEnd - wStart);
    if (matcher.replace(piece, replaced)) {
      out.append(replaced);
      changed = changed || replaced != piece;
    } else {
      out.append(piece);
    }
    copied = wEnd;
  };
  size_t lastLineStart = std::string_view::npos, lastLineEnd = 0;
  for (size_t hit : hits) {
    // Hits come in order; one on the line of the previous hit gives the same window.
    if (lastLineStart != std::string_view::npos && hit >= lastLineStart && hit <= lastLineEnd) {
      continue;
    }
    size_t start = lineStart(hit);
    lastLineStart = start;
    lastLineEnd = lineEnd(hit);
    if (lineOnly) {
      size_t end = lineEnd(hit);
      if (open && start < wEnd) continue;  // same line as the window open now
      if (open) flush();
      wStart = std::max(start, copied);
      wEnd = end;
      open = true;
      continue;
    }
    while (start > 0) {
      size_t prevStart = lineStart(start - 1);
      if (!blankLine(view.substr(prevStart, start - 1 - prevStart))) break;
      start = prevStart;
    }
    size_t end = lineEnd(hit);
    for (int nonBlank = 0; end < view.size() && nonBlank < 5;) {
      size_t next = lineEnd(end + 1);
      std::string_view line = view.substr(end + 1, next - end - 1);
      end = next;
      if (blankLine(line)) continue;
      ++nonBlank;
      if (!crossable(line)) break;
    }
    if (end < view.size()) ++end;  // the line feed that ends the window
    if (open && start <= wEnd) {
      wEnd = std::max(wEnd, end);
      continue;
    }
    if (open) flush();
    wStart = std::max(start, copied);
    wEnd = end;
    open = true;
  }
  if (open) flush();
  if (!changed) return false;
  out.append(view.substr(copied));
  text = std::move(out);
  return true;
}

std::vector<size_t> leaderHits(std::string_view s) {
  std::vector<size_t> hits;
  for (size_t at = s.find("...."); at != std::string_view::npos; at = s.find("....", at)) {
    hits.push_back(at);
    while (at < s.size() && s[at] == '.') ++at;
  }
  return hits;
}

std::string collapseNewlines(std::string_view s) {
  std::string out;
  size_t copied = 0;
  for (size_t at = s.find("\n\n\n"); at != std::string_view::npos; at = s.find("\n\n\n", at)) {
    size_t j = at;
    while (j < s.size() && s[j] == '\n') ++j;
    out.append(s.substr(copied, at + 2 - copied));
    copied = j;
    at = j;
  }
  if (copied == 0) return std::string(s);
  out.append(s.substr(copied));
  return out;
}

std::string replaceURLs(std::string_view s, std::string_view replacement) {
  std::string out;
  size_t copied = 0;
  size_t from = 0;
  while (true) {
    size_t at = s.find("http", from);
    if (at == std::string_view::npos) break;
    size_t p = at + 4;
    if (p < s.size() && s[p] == 's') ++p;
    if (s.compare(p, 3, "://") != 0) {
      from = at + 1;
      continue;
    }
    p += 3;
    size_t end = p;
    while (end < s.size()) {
      unsigned char b = static_cast<unsigned char>(s[end]);
      if (b < 0x80) {
        if (b == ',' || b == ')' || b == ']' || b == '>' || b == '"' || b == '\'' ||
            isRegexSpace(b)) {
          break;
        }
        ++end;
        continue;
      }
      size_t len;
      if (isRegexSpace(decodeAt(s, end, len))) break;
      end += len;
    }
    if (end == p) {
      from = at + 1;
      continue;
    }
    out.append(s.substr(copied, at - copied));
    out.append(replacement);
    copied = from = end;
  }
  if (copied == 0) return std::string(s);
  out.append(s.substr(copied));
  return out;
}

}  // namespace zelk::optimize_internal
