// Which columns of a table the user's privacy rules hide, judged from a fixed sample of its rows
// and kept in the verdict cache file "table-verdicts.json"; and, at question time, the hiding of
// single protected values behind placeholders.
//
// Thread safety: the static operations may be called from any thread. Several processes share
// the cache file; each write replaces it whole and atomically, so the last writer wins and a lost
// entry only costs a new judgement. A Cells object serves one question on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "sensitive/placeholder_map.h"
#include "sensitive/sensitive_category.h"
#include "sensitive/sensitive_rules.h"
#include "tables/table_layout.h"
#include "tables/table_reader.h"

namespace zelk {

struct TableHidden {
  static constexpr size_t kSampleRows = 1000;
  static constexpr uint64_t kSampleSeed = 11400714819323198485ull;
  // A category found in at least this share of a column's filled cells hides the whole column.
  static constexpr double kHideShare = 0.1;
  static constexpr size_t kMaxEntries = 500;
  static constexpr size_t kMaxRemembered = 200000;
  // Cells longer than this are checked every time rather than remembered.
  static constexpr size_t kRememberedTextBytes = 1024;
  // A sampled row keeps at most 4 KiB of each cell and 64 KiB in all, so that the sample stays
  // under 64 MiB however wide or long the rows.
  static constexpr size_t kSampleCellBytes = 4096;
  static constexpr size_t kSampleRowBytes = 65536;
  static constexpr const char* kCacheFile = "table-verdicts.json";

  // A deterministic reservoir sample of a table's data rows: the first 1,000, then each later
  // row replaces a kept one by a fixed pseudo-random draw, so that every run keeps the same rows.
  class Sample {
   public:
    void add(const std::vector<std::string>& row);
    // What the sample keeps of a row (the bounds above).
    static std::vector<std::string> kept(const std::vector<std::string>& row);

    std::vector<std::vector<std::string>> rows;
    int64_t seen = 0;
    uint64_t state = kSampleSeed;
  };

  struct Verdict {
    std::optional<std::string> hiddenBy;  // the raw value of the category hiding the column
    bool someHidden = false;
    bool operator==(const Verdict&) const = default;
  };

  struct Entry {
    std::string stamp;
    std::vector<Verdict> verdicts;
    double used = 0;  // seconds since 1970
  };

  // The layout pass with privacy verdicts: the sample is taken during the pass, the verdicts come
  // from the cache or a new judgement, and the columns get their hiddenBy, someHidden, notes and
  // redacted examples. Reading errors pass through.
  static TableLayout layout(TableReader& reader, const TableReader::Sheet* sheet,
                            const SensitiveRules& rules);

  // One verdict per header, from the sample rows.
  static std::vector<Verdict> judge(const std::vector<std::vector<std::string>>& rows,
                                    const std::vector<std::string>& headers,
                                    const SensitiveRules& rules);

  // The cached verdicts when the entry's stamp is current and it has one verdict per header.
  static std::optional<std::vector<Verdict>> stored(const std::filesystem::path& url,
                                                    const std::string& sheet,
                                                    const std::vector<std::string>& headers,
                                                    const SensitiveRules& rules);
  // Writes the verdicts under the file's key; failures are ignored.
  static void store(const std::vector<Verdict>& verdicts, const std::filesystem::path& url,
                    const std::string& sheet, const std::vector<std::string>& headers,
                    const SensitiveRules& rules);

  // (key, stamp): the key names the file and sheet, the stamp its state, the redacted
  // categories and the headers.
  static std::pair<std::string, std::string> keys(const std::filesystem::path& url,
                                                  const std::string& sheet,
                                                  const std::vector<std::string>& headers,
                                                  const SensitiveRules& rules);
  // SHA-256 of the parts joined by U+001F, as 64 lower-case hex digits.
  static std::string hash(const std::vector<std::string>& parts);

  static bool worthChecking(std::string_view text, const SensitiveRules& rules);
  static std::string label(SensitiveCategory category);

  // The cache file: beside ZELK_PREFS_PATH when that is set, else in the support directory.
  static std::string cachePath();

  // The raw values of the categories the rules redact, in declared order, joined by ",".
  static std::string redactedCategories(const SensitiveRules& rules);
  // Seconds since 1970 in the shortest form that reads back exactly, always with a fraction
  // ("1712139300.25", "1712139300.0").
  static std::string secondsText(double seconds);

  // Hides protected values of one question's cells. The same value always gets the same
  // placeholder within one answer (its own numbering, not the connection's).
  class Cells {
   public:
    Cells(std::vector<std::string> headers, SensitiveRules rules);

    // The text with its protected parts replaced by placeholders; nullopt when nothing in it is
    // protected. Throws SensitiveData::CheckTimedOut when the check ran out of time.
    std::optional<std::string> hidden(const std::string& text, size_t column);

    const SensitiveRules& rules() const { return rules_; }
    const std::vector<std::string>& headers() const { return headers_; }
    PlaceholderMap& map() { return map_; }
    const PlaceholderMap& map() const { return map_; }
    // The distinct protected results produced, in the order first produced.
    const std::vector<std::string>& placeholders() const { return placeholders_; }
    // Whether text is one of those results.
    bool produced(const std::string& text) const { return producedSet_.count(text) > 0; }
    size_t remembered() const { return remembered_; }

   private:
    bool plainNumbersSafe(size_t column);

    SensitiveRules rules_;
    std::vector<std::string> headers_;
    PlaceholderMap map_;
    std::unordered_map<size_t, std::unordered_map<std::string, std::string>> seen_;
    size_t remembered_ = 0;
    std::vector<std::string> placeholders_;
    std::unordered_set<std::string> producedSet_;
    std::unordered_map<size_t, bool> plainNumbersSafe_;
    bool shapeOnly_;
  };
};

}  // namespace zelk
