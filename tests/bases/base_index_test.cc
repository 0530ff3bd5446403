// Index files: the formats read back by a reader of the test's own, the cache keyed by file
// stamps, staged saves and what a killed writer leaves, the summary and the progress marker.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "bases/base_index.h"
#include "bases/base_indexer.h"
#include "bases/index_checksum.h"
#include "bases/index_summary.h"
#include "platform/atomic_file.h"
#include "platform/iso_date.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

const std::string kID = "0F8FAD5B-D9CB-469F-A165-70867728950E";

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Floats of a raw little-endian float32 file, read without the project's code.
std::vector<float> floatsOf(const std::string& path) {
  std::string bytes = slurp(path);
  std::vector<float> out(bytes.size() / 4);
  for (size_t i = 0; i < out.size(); ++i) {
    uint32_t bits = uint32_t(uint8_t(bytes[4 * i])) | uint32_t(uint8_t(bytes[4 * i + 1])) << 8 |
                    uint32_t(uint8_t(bytes[4 * i + 2])) << 16 |
                    uint32_t(uint8_t(bytes[4 * i + 3])) << 24;
    std::memcpy(&out[i], &bits, 4);
  }
  return out;
}

BaseIndex::IndexEntry entry(const std::string& name, size_t chunks, const std::string& tag = "") {
  BaseIndex::IndexEntry e;
  e.id = std::to_string(std::hash<std::string>()(name));
  e.filename = name;
  e.filePath = "/docs/" + name;
  e.sections = {"# " + name, "Body of " + name};
  for (size_t k = 0; k < chunks; ++k) e.chunks.push_back(name + " passage " + std::to_string(k) + tag);
  e.originalTokens = 100;
  e.optimizedTokens = 80;
  e.fileModified = 1760000000;
  e.fileSize = 4096;
  e.chunkerVersion = 2;
  return e;
}

BaseIndex sampleIndex(int d, const std::string& tag = "") {
  BaseIndex index;
  index.version = 2;
  index.baseID = kID;
  index.indexedAt = 1760000100;
  index.embeddingModel = "bge-small-en-v1.5";
  index.vectorDimension = d;
  index.entries = {entry("a.pdf", 2, tag), entry("b.md", 0, tag), entry("Taxes/c.xlsx", 5, tag)};
  index.entries[2].readerVersion = 2;
  index.skippedFiles = std::vector<SkippedFile>{
      {"huge.pdf", "could not be read (parse error)", "/docs/huge.pdf", 1760000000.0}};
  index.placesVersion = 1;
  return index;
}

// One vector per chunk whose values say which passage (and build) it belongs to.
std::vector<std::vector<float>> vectorsFor(const BaseIndex& index, float build) {
  std::vector<std::vector<float>> out;
  size_t g = 0;
  for (const auto& e : index.entries) {
    for (size_t k = 0; k < e.chunks.size(); ++k, ++g) {
      std::vector<float> v(size_t(*index.vectorDimension));
      for (size_t i = 0; i < v.size(); ++i) v[i] = build * 1000 + float(g) + float(i) / 1000;
      out.push_back(v);
    }
  }
  return out;
}

std::vector<std::vector<float>> placesFor(const BaseIndex& index, float build) {
  std::vector<std::vector<float>> out;
  for (size_t e = 0; e < index.entries.size(); ++e) {
    out.push_back(std::vector<float>(size_t(*index.vectorDimension), build + float(e)));
  }
  return out;
}

class IndexFilesTest : public ::testing::Test {
 protected:
  std::string file(const std::string& suffix) const { return dir_.file("indexes/" + kID + suffix); }
  TempDir dir_;
  BaseIndexer indexer_{dir_.file("indexes")};
};

TEST(IndexChecksum, MatchesTheXXH64ReferenceValues) {
  EXPECT_EQ(IndexChecksum::of(""), "xxh64:ef46db3751d8e999");
  EXPECT_EQ(IndexChecksum::of("a"), "xxh64:d24ec4f1a98c6e5b");
  EXPECT_EQ(IndexChecksum::of("abc"), "xxh64:44bc2cf5ad770999");
  std::string text = "Nobody inspects the spammish repetition";
  EXPECT_EQ(IndexChecksum::of(text), "xxh64:fbcea83c8a378bf1");
  // Fed in uneven pieces, the digest is the same.
  IndexChecksum pieces;
  for (size_t i = 0; i < text.size(); i += 7) pieces.update(text.data() + i, std::min<size_t>(7, text.size() - i));
  EXPECT_EQ(pieces.text(), IndexChecksum::of(text));
}

TEST_F(IndexFilesTest, SavedFilesReadBackWithAReaderOfTheirFormatsAlone) {
  BaseIndex index = sampleIndex(384);
  EXPECT_EQ(index.totalChunks(), 7u);
  auto vectors = vectorsFor(index, 1);
  auto places = placesFor(index, 1);
  indexer_.save(index, &vectors, &places);

  // {ID}.vec: 7 x 384 little-endian floats, entries then chunks in order, no header.
  EXPECT_EQ(fs::file_size(file(".vec")), 10752u);
  std::vector<float> vec = floatsOf(file(".vec"));
  ASSERT_EQ(vec.size(), 7u * 384);
  EXPECT_FLOAT_EQ(vec[0], 1000);
  EXPECT_FLOAT_EQ(vec[384 * 2], 1002);  // the first passage of the third entry
  EXPECT_FLOAT_EQ(vec[384 * 6 + 383], 1006.383f);
  std::vector<float> place = floatsOf(file(".place"));
  ASSERT_EQ(place.size(), 3u * 384);
  EXPECT_FLOAT_EQ(place[384 * 2], 3);

  // {ID}.json: pretty JSON with the shared keys.
  std::string text = slurp(file(".json"));
  EXPECT_NE(text.find("\n  \"entries\" : [\n"), std::string::npos);
  auto json = nlohmann::json::parse(text);
  EXPECT_EQ(json["version"], 2);
  EXPECT_EQ(json["baseID"], kID);
  EXPECT_EQ(json["indexedAt"], "2025-10-09T08:55:00Z");
  EXPECT_EQ(json["embeddingModel"], "bge-small-en-v1.5");
  EXPECT_EQ(json["vectorDimension"], 384);
  EXPECT_EQ(json["placesVersion"], 1);
  ASSERT_EQ(json["entries"].size(), 3u);
  const auto& third = json["entries"][2];
  EXPECT_EQ(third["filename"], "Taxes/c.xlsx");
  EXPECT_EQ(third["filePath"], "/docs/Taxes/c.xlsx");
  EXPECT_EQ(third["chunks"].size(), 5u);
  EXPECT_EQ(third["readerVersion"], 2);
  EXPECT_EQ(third["chunkerVersion"], 2);
  EXPECT_EQ(third["fileSize"], 4096);
  EXPECT_EQ(third["fileModified"], "2025-10-09T08:53:20Z");
  EXPECT_FALSE(json["entries"][0].contains("readerVersion"));
  EXPECT_FALSE(json["entries"][0].contains("ocrPages"));
  EXPECT_EQ(json["skippedFiles"][0]["reason"], "could not be read (parse error)");
  EXPECT_EQ(json["vectorsChecksum"], IndexChecksum::of(slurp(file(".vec"))));
  EXPECT_EQ(json["placesChecksum"], IndexChecksum::of(slurp(file(".place"))));

  // {ID}.summary.json: compact, one file per entry.
  std::string summaryText = slurp(file(".summary.json"));
  EXPECT_EQ(summaryText.find('\n'), std::string::npos);
  auto summary = nlohmann::json::parse(summaryText);
  EXPECT_EQ(summary["indexedAt"], "2025-10-09T08:55:00Z");
  EXPECT_EQ(summary["files"][2], (nlohmann::json{{"path", "/docs/Taxes/c.xlsx"},
                                                 {"modified", "2025-10-09T08:53:20Z"},
                                                 {"name", "Taxes/c.xlsx"},
                                                 {"reader", 2},
                                                 {"chunker", 2}}));
  EXPECT_EQ(summary["skippedReasons"], nlohmann::json({"could not be read (parse error)"}));
  EXPECT_EQ(summary["skipped"][0]["name"], "huge.pdf");
  EXPECT_EQ(summary["hasEmbeddings"], true);
  EXPECT_EQ(summary["places"], 1);

  // No staging copies are left behind.
  for (const char* s : {".vec.new", ".place.new", ".json.new"}) EXPECT_FALSE(fs::exists(file(s)));

  // And this program reads it back the same.
  auto loaded = indexer_.load(kID);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->entries[2].chunks[4], "Taxes/c.xlsx passage 4");
  EXPECT_EQ(loaded->skippedFiles->at(0).fileModified, 1760000000.0);
  auto flat = indexer_.cachedFlatVectors(kID);
  ASSERT_TRUE(flat);
  EXPECT_EQ(*flat, vec);
}

TEST(BaseIndex, ReadsAnIndexAsTheDesktopAppWritesIt) {
  // Compact spacing, keys in another order, unknown keys, nulls for absent values, no chunks
  // key, escapes and a surrogate pair.
  std::string text = R"({"entries":[{"sections":["caf\u00e9 \ud83d\ude00 a\/b"],"filePath":"/x/y.txt",
    "filename":"y.txt","id":"12","originalTokens":3,"optimizedTokens":2.0,"ocrPages":null,
    "future":{"nested":[1,{"a":[]}]}}],"baseID":"0f8fad5b-d9cb-469f-a165-70867728950e",
    "indexedAt":"2026-10-11T22:16:00Z","skippedFiles":null,"somethingNew":[true,false,null,-1.5e3]})";
  auto index = BaseIndex::decode(text);
  ASSERT_TRUE(index);
  EXPECT_EQ(index->baseID, kID);
  EXPECT_FALSE(index->version);
  EXPECT_FALSE(index->hasEmbeddings());
  ASSERT_EQ(index->entries.size(), 1u);
  EXPECT_TRUE(index->entries[0].chunks.empty());
  EXPECT_EQ(index->entries[0].sections[0], "caf\xC3\xA9 \xF0\x9F\x98\x80 a/b");
  EXPECT_EQ(index->entries[0].optimizedTokens, 2);
  EXPECT_FALSE(index->entries[0].ocrPages);
  EXPECT_FALSE(index->skippedFiles);
  EXPECT_EQ(index->indexedAt, *platform::parseISO8601("2026-10-11T22:16:00Z"));
  // Encoding and decoding again gives the same records.
  auto again = BaseIndex::decode(index->encode());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->entries[0].sections, index->entries[0].sections);
  EXPECT_EQ(again->encode(), index->encode());
}

TEST(BaseIndex, RefusesTextsThatAreNotAValidIndex) {
  const std::string head = R"({"baseID":"0F8FAD5B-D9CB-469F-A165-70867728950E","indexedAt":"2026-10-11T22:16:00Z",)";
  const std::string goodEntry =
      R"({"id":"1","filename":"a","filePath":"/a","sections":[],"originalTokens":1,"optimizedTokens":1})";
  std::string deep(1001, '['), deepClose(1001, ']');
  std::string shallow(999, '['), shallowClose(999, ']');
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {head + R"("entries":[)" + goodEntry + "]}", true},
      {head + R"("entries":[]})", true},
      {R"({"indexedAt":"2026-10-11T22:16:00Z","entries":[]})", false},       // no baseID
      {R"({"baseID":"0F8FAD5B-D9CB-469F-A165-70867728950E","entries":[]})", false},  // no date
      {head + R"("version":2})", false},                                     // no entries
      {head + R"("entries":{}})", false},
      {head + R"("entries":[{"id":"1","filename":"a","filePath":"/a","sections":[],"originalTokens":1}]})", false},
      {head + R"("entries":[{"id":"1","filename":"a","filePath":"/a","sections":[],"originalTokens":1.5,"optimizedTokens":1}]})", false},
      {head + R"("entries":[{"id":1,"filename":"a","filePath":"/a","sections":[],"originalTokens":1,"optimizedTokens":1}]})", false},
      {head + R"("entries":[)" + goodEntry + R"(],"version":"2"})", false},
      {head + R"("entries":[],"vectorDimension":1e400})", false},
      {R"({"baseID":"not-a-uuid","indexedAt":"2026-10-11T22:16:00Z","entries":[]})", false},
      {R"({"baseID":"0F8FAD5B-D9CB-469F-A165-70867728950E","indexedAt":"yesterday","entries":[]})", false},
      {head + R"("entries":[]} x)", false},                                   // trailing text
      {head + R"("entries":[)" + goodEntry, false},                           // torn
      {head + R"("entries":[],})", false},                                    // trailing comma
      {head + R"("entries":[)" + goodEntry + ",]}", false},
      {head + "\"entries\":[],\"x\":\"a\tb\"}", false},                         // raw tab in a string
      {head + R"("entries":[],"x":"\x"})", false},
      {head + R"("entries":[],"x":01})", false},
      {head + R"("entries":[],"x":)" + deep + deepClose + "}", false},
      {head + R"("entries":[],"x":)" + shallow + shallowClose + "}", true},
      {head + R"("entries":[],"x":[1,2})", false},
      {head + R"("entries":[],"x":{"a":1,"b"}})", false},
      {"", false},
      {"[]", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BaseIndex::decode(c.text).has_value(), c.valid) << c.text.substr(0, 200);
  }
}

TEST_F(IndexFilesTest, LoadServesTheCacheUntilTheFileIsReplaced) {
  EXPECT_FALSE(indexer_.load(kID));
  BaseIndex index = sampleIndex(4);
  auto vectors = vectorsFor(index, 1);
  auto places = placesFor(index, 1);
  indexer_.save(index, &vectors, &places);
  auto first = indexer_.load(kID);
  ASSERT_TRUE(first);
  EXPECT_EQ(indexer_.load(kID), first);  // same object: not read again
  // A new build right after, within the clock's granularity, is still picked up.
  BaseIndex next = sampleIndex(4, " v2");
  indexer_.save(next, &vectors, &places);
  auto second = indexer_.load(kID);
  ASSERT_TRUE(second);
  EXPECT_NE(second, first);
  EXPECT_EQ(second->entries[0].chunks[0], "a.pdf passage 0 v2");
  // An unreadable file gives nothing, and the record goes with the base.
  platform::writeFileAtomically(file(".json"), "{broken");
  EXPECT_FALSE(indexer_.load(kID));
  indexer_.remove(kID);
  for (const char* s : {".json", ".vec", ".place", ".summary.json"}) EXPECT_FALSE(fs::exists(file(s)));
}

TEST_F(IndexFilesTest, VectorsThatDoNotBelongToTheIndexAreIgnored) {
  BaseIndex index = sampleIndex(4);
  auto vectors = vectorsFor(index, 1);
  indexer_.save(index, &vectors);
  ASSERT_TRUE(indexer_.cachedFlatVectors(kID));

  // A vectors file of another build with the same number of passages, as a writer killed
  // between its swaps leaves it: the count agrees, the checksum does not.
  BaseIndexer other(dir_.file("other"));
  BaseIndex build2 = sampleIndex(4, " v2");
  auto vectors2 = vectorsFor(build2, 2);
  other.save(build2, &vectors2);
  fs::copy_file(dir_.file("other/" + kID + ".vec"), file(".vec.new"));
  fs::rename(file(".vec.new"), file(".vec"));
  EXPECT_FALSE(indexer_.cachedFlatVectors(kID));
  EXPECT_FALSE(indexer_.cachedFlatVectors(kID));  // remembered, not read again

  // An index from a builder that records no checksum falls back on the count.
  BaseIndex desktop = sampleIndex(4);
  desktop.placesVersion.reset();
  std::string json = desktop.encode();
  platform::writeFileAtomically(file(".json"), json);
  EXPECT_TRUE(indexer_.cachedFlatVectors(kID));
  std::string bytes = slurp(file(".vec"));
  platform::writeFileAtomically(file(".vec"), bytes.substr(0, bytes.size() - 16) + "ab");
  EXPECT_FALSE(indexer_.cachedFlatVectors(kID));
  // A keyword-only index never uses a vectors file.
  desktop.version.reset();
  platform::writeFileAtomically(file(".json"), desktop.encode());
  platform::writeFileAtomically(file(".vec"), bytes);
  EXPECT_FALSE(indexer_.cachedFlatVectors(kID));
}

// Writes builds that differ in content but not in size, until killed.
[[noreturn]] void saveForever(const std::string& dir) {
  BaseIndexer indexer(dir);
  for (int build = 1;; ++build) {
    BaseIndex index = sampleIndex(64, " build " + std::to_string(build));
    auto vectors = vectorsFor(index, float(build));
    auto places = placesFor(index, float(build));
    indexer.save(index, &vectors, &places);
  }
}

TEST_F(IndexFilesTest, AWriterKilledAtAnyMomentLeavesAWholeIndexOrNone) {
  std::mt19937 rng(7);
  int whole = 0, refused = 0;
  for (int round = 0; round < 24; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) saveForever(dir_.file("indexes"));
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + rng() % 40000));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    BaseIndexer reader(dir_.file("indexes"));
    auto index = reader.load(kID);
    if (!index) continue;  // killed before the first save finished
    std::string chunk = index->entries[0].chunks[0];
    int build = std::stoi(chunk.substr(chunk.rfind(' ') + 1));
    auto flat = reader.cachedFlatVectors(kID, index);
    if (!flat) {
      ++refused;
      continue;
    }
    ++whole;
    // The vectors are this build's, passage by passage.
    for (size_t g = 0; g < index->totalChunks(); ++g) {
      ASSERT_FLOAT_EQ((*flat)[g * 64], float(build) * 1000 + float(g)) << "round " << round;
    }
  }
  EXPECT_GT(whole, 0);
  (void)refused;
}

TEST_F(IndexFilesTest, ASaveThatFailsWhileStagingLeavesThePreviousFiles) {
  BaseIndex index = sampleIndex(4);
  auto vectors = vectorsFor(index, 1);
  indexer_.save(index, &vectors);
  std::string json = slurp(file(".json")), vec = slurp(file(".vec"));

  BaseIndex next = sampleIndex(4, " v2");
  auto wrong = vectorsFor(next, 2);
  wrong.pop_back();
  EXPECT_THROW(indexer_.save(next, &wrong), IndexSaveError);
  fs::create_directory(file(".json.new"));  // staging the index cannot succeed
  auto right = vectorsFor(next, 2);
  EXPECT_THROW(indexer_.save(next, &right), IndexSaveError);
  EXPECT_EQ(slurp(file(".json")), json);
  EXPECT_EQ(slurp(file(".vec")), vec);
  EXPECT_FALSE(fs::exists(file(".vec.new")));
  // An index that claims embeddings is never saved without its vectors.
  EXPECT_THROW(indexer_.save(next), IndexSaveError);
}

TEST_F(IndexFilesTest, ABaseWithoutDocumentsHasEmptyVectorFiles) {
  BaseIndex index = sampleIndex(384);
  index.entries.clear();
  std::vector<std::vector<float>> none;
  indexer_.save(index, &none, &none);
  EXPECT_EQ(fs::file_size(file(".vec")), 0u);
  EXPECT_EQ(fs::file_size(file(".place")), 0u);
  auto flat = indexer_.cachedFlatVectors(kID);
  ASSERT_TRUE(flat);
  EXPECT_TRUE(flat->empty());
}

TEST_F(IndexFilesTest, AKeywordOnlyIndexIsWrittenWithoutVectors) {
  BaseIndex index = sampleIndex(384);
  index.version.reset();
  index.vectorDimension.reset();
  indexer_.save(index);
  auto json = nlohmann::json::parse(slurp(file(".json")));
  EXPECT_FALSE(json.contains("version"));
  EXPECT_FALSE(json.contains("placesVersion"));
  EXPECT_FALSE(fs::exists(file(".vec")));
  auto summary = indexer_.summary(kID);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->hasEmbeddings, false);
  EXPECT_TRUE(summary->isCurrent());
}

TEST_F(IndexFilesTest, SummaryOfAnOlderFormIsRebuiltFromASmallIndex) {
  EXPECT_FALSE(indexer_.summary(kID));
  BaseIndex index = sampleIndex(4);
  auto vectors = vectorsFor(index, 1);
  indexer_.save(index, &vectors);
  indexer_.evictCache(kID);
  // The older form: no "skipped", no names.
  std::string old = R"({"indexedAt":"2020-01-01T00:00:00Z","files":[{"path":"/docs/a.pdf"}],"skippedReasons":["x"]})";
  platform::writeFileAtomically(file(".summary.json"), old);
  auto summary = indexer_.summary(kID);
  ASSERT_TRUE(summary);
  EXPECT_TRUE(summary->isCurrent());
  EXPECT_EQ(summary->files.size(), 3u);
  EXPECT_TRUE(IndexSummary::decode(slurp(file(".summary.json")))->isCurrent());  // written anew
  bool cached = true;
  indexer_.withCached(kID, [&](BaseIndexer::Cached* c) { cached = c != nullptr; });
  EXPECT_FALSE(cached);  // a status query leaves no index in memory

  // Over 25,000,000 bytes the index is not loaded: the old summary comes back.
  BaseIndex big = sampleIndex(4);
  big.version.reset();
  big.entries[0].sections.push_back(std::string(25'000'001, 'x'));
  platform::writeFileAtomically(file(".json"), big.encode());
  platform::writeFileAtomically(file(".summary.json"), old);
  summary = indexer_.summary(kID);
  ASSERT_TRUE(summary);
  EXPECT_FALSE(summary->isCurrent());
  ASSERT_EQ(summary->failedFiles().size(), 1u);
  EXPECT_EQ(summary->failedFiles()[0].filename, "a file");
  EXPECT_EQ(summary->fileNames(), std::set<std::string>{"a.pdf"});
}

TEST(IndexSummary, FailedFilesAndNamesFollowTheRecordsTheyHave) {
  auto s = IndexSummary::decode(
      R"({"indexedAt":"2020-01-01T00:00:00Z","files":[{"path":"/d/a.pdf","name":"A/a.pdf"},{"path":"/d/b.md"}],
          "skippedReasons":["r1","r2","r3"],"skipped":[{"reason":"r1","name":"x.pdf"},{"reason":"r2","path":"/d/y.docx"},{"reason":"r3"}],
          "hasEmbeddings":true})");
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->isCurrent());  // b.md has no name
  EXPECT_EQ(s->fileNames(), (std::set<std::string>{"A/a.pdf", "b.md"}));
  auto failed = s->failedFiles();
  ASSERT_EQ(failed.size(), 3u);
  EXPECT_EQ(failed[0].filename, "x.pdf");
  EXPECT_EQ(failed[1].filename, "y.docx");
  EXPECT_EQ(failed[2].filename, "a file");
  EXPECT_FALSE(IndexSummary::decode(R"({"files":[],"skippedReasons":[]})"));
  EXPECT_FALSE(IndexSummary::decode(R"({"indexedAt":"2020-01-01T00:00:00Z","files":[{}],"skippedReasons":[]})"));
  EXPECT_FALSE(IndexSummary::decode(R"({"indexedAt":"2020-01-01T00:00:00Z","files":[],"skippedReasons":[],"places":"1"})"));
}

TEST_F(IndexFilesTest, ProgressMarkersOfEndedProcessesAreDeleted) {
  EXPECT_FALSE(indexer_.indexingStatus(kID));
  indexer_.writeIndexingStatus(kID, 64, 130);
  auto status = indexer_.indexingStatus(kID);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->done, 64);
  EXPECT_EQ(status->total, 130);
  auto marker = nlohmann::json::parse(slurp(file(".indexing")));
  EXPECT_EQ(marker["pid"], getpid());
  EXPECT_TRUE(marker["updated"].is_number());

  pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  struct Case {
    std::string text;
    bool status;
    bool kept;
  } cases[] = {
      {R"({"done":1,"total":2,"pid":)" + std::to_string(child) + "}", false, false},  // ended
      {R"({"pid":)" + std::to_string(getpid()) + "}", true, true},  // done and total read as 0
      {R"({"done":1,"total":2,"pid":0})", false, false},
      {R"({"done":1,"total":2,"pid":"12"})", false, false},
      {R"({"done":1,"total":2})", false, false},
      {R"([1,2])", false, true},   // not an object: left alone
      {R"({"done":)", false, true},
  };
  for (const auto& c : cases) {
    platform::writeFileAtomically(file(".indexing"), c.text);
    auto s = indexer_.indexingStatus(kID);
    EXPECT_EQ(s.has_value(), c.status) << c.text;
    EXPECT_EQ(fs::exists(file(".indexing")), c.kept) << c.text;
    if (s) {
      EXPECT_EQ(s->done, 0);
      EXPECT_EQ(s->total, 0);
    }
  }
  indexer_.writeIndexingStatus(kID, 0, 0);
  indexer_.removeIndexingStatus(kID);
  EXPECT_FALSE(fs::exists(file(".indexing")));
}

TEST(UnindexedFiles, AreTheResolvedFilesNeitherIndexedNorSkipped) {
  std::vector<BaseManager::ResolvedFile> files{
      {"/d/a.pdf", "a.pdf"}, {"/d/b.md", "b.md"}, {"/d/new.txt", "new.txt"}, {"/d/huge.pdf", "huge.pdf"}};
  BaseIndex index = sampleIndex(4);
  auto names = [](const std::vector<BaseManager::ResolvedFile>& list) {
    std::vector<std::string> out;
    for (const auto& f : list) out.push_back(f.name);
    return out;
  };
  EXPECT_EQ(names(unindexedFiles(files, index)), std::vector<std::string>{"new.txt"});
  IndexSummary summary(index);
  EXPECT_EQ(names(unindexedFiles(files, summary)), std::vector<std::string>{"new.txt"});
  // A summary of the older form knows skipped files only as "a file".
  summary.skipped.reset();
  EXPECT_EQ(names(unindexedFiles(files, summary)), (std::vector<std::string>{"new.txt", "huge.pdf"}));
}

}  // namespace
}  // namespace zelk
