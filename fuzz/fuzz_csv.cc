// Fuzzes the delimited table reader and the layout pass over it: encodings, the quote state
// machine, cell typing and header finding. Checks the reader's own promises on every input.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/unicode.h"
#include "tables/table_layout.h"

namespace {
std::string gPath[2];
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  auto dir = std::filesystem::temp_directory_path() /
             ("zelk-fuzz-csv-" + std::to_string(static_cast<long>(getpid())));
  std::filesystem::create_directories(dir);
  gPath[0] = (dir / "input.csv").string();
  gPath[1] = (dir / "input.tsv").string();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte picks the extension, so that both delimiter paths run.
  const std::string& path = gPath[size > 0 && (data[0] & 1)];
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (size > 0) std::fwrite(data, 1, size, f);
  std::fclose(f);

  zelk::TableReader reader(path);
  int64_t last = 0;
  auto check = [&](int64_t number, const std::vector<std::string>& cells) {
    if (number <= last) std::abort();
    last = number;
    if (cells.size() > zelk::TableReader::kMaxRowFields) std::abort();
    for (const auto& c : cells) {
      if (c.size() > 3 * zelk::TableReader::kMaxFieldBytes) std::abort();  // Windows-1252 widens
      if (!zelk::platform::isValidUtf8(c)) std::abort();
      for (auto d : {zelk::TableCell::Decimal::point, zelk::TableCell::Decimal::comma})
        if (auto v = zelk::TableCell::number(c, d)) (void)v->toString();
    }
    return true;
  };
  zelk::TableLayout layout = zelk::TableLayout::read(
      reader, nullptr, nullptr, [](const std::vector<std::string>&) {}, check);
  last = 0;
  zelk::TableLayout again = zelk::TableLayout::read(
      reader, nullptr, &layout, [](const std::vector<std::string>&) {}, check);
  if (again.rows != layout.rows) std::abort();
  (void)zelk::MCPTools::layoutObject(layout, path);
  return 0;
}
