// The table_question tool: a table's layout when asked without a question, the exact answer
// worked out over every row when asked with one, a refusal object for everything that can't be
// answered, and a ledger event for every outcome. Also the short table description (tableBrief)
// that smart_select shows for spreadsheets among its sources.
//
// Thread safety: every function may be called from any thread. The process-wide layout cache is
// guarded by one lock (layoutLock), never held while a table is read; tableBrief's background work
// may outlive its caller's wait and still fills the cache.
#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "protocol/json_value.h"
#include "sensitive/sensitive_rules.h"
#include "tables/table_layout.h"
#include "tables/table_reader.h"

namespace zelk::MCPTools {

inline constexpr size_t kMaxCachedLayouts = 8;
// tableBrief gives up on files over these sizes (decimal millions of bytes).
inline constexpr long long kBriefWorkbookLimit = 50000000;
inline constexpr long long kBriefTableLimit = 100000000;

// The handler of table_question. Returns the answer text: a layout, "choose_sheet", answer or
// refusal object (compact JSON, keys sorted, slashes unescaped; "{}" when it can't be written).
// Throws only for an unexpected failure while parsing the question.
std::string tableQuestion(const JSONObject& arguments);

// The table's layout with privacy verdicts, from the cache when the file, sheet and redacted
// categories are unchanged. `source` is the file asked about (not a borrowed copy). Reading
// errors pass through and nothing is cached.
TableLayout layout(TableReader& reader, const std::filesystem::path& source,
                   const TableReader::Sheet* sheet, const SensitiveRules& rules);

// The layout cache key: standardized path, sheet name, modification time, size and redacted
// categories joined by U+001F.
std::string layoutKey(const std::filesystem::path& source, const std::string& sheet,
                      const SensitiveRules& rules);
// Empties the layout cache (for tests).
void clearLayouts();

// Records a refusal in the ledger and returns the refusal object's text.
std::string refused(const std::string& message, const std::string& kind,
                    const std::optional<std::string>& rule,
                    const std::optional<std::filesystem::path>& url, const std::string& words,
                    const std::optional<std::string>& base);

// A JSON value as plain values: objects lose their null members (at every depth), arrays keep
// their null elements; null itself is nothing.
std::optional<JSONValue> plain(const JSONValue& value);

// Compact JSON with sorted keys and forward slashes unescaped; "{}" when it can't be written.
std::string answerText(const JSONObject& object);

// The hand-over between tableBrief's background work and its waiting caller.
struct BriefBox {
  std::mutex lock;
  std::optional<JSONObject> value;  // guarded by lock
};

// {"source_file": path} plus, when the table's layout is ready within `wait` seconds, "rows",
// "columns" (name, type, hidden_by_rule, needs) and "sheet", or "sheets" for a workbook with
// several sheets of data.
JSONObject tableBrief(const std::string& path, const std::optional<std::string>& baseName,
                      double wait);

// Whether smart_select lists tables at all: true unless ZELK_MAP_TABLES is exactly "0" (read
// once per process).
bool mapTablesOn();
// The same rule for a given value of the variable (nullptr: unset).
bool mapTablesSetting(const char* value);

}  // namespace zelk::MCPTools
