// The activity ledger: the SQLite record of every tool call, shared with the desktop app and with
// every other process of this program. It never makes a caller fail: a database that can't be
// opened, written or queried gives no id, an empty set or an empty list, and one "zelk ledger: "
// line on standard error.
//
// Thread safety: every member may be called from any thread. All database work runs on the
// ledger's one serial queue ("zelk.activity-ledger") and callers wait for it, so one process's
// events are stored in call order. The current client is guarded by its own mutex. Between
// processes, write-ahead logging and "BEGIN IMMEDIATE" transactions keep writers apart.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial_queue.h"
#include "protocol/json_value.h"

struct sqlite3;

namespace zelk {

class ActivityLedger {
 public:
  struct Client {
    std::string name;
    std::optional<std::string> version;
    std::string kind;  // "mcp" for the stdio session
  };

  enum class Kind {
    optimize,
    fuse,
    query,
    insert,
    use,
    baseChange,
    suggestion,
    review,
    watchRun,
    skip,
    toolError,
    sensitivityOverride,
    list,
    indexRun,
    tableQuestion,
  };

  enum class Actor { aiApp, you, zelk };

  struct Document {
    std::optional<std::string> path;
    std::optional<std::string> docID;
    std::optional<std::string> format;
    std::optional<long long> tokensBefore;
    std::optional<long long> tokensAfter;
  };

  struct Query {
    std::string text;
    std::optional<std::string> base;
    std::string matchQuality;
    bool floorApplied = false;
    long long excerptTokens = 0;
    long long budgetTokens = 0;
    bool budgetDerived = false;
    long long searched = 0;
    long long total = 0;
    JSONArray sources;  // objects
    JSONArray failed;   // objects
  };

  struct Event {
    Kind kind = Kind::optimize;
    Actor actor = Actor::aiApp;
    std::optional<std::string> tool;
    std::vector<Document> documents;
    std::optional<long long> tokensBefore;
    std::optional<long long> tokensAfter;
    std::optional<long long> numbersIn;
    std::optional<std::vector<std::string>> numbersDropped;
    std::optional<long long> ocrPages;
    std::optional<Query> query;
    std::vector<std::string> notices;
    JSONObject detail;
  };

  // A base proposal still waiting for the user. Identified by id.
  struct Proposal {
    std::string id;
    double at = 0;  // seconds since 1970
    std::optional<std::string> client;
    std::string name;
    std::optional<std::string> description;
    std::vector<std::string> paths;
    std::optional<std::string> reason;
  };

  // The in-process notification posted after every stored event.
  static constexpr const char* didRecord = "zelk.activityLedger.didRecord";
  // The suffix of the system-wide notification (after the desktop app's bundle identifier).
  static constexpr const char* kChangedSuffix = ".ledger-changed";

  // The one instance of the process, made on first use at defaultPath() as it is then.
  static ActivityLedger& shared();
  // ZELK_LEDGER_PATH when set, otherwise "activity.sqlite" in the support directory.
  static std::string defaultPath();

  // A ledger on the database file at path; the connection opens on first use.
  explicit ActivityLedger(std::string path);
  ~ActivityLedger();
  ActivityLedger(const ActivityLedger&) = delete;
  ActivityLedger& operator=(const ActivityLedger&) = delete;

  const std::string& url() const { return url_; }

  // The AI app currently served; written into the client columns of its events.
  void setClient(std::optional<Client> client);
  std::optional<Client> client() const;

  // Stores the event (with its documents and any copy-use event) in one transaction and posts
  // the two notifications. Returns the new event's id, or nullopt when nothing was written.
  std::optional<std::string> record(const Event& event);
  // Records a tool error by the AI app: tool, and detail {"message": its first 500 characters}.
  std::optional<std::string> recordError(const std::string& tool, const std::string& message);

  // The paths among `paths` that the named AI app has read (optimize, fuse or query events).
  std::set<std::string> readByClient(const std::string& client,
                                     const std::vector<std::string>& paths);
  // Base proposals of the last `days` days that no later decision settled, newest first.
  std::vector<Proposal> pendingProposals(double days);

  // The first 8 bytes of the SHA-256 digest of text's UTF-8 bytes, as 16 lower-case hex digits.
  static std::string docID(std::string_view text);

  static std::string toString(Kind kind);
  static std::string toString(Actor actor);
  static std::optional<Kind> kindFromString(std::string_view raw);
  static std::optional<Actor> actorFromString(std::string_view raw);

 private:
  struct Connection;

  // Everything below runs on queue_ only.
  bool openIfNeeded();
  std::optional<std::string> write(const Event& event, const std::optional<Client>& client);
  bool insertEvent(const std::string& id, double ts, const Event& event,
                   const std::optional<Client>& client);
  bool insertDocuments(const std::string& id, const std::vector<Document>& documents);
  bool insertCopyUses(const Event& event, const std::optional<Client>& client, double ts);
  bool exec(const char* sql);
  void rollback();

  void postChanged() const;

  const std::string url_;
  mutable std::mutex clientMutex_;
  std::optional<Client> client_;    // guarded by clientMutex_
  std::unique_ptr<Connection> db_;  // touched on queue_ only
  platform::SerialQueue queue_;     // last: its worker stops before the connection goes
};

}  // namespace zelk
