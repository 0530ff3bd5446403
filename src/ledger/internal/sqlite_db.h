// Thin helpers over the SQLite C API for the activity ledger: prepared statements that finalize
// themselves, result rows as plain values, quoting of literals, and the ledger's log line.
// Not thread-safe by themselves: the ledger uses them on its serial queue only.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace zelk::ledger_internal {

// Writes "zelk ledger: " + message as one line on standard error (line breaks become spaces).
void log(std::string_view message);

// The database's last error message, or "no database" without a connection.
std::string errorMessage(sqlite3* db);

// text inside single quotes, every single quote doubled: a safe SQL string literal.
std::string quoted(std::string_view text);

// A number as decimal text without exponent, shortest form that reads back the same.
std::string decimal(double value);

// One column value of a result row; NULL and blobs are absent (monostate).
using Value = std::variant<std::monostate, long long, double, std::string>;
using Row = std::vector<Value>;

const std::string* text(const Value& value);
// An integer value, a real truncated toward zero (clamped to the integer range), else nullopt.
std::optional<long long> integer(const Value& value);
// A real or an integer as a double, else nullopt.
std::optional<double> real(const Value& value);

// A prepared statement, finalized when it goes. Bind indexes start at 1; texts are copied.
class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  void bind(int index, const std::optional<std::string>& value);
  void bind(int index, const std::optional<long long>& value);
  void bind(int index, double value);
  // Steps to the end; true when it finished with done.
  bool run();
  // Steps through every row; false when a step failed (rows read so far are kept).
  bool readAll(std::vector<Row>& out);
  // The error message of a failed preparation or step.
  const std::string& error() const { return error_; }

 private:
  bool finish(int rc);

  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  std::string error_;
};

}  // namespace zelk::ledger_internal
