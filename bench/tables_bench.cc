// Table reading costs: TableReader over a generated CSV against a plain read of the same file,
// and the exact decimal sum of 10 million money values against only reading and parsing them.
// Each figure is the best of three runs over a warm file cache. The layout pass (reading and
// typing every cell) is timed too; "tables_bench layout N" runs it once over an N-row file, for
// instruction counts under callgrind.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tables/decimal_number.h"
#include "tables/table_cell.h"
#include "tables/table_layout.h"
#include "tables/table_reader.h"

namespace {

using Clock = std::chrono::steady_clock;

double bestSeconds(const std::function<void()>& run) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    auto start = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

// A deterministic stream of pseudo-random numbers.
struct Lcg {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  }
};

std::string money(Lcg& r) {
  uint32_t cents = r.next() % 10000000;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u.%02u", cents / 100, cents % 100);
  return buf;
}

void writeSales(const std::string& path, int rows) {
  static const char* regions[] = {"North", "South", "East", "West"};
  static const char* products[] = {"Widget", "Gadget", "Doohickey", "Gizmo", "Thing"};
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::exit(1);
  std::fputs("date,region,product,quantity,amount,note\n", f);
  Lcg r;
  for (int i = 0; i < rows; ++i) {
    uint32_t day = r.next() % 28 + 1, month = r.next() % 12 + 1;
    std::fprintf(f, "2024-%02u-%02u,%s,%s,%u,%s,\"note %u, with a comma\"\n", month, day,
                 regions[r.next() % 4], products[r.next() % 5], r.next() % 50 + 1, money(r).c_str(),
                 r.next());
  }
  std::fclose(f);
}

void writeAmounts(const std::string& path, int rows) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::exit(1);
  std::fputs("amount\n", f);
  Lcg r;
  for (int i = 0; i < rows; ++i) std::fprintf(f, "%s\n", money(r).c_str());
  std::fclose(f);
}

size_t plainRead(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) std::exit(1);
  std::vector<char> buffer(zelk::TableReader::kChunkSize);
  size_t lines = 0;
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n <= 0) break;
    lines += static_cast<size_t>(std::count(buffer.data(), buffer.data() + n, '\n'));
  }
  ::close(fd);
  return lines;
}

// One layout pass, without a question; returns the data rows.
int64_t layoutPass(const std::string& path) {
  zelk::TableReader reader(path);
  auto layout = zelk::TableLayout::read(
      reader, nullptr, nullptr, [](const std::vector<std::string>&) {},
      [](int64_t, const std::vector<std::string>&) { return true; });
  return layout.rows;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "layout") {
    auto dir =
        std::filesystem::temp_directory_path() / ("zelk-tables-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string sales = (dir / "sales.csv").string();
    const int rows = std::atoi(argv[2]);
    writeSales(sales, rows);
    auto start = Clock::now();
    int64_t counted = layoutPass(sales);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double mb = static_cast<double>(std::filesystem::file_size(sales)) / 1e6;
    std::printf("layout pass over %d rows (%.1f MB): %lld data rows, %.3f s, %.0f MB/s\n", rows, mb,
                static_cast<long long>(counted), seconds, mb / seconds);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return counted == rows ? 0 : 1;
  }

  auto dir =
      std::filesystem::temp_directory_path() / ("zelk-tables-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string sales = (dir / "sales.csv").string(), amounts = (dir / "amounts.csv").string();
  const int salesRows = 2'000'000, amountRows = 10'000'000;
  writeSales(sales, salesRows);
  writeAmounts(amounts, amountRows);
  const double salesMB = static_cast<double>(std::filesystem::file_size(sales)) / 1e6;

  size_t lines = 0, rows = 0;
  double plain = bestSeconds([&] { lines = plainRead(sales); });
  double reader = bestSeconds([&] {
    rows = 0;
    zelk::TableReader r(sales);
    r.readRows(nullptr, [&](int64_t, const std::vector<std::string>&) {
      ++rows;
      return true;
    });
  });
  std::printf(
      "CSV of %d rows, %.0f MB: plain read %.3f s (%.0f MB/s, %zu lines); TableReader "
      "%.3f s (%.0f MB/s, %zu rows); ratio %.2fx\n",
      salesRows, salesMB, plain, salesMB / plain, lines, reader, salesMB / reader, rows,
      reader / plain);

  int64_t layoutRows = 0;
  double layout = bestSeconds([&] { layoutRows = layoutPass(sales); });
  std::printf("layout pass (reading and typing every cell): %.3f s (%.0f MB/s, %lld rows)\n",
              layout, salesMB / layout, static_cast<long long>(layoutRows));

  size_t parsed = 0;
  zelk::DecimalNumber total;
  double stream = bestSeconds([&] {
    zelk::TableReader r(amounts);
    r.readRows(nullptr, [&](int64_t, const std::vector<std::string>&) { return true; });
  });
  double parse = bestSeconds([&] {
    parsed = 0;
    zelk::TableReader r(amounts);
    r.readRows(nullptr, [&](int64_t, const std::vector<std::string>& cells) {
      if (!cells.empty() && zelk::TableCell::number(cells[0], zelk::TableCell::Decimal::point))
        ++parsed;
      return true;
    });
  });
  double sum = bestSeconds([&] {
    total = zelk::DecimalNumber();
    zelk::TableReader r(amounts);
    r.readRows(nullptr, [&](int64_t, const std::vector<std::string>& cells) {
      if (!cells.empty())
        if (auto v = zelk::TableCell::number(cells[0], zelk::TableCell::Decimal::point))
          total += *v;
      return true;
    });
  });
  std::printf(
      "10M money values: streaming %.3f s; streaming + reading values %.3f s (%zu "
      "values); + exact sum %.3f s (sum %s); the sum adds %.1f%% to reading them\n",
      stream, parse, parsed, sum, total.toString().c_str(), 100.0 * (sum - parse) / parse);

  std::vector<zelk::DecimalNumber> values;
  values.reserve(static_cast<size_t>(amountRows));
  Lcg r;
  for (int i = 0; i < amountRows; ++i) values.push_back(*zelk::DecimalNumber::parse(money(r)));
  zelk::DecimalNumber check;
  double sumOnly = bestSeconds([&] {
    check = zelk::DecimalNumber();
    for (const auto& v : values) check += v;
  });
  std::printf("summing 10M held values alone: %.3f s (%.1f ns each, sum %s)\n", sumOnly,
              sumOnly * 1e9 / amountRows, check.toString().c_str());

  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return check == total ? 0 : 1;
}
