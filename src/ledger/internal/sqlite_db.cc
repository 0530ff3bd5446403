#include "ledger/internal/sqlite_db.h"

#include <sqlite3.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <limits>

namespace zelk::ledger_internal {

void log(std::string_view message) {
  std::string line = "zelk ledger: ";
  for (char c : message) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
  line.push_back('\n');
  // One write, so that lines of concurrent writers never interleave.
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(2, line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

std::string errorMessage(sqlite3* db) { return db ? sqlite3_errmsg(db) : "no database"; }

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('\'');
  for (char c : text) {
    if (c == '\'') out.push_back('\'');
    out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

std::string decimal(double value) {
  if (!std::isfinite(value)) return "0";
  char buf[512];
  auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), value, std::chars_format::fixed);
  if (ec != std::errc()) return "0";
  return std::string(buf, end);
}

const std::string* text(const Value& value) { return std::get_if<std::string>(&value); }

std::optional<long long> integer(const Value& value) {
  if (const long long* i = std::get_if<long long>(&value)) return *i;
  if (const double* d = std::get_if<double>(&value)) {
    if (std::isnan(*d)) return std::nullopt;
    constexpr double kMax = 9223372036854774784.0;  // largest double below 2^63
    if (*d >= kMax) return std::numeric_limits<long long>::max();
    if (*d <= -kMax) return std::numeric_limits<long long>::min();
    return static_cast<long long>(std::trunc(*d));
  }
  return std::nullopt;
}

std::optional<double> real(const Value& value) {
  if (const double* d = std::get_if<double>(&value)) return *d;
  if (const long long* i = std::get_if<long long>(&value)) return static_cast<double>(*i);
  return std::nullopt;
}

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
  if (!db_) {
    error_ = errorMessage(nullptr);
    return;
  }
  if (sql.size() > static_cast<size_t>(std::numeric_limits<int>::max()) ||
      sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
          SQLITE_OK) {
    error_ = errorMessage(db_);
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }
}

bool Statement::finish(int rc) {
  if (rc != SQLITE_DONE) error_ = errorMessage(db_);
  sqlite3_reset(stmt_);
  return rc == SQLITE_DONE;
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

void Statement::bind(int index, const std::optional<std::string>& value) {
  if (!stmt_) return;
  if (value) {
    sqlite3_bind_text64(stmt_, index, value->data(), value->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  } else {
    sqlite3_bind_null(stmt_, index);
  }
}

void Statement::bind(int index, const std::optional<long long>& value) {
  if (!stmt_) return;
  if (value)
    sqlite3_bind_int64(stmt_, index, *value);
  else
    sqlite3_bind_null(stmt_, index);
}

void Statement::bind(int index, double value) {
  if (stmt_) sqlite3_bind_double(stmt_, index, value);
}

bool Statement::run() {
  if (!stmt_) return false;
  int rc;
  while ((rc = sqlite3_step(stmt_)) == SQLITE_ROW) {
  }
  return finish(rc);
}

bool Statement::readAll(std::vector<Row>& out) {
  if (!stmt_) return false;
  int rc;
  while ((rc = sqlite3_step(stmt_)) == SQLITE_ROW) {
    int columns = sqlite3_column_count(stmt_);
    Row row;
    row.reserve(static_cast<size_t>(columns));
    for (int c = 0; c < columns; ++c) {
      switch (sqlite3_column_type(stmt_, c)) {
        case SQLITE_INTEGER:
          row.emplace_back(sqlite3_column_int64(stmt_, c));
          break;
        case SQLITE_FLOAT:
          row.emplace_back(sqlite3_column_double(stmt_, c));
          break;
        case SQLITE_TEXT: {
          const unsigned char* t = sqlite3_column_text(stmt_, c);
          int bytes = sqlite3_column_bytes(stmt_, c);
          row.emplace_back(
              std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(bytes)));
          break;
        }
        default:
          row.emplace_back(std::monostate{});
      }
    }
    out.push_back(std::move(row));
  }
  return finish(rc);
}

}  // namespace zelk::ledger_internal
