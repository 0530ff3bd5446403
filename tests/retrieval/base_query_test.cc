// Questions over a base's index files: the vector and keyword paths, scopes and budgets, named
// folders and their place blend, superseded versions, the derived-data cache, on-demand
// passages and the answerability floor.
#include "retrieval/base_query.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "retrieval/embedder.h"
#include "retrieval/floor_judge.h"
#include "retrieval/random_bert.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::ScopedEnv;

const std::string kID = "6B29FC40-CA47-1067-B31D-00DD010662DA";

struct Doc {
  std::string name;
  std::vector<std::string> chunks;
  std::vector<std::vector<float>> vectors;  // one per chunk, normalised when saved
};

std::vector<float> unit(std::vector<float> v, size_t d) {
  v.resize(d, 0);
  double norm = 0;
  for (float x : v) norm += double(x) * x;
  if (norm > 0) {
    for (float& x : v) x = float(x / std::sqrt(norm));
  }
  return v;
}

void writeSmallModel(const std::string& folder) {
  ASSERT_TRUE(platform::createDirectories(folder));
  auto model = testing::makeRandomBert(testing::RandomBertSpec{.vocab = 40, .seed = 5});
  ASSERT_TRUE(testing::writeRandomBert(model, platform::joinPath(folder, "model.safetensors")));
  std::string vocab = "[PAD]\n[UNK]\n[CLS]\n[SEP]\n";
  for (const char* w : {"acme", "corp", "invoice", "tax", "report", "the", "a", "budget"}) {
    vocab += std::string(w) + "\n";
  }
  ASSERT_TRUE(testing::writeFile(platform::joinPath(folder, "vocab.txt"), vocab));
}

class BaseQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Embedder::resetShared();
    RankingSettings::reloadForTesting();
  }
  void TearDown() override {
    FloorJudgeProvider::shared().setJudge(nullptr);
    FloorJudgeProvider::shared().setConfirmer(nullptr);
    Embedder::resetShared();
    RankingSettings::reloadForTesting();
  }

  // Saves the documents as the base's index (vectors of d floats; version 2 unless told).
  void save(const std::vector<Doc>& docs, size_t d = 8, std::optional<int64_t> version = 2,
            const std::vector<std::vector<float>>* places = nullptr) {
    BaseIndex index;
    index.version = version;
    index.baseID = kID;
    index.indexedAt = 1760000000;
    index.embeddingModel = "bge-small-en-v1.5";
    index.vectorDimension = int64_t(d);
    std::vector<std::vector<float>> vectors;
    for (const Doc& doc : docs) {
      BaseIndex::IndexEntry e;
      e.id = "1";
      e.filename = doc.name;
      e.filePath = "/base/" + doc.name;
      for (const auto& c : doc.chunks) e.sections.push_back(c);
      e.chunks = doc.chunks;
      index.entries.push_back(e);
      for (size_t k = 0; k < doc.chunks.size(); ++k) {
        vectors.push_back(unit(k < doc.vectors.size() ? doc.vectors[k] : std::vector<float>{0.01f}, d));
      }
    }
    if (version && *version >= 2) {
      if (places) index.placesVersion = 1;
      indexer_.save(index, &vectors, places);
    } else {
      index.vectorDimension.reset();
      indexer_.save(index);
    }
  }

  std::vector<float> question(std::vector<float> v, size_t d = 8) { return unit(std::move(v), d); }

  std::optional<CrossDocResult> ask(const std::string& q, std::vector<float> v,
                                    const std::set<std::string>* scope = nullptr,
                                    std::optional<int64_t> budget = {}, int64_t next = 0) {
    size_t d = v.size() > 8 ? v.size() : 8;
    std::vector<float> vector = question(std::move(v), d);
    return query_.query(kID, q, scope, budget, false, std::span<const float>(vector), next);
  }

  testing::IsolatedHome home_;
  BaseIndexer indexer_{home_.dir().file("indexes")};
  BaseQuery query_{indexer_};
};

std::vector<std::string> files(const CrossDocResult& r) {
  std::vector<std::string> out;
  for (const auto& h : r.hits) out.push_back(h.filename);
  return out;
}

std::vector<Doc> threeDocs() {
  return {{"lease.pdf", {"The deposit is two months of rent and is returned at the end."}, {{1, 0}}},
          {"bank.txt", {"Savings accounts pay interest monthly to every holder."}, {{0, 1}}},
          {"notes/parking.md", {"Parking spaces are assigned by the office manager."}, {{0.5f, 0.5f}}}};
}

TEST_F(BaseQueryTest, ABaseWithoutAnIndexGivesNothing) {
  EXPECT_FALSE(query_.query(kID, "deposit"));
}

TEST_F(BaseQueryTest, TheVectorPathRanksThePassagesOfTheIndex) {
  save(threeDocs());
  auto r = ask("deposit", {1, 0});
  ASSERT_TRUE(r);
  ASSERT_FALSE(r->hits.empty());
  EXPECT_EQ(r->hits[0].filename, "lease.pdf");
  EXPECT_EQ(r->hits[0].sourceLocation, "chunk 1 of 1");
  EXPECT_EQ(r->hits[0].sectionID, "lease.pdf#0");
  EXPECT_EQ(r->documentsSearched, 3);
  EXPECT_EQ(r->matchQuality, MatchQuality::unknown);
  EXPECT_TRUE(r->namedFolders.empty());
}

TEST_F(BaseQueryTest, WithoutUsableVectorsTheKeywordRankingAnswers) {
  struct Case {
    const char* what;
    std::function<void()> setup;
    size_t questionLength;
  };
  std::vector<Doc> docs = threeDocs();
  docs.push_back({"Budget v1.txt", {"The budget deposit line, first version."}, {{1, 0}}});
  docs.push_back({"Budget v2.txt", {"The budget deposit line, second version."}, {{1, 0}}});
  Case cases[] = {
      {"an index of version 1", [&] { save(docs, 8, 1); }, 8},
      {"no version", [&] { save(docs, 8, std::nullopt); }, 8},
      {"a vectors file of the wrong size",
       [&] {
         save(docs);
         // As the desktop app writes it: no checksum, so the count decides.
         auto index = indexer_.load(kID);
         BaseIndex copy = *index;
         copy.vectorsChecksum.reset();
         platform::writeFileAtomically(indexer_.fileURL(kID, ".json"), copy.encode());
         platform::writeFileAtomically(indexer_.fileURL(kID, ".vec"), std::string(12, '\0'));
       },
       8},
      {"a question vector of another length", [&] { save(docs); }, 16},
  };
  for (const auto& c : cases) {
    c.setup();
    std::vector<float> v = question({1, 0}, c.questionLength);
    auto r = query_.query(kID, "budget deposit", nullptr, {}, false, std::span<const float>(v));
    ASSERT_TRUE(r) << c.what;
    ASSERT_FALSE(r->hits.empty()) << c.what;
    EXPECT_EQ(r->hits[0].sourceLocation, "Section 1 of 1") << c.what;
    EXPECT_EQ(r->hits[0].sectionID, "") << c.what;
    EXPECT_TRUE(r->namedFolders.empty()) << c.what;
    EXPECT_TRUE(r->supersededFiles.empty()) << c.what;
  }
}

TEST_F(BaseQueryTest, WithoutAModelAQuestionIsAnsweredByKeywords) {
  save(threeDocs());
  ASSERT_EQ(Embedder::makeSharedIfInstalled(), nullptr);
  auto r = query_.query(kID, "parking spaces");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->hits.size(), 1u);
  EXPECT_EQ(r->hits[0].filename, "notes/parking.md");
  EXPECT_EQ(r->hits[0].sourceLocation, "Section 1 of 1");
  // A question made only of stop words finds nothing by keywords, but still answers.
  auto none = query_.query(kID, "the of");
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->hits.empty());
  EXPECT_EQ(none->documentsSearched, 3);
}

TEST_F(BaseQueryTest, AScopeNamingNoDocument) {
  save(threeDocs());
  std::set<std::string> scope{"missing.pdf"};
  EXPECT_FALSE(ask("deposit", {1, 0}, &scope));  // vector path: nothing in scope
  std::set<std::string> lease{"lease.pdf", "notes/parking.md"};
  auto scoped = ask("deposit", {0, 1}, &lease);
  ASSERT_TRUE(scoped);
  EXPECT_EQ(scoped->documentsSearched, 2);
  for (const auto& h : scoped->hits) EXPECT_NE(h.filename, "bank.txt");
  std::set<std::string> empty;
  EXPECT_EQ(ask("deposit", {1, 0}, &empty)->documentsSearched, 3);  // empty means the whole base

  save(threeDocs(), 8, 1);  // keyword path: a result without hits
  auto keyword = ask("deposit", {1, 0}, &scope);
  ASSERT_TRUE(keyword);
  EXPECT_TRUE(keyword->hits.empty());
  EXPECT_EQ(keyword->documentsSearched, 0);
}

TEST_F(BaseQueryTest, TheTokenBudgetSetsTheCharacterBudget) {
  std::vector<Doc> docs;
  for (int i = 0; i < 30; ++i) {
    docs.push_back({"doc" + std::to_string(i) + ".txt",
                    {std::string(300, char('a' + i % 26)) + " passage " + std::to_string(i)},
                    {{1, float(i) / 30}}});
  }
  save(docs);
  auto tiny = ask("passage", {1, 0}, nullptr, 0);  // 4 characters: the first hit only
  ASSERT_TRUE(tiny);
  EXPECT_EQ(tiny->hits.size(), 1u);
  auto fallback = ask("passage", {1, 0});  // 8000 characters
  ASSERT_TRUE(fallback);
  size_t total = 0;
  for (const auto& h : fallback->hits) total += h.excerpt.size() + 2;
  EXPECT_EQ(fallback->hits.size(), 25u);  // 25 x 314 <= 8000 < 26 x 314
  EXPECT_LE(total, 8000u + 2);
  auto wide = ask("passage", {1, 0}, nullptr, 100000);
  EXPECT_EQ(wide->hits.size(), 30u);
}

TEST_F(BaseQueryTest, OlderVersionsRankLastUnlessTheQuestionNamesThem) {
  std::vector<Doc> docs{
      {"Budget v1.xlsx", {"budget line items for travel and rent"}, {{1, 0}}},
      {"Budget v2.xlsx", {"budget line items for travel and rent and food"}, {{0.2f, 1}}},
      {"memo.txt", {"a memo about the office"}, {{0, 1}}}};
  save(docs);
  auto r = ask("budget line items", {1, 0});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->supersededFiles, std::set<std::string>{"Budget v1.xlsx"});
  EXPECT_EQ(files(*r), (std::vector<std::string>{"Budget v2.xlsx", "memo.txt", "Budget v1.xlsx"}));
  auto named = ask("what changed in v1 of the budget", {1, 0});
  EXPECT_TRUE(named->supersededFiles.empty());
  EXPECT_EQ(named->hits[0].filename, "Budget v1.xlsx");
  {
    ScopedEnv off("ZELK_VERSIONS_LAST", "0");
    RankingSettings::reloadForTesting();
    EXPECT_TRUE(ask("budget line items", {1, 0})->supersededFiles.empty());
  }
  RankingSettings::reloadForTesting();
  // The static helper over the index, on its own.
  auto index = indexer_.load(kID);
  EXPECT_EQ(BaseQuery::supersededFiles(*index, "budget"), std::set<std::string>{"Budget v1.xlsx"});
}

TEST_F(BaseQueryTest, NamedFoldersMatchTheQuestionsWordsExactly) {
  std::vector<std::string> names{"Clients/Acme Corp/invoice 1.pdf", "Clients/Acme Corp/invoice 2.pdf",
                                 "Clients/Beta/plan.pdf",          "Taxes/return.pdf",
                                 "2024/summary.pdf",               "misc/a.txt",
                                 "misc/b.txt",                      "misc/c.txt"};
  // One passage per document; "acme" also appears in a passage of misc/a.txt.
  std::vector<std::vector<std::string>> terms{{"invoice", "acme"}, {"invoice"}, {"plan"},
                                              {"tax", "return"},   {"summary"}, {"acme", "note"},
                                              {"note"},            {"note"}};
  auto lists = SmartSelect::TermLists::fromLists(terms);
  SmartSelect::PassageTerms passageTerms{&lists, {}, {}};
  std::vector<uint32_t> entry{0, 1, 2, 3, 4, 5, 6, 7};
  auto named = [&](const std::string& q) {
    return BaseQuery::namedFolders(q, names, entry, passageTerms);
  };
  EXPECT_EQ(named("acme corp invoices"), std::vector<std::string>{"Clients/Acme Corp"});
  EXPECT_TRUE(named("corp acme invoices").empty());           // the words in another order
  EXPECT_TRUE(named("what did the tax folder say").empty());  // tax is not taxes
  EXPECT_EQ(named("what do my taxes say"), std::vector<std::string>{"Taxes"});
  EXPECT_TRUE(named("numbers for 2024").empty());             // a number is never a name
  EXPECT_EQ(named("the clients list"), std::vector<std::string>{"Clients"});  // 3 of 8 documents
  EXPECT_EQ(named("misc and taxes"), (std::vector<std::string>{"Taxes", "misc"}));
  // A folder holding more than half of the documents is never named.
  std::vector<std::string> mostly{"Big/a.txt", "Big/b.txt", "Big/c.txt", "other.txt"};
  auto few = SmartSelect::TermLists::fromLists({{"x"}, {"x"}, {"x"}, {"x"}});
  SmartSelect::PassageTerms fewTerms{&few, {}, {}};
  EXPECT_TRUE(BaseQuery::namedFolders("big", mostly, {0, 1, 2, 3}, fewTerms).empty());
}

TEST_F(BaseQueryTest, ANamedFolderBlendsItsPlaceIntoTheRanking) {
  std::vector<Doc> docs{
      {"Clients/Acme Corp/invoice.pdf", {"invoice number seven for the quarter"}, {{0, 1}}},
      {"Clients/Beta/invoice.pdf", {"invoice number eight for the quarter"}, {{1, 0}}},
      {"misc/a.txt", {"notes one"}, {{0, 0, 1}}},
      {"misc/b.txt", {"notes two"}, {{0, 0, 1}}},
      {"misc/c.txt", {"notes three"}, {{0, 0, 1}}}};
  // Without a model there are no place vectors: no blend, no folders reported.
  save(docs);
  auto plain = ask("acme corp invoices", {1, 0});
  ASSERT_TRUE(plain);
  EXPECT_TRUE(plain->namedFolders.empty());

  writeSmallModel(platform::modelsDir());
  ASSERT_TRUE(Embedder::makeSharedIfInstalled());
  const size_t d = Embedder::makeSharedIfInstalled()->embed("x").size();
  std::vector<Doc> wide = docs;
  for (auto& doc : wide) {
    for (auto& v : doc.vectors) v.resize(d, 0);
  }
  save(wide, d);
  std::vector<float> q(d, 0);
  q[0] = 1;
  auto r = query_.query(kID, "acme corp invoices", nullptr, {}, false, std::span<const float>(q));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->namedFolders, std::vector<std::string>{"Clients/Acme Corp"});
  // The place vector came from the model and is remembered.
  auto remembered = query_.placeVectors({SmartSelect::place("Clients/Acme Corp/invoice.pdf")});
  ASSERT_TRUE(remembered);
  EXPECT_EQ(remembered->begin()->second.size(), d);
}

TEST_F(BaseQueryTest, ManyNewPlaceTextsAreEmbeddedInTheBackground) {
  writeSmallModel(platform::modelsDir());
  auto embedder = Embedder::makeSharedIfInstalled();
  ASSERT_TRUE(embedder);
  const size_t d = embedder->embed("x").size();
  std::vector<Doc> docs;
  for (int i = 0; i < 401; ++i) {
    docs.push_back({"Acme/file " + std::to_string(i) + ".txt", {"report text"}, {{1}}});
    docs.push_back({"Other/file " + std::to_string(i) + ".txt", {"other text"}, {{0, 1}}});
  }
  for (auto& doc : docs) doc.vectors[0].resize(d, 0);
  save(docs, d);
  std::vector<float> q(d, 0);
  q[0] = 1;
  auto first = query_.query(kID, "acme report", nullptr, {}, false, std::span<const float>(q));
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->namedFolders.empty());
  for (int i = 0; i < 600 && query_.namedPlacesPending(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_FALSE(query_.namedPlacesPending());
  auto second = query_.query(kID, "acme report", nullptr, {}, false, std::span<const float>(q));
  ASSERT_TRUE(second);
  EXPECT_EQ(second->namedFolders, std::vector<std::string>{"Acme"});
}

TEST_F(BaseQueryTest, TheWholeBasePlaceBlendUsesThePlacesFile) {
  ScopedEnv weight("ZELK_PLACE_WEIGHT", "2");
  RankingSettings::reloadForTesting();
  std::vector<Doc> docs{{"x/a.txt", {"first text here"}, {{1, 0}}},
                        {"y/b.txt", {"second text here"}, {{0.9f, 0.44f}}}};
  std::vector<std::vector<float>> places{unit({0, 1}, 8), unit({1, 0}, 8)};
  save(docs, 8, 2, &places);
  // The question is nearest a's passage but points along b's place: the blend lifts b.
  auto r = ask("the", {1, 0});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->hits[0].filename, "y/b.txt");
  auto index = indexer_.load(kID);
  auto flat = indexer_.cachedFlatVectors(kID, index);
  auto cached = query_.cachedPlaces(kID, index, *flat, 8);
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->passageDot.size(), 2u);
  EXPECT_EQ(query_.cachedPlaces(kID, index, *flat, 8), cached);  // kept while the file stays
  // A places file that does not belong to the index gives no blend.
  platform::writeFileAtomically(indexer_.fileURL(kID, ".place"), std::string(64, '\0'));
  EXPECT_FALSE(query_.cachedPlaces(kID, index, *flat, 8));
  EXPECT_EQ(ask("the", {1, 0})->hits[0].filename, "x/a.txt");
}

TEST_F(BaseQueryTest, DerivedDataIsKeptUntilTheIndexChanges) {
  save(threeDocs());
  auto index = indexer_.load(kID);
  auto terms = query_.cachedChunkTokens(kID, index);
  EXPECT_EQ(terms->size(), 3u);
  EXPECT_EQ(query_.cachedChunkTokens(kID, index), terms);
  auto counts = query_.cachedTermCounts(kID, index, terms);
  EXPECT_EQ(query_.cachedTermCounts(kID, index, terms), counts);
  EXPECT_EQ(counts->counts.at("deposit"), 1u);
  std::vector<Doc> more = threeDocs();
  more.push_back({"new.txt", {"A new deposit rule."}, {{1, 1}}});
  save(more);
  auto newer = indexer_.load(kID);
  EXPECT_NE(newer, index);
  EXPECT_EQ(query_.cachedChunkTokens(kID, newer)->size(), 4u);
  // Work done for an index that is no longer cached is not stored over the newer one.
  query_.cachedChunkTokens(kID, index);
  EXPECT_EQ(query_.cachedChunkTokens(kID, newer)->size(), 4u);
}

TEST_F(BaseQueryTest, QuestionsMayRunAtOnce) {
  std::vector<Doc> docs;
  for (int i = 0; i < 200; ++i) {
    docs.push_back({"f" + std::to_string(i) + ".txt",
                    {"passage about topic " + std::to_string(i) + " and deposits"},
                    {{float(i % 7), 1, float(i % 3)}}});
  }
  save(docs);
  std::vector<std::thread> threads;
  std::atomic<int> answered{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < 5; ++k) {
        std::vector<float> v = question({1, float(t), float(k)});
        if (query_.query(kID, "deposits topic", nullptr, {}, false, std::span<const float>(v))) {
          ++answered;
        }
        if (t == 0 && k == 2) indexer_.evictCache(kID);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(answered.load(), 20);
}

TEST_F(BaseQueryTest, OnDemandPassagesNeedAModel) {
  std::vector<BaseQuery::QueryPassage> chunks{
      {"the acme invoice is due", "a.txt", "chunk 1 of 1"},
      {"a tax report for the budget", "b.txt", "chunk 1 of 1"}};
  EXPECT_FALSE(query_.queryEphemeralOnDemand(chunks, "acme invoice"));
  writeSmallModel(platform::modelsDir());
  auto r = query_.queryEphemeralOnDemand(chunks, "acme invoice");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->documentsSearched, 2);
  ASSERT_FALSE(r->hits.empty());
  EXPECT_EQ(r->hits[0].sourceLocation, "chunk 1 of 1");
  EXPECT_EQ(r->matchQuality, MatchQuality::unknown);  // no judge
  EXPECT_FALSE(query_.queryEphemeralOnDemand(chunks, "acme", {"c.txt"}));
  EXPECT_FALSE(query_.queryEphemeralOnDemand({}, "acme"));
  auto one = query_.queryEphemeralOnDemand(chunks, "acme invoice", {"b.txt"});
  ASSERT_TRUE(one);
  EXPECT_EQ(files(*one), std::vector<std::string>{"b.txt"});
  // A shortlist of one keeps the best keyword passage only.
  auto shortlisted = query_.queryEphemeralOnDemand(chunks, "acme invoice", {}, {}, 1);
  EXPECT_EQ(files(*shortlisted), std::vector<std::string>{"a.txt"});
}

class ScriptedJudge : public FloorJudge {
 public:
  explicit ScriptedJudge(std::vector<FloorVerdict> verdicts) : verdicts_(std::move(verdicts)) {}
  FloorVerdict judge(const std::string&, const std::string& passage) override {
    judged.push_back(passage);
    return judged.size() <= verdicts_.size() ? verdicts_[judged.size() - 1] : FloorVerdict::none;
  }
  std::vector<std::string> judged;

 private:
  std::vector<FloorVerdict> verdicts_;
};

TEST_F(BaseQueryTest, TheFloorGradesTheTopPassages) {
  CrossDocResult ranked;
  for (int i = 0; i < 5; ++i) {
    CrossDocHit h;
    h.excerpt = "passage " + std::to_string(i);
    h.filename = "f.txt";
    h.follows = i == 1;
    ranked.hits.push_back(h);
  }
  ranked.documentsWithHits = 1;
  ranked.namedFolders = {"A"};
  ranked.supersededFiles = {"old.txt"};
  using V = FloorVerdict;
  EXPECT_EQ(BaseQuery::applyFloor(ranked, "q").matchQuality, MatchQuality::unknown);  // no judge
  struct Case {
    std::vector<V> verdicts;
    std::optional<V> confirmer;
    MatchQuality quality;
    size_t hits;
    size_t judged;
  } cases[] = {
      {{V::none, V::none, V::answers}, {}, MatchQuality::high, 5, 3},
      {{V::answers}, {}, MatchQuality::high, 5, 1},
      {{V::none, V::none, V::none}, {}, MatchQuality::none, 0, 3},
      {{V::none, V::unclear, V::none}, {}, MatchQuality::low, 5, 3},
      {{V::none, V::unclear, V::none}, V::answers, MatchQuality::high, 5, 3},
      {{V::unclear, V::unclear, V::none}, V::none, MatchQuality::low, 5, 3},
  };
  for (const auto& c : cases) {
    auto judge = std::make_shared<ScriptedJudge>(c.verdicts);
    FloorJudgeProvider::shared().setJudge(judge);
    std::shared_ptr<ScriptedJudge> confirmer;
    if (c.confirmer) confirmer = std::make_shared<ScriptedJudge>(std::vector<V>{*c.confirmer});
    FloorJudgeProvider::shared().setConfirmer(confirmer);
    CrossDocResult r = BaseQuery::applyFloor(ranked, "q");
    EXPECT_EQ(r.matchQuality, c.quality);
    EXPECT_EQ(r.hits.size(), c.hits);
    ASSERT_EQ(judge->judged.size(), c.judged);
    // The following passage (index 1) is never judged.
    EXPECT_EQ(judge->judged[1 < c.judged ? 1 : 0], 1 < c.judged ? "passage 2" : "passage 0");
    if (c.quality == MatchQuality::none) {
      EXPECT_EQ(r.heldBack.size(), 5u);
      EXPECT_EQ(r.documentsWithHits, 0);
      EXPECT_TRUE(r.namedFolders.empty());
      EXPECT_TRUE(r.supersededFiles.empty());
    }
    if (confirmer) {
      ASSERT_EQ(confirmer->judged.size(), 1u);
      EXPECT_EQ(confirmer->judged[0], c.verdicts[0] == V::unclear ? "passage 0" : "passage 2");
    }
  }
  // Long passages are judged by their first 1500 characters.
  auto judge = std::make_shared<ScriptedJudge>(std::vector<V>{V::answers});
  FloorJudgeProvider::shared().setJudge(judge);
  CrossDocResult longOne;
  longOne.hits.push_back({std::string(2000, 'x'), "f.txt", "", 1, "", 1, false});
  BaseQuery::applyFloor(longOne, "q");
  EXPECT_EQ(judge->judged[0].size(), 1500u);
}

}  // namespace
}  // namespace zelk
