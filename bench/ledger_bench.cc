// Activity ledger throughput: events per second for one process writing events with two
// documents each, the same for 4 processes at once into one database, and the median time one
// record call adds to a tool call. Target: under 2 ms per call.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ledger/activity_ledger.h"

namespace {

using Clock = std::chrono::steady_clock;
using zelk::ActivityLedger;

ActivityLedger::Event sampleEvent(long i) {
  ActivityLedger::Event event;
  event.kind = ActivityLedger::Kind::optimize;
  event.actor = ActivityLedger::Actor::aiApp;
  event.tool = "optimize_file";
  event.tokensBefore = 12000;
  event.tokensAfter = 7400;
  event.numbersIn = 88;
  event.notices = {"fidelity_kept"};
  event.detail = {{"pages", 12}, {"format", "PDF"}, {"n", static_cast<long long>(i)}};
  std::string base =
      "/Users/a/Documents/bench/" + std::to_string(getpid()) + "/" + std::to_string(i);
  event.documents.push_back(
      {base + "/Report.pdf", ActivityLedger::docID(base + "r"), "PDF", 9000, 5400});
  event.documents.push_back(
      {base + "/Notes.txt", ActivityLedger::docID(base + "n"), "TXT", 3000, 2000});
  return event;
}

// Records `count` events and returns each call's duration in microseconds, or an empty list
// when a call stored nothing.
std::vector<double> recordMany(ActivityLedger& ledger, long count) {
  std::vector<double> micros;
  micros.reserve(static_cast<size_t>(count));
  for (long i = 0; i < count; ++i) {
    ActivityLedger::Event event = sampleEvent(i);
    auto start = Clock::now();
    bool stored = ledger.record(event).has_value();
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (!stored) return {};
  }
  return micros;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "zelk-ledger-bench-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) return 1;
  const std::string dir = tmpl;
  setenv("HOME", dir.c_str(), 1);
  setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
  int status = 0;

  constexpr long kOne = 3000;
  {
    ActivityLedger ledger(dir + "/one.sqlite");
    ledger.setClient(ActivityLedger::Client{"bench", "1", "mcp"});
    recordMany(ledger, 100);  // opens the database and warms the page cache
    auto start = Clock::now();
    std::vector<double> micros = recordMany(ledger, kOne);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (micros.empty()) {
      std::printf("one process: a record call stored nothing\n");
      status = 1;
    } else {
      std::printf("one process, 2 documents per event: %.0f events/s (%ld events)\n",
                  static_cast<double>(kOne) / seconds, kOne);
      std::printf("record call: median %.0f us, p90 %.0f us, p99 %.0f us (target < 2000 us)\n",
                  percentile(micros, 0.5), percentile(micros, 0.9), percentile(micros, 0.99));
    }
  }

  constexpr int kProcesses = 4;
  constexpr long kEach = 1500;
  {
    std::string path = dir + "/four.sqlite";
    {
      ActivityLedger ledger(path);  // schema in place before the clock starts
      recordMany(ledger, 1);
    }
    int go[2];
    if (pipe(go) != 0) return 1;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
      pid_t pid = fork();
      if (pid == 0) {
        close(go[1]);
        char byte;
        if (read(go[0], &byte, 1) < 0) _exit(3);  // returns at close: every writer starts together
        ActivityLedger ledger(path);
        ledger.setClient(ActivityLedger::Client{"bench-" + std::to_string(p), "1", "mcp"});
        _exit(recordMany(ledger, kEach).empty() ? 1 : 0);
      }
      children.push_back(pid);
    }
    close(go[0]);
    auto start = Clock::now();
    close(go[1]);
    bool allStored = true;
    for (pid_t pid : children) {
      int childStatus = 0;
      waitpid(pid, &childStatus, 0);
      allStored = allStored && WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!allStored) {
      std::printf("4 processes: a record call stored nothing\n");
      status = 1;
    } else {
      std::printf("4 processes at once, 2 documents per event: %.0f events/s in all (%ld events)\n",
                  static_cast<double>(kProcesses * kEach) / seconds, kProcesses * kEach);
    }
  }

  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return status;
}
