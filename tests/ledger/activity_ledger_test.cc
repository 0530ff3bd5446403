#include "ledger/activity_ledger.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <thread>

#include "platform/atomic_file.h"
#include "platform/iso_date.h"
#include "platform/notifier.h"
#include "test_support.h"

extern char** environ;

namespace zelk {
namespace {

using testing::IsolatedHome;
using testing::ScopedEnv;
using testing::TempDir;
using Kind = ActivityLedger::Kind;
using Actor = ActivityLedger::Actor;

// A second connection onto a ledger database, for looking at what was stored. Opens at its
// first use, so that it can be made before the ledger creates the file.
class Inspector {
 public:
  explicit Inspector(std::string path) : path_(std::move(path)) {}
  ~Inspector() { sqlite3_close_v2(db_); }
  bool ok() {
    if (db_) return true;
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      sqlite3_close_v2(db_);
      db_ = nullptr;
      return false;
    }
    sqlite3_busy_timeout(db_, 10000);
    return true;
  }

  // Every row of a query, each column as text ("NULL" for NULL).
  std::vector<std::vector<std::string>> rows(const std::string& sql) {
    std::vector<std::vector<std::string>> out;
    sqlite3_stmt* stmt = nullptr;
    if (!ok() || sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "query failed: " << sql << ": " << (db_ ? sqlite3_errmsg(db_) : "no db");
      return out;
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        const unsigned char* t = sqlite3_column_text(stmt, c);
        row.push_back(t ? reinterpret_cast<const char*>(t) : "NULL");
      }
      out.push_back(std::move(row));
    }
    sqlite3_finalize(stmt);
    return out;
  }
  std::string value(const std::string& sql) {
    auto r = rows(sql);
    return r.empty() || r[0].empty() ? "<none>" : r[0][0];
  }
  void exec(const std::string& sql) {
    char* error = nullptr;
    if (!ok()) {
      ADD_FAILURE() << "cannot open " << path_;
      return;
    }
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      ADD_FAILURE() << "exec failed: " << sql << ": " << (error ? error : "");
    }
    sqlite3_free(error);
  }

 private:
  std::string path_;
  sqlite3* db_ = nullptr;
};

std::string sqlText(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'";
    out += c;
  }
  return out + "'";
}

ActivityLedger::Event optimizeEvent(Actor actor, std::vector<ActivityLedger::Document> docs = {}) {
  ActivityLedger::Event event;
  event.kind = Kind::optimize;
  event.actor = actor;
  event.tool = "optimize_file";
  event.documents = std::move(docs);
  return event;
}

ActivityLedger::Client claude() { return {"claude-ai", "0.7.1", "mcp"}; }

// Counts in-process notifications for the life of the object.
class NotificationCounter {
 public:
  NotificationCounter()
      : token_(platform::Notifier::observe(ActivityLedger::didRecord,
                                           [this](const std::string&) { ++count_; })) {}
  ~NotificationCounter() { platform::Notifier::removeObserver(token_); }
  int count() const { return count_; }

 private:
  int token_;
  std::atomic<int> count_{0};
};

class LedgerTest : public ::testing::Test {
 protected:
  std::string path() const { return home_.dir().file("ledger/activity.sqlite"); }
  IsolatedHome home_;
};

// ---- Schema and columns ------------------------------------------------------------------------

TEST_F(LedgerTest, FirstEventCreatesFolderAndSchema) {
  std::string deep = home_.dir().file("not/yet/there/ledger.sqlite");
  ActivityLedger ledger(deep);
  std::optional<std::string> id = ledger.record(optimizeEvent(Actor::aiApp));
  ASSERT_TRUE(id);
  EXPECT_THAT(*id, ::testing::MatchesRegex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                                           "[0-9A-F]{12}"));

  Inspector db(deep);
  ASSERT_TRUE(db.ok());
  using Rows = std::vector<std::vector<std::string>>;
  EXPECT_EQ(db.rows("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"),
            (Rows{{"documents"}, {"events"}, {"meta"}, {"totals"}}));
  EXPECT_EQ(db.rows("SELECT name, tbl_name FROM sqlite_master WHERE type = 'index' AND name NOT "
                    "LIKE 'sqlite_autoindex%' ORDER BY name"),
            (Rows{{"documents_doc", "documents"},
                  {"documents_event", "documents"},
                  {"documents_path", "documents"},
                  {"events_client_ts", "events"},
                  {"events_kind_ts", "events"},
                  {"events_ts", "events"}}));
  EXPECT_EQ(db.value("SELECT value FROM meta WHERE key = 'schema_version'"), "1");
  EXPECT_EQ(db.value("PRAGMA journal_mode"), "wal");

  std::string columns;
  for (const auto& row : db.rows("PRAGMA table_info(events)")) {
    columns += row[1] + ":" + row[2] + (row[3] == "1" ? "!" : "") + " ";
  }
  EXPECT_EQ(columns,
            "id:TEXT ts:REAL! actor:TEXT! client_name:TEXT client_version:TEXT client_kind:TEXT "
            "kind:TEXT! tool:TEXT earned:INTEGER! tokens_before:INTEGER tokens_after:INTEGER "
            "numbers_in:INTEGER numbers_dropped:INTEGER ocr_pages:INTEGER query_text:TEXT "
            "base:TEXT match_quality:TEXT floor_applied:INTEGER excerpt_tokens:INTEGER "
            "budget_tokens:INTEGER budget_derived:INTEGER searched:INTEGER total:INTEGER "
            "detail:TEXT! ");
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM totals"), "0");
}

TEST_F(LedgerTest, SchemaScriptRunsAgainOnAnExistingDatabase) {
  {
    ActivityLedger first(path());
    ASSERT_TRUE(first.record(optimizeEvent(Actor::aiApp)));
  }
  ActivityLedger second(path());
  ASSERT_TRUE(second.record(optimizeEvent(Actor::aiApp)));
  Inspector db(path());
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM events"), "2");
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM meta WHERE key = 'schema_version'"), "1");
}

TEST_F(LedgerTest, HistoryStartKeepsTheFirstEventsTime) {
  ActivityLedger ledger(path());
  double before = platform::now();
  ASSERT_TRUE(ledger.record(optimizeEvent(Actor::aiApp)));
  Inspector db(path());
  std::string first = db.value("SELECT value FROM meta WHERE key = 'history_start'");
  EXPECT_THAT(first, ::testing::MatchesRegex("[0-9]+(\\.[0-9]+)?"));
  EXPECT_GE(std::stod(first), before);
  EXPECT_EQ(db.value("SELECT ts = CAST(" + sqlText(first) + " AS REAL) FROM events"), "1");

  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(ledger.record(optimizeEvent(Actor::you)));
  EXPECT_EQ(db.value("SELECT value FROM meta WHERE key = 'history_start'"), first);
  EXPECT_GT(std::stod(db.value("SELECT MAX(ts) FROM events")), std::stod(first));
}

TEST_F(LedgerTest, EarnedAndClientColumnsFollowKindAndActor) {
  struct Case {
    Kind kind;
    Actor actor;
    const char* earned;
    bool client;
  };
  const Case cases[] = {
      {Kind::optimize, Actor::aiApp, "1", true},
      {Kind::optimize, Actor::you, "0", false},
      {Kind::fuse, Actor::aiApp, "1", true},
      {Kind::fuse, Actor::zelk, "0", false},
      {Kind::insert, Actor::you, "1", false},
      {Kind::use, Actor::aiApp, "1", true},
      {Kind::query, Actor::aiApp, "0", true},
      {Kind::tableQuestion, Actor::aiApp, "0", true},
      {Kind::indexRun, Actor::zelk, "0", false},
      {Kind::sensitivityOverride, Actor::you, "0", false},
      {Kind::toolError, Actor::aiApp, "0", true},
  };
  ActivityLedger ledger(path());
  ledger.setClient(claude());
  Inspector db(path());
  for (const Case& c : cases) {
    ActivityLedger::Event event;
    event.kind = c.kind;
    event.actor = c.actor;
    std::optional<std::string> id = ledger.record(event);
    ASSERT_TRUE(id);
    auto row = db.rows(
        "SELECT kind, actor, earned, client_name, client_version, client_kind, tool "
        "FROM events WHERE id = " +
        sqlText(*id));
    ASSERT_EQ(row.size(), 1u);
    std::string label = ActivityLedger::toString(c.kind) + "/" + ActivityLedger::toString(c.actor);
    EXPECT_EQ(row[0][0], ActivityLedger::toString(c.kind)) << label;
    EXPECT_EQ(row[0][1], ActivityLedger::toString(c.actor)) << label;
    EXPECT_EQ(row[0][2], c.earned) << label;
    std::vector<std::string> client(row[0].begin() + 3, row[0].begin() + 6);
    if (c.client) {
      EXPECT_EQ(client, (std::vector<std::string>{"claude-ai", "0.7.1", "mcp"})) << label;
    } else {
      EXPECT_EQ(client, (std::vector<std::string>{"NULL", "NULL", "NULL"})) << label;
    }
    EXPECT_EQ(row[0][6], "NULL") << label;
  }

  // Without a client, even the AI app's events carry none; a client without version has NULL.
  ledger.setClient(std::nullopt);
  auto id = ledger.record(optimizeEvent(Actor::aiApp));
  EXPECT_EQ(db.rows("SELECT client_name, client_version, client_kind, earned FROM events WHERE id "
                    "= " +
                    sqlText(*id)),
            (std::vector<std::vector<std::string>>{{"NULL", "NULL", "NULL", "1"}}));
  ledger.setClient(ActivityLedger::Client{"unknown", std::nullopt, "mcp"});
  id = ledger.record(optimizeEvent(Actor::aiApp));
  EXPECT_EQ(db.rows("SELECT client_name, client_version, client_kind FROM events WHERE id = " +
                    sqlText(*id)),
            (std::vector<std::vector<std::string>>{{"unknown", "NULL", "mcp"}}));
}

TEST_F(LedgerTest, StoresCountsQueryColumnsAndDocumentsInOrder) {
  ActivityLedger ledger(path());
  ActivityLedger::Event event;
  event.kind = Kind::query;
  event.actor = Actor::aiApp;
  event.tool = "smart_select";
  event.tokensBefore = 5000;
  event.tokensAfter = 800;
  event.numbersIn = 42;
  event.numbersDropped = std::vector<std::string>{"3.5", "12", "2024"};
  event.ocrPages = 2;
  ActivityLedger::Query q;
  q.text = "what did we pay in 2024?";
  q.base = "Taxes";
  q.matchQuality = "strong";
  q.floorApplied = true;
  q.excerptTokens = 700;
  q.budgetTokens = 2000;
  q.budgetDerived = false;
  q.searched = 12;
  q.total = 14;
  event.query = q;
  event.documents = {{"/b/one.pdf", "aaaa", "PDF", 100, 50},
                     {std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
                     {"/b/three.csv", "cccc", "CSV", 7, std::nullopt}};
  auto id = ledger.record(event);
  ASSERT_TRUE(id);

  Inspector db(path());
  using Rows = std::vector<std::vector<std::string>>;
  EXPECT_EQ(db.rows("SELECT tool, tokens_before, tokens_after, numbers_in, numbers_dropped, "
                    "ocr_pages, query_text, base, match_quality, floor_applied, excerpt_tokens, "
                    "budget_tokens, budget_derived, searched, total FROM events"),
            (Rows{{"smart_select", "5000", "800", "42", "3", "2", "what did we pay in 2024?",
                   "Taxes", "strong", "1", "700", "2000", "0", "12", "14"}}));
  EXPECT_EQ(db.rows("SELECT event_id = " + sqlText(*id) +
                    ", path, doc_id, format, tokens_before, "
                    "tokens_after FROM documents ORDER BY rowid"),
            (Rows{{"1", "/b/one.pdf", "aaaa", "PDF", "100", "50"},
                  {"1", "NULL", "NULL", "NULL", "NULL", "NULL"},
                  {"1", "/b/three.csv", "cccc", "CSV", "7", "NULL"}}));

  // Without a query or counts every one of those columns is NULL.
  ASSERT_TRUE(ledger.record(optimizeEvent(Actor::aiApp)));
  EXPECT_EQ(db.rows("SELECT tool, tokens_before, numbers_dropped, query_text, base, "
                    "floor_applied, total FROM events WHERE kind = 'optimize'"),
            (Rows{{"optimize_file", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL"}}));
  event.query->base.reset();
  event.numbersDropped = std::vector<std::string>{};
  auto second = ledger.record(event);
  EXPECT_EQ(db.rows("SELECT base, numbers_dropped FROM events WHERE id = " + sqlText(*second)),
            (Rows{{"NULL", "0"}}));
}

TEST_F(LedgerTest, DetailIsSortedJsonWithNoticesSourcesAndFailed) {
  struct Case {
    const char* name;
    std::function<void(ActivityLedger::Event&)> fill;
    const char* stored;
  };
  ActivityLedger::Query query;
  query.text = "q";
  query.matchQuality = "none";
  const Case cases[] = {
      {"empty", [](ActivityLedger::Event&) {}, "{}"},
      {"own detail sorted, slashes escaped",
       [](ActivityLedger::Event& e) {
         e.detail = {
             {"zeta", 1}, {"alpha", "a/b"}, {"mid", JSONObject{{"y", true}, {"x", nullptr}}}};
       },
       R"({"alpha":"a\/b","mid":{"x":null,"y":true},"zeta":1})"},
      {"notices",
       [](ActivityLedger::Event& e) {
         e.notices = {"coverage_incomplete", "stale_index"};
         e.detail = {{"page", 2}};
       },
       R"({"notices":["coverage_incomplete","stale_index"],"page":2})"},
      {"query without failed sources",
       [&](ActivityLedger::Event& e) {
         e.query = query;
         e.query->sources = {JSONObject{{"path", "/d/a.pdf"}, {"chunks", 3}}};
       },
       R"({"sources":[{"chunks":3,"path":"\/d\/a.pdf"}]})"},
      {"query with failed sources",
       [&](ActivityLedger::Event& e) {
         e.query = query;
         e.query->failed = {JSONObject{{"path", "/d/b.pdf"}, {"reason", "online_only"}}};
         e.notices = {"n"};
       },
       R"({"failed":[{"path":"\/d\/b.pdf","reason":"online_only"}],"notices":["n"],"sources":[]})"},
      {"cannot be written",
       [](ActivityLedger::Event& e) {
         e.detail = {{"bad", std::numeric_limits<double>::infinity()}};
       },
       "{}"},
  };
  ActivityLedger ledger(path());
  Inspector db(path());
  for (const Case& c : cases) {
    ActivityLedger::Event event = optimizeEvent(Actor::aiApp);
    c.fill(event);
    auto id = ledger.record(event);
    ASSERT_TRUE(id) << c.name;
    EXPECT_EQ(db.value("SELECT detail FROM events WHERE id = " + sqlText(*id)), c.stored) << c.name;
  }
}

// ---- Copy uses ---------------------------------------------------------------------------------

class CopyUseTest : public LedgerTest {
 protected:
  // A watch run that made `copy` from `original` (1200 tokens before, 300 after).
  std::string watchRun(ActivityLedger& ledger, const std::string& copy,
                       const std::string& original) {
    ActivityLedger::Event run;
    run.kind = Kind::watchRun;
    run.actor = Actor::zelk;
    run.detail = {{"copy_path", copy}};
    run.documents = {{original, "d0c1d0c1d0c1d0c1", "PDF", 1200, 300}};
    return ledger.record(run).value_or("");
  }
};

TEST_F(CopyUseTest, ReadingACopyCreditsTheOriginalInTheSameTransaction) {
  ActivityLedger ledger(path());
  ledger.setClient(claude());
  std::string runID =
      watchRun(ledger, "/Users/a/Notes/Report_zelk.txt", "/Users/a/Docs/Report.pdf");
  ASSERT_FALSE(runID.empty());
  NotificationCounter notified;
  auto id = ledger.record(optimizeEvent(
      Actor::aiApp, {{"/Users/a/Notes/Report_zelk.txt", "feedfeedfeedfeed", "TXT", 320, 310}}));
  ASSERT_TRUE(id);
  EXPECT_EQ(notified.count(), 1);

  Inspector db(path());
  using Rows = std::vector<std::vector<std::string>>;
  EXPECT_EQ(db.rows("SELECT kind, earned, client_name, tokens_before, tokens_after FROM events "
                    "WHERE kind IN ('optimize','use') ORDER BY kind"),
            (Rows{{"optimize", "1", "claude-ai", "NULL", "NULL"},
                  {"use", "1", "claude-ai", "1200", "300"}}));
  EXPECT_EQ(db.rows("SELECT e.actor, e.tool, e.detail, e.query_text, d.path, d.doc_id, d.format, "
                    "d.tokens_before, d.tokens_after FROM events e JOIN documents d ON "
                    "d.event_id = e.id WHERE e.kind = 'use'"),
            (Rows{{"ai_app", "NULL", R"({"copy_of":")" + runID + R"("})", "NULL",
                   "/Users/a/Docs/Report.pdf", "d0c1d0c1d0c1d0c1", "PDF", "1200", "300"}}));
}

TEST_F(CopyUseTest, OnlyTheAIAppsOptimizeAndFuseOfACopyCount) {
  ActivityLedger ledger(path());
  ledger.setClient(claude());
  ASSERT_FALSE(watchRun(ledger, "/n/A_zelk.txt", "/d/A.pdf").empty());
  ActivityLedger::Document copy{"/n/A_zelk.txt", std::nullopt, "TXT", 10, 10};
  ActivityLedger::Event query;
  query.kind = Kind::query;
  query.actor = Actor::aiApp;
  query.documents = {copy};
  ASSERT_TRUE(ledger.record(query));
  ASSERT_TRUE(ledger.record(optimizeEvent(Actor::you, {copy})));
  ASSERT_TRUE(ledger.record(optimizeEvent(Actor::aiApp, {{"/n/B_zelk.txt", {}, {}, {}, {}}})));
  ASSERT_TRUE(ledger.record(optimizeEvent(Actor::aiApp, {{"/n/A_zelk.txt.bak", {}, {}, {}, {}}})));
  Inspector db(path());
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM events WHERE kind = 'use'"), "0");

  ActivityLedger::Event fuse =
      optimizeEvent(Actor::aiApp, {{"/x/plain.txt", {}, {}, {}, {}}, copy});
  fuse.kind = Kind::fuse;
  ASSERT_TRUE(ledger.record(fuse));
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM events WHERE kind = 'use'"), "1");
}

TEST_F(CopyUseTest, TheNewestWatchRunOfACopyIsCredited) {
  ActivityLedger ledger(path());
  ledger.setClient(claude());
  ASSERT_FALSE(watchRun(ledger, "/n/R_zelk.txt", "/d/old.pdf").empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::string newest = watchRun(ledger, "/n/R_zelk.txt", "/d/new.pdf");
  ASSERT_TRUE(ledger.record(optimizeEvent(Actor::aiApp, {{"/n/R_zelk.txt", {}, {}, {}, {}}})));
  Inspector db(path());
  EXPECT_EQ(db.rows("SELECT d.path, e.detail FROM events e JOIN documents d ON d.event_id = e.id "
                    "WHERE e.kind = 'use'"),
            (std::vector<std::vector<std::string>>{
                {"/d/new.pdf", R"({"copy_of":")" + newest + R"("})"}}));
}

TEST_F(CopyUseTest, WatchRunRowsFromTheAppAreReadAsTheyAre) {
  ActivityLedger ledger(path());
  ledger.setClient(claude());
  ASSERT_TRUE(ledger.pendingProposals(1).empty());  // creates the schema
  Inspector db(path());
  // As the app may write them: real token counts, no format, and a detail that isn't JSON.
  db.exec(
      "INSERT INTO events(id, ts, actor, kind, detail) VALUES('W1', 1, 'zelk', 'watch_run', "
      "'{\"copy_path\":\"/n/Real_zelk.txt\"}');"
      "INSERT INTO documents(event_id, path, doc_id, tokens_before, tokens_after) "
      "VALUES('W1', '/d/Real.docx', NULL, 99.9, NULL);"
      "INSERT INTO events(id, ts, actor, kind, detail) VALUES('W2', 2, 'zelk', 'watch_run', "
      "'not json');"
      "INSERT INTO documents(event_id, path) VALUES('W2', '/d/Other.docx');");
  ::testing::internal::CaptureStderr();
  auto id = ledger.record(optimizeEvent(Actor::aiApp, {{"/n/Real_zelk.txt", {}, {}, {}, {}}}));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "zelk ledger: query failed: malformed JSON\n");
  // A malformed detail from another writer may stop the lookup, but never the event itself.
  ASSERT_TRUE(id);
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM events WHERE id = " + sqlText(*id)), "1");

  db.exec("DELETE FROM documents WHERE event_id = 'W2'; DELETE FROM events WHERE id = 'W2';");
  ASSERT_TRUE(ledger.record(optimizeEvent(Actor::aiApp, {{"/n/Real_zelk.txt", {}, {}, {}, {}}})));
  EXPECT_EQ(db.rows("SELECT e.tokens_before, e.tokens_after, e.detail, d.path, d.doc_id, d.format "
                    "FROM events e JOIN documents d ON d.event_id = e.id WHERE e.kind = 'use'"),
            (std::vector<std::vector<std::string>>{
                {"99", "0", R"({"copy_of":"W1"})", "/d/Real.docx", "NULL", "NULL"}}));
}

TEST_F(CopyUseTest, AFailedInsertLeavesNothingOfTheEvent) {
  ActivityLedger ledger(path());
  ledger.setClient(claude());
  ASSERT_FALSE(watchRun(ledger, "/n/T_zelk.txt", "/d/T.pdf").empty());
  Inspector db(path());
  struct Case {
    const char* name;
    const char* trigger;
  };
  const Case cases[] = {
      {"copy-use event",
       "CREATE TEMP TRIGGER no_use BEFORE INSERT ON main.events WHEN "
       "NEW.kind = 'use' BEGIN SELECT RAISE(ABORT, 'no use'); END;"},
      {"copy-use document",
       "CREATE TEMP TRIGGER no_use BEFORE INSERT ON main.documents WHEN "
       "NEW.path = '/d/T.pdf' BEGIN SELECT RAISE(ABORT, 'no use'); END;"},
      {"second document",
       "CREATE TEMP TRIGGER no_use BEFORE INSERT ON main.documents WHEN "
       "NEW.path = '/n/second.txt' BEGIN SELECT RAISE(ABORT, 'no use'); END;"},
  };
  for (const Case& c : cases) {
    // Triggers are per connection; this one makes the ledger's own connection see it.
    std::string trigger = c.trigger;
    trigger.replace(trigger.find("TEMP "), 5, "");
    trigger.replace(trigger.find("main."), 5, "");
    db.exec(trigger);
    NotificationCounter notified;
    ::testing::internal::CaptureStderr();
    auto id = ledger.record(optimizeEvent(
        Actor::aiApp, {{"/n/T_zelk.txt", {}, {}, {}, {}}, {"/n/second.txt", {}, {}, {}, {}}}));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(id) << c.name;
    EXPECT_EQ(notified.count(), 0) << c.name;
    EXPECT_EQ(err, "zelk ledger: insert failed: no use\n") << c.name;
    EXPECT_EQ(db.value("SELECT COUNT(*) FROM events"), "1") << c.name;
    EXPECT_EQ(db.value("SELECT COUNT(*) FROM documents"), "1") << c.name;
    db.exec("DROP TRIGGER no_use");
  }
  // The connection is usable again afterwards.
  EXPECT_TRUE(ledger.record(optimizeEvent(Actor::aiApp, {{"/n/T_zelk.txt", {}, {}, {}, {}}})));
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM events"), "3");
}

// ---- Questions from the history ----------------------------------------------------------------

TEST_F(LedgerTest, QuotesInsidePathsAndClientNames) {
  const std::string copy = "/Users/a/O'Brien's Notes/it''s \"final\"_zelk.txt";
  const std::string original = "/Users/a/O'Brien's Docs/Report.pdf";
  const std::string client = "Bob's \"AI\" app";
  ActivityLedger ledger(path());
  ledger.setClient(ActivityLedger::Client{client, "1", "mcp"});

  ActivityLedger::Event run;
  run.kind = Kind::watchRun;
  run.actor = Actor::zelk;
  run.detail = {{"copy_path", copy}};
  run.documents = {{original, {}, "PDF", 10, 5}};
  ASSERT_TRUE(ledger.record(run));
  ASSERT_TRUE(ledger.record(optimizeEvent(Actor::aiApp, {{copy, {}, {}, {}, {}}})));

  Inspector db(path());
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM events WHERE kind = 'use' AND client_name = " +
                     sqlText(client)),
            "1");
  EXPECT_EQ(ledger.readByClient(client, {copy, original, "/not/read.txt"}),
            (std::set<std::string>{copy}));
  EXPECT_TRUE(ledger.readByClient("Bob", {copy}).empty());
  EXPECT_TRUE(ledger.readByClient("x' OR '1'='1", {copy, original}).empty());
}

TEST_F(LedgerTest, ReadByClientCountsOnlyTheAppsReads) {
  ActivityLedger ledger(path());
  ledger.setClient(claude());
  auto record = [&](Kind kind, Actor actor, const std::string& file) {
    ActivityLedger::Event event;
    event.kind = kind;
    event.actor = actor;
    event.documents = {{file, {}, {}, {}, {}}};
    ASSERT_TRUE(ledger.record(event));
  };
  record(Kind::optimize, Actor::aiApp, "/a/optimized.txt");
  record(Kind::fuse, Actor::aiApp, "/a/fused.txt");
  record(Kind::query, Actor::aiApp, "/a/queried.txt");
  record(Kind::query, Actor::aiApp, "/a/queried.txt");
  record(Kind::tableQuestion, Actor::aiApp, "/a/table.csv");
  record(Kind::optimize, Actor::you, "/a/by-user.txt");
  ledger.setClient(ActivityLedger::Client{"cursor", std::nullopt, "mcp"});
  record(Kind::optimize, Actor::aiApp, "/a/other-app.txt");

  std::vector<std::string> all = {"/a/optimized.txt", "/a/fused.txt",   "/a/queried.txt",
                                  "/a/table.csv",     "/a/by-user.txt", "/a/other-app.txt",
                                  "/a/never.txt"};
  EXPECT_EQ(ledger.readByClient("claude-ai", all),
            (std::set<std::string>{"/a/optimized.txt", "/a/fused.txt", "/a/queried.txt"}));
  EXPECT_EQ(ledger.readByClient("cursor", all), (std::set<std::string>{"/a/other-app.txt"}));
  EXPECT_TRUE(ledger.readByClient("claude-ai", {}).empty());

  // A long list is answered in full.
  std::vector<std::string> many;
  for (int i = 0; i < 1200; ++i) many.push_back("/many/" + std::to_string(i));
  many.push_back("/a/fused.txt");
  EXPECT_EQ(ledger.readByClient("claude-ai", many), (std::set<std::string>{"/a/fused.txt"}));
}

class ProposalTest : public LedgerTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ledger_.pendingProposals(14).empty());  // creates the schema
    db_.emplace(path());
  }
  // A suggestion row `daysAgo` days old, as this program or the desktop app writes it.
  void suggestion(const std::string& id, double daysAgo, const std::string& detail,
                  const char* client = "claude-ai") {
    db_->exec("INSERT INTO events(id, ts, actor, client_name, kind, detail) VALUES(" + sqlText(id) +
              ", " + std::to_string(platform::now() - daysAgo * 86400) + ", 'ai_app', " +
              (client ? sqlText(client) : "NULL") + ", 'suggestion', " + sqlText(detail) + ")");
  }
  std::vector<std::string> pendingIDs(double days = 14) {
    std::vector<std::string> ids;
    for (const auto& p : ledger_.pendingProposals(days)) ids.push_back(p.id);
    return ids;
  }
  ActivityLedger ledger_{path()};
  std::optional<Inspector> db_;
};

TEST_F(ProposalTest, ADecisionOrTheWindowHidesAProposal) {
  suggestion("e1", 3, R"({"suggestion":"propose_base","proposal_id":"P1","name":"Taxes"})");
  suggestion("e2", 1, R"({"proposal_id":"P1","outcome":"approved"})", nullptr);
  suggestion("e3", 20, R"({"suggestion":"propose_base","proposal_id":"P2","name":"Old"})");
  EXPECT_TRUE(ledger_.pendingProposals(14).empty());
  EXPECT_EQ(pendingIDs(30), (std::vector<std::string>{"P2"}));
}

TEST_F(ProposalTest, OnlyALaterDecisionCounts) {
  suggestion("e1", 5, R"({"proposal_id":"P1","outcome":null})", nullptr);
  suggestion("e2", 3, R"({"suggestion":"propose_base","proposal_id":"P1","name":"Again"})");
  suggestion("e3", 2, R"({"suggestion":"propose_base","proposal_id":"P3","name":"Newer"})");
  EXPECT_EQ(pendingIDs(), (std::vector<std::string>{"P3", "P1"}));
}

TEST_F(ProposalTest, ProposalFieldsAndRowsThatAreNotProposals) {
  double before = platform::now();
  suggestion("e1", 1,
             R"({"suggestion":"propose_base","proposal_id":"P1","name":"Client work",)"
             R"("description":"Contracts","paths":["/w/a","/w/b"],"reason":"asked"})");
  suggestion("e2", 2, R"({"suggestion":"propose_base","proposal_id":"P2","paths":["/w/a",3]})",
             nullptr);
  suggestion("e3", 1.5, R"({"suggestion":"other","proposal_id":"P9"})");
  suggestion("e4", 1.5, R"({"suggestion":"propose_base","proposal_id":7})");
  suggestion("e5", 1.5, "not json");
  suggestion("e6", 1.5, R"(["suggestion"])");
  auto pending = ledger_.pendingProposals(14);
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].id, "P1");
  EXPECT_NEAR(pending[0].at, before - 86400, 5);
  EXPECT_EQ(pending[0].client, "claude-ai");
  EXPECT_EQ(pending[0].name, "Client work");
  EXPECT_EQ(pending[0].description, "Contracts");
  EXPECT_EQ(pending[0].paths, (std::vector<std::string>{"/w/a", "/w/b"}));
  EXPECT_EQ(pending[0].reason, "asked");
  EXPECT_EQ(pending[1].id, "P2");
  EXPECT_EQ(pending[1].client, std::nullopt);
  EXPECT_EQ(pending[1].name, "");
  EXPECT_EQ(pending[1].description, std::nullopt);
  EXPECT_TRUE(pending[1].paths.empty());
  EXPECT_EQ(pending[1].reason, std::nullopt);
}

TEST_F(ProposalTest, ASuggestionRecordedHereIsPending) {
  ActivityLedger::Event event;
  event.kind = Kind::suggestion;
  event.actor = Actor::aiApp;
  event.tool = "propose_base";
  event.detail = {{"suggestion", "propose_base"}, {"proposal_id", "P7"}, {"name", "Receipts"}};
  ledger_.setClient(claude());
  ASSERT_TRUE(ledger_.record(event));
  auto pending = ledger_.pendingProposals(14);
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].name, "Receipts");
  EXPECT_EQ(pending[0].client, "claude-ai");
  EXPECT_NEAR(pending[0].at, platform::now(), 5);
}

// ---- Errors, ids, names ------------------------------------------------------------------------

TEST_F(LedgerTest, RecordErrorKeepsTheFirst500Characters) {
  ActivityLedger ledger(path());
  ledger.setClient(claude());
  auto repeat = [](const std::string& unit, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += unit;
    return out;
  };
  struct Case {
    std::string message;
    std::string stored;
  };
  const Case cases[] = {
      {"File not found: /x/y.pdf", "File not found: /x/y.pdf"},
      {std::string(500, 'x'), std::string(500, 'x')},
      {std::string(501, 'x'), std::string(500, 'x')},
      // e + combining acute accent is one character of three bytes.
      {repeat("e\xCC\x81", 600), repeat("e\xCC\x81", 500)},
      // CR LF is one character.
      {"a\r\nb" + std::string(700, 'x'), "a\r\nb" + std::string(497, 'x')},
  };
  Inspector db(path());
  for (const Case& c : cases) {
    auto id = ledger.recordError("optimize_file", c.message);
    ASSERT_TRUE(id);
    EXPECT_EQ(db.rows("SELECT kind, actor, tool, client_name, earned FROM events WHERE id = " +
                      sqlText(*id)),
              (std::vector<std::vector<std::string>>{
                  {"tool_error", "ai_app", "optimize_file", "claude-ai", "0"}}));
    JSONValue detail =
        JSONValue::parse(db.value("SELECT detail FROM events WHERE id = " + sqlText(*id)));
    ASSERT_TRUE(detail.isObject());
    EXPECT_EQ(detail.object()->size(), 1u);
    ASSERT_TRUE(detail.find("message") && detail.find("message")->isString());
    EXPECT_EQ(*detail.find("message")->string(), c.stored);
  }
  EXPECT_EQ(db.value("SELECT detail FROM events ORDER BY ts LIMIT 1"),
            R"({"message":"File not found: \/x\/y.pdf"})");
}

TEST(ActivityLedgerNames, DocIDIsTheFirst8BytesOfTheSha256) {
  EXPECT_EQ(ActivityLedger::docID("hello"), "2cf24dba5fb0a30e");
  EXPECT_EQ(ActivityLedger::docID(""), "e3b0c44298fc1c14");
  EXPECT_EQ(ActivityLedger::docID("h\xC3\xA9llo"), ActivityLedger::docID("h\xC3\xA9llo"));
  EXPECT_NE(ActivityLedger::docID("h\xC3\xA9llo"), ActivityLedger::docID("he\xCC\x81llo"));
}

TEST(ActivityLedgerNames, RawValuesOfKindsAndActors) {
  const std::pair<Kind, const char*> kinds[] = {
      {Kind::optimize, "optimize"},
      {Kind::fuse, "fuse"},
      {Kind::query, "query"},
      {Kind::insert, "insert"},
      {Kind::use, "use"},
      {Kind::baseChange, "base_change"},
      {Kind::suggestion, "suggestion"},
      {Kind::review, "review"},
      {Kind::watchRun, "watch_run"},
      {Kind::skip, "skip"},
      {Kind::toolError, "tool_error"},
      {Kind::sensitivityOverride, "sensitivity_override"},
      {Kind::list, "list"},
      {Kind::indexRun, "index_run"},
      {Kind::tableQuestion, "table_question"},
  };
  for (const auto& [kind, raw] : kinds) {
    EXPECT_EQ(ActivityLedger::toString(kind), raw);
    EXPECT_EQ(ActivityLedger::kindFromString(raw), kind);
  }
  EXPECT_EQ(ActivityLedger::toString(Actor::aiApp), "ai_app");
  EXPECT_EQ(ActivityLedger::toString(Actor::you), "you");
  EXPECT_EQ(ActivityLedger::toString(Actor::zelk), "zelk");
  EXPECT_EQ(ActivityLedger::actorFromString("you"), Actor::you);
  EXPECT_EQ(ActivityLedger::kindFromString("baseChange"), std::nullopt);
  EXPECT_EQ(ActivityLedger::actorFromString("aiApp"), std::nullopt);
}

TEST_F(LedgerTest, DefaultPathFollowsTheEnvironment) {
  EXPECT_EQ(ActivityLedger::defaultPath(), home_.supportDir() + "/activity.sqlite");
  ScopedEnv ledger("ZELK_LEDGER_PATH", home_.dir().file("elsewhere/x.sqlite"));
  EXPECT_EQ(ActivityLedger::defaultPath(), home_.dir().file("elsewhere/x.sqlite"));
}

TEST_F(LedgerTest, SharedInstanceUsesZelkLedgerPath) {
  ScopedEnv env("ZELK_LEDGER_PATH", home_.dir().file("env/shared.sqlite"));
  ActivityLedger& shared = ActivityLedger::shared();
  EXPECT_EQ(&shared, &ActivityLedger::shared());
  if (shared.url() != home_.dir().file("env/shared.sqlite")) {
    GTEST_SKIP() << "the shared ledger was made earlier in this process";
  }
  ASSERT_TRUE(shared.recordError("unknown", "Unknown tool"));
  Inspector db(shared.url());
  EXPECT_EQ(db.value("SELECT detail FROM events"), R"({"message":"Unknown tool"})");
}

// ---- Notifications -----------------------------------------------------------------------------

// Binds the system-wide notification socket, as the desktop app would.
class SystemListener {
 public:
  SystemListener() {
    std::string path = platform::Notifier::systemSocketPath();
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~SystemListener() {
    if (fd_ >= 0) close(fd_);
    unlink(platform::Notifier::systemSocketPath().c_str());
  }
  bool ok() const { return fd_ >= 0; }
  std::vector<std::string> received() {
    std::vector<std::string> names;
    char buf[512];
    ssize_t n;
    while ((n = recv(fd_, buf, sizeof(buf), 0)) > 0)
      names.emplace_back(buf, static_cast<size_t>(n));
    return names;
  }

 private:
  int fd_ = -1;
};

TEST_F(LedgerTest, EveryStoredEventPostsBothNotifications) {
  SystemListener listener;
  ASSERT_TRUE(listener.ok());
  ActivityLedger ledger(path());
  NotificationCounter notified;
  ASSERT_TRUE(ledger.record(optimizeEvent(Actor::aiApp)));
  ASSERT_TRUE(ledger.recordError("find_text", "Missing required argument: base_name"));
  EXPECT_EQ(notified.count(), 2);
  EXPECT_EQ(listener.received(), (std::vector<std::string>{"app.zelk.desktop.ledger-changed",
                                                           "app.zelk.desktop.ledger-changed"}));
}

// ---- A database that can't be used -------------------------------------------------------------

TEST_F(LedgerTest, UnusableDatabaseGivesNothingAndSaysWhy) {
  auto repeat = [](const std::string& unit, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += unit;
    return out;
  };
  std::string dir = home_.dir().path();
  ASSERT_TRUE(platform::writeFileAtomically(dir + "/plain-file", "x"));
  ASSERT_TRUE(platform::writeFileAtomically(dir + "/garbage.sqlite",
                                            std::string(8192, 'G') + "not a database"));
  std::filesystem::create_directories(dir + "/a-folder.sqlite");
  struct Case {
    std::string path;
    std::string log;
  };
  const Case cases[] = {
      {dir + "/a-folder.sqlite", "zelk ledger: could not open " + dir + "/a-folder.sqlite\n"},
      {dir + "/plain-file/under/ledger.sqlite",
       "zelk ledger: could not open " + dir + "/plain-file/under/ledger.sqlite\n"},
      // The two pragmas are only logged; the schema script then gives up.
      {dir + "/garbage.sqlite", repeat("zelk ledger: exec failed: file is not a database\n", 3)},
  };
  SystemListener listener;
  ASSERT_TRUE(listener.ok());
  for (const Case& c : cases) {
    ActivityLedger ledger(c.path);
    ledger.setClient(claude());
    NotificationCounter notified;
    ::testing::internal::CaptureStderr();
    auto id = ledger.record(optimizeEvent(Actor::aiApp, {{"/a.txt", {}, {}, {}, {}}}));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(id) << c.path;
    EXPECT_EQ(err, c.log) << c.path;

    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(ledger.recordError("optimize_file", "boom"));
    EXPECT_TRUE(ledger.readByClient("claude-ai", {"/a.txt"}).empty());
    EXPECT_TRUE(ledger.pendingProposals(14).empty());
    err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, ::testing::HasSubstr("zelk ledger: ")) << c.path;
    EXPECT_EQ(notified.count(), 0) << c.path;
  }
  EXPECT_TRUE(listener.received().empty());
}

TEST_F(LedgerTest, OpeningIsTriedAgainAtTheNextUse) {
  std::string blocked = home_.dir().file("later.sqlite");
  std::filesystem::create_directories(blocked);
  ActivityLedger ledger(blocked);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(ledger.record(optimizeEvent(Actor::aiApp)));
  ::testing::internal::GetCapturedStderr();
  std::filesystem::remove(blocked);
  EXPECT_TRUE(ledger.record(optimizeEvent(Actor::aiApp)));
  Inspector db(blocked);
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM events"), "1");
}

// ---- Several processes -------------------------------------------------------------------------

// Starts a program with stdout and stderr sent to files; returns its pid, or -1.
pid_t spawn(const std::vector<std::string>& argv, const std::string& outFile,
            const std::string& errFile, const std::string& inFile = "/dev/null") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inFile.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int waitExit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST_F(LedgerTest, EightProcessesWritingAtOnceLoseNothing) {
  constexpr int kProcesses = 8;
  constexpr int kEvents = 200;
  ScopedEnv env("ZELK_LEDGER_PATH", path());
  std::string go = home_.dir().file("go");
  std::vector<pid_t> pids;
  for (int i = 0; i < kProcesses; ++i) {
    std::string n = std::to_string(i);
    pid_t pid = spawn({LEDGER_WRITER, std::to_string(kEvents), go}, home_.dir().file("out" + n),
                      home_.dir().file("err" + n));
    ASSERT_GT(pid, 0);
    pids.push_back(pid);
  }
  ASSERT_TRUE(platform::writeFileAtomically(go, ""));
  for (int i = 0; i < kProcesses; ++i) {
    EXPECT_EQ(waitExit(pids[i]), 0) << "writer " << i;
    std::string err = readFile(home_.dir().file("err" + std::to_string(i)));
    size_t locked = 0;
    for (size_t at = err.find("database is locked"); at != std::string::npos;
         at = err.find("database is locked", at + 1)) {
      ++locked;
    }
    EXPECT_EQ(locked, 0u) << "writer " << i;
    EXPECT_EQ(err.substr(0, 300), "") << "writer " << i;
  }

  Inspector db(path());
  EXPECT_EQ(db.value("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM events"), "1600");
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM documents"), "3200");
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM events e WHERE (SELECT COUNT(*) FROM documents d "
                     "WHERE d.event_id = e.id) != 2"),
            "0");
  EXPECT_EQ(db.value("SELECT COUNT(DISTINCT client_name) FROM events"), "8");
  EXPECT_EQ(db.value("SELECT MIN(c) || ' ' || MAX(c) FROM (SELECT COUNT(*) AS c FROM events "
                     "GROUP BY client_name)"),
            "200 200");
  // Within one process the events are stored in call order.
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM events a JOIN events b ON a.client_name = "
                     "b.client_name AND json_extract(a.detail, '$.n') < json_extract(b.detail, "
                     "'$.n') AND a.ts > b.ts"),
            "0");
}

TEST_F(LedgerTest, AWriterKilledMidRunLeavesASoundDatabase) {
  ScopedEnv env("ZELK_LEDGER_PATH", path());
  long long previous = 0;
  for (int round = 0; round < 3; ++round) {
    pid_t pid = spawn({LEDGER_WRITER, "0"}, "/dev/null", home_.dir().file("err"));
    ASSERT_GT(pid, 0);
    long long target = previous + 50 + 37 * round;
    long long seen = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (seen < target && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      if (!std::filesystem::exists(path())) continue;
      Inspector probe(path());
      if (probe.ok()) {
        auto rows = probe.rows("SELECT COUNT(*) FROM sqlite_master WHERE name = 'events'");
        if (!rows.empty() && rows[0][0] == "1") {
          seen = std::stoll(probe.value("SELECT COUNT(*) FROM events"));
        }
      }
    }
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    EXPECT_EQ(waitExit(pid), 128 + SIGKILL);
    ASSERT_GE(seen, target) << "the writer made too little progress";

    Inspector db(path());
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(db.value("PRAGMA integrity_check"), "ok") << "round " << round;
    EXPECT_EQ(db.value("SELECT COUNT(*) FROM documents WHERE event_id NOT IN (SELECT id FROM "
                       "events)"),
              "0");
    EXPECT_EQ(db.value("SELECT COUNT(*) FROM events e WHERE (SELECT COUNT(*) FROM documents d "
                       "WHERE d.event_id = e.id) != 2"),
              "0");
    long long count = std::stoll(db.value("SELECT COUNT(*) FROM events"));
    EXPECT_GE(count, seen);
    previous = count;
  }
  ActivityLedger after(path());
  EXPECT_TRUE(after.record(optimizeEvent(Actor::aiApp)));
}

// ---- Through the program -----------------------------------------------------------------------

struct SessionResult {
  int status = -1;
  std::string out;
  std::string err;
};

SessionResult runSession(const TempDir& dir, const std::string& input) {
  std::string in = dir.file("session-in"), out = dir.file("session-out"),
              err = dir.file("session-err");
  EXPECT_TRUE(platform::writeFileAtomically(in, input));
  pid_t pid = spawn({ZELK_BINARY}, out, err, in);
  SessionResult result;
  if (pid <= 0) return result;
  result.status = waitExit(pid);
  result.out = readFile(out);
  result.err = readFile(err);
  return result;
}

constexpr const char* kSession =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05",)"
    R"("clientInfo":{"name":"claude-ai","version":"0.9.2"}}})"
    "\n"
    R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"no_such_tool"}})"
    "\n"
    R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"optimize_file"}})"
    "\n";

// The responses of a session, by line.
std::vector<JSONValue> responses(const std::string& out) {
  std::vector<JSONValue> values;
  std::stringstream lines(out);
  for (std::string line; std::getline(lines, line);) values.push_back(JSONValue::parse(line));
  return values;
}

// The first content text of a tool result and its isError flag.
std::pair<std::string, bool> toolResult(const JSONValue& response) {
  const JSONValue* result = response.find("result");
  if (!result) return {"<no result>", false};
  const JSONValue* content = result->find("content");
  const JSONValue* isError = result->find("isError");
  if (!content || !content->isArray() || content->array()->empty() || !isError ||
      !isError->isBool()) {
    return {"<malformed>", false};
  }
  const JSONValue* text = (*content->array())[0].find("text");
  return {text && text->isString() ? *text->string() : "<no text>", *isError->boolean()};
}

TEST_F(LedgerTest, TheSessionRecordsItsClientAndToolErrors) {
  ScopedEnv env("ZELK_LEDGER_PATH", path());
  SessionResult run = runSession(home_.dir(), kSession);
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<JSONValue> answers = responses(run.out);
  ASSERT_EQ(answers.size(), 3u) << run.out;
  EXPECT_EQ(toolResult(answers[1]),
            std::make_pair(std::string("Unknown tool: no_such_tool"), true));
  auto [message, failed] = toolResult(answers[2]);
  ASSERT_TRUE(failed) << message;  // optimize_file without a path always fails

  Inspector db(path());
  using Rows = std::vector<std::vector<std::string>>;
  EXPECT_EQ(db.rows("SELECT kind, actor, tool, client_name, client_version, client_kind, detail "
                    "FROM events ORDER BY ts, rowid"),
            (Rows{{"tool_error", "ai_app", "unknown", "claude-ai", "0.9.2", "mcp",
                   R"({"message":"Unknown tool"})"},
                  {"tool_error", "ai_app", "optimize_file", "claude-ai", "0.9.2", "mcp",
                   JSONValue(JSONObject{{"message", message}}).encode()}}));
}

TEST_F(LedgerTest, TheSessionRecordsAnUnnamedClientAsUnknown) {
  ScopedEnv env("ZELK_LEDGER_PATH", path());
  SessionResult run = runSession(
      home_.dir(),
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"clientInfo":{"version":"2"}}})"
      "\n"
      R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"nope","arguments":3}})"
      "\n");
  ASSERT_EQ(run.status, 0) << run.err;
  Inspector db(path());
  EXPECT_EQ(db.rows("SELECT client_name, client_version, client_kind, tool FROM events"),
            (std::vector<std::vector<std::string>>{{"unknown", "NULL", "mcp", "unknown"}}));
}

TEST_F(LedgerTest, TheToolCallAnswersNormallyWithoutALedger) {
  std::string blocked = home_.dir().file("blocked.sqlite");
  std::filesystem::create_directories(blocked);
  ScopedEnv env("ZELK_LEDGER_PATH", blocked);
  SessionResult run = runSession(home_.dir(), kSession);
  EXPECT_EQ(run.status, 0);
  std::vector<JSONValue> answers = responses(run.out);
  ASSERT_EQ(answers.size(), 3u) << run.out;
  EXPECT_EQ(toolResult(answers[1]),
            std::make_pair(std::string("Unknown tool: no_such_tool"), true));
  EXPECT_TRUE(toolResult(answers[2]).second);
  // One line for each of the two failed events, and nothing else from the ledger.
  std::string line = "zelk ledger: could not open " + blocked + "\n";
  EXPECT_EQ(run.err.find(line) != std::string::npos, true) << run.err;
  size_t ledgerLines = 0;
  for (size_t at = run.err.find("zelk ledger: "); at != std::string::npos;
       at = run.err.find("zelk ledger: ", at + 1)) {
    ++ledgerLines;
  }
  EXPECT_EQ(ledgerLines, 2u) << run.err;
  EXPECT_TRUE(std::filesystem::is_directory(blocked));
}

}  // namespace
}  // namespace zelk
