// A writer process for the ledger tests: records events with two documents each into the ledger
// at ZELK_LEDGER_PATH, as one process of this program would.
//
//   ledger_writer <count> [<start-file>]
//
// count 0 records until killed. With a start file, waits (up to 60 s) until it exists, so that
// several writers begin together. Exits 0 when every record call stored its event, else 1.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "ledger/activity_ledger.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ledger_writer <count> [<start-file>]\n");
    return 2;
  }
  long count = std::strtol(argv[1], nullptr, 10);
  if (argc > 2) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    struct stat st;
    while (stat(argv[2], &st) != 0) {
      if (std::chrono::steady_clock::now() > deadline) return 3;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  using zelk::ActivityLedger;
  ActivityLedger& ledger = ActivityLedger::shared();
  std::string pid = std::to_string(getpid());
  ledger.setClient(ActivityLedger::Client{"writer-" + pid, "1.0", "mcp"});

  long failed = 0;
  for (long i = 0; count == 0 || i < count; ++i) {
    ActivityLedger::Event event;
    event.kind = ActivityLedger::Kind::optimize;
    event.actor = ActivityLedger::Actor::aiApp;
    event.tool = "optimize_file";
    event.tokensBefore = 1000 + i;
    event.tokensAfter = 400 + i;
    event.detail["n"] = static_cast<long long>(i);
    std::string base = "/writer/" + pid + "/" + std::to_string(i);
    event.documents.push_back(
        {base + "/a.txt", ActivityLedger::docID(base + "a"), "TXT", 600, 200});
    event.documents.push_back(
        {base + "/b.pdf", ActivityLedger::docID(base + "b"), "PDF", 400, 200});
    if (!ledger.record(event)) ++failed;
  }
  return failed == 0 ? 0 : 1;
}
