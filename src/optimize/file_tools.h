// The tools that hand the AI app whole documents or pasted text, prepared: optimize_file,
// optimize_text and fuse_files, with the small helpers their answers share. Each handler reads,
// optimizes inside the fidelity check, redacts with the current rules on the connection's
// numbering, records one ledger event and answers one text. Tool calls run one at a time within
// a process (the PDF report they read right after parseFile is a plain process-wide value).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "documents/document_format.h"
#include "protocol/json_value.h"

namespace zelk {

class PlaceholderMap;

// Several optimized documents joined into one, each section redacted into the call's map.
namespace OptimizerFuse {

struct FusePart {
  std::string name;  // label shown for the part
  DocumentFormat format;
  std::string optimized;
};

struct Fused {
  std::string text;                                // plain sections joined
  std::string redacted;                            // redacted sections joined
  std::vector<std::map<std::string, int>> counts;  // per part: category raw name -> values hidden
  std::vector<std::string> sections;               // the redacted sections
};

// The separator between the parts of a fused document.
inline const std::string kSeparator = "\n\n---\n\n";

// Each part as "## [{name}] ({FORMAT})", two line feeds and its text, redacted with the current
// rules into hidden. Throws SensitiveData::CheckTimedOut when a check runs out of time.
Fused fuse(const std::vector<FusePart>& parts, PlaceholderMap& hidden);

}  // namespace OptimizerFuse

namespace MCPTools {

// The tool handlers: the answer text, or MCPToolError (and the readers' errors) thrown.
std::string optimizeFile(const JSONObject& arguments);
std::string optimizeText(const JSONObject& arguments);
std::string fuseFiles(const JSONObject& arguments);

// 999, "1.0K", "12.3K", "1.5M".
std::string formatTokens(int64_t n);
// " {n} sensitive value(s) ... hidden ..." with its leading space; empty when nothing was hidden.
std::string redactionSentence(const PlaceholderMap& map);
// {"hidden", "by_type", "notice"}; nullopt when nothing was hidden.
std::optional<JSONObject> redactionInfo(const PlaceholderMap& map);
// The ledger detail: "redactions", "redactions_by_path" (when byPath is not empty) and
// "flagged", each only when there is something to say.
JSONObject redactionDetail(const PlaceholderMap& map,
                           const std::vector<std::pair<std::string, std::map<std::string, int>>>& byPath);
// "Page 3 of a.pdf gave little text; ..." for 1-based page numbers (at least one).
std::string thinPagesNotice(const std::vector<int>& pages, const std::string& file);
// The name as given, or "{parent folder}/{file name}" when given as a path ("/" or "~").
std::string fuseLabel(const std::string& given, const std::string& url);
// The page asked for: the "cursor" argument (a number, or a text holding one) cut to an integer;
// 1 for anything below 2, missing, unreadable, not finite or too large.
int cursorArgument(const JSONObject& arguments);

}  // namespace MCPTools

}  // namespace zelk
