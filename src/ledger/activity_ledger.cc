#include "ledger/activity_ledger.h"

#include <sqlite3.h>
#include <unicode/brkiter.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <utility>

#include "ledger/internal/sqlite_db.h"
#include "ledger/zelk_shared.h"
#include "platform/iso_date.h"
#include "platform/notifier.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "platform/unicode.h"
#include "platform/uuid.h"

namespace zelk {

using ledger_internal::log;
using ledger_internal::Row;
using ledger_internal::Statement;

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS events(
  id TEXT PRIMARY KEY,
  ts REAL NOT NULL,
  actor TEXT NOT NULL,
  client_name TEXT,
  client_version TEXT,
  client_kind TEXT,
  kind TEXT NOT NULL,
  tool TEXT,
  earned INTEGER NOT NULL DEFAULT 0,
  tokens_before INTEGER,
  tokens_after INTEGER,
  numbers_in INTEGER,
  numbers_dropped INTEGER,
  ocr_pages INTEGER,
  query_text TEXT,
  base TEXT,
  match_quality TEXT,
  floor_applied INTEGER,
  excerpt_tokens INTEGER,
  budget_tokens INTEGER,
  budget_derived INTEGER,
  searched INTEGER,
  total INTEGER,
  detail TEXT NOT NULL DEFAULT '{}'
);
CREATE TABLE IF NOT EXISTS documents(
  event_id TEXT NOT NULL REFERENCES events(id),
  path TEXT,
  doc_id TEXT,
  format TEXT,
  tokens_before INTEGER,
  tokens_after INTEGER
);
CREATE TABLE IF NOT EXISTS totals(
  key TEXT PRIMARY KEY,
  value INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS meta(
  key TEXT PRIMARY KEY,
  value TEXT
);
CREATE INDEX IF NOT EXISTS events_ts ON events(ts);
CREATE INDEX IF NOT EXISTS events_kind_ts ON events(kind, ts);
CREATE INDEX IF NOT EXISTS events_client_ts ON events(client_name, ts);
CREATE INDEX IF NOT EXISTS documents_event ON documents(event_id);
CREATE INDEX IF NOT EXISTS documents_path ON documents(path);
CREATE INDEX IF NOT EXISTS documents_doc ON documents(doc_id);
INSERT OR IGNORE INTO meta(key, value) VALUES('schema_version', '1');
)sql";

constexpr const char* kInsertEvent =
    "INSERT INTO events(id, ts, actor, client_name, client_version, client_kind, kind, tool, "
    "earned,\n"
    "  tokens_before, tokens_after, numbers_in, numbers_dropped, ocr_pages,\n"
    "  query_text, base, match_quality, floor_applied, excerpt_tokens, budget_tokens, "
    "budget_derived,\n"
    "  searched, total, detail)\n"
    "VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";

constexpr const char* kInsertDocument =
    "INSERT INTO documents(event_id, path, doc_id, format, tokens_before, tokens_after) "
    "VALUES(?,?,?,?,?,?)";

constexpr std::string_view kCopySuffix = "_zelk.txt";
constexpr size_t kErrorMessageCharacters = 500;
constexpr int kBusyTimeoutMs = 3000;
// Paths per readByClient query, so that a long list never meets SQLite's statement limits.
constexpr size_t kPathsPerQuery = 500;

constexpr std::array<std::pair<ActivityLedger::Kind, const char*>, 15> kKinds = {{
    {ActivityLedger::Kind::optimize, "optimize"},
    {ActivityLedger::Kind::fuse, "fuse"},
    {ActivityLedger::Kind::query, "query"},
    {ActivityLedger::Kind::insert, "insert"},
    {ActivityLedger::Kind::use, "use"},
    {ActivityLedger::Kind::baseChange, "base_change"},
    {ActivityLedger::Kind::suggestion, "suggestion"},
    {ActivityLedger::Kind::review, "review"},
    {ActivityLedger::Kind::watchRun, "watch_run"},
    {ActivityLedger::Kind::skip, "skip"},
    {ActivityLedger::Kind::toolError, "tool_error"},
    {ActivityLedger::Kind::sensitivityOverride, "sensitivity_override"},
    {ActivityLedger::Kind::list, "list"},
    {ActivityLedger::Kind::indexRun, "index_run"},
    {ActivityLedger::Kind::tableQuestion, "table_question"},
}};

constexpr std::array<std::pair<ActivityLedger::Actor, const char*>, 3> kActors = {{
    {ActivityLedger::Actor::aiApp, "ai_app"},
    {ActivityLedger::Actor::you, "you"},
    {ActivityLedger::Actor::zelk, "zelk"},
}};

bool endsWith(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The first `limit` user-perceived characters of text.
std::string prefixCharacters(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  bool ascii = true;
  for (unsigned char c : text) ascii = ascii && c < 0x80;
  if (ascii) {
    size_t end = 0;
    for (size_t count = 0; count < limit && end < text.size(); ++count) {
      end += (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1;
    }
    return text.substr(0, end);
  }
  icu::UnicodeString unicode = platform::toUnicode(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !it) {
    int32_t end = unicode.moveIndex32(0, static_cast<int32_t>(limit));
    return platform::toUtf8(unicode.tempSubString(0, end));
  }
  it->setText(unicode);
  int32_t end = 0;
  for (size_t count = 0; count < limit; ++count) {
    int32_t next = it->next();
    if (next == icu::BreakIterator::DONE) break;
    end = next;
  }
  return platform::toUtf8(unicode.tempSubString(0, end));
}

// The detail as stored: the event's own detail with the notices and the query's sources.
std::string storedDetail(const ActivityLedger::Event& event) {
  JSONObject detail = event.detail;
  if (!event.notices.empty()) {
    JSONArray notices(event.notices.begin(), event.notices.end());
    detail["notices"] = std::move(notices);
  }
  if (event.query) {
    detail["sources"] = event.query->sources;
    if (!event.query->failed.empty()) detail["failed"] = event.query->failed;
  }
  try {
    // Keys come out sorted (JSONObject is ordered); the database's JSON functions need UTF-8.
    return platform::sanitizeUtf8(JSONValue(std::move(detail)).encode());
  } catch (const std::exception&) {
    return "{}";
  }
}

bool earns(const ActivityLedger::Event& event) {
  using Kind = ActivityLedger::Kind;
  if (event.kind == Kind::insert || event.kind == Kind::use) return true;
  return (event.kind == Kind::optimize || event.kind == Kind::fuse) &&
         event.actor == ActivityLedger::Actor::aiApp;
}

std::optional<long long> flag(bool value) { return value ? 1LL : 0LL; }

}  // namespace

struct ActivityLedger::Connection {
  sqlite3* handle = nullptr;
  explicit Connection(sqlite3* h) : handle(h) {}
  ~Connection() { sqlite3_close_v2(handle); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
};

// ---- Names -------------------------------------------------------------------------------------

std::string ActivityLedger::toString(Kind kind) {
  for (const auto& [k, raw] : kKinds) {
    if (k == kind) return raw;
  }
  return "optimize";
}

std::string ActivityLedger::toString(Actor actor) {
  for (const auto& [a, raw] : kActors) {
    if (a == actor) return raw;
  }
  return "ai_app";
}

std::optional<ActivityLedger::Kind> ActivityLedger::kindFromString(std::string_view raw) {
  for (const auto& [k, name] : kKinds) {
    if (raw == name) return k;
  }
  return std::nullopt;
}

std::optional<ActivityLedger::Actor> ActivityLedger::actorFromString(std::string_view raw) {
  for (const auto& [a, name] : kActors) {
    if (raw == name) return a;
  }
  return std::nullopt;
}

std::string ActivityLedger::docID(std::string_view text) {
  return platform::sha256Hex(text).substr(0, 16);
}

// ---- Instance ----------------------------------------------------------------------------------

std::string ActivityLedger::defaultPath() {
  if (const char* path = platform::env("ZELK_LEDGER_PATH"); path && *path) return path;
  return platform::joinPath(ZelkShared::supportDir(), "activity.sqlite");
}

ActivityLedger& ActivityLedger::shared() {
  // Never destroyed: tools may still record while other statics are torn down at exit.
  static ActivityLedger* instance = new ActivityLedger(defaultPath());
  return *instance;
}

ActivityLedger::ActivityLedger(std::string path)
    : url_(std::move(path)), queue_("zelk.activity-ledger") {}

ActivityLedger::~ActivityLedger() = default;

void ActivityLedger::setClient(std::optional<Client> client) {
  std::lock_guard lock(clientMutex_);
  client_ = std::move(client);
}

std::optional<ActivityLedger::Client> ActivityLedger::client() const {
  std::lock_guard lock(clientMutex_);
  return client_;
}

std::optional<std::string> ActivityLedger::record(const Event& event) {
  std::optional<std::string> id;
  queue_.sync([&] {
    try {
      id = write(event, client());
    } catch (const std::exception& error) {
      log(std::string("write failed: ") + error.what());
      rollback();
      id.reset();
    }
  });
  if (id) postChanged();
  return id;
}

std::optional<std::string> ActivityLedger::recordError(const std::string& tool,
                                                       const std::string& message) {
  Event event;
  event.kind = Kind::toolError;
  event.actor = Actor::aiApp;
  event.tool = tool;
  event.detail["message"] = prefixCharacters(message, kErrorMessageCharacters);
  return record(event);
}

void ActivityLedger::postChanged() const {
  platform::Notifier::post(didRecord);
  platform::Notifier::postSystemWide(std::string(platform::kDesktopBundleID) + kChangedSuffix);
}

// ---- On the queue ------------------------------------------------------------------------------

bool ActivityLedger::openIfNeeded() {
  if (db_) return true;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(url_).parent_path(), ec);

  sqlite3* handle = nullptr;
  int rc =
      sqlite3_open_v2(url_.c_str(), &handle,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(handle);
    log("could not open " + url_);
    return false;
  }
  db_ = std::make_unique<Connection>(handle);
  sqlite3_busy_timeout(handle, kBusyTimeoutMs);
  exec("PRAGMA journal_mode=WAL");
  exec("PRAGMA synchronous=NORMAL");
  if (!exec(kSchema)) {
    db_.reset();
    return false;
  }
  return true;
}

bool ActivityLedger::exec(const char* sql) {
  sqlite3* handle = db_ ? db_->handle : nullptr;
  if (!handle) {
    log("exec failed: " + ledger_internal::errorMessage(nullptr));
    return false;
  }
  char* error = nullptr;
  if (sqlite3_exec(handle, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
  log(std::string("exec failed: ") + (error ? error : ledger_internal::errorMessage(handle)));
  sqlite3_free(error);
  return false;
}

void ActivityLedger::rollback() {
  // Some failures end the transaction by themselves; a second ROLLBACK would only log noise.
  if (db_ && !sqlite3_get_autocommit(db_->handle)) exec("ROLLBACK");
}

std::optional<std::string> ActivityLedger::write(const Event& event,
                                                 const std::optional<Client>& client) {
  if (!openIfNeeded()) return std::nullopt;
  std::string id = platform::randomUUID();
  double ts = platform::now();
  if (!exec("BEGIN IMMEDIATE")) return std::nullopt;
  {
    Statement start(db_->handle,
                    "INSERT OR IGNORE INTO meta(key, value) VALUES('history_start', '" +
                        ledger_internal::decimal(ts) + "')");
    start.run();
  }
  if (!insertEvent(id, ts, event, client) || !insertDocuments(id, event.documents) ||
      !insertCopyUses(event, client, ts)) {
    rollback();
    return std::nullopt;
  }
  if (!exec("COMMIT")) {
    rollback();
    return std::nullopt;
  }
  return id;
}

bool ActivityLedger::insertEvent(const std::string& id, double ts, const Event& event,
                                 const std::optional<Client>& client) {
  Statement insert(db_->handle, kInsertEvent);
  if (!insert.ok()) {
    log("prepare failed: " + insert.error());
    return false;
  }
  const Client* who = event.actor == Actor::aiApp && client ? &*client : nullptr;
  const Query* q = event.query ? &*event.query : nullptr;
  std::optional<long long> dropped;
  if (event.numbersDropped) dropped = static_cast<long long>(event.numbersDropped->size());

  insert.bind(1, std::optional<std::string>(id));
  insert.bind(2, ts);
  insert.bind(3, std::optional<std::string>(toString(event.actor)));
  insert.bind(4, who ? std::optional<std::string>(who->name) : std::nullopt);
  insert.bind(5, who ? who->version : std::nullopt);
  insert.bind(6, who ? std::optional<std::string>(who->kind) : std::nullopt);
  insert.bind(7, std::optional<std::string>(toString(event.kind)));
  insert.bind(8, event.tool);
  insert.bind(9, flag(earns(event)));
  insert.bind(10, event.tokensBefore);
  insert.bind(11, event.tokensAfter);
  insert.bind(12, event.numbersIn);
  insert.bind(13, dropped);
  insert.bind(14, event.ocrPages);
  insert.bind(15, q ? std::optional<std::string>(q->text) : std::nullopt);
  insert.bind(16, q ? q->base : std::nullopt);
  insert.bind(17, q ? std::optional<std::string>(q->matchQuality) : std::nullopt);
  insert.bind(18, q ? flag(q->floorApplied) : std::nullopt);
  insert.bind(19, q ? std::optional<long long>(q->excerptTokens) : std::nullopt);
  insert.bind(20, q ? std::optional<long long>(q->budgetTokens) : std::nullopt);
  insert.bind(21, q ? flag(q->budgetDerived) : std::nullopt);
  insert.bind(22, q ? std::optional<long long>(q->searched) : std::nullopt);
  insert.bind(23, q ? std::optional<long long>(q->total) : std::nullopt);
  insert.bind(24, std::optional<std::string>(storedDetail(event)));
  if (!insert.run()) {
    log("insert failed: " + insert.error());
    return false;
  }
  return true;
}

bool ActivityLedger::insertDocuments(const std::string& id,
                                     const std::vector<Document>& documents) {
  if (documents.empty()) return true;
  Statement insert(db_->handle, kInsertDocument);
  if (!insert.ok()) {
    log("prepare failed: " + insert.error());
    return false;
  }
  for (const Document& document : documents) {
    insert.bind(1, std::optional<std::string>(id));
    insert.bind(2, document.path);
    insert.bind(3, document.docID);
    insert.bind(4, document.format);
    insert.bind(5, document.tokensBefore);
    insert.bind(6, document.tokensAfter);
    if (!insert.run()) {
      log("insert failed: " + insert.error());
      return false;
    }
  }
  return true;
}

namespace {

// A query's rows; a failed preparation or step is logged and gives the rows read so far.
std::vector<Row> rows(sqlite3* db, const std::string& sql) {
  std::vector<Row> out;
  Statement query(db, sql);
  if (!query.ok() || !query.readAll(out)) log("query failed: " + query.error());
  return out;
}

}  // namespace

bool ActivityLedger::insertCopyUses(const Event& event, const std::optional<Client>& client,
                                    double ts) {
  if ((event.kind != Kind::optimize && event.kind != Kind::fuse) || event.actor != Actor::aiApp) {
    return true;
  }
  for (const Document& document : event.documents) {
    if (!document.path || !endsWith(*document.path, kCopySuffix)) continue;
    std::vector<Row> found =
        rows(db_->handle,
             "SELECT e.id, d.path, COALESCE(d.tokens_before, 0), COALESCE(d.tokens_after, 0), "
             "d.format, d.doc_id\n"
             "FROM events e JOIN documents d ON d.event_id = e.id\n"
             "WHERE e.kind = 'watch_run' AND json_extract(e.detail, '$.copy_path') = " +
                 ledger_internal::quoted(*document.path) + " ORDER BY e.ts DESC LIMIT 1");
    if (found.empty() || found[0].size() < 6) continue;
    const Row& row = found[0];
    const std::string* source = ledger_internal::text(row[1]);
    if (!source) continue;

    Document original;
    original.path = *source;
    if (const std::string* docID = ledger_internal::text(row[5])) original.docID = *docID;
    if (const std::string* format = ledger_internal::text(row[4])) original.format = *format;
    original.tokensBefore = ledger_internal::integer(row[2]).value_or(0);
    original.tokensAfter = ledger_internal::integer(row[3]).value_or(0);

    Event use;
    use.kind = Kind::use;
    use.actor = Actor::aiApp;
    use.tokensBefore = original.tokensBefore;
    use.tokensAfter = original.tokensAfter;
    const std::string* watchRun = ledger_internal::text(row[0]);
    use.detail["copy_of"] = watchRun ? *watchRun : std::string();
    use.documents.push_back(std::move(original));

    std::string useID = platform::randomUUID();
    if (!insertEvent(useID, ts, use, client) || !insertDocuments(useID, use.documents)) {
      return false;
    }
  }
  return true;
}

std::set<std::string> ActivityLedger::readByClient(const std::string& client,
                                                   const std::vector<std::string>& paths) {
  std::set<std::string> found;
  queue_.sync([&] {
    try {
      if (!openIfNeeded() || paths.empty()) return;
      for (size_t start = 0; start < paths.size(); start += kPathsPerQuery) {
        std::string list;
        for (size_t i = start; i < paths.size() && i < start + kPathsPerQuery; ++i) {
          if (i > start) list += ",";
          list += ledger_internal::quoted(paths[i]);
        }
        std::string sql =
            "SELECT DISTINCT d.path FROM documents d JOIN events e ON e.id = d.event_id\n"
            "WHERE e.actor = 'ai_app' AND e.client_name = " +
            ledger_internal::quoted(client) +
            " AND e.kind IN ('optimize','fuse','query') AND d.path IN (" + list + ")";
        for (const Row& row : rows(db_->handle, sql)) {
          if (!row.empty()) {
            if (const std::string* path = ledger_internal::text(row[0])) found.insert(*path);
          }
        }
      }
    } catch (const std::exception& error) {
      log(std::string("query failed: ") + error.what());
    }
  });
  return found;
}

std::vector<ActivityLedger::Proposal> ActivityLedger::pendingProposals(double days) {
  std::vector<Proposal> pending;
  queue_.sync([&] {
    try {
      if (!openIfNeeded()) return;
      double cutoff = platform::now() - days * 86400.0;
      if (!std::isfinite(cutoff)) return;
      std::string sql =
          "SELECT id, ts, client_name, detail FROM events\n"
          "WHERE kind = 'suggestion' AND ts >= " +
          ledger_internal::decimal(cutoff) + " ORDER BY ts DESC";
      std::set<std::string> decided;
      for (const Row& row : rows(db_->handle, sql)) {
        if (row.size() < 4) continue;
        JSONObject detail;
        if (const std::string* text = ledger_internal::text(row[3])) {
          try {
            JSONValue parsed = JSONValue::parse(*text);
            if (const JSONObject* object = parsed.object()) detail = *object;
          } catch (const JSONParseError&) {
          }
        }
        auto member = [&](const char* key) -> const JSONValue* {
          auto it = detail.find(key);
          return it == detail.end() ? nullptr : &it->second;
        };
        auto textMember = [&](const char* key) -> std::optional<std::string> {
          const JSONValue* value = member(key);
          if (value && value->isString()) return *value->string();
          return std::nullopt;
        };
        std::optional<std::string> proposalID = textMember("proposal_id");
        if (proposalID && member("outcome")) {
          decided.insert(*proposalID);
          continue;
        }
        if (textMember("suggestion") != std::optional<std::string>("propose_base") || !proposalID ||
            decided.count(*proposalID)) {
          continue;
        }
        Proposal proposal;
        proposal.id = *proposalID;
        proposal.at = ledger_internal::real(row[1]).value_or(0);
        if (const std::string* client = ledger_internal::text(row[2])) proposal.client = *client;
        proposal.name = textMember("name").value_or("");
        proposal.description = textMember("description");
        if (const JSONValue* paths = member("paths"); paths && paths->isArray()) {
          bool allText = true;
          for (const JSONValue& path : *paths->array()) allText = allText && path.isString();
          if (allText) {
            for (const JSONValue& path : *paths->array()) proposal.paths.push_back(*path.string());
          }
        }
        proposal.reason = textMember("reason");
        pending.push_back(std::move(proposal));
      }
    } catch (const std::exception& error) {
      log(std::string("query failed: ") + error.what());
      pending.clear();
    }
  });
  return pending;
}

}  // namespace zelk
