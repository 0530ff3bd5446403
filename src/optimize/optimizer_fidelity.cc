// Significant numbers, the check's sets and the fidelity block. The three expressions of the
// number rule are written as loops with exactly their matches: the check reads every text of
// every tool call, so it must run at the speed of a byte scan.
#include "optimize/optimizer_fidelity.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <unordered_set>

#include "optimize/internal/text_rules.h"
#include "sensitive/placeholder_map.h"

namespace zelk {

using namespace optimize_internal;

namespace {

// Length of the currency sign ($ € £ ¥) at i, or 0.
size_t currencyAt(std::string_view s, size_t i) {
  unsigned char b = static_cast<unsigned char>(s[i]);
  if (b == '$') return 1;
  if (b == 0xC2 && i + 1 < s.size()) {
    unsigned char t = static_cast<unsigned char>(s[i + 1]);
    if (t == 0xA3 || t == 0xA5) return 2;  // £ ¥
  }
  if (b == 0xE2 && s.compare(i, 3, "\xE2\x82\xAC") == 0) return 3;  // €
  return 0;
}

// Length of the decimal digit at i, or 0.
size_t digitAt(std::string_view s, size_t i) {
  if (i >= s.size()) return 0;
  unsigned char b = static_cast<unsigned char>(s[i]);
  if (b < 0x80) return (b >= '0' && b <= '9') ? 1 : 0;
  size_t len;
  return isDigit(decodeAt(s, i, len)) ? len : 0;
}

// End of the run of digits starting at i, and how many digits it holds.
size_t digitRun(std::string_view s, size_t i, size_t* count) {
  size_t n = 0;
  while (size_t len = digitAt(s, i)) {
    i += len;
    ++n;
  }
  if (count) *count = n;
  return i;
}

// After the integer part: an optional ".digits" and an optional "%".
size_t fractionAndPercent(std::string_view s, size_t end) {
  if (end < s.size() && s[end] == '.' && digitAt(s, end + 1)) end = digitRun(s, end + 1, nullptr);
  if (end < s.size() && s[end] == '%') ++end;
  return end;
}

// The number expression at p, the first digit: grouped thousands first, then plain digits.
size_t numberBodyEnd(std::string_view s, size_t p) {
  size_t runDigits = 0;
  size_t runEnd = digitRun(s, p, &runDigits);
  if (runDigits <= 3 && runEnd < s.size() && s[runEnd] == ',') {
    std::vector<size_t> groupEnds;
    size_t q = runEnd;
    while (q < s.size() && s[q] == ',') {
      size_t r = q + 1;
      int k = 0;
      for (; k < 3; ++k) {
        size_t len = digitAt(s, r);
        if (!len) break;
        r += len;
      }
      if (k < 3) break;
      groupEnds.push_back(r);
      q = r;
    }
    // The groups must not be followed by a digit; give one back when they are.
    if (!groupEnds.empty() && digitAt(s, groupEnds.back())) groupEnds.pop_back();
    if (!groupEnds.empty()) return fractionAndPercent(s, groupEnds.back());
  }
  return fractionAndPercent(s, runEnd);
}

size_t countDigits(std::string_view s) {
  size_t n = 0;
  for (size_t i = 0; i < s.size();) {
    size_t len = digitAt(s, i);
    if (len) {
      ++n;
      i += len;
    } else {
      ++i;
    }
  }
  return n;
}

// Where found numbers go: into a set, or struck out of a set (the values still missing).
using NumberSet = std::unordered_set<std::string>;

struct NumberSink {
  NumberSet* collect = nullptr;
  NumberSet* strike = nullptr;
  void add(std::string&& value) {
    if (collect) {
      collect->insert(std::move(value));
    } else if (auto it = strike->find(value); it != strike->end()) {
      strike->erase(it);
    }
  }
};

void addNormalized(std::string_view m, NumberSink& out) {
  bool currency = false, percent = false, separator = false, dot = false, ascii = true;
  size_t digits = 0;
  std::string normal;
  for (size_t i = 0; i < m.size();) {
    if (size_t c = currencyAt(m, i)) {
      currency = true;
      i += c;
      continue;
    }
    char b = m[i];
    if (b >= '0' && b <= '9') ++digits;
    if (static_cast<unsigned char>(b) >= 0x80) ascii = false;
    if (b == '%') percent = true;
    if (b == '.') dot = true;
    if (b == ',' || b == '.') separator = true;
    // Tabs go with the spaces: a currency sign and its amount may be split by either.
    if (b != ' ' && b != '\t' && b != ',') normal.push_back(b);
    ++i;
  }
  if (!ascii) digits = countDigits(m);
  if (digits < 3 && !currency && !percent && !separator) return;
  if (dot) {
    std::string value = OptimizerFidelity::roundedTo4(normal);
    if (countDigits(value) < 3 && !percent && !currency) return;
    out.add(std::move(value));
    return;
  }
  // Without a point the value is the normal form itself, with its digits counted above.
  if (!ascii) digits = countDigits(normal);
  if (digits < 3 && !percent && !currency) return;
  out.add(std::move(normal));
}

bool threeDigitsThenNone(std::string_view s, size_t r) {
  for (int k = 0; k < 3; ++k) {
    size_t len = digitAt(s, r);
    if (!len) return false;
    r += len;
  }
  return !digitAt(s, r);
}

// "\u" and four hex digits become one space; spaces before a thousands comma go. Nothing is
// copied when neither occurs.
std::string_view prepared(std::string_view text, std::string& buffer) {
  auto hex = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  };
  std::string_view s = text;
  if (text.find("\\u") != std::string_view::npos) {
    std::string escaped;
    escaped.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
      if (text[i] == '\\' && i + 6 <= text.size() && text[i + 1] == 'u' && hex(text[i + 2]) &&
          hex(text[i + 3]) && hex(text[i + 4]) && hex(text[i + 5])) {
        escaped.push_back(' ');
        i += 6;
      } else {
        escaped.push_back(text[i++]);
      }
    }
    buffer = std::move(escaped);
    s = buffer;
  }
  // Commas that follow a blank and precede exactly three digits.
  std::vector<std::pair<size_t, size_t>> cuts;  // [first blank, comma)
  for (size_t at = s.find(','); at != std::string_view::npos; at = s.find(',', at + 1)) {
    if (at == 0 || (s[at - 1] != ' ' && s[at - 1] != '\t')) continue;
    if (!threeDigitsThenNone(s, at + 1)) continue;
    size_t j = at;
    while (j > 0 && (s[j - 1] == ' ' || s[j - 1] == '\t')) --j;
    cuts.emplace_back(j, at);
  }
  if (cuts.empty()) return s;
  std::string out;
  out.reserve(s.size());
  size_t copied = 0;
  for (auto [from, to] : cuts) {
    out.append(s.substr(copied, from - copied));
    copied = to;
  }
  out.append(s.substr(copied));
  buffer = std::move(out);
  return buffer;
}

void proseNumbers(std::string_view text, NumberSink& out) {
  std::string buffer;
  std::string_view s = prepared(text, buffer);
  size_t n = s.size();
  size_t i = 0;
  auto asciiDigit = [](unsigned char c) { return c >= '0' && c <= '9'; };
  while (i < n) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      if (asciiDigit(b)) {
        // fall through to the match below
      } else if (b == ' ' || b == '\t') {
        unsigned char next = i + 1 < n ? static_cast<unsigned char>(s[i + 1]) : 0;
        if (next < 0x80 && !asciiDigit(next)) {
          ++i;
          continue;
        }
      } else if (b != '$') {
        ++i;
        continue;
      }
    }
    size_t start = i;
    size_t p = i;
    if (size_t c = currencyAt(s, p)) p += c;
    if (p < n && (s[p] == ' ' || s[p] == '\t')) ++p;
    if (!digitAt(s, p)) {
      size_t len = 1;
      if (b >= 0x80) decodeAt(s, i, len);
      i += len;
      continue;
    }
    size_t end = numberBodyEnd(s, p);
    addNormalized(trimWhiteAndNewlines(s.substr(start, end - start)), out);
    i = end;
  }
}

bool parseFinite(std::string_view t, double& x) {
  if (t.empty()) return false;
  const char* begin = t.data();
  const char* end = begin + t.size();
  if (*begin == '+') {
    ++begin;
    if (begin == end || *begin == '-' || *begin == '+') return false;
  }
  auto [ptr, ec] = std::from_chars(begin, end, x);
  return ec == std::errc() && ptr == end && std::isfinite(x);
}

// A decimal such as -1234.5 or 12.3400: written back by the spreadsheet rule it comes out as its
// own digits without sign and trailing zeros (fifteen digits at most survive the double exactly).
// nullopt when the cell has another shape, for the general path.
std::optional<std::string> plainDecimal(std::string_view t) {
  size_t i = 0;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) ++i;
  size_t intStart = i;
  if (i >= t.size() || t[i] < '1' || t[i] > '9') return std::nullopt;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
  size_t intEnd = i;
  if (intEnd - intStart > 11 || i >= t.size() || t[i] != '.') return std::nullopt;
  ++i;
  size_t fracStart = i;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
  if (i != t.size() || i == fracStart || i - fracStart > 4) return std::nullopt;
  size_t fracEnd = i;
  while (fracEnd > fracStart && t[fracEnd - 1] == '0') --fracEnd;
  std::string value(t.substr(intStart, intEnd - intStart));
  if (fracEnd > fracStart) {
    value.push_back('.');
    value.append(t.substr(fracStart, fracEnd - fracStart));
  } else if (value.size() <= 2) {
    return std::string();  // two digits or fewer and no point: no value
  }
  return value;
}

// SpreadsheetOptimizer::trimmed through to_chars, which writes exactly what printf writes with
// the same conversion, without printf's cost on every cell of a sheet.
std::string fourDecimals(double x) {
  char buf[512];
  bool small = x != 0 && std::fabs(x) < 1;
  auto [end, ec] = small ? std::to_chars(buf, buf + sizeof buf, x, std::chars_format::general, 4)
                         : std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 4);
  if (ec != std::errc()) return SpreadsheetOptimizer::trimmed(x);
  std::string out(buf, end);
  if (small) return out;
  while (!out.empty() && out.back() == '0') out.pop_back();
  if (!out.empty() && out.back() == '.') out.pop_back();
  return out;
}

size_t countNumberChars(std::string_view s) {
  size_t n = 0;
  for (size_t i = 0; i < s.size();) {
    size_t len;
    if (isNumberChar(decodeAt(s, i, len))) ++n;
    i += len;
  }
  return n;
}

}  // namespace

std::string OptimizerFidelity::roundedTo4(std::string_view value) {
  bool percent = !value.empty() && value.back() == '%';
  std::string v(percent ? value.substr(0, value.size() - 1) : value);
  size_t dot = v.find('.');
  if (dot == std::string::npos) return percent ? v + "%" : v;
  double x;
  if (v.size() - dot - 1 > 4 && parseFinite(v, x)) {
    char buf[512];
    int written = std::snprintf(buf, sizeof buf, "%.4f", x);
    if (written > 0 && static_cast<size_t>(written) < sizeof buf) v.assign(buf);
  }
  while (!v.empty() && v.back() == '0') v.pop_back();
  if (!v.empty() && v.back() == '.') v.pop_back();
  return percent ? v + "%" : v;
}

std::optional<std::string> OptimizerFidelity::numericCell(std::string_view cell) {
  std::string_view t = trimWhite(cell);
  if (t.empty()) return std::nullopt;
  bool allNumbers = true;
  size_t chars = 0;
  for (size_t i = 0; i < t.size();) {
    size_t len = 1;
    unsigned char b = static_cast<unsigned char>(t[i]);
    if (b < 0x80 ? !(b >= '0' && b <= '9') : !isNumberChar(decodeAt(t, i, len))) {
      allNumbers = false;
      break;
    }
    ++chars;
    i += len;
  }
  if (allNumbers) {
    if (chars > 2) return std::string(t);
    return std::nullopt;
  }
  if (t.find_first_of(".eE") == std::string_view::npos) return std::nullopt;
  if (auto plain = plainDecimal(t)) {
    if (plain->empty()) return std::nullopt;
    return plain;
  }
  double x;
  if (!parseFinite(t, x)) return std::nullopt;
  std::string value = fourDecimals(std::fabs(x));
  if (countNumberChars(value) <= 2 && value.find('.') == std::string::npos) return std::nullopt;
  return value;
}

namespace {

// The cells of one record, as SpreadsheetOptimizer::parseCSVLine gives them, without copying
// cells that hold no quote.
template <typename F>
void forEachCell(std::string_view record, std::string& buffer, F&& take) {
  size_t i = 0;
  while (true) {
    size_t stop = record.find_first_of(",\"", i);
    if (stop == std::string_view::npos || record[stop] == ',') {
      size_t end = stop == std::string_view::npos ? record.size() : stop;
      take(trimWhite(record.substr(i, end - i)));
      if (stop == std::string_view::npos) return;
      i = stop + 1;
      continue;
    }
    buffer.assign(record.substr(i, stop - i));
    bool inQuotes = false;
    size_t k = stop;
    for (; k < record.size(); ++k) {
      char c = record[k];
      if (inQuotes) {
        if (c == '"') {
          if (k + 1 < record.size() && record[k + 1] == '"') {
            buffer.push_back('"');
            ++k;
          } else {
            inQuotes = false;
          }
        } else {
          buffer.push_back(c);
        }
      } else if (c == '"') {
        inQuotes = true;
      } else if (c == ',') {
        break;
      } else {
        buffer.push_back(c);
      }
    }
    take(trimWhite(buffer));
    if (k >= record.size()) return;
    i = k + 1;
  }
}

// The records of a text, as SpreadsheetOptimizer::records gives them, as views.
template <typename F>
void forEachRecord(std::string_view text, F&& take) {
  size_t start = 0;
  size_t quotes = 0;
  size_t lineStart = 0;
  while (true) {
    size_t end = text.find('\n', lineStart);
    std::string_view line = text.substr(
        lineStart, end == std::string_view::npos ? std::string_view::npos : end - lineStart);
    quotes += static_cast<size_t>(std::count(line.begin(), line.end(), '"'));
    if (end == std::string_view::npos) {
      take(text.substr(start));
      return;
    }
    if (quotes % 2 == 0) {
      take(text.substr(start, end - start));
      start = end + 1;
      quotes = 0;
    }
    lineStart = end + 1;
  }
}

void documentNumbers(std::string_view text, std::optional<DocumentFormat> format,
                     NumberSink& sink) {
  if (!format || (*format != DocumentFormat::json && !DocumentFormats::isSpreadsheet(*format))) {
    proseNumbers(text, sink);
    return;
  }
  std::string buffer;
  forEachRecord(text, [&](std::string_view record) {
    if (!containsNumberChar(record)) return;
    if (record.starts_with("## ")) {
      proseNumbers(record, sink);
      return;
    }
    forEachCell(record, buffer, [&](std::string_view cell) {
      if (!containsNumberChar(cell)) return;
      if (auto value = OptimizerFidelity::numericCell(cell)) {
        sink.add(std::move(*value));
      } else {
        proseNumbers(cell, sink);
      }
    });
  });
}

}  // namespace

namespace {

NumberSet numberSet(std::string_view text, std::optional<DocumentFormat> format) {
  NumberSet out;
  NumberSink sink{&out, nullptr};
  documentNumbers(text, format, sink);
  return out;
}

// What of `in` the numbers of `after` leave, sorted, the first 25.
std::vector<std::string> strikeOut(NumberSet left, std::string_view after,
                                   std::optional<DocumentFormat> format) {
  NumberSink sink{nullptr, &left};
  if (!left.empty()) documentNumbers(after, format, sink);
  std::vector<std::string> rest(left.begin(), left.end());
  size_t keep = std::min<size_t>(25, rest.size());
  std::partial_sort(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(keep), rest.end());
  rest.resize(keep);
  return rest;
}

}  // namespace

std::set<std::string> OptimizerFidelity::significantNumbers(std::string_view text) {
  return significantNumbers(text, std::nullopt);
}

std::set<std::string> OptimizerFidelity::significantNumbers(std::string_view text,
                                                            std::optional<DocumentFormat> format) {
  NumberSet found = numberSet(text, format);
  return std::set<std::string>(std::make_move_iterator(found.begin()),
                               std::make_move_iterator(found.end()));
}

std::vector<std::string> OptimizerFidelity::missingFrom(const std::set<std::string>& in,
                                                        std::string_view after,
                                                        std::optional<DocumentFormat> format) {
  return strikeOut(NumberSet(in.begin(), in.end()), after, format);
}

OptimizerFidelity::Check OptimizerFidelity::check(std::string_view before, std::string_view after,
                                                  std::optional<DocumentFormat> format) {
  NumberSet in = numberSet(contentOnly(before, format), format);
  Check result;
  result.numbersIn = static_cast<int>(in.size());
  result.missing = strikeOut(std::move(in), after, format);
  return result;
}

std::string OptimizerFidelity::contentOnly(std::string_view text,
                                           std::optional<DocumentFormat> format) {
  if (format && (*format == DocumentFormat::json || DocumentFormats::isSpreadsheet(*format))) {
    return std::string(text);
  }
  return Optimizer::removedOnPurpose(text);
}

std::vector<std::string> OptimizerFidelity::missing(const std::set<std::string>& in,
                                                    const std::set<std::string>& out) {
  std::vector<std::string> result;
  for (const std::string& v : in) {
    if (result.size() == 25) break;
    if (!out.contains(v)) result.push_back(v);
  }
  return result;
}

OptimizerFidelity OptimizerFidelity::compute(const std::vector<Part>& parts, int64_t tokensBefore,
                                             int64_t tokensAfter) {
  NumberSet in;
  std::set<std::string> missingAll;
  for (const Part& part : parts) {
    NumberSet inPart = numberSet(contentOnly(part.before, part.format), part.format);
    NumberSet left = inPart;
    NumberSink sink{nullptr, &left};
    if (!left.empty()) documentNumbers(part.after, part.format, sink);
    missingAll.insert(left.begin(), left.end());
    in.merge(inPart);
  }
  OptimizerFidelity record;
  record.tokensBefore = tokensBefore;
  record.tokensAfter = tokensAfter;
  record.reductionPercent = tokensBefore == 0 ? 0.0
                                              : static_cast<double>(tokensBefore - tokensAfter) /
                                                    static_cast<double>(tokensBefore) * 100.0;
  record.numericValuesIn = static_cast<int>(in.size());
  for (const std::string& v : missingAll) {
    if (record.droppedNumericValues.size() == 25) break;
    record.droppedNumericValues.push_back(v);
  }
  return record;
}

namespace FidelityReport {

FidelityBlock build(int numbersIn, const std::vector<std::string>& missing, bool sentAsWritten,
                    int64_t tokensBefore, int64_t tokensAfter, const HiddenFilter& filter) {
  FidelityBlock block;
  block.numbersIn = numbersIn;
  block.reported = filter ? filter(missing) : missing;
  double reduction = 0;
  if (tokensBefore != 0) {
    reduction = static_cast<double>((tokensBefore - tokensAfter) * 1000 / tokensBefore) / 10.0;
  }
  JSONArray dropped;
  for (const std::string& v : block.reported) dropped.emplace_back(v);
  JSONObject o;
  o["tokens_before"] = JSONValue(static_cast<double>(tokensBefore));
  o["tokens_after"] = JSONValue(static_cast<double>(tokensAfter));
  o["reduction_percent"] = JSONValue(reduction);
  o["numeric_values_in"] = JSONValue(numbersIn);
  o["numeric_values_preserved"] = JSONValue(numbersIn - static_cast<int>(block.reported.size()));
  o["all_numeric_values_preserved"] = JSONValue(block.reported.empty());
  o["dropped_numeric_values"] = JSONValue(std::move(dropped));
  o["sent_as_written"] = JSONValue(sentAsWritten);
  block.json = JSONValue(std::move(o));

  if (sentAsWritten) {
    block.sentence =
        "Sent as written: a shorter version would have dropped figures, so zelk sent the text it "
        "read from the file unchanged and every number in it is exact.";
  } else if (!block.reported.empty()) {
    size_t n = block.reported.size();
    std::string values;
    for (size_t i = 0; i < n; ++i) {
      if (i) values += ", ";
      values += block.reported[i];
    }
    block.sentence = "FIDELITY WARNING: " + std::to_string(n) + " numeric value" +
                     (n == 1 ? "" : "s") +
                     " present in the source are absent from the optimized text: " + values +
                     ". Verify figures against the original before relying on them.";
  } else {
    block.sentence = "Fidelity: every number in the text zelk read from the file (" +
                     std::to_string(numbersIn) +
                     ") is kept; zelk shortened only prose and formatting. This checks zelk's own "
                     "changes, not whether the file's text was complete.";
  }
  return block;
}

HiddenFilter filterOf(const PlaceholderMap& map) {
  return [&map](const std::vector<std::string>& values) { return map.filterOutHidden(values); };
}

FidelityBlock forText(std::string_view asRead, std::optional<DocumentFormat> format,
                      std::string_view optimized, const OptimizationStats& stats,
                      int64_t tokensAfter, const PlaceholderMap& map) {
  auto checked = OptimizerFidelity::check(asRead, optimized, format);
  return build(checked.numbersIn, checked.missing, stats.sentAsWritten.has_value(),
               Optimizer::estimateTokens(asRead), tokensAfter, filterOf(map));
}

FidelityBlock forRecord(const OptimizerFidelity& record, bool sentAsWritten,
                        const PlaceholderMap& map) {
  return build(record.numericValuesIn, record.droppedNumericValues, sentAsWritten,
               record.tokensBefore, record.tokensAfter, filterOf(map));
}

}  // namespace FidelityReport

}  // namespace zelk
