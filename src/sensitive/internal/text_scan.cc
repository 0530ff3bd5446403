#include "sensitive/internal/text_scan.h"

#include <unicode/uchar.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <array>
#include <cstring>

#include "platform/unicode.h"

namespace zelk::sensitive_internal {

namespace {

bool upper(char16_t c) { return c >= 'A' && c <= 'Z'; }
bool asciiDigit(char16_t c) { return c >= '0' && c <= '9'; }
bool upperOrDigit(char16_t c) { return upper(c) || asciiDigit(c); }
bool emailLocal(char16_t c) {
  return upperOrDigit(c) || (c >= 'a' && c <= 'z') || c == '.' || c == '_' || c == '%' ||
         c == '+' || c == '-';
}

}  // namespace

bool digitAt(const icu::UnicodeString& text, int32_t i) {
  if (i < 0 || i >= text.length()) return false;
  char16_t c = text.charAt(i);
  if (c < 0x80) return asciiDigit(c);
  return u_isdigit(text.char32At(i));
}

namespace {

// ASCII characters by what the scan does with them; class 0 (lower-case letters, most
// punctuation) only ends runs.
enum : uint8_t { kDigit = 1, kMrz = 2, kUpper = 4, kAt = 8, kSeparator = 16 };

constexpr std::array<uint8_t, 128> kClasses = [] {
  std::array<uint8_t, 128> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] = kDigit | kMrz;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = kMrz | kUpper;
  t['<'] = kMrz;
  t['@'] = kAt;
  t['-'] = kSeparator;
  t[' '] = kSeparator;
  return t;
}();

}  // namespace

ShapePlaces scanShapes(const icu::UnicodeString& text) {
  ShapePlaces out;
  const char16_t* u = text.getBuffer();
  const int32_t n = text.length();
  if (!u) return out;
  int32_t mrzRun = -1;          // start of the current run of [A-Z0-9<]
  bool afterRun = false;        // a digit run was seen
  bool onlySeparators = false;  // only "-" and " " since the last digit run
  auto endMrzRun = [&](int32_t end) {
    int32_t len = end - mrzRun;
    if (len >= 42 && len <= 44) out.mrzLine2.push_back(mrzRun);
    if (len >= 25 && len <= 44 && u[mrzRun] == 'P') out.mrzLine1.push_back(mrzRun);
    mrzRun = -1;
  };
  // The code point at i is a decimal digit; its width in units.
  auto digitWidth = [&](int32_t i) -> int32_t {
    char16_t c = u[i];
    if (c < 0x80) return asciiDigit(c) ? 1 : 0;
    if (U16_IS_LEAD(c) && i + 1 < n && U16_IS_TRAIL(u[i + 1])) {
      return u_isdigit(U16_GET_SUPPLEMENTARY(c, u[i + 1])) ? 2 : 0;
    }
    return u_isdigit(c) ? 1 : 0;
  };
  for (int32_t i = 0; i < n;) {
    char16_t c = u[i];
    uint8_t k = c < 0x80 ? kClasses[c] : 0;
    int32_t width = (k & kDigit) ? 1 : (c < 0x80 ? 0 : digitWidth(i));
    if (width > 0) {
      DigitRun run;
      run.start = i;
      run.joined = afterRun && onlySeparators;
      run.count = 0;
      int32_t j = i;
      bool ascii = true;
      for (int32_t w = width; w > 0; w = j < n ? digitWidth(j) : 0) {
        if (u[j] >= 0x80) ascii = false;
        j += w;
        ++run.count;
      }
      run.end = j;
      out.digitRuns.push_back(run);
      afterRun = onlySeparators = true;
      // ASCII digits belong to [A-Z0-9<] runs, other digits end them.
      if (ascii) {
        if (mrzRun < 0) mrzRun = i;
      } else {
        for (int32_t q = i; q < j; ++q) {
          if (asciiDigit(u[q])) {
            if (mrzRun < 0) mrzRun = q;
          } else if (mrzRun >= 0) {
            endMrzRun(q);
          }
        }
      }
      i = j;
      continue;
    }
    if (k == 0 && c < 0x80) {
      onlySeparators = false;
      if (mrzRun >= 0) endMrzRun(i);
      for (++i; i < n && u[i] < 0x80 && kClasses[u[i]] == 0;) ++i;
      continue;
    }
    if (!(k & kSeparator)) onlySeparators = false;
    if (k & kMrz) {
      if (mrzRun < 0) mrzRun = i;
      if ((k & kUpper) && i + 2 < n && upper(u[i + 1]) && (i == 0 || !upperOrDigit(u[i - 1]))) {
        bool digitNext = digitWidth(i + 2) > 0;
        if (digitNext) out.iban.push_back(i);
        if (digitNext || u[i + 2] == ' ') out.nino.push_back(i);
      }
    } else {
      if (mrzRun >= 0) endMrzRun(i);
      if (c == '@' && i > 0 && emailLocal(u[i - 1])) {
        int32_t s = i - 1;
        while (s > 0 && emailLocal(u[s - 1])) --s;
        if (out.emailStarts.empty() || out.emailStarts.back() < s) out.emailStarts.push_back(s);
      }
    }
    ++i;
  }
  if (mrzRun >= 0) endMrzRun(n);
  return out;
}

bool decodeUtf8(std::string_view utf8, icu::UnicodeString& out) {
  const uint8_t* s = reinterpret_cast<const uint8_t*>(utf8.data());
  if (utf8.size() > static_cast<size_t>(INT32_MAX)) {
    out = platform::toUnicode(utf8);
    return false;
  }
  const int32_t n = static_cast<int32_t>(utf8.size());
  out.remove();
  // Never more UTF-16 units than UTF-8 bytes.
  char16_t* buffer = out.getBuffer(n > 0 ? n : 1);
  if (!buffer) {
    out = platform::toUnicode(utf8);
    return false;
  }
  int32_t i = 0, j = 0;
  bool wellFormed = true;
  while (i < n) {
    // Eight ASCII bytes at a time where the text allows.
    while (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, s + i, 8);
      if (word & 0x8080808080808080ull) break;
      for (int k = 0; k < 8; ++k) buffer[j + k] = s[i + k];
      i += 8;
      j += 8;
    }
    if (i >= n) break;
    if (s[i] < 0x80) {
      buffer[j++] = s[i++];
      continue;
    }
    UChar32 c;
    U8_NEXT(s, i, n, c);
    if (c < 0) {
      wellFormed = false;
      break;
    }
    U16_APPEND_UNSAFE(buffer, j, c);
  }
  out.releaseBuffer(wellFormed ? j : 0);
  if (!wellFormed) out = platform::toUnicode(utf8);
  return wellFormed;
}

std::optional<std::vector<size_t>> byteOffsets(std::string_view utf8,
                                               const std::vector<int32_t>& units) {
  std::vector<size_t> out;
  out.reserve(units.size());
  size_t byte = 0;
  int64_t unit = 0;
  for (int32_t target : units) {
    // Eight ASCII bytes at a time, while that does not pass the target.
    while (unit + 8 <= target && byte + 8 <= utf8.size()) {
      uint64_t word;
      std::memcpy(&word, utf8.data() + byte, 8);
      if (word & 0x8080808080808080ull) break;
      unit += 8;
      byte += 8;
    }
    while (unit < target && byte < utf8.size()) {
      unsigned char lead = static_cast<unsigned char>(utf8[byte]);
      size_t width = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
      unit += width == 4 ? 2 : 1;
      byte += width;
    }
    if (unit != target) return std::nullopt;
    out.push_back(byte);
  }
  return out;
}

}  // namespace zelk::sensitive_internal
