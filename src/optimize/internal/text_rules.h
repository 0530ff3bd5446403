// Byte-level helpers for the optimizer's rules over UTF-8 text: code points, the character
// classes of ICU's expressions, lines, and ICU replacement for the rules kept as expressions.
// Every helper is a pure function; safe from any thread.
#pragma once

#include <unicode/umachine.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::optimize_internal {

// The code point starting at byte i and its length in bytes (U+FFFD and 1 for a bad sequence).
UChar32 decodeAt(std::string_view s, size_t i, size_t& length);
// The code point ending just before byte i and its length.
UChar32 decodeBefore(std::string_view s, size_t i, size_t& length);

// Unicode space separators and the tab.
bool isWhite(UChar32 c);
// isWhite plus the line and paragraph separators and the control line breaks.
bool isWhiteOrNewline(UChar32 c);
// \s of ICU expressions (the White_Space property).
bool isRegexSpace(UChar32 c);
// \w of ICU expressions.
bool isWordChar(UChar32 c);
// \d of ICU expressions (decimal digits).
bool isDigit(UChar32 c);
// Any character that is a number (decimal digits, letter numbers, other numbers).
bool isNumberChar(UChar32 c);
// What ends a line for ICU's ^ and $ in multi-line mode.
bool isLineTerminator(UChar32 c);

bool isAscii(std::string_view s);

// User-perceived characters (extended grapheme clusters), as platform::graphemeCount counts
// them, without running a break iterator over text whose characters break simply.
size_t characterCount(std::string_view s);
bool containsNumberChar(std::string_view s);

std::string_view trimWhite(std::string_view s);
std::string_view trimWhiteAndNewlines(std::string_view s);
// Trailing \s removed.
std::string_view trimTrailingRegexSpace(std::string_view s);

// Pieces between line feeds, empty pieces included.
std::vector<std::string_view> splitLines(std::string_view s);
std::string join(const std::vector<std::string_view>& pieces, std::string_view separator);
std::string join(const std::vector<std::string>& pieces, std::string_view separator);

// Full Unicode lower-casing with an ASCII fast path.
std::string lowercased(std::string_view s);
// ASCII letters lower-cased, every other byte kept (for keyword screens).
std::string asciiLower(std::string_view s);
// True when the text holds characters whose case folding gives ASCII letters (the Kelvin sign,
// long s, sharp s, Latin ligatures), so that an ASCII keyword screen would not be exact.
bool hasAsciiFoldingChars(std::string_view s);
// True when byte i may begin a line for ICU's multi-line ^ (conservative for non-ASCII bytes).
bool mayStartLine(std::string_view s, size_t i);

// Replaces every match of the ICU expression; the text is left unchanged (false) when the
// expression does not compile or the match runs out of time. True when the text changed.
bool regexReplace(std::string& text, std::string_view pattern, std::string_view replacement);

// True when the text ends lines with anything other than the line feed (for ICU's ^ and $).
bool hasOtherLineTerminators(std::string_view s);

// regexReplace over only the lines around the hits (byte offsets of the places a match must
// start from or contain): each hit's line, the blank lines before it, and the lines after it up
// to and including five more non-blank lines. The optimizer's screened expressions match across
// at most four line breaks between non-blank lines, so the result is the same as over the whole
// text; text with other line terminators is matched whole.
// lineOnly: every match lies within its hit's line, which is then the whole window.
// otherTerminators: hasOtherLineTerminators(text) when the caller knows it, else -1.
bool windowedReplace(std::string& text, std::string_view pattern, std::string_view replacement,
                     const std::vector<size_t>& hits, bool lineOnly = false,
                     int otherTerminators = -1);

// Where runs of four or more dots start (the places a contents leader must contain).
std::vector<size_t> leaderHits(std::string_view s);

// "\n{3,}" -> "\n\n".
std::string collapseNewlines(std::string_view s);

// Replaces every URL (the optimizer's link pattern) by replacement.
std::string replaceURLs(std::string_view s, std::string_view replacement);

}  // namespace zelk::optimize_internal
