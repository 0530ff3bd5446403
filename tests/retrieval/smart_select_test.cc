// Hybrid ranking: terms, BM25, shortlist, statistics, spelling variants, the fused selection
// with its budget, near copies, following passages, caps and superseded files; and the
// keyword-only selections.
#include "retrieval/smart_select.h"

#include <gtest/gtest.h>

#include <cmath>

#include "test_support.h"

namespace zelk {
namespace {

using namespace SmartSelect;
using testing::ScopedEnv;

TEST(SmartSelectTerms, TokenizeKeepsLowerCasedLetterAndDigitRuns) {
  struct Case {
    std::string text;
    std::vector<std::string> terms;
  } cases[] = {
      {"Hello, World!", {"hello", "world"}},
      {"a b cd I x9", {"cd", "x9"}},
      {"The W-2 form, 2024 (v1.3)", {"the", "form", "2024", "v1"}},
      {"Caf\xC3\xA9 NA\xC3\x8FVE", {"caf\xC3\xA9", "na\xC3\xAFve"}},
      {"cafe\xCC\x81s e\xCC\x81", {"cafe\xCC\x81s"}},  // a combining accent is part of its letter
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x80\x82", {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"}},
      {"\xC2\xBD\xC2\xBD x", {"\xC2\xBD\xC2\xBD"}},  // numbers of any kind
      {"bad\xFF" "bytes \xC3", {"bad", "bytes"}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(tokenize(c.text), c.terms) << c.text;
  EXPECT_EQ(questionTerms("what is the tax for 2024 and a car"),
            (std::vector<std::string>{"what", "tax", "2024", "car"}));
}

TEST(SmartSelectTerms, PlaceJoinsTheNameWithItsFolders) {
  EXPECT_EQ(place("Taxes/2024/W2 form.pdf"), "W2 form \xC2\xB7 Taxes \xC2\xB7 2024");
  EXPECT_EQ(place("notes.md"), "notes");
  EXPECT_EQ(place("README"), "README");
  EXPECT_EQ(place("~/a.b/report.v2.pdf"), "report.v2 \xC2\xB7 ~ \xC2\xB7 a.b");
}

TEST(SmartSelectBM25, ScoresFollowTheFormula) {
  std::vector<std::vector<std::string>> passages{{"cat", "dog", "cat"}, {"cat"}, {"fish", "bird"}};
  auto scores = bm25Scores(passages, {"cat", "cat", "zebra"});
  ASSERT_EQ(scores.size(), 3u);
  double avgdl = 6.0 / 3, idf = std::log((3 - 2 + 0.5) / (2 + 0.5) + 1);
  auto expected = [&](double tf, double len) {
    return tf * 2.2 * idf / (tf + 1.2 * (0.25 + 0.75 * len / avgdl));
  };
  EXPECT_DOUBLE_EQ(scores[0], expected(2, 3));  // the term counted once although asked twice
  EXPECT_DOUBLE_EQ(scores[1], expected(1, 1));
  EXPECT_EQ(scores[2], 0);
  EXPECT_TRUE(bm25Scores(std::vector<std::vector<std::string>>{}, {"cat"}).empty());
}

TEST(SmartSelectBM25, PrefixTermsCountAsPartOfTheirPassages) {
  std::vector<std::vector<std::string>> own{{"invoice", "total"}, {"total"}, {"acme", "memo"}};
  TermLists lists = TermLists::fromLists(own);
  PassageTerms prefixed{&lists, {0, -1, 0}, {{"acme", "corp"}}};
  auto withPrefix = bm25Scores(prefixed, {"acme", "total"});
  auto joined = bm25Scores(std::vector<std::vector<std::string>>{{"acme", "corp", "invoice", "total"},
                                                                 {"total"},
                                                                 {"acme", "corp", "acme", "memo"}},
                           {"acme", "total"});
  ASSERT_EQ(withPrefix.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(withPrefix[i], joined[i]);
}

TEST(SmartSelectBM25, ShortlistTakesTheBestScoresInOrder) {
  std::vector<std::vector<std::string>> passages{{"x"}, {"tax"}, {"tax", "tax"}, {"y"}, {"tax"}};
  TermLists lists = TermLists::fromLists(passages);
  PassageTerms terms{&lists, {}, {}};
  EXPECT_EQ(bm25Shortlist(terms, "the tax", 3), (std::vector<uint32_t>{2, 1, 4}));
  EXPECT_EQ(bm25Shortlist(terms, "the tax", 5), (std::vector<uint32_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(bm25Shortlist(terms, "the of", 2), (std::vector<uint32_t>{0, 1, 2, 3, 4}));
}

TEST(SmartSelectStatistics, TermCountsAndSpellingVariants) {
  std::vector<std::vector<std::string>> passages;
  for (int i = 0; i < 6; ++i) passages.push_back({"receive", "receipts", "12345", "tiny"});
  passages.push_back({"receeve", "receive"});
  passages.push_back({"receives"});
  for (int i = 0; i < 3; ++i) passages.push_back({"receives"});
  TermCounts counts = termCounts(passages);
  EXPECT_EQ(counts.counts.at("receive"), 7u);
  EXPECT_EQ(counts.counts.at("receeve"), 1u);
  EXPECT_EQ(counts.counts.count("12345"), 0u);  // only digits
  EXPECT_EQ(counts.counts.count("tiny"), 0u);   // 4 characters
  EXPECT_EQ(counts.byPrefix.at("re"),
            (std::vector<std::string>{"receive", "receipts", "receives"}));
  // "receeve" (1 passage) finds "receive" (7 > 2 x 1), one edit away; "receives" is more than
  // one edit away; a plural of the term itself is never a variant.
  EXPECT_EQ(spellingVariants({"receeve"}, counts), std::vector<std::string>{"receive"});
  EXPECT_EQ(editDistance("recieve", "receive"), 2u);  // a swap is two edits
  EXPECT_TRUE(spellingVariants({"receive"}, counts).empty());
  EXPECT_TRUE(spellingVariants({"recei"}, counts).empty());  // under 7 characters
  EXPECT_EQ(editDistance("kitten", "sitting"), 3u);
  EXPECT_EQ(editDistance("caf\xC3\xA9", "cafe"), 1u);  // per character, not per byte
  EXPECT_EQ(editDistance("", "abc"), 3u);
}

// A small corpus with hand-made unit vectors: passage j points mostly along axis j % d.
struct Corpus {
  std::vector<std::string> texts, names;
  std::vector<float> vectors;
  int d = 8;

  void add(std::string text, std::string name, std::vector<float> v) {
    texts.push_back(std::move(text));
    names.push_back(std::move(name));
    double norm = 0;
    for (float x : v) norm += double(x) * x;
    for (float& x : v) x = float(x / std::sqrt(norm));
    v.resize(size_t(d), 0);
    vectors.insert(vectors.end(), v.begin(), v.end());
  }
  std::vector<Passage> passages() const {
    std::vector<Passage> out;
    for (size_t i = 0; i < texts.size(); ++i) out.push_back({texts[i], names[i], "", 1, 1});
    return out;
  }
  CrossDocResult rank(const std::string& question, std::vector<float> q, int64_t budget = 8000,
                      int64_t next = 0, std::optional<int64_t> cap = {},
                      const std::set<std::string>& superseded = {},
                      const PlaceBlend* blend = nullptr,
                      std::optional<int64_t> shortlist = {}) const {
    q.resize(size_t(d), 0);
    auto p = passages();
    return selectEmbedPrimary(p, vectors, d, question, q, nullptr, nullptr, budget, shortlist,
                              next, blend, cap, superseded);
  }
};

std::vector<std::string> files(const CrossDocResult& r) {
  std::vector<std::string> out;
  for (const auto& h : r.hits) out.push_back(h.filename);
  return out;
}

class RankingTest : public ::testing::Test {
 protected:
  void SetUp() override { RankingSettings::reloadForTesting(); }
  void TearDown() override { RankingSettings::reloadForTesting(); }
};

TEST_F(RankingTest, AStopWordQuestionRanksByTheEmbeddingAlone) {
  Corpus c;
  c.add("alpha passage about rivers", "a.txt", {1, 0});
  c.add("beta passage about the hills", "b.txt", {0.6f, 0.8f});
  c.add("gamma passage of the sea", "c.txt", {0, 1});
  auto r = c.rank("the of and", {0, 1}, 60);
  EXPECT_EQ(files(r), (std::vector<std::string>{"c.txt", "b.txt"}));
  EXPECT_DOUBLE_EQ(r.confidence, 1.0);
  EXPECT_NEAR(r.hits[1].relevance, 0.8, 1e-6);
  EXPECT_EQ(r.hits[0].sectionID, "c.txt#2");
  EXPECT_EQ(r.hits[0].sourceLocation, "chunk 1 of 1");
  EXPECT_EQ(r.hits[0].tokens, 6);  // 24 characters / 4
  EXPECT_EQ(r.documentsSearched, 3);
  EXPECT_EQ(r.documentsWithHits, 2);
  EXPECT_EQ(r.matchQuality, MatchQuality::unknown);
  EXPECT_NEAR(r.docRelevance.at("a.txt"), 0.0, 1e-6);
  EXPECT_TRUE(r.heldBack.empty());
}

TEST_F(RankingTest, KeywordsAndEmbeddingsAreFusedByRank) {
  Corpus c;
  c.add("unrelated words entirely", "c.txt", {0.2f, 1});
  c.add("nothing to see", "a.txt", {1, 0.1f});
  c.add("the pension contribution limit is stated here", "b.txt", {0.9f, 0.4f});
  // Dense order a, b, c; keyword order b, then c and a by position: b's 1/61 + 1/60 beats
  // a's 1/60 + 1/62.
  auto r = c.rank("pension contribution", {1, 0}, 16);
  ASSERT_FALSE(r.hits.empty());
  EXPECT_EQ(r.hits[0].filename, "b.txt");
  // The first hit is taken even though it alone exceeds the budget.
  EXPECT_EQ(r.hits.size(), 1u);
}

TEST_F(RankingTest, NearCopiesKeepTheLaterYear) {
  std::string text = "The annual fee schedule lists 1,250.00 for members and 300 for guests.";
  Corpus c;
  c.add(text, "fees 2022.pdf", {1, 0});
  c.add(text, "fees 2023.pdf", {1, 0.01f});
  c.add("A different passage about parking rules near the office.", "parking.txt", {0.5f, 0.5f});
  auto r = c.rank("fee schedule", {1, 0});
  EXPECT_EQ(files(r), (std::vector<std::string>{"fees 2023.pdf", "parking.txt"}));
  {
    ScopedEnv off("ZELK_NEAR_COPIES", "0");
    RankingSettings::reloadForTesting();
    auto both = c.rank("fee schedule", {1, 0});
    EXPECT_EQ(files(both), (std::vector<std::string>{"fees 2022.pdf", "fees 2023.pdf", "parking.txt"}));
  }
  // Different numbers: not a copy.
  Corpus d;
  d.add(text, "fees 2022.pdf", {1, 0});
  d.add("The annual fee schedule lists 1,300.00 for members and 300 for guests.", "fees 2023.pdf",
        {1, 0.01f});  // different numbers: not a copy
  EXPECT_EQ(d.rank("fee schedule", {1, 0}).hits.size(), 2u);
}

TEST_F(RankingTest, SupersededFilesComeAfterEveryOtherPassage) {
  Corpus c;
  c.add("budget figures for the year v1", "Budget v1.xlsx", {1, 0});
  c.add("budget figures for the year v2", "Budget v2.xlsx", {0.1f, 1});
  c.add("other notes", "notes.txt", {0, 1});
  auto r = c.rank("budget figures", {1, 0}, 8000, 0, {}, {"Budget v1.xlsx"});
  EXPECT_EQ(files(r), (std::vector<std::string>{"Budget v2.xlsx", "notes.txt", "Budget v1.xlsx"}));
  // Relevance is relative to the top of the final order, so the held-back passage exceeds 1.
  EXPECT_GT(r.hits[2].relevance, 1.0);
}

TEST_F(RankingTest, FollowingPassagesComeWithTheTopHits) {
  Corpus c;
  c.add("section one of the lease: the deposit is two months of rent", "lease.pdf", {1, 0});
  c.add("section two of the lease: continuation of the terms", "lease.pdf", {0, 1});
  c.add("section three of the lease: pets", "lease.pdf", {0, 1});
  c.add("another longer document that talks at some length about the deposit policies of the "
        "bank and of its many branches",
        "bank.pdf", {0.9f, 0.1f});
  auto r = c.rank("deposit", {1, 0}, 8000, 1);
  ASSERT_GE(r.hits.size(), 3u);
  EXPECT_EQ(r.hits[0].excerpt, c.texts[0]);
  EXPECT_EQ(r.hits[1].excerpt, c.texts[1]);
  EXPECT_TRUE(r.hits[1].follows);
  EXPECT_NEAR(r.hits[1].relevance, 0.9 * r.hits[0].relevance, 1e-9);
  EXPECT_EQ(r.hits[2].filename, "bank.pdf");
  EXPECT_FALSE(r.hits[2].follows);
  // Without following passages the second lease passage comes only by its own rank.
  auto plain = c.rank("deposit", {1, 0}, 8000, 0);
  EXPECT_EQ(plain.hits[1].filename, "bank.pdf");
}

TEST_F(RankingTest, APerFileCapSpreadsTheFirstPass) {
  Corpus c;
  for (int i = 0; i < 3; ++i) c.add("alpha topic passage " + std::to_string(i), "a.txt", {1, 0.01f * float(i)});
  c.add("beta topic passage", "b.txt", {0.8f, 0.6f});
  c.add("gamma topic passage", "c.txt", {0.6f, 0.8f});
  auto capped = c.rank("the", {1, 0}, 8000, 0, 1);
  EXPECT_EQ(files(capped), (std::vector<std::string>{"a.txt", "b.txt", "c.txt", "a.txt", "a.txt"}));
  auto plain = c.rank("the", {1, 0});
  EXPECT_EQ(files(plain), (std::vector<std::string>{"a.txt", "a.txt", "a.txt", "b.txt", "c.txt"}));
}

TEST_F(RankingTest, BadInputsGiveAnEmptyResult) {
  Corpus c;
  c.add("one passage", "a.txt", {1, 0});
  auto p = c.passages();
  std::vector<float> shortQuestion(4, 0.5f);
  auto r = selectEmbedPrimary(p, c.vectors, 8, "passage", shortQuestion, nullptr, nullptr, 8000,
                              {}, 0, nullptr, {}, {});
  EXPECT_TRUE(r.hits.empty());
  EXPECT_EQ(r.confidence, 0);
  EXPECT_EQ(r.documentsSearched, 1);
  EXPECT_TRUE(r.docRelevance.empty());
  std::vector<float> q(8, 0.1f);
  std::vector<float> few(4, 0.1f);
  EXPECT_TRUE(selectEmbedPrimary(p, few, 8, "x", q, nullptr, nullptr, 10, {}, 0, nullptr, {}, {})
                  .hits.empty());
  EXPECT_TRUE(selectEmbedPrimary({}, {}, 8, "x", q, nullptr, nullptr, 10, {}, 0, nullptr, {}, {})
                  .hits.empty());
  // Vectors that are not numbers rank last instead of breaking the order.
  Corpus n;
  n.add("first", "a.txt", {1, 0});
  n.add("second", "b.txt", {0.5f, 0.5f});
  n.vectors[0] = std::nanf("");
  EXPECT_EQ(n.rank("the", {1, 0}).hits[0].filename, "b.txt");
}

TEST_F(RankingTest, AShortlistLimitsTheCandidates) {
  Corpus c;
  c.add("tax return", "a.txt", {0, 1});
  c.add("unrelated", "b.txt", {1, 0});
  c.add("tax tax form", "c.txt", {0.2f, 0.9f});
  auto r = c.rank("tax", {1, 0}, 8000, 0, {}, {}, nullptr, 2);
  EXPECT_EQ(r.docRelevance.count("b.txt"), 0u);
  for (const auto& h : r.hits) EXPECT_NE(h.filename, "b.txt");
  {
    ScopedEnv k("ZELK_SHORTLIST_K", "2");
    RankingSettings::reloadForTesting();
    EXPECT_EQ(c.rank("tax", {1, 0}).docRelevance.count("b.txt"), 0u);
  }
  {
    ScopedEnv k("ZELK_SHORTLIST_K", "two");  // not an integer: 0, no shortlist
    RankingSettings::reloadForTesting();
    EXPECT_EQ(c.rank("tax", {1, 0}).docRelevance.count("b.txt"), 1u);
  }
}

TEST_F(RankingTest, APlaceBlendMovesPassagesTowardTheirDocumentsPlace) {
  Corpus c;
  c.add("first text", "x/a.txt", {1, 0});
  c.add("second text", "y/b.txt", {0.9f, 0.44f});
  // b's place points where the question does.
  PlaceBlend blend{1.0f, {0.0f, 1.0f}, {0.0f, 0.44f}};
  auto r = c.rank("the", {1, 0}, 8000, 0, {}, {}, &blend);
  EXPECT_EQ(r.hits[0].filename, "y/b.txt");
  PlaceBlend none{1.0f, {std::nanf(""), std::nanf("")}, {0, 0}};
  EXPECT_EQ(c.rank("the", {1, 0}, 8000, 0, {}, {}, &none).hits[0].filename, "x/a.txt");
}

TEST(SmartSelectKeyword, SelectPicksTheBestSections) {
  std::string text = "# Intro\nwelcome text here\n\n# Fees\nthe fee is 10 and the fee rises\n\n# Other\nnothing";
  auto r = select(text, "what is the fee");
  EXPECT_EQ(r.text, "# Fees\nthe fee is 10 and the fee rises");
  EXPECT_EQ(r.location, "Section 2 of 3");
  EXPECT_NEAR(r.confidence, 0.3 + 0.7 * 0.5, 1e-9);  // "fee" found, "what" not
  std::string longText(9000, 'x');
  auto none = select("# A\n" + longText, "the of");
  EXPECT_EQ(none.text.size(), 8000u);
  EXPECT_EQ(none.location, "Section 1 of 1");
  EXPECT_EQ(none.confidence, 0);
  auto empty = select("", "fee");
  EXPECT_EQ(empty.location, "Section 1 of 1");
}

TEST(SmartSelectKeyword, SelectAcrossScoresEverySectionOfEveryDocument) {
  std::vector<Document> docs{{"# A\nthe lease deposit is due\n\n# B\nparking", "lease.pdf"},
                             {"deposit and deposit again", "bank.txt"},
                             {"nothing relevant", "misc.md"}};
  auto r = selectAcross(docs, "deposit");
  EXPECT_EQ(files(r), (std::vector<std::string>{"bank.txt", "lease.pdf"}));
  EXPECT_EQ(r.hits[1].sourceLocation, "Section 1 of 2");
  EXPECT_DOUBLE_EQ(r.hits[0].relevance, 1.0);
  EXPECT_EQ(r.hits[0].sectionID, "");
  EXPECT_EQ(r.hits[0].tokens, 0);
  EXPECT_EQ(r.documentsSearched, 3);
  EXPECT_EQ(r.documentsWithHits, 2);
  auto none = selectAcross(docs, "the");
  EXPECT_TRUE(none.hits.empty());
  EXPECT_EQ(none.documentsSearched, 3);
  EXPECT_EQ(none.confidence, 0);
}

TEST(SmartSelectKeyword, MatchQualityTexts) {
  for (auto q : {MatchQuality::high, MatchQuality::low, MatchQuality::none, MatchQuality::unknown}) {
    EXPECT_EQ(matchQualityFromString(toString(q)), q);
  }
  EXPECT_FALSE(matchQualityFromString("High"));
}

}  // namespace
}  // namespace zelk
