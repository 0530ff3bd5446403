// Dispatch by format, segmenting of large text, fenced code, the general pipeline with its trace
// labels, and the fidelity check around it.
#include "optimize/optimizer.h"

#include <algorithm>

#include "optimize/internal/pipeline_steps.h"
#include "optimize/internal/text_rules.h"
#include "optimize/optimizer_fidelity.h"
#include "platform/regex_cache.h"
#include "platform/unicode.h"

namespace zelk {

using namespace optimize_internal;

namespace {

constexpr size_t kJSONUntouchedBytes = 20'000'000;
constexpr size_t kSegmentedAboveBytes = 2'000'000;
constexpr size_t kSegmentBytes = 999'999;

int64_t characters(std::string_view s) { return static_cast<int64_t>(characterCount(s)); }

void traceStep(const OptimizerTrace& trace, std::string_view label, std::string_view text) {
  if (trace) trace(label, text);
}

std::string generalPipeline(std::string_view input, const OptimizationOptions& options,
                            const OptimizerTrace& trace) {
  std::string text = Optimizer::cleanWhitespace(input);
  traceStep(trace, "cleanWhitespace", text);
  text = Optimizer::fixLineBreakArtifacts(text);
  traceStep(trace, "fixLineBreakArtifacts", text);
  text = Optimizer::removeScatteredFlags(text);
  traceStep(trace, "removeScatteredFlags", text);
  text = Optimizer::cleanPdfArtifacts(text);
  traceStep(trace, "cleanPdfArtifacts", text);
  if (options.removeBoilerplate) {
    text = trace ? removeBoilerplateTraced(text, trace) : Optimizer::removeBoilerplate(text);
  }
  text = Optimizer::cleanFormattingArtifacts(text);
  traceStep(trace, "cleanFormattingArtifacts", text);
  text = Optimizer::stripURLs(text);
  traceStep(trace, "stripURLs", text);
  if (options.removeDuplicates) {
    text = Optimizer::removeDuplicateLines(text);
    traceStep(trace, "removeDuplicateLines", text);
  }
  text = Optimizer::compressTabularData(text);
  traceStep(trace, "compressTabularData", text);
  if (options.compressRepetitive) {
    text = Optimizer::compressRepetitiveContent(text);
    traceStep(trace, "compressRepetitiveContent", text);
  }
  text = Optimizer::cleanSectionMarkers(text);
  traceStep(trace, "cleanSectionMarkers", text);
  text = Optimizer::optimizePptxContent(text);
  traceStep(trace, "optimizePptxContent", text);
  text = Optimizer::optimizeDocxContent(text);
  traceStep(trace, "optimizeDocxContent", text);
  text = Optimizer::collapseBlankLines(text);
  traceStep(trace, "collapseBlankLines", text);
  text = Optimizer::removeExcessiveEmptyLines(text);
  traceStep(trace, "removeExcessiveEmptyLines", text);
  text = Optimizer::finalCleanup(text);
  traceStep(trace, "finalCleanup", text);
  text = Optimizer::cleanWhitespace(text);
  traceStep(trace, "cleanWhitespace2", text);
  return text;
}

// Code keeps its lines; only trailing white space goes.
std::string trimCodeLines(std::string_view code) {
  auto lines = splitLines(code);
  for (auto& line : lines) line = trimTrailingRegexSpace(line);
  return join(lines, "\n");
}

}  // namespace

const Optimizer& Optimizer::shared() {
  static const Optimizer instance;
  return instance;
}

int64_t Optimizer::estimateTokens(std::string_view text) {
  return std::max<int64_t>(1, characters(text) / 4);
}

// One level of dispatch; `mayCut` is false inside a segment so that a segment that is still
// large (one very long line) goes through the pipeline whole instead of being cut again. Lengths
// are counted once, by the caller; sheetRemoved is set on the spreadsheet path.
static std::string dispatch(std::string_view text, const OptimizationOptions& options,
                            std::optional<DocumentFormat> format, const OptimizerTrace& trace,
                            bool mayCut, std::optional<SpreadsheetOptimizer::Removed>& sheet) {
  bool isJSON = format == DocumentFormat::json;
  bool isSheet = format && DocumentFormats::isSpreadsheet(*format);
  if (isJSON && text.size() > kJSONUntouchedBytes) return std::string(text);
  if (!isJSON && !isSheet && text.size() > kSegmentedAboveBytes && mayCut) {
    std::vector<std::string> pieces;
    std::string buffer;
    auto flush = [&] {
      pieces.push_back(dispatch(buffer, options, format, trace, false, sheet));
      buffer.clear();
      buffer.shrink_to_fit();
    };
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      buffer.append(text.substr(start, end - start));
      buffer.push_back('\n');
      if (buffer.size() > kSegmentBytes) flush();
      if (end == text.size()) break;
      start = end + 1;
    }
    if (!buffer.empty()) flush();
    return join(pieces, "\n");
  }
  traceStep(trace, "input", text);
  if (isSheet) {
    SpreadsheetOptimizer::Removed removed;
    std::string out = SpreadsheetOptimizer::optimize(text, removed);
    out = std::string(trimWhiteAndNewlines(collapseNewlines(out)));
    traceStep(trace, "spreadsheet", out);
    sheet = removed;
    return out;
  }
  if (isJSON) {
    if (auto out = Optimizer::optimizeJSON(text)) {
      traceStep(trace, "json", *out);
      return std::move(*out);
    }
  }
  if (auto segments = Optimizer::splitFencedCode(text)) {
    std::vector<std::string> parts;
    for (const CodeSegment& segment : *segments) {
      std::string out = segment.isCode
                            ? trimCodeLines(segment.text)
                            : dispatch(segment.text, options, format, nullptr, false, sheet);
      if (!out.empty()) parts.push_back(std::move(out));
    }
    std::string out = join(parts, "\n\n");
    traceStep(trace, "fencedCode", out);
    return out;
  }
  return generalPipeline(text, options, trace);
}

static OptimizationResult optimizeValid(std::string_view text, const OptimizationOptions& options,
                                        std::optional<DocumentFormat> format,
                                        const OptimizerTrace& trace) {
  OptimizationResult result;
  result.stats.originalLength = characters(text);
  result.text = dispatch(text, options, format, trace, true, result.stats.sheetRemoved);
  result.stats.finalLength =
      result.text == text ? result.stats.originalLength : characters(result.text);
  return result;
}

OptimizationResult Optimizer::optimizeWithoutCheck(std::string_view text,
                                                   const OptimizationOptions& options,
                                                   std::optional<DocumentFormat> format,
                                                   const OptimizerTrace& trace) const {
  if (!platform::isValidUtf8(text)) {
    std::string clean = platform::sanitizeUtf8(text);
    return optimizeValid(clean, options, format, trace);
  }
  return optimizeValid(text, options, format, trace);
}

OptimizationResult Optimizer::optimize(std::string_view input, const OptimizationOptions& options,
                                       std::optional<DocumentFormat> format,
                                       const OptimizerTrace& trace) const {
  // Text "as written" is the text with bad byte sequences replaced, never the bad bytes.
  std::string clean;
  std::string_view text = input;
  if (!platform::isValidUtf8(input)) {
    clean = platform::sanitizeUtf8(input);
    text = clean;
  }
  OptimizationResult result = optimizeWithoutCheck(text, options, format, trace);
  if (result.text == text) return result;
  auto checked = OptimizerFidelity::check(text, result.text, format);
  const auto& missing = checked.missing;
  if (!missing.empty()) {
    OptimizationResult asWritten;
    asWritten.text = std::string(text);
    asWritten.stats.originalLength = result.stats.originalLength;
    asWritten.stats.finalLength = result.stats.originalLength;
    asWritten.stats.sentAsWritten = static_cast<int>(missing.size());
    asWritten.stats.numbersIn = checked.numbersIn;
    return asWritten;
  }
  result.stats.numbersIn = checked.numbersIn;
  return result;
}

std::optional<std::vector<CodeSegment>> Optimizer::splitFencedCode(std::string_view text) {
  if (text.find("```") == std::string_view::npos && text.find("~~~") == std::string_view::npos) {
    return std::nullopt;
  }
  auto lines = splitLines(text);
  std::vector<CodeSegment> segments;
  std::vector<std::string_view> gathered;
  bool inBlock = false;
  std::string fence;
  auto leadingTrimmed = [](std::string_view line) {
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    return line.substr(i);
  };
  for (std::string_view line : lines) {
    std::string_view t = leadingTrimmed(line);
    if (!inBlock) {
      if (t.starts_with("```") || t.starts_with("~~~")) {
        if (!gathered.empty()) segments.push_back({join(gathered, "\n"), false});
        gathered.clear();
        char c = t[0];
        size_t run = 0;
        while (run < t.size() && t[run] == c) ++run;
        fence = std::string(t.substr(0, run));
        inBlock = true;
      }
      gathered.push_back(line);
      continue;
    }
    gathered.push_back(line);
    if (t.starts_with(fence)) {
      size_t k = fence.size();
      while (k < t.size() && t[k] == fence[0]) ++k;
      if (trimWhite(t.substr(k)).empty()) {
        segments.push_back({join(gathered, "\n"), true});
        gathered.clear();
        inBlock = false;
      }
    }
  }
  if (!gathered.empty()) segments.push_back({join(gathered, "\n"), inBlock});
  bool anyCode =
      std::any_of(segments.begin(), segments.end(), [](const CodeSegment& s) { return s.isCode; });
  if (!anyCode) return std::nullopt;
  return segments;
}

std::string Optimizer::removedOnPurpose(std::string_view text) {
  std::string out = removeNoticesOnly(text);
  out = replaceURLs(out, " ");
  windowedReplace(out, tocLeaderPattern, "$1", leaderHits(out));
  return out;
}

}  // namespace zelk
