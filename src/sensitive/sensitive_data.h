// Finding sensitive identifiers in text and hiding them behind placeholders. Every text that
// leaves the program passes through `redact`. All operations may be called from several threads
// at once: compiled patterns are shared read-only, and each call owns its PlaceholderMap.
// Detection and redaction throw CheckTimedOut when a pattern runs out of time; they never
// return a text that was not fully checked.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "sensitive/check_timed_out.h"
#include "sensitive/identifier_checks.h"
#include "sensitive/placeholder_map.h"
#include "sensitive/sensitive_category.h"
#include "sensitive/sensitive_rules.h"

namespace zelk::SensitiveData {

struct Finding {
  SensitiveCategory category;
  int32_t start = 0;   // UTF-16 code units into the searched text
  int32_t length = 0;  // UTF-16 code units
  std::string value;   // the text of that range, UTF-8
  int32_t end() const { return start + length; }
  bool operator==(const Finding&) const = default;
};

// The role of one column named in a space-aligned table header. `date` and `id` columns take
// part in matching values to columns but never produce findings.
struct FlatRole {
  enum class Kind { field, date, id };
  Kind kind = Kind::id;
  SensitiveCategory category = SensitiveCategory::ssn;  // meaningful for `field` only
  static FlatRole field(SensitiveCategory c) { return {Kind::field, c}; }
  static FlatRole date() { return {Kind::date, SensitiveCategory::ssn}; }
  static FlatRole id() { return {Kind::id, SensitiveCategory::ssn}; }
  bool operator==(const FlatRole&) const = default;
};

// The redacted text. With `detected` nullopt the findings are detected here.
std::string redact(const std::string& text, const SensitiveRules& rules, PlaceholderMap& map,
                   const std::optional<std::vector<Finding>>& detected = std::nullopt);

// The findings in text, sorted by start; overlaps resolved in favour of the earlier detector.
std::vector<Finding> detect(const std::string& text, const SensitiveRules& rules);

// The findings in one table cell under its column header, ranges relative to the cell.
std::vector<Finding> detectCell(const std::string& text, const std::string& header,
                                const SensitiveRules& rules);

// The category a column header or JSON key names, if any.
std::optional<SensitiveCategory> headerCategory(const std::string& text);
std::string headerKey(const std::string& text);

// The roles of a space-aligned table header line; nullopt when the line is no such header.
std::optional<std::vector<FlatRole>> flatHeader(const std::string& line);

// {"card_like_number": n} for card-shaped, Luhn-valid numbers that are no card; else empty.
std::map<std::string, int> flagCandidates(const std::string& text);

// The developer mode `--redact-test <file>`: reads the file as UTF-8 and writes it to standard
// output redacted with the default rules and a new placeholder map, with no line feed after it.
// Returns the exit status (0; 1 when the check ran out of time and nothing was written), or
// nullopt when the file cannot be read as UTF-8 text, so that the caller goes on as if the flag
// were not there.
std::optional<int> redactTestMain(const std::string& path);

}  // namespace zelk::SensitiveData
