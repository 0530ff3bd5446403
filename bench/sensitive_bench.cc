// Redaction throughput on 10 MB of mixed prose, CSV and JSON with about one identifier per
// kilobyte: default rules, all four text categories on, and a plain copy as the floor.
#include <benchmark/benchmark.h>

#include <string>

#include "sensitive/sensitive_data.h"

namespace {

using namespace zelk;

const std::string& corpus() {
  static const std::string text = [] {
    const char* prose[] = {
        "The quarterly review covered revenue, hiring and the new office lease in some detail. ",
        "Margins improved by 3.2% while costs held steady at $1,250,000 for the period. ",
        "Our team met on 2024-03-15 to discuss the roadmap and the migration schedule. ",
        "Customer feedback was positive overall, with a few notes about response times. ",
        "The committee approved the budget after a short discussion of travel expenses. ",
    };
    const char* identifiers[] = {
        "SSN: 219-09-9999", "card 4111 1111 1111 1111", "IBAN GB82 WEST 1234 5698 7654 32",
        "EIN 12-3456789",   "Account number 12345678",  "Passport No: X1234567",
        "Date of birth: 13/05/1990", "routing 011000015"};
    std::string out;
    size_t id = 0, block = 0;
    while (out.size() < 10u * 1024 * 1024) {
      switch (block++ % 3) {
        case 0:  // prose
          for (int i = 0; i < 12; ++i) out += prose[(block + i) % 5];
          out += identifiers[id++ % 8];
          out += ".\n\n";
          break;
        case 1:  // CSV
          out += "Name,Department,Amount,SSN\n";
          for (int i = 0; i < 20; ++i) {
            out += "Ann Lee,Sales," + std::to_string(1000 + i * 37) + ".50,";
            out += i == 7 ? "219-09-9999" : "n/a";
            out += "\n";
          }
          out += "\n";
          break;
        default:  // JSON
          out += "{\"items\": [";
          for (int i = 0; i < 15; ++i) {
            out += "{\"id\": " + std::to_string(i) + ", \"title\": \"Widget model " +
                   std::to_string(100 + i) + "\", \"price\": 19.99},";
          }
          out += "{\"ssn\": \"123-45-6789\"}]}\n\n";
      }
    }
    return out;
  }();
  return text;
}

void BM_RedactDefaults(benchmark::State& state) {
  const std::string& text = corpus();
  for (auto _ : state) {
    PlaceholderMap map;
    benchmark::DoNotOptimize(SensitiveData::redact(text, SensitiveRules::defaults(), map));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}

void BM_RedactAllTextCategories(benchmark::State& state) {
  const std::string& text = corpus();
  SensitiveRules rules = SensitiveRules::defaults();
  for (SensitiveCategory c : {SensitiveCategory::name, SensitiveCategory::address,
                              SensitiveCategory::phone, SensitiveCategory::email}) {
    rules.actions[c] = SensitiveAction::redact;
  }
  for (auto _ : state) {
    PlaceholderMap map;
    benchmark::DoNotOptimize(SensitiveData::redact(text, rules, map));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}

void BM_PlainCopy(benchmark::State& state) {
  const std::string& text = corpus();
  for (auto _ : state) {
    std::string copy = text;
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}

BENCHMARK(BM_RedactDefaults)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RedactAllTextCategories)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
