// Questions over a synthetic base of 100,000 passages (4,000 documents, 384-float unit vectors,
// prose-like passage texts with numbers and names): BaseQuery::query on a warm cache with the
// question vector already computed (p50, p99), the first question on a cold cache (index,
// vectors, terms and statistics loaded), the cached base's memory against its files' size, and
// the dense scoring loop against the memory-bandwidth floor (one read of 100,000 x 384 floats).
// Targets: warm p50 < 30 ms and p99 < 60 ms on one core; cold first question < 1.5 s; cached
// base < 1.5x its files. The machine may be shared, so per-question CPU time is printed beside
// the wall-clock figures and the targets are judged on CPU time.
#include <malloc.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bases/base_indexer.h"
#include "retrieval/base_query.h"
#include "retrieval/smart_select.h"

namespace {

using Clock = std::chrono::steady_clock;
using zelk::BaseIndex;

constexpr size_t kDocuments = 4000;
constexpr size_t kPassagesPerDocument = 25;
constexpr size_t kDim = 384;
const std::string kID = "11111111-2222-4333-8444-555555555555";

double ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

double threadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t total = 0, resident = 0;
  statm >> total >> resident;
  return resident * size_t(sysconf(_SC_PAGESIZE));
}

// Words with a Zipf-like spread: a few very common, a long tail of rare ones.
class Words {
 public:
  explicit Words(std::mt19937_64& rng) : rng_(rng) {
    const char* common[] = {"the", "of", "and", "to", "in", "for", "is", "on", "that", "by",
                            "with", "as", "at", "this", "from", "are", "be", "or", "an", "was"};
    for (const char* w : common) words_.push_back(w);
    const char* syllables[] = {"con", "tract", "ment", "pay", "tax", "in", "voice", "re", "port",
                               "lease", "rent", "de", "pos", "it", "ac", "count", "sched", "ule",
                               "bal", "ance", "ter", "mi", "na", "tion", "ser", "vice", "pro",
                               "ject", "bud", "get", "an", "nu", "al", "quar", "ter", "ly"};
    std::uniform_int_distribution<size_t> s(0, std::size(syllables) - 1), n(2, 4);
    while (words_.size() < 30000) {
      std::string w;
      for (size_t k = n(rng_); k > 0; --k) w += syllables[s(rng_)];
      words_.push_back(w);
    }
    double sum = 0;
    for (size_t i = 0; i < words_.size(); ++i) cumulative_.push_back(sum += 1.0 / double(i + 1));
  }
  const std::string& pick() {
    double x = std::uniform_real_distribution<double>(0, cumulative_.back())(rng_);
    size_t i = size_t(std::lower_bound(cumulative_.begin(), cumulative_.end(), x) - cumulative_.begin());
    return words_[std::min(i, words_.size() - 1)];
  }

 private:
  std::mt19937_64& rng_;
  std::vector<std::string> words_;
  std::vector<double> cumulative_;
};

std::string passage(Words& words, std::mt19937_64& rng) {
  std::string text;
  std::uniform_int_distribution<int> sentenceWords(8, 22), number(0, 9), amount(10, 99999);
  while (text.size() < 720) {
    int n = sentenceWords(rng);
    for (int i = 0; i < n; ++i) {
      std::string w = words.pick();
      if (i == 0) w[0] = char(std::toupper(w[0]));
      text += w;
      if (number(rng) == 0) text += " " + std::to_string(amount(rng)) + ".00";
      text += i + 1 < n ? " " : ". ";
    }
  }
  return text;
}

std::vector<float> randomUnit(std::mt19937_64& rng) {
  std::normal_distribution<float> g(0, 1);
  std::vector<float> v(kDim);
  double norm = 0;
  for (float& x : v) {
    x = g(rng);
    norm += double(x) * x;
  }
  for (float& x : v) x = float(x / std::sqrt(norm));
  return v;
}

// The floor: one read of every float, with the same instruction sets as the dense loop.
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
float readAll(const float* p, size_t n) {
  float lanes[16] = {};
  for (size_t i = 0; i + 16 <= n; i += 16) {
    for (int k = 0; k < 16; ++k) lanes[k] += p[i + size_t(k)];
  }
  float sum = 0;
  for (float l : lanes) sum += l;
  return sum;
}

}  // namespace

int main() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "zelk-query-bench-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) return 1;
  const std::string dir = tmpl;
  int status = 0;
  std::mt19937_64 rng(42);
  Words words(rng);

  // The synthetic base: documents in folders, a few with versions.
  std::vector<std::string> questions;
  {
    BaseIndex index;
    index.version = 2;
    index.baseID = kID;
    index.indexedAt = 1760000000;
    index.embeddingModel = BaseIndex::kEmbeddingModel;
    index.vectorDimension = kDim;
    index.placesVersion = 1;
    std::vector<std::vector<float>> vectors, places;
    const char* folders[] = {"Clients/Acme Corp", "Clients/Beta", "Taxes/2024", "Taxes/2023",
                             "Projects/Harbor", "Leases", "Bank", "Notes"};
    for (size_t d = 0; d < kDocuments; ++d) {
      BaseIndex::IndexEntry e;
      std::string folder = folders[d % std::size(folders)];
      std::string name = folder + "/" + words.pick() + " " + words.pick() + " " +
                         std::to_string(d) + (d % 50 == 0 ? " v2.pdf" : d % 50 == 1 ? " v1.pdf" : ".pdf");
      e.id = std::to_string(d);
      e.filename = name;
      e.filePath = "/Users/someone/Documents/" + name;
      std::vector<float> centre = randomUnit(rng);
      std::string section;
      for (size_t k = 0; k < kPassagesPerDocument; ++k) {
        std::string text = passage(words, rng);
        e.chunks.push_back(text);
        section += text + "\n\n";
        if (k % 5 == 4) {
          e.sections.push_back(section);
          section.clear();
        }
        std::vector<float> v = randomUnit(rng);
        double norm = 0;
        for (size_t i = 0; i < kDim; ++i) {
          v[i] += 2 * centre[i];
          norm += double(v[i]) * v[i];
        }
        for (float& x : v) x = float(x / std::sqrt(norm));
        vectors.push_back(std::move(v));
      }
      e.originalTokens = 4500;
      e.optimizedTokens = 4400;
      e.fileModified = 1750000000;
      e.fileSize = 100000;
      e.chunkerVersion = 2;
      places.push_back(centre);
      index.entries.push_back(std::move(e));
    }
    for (int q = 0; q < 240; ++q) {
      questions.push_back("what is the " + words.pick() + " " + words.pick() + " for " +
                          words.pick() + (q % 4 == 0 ? " at acme corp" : ""));
    }
    auto start = Clock::now();
    zelk::BaseIndexer writer(dir);
    writer.save(index, &vectors, &places);
    std::printf("synthetic base: %zu documents, %zu passages; saved in %.0f ms\n", kDocuments,
                index.totalChunks(), ms(start));
  }
  size_t fileBytes = 0;
  for (const char* suffix : {".json", ".vec", ".place"}) {
    fileBytes += std::filesystem::file_size(dir + "/" + kID + suffix);
  }
  std::printf("index files: %.1f MB (json %.1f MB, vec %.1f MB)\n", double(fileBytes) / 1e6,
              double(std::filesystem::file_size(dir + "/" + kID + ".json")) / 1e6,
              double(std::filesystem::file_size(dir + "/" + kID + ".vec")) / 1e6);

  std::vector<std::vector<float>> questionVectors;
  for (size_t q = 0; q < questions.size(); ++q) questionVectors.push_back(randomUnit(rng));

  malloc_trim(0);
  size_t before = residentBytes();
  zelk::BaseIndexer indexer(dir);
  zelk::BaseQuery query(indexer);

  // Cold: the first question loads everything.
  double coldMs, coldCpu;
  {
    auto start = Clock::now();
    double cpu = threadCpuMs();
    auto r = query.query(kID, questions[0], nullptr, {}, false,
                         std::span<const float>(questionVectors[0]));
    coldMs = ms(start);
    coldCpu = threadCpuMs() - cpu;
    if (!r || r->hits.empty()) {
      std::printf("cold question: no result\n");
      return 1;
    }
  }
  malloc_trim(0);
  size_t cached = residentBytes() - before;
  std::printf("cold first question: %.0f ms wall, %.0f ms CPU (target < 1500)\n", coldMs, coldCpu);
  std::printf("cached base: %.1f MB = %.2fx its files (target < 1.5x)\n", double(cached) / 1e6,
              double(cached) / double(fileBytes));
  if (coldCpu >= 1500 || double(cached) >= 1.5 * double(fileBytes)) status = 1;

  // Warm questions.
  std::vector<double> wall, cpu;
  size_t named = 0;
  for (size_t q = 0; q < questions.size(); ++q) {
    auto start = Clock::now();
    double c = threadCpuMs();
    auto r = query.query(kID, questions[q], nullptr, {}, false,
                         std::span<const float>(questionVectors[q]));
    cpu.push_back(threadCpuMs() - c);
    wall.push_back(ms(start));
    if (!r || r->hits.empty()) {
      std::printf("warm question %zu: no result\n", q);
      return 1;
    }
    named += r->namedFolders.empty() ? 0 : 1;
  }
  auto percentile = [](std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
  };
  double p50 = percentile(cpu, 0.5), p99 = percentile(cpu, 0.99);
  std::printf("warm question (%zu, %zu naming a folder): CPU p50 %.1f ms, p99 %.1f ms "
              "(targets < 30, < 60); wall p50 %.1f ms, p99 %.1f ms\n",
              questions.size(), named, p50, p99, percentile(wall, 0.5), percentile(wall, 0.99));
  if (p50 >= 30 || p99 >= 60) status = 1;

  // Where a cold question's time goes: the same loads, one by one, into fresh caches (best of
  // three, as other programs share the machine).
  {
    double best[5] = {1e9, 1e9, 1e9, 1e9, 1e9};
    size_t vocabulary = 0, termBytes = 0;
    for (int round = 0; round < 3; ++round) {
      zelk::BaseIndexer fresh(dir);
      zelk::BaseQuery freshQuery(fresh);
      double t[5];
      double c = threadCpuMs();
      auto index = fresh.load(kID);
      t[0] = threadCpuMs() - c;
      c = threadCpuMs();
      auto flat = fresh.cachedFlatVectors(kID, index);
      t[1] = threadCpuMs() - c;
      c = threadCpuMs();
      auto terms = freshQuery.cachedChunkTokens(kID, index);
      t[2] = threadCpuMs() - c;
      c = threadCpuMs();
      auto counts = freshQuery.cachedTermCounts(kID, index, terms);
      t[3] = threadCpuMs() - c;
      c = threadCpuMs();
      freshQuery.query(kID, questions[1], nullptr, {}, false,
                       std::span<const float>(questionVectors[1]));
      t[4] = threadCpuMs() - c;
      for (int i = 0; i < 5; ++i) best[i] = std::min(best[i], t[i]);
      vocabulary = terms->vocabularySize();
      termBytes = terms->memoryBytes();
    }
    std::printf("cold stages (CPU ms, best of 3): index %.0f, vectors %.0f, terms %.0f (%zu terms, "
                "%.1f MB), statistics %.0f, first ranking with version groups %.0f; sum %.0f\n",
                best[0], best[1], best[2], vocabulary, double(termBytes) / 1e6, best[3], best[4],
                best[0] + best[1] + best[2] + best[3] + best[4]);
  }

  // The dense loop against one plain read of the same floats.
  {
    auto index = indexer.load(kID);
    auto flat = indexer.cachedFlatVectors(kID, index);
    const size_t n = flat->size() / kDim;
    std::vector<float> scores(n);
    double bestDense = 1e9, bestRead = 1e9;
    volatile float sink = 0;
    for (int round = 0; round < 15; ++round) {
      double c = threadCpuMs();
      for (size_t j = 0; j < n; ++j) {
        scores[j] = zelk::SmartSelect::dot(questionVectors[0].data(), flat->data() + j * kDim, kDim);
      }
      bestDense = std::min(bestDense, threadCpuMs() - c);
      sink = sink + scores[n / 2];
      c = threadCpuMs();
      float total = readAll(flat->data(), flat->size());
      bestRead = std::min(bestRead, threadCpuMs() - c);
      sink = sink + total;
    }
    double gb = double(flat->size()) * 4 / 1e9;
    std::printf("dense scoring of %zu x %zu floats: %.1f ms; one read of them: %.1f ms "
                "(%.1f GB/s); ratio %.2f\n",
                n, kDim, bestDense, bestRead, gb / (bestRead / 1e3), bestDense / bestRead);
  }

  // The keyword path over the same base (no model, no vectors): no target, for the record.
  {
    auto index = indexer.load(kID);
    BaseIndex keywordOnly = *index;
    keywordOnly.version.reset();
    keywordOnly.vectorDimension.reset();
    std::string kdir = dir + "/keyword";
    zelk::BaseIndexer kIndexer(kdir);
    kIndexer.save(keywordOnly);
    zelk::BaseQuery kQuery(kIndexer);
    std::vector<double> times;
    for (int q = 0; q < 5; ++q) {
      double c = threadCpuMs();
      auto r = kQuery.query(kID, questions[size_t(q)]);
      times.push_back(threadCpuMs() - c);
      if (!r) status = 1;
    }
    std::printf("keyword path (no vectors), same base: first %.0f ms, then median %.0f ms CPU\n",
                times[0], percentile(std::vector<double>(times.begin() + 1, times.end()), 0.5));
  }

  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return status;
}
