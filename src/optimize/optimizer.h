// The text optimizer: removes what carries no meaning from a document's text (spacing, page
// numbers, notices, links, repeated lines and paragraphs, table borders) and, through
// `optimize`, refuses any result that would lose a significant number of its input.
// Stateless: every operation may be called from any thread at once (compiled patterns are
// shared read-only through platform::RegexCache).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "documents/document_format.h"
#include "optimize/spreadsheet_optimizer.h"

namespace zelk {

class JSONValue;

// Every caller in the system switches all three on.
struct OptimizationOptions {
  bool removeBoilerplate = true;   // notices, page numbers, draft and placeholder marks
  bool compressRepetitive = true;  // repeated paragraphs
  bool removeDuplicates = true;    // repeated lines
};

struct OptimizationStats {
  int64_t originalLength = 0;  // input, in user-perceived characters
  int64_t finalLength = 0;     // output, in user-perceived characters
  // Set by `optimize` when the input came back unchanged because numbers would have been lost:
  // how many were missing (at most 25).
  std::optional<int> sentAsWritten;
  // Set by `optimize` when the check ran: significant numbers found in the input.
  std::optional<int> numbersIn;
  // Spreadsheet input only: what the spreadsheet optimizer removed.
  std::optional<SpreadsheetOptimizer::Removed> sheetRemoved;
};

struct OptimizationResult {
  std::string text;
  OptimizationStats stats;
};

// Called after each pipeline step with the step's label and the text after it (developer
// modes). An empty function means no trace.
using OptimizerTrace = std::function<void(std::string_view label, std::string_view text)>;

struct CodeSegment {
  std::string text;
  bool isCode = false;
  bool operator==(const CodeSegment&) const = default;
};

class Optimizer {
 public:
  static const Optimizer& shared();

  // The pipeline wrapped in the fidelity check: the input comes back unchanged (sentAsWritten
  // set) when the optimized text would miss a significant number of it. Never fails.
  OptimizationResult optimize(std::string_view text, const OptimizationOptions& options = {},
                              std::optional<DocumentFormat> format = std::nullopt,
                              const OptimizerTrace& trace = nullptr) const;

  // The pipeline alone, chosen by format (no format: pasted text). Never fails.
  OptimizationResult optimizeWithoutCheck(std::string_view text,
                                          const OptimizationOptions& options = {},
                                          std::optional<DocumentFormat> format = std::nullopt,
                                          const OptimizerTrace& trace = nullptr) const;

  // The text cut into prose and fenced-code segments; nullopt when it holds no code block.
  static std::optional<std::vector<CodeSegment>> splitFencedCode(std::string_view text);

  // The text without what the notice, link and contents-leader rules remove on purpose, so
  // that numbers inside those never count as lost.
  static std::string removedOnPurpose(std::string_view text);

  // Token estimate used everywhere: user-perceived characters / 4, rounded down, at least 1.
  static int64_t estimateTokens(std::string_view text);

  // Patterns shared with the fidelity check (ICU syntax).
  static constexpr std::string_view urlPattern = R"(https?://[^\s\n\t,\)\]>"']+)";
  static constexpr std::string_view tocLeaderPattern = R"((?m)^(.+?)\.{4,}\s*\d+\s*$)";
  // The 15 notice expressions, in the order they are applied.
  static const std::vector<std::string>& noticePatterns();
  // The 9 metadata expressions applied after the notices.
  static const std::vector<std::string>& metadataPatterns();

  // The JSON path: compact JSON, or the table found in it as CSV; nullopt when the text is not
  // JSON (or a JSON value followed by text).
  static std::optional<std::string> optimizeJSON(std::string_view text);

  // A table of objects inside a JSON value, as CSV, with the key of the top-level member it
  // was found under (no key for a top-level array).
  struct TabularCSV {
    std::string csv;
    std::optional<std::string> key;
  };
  static std::optional<TabularCSV> tabularCSV(const JSONValue& value);

  // The general pipeline's steps, each a pure function of its text (exposed for tests and the
  // developer modes). Steps 5, 8 and 10 run only with their switch on.
  static std::string cleanWhitespace(std::string_view text);
  static std::string fixLineBreakArtifacts(std::string_view text);
  static std::string removeScatteredFlags(std::string_view text);
  static std::string cleanPdfArtifacts(std::string_view text);
  static std::string removeBoilerplate(std::string_view text);
  static std::string cleanFormattingArtifacts(std::string_view text);
  static std::string stripURLs(std::string_view text);
  static std::string removeDuplicateLines(std::string_view text);
  static std::string compressTabularData(std::string_view text);
  static std::string compressRepetitiveContent(std::string_view text);
  static std::string cleanSectionMarkers(std::string_view text);
  static std::string optimizePptxContent(std::string_view text);
  static std::string optimizeDocxContent(std::string_view text);
  static std::string collapseBlankLines(std::string_view text);
  static std::string removeExcessiveEmptyLines(std::string_view text);
  static std::string finalCleanup(std::string_view text);
};

}  // namespace zelk
