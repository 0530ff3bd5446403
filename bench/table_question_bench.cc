// table_question against DuckDB on one generated sales CSV (10 million rows, about 1 GB): a row
// count, the sum of amount by month and the median amount of one region. Each run is a fresh
// process; wall time and peak RSS come from wait4. table_question is timed cold (one call that
// lays the table out and then answers) and warm (the answer after a layout call in the same
// process); DuckDB with one thread and with its default. Both sides' figures are compared.
//
// Usage: table_question_bench <zelk-mcp> <duckdb script> <work dir> [rows]
// bench/table_question_bench.sh installs DuckDB's Node package and runs this; the CSV is written
// into the work directory and removed at the end.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "protocol/json_value.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using zelk::JSONArray;
using zelk::JSONObject;
using zelk::JSONValue;

struct Lcg {
  uint64_t state = 0x2545F4914F6CDD1Dull;
  uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  }
};

// Days since 1970-01-01 to year, month, day.
void civil(int64_t z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yy + (m <= 2));
}

void writeCSV(const std::string& path, long rows) {
  static const char* regions[] = {"North", "South", "East", "West", "Central"};
  static const char* notes[] = {
      "delivered on time and the customer was satisfied with the packaging too",
      "back order placed with the supplier and the customer was told by phone",
      "paid by bank transfer after the second reminder went out last week",
      "\"late delivery, customer called twice about it and asked for a credit\"",
      "repeat order from a long-standing account in the usual quantities again",
  };
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::setvbuf(f, nullptr, _IOFBF, 1 << 20);
  std::fputs("date,region,product,quantity,amount,note\n", f);
  Lcg r;
  const int64_t start = 18262;  // 2020-01-01
  for (long i = 0; i < rows; ++i) {
    int y;
    unsigned m, d;
    civil(start + r.next() % 1827, y, m, d);
    uint32_t cents = r.next() % 500000;
    std::fprintf(f, "%04d-%02u-%02u,%s,P-%04u,%u,%u.%02u,%s\n", y, m, d, regions[r.next() % 5],
                 r.next() % 10000, r.next() % 99 + 1, cents / 100, cents % 100,
                 notes[r.next() % 5]);
  }
  std::fclose(f);
}

struct Run {
  double seconds = 0;      // whole process
  double warmSeconds = 0;  // the answer after the layout, when measured
  long peakKiB = 0;
  std::string out;
};

// Runs argv with input on stdin; `marks` collects the time each output line arrived.
Run spawnAndWait(const std::vector<std::string>& argv, const std::string& input,
                 std::vector<double>* marks = nullptr) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) std::exit(1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  Run run;
  auto begin = Clock::now();
  pid_t pid;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
    std::perror(args[0]);
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (!input.empty() &&
      write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
    std::exit(1);
  }
  close(in[1]);
  char buf[65536];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) {
    for (ssize_t i = 0; i < n; ++i)
      if (buf[i] == '\n' && marks)
        marks->push_back(std::chrono::duration<double>(Clock::now() - begin).count());
    run.out.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  run.peakKiB = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed: %s\n", args[0], run.out.c_str());
    std::exit(1);
  }
  return run;
}

std::string toolCall(int id, const std::string& csv, const std::optional<std::string>& question) {
  JSONObject arguments{{"file_path", csv}};
  if (question) arguments["question"] = JSONValue::parse(*question);
  JSONObject params{{"name", "table_question"}, {"arguments", arguments}};
  return JSONValue(
             JSONObject{
                 {"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"}, {"params", params}})
             .encode() +
         "\n";
}

// The answer object of the last response line.
JSONValue lastAnswer(const std::string& out) {
  std::string line = out;
  while (!line.empty() && line.back() == '\n') line.pop_back();
  line = line.substr(line.rfind('\n') == std::string::npos ? 0 : line.rfind('\n') + 1);
  JSONValue response = JSONValue::parse(line);
  std::string text;
  for (const JSONValue& item : *response.find("result")->find("content")->array())
    text += *item.find("text")->string();
  return JSONValue::parse(text.substr(0, text.rfind('}') + 1));
}

// A decimal text without trailing fraction zeros, so "12.50" and "12.5" compare equal.
std::string canonical(std::string s) {
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  return s;
}

std::vector<std::vector<std::string>> rowsOf(const JSONValue& rows) {
  std::vector<std::vector<std::string>> out;
  for (const JSONValue& row : *rows.array()) {
    std::vector<std::string> cells;
    for (const JSONValue& cell : *row.array())
      cells.push_back(cell.string()   ? canonical(*cell.string())
                      : cell.isNull() ? "null"
                                      : cell.encode());
    out.push_back(std::move(cells));
  }
  return out;
}

std::string shortRows(const std::vector<std::vector<std::string>>& rows) {
  std::string s;
  for (size_t i = 0; i < rows.size() && i < 3; ++i) {
    s += i ? " " : "";
    for (size_t j = 0; j < rows[i].size(); ++j) s += (j ? "=" : "") + rows[i][j];
  }
  if (rows.size() > 3) s += " ... (" + std::to_string(rows.size()) + " rows)";
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <zelk-mcp> <duckdb script> <work dir> [rows]\n", argv[0]);
    return 2;
  }
  const std::string zelk = argv[1], duckdb = argv[2], work = argv[3];
  const long rows = argc > 4 ? std::atol(argv[4]) : 10000000;
  std::filesystem::create_directories(work + "/home");
  const std::string csv = work + "/table_question_bench.csv";
  // The program's shared files (ledger, verdict cache) stay inside the work directory.
  setenv("HOME", (work + "/home").c_str(), 1);
  setenv("XDG_DATA_HOME", (work + "/home").c_str(), 1);
  setenv("ZELK_LEDGER_PATH", (work + "/home/activity.sqlite").c_str(), 1);

  auto started = Clock::now();
  writeCSV(csv, rows);
  std::printf("generated %ld rows, %.0f MB, in %.1f s\n", rows,
              static_cast<double>(std::filesystem::file_size(csv)) / 1e6,
              std::chrono::duration<double>(Clock::now() - started).count());
  // Warm the file cache so that neither side pays for the first read from disk. The reading stays
  // in a small buffer: a spawned child starts with this process's peak RSS, which Linux keeps
  // across exec, so this process must stay small for the children's figures to be their own.
  {
    std::vector<char> buffer(1 << 20);
    int fd = ::open(csv.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && ::read(fd, buffer.data(), buffer.size()) > 0) {
    }
    if (fd >= 0) ::close(fd);
  }

  struct Query {
    const char* name;
    const char* question;
    const char* duckdb;
  } queries[] = {
      {"(a) row count", R"json({"measures": ["count"]})json", "count"},
      {"(b) sum of amount by month",
       R"json({"group_by": [{"column": "date", "period": "month"}],
           "measures": [{"op": "sum", "column": "amount"}], "sort": ["date (month)"]})json",
       "month"},
      {"(c) median amount, region North",
       R"json({"filters": [{"column": "region", "operation": "equals", "value": "North"}],
           "measures": [{"op": "median", "column": "amount"}]})json",
       "median"},
  };

  std::printf("\n%-48s %10s %10s %10s %s\n", "", "process s", "answer s", "peak MB", "figures");
  bool allSame = true;
  std::vector<std::string> ratios;
  for (const Query& q : queries) {
    Run cold = spawnAndWait({zelk}, toolCall(1, csv, std::string(q.question)));
    std::vector<double> marks;
    Run warm = spawnAndWait(
        {zelk}, toolCall(1, csv, std::nullopt) + toolCall(2, csv, std::string(q.question)), &marks);
    double warmAnswer = marks.size() >= 2 ? marks[1] - marks[0] : warm.seconds;
    JSONValue answer = lastAnswer(cold.out);
    if (!answer.find("rows")) {
      std::fprintf(stderr, "table_question gave no rows: %s\n", answer.encode().c_str());
      return 1;
    }
    auto zelkRows = rowsOf(*answer.find("rows"));
    std::printf("%-48s %10.2f %10.2f %10.1f %s\n",
                (std::string("table_question ") + q.name).c_str(), cold.seconds, warmAnswer,
                std::max(cold.peakKiB, warm.peakKiB) / 1024.0, shortRows(zelkRows).c_str());
    for (const char* threads : {"1", "default"}) {
      Run d = spawnAndWait({"/usr/bin/node", duckdb, csv, q.duckdb, threads}, "");
      JSONValue result = JSONValue::parse(d.out);
      auto duckRows = rowsOf(*result.find("rows"));
      double query = *result.find("seconds")->number();
      bool same = duckRows == zelkRows;
      allSame = allSame && same;
      char queryOnly[32];
      std::snprintf(queryOnly, sizeof queryOnly, "(%.2f)", query);
      std::printf(
          "%-48s %10.2f %10s %10.1f %s%s\n",
          (std::string("  duckdb ") + threads + (threads[0] == '1' ? " thread" : "")).c_str(),
          d.seconds, queryOnly, d.peakKiB / 1024.0, shortRows(duckRows).c_str(),
          same ? "" : "   <- differs");
      char line[512];
      std::snprintf(line, sizeof line,
                    "%-32s vs duckdb %-8s time %.2fx (warm %.2fx; against its query alone %.2fx, "
                    "warm %.2fx); peak RSS %.2fx",
                    q.name, threads, cold.seconds / d.seconds, warmAnswer / d.seconds,
                    cold.seconds / query, warmAnswer / query,
                    static_cast<double>(cold.peakKiB) / static_cast<double>(d.peakKiB));
      ratios.push_back(line);
    }
  }
  std::printf("\nratios (table_question / duckdb):\n");
  for (const auto& r : ratios) std::printf("  %s\n", r.c_str());
  std::printf("same figures on every query: %s\n", allSame ? "yes" : "no");
  struct rusage self {};
  getrusage(RUSAGE_SELF, &self);
  std::printf("(this program's own peak RSS, included in each child's figure: %.1f MB)\n",
              self.ru_maxrss / 1024.0);
  std::filesystem::remove(csv);
  return 0;
}
