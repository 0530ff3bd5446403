#include "tables/table_question_tool.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "documents/read_service.h"
#include "ledger/activity_ledger.h"
#include "optimize/resolve_file.h"
#include "platform/paths.h"
#include "platform/unicode.h"
#include "sensitive/placeholder_map.h"
#include "sensitive/sensitive_data.h"
#include "tables/internal/tool_file_state.h"
#include "tables/table_answer.h"
#include "tables/table_hidden.h"
#include "tables/table_question.h"
#include "tables/xlsx_table_workbook.h"

namespace zelk::MCPTools {

namespace {

constexpr const char* kTool = "table_question";
constexpr const char* kUnreadableWords = "a question zelk couldn't read";
// Background layouts for smart_select run on their own threads; beyond this many at once a brief
// is answered without one rather than piling up readers of large tables.
constexpr int kMaxBriefWorkers = 4;

// Never destroyed: tableBrief's detached workers may still use it while the process exits.
struct LayoutCache {
  std::mutex layoutLock;
  std::vector<std::pair<std::string, TableLayout>> layouts;  // guarded by layoutLock
};

LayoutCache& cache() {
  static LayoutCache* instance = new LayoutCache;
  return *instance;
}

std::atomic<int>& briefWorkers() {
  static std::atomic<int>* count = new std::atomic<int>(0);
  return *count;
}

std::string trimSpacesTabs(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

std::string lowerExtension(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

bool isTableExtension(const std::string& ext) {
  return ext == "csv" || ext == "tsv" || ext == "xlsx";
}

std::string quotedList(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ", ";
    out += "\"" + names[i] + "\"";
  }
  return out;
}

long long tokenEstimate(const std::string& text) {
  long long n = static_cast<long long>(platform::graphemeCount(text)) / 4;
  return n < 1 ? 1 : n;
}

struct CallInfo {
  std::optional<std::filesystem::path> url;
  std::string words;
  std::optional<std::string> base;
};

void recordEvent(const CallInfo& call, JSONObject detail, long long excerptTokens) {
  ActivityLedger::Event event;
  event.kind = ActivityLedger::Kind::tableQuestion;
  event.actor = ActivityLedger::Actor::aiApp;
  event.tool = kTool;
  if (call.url) {
    ActivityLedger::Document doc;
    doc.path = call.url->string();
    doc.format = lowerExtension(call.url->string()) == "xlsx" ? "XLSX" : "CSV";
    event.documents.push_back(std::move(doc));
  }
  ActivityLedger::Query query;
  try {
    PlaceholderMap map;
    query.text = SensitiveData::redact(call.words, SensitiveRules::current(), map);
  } catch (const std::exception&) {
    // A summary that could not be checked is not stored.
    query.text.clear();
  }
  query.base = call.base;
  query.matchQuality = "unknown";
  query.excerptTokens = excerptTokens;
  query.searched = call.url ? 1 : 0;
  query.total = 1;
  event.query = std::move(query);
  event.detail = std::move(detail);
  ActivityLedger::shared().record(event);
}

std::string refuse(const std::string& message, const std::string& kind,
                   const std::optional<std::string>& rule, const CallInfo& call) {
  return refused(message, kind, rule, call.url, call.words, call.base);
}

JSONArray sheetList(const std::vector<TableLayout::SheetInfo>& infos) {
  JSONArray list;
  for (const auto& info : infos) {
    JSONObject entry;
    entry["name"] = info.name;
    entry["has_data"] = info.hasData;
    if (info.hidden) entry["hidden"] = true;
    list.push_back(std::move(entry));
  }
  return list;
}

// Removes a borrowed copy when the call ends.
struct BorrowedCopy {
  std::optional<std::string> path;
  ~BorrowedCopy() {
    if (path) {
      std::error_code ec;
      std::filesystem::remove(*path, ec);
    }
  }
};

struct Signal {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;  // guarded by mutex
};

}  // namespace

std::optional<JSONValue> plain(const JSONValue& value) {
  switch (value.kind()) {
    case JSONValue::Kind::null:
      return std::nullopt;
    case JSONValue::Kind::array: {
      JSONArray out;
      for (const JSONValue& element : *value.array()) {
        std::optional<JSONValue> p = plain(element);
        out.push_back(p ? std::move(*p) : JSONValue(nullptr));
      }
      return JSONValue(std::move(out));
    }
    case JSONValue::Kind::object: {
      JSONObject out;
      for (const auto& [key, member] : *value.object()) {
        if (std::optional<JSONValue> p = plain(member)) out.emplace(key, std::move(*p));
      }
      return JSONValue(std::move(out));
    }
    default:
      return value;
  }
}

std::string answerText(const JSONObject& object) {
  try {
    return JSONValue(object).encode(JSONValue::Slashes::plain);
  } catch (const std::exception&) {
    return "{}";
  }
}

std::string refused(const std::string& message, const std::string& kind,
                    const std::optional<std::string>& rule,
                    const std::optional<std::filesystem::path>& url, const std::string& words,
                    const std::optional<std::string>& base) {
  JSONObject detail;
  detail["use"] = "refused";
  detail["reason"] = kind;
  if (rule) detail["rule"] = *rule;
  recordEvent({url, words, base}, std::move(detail), 0);
  JSONObject object;
  object["status"] = "refused";
  object["message"] = message;
  if (rule) object["rule"] = *rule;
  return answerText(object);
}

std::string layoutKey(const std::filesystem::path& source, const std::string& sheet,
                      const SensitiveRules& rules) {
  tables_internal::FileState state = tables_internal::fileState(source);
  std::string key = tables_internal::standardizedPath(source);
  key += '\x1F';
  key += sheet;
  key += '\x1F';
  key += state.modified ? TableHidden::secondsText(*state.modified) : "0.0";
  key += '\x1F';
  key += std::to_string(state.size.value_or(-1));
  key += '\x1F';
  key += TableHidden::redactedCategories(rules);
  return key;
}

void clearLayouts() {
  LayoutCache& c = cache();
  std::lock_guard<std::mutex> hold(c.layoutLock);
  c.layouts.clear();
}

TableLayout layout(TableReader& reader, const std::filesystem::path& source,
                   const TableReader::Sheet* sheet, const SensitiveRules& rules) {
  const std::string key = layoutKey(source, sheet ? sheet->name : std::string(), rules);
  LayoutCache& c = cache();
  {
    std::lock_guard<std::mutex> hold(c.layoutLock);
    for (const auto& [k, cached] : c.layouts)
      if (k == key) return cached;
  }
  TableLayout fresh = TableHidden::layout(reader, sheet, rules);
  {
    std::lock_guard<std::mutex> hold(c.layoutLock);
    std::erase_if(c.layouts, [&](const auto& entry) { return entry.first == key; });
    c.layouts.emplace_back(key, fresh);
    if (c.layouts.size() > kMaxCachedLayouts) c.layouts.erase(c.layouts.begin());
  }
  return fresh;
}

std::string tableQuestion(const JSONObject& arguments) {
  CallInfo call;
  std::string filePath;
  if (auto it = arguments.find("file_path"); it != arguments.end() && it->second.string())
    filePath = trimSpacesTabs(*it->second.string());
  if (auto it = arguments.find("base_name"); it != arguments.end() && it->second.string())
    call.base = *it->second.string();

  // The question: an object, or the JSON text of one.
  std::optional<JSONObject> question;
  if (auto it = arguments.find("question"); it != arguments.end()) {
    const JSONValue& q = it->second;
    if (q.isObject()) {
      question = std::move(*plain(q)->object());
    } else if (const std::string* text = q.string()) {
      try {
        JSONValue parsed = JSONValue::parse(*text);
        if (parsed.isObject()) question = std::move(*plain(parsed)->object());
      } catch (const JSONParseError&) {
      }
      if (!question) {
        call.words = kUnreadableWords;
        return refuse(
            "question should be an object with filters, group_by, measures, sort and limit",
            "invalid", std::nullopt, call);
      }
    }
  }

  std::optional<std::string> sheetName;
  if (auto it = arguments.find("sheet"); it != arguments.end() && it->second.string())
    sheetName = *it->second.string();
  if (question) {
    if (auto it = question->find("sheet"); it != question->end()) {
      if (!sheetName && it->second.string()) sheetName = *it->second.string();
      question->erase(it);
    }
  }

  const SensitiveRules rules = SensitiveRules::current();

  std::optional<TableQuestion> parsed;
  if (question) {
    try {
      parsed.emplace(*question);
    } catch (const TableRefusal& refusal) {
      call.words = kUnreadableWords;
      return refuse(refusal.message, std::string(toString(refusal.kind)), std::nullopt, call);
    }
    call.words = parsed->words();
  } else {
    call.words = "the table's layout";
  }

  if (!isTableExtension(lowerExtension(filePath))) {
    return refuse(filePath.empty()
                      ? "file_path is needed: a .csv, .tsv or .xlsx file"
                      : "table_question reads CSV, TSV and Excel (.xlsx) files. For a table inside "
                        "a PDF, Word or other document, use smart_select.",
                  "format", std::nullopt, call);
  }
  const std::string unreadable =
      "zelk can't read a table at " + filePath +
      ". Give the full path to a CSV, TSV or Excel file, or its name as smart_select shows it "
      "with base_name.";

  std::filesystem::path url;
  try {
    url = resolveFile(filePath, call.base);
  } catch (const std::exception&) {
    return refuse(unreadable, "unreadable", std::nullopt, call);
  }
  call.url = url;

  BorrowedCopy borrowed;
  std::filesystem::path fileRead = url;
  if (!canOpen(url.string())) {
    borrowed.path = ReadService::borrow(url.string());
    if (!borrowed.path) return refuse(blockedMessage(url.string()), "blocked", std::nullopt, call);
    fileRead = *borrowed.path;
  }

  std::unique_ptr<TableReader> reader;
  try {
    reader = openTableReader(fileRead);
  } catch (const std::exception&) {
    return refuse(unreadable, "unreadable", std::nullopt, call);
  }

  // The sheet to read, for a workbook.
  std::vector<TableLayout::SheetInfo> infos;
  const TableReader::Sheet* sheet = nullptr;
  if (reader->hasWorkbook()) {
    infos = TableLayout::sheets(*reader);
    const auto& sheets = reader->sheets();
    std::vector<std::string> withData;
    for (const auto& info : infos)
      if (info.hasData) withData.push_back(info.name);
    if (sheetName) {
      for (const auto& s : sheets)
        if (s.name == *sheetName) {
          sheet = &s;
          break;
        }
      if (!sheet) {
        std::string lowered = platform::lowercased(*sheetName);
        for (const auto& s : sheets)
          if (platform::lowercased(s.name) == lowered) {
            sheet = &s;
            break;
          }
      }
      if (!sheet) {
        std::vector<std::string> names;
        for (const auto& s : sheets) names.push_back(s.name);
        return refuse(
            "there's no sheet named \"" + *sheetName + "\"; the sheets are " + quotedList(names),
            "sheet", std::nullopt, call);
      }
    } else if (withData.size() == 1) {
      for (const auto& s : sheets)
        if (s.name == withData.front()) {
          sheet = &s;
          break;
        }
    } else if (withData.empty()) {
      return refuse("no sheet in this workbook has data", "empty", std::nullopt, call);
    } else if (parsed) {
      return refuse(std::to_string(withData.size()) + " sheets have data (" + quotedList(withData) +
                        "); ask again with sheet",
                    "sheet", std::nullopt, call);
    } else {
      JSONObject object;
      object["status"] = "choose_sheet";
      object["file"] = url.filename().string();
      object["modified"] = modified(url);
      object["sheets"] = sheetList(infos);
      object["message"] = std::to_string(withData.size()) +
                          " sheets have data. Call again with sheet set to one of them for its "
                          "layout.";
      std::string text = answerText(object);
      JSONObject detail;
      detail["use"] = "layout";
      detail["sheets"] = static_cast<long long>(withData.size());
      recordEvent(call, std::move(detail), 0);
      return text;
    }
  }

  TableLayout tableLayout;
  try {
    tableLayout = layout(*reader, url, sheet, rules);
  } catch (const std::exception&) {
    return refuse(unreadable, "unreadable", std::nullopt, call);
  }

  if (!parsed) {
    JSONObject object = layoutObject(tableLayout, url);
    if (!infos.empty()) object["sheets"] = sheetList(infos);
    std::string text = answerText(object);
    long long hiddenColumns = 0;
    for (const auto& c : tableLayout.columns)
      if (c.hiddenBy) ++hiddenColumns;
    JSONObject detail;
    detail["use"] = "layout";
    detail["rows_read"] = tableLayout.rows;
    detail["columns"] = static_cast<long long>(tableLayout.columns.size());
    detail["hidden_columns"] = hiddenColumns;
    recordEvent(call, std::move(detail), 0);
    return text;
  }

  std::vector<std::string> headers;
  for (size_t i = 0; i < tableLayout.columns.size(); ++i)
    headers.push_back(i < tableLayout.headers.size() ? tableLayout.headers[i] : std::string());
  TableHidden::Cells cells(std::move(headers), rules);
  HiddenCellsAdapter protectedCells(cells);
  std::optional<TableAnswer> answer;
  try {
    answer.emplace(parsed->answer(*reader, sheet, tableLayout, protectedCells));
  } catch (const TableRefusal& refusal) {
    return refuse(refusal.message, std::string(toString(refusal.kind)), refusal.rule, call);
  } catch (const std::exception&) {
    return refuse(unreadable, "unreadable", std::nullopt, call);
  }

  std::optional<std::string> shownSheet;
  if (sheet) shownSheet = sheet->name;
  std::string text = answerText(answer->object(url.filename().string(), modified(url), shownSheet));
  long long skipped = 0;
  for (const auto& [reason, rows] : answer->skipped) skipped += rows;
  JSONObject detail;
  detail["use"] = "question";
  detail["rows_read"] = answer->rowsRead;
  detail["rows_used"] = answer->rowsUsed;
  detail["rows_filtered_out"] = answer->rowsFiltered;
  detail["rows_skipped"] = skipped;
  detail["groups"] = answer->groups;
  detail["result_rows"] = static_cast<long long>(answer->rows.size());
  if (!answer->hidden.empty()) {
    JSONObject redactions;
    for (const auto& [label, count] : answer->hidden) redactions[label] = count;
    detail["redactions"] = std::move(redactions);
  }
  recordEvent(call, std::move(detail), tokenEstimate(text));
  return text;
}

JSONObject tableBrief(const std::string& path, const std::optional<std::string>& baseName,
                      double wait) {
  JSONObject result;
  result["source_file"] = path;
  const std::string ext = lowerExtension(path);
  if (!isTableExtension(ext)) return result;
  std::string url;
  try {
    url = resolveFile(path, baseName);
  } catch (const std::exception&) {
    return result;
  }
  int fd = ::open(url.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
  } else if (errno == EPERM || errno == EACCES) {
    return result;
  }
  tables_internal::FileState state = tables_internal::fileState(url);
  if (state.size && *state.size > (ext == "xlsx" ? kBriefWorkbookLimit : kBriefTableLimit))
    return result;

  if (briefWorkers().fetch_add(1) >= kMaxBriefWorkers) {
    briefWorkers().fetch_sub(1);
    return result;
  }
  // Shared with the worker, which may outlive this call.
  auto box = std::make_shared<BriefBox>();
  auto signal = std::make_shared<Signal>();
  SensitiveRules rules = SensitiveRules::current();
  try {
    std::thread([box, signal, url, rules] {
      try {
        std::unique_ptr<TableReader> reader = openTableReader(url);
        const TableReader::Sheet* sheet = nullptr;
        bool go = true;
        if (reader->hasWorkbook()) {
          std::vector<std::string> withData;
          for (const auto& info : TableLayout::sheets(*reader))
            if (info.hasData) withData.push_back(info.name);
          if (withData.size() == 1) {
            for (const auto& s : reader->sheets())
              if (s.name == withData.front()) sheet = &s;
          } else {
            go = false;
            JSONObject value;
            if (withData.size() > 1) {
              value["sheets"] = JSONArray(withData.begin(), withData.end());
            }
            std::lock_guard<std::mutex> hold(box->lock);
            box->value = std::move(value);
          }
        }
        if (go) {
          TableLayout tableLayout = layout(*reader, url, sheet, rules);
          JSONObject value;
          value["rows"] = tableLayout.rows;
          JSONArray columns;
          for (const auto& c : tableLayout.columns) {
            JSONObject col;
            col["name"] = c.name;
            col["type"] = std::string(toString(c.kind));
            if (c.hiddenBy) col["hidden_by_rule"] = hiddenRuleLabel(*c.hiddenBy);
            if (c.ambiguous) col["needs"] = std::string(toString(*c.ambiguous));
            columns.push_back(std::move(col));
          }
          value["columns"] = std::move(columns);
          if (tableLayout.sheet) value["sheet"] = *tableLayout.sheet;
          std::lock_guard<std::mutex> hold(box->lock);
          box->value = std::move(value);
        }
      } catch (...) {
        // The brief stays {"source_file": path}.
      }
      {
        std::lock_guard<std::mutex> hold(signal->mutex);
        signal->done = true;
      }
      signal->cv.notify_all();
      briefWorkers().fetch_sub(1);
    }).detach();
  } catch (const std::system_error&) {
    briefWorkers().fetch_sub(1);
    return result;
  }

  bool inTime;
  {
    std::unique_lock<std::mutex> hold(signal->mutex);
    inTime = signal->cv.wait_for(hold, std::chrono::duration<double>(wait < 0 ? 0 : wait),
                                 [&] { return signal->done; });
  }
  if (inTime) {
    std::lock_guard<std::mutex> hold(box->lock);
    if (box->value)
      for (auto& [key, value] : *box->value) result[key] = value;
  }
  return result;
}

bool mapTablesSetting(const char* value) { return !(value && std::string(value) == "0"); }

bool mapTablesOn() {
  static const bool on = mapTablesSetting(std::getenv("ZELK_MAP_TABLES"));
  return on;
}

}  // namespace zelk::MCPTools
