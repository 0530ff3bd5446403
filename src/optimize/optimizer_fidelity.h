// The promise that optimizing never loses a figure: significant numbers of a text in a
// normalized form, the record of a fused read, and the "fidelity" details block with its
// summary sentence. Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "documents/document_format.h"
#include "optimize/optimizer.h"
#include "protocol/json_value.h"

namespace zelk {

class PlaceholderMap;

struct OptimizerFidelity {
  int64_t tokensBefore = 0;
  int64_t tokensAfter = 0;
  double reductionPercent = 0;                    // unrounded; 0 when tokensBefore is 0
  int numericValuesIn = 0;                        // union of the inputs' significant numbers
  std::vector<std::string> droppedNumericValues;  // sorted, first 25

  // One part of a fused read: the text as read, the text as optimized, its format.
  struct Part {
    std::string before;
    std::string after;
    std::optional<DocumentFormat> format;
  };

  // Normalized significant numbers of prose.
  static std::set<std::string> significantNumbers(std::string_view text);
  // The same for a document: JSON and spreadsheets are read as CSV cells; every other format
  // (and no format) as prose.
  static std::set<std::string> significantNumbers(std::string_view text,
                                                  std::optional<DocumentFormat> format);
  // The input as the check sees it (what the optimizer removes on purpose taken out).
  static std::string contentOnly(std::string_view text, std::optional<DocumentFormat> format);
  // "3.14159" -> "3.1416", "2.50" -> "2.5", "12.0%" -> "12%"; no "." -> unchanged.
  static std::string roundedTo4(std::string_view value);
  // The value of a spreadsheet cell that is a number, or nullopt (the caller reads it as prose).
  static std::optional<std::string> numericCell(std::string_view cell);
  // IN minus OUT, in ascending text order, the first 25.
  static std::vector<std::string> missing(const std::set<std::string>& in,
                                          const std::set<std::string>& out);

  // The values of in that the numbers of `after` (read for format) don't hold, sorted, the first
  // 25: missing(in, significantNumbers(after, format)) without building the second set.
  static std::vector<std::string> missingFrom(const std::set<std::string>& in,
                                              std::string_view after,
                                              std::optional<DocumentFormat> format);

  // The check of one text: how many significant numbers `before` holds (what the optimizer
  // removes on purpose taken out) and which of them `after` misses (sorted, the first 25).
  struct Check {
    int numbersIn = 0;
    std::vector<std::string> missing;
  };
  static Check check(std::string_view before, std::string_view after,
                     std::optional<DocumentFormat> format);

  static OptimizerFidelity compute(const std::vector<Part>& parts, int64_t tokensBefore,
                                   int64_t tokensAfter);
};

// The "fidelity" details object of a tool answer and the sentence for its summary.
struct FidelityBlock {
  JSONValue json;
  std::string sentence;
  int numbersIn = 0;
  std::vector<std::string> reported;  // dropped values left after hiding redacted digits
};

namespace FidelityReport {

// Takes the missing values and returns those that may be shown (PlaceholderMap::filterOutHidden).
using HiddenFilter = std::function<std::vector<std::string>(const std::vector<std::string>&)>;

// The block from the parts of one check. missing: sorted, first 25 (before hiding).
FidelityBlock build(int numbersIn, const std::vector<std::string>& missing, bool sentAsWritten,
                    int64_t tokensBefore, int64_t tokensAfter, const HiddenFilter& filter);

// One document: IN from the text as read (format nullopt: pasted text), OUT from the optimized
// text before redaction; sent as written when stats say so; tokensAfter counts the redacted text.
FidelityBlock forText(std::string_view asRead, std::optional<DocumentFormat> format,
                      std::string_view optimized, const OptimizationStats& stats,
                      int64_t tokensAfter, const PlaceholderMap& map);

// A fused read from its record; sentAsWritten when any part was sent as written.
FidelityBlock forRecord(const OptimizerFidelity& record, bool sentAsWritten,
                        const PlaceholderMap& map);

// The filter of a call's placeholder map.
HiddenFilter filterOf(const PlaceholderMap& map);

}  // namespace FidelityReport

}  // namespace zelk
