#include "tables/table_hidden.h"

#include <unicode/unistr.h>

#include <algorithm>
#include <charconv>
#include <set>

#include "platform/atomic_file.h"
#include "platform/iso_date.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "platform/unicode.h"
#include "protocol/json_value.h"
#include "sensitive/check_timed_out.h"
#include "sensitive/sensitive_data.h"
#include "tables/internal/tool_file_state.h"
#include "tables/table_cell.h"

namespace zelk {

namespace {

constexpr size_t kMaxCacheBytes = 64u << 20;

using tables_internal::fileState;
using tables_internal::FileState;

std::string standardized(const std::filesystem::path& url) {
  return tables_internal::standardizedPath(url);
}

bool redactsTextCategory(const SensitiveRules& rules) {
  for (SensitiveCategory c : allSensitiveCategories())
    if (isTextCategory(c) && rules.actionFor(c) == SensitiveAction::redact) return true;
  return false;
}

// Replaces the findings (UTF-16 ranges, sorted by start) by their placeholders, last first.
std::string replaceFindings(const std::string& text,
                            const std::vector<SensitiveData::Finding>& findings,
                            PlaceholderMap& map, PlaceholderStyle style) {
  icu::UnicodeString u = platform::toUnicode(text);
  // Placeholders are drawn first to last so that numbering follows reading order.
  std::vector<std::pair<const SensitiveData::Finding*, std::string>> parts;
  int32_t cursor = 0;
  for (const auto& f : findings) {
    if (f.start < cursor || f.length <= 0 || f.end() > u.length()) continue;
    parts.emplace_back(&f, map.placeholder(f.category, f.value, style));
    cursor = f.end();
  }
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    u.replace(it->first->start, it->first->length, platform::toUnicode(it->second));
  }
  return platform::toUtf8(u);
}

bool isPlainNumber(std::string_view t) {
  bool digit = false;
  for (size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '.' || c == ',') {
    } else if ((c == '+' || c == '-') && i == 0) {
    } else {
      return false;
    }
  }
  return digit;
}

using Entries = std::map<std::string, TableHidden::Entry>;

Entries readCache(const std::string& path) {
  Entries out;
  std::optional<std::string> bytes = platform::readFile(path, kMaxCacheBytes);
  if (!bytes) return out;
  JSONValue root;
  try {
    root = JSONValue::parse(*bytes);
  } catch (const std::exception&) {
    return out;
  }
  const JSONObject* object = root.object();
  if (!object) return out;
  for (const auto& [key, value] : *object) {
    const JSONValue* stamp = value.find("stamp");
    const JSONValue* verdicts = value.find("verdicts");
    const JSONValue* used = value.find("used");
    if (!stamp || !stamp->string() || !verdicts || !verdicts->array() || !used || !used->number()) {
      continue;
    }
    TableHidden::Entry entry{*stamp->string(), {}, *used->number()};
    bool good = true;
    for (const JSONValue& v : *verdicts->array()) {
      const JSONValue* some = v.find("someHidden");
      const JSONValue* by = v.find("hiddenBy");
      if (!some || !some->boolean() || (by && !by->string() && !by->isNull())) {
        good = false;
        break;
      }
      TableHidden::Verdict verdict;
      verdict.someHidden = *some->boolean();
      if (by && by->string()) verdict.hiddenBy = *by->string();
      entry.verdicts.push_back(std::move(verdict));
    }
    if (good) out.emplace(key, std::move(entry));
  }
  return out;
}

}  // namespace

std::vector<std::string> TableHidden::Sample::kept(const std::vector<std::string>& row) {
  std::vector<std::string> out;
  size_t bytes = 0;
  for (const std::string& cell : row) {
    size_t n = std::min(cell.size(), kSampleCellBytes);
    // Cut at a character boundary.
    while (n < cell.size() && n > 0 && (static_cast<unsigned char>(cell[n]) & 0xC0) == 0x80) --n;
    if (bytes + n > kSampleRowBytes) break;
    bytes += n;
    out.emplace_back(cell, 0, n);
  }
  return out;
}

void TableHidden::Sample::add(const std::vector<std::string>& row) {
  ++seen;
  if (rows.size() < kSampleRows) {
    rows.push_back(kept(row));
    return;
  }
  state = state * 6364136223846793005ull + 1442695040888963407ull;
  uint64_t j = (state >> 33) % static_cast<uint64_t>(seen);
  if (j < kSampleRows) rows[static_cast<size_t>(j)] = kept(row);
}

TableLayout TableHidden::layout(TableReader& reader, const TableReader::Sheet* sheet,
                                const SensitiveRules& rules) {
  Sample sample;
  TableLayout layout = TableLayout::read(
      reader, sheet, nullptr, [](const std::vector<std::string>&) {},
      [&](int64_t, const std::vector<std::string>& cells) {
        sample.add(cells);
        return true;
      });
  std::vector<std::string> headers;
  headers.reserve(layout.columns.size());
  for (size_t i = 0; i < layout.columns.size(); ++i)
    headers.push_back(i < layout.headers.size() ? layout.headers[i] : std::string());

  const std::string sheetName = sheet ? sheet->name : std::string();
  std::vector<Verdict> verdicts;
  if (auto cached = stored(reader.url(), sheetName, headers, rules)) {
    verdicts = std::move(*cached);
  } else {
    verdicts = judge(sample.rows, headers, rules);
    store(verdicts, reader.url(), sheetName, headers, rules);
  }

  PlaceholderMap map;
  for (size_t i = 0; i < layout.columns.size() && i < verdicts.size(); ++i) {
    TableColumn& column = layout.columns[i];
    const Verdict& verdict = verdicts[i];
    if (verdict.hiddenBy) {
      column.hiddenBy = verdict.hiddenBy;
      column.examples.clear();
      column.notes.push_back("hidden by your rules (" + hiddenRuleLabel(*verdict.hiddenBy) +
                             "): it can be counted, never grouped by, filtered on, measured or "
                             "shown");
      continue;
    }
    std::vector<std::string> examples;
    for (const std::string& example : column.examples) {
      try {
        auto findings = SensitiveData::detectCell(example, headers[i], rules);
        examples.push_back(findings.empty() ? example
                                            : replaceFindings(example, findings, map, rules.style));
      } catch (const SensitiveData::CheckTimedOut&) {
        // An example that could not be checked is not shown.
      }
    }
    column.examples = std::move(examples);
    if (verdict.someHidden) {
      column.someHidden = true;
      column.notes.push_back(
          "some values are hidden by your rules and show as placeholders; filters never match "
          "them");
    }
  }
  return layout;
}

std::vector<TableHidden::Verdict> TableHidden::judge(
    const std::vector<std::vector<std::string>>& rows, const std::vector<std::string>& headers,
    const SensitiveRules& rules) {
  std::vector<Verdict> verdicts;
  verdicts.reserve(headers.size());
  for (size_t i = 0; i < headers.size(); ++i) {
    int64_t filled = 0;
    bool hit = false;
    std::map<SensitiveCategory, int64_t> counts;
    for (const auto& row : rows) {
      if (i >= row.size() || TableCell::isBlank(row[i])) continue;
      ++filled;
      if (!worthChecking(row[i], rules)) continue;
      try {
        std::set<SensitiveCategory> found;
        for (const auto& f : SensitiveData::detectCell(row[i], headers[i], rules))
          found.insert(f.category);
        if (!found.empty()) hit = true;
        for (SensitiveCategory c : found) ++counts[c];
      } catch (const SensitiveData::CheckTimedOut&) {
        // Unchecked: it may hold a protected value, so the column shows placeholders.
        hit = true;
      }
    }
    Verdict verdict;
    verdict.someHidden = hit;
    std::optional<std::pair<int64_t, std::string>> best;
    for (const auto& [category, count] : counts) {
      if (static_cast<double>(count) < static_cast<double>(filled) * kHideShare) continue;
      std::string raw(toString(category));
      if (!best || count > best->first || (count == best->first && raw < best->second))
        best = std::make_pair(count, raw);
    }
    if (best) verdict.hiddenBy = best->second;
    verdicts.push_back(std::move(verdict));
  }
  return verdicts;
}

std::string TableHidden::secondsText(double seconds) {
  char buffer[400];  // fixed notation of any double fits
  auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed);
  std::string s(buffer, result.ptr);
  if (s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

std::string TableHidden::redactedCategories(const SensitiveRules& rules) {
  std::string out;
  for (SensitiveCategory c : allSensitiveCategories()) {
    if (rules.actionFor(c) != SensitiveAction::redact) continue;
    if (!out.empty()) out += ',';
    out += toString(c);
  }
  return out;
}

std::string TableHidden::hash(const std::vector<std::string>& parts) {
  std::string joined;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) joined += "\x1F";
    joined += parts[i];
  }
  return platform::sha256Hex(joined);
}

std::pair<std::string, std::string> TableHidden::keys(const std::filesystem::path& url,
                                                      const std::string& sheet,
                                                      const std::vector<std::string>& headers,
                                                      const SensitiveRules& rules) {
  FileState state = fileState(url);
  std::vector<std::string> parts = {state.modified ? secondsText(*state.modified) : "0.0",
                                    std::to_string(state.size.value_or(-1)),
                                    redactedCategories(rules), std::to_string(headers.size())};
  parts.insert(parts.end(), headers.begin(), headers.end());
  return {hash({standardized(url), sheet}), hash(parts)};
}

std::string TableHidden::cachePath() {
  const char* prefs = platform::env("ZELK_PREFS_PATH");
  if (prefs && *prefs) {
    return platform::joinPath(platform::parentPath(prefs), kCacheFile);
  }
  return platform::joinPath(platform::supportDir(), kCacheFile);
}

std::optional<std::vector<TableHidden::Verdict>> TableHidden::stored(
    const std::filesystem::path& url, const std::string& sheet,
    const std::vector<std::string>& headers, const SensitiveRules& rules) {
  auto [key, stamp] = keys(url, sheet, headers, rules);
  Entries entries = readCache(cachePath());
  auto it = entries.find(key);
  if (it == entries.end() || it->second.stamp != stamp ||
      it->second.verdicts.size() != headers.size()) {
    return std::nullopt;
  }
  return std::move(it->second.verdicts);
}

void TableHidden::store(const std::vector<Verdict>& verdicts, const std::filesystem::path& url,
                        const std::string& sheet, const std::vector<std::string>& headers,
                        const SensitiveRules& rules) {
  auto [key, stamp] = keys(url, sheet, headers, rules);
  const std::string path = cachePath();
  Entries entries = readCache(path);
  entries[key] = Entry{stamp, verdicts, platform::now()};
  while (entries.size() > kMaxEntries) {
    auto oldest = entries.begin();
    for (auto it = entries.begin(); it != entries.end(); ++it)
      if (it->second.used < oldest->second.used) oldest = it;
    entries.erase(oldest);
  }
  JSONObject root;
  for (const auto& [k, entry] : entries) {
    JSONArray list;
    for (const Verdict& v : entry.verdicts) {
      JSONObject o;
      if (v.hiddenBy) o["hiddenBy"] = *v.hiddenBy;
      o["someHidden"] = v.someHidden;
      list.push_back(std::move(o));
    }
    JSONObject e;
    e["stamp"] = entry.stamp;
    e["verdicts"] = std::move(list);
    e["used"] = entry.used;
    root[k] = std::move(e);
  }
  std::string dir = platform::parentPath(path);
  if (!dir.empty()) platform::createDirectories(dir);
  try {
    platform::writeFileAtomically(path, JSONValue(std::move(root)).encode());
  } catch (const std::exception&) {
    // The verdicts still serve this call; the next one judges again.
  }
}

bool TableHidden::worthChecking(std::string_view text, const SensitiveRules& rules) {
  if (redactsTextCategory(rules)) return true;
  if (text.find("<<") != std::string_view::npos) return true;
  return std::any_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string TableHidden::label(SensitiveCategory category) {
  return std::string(placeholderLabel(category));
}

TableHidden::Cells::Cells(std::vector<std::string> headers, SensitiveRules rules)
    : rules_(std::move(rules)),
      headers_(std::move(headers)),
      shapeOnly_(!redactsTextCategory(rules_)) {}

bool TableHidden::Cells::plainNumbersSafe(size_t column) {
  auto it = plainNumbersSafe_.find(column);
  if (it != plainNumbersSafe_.end()) return it->second;
  const std::string& header = column < headers_.size() ? headers_[column] : std::string();
  bool safe = !SensitiveData::headerCategory(header).has_value();
  plainNumbersSafe_.emplace(column, safe);
  return safe;
}

std::optional<std::string> TableHidden::Cells::hidden(const std::string& text, size_t column) {
  if (!worthChecking(text, rules_)) return std::nullopt;
  if (shapeOnly_ && isPlainNumber(text) && plainNumbersSafe(column)) return std::nullopt;
  auto& byText = seen_[column];
  if (auto it = byText.find(text); it != byText.end()) {
    if (it->second.empty()) return std::nullopt;
    return it->second;
  }
  static const std::string kEmpty;
  const std::string& header = column < headers_.size() ? headers_[column] : kEmpty;
  auto findings = SensitiveData::detectCell(text, header, rules_);
  std::optional<std::string> result;
  if (!findings.empty()) result = replaceFindings(text, findings, map_, rules_.style);
  if (remembered_ >= kMaxRemembered) {
    seen_.clear();
    remembered_ = 0;
  }
  // Long texts are rarely repeated; remembering them would let a few cells hold much memory.
  if (text.size() <= kRememberedTextBytes) {
    seen_[column].emplace(text, result.value_or(std::string()));
    ++remembered_;
  }
  if (result && producedSet_.insert(*result).second) placeholders_.push_back(*result);
  return result;
}

}  // namespace zelk
