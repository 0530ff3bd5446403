// One pass over a text that finds the few places where the shape-based patterns can begin, so
// that ICU runs only there. Every list is a superset of the places where a whole-text search can
// find a match; each comment says why.
#pragma once

#include <unicode/unistr.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace zelk::sensitive_internal {

// A maximal run of decimal digits (\d: general category Nd, whole code points).
struct DigitRun {
  int32_t start = 0;  // UTF-16 offsets
  int32_t end = 0;
  int32_t count = 0;  // digits (code points)
  // Only "-" and " " stand between the previous run and this one.
  bool joined = false;
};

struct ShapePlaces {
  std::vector<DigitRun> digitRuns;
  // Maximal runs of [A-Z0-9<] of 42 to 44 units (machine-readable line 2 matches are exactly
  // such runs: the pattern holds only those characters and its look-arounds refuse them on
  // both sides) and of 25 to 44 units beginning with "P" (line 1).
  std::vector<int32_t> mrzLine2;
  std::vector<int32_t> mrzLine1;
  // Two letters A-Z not preceded by [A-Z0-9]: followed by a digit (IBAN), or by a digit or a
  // space (NINO).
  std::vector<int32_t> iban;
  std::vector<int32_t> nino;
  // The start of the run of [A-Za-z0-9._%+-] before each "@" (the only place an e-mail match
  // ending its local part at that "@" can begin).
  std::vector<int32_t> emailStarts;
};

ShapePlaces scanShapes(const icu::UnicodeString& text);

// Whether a decimal digit code point begins at offset i.
bool digitAt(const icu::UnicodeString& text, int32_t i);

// The UTF-16 form of a UTF-8 text. Returns false when the text is not well-formed UTF-8; `out`
// then holds ICU's conversion, with each ill-formed sequence replaced by U+FFFD.
bool decodeUtf8(std::string_view utf8, icu::UnicodeString& out);

// The UTF-8 byte offsets of ascending UTF-16 offsets into a well-formed UTF-8 text; nullopt when
// an offset falls inside a character or beyond the text.
std::optional<std::vector<size_t>> byteOffsets(std::string_view utf8,
                                               const std::vector<int32_t>& units);

}  // namespace zelk::sensitive_internal
