// Optimizer throughput on 10 MB of prose, of CSV and of JSON, on one core, with the fidelity
// check included (Optimizer::optimize, as the tools call it), in CPU seconds of the one thread.
// Each figure is the best of three runs; a traced run then shows where the time goes, step by step,
// with the check timed apart.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "optimize/optimizer.h"
#include "optimize/optimizer_fidelity.h"

namespace {

// CPU time of this thread: other programs share the machine, and the figure is per core.
struct Clock {
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<Clock, duration>;
  static time_point now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return time_point(duration(static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec));
  }
};
using zelk::DocumentFormat;
using zelk::Optimizer;
using zelk::OptimizerFidelity;

// ZELK_OPT_BENCH_MB sets another size (for profiling runs); the figures are for 10 MB.
const size_t kSize = [] {
  const char* mb = std::getenv("ZELK_OPT_BENCH_MB");
  return static_cast<size_t>((mb ? std::atof(mb) : 10.0) * 1e6);
}();

struct Lcg {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  }
  uint32_t below(uint32_t n) { return next() % n; }
};

const char* kWords[] = {"revenue",   "the",       "quarter", "grew",      "compared", "with",
                        "last",      "year",      "while",   "operating", "costs",    "remained",
                        "stable",    "across",    "all",     "regions",   "and",      "our",
                        "customers", "continued", "to",      "adopt",     "new",      "products",
                        "in",        "markets",   "where",   "we",        "invest",   "strongly"};

std::string words(Lcg& r, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += kWords[r.below(30)];
  }
  return s;
}

// Report-like prose: headings, paragraphs with figures, curly quotes, bullets, links, footers.
std::string prose() {
  Lcg r;
  std::string s;
  int page = 1;
  while (s.size() < kSize) {
    s += "## Section " + std::to_string(page) + "\n\n";
    for (int p = 0; p < 4; ++p) {
      for (int k = 0; k < 5; ++k) {
        std::string sentence = words(r, 8 + static_cast<int>(r.below(10)));
        sentence[0] = static_cast<char>(sentence[0] - 32);
        char fig[64];
        std::snprintf(fig, sizeof fig, " $%u,%03u.%02u and %u.%u%%", r.below(900) + 1,
                      r.below(1000), r.below(100), r.below(40), r.below(10));
        s += sentence + fig + (k % 3 == 0 ? " \xE2\x80\x9Cnoted\xE2\x80\x9D" : "") +
             (k == 4 ? ".\n" : ". ");
      }
      s += "\n";
    }
    s += "\xE2\x80\xA2  First point about " + words(r, 4) +
         "\n\xE2\x80\xA2  Second point, see "
         "https://example.com/reports/" +
         std::to_string(r.below(99999)) + "\n\n";
    s += "Confidential and proprietary. Do not distribute.\nPage " + std::to_string(page) +
         " of 999\n\n";
    ++page;
  }
  return s;
}

std::string csv() {
  Lcg r;
  std::string s = "date,region,product,quantity,amount,share,note\n";
  static const char* regions[] = {"North", "South", "East", "West"};
  while (s.size() < kSize) {
    char row[256];
    if (r.below(50) == 0) {
      s += ",,,,,,\n";
      continue;
    }
    std::snprintf(row, sizeof row, "2024-%02u-%02u,%s,Product %u,%u,%u.%02u,%u.%06u,\"%s\"\n",
                  r.below(12) + 1, r.below(28) + 1, regions[r.below(4)], r.below(500), r.below(100),
                  r.below(100000), r.below(100), r.below(1), r.below(1000000),
                  r.below(20) == 0 ? "Do not delete" : "ok, checked");
    s += row;
  }
  return s;
}

std::string json() {
  Lcg r;
  std::string s = "[";
  bool first = true;
  while (s.size() < kSize) {
    char row[256];
    std::snprintf(row, sizeof row,
                  "%s\n  {\"id\": %u, \"name\": \"Customer %u\", \"city\": \"%s\", \"balance\": "
                  "%u.%02u, \"active\": %s, \"url\": \"https://x.example/c/%u\"}",
                  first ? "" : ",", r.next() % 10000000, r.below(100000),
                  r.below(2) ? "Lyon" : "Porto", r.below(100000), r.below(100),
                  r.below(2) ? "true" : "false", r.below(100000));
    s += row;
    first = false;
  }
  return s + "\n]\n";
}

double bestSeconds(const std::function<void()>& run) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    auto start = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

void measure(const char* name, const std::string& text, std::optional<DocumentFormat> format,
             double targetMBs) {
  const Optimizer& optimizer = Optimizer::shared();
  size_t outSize = 0;
  bool sentAsWritten = false;
  double seconds = bestSeconds([&] {
    auto r = optimizer.optimize(text, {}, format);
    outSize = r.text.size();
    sentAsWritten = r.stats.sentAsWritten.has_value();
  });
  double mbs = static_cast<double>(text.size()) / 1e6 / seconds;
  std::printf("%-6s %6.1f MB in %7.3f s = %6.1f MB/s (target %s), out %.1f MB%s\n", name,
              static_cast<double>(text.size()) / 1e6, seconds, mbs,
              targetMBs > 0 ? (mbs >= targetMBs ? "met" : "MISSED") : "none",
              static_cast<double>(outSize) / 1e6, sentAsWritten ? ", sent as written" : "");

  // Where the time goes: the pipeline's steps by trace label, then the check's parts.
  std::map<std::string, double> steps;
  auto last = Clock::now();
  zelk::OptimizerTrace trace = [&](std::string_view label, std::string_view) {
    auto now = Clock::now();
    std::string key(label.starts_with("boilerplate ") ? "boilerplate (24 expressions)" : label);
    steps[key] += std::chrono::duration<double>(now - last).count();
    last = Clock::now();
  };
  auto start = Clock::now();
  last = start;
  auto result = optimizer.optimizeWithoutCheck(text, {}, format, trace);
  double pipeline = std::chrono::duration<double>(Clock::now() - start).count();
  auto t0 = Clock::now();
  auto checked = OptimizerFidelity::check(text, result.text, format);
  steps["fidelity check"] = std::chrono::duration<double>(Clock::now() - t0).count();
  std::vector<std::pair<std::string, double>> sorted(steps.begin(), steps.end());
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& a, const auto& b) { return a.second > b.second; });
  std::printf("       pipeline %.3f s; %d numbers in; slowest steps:\n", pipeline,
              checked.numbersIn);
  for (size_t i = 0; i < std::min<size_t>(6, sorted.size()); ++i) {
    std::printf("         %-30s %7.3f s\n", sorted[i].first.c_str(), sorted[i].second);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string only = argc > 1 ? argv[1] : "";  // prose, csv or json alone
  if (only.empty() || only == "prose") measure("prose", prose(), DocumentFormat::txt, 10);
  if (only.empty() || only == "csv") measure("csv", csv(), DocumentFormat::csv, 20);
  if (only.empty() || only == "json") measure("json", json(), DocumentFormat::json, 0);
  return 0;
}
