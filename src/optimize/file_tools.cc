// optimize_file, optimize_text and fuse_files: read, optimize inside the fidelity check, redact,
// record the call and answer the prepared text with its details block.
#include "optimize/file_tools.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "documents/file_limit.h"
#include "documents/parse_file.h"
#include "documents/read_service.h"
#include "ledger/activity_ledger.h"
#include "optimize/optimizer.h"
#include "optimize/optimizer_fidelity.h"
#include "optimize/resolve_file.h"
#include "platform/paths.h"
#include "protocol/mcp_tool_error.h"
#include "protocol/paging.h"
#include "sensitive/placeholder_map.h"
#include "sensitive/placeholder_numbering.h"
#include "sensitive/sensitive_data.h"
#include "sensitive/sensitive_rules.h"

namespace zelk {

namespace OptimizerFuse {

Fused fuse(const std::vector<FusePart>& parts, PlaceholderMap& hidden) {
  const SensitiveRules rules = SensitiveRules::current();
  Fused fused;
  for (const FusePart& part : parts) {
    std::string section = "## [" + part.name + "] (" + DocumentFormats::toString(part.format) +
                          ")\n\n" + part.optimized;
    std::map<std::string, int> before = hidden.summary();
    std::string redacted = SensitiveData::redact(section, rules, hidden);
    std::map<std::string, int> grown;
    for (const auto& [category, count] : hidden.summary()) {
      auto it = before.find(category);
      int was = it == before.end() ? 0 : it->second;
      if (count > was) grown[category] = count - was;
    }
    if (&part != &parts.front()) {
      fused.text += kSeparator;
      fused.redacted += kSeparator;
    }
    fused.text += section;
    fused.redacted += redacted;
    fused.counts.push_back(std::move(grown));
    fused.sections.push_back(std::move(redacted));
  }
  return fused;
}

}  // namespace OptimizerFuse

namespace MCPTools {

namespace {

JSONObject countsObject(const std::map<std::string, int>& counts) {
  JSONObject out;
  for (const auto& [key, count] : counts) out[key] = count;
  return out;
}

std::shared_ptr<PlaceholderNumbering> connectionNumbering() {
  // Outside a front end (developer modes, tests) the call gets a numbering of its own.
  return PlaceholderNumbering::connection();
}

// The fidelity block of one optimized text. When the check ran and passed, it has already
// established that no number is missing, so the sets need not be read again.
FidelityBlock fidelityOf(std::string_view asRead, std::optional<DocumentFormat> format,
                         const OptimizationResult& result, int64_t tokensAfter,
                         const PlaceholderMap& map) {
  if (result.stats.numbersIn && !result.stats.sentAsWritten) {
    return FidelityReport::build(*result.stats.numbersIn, {}, false,
                                 Optimizer::estimateTokens(asRead), tokensAfter,
                                 FidelityReport::filterOf(map));
  }
  return FidelityReport::forText(asRead, format, result.text, result.stats, tokensAfter, map);
}

double reductionOf(int64_t before, int64_t after) {
  if (before == 0) return 0;
  return static_cast<double>(before - after) / static_cast<double>(before) * 100.0;
}

// The whole part of a percentage for a summary sentence ("↓66%").
std::string percentText(double r) {
  if (!std::isfinite(r)) return "0";
  return std::to_string(static_cast<long long>(r));
}

std::optional<std::string> stringArgument(const JSONObject& arguments, const std::string& key) {
  auto it = arguments.find(key);
  if (it == arguments.end() || !it->second.isString()) return std::nullopt;
  return *it->second.string();
}

JSONArray intArray(const std::vector<int>& values) {
  JSONArray out;
  for (int v : values) out.emplace_back(v);
  return out;
}

void recordEvent(const ActivityLedger::Event& event) { ActivityLedger::shared().record(event); }

// A summary object written pretty, or "{}" when it can't be written.
std::string prettyOrEmpty(const JSONObject& object) {
  try {
    return JSONValue(object).encodePretty();
  } catch (const JSONEncodeError&) {
    return "{}";
  }
}

}  // namespace

std::string formatTokens(int64_t n) {
  char buf[64];
  if (n < 1000) return std::to_string(n);
  if (n < 1000000) {
    std::snprintf(buf, sizeof buf, "%.1fK", static_cast<double>(n) / 1000.0);
  } else {
    std::snprintf(buf, sizeof buf, "%.1fM", static_cast<double>(n) / 1000000.0);
  }
  return buf;
}

std::string redactionSentence(const PlaceholderMap& map) {
  int n = map.totalHidden();
  if (n == 0) return {};
  if (n == 1) {
    return " 1 sensitive value was hidden by the user's privacy rules (placeholders like "
           "[SSN 1]).";
  }
  return " " + std::to_string(n) +
         " sensitive values were hidden by the user's privacy rules (placeholders like [SSN 1]).";
}

std::optional<JSONObject> redactionInfo(const PlaceholderMap& map) {
  int n = map.totalHidden();
  if (n == 0) return std::nullopt;
  return JSONObject{
      {"hidden", n},
      {"by_type", countsObject(map.summary())},
      {"notice",
       "Some values were hidden by the user's privacy rules and appear as placeholders like "
       "[SSN 1]. The same placeholder always stands for the same value. They were removed on "
       "purpose; they are not missing or corrupt, and should not be guessed."}};
}

JSONObject redactionDetail(
    const PlaceholderMap& map,
    const std::vector<std::pair<std::string, std::map<std::string, int>>>& byPath) {
  JSONObject detail;
  if (map.totalHidden() > 0) {
    detail["redactions"] = countsObject(map.summary());
    if (!byPath.empty()) {
      JSONObject paths;
      for (const auto& [path, counts] : byPath) paths[path] = countsObject(counts);
      detail["redactions_by_path"] = std::move(paths);
    }
  }
  if (!map.flagged().empty()) detail["flagged"] = countsObject(map.flagged());
  return detail;
}

std::string thinPagesNotice(const std::vector<int>& pages, const std::string& file) {
  bool one = pages.size() == 1;
  std::string list;
  if (one) {
    list = "Page " + std::to_string(pages.front());
  } else {
    list = "Pages ";
    for (size_t i = 0; i < pages.size(); ++i) {
      if (i > 0) list += i + 1 == pages.size() ? " and " : ", ";
      list += std::to_string(pages[i]);
    }
  }
  return list + " of " + file + " gave little text; part of " + (one ? "it" : "them") +
         " may be images zelk couldn't read. Check figures from " +
         (one ? "that page" : "those pages") + " against the totals the document prints.";
}

std::string fuseLabel(const std::string& given, const std::string& url) {
  if (given.empty() || (given[0] != '/' && given[0] != '~')) return given;
  std::string file = platform::lastPathComponent(url);
  std::string parent = platform::lastPathComponent(platform::parentPath(url));
  if (parent.empty() || parent == "/" || parent == ".") return file;
  return parent + "/" + file;
}

int cursorArgument(const JSONObject& arguments) {
  auto it = arguments.find("cursor");
  if (it == arguments.end()) return 1;
  std::optional<double> value = it->second.numberValue();
  if (!value || !std::isfinite(*value)) return 1;
  double whole = std::trunc(*value);
  if (whole < 2 || whole > static_cast<double>(std::numeric_limits<int>::max())) return 1;
  return static_cast<int>(whole);
}

std::string optimizeFile(const JSONObject& arguments) {
  std::optional<std::string> given = stringArgument(arguments, "file_path");
  if (!given) throw MCPToolError::missingArgument("file_path");
  std::string path = resolveFile(*given, stringArgument(arguments, "base_name"));
  std::optional<DocumentFormat> format = DocumentFormats::from(path);
  if (!format) throw MCPToolError::unsupportedFormat(DocumentFormats::pathExtension(path));
  checkSize(path);

  std::string raw = parseFile(path, *format);
  const int ocrPages = lastOCRPages;
  const std::optional<PDFReport> pdf = lastPDFReport;
  OptimizationResult result = Optimizer::shared().optimize(raw, {}, format);
  PlaceholderMap map(connectionNumbering());
  std::string redacted = SensitiveData::redact(result.text, SensitiveRules::current(), map);

  const int64_t before = Optimizer::estimateTokens(raw);
  const int64_t after = Optimizer::estimateTokens(redacted);
  const double r = result.stats.originalLength == 0
                       ? 0
                       : reductionOf(result.stats.originalLength, result.stats.finalLength);
  FidelityBlock fidelity = fidelityOf(raw, format, result, after, map);
  const std::string formatName = DocumentFormats::toString(*format);
  const std::string fileName = platform::lastPathComponent(path);

  ActivityLedger::Event event;
  event.kind = ActivityLedger::Kind::optimize;
  event.actor = ActivityLedger::Actor::aiApp;
  event.tool = "optimize_file";
  event.documents.push_back({path, ActivityLedger::docID(raw), formatName, before, after});
  event.tokensBefore = before;
  event.tokensAfter = after;
  event.numbersIn = fidelity.numbersIn;
  event.numbersDropped = fidelity.reported;
  event.ocrPages = ocrPages;
  event.detail = redactionDetail(map, {});
  if (result.stats.sentAsWritten) event.detail["sent_as_written"] = *result.stats.sentAsWritten;
  recordEvent(event);

  std::string summary = "Optimized " + fileName + " (" + formatName + "). Reduced from " +
                        formatTokens(before) + " to " + formatTokens(after) + " tokens (\u2193" +
                        percentText(r) + "%). " + fidelity.sentence + redactionSentence(map);
  JSONObject details{{"original_tokens", before},
                     {"optimized_tokens", after},
                     {"reduction_percent", r},
                     {"format", formatName},
                     {"fidelity", fidelity.json},
                     {"summary", summary}};
  if (auto info = redactionInfo(map)) details["redactions"] = std::move(*info);
  if (pdf) {
    details["pdf"] = JSONObject{
        {"pages", pdf->pages}, {"ocr_pages", intArray(pdf->ocr)}, {"thin_pages", intArray(pdf->thin)}};
    if (!pdf->thin.empty()) details["notice"] = thinPagesNotice(pdf->thin, fileName);
  }
  return Paging::reply({redacted}, "", cursorArgument(arguments), std::move(details));
}

std::string optimizeText(const JSONObject& arguments) {
  std::optional<std::string> text = stringArgument(arguments, "text");
  if (!text) throw MCPToolError::missingArgument("text");
  OptimizationResult result = Optimizer::shared().optimize(*text, {}, std::nullopt);
  PlaceholderMap map(connectionNumbering());
  std::string redacted = SensitiveData::redact(result.text, SensitiveRules::current(), map);

  const int64_t before = Optimizer::estimateTokens(*text);
  const int64_t after = Optimizer::estimateTokens(redacted);
  const double r = result.stats.originalLength == 0
                       ? 0
                       : reductionOf(result.stats.originalLength, result.stats.finalLength);
  FidelityBlock fidelity = fidelityOf(*text, std::nullopt, result, after, map);

  ActivityLedger::Event event;
  event.kind = ActivityLedger::Kind::optimize;
  event.actor = ActivityLedger::Actor::aiApp;
  event.tool = "optimize_text";
  event.tokensBefore = before;
  event.tokensAfter = after;
  event.numbersIn = fidelity.numbersIn;
  event.numbersDropped = fidelity.reported;
  event.detail = redactionDetail(map, {});
  if (result.stats.sentAsWritten) event.detail["sent_as_written"] = *result.stats.sentAsWritten;
  recordEvent(event);

  std::string summary = "Optimized text. Reduced from " + formatTokens(before) + " to " +
                        formatTokens(after) + " tokens (\u2193" + percentText(r) + "%). " +
                        fidelity.sentence + redactionSentence(map);
  JSONObject answer{{"optimized_text", redacted},
                    {"original_tokens", before},
                    {"optimized_tokens", after},
                    {"reduction_percent", r},
                    {"fidelity", fidelity.json},
                    {"summary", summary}};
  if (auto info = redactionInfo(map)) answer["redactions"] = std::move(*info);
  return prettyOrEmpty(answer);
}

std::string fuseFiles(const JSONObject& arguments) {
  std::vector<std::string> paths;
  const JSONValue* list = nullptr;
  if (auto it = arguments.find("file_paths"); it != arguments.end()) list = &it->second;
  std::optional<std::string> baseName = stringArgument(arguments, "base_name");
  if (list && list->isArray() && !list->array()->empty()) {
    for (const JSONValue& element : *list->array()) {
      if (element.isString()) paths.push_back(*element.string());
    }
    if (paths.empty()) throw MCPToolError::missingArgument("file_paths (empty array)");
  } else if (baseName) {
    throw MCPToolError::refused(
        "Reading a whole base with fuse_files is not available in this build yet. Pass the "
        "documents you want as file_paths together with base_name, or use smart_select to find "
        "the passages you need.");
  } else {
    throw MCPToolError::missingArgument("file_paths, or base_name to read a whole base");
  }

  struct Read {
    std::string path;
    std::string label;
    DocumentFormat format;
    std::string raw;
    OptimizationResult result;
    int64_t before = 0;
    int64_t after = 0;
  };
  std::vector<Read> reads;
  std::vector<std::string> blocked;
  std::vector<std::pair<std::string, std::vector<int>>> thin;  // (label, pages)
  int64_t totalBefore = 0, totalAfter = 0, ocrTotal = 0;
  bool anySentAsWritten = false;

  for (const std::string& given : paths) {
    std::string path;
    try {
      path = resolveFile(given, baseName);
    } catch (const MCPToolError&) {
      continue;
    }
    std::optional<DocumentFormat> format = DocumentFormats::from(path);
    if (!format) continue;
    if (FileLimit::exceeds(path)) continue;
    std::string raw;
    try {
      raw = parseFile(path, *format);
    } catch (const MCPToolError& error) {
      if (error.kind() == MCPToolError::Kind::refused) blocked.push_back(path);
      continue;
    } catch (const std::exception&) {
      continue;
    }
    Read read{path, fuseLabel(given, path), *format, std::move(raw), {}, 0, 0};
    if (lastPDFReport && !lastPDFReport->thin.empty()) {
      thin.emplace_back(read.label, lastPDFReport->thin);
    }
    ocrTotal += lastOCRPages;
    read.result = Optimizer::shared().optimize(read.raw, {}, read.format);
    if (read.result.stats.sentAsWritten) anySentAsWritten = true;
    read.before = Optimizer::estimateTokens(read.raw);
    read.after = Optimizer::estimateTokens(read.result.text);
    totalBefore += read.before;
    totalAfter += read.after;
    reads.push_back(std::move(read));
  }

  if (reads.empty()) {
    if (!blocked.empty()) {
      std::string message = blockedMessage(blocked.front());
      size_t others = blocked.size() - 1;
      if (others == 1) message += " The same applies to the other 1 file.";
      else if (others > 1) message += " The same applies to the other " + std::to_string(others) + " files.";
      throw MCPToolError::refused(message);
    }
    throw MCPToolError::parseFailure("No files could be processed");
  }

  std::vector<OptimizerFuse::FusePart> parts;
  std::vector<OptimizerFidelity::Part> triples;
  parts.reserve(reads.size());
  triples.reserve(reads.size());
  for (const Read& read : reads) {
    parts.push_back({read.label, read.format, read.result.text});
    triples.push_back({read.raw, read.result.text, read.format});
  }
  PlaceholderMap map(connectionNumbering());
  OptimizerFuse::Fused fused = OptimizerFuse::fuse(parts, map);
  parts.clear();

  const double t = reductionOf(totalBefore, totalAfter);
  OptimizerFidelity record = OptimizerFidelity::compute(triples, totalBefore, totalAfter);
  triples.clear();
  FidelityBlock fidelity = FidelityReport::forRecord(record, anySentAsWritten, map);

  const int cursor = cursorArgument(arguments);
  if (cursor == 1) {
    ActivityLedger::Event event;
    event.kind = ActivityLedger::Kind::fuse;
    event.actor = ActivityLedger::Actor::aiApp;
    event.tool = "fuse_files";
    std::vector<std::pair<std::string, std::map<std::string, int>>> byPath;
    for (size_t i = 0; i < reads.size(); ++i) {
      const Read& read = reads[i];
      event.documents.push_back({read.path, ActivityLedger::docID(read.raw),
                                 DocumentFormats::toString(read.format), read.before, read.after});
      byPath.emplace_back(read.path, fused.counts[i]);
    }
    event.tokensBefore = totalBefore;
    event.tokensAfter = totalAfter;
    event.numbersIn = fidelity.numbersIn;
    event.numbersDropped = fidelity.reported;
    event.ocrPages = ocrTotal;
    event.detail = redactionDetail(map, byPath);
    recordEvent(event);
  }

  const size_t n = reads.size();
  std::string summary = "Fused " + std::to_string(n) + (n == 1 ? " file" : " files") +
                        " into a single optimized document. Reduced from " +
                        formatTokens(totalBefore) + " to " + formatTokens(totalAfter) +
                        " tokens total (\u2193" + percentText(t) + "%). " + fidelity.sentence +
                        redactionSentence(map);
  JSONObject details{{"files_processed", static_cast<long long>(n)},
                     {"total_original_tokens", totalBefore},
                     {"total_optimized_tokens", totalAfter},
                     {"reduction_percent", t},
                     {"fidelity", fidelity.json},
                     {"summary", summary}};
  if (auto info = redactionInfo(map)) details["redactions"] = std::move(*info);
  std::optional<std::string> notice;
  if (!blocked.empty()) {
    JSONArray names;
    for (const std::string& path : blocked) names.emplace_back(platform::lastPathComponent(path));
    details["blocked_files"] = std::move(names);
    notice = std::to_string(blocked.size()) +
             (blocked.size() == 1 ? " file was left out. " : " files were left out. ") +
             blockedMessage(blocked.front());
  }
  if (!thin.empty()) {
    JSONObject pages;
    std::string notices;
    for (const auto& [label, list] : thin) {
      pages[label] = intArray(list);
      if (!notices.empty()) notices += " ";
      notices += thinPagesNotice(list, label);
    }
    details["thin_pages"] = std::move(pages);
    notice = notice ? *notice + " " + notices : notices;
  }
  if (notice) details["notice"] = *notice;
  reads.clear();
  return Paging::reply(fused.sections, OptimizerFuse::kSeparator, cursor, std::move(details));
}

}  // namespace MCPTools

}  // namespace zelk
