// Versions of one document: stems, group keys and which files newer ones supersede.
#include "retrieval/version_groups.h"

#include <gtest/gtest.h>

#include <map>

namespace zelk {
namespace {

using namespace VersionGroups;

TEST(VersionGroups, StemsTakeOffVersionsCopiesAndStatusWords) {
  struct Case {
    std::string path;
    std::string stem;
    std::optional<std::vector<int64_t>> version;
    int finality;
  } cases[] = {
      {"/d/Report v2.docx", "report", std::vector<int64_t>{2}, 0},
      {"/d/report FINAL.pdf", "report", std::nullopt, 2},
      {"/d/Budget_ver 1.3.xlsx", "budget", std::vector<int64_t>{1, 3}, 0},
      {"/d/plan revision 4 (signed).pdf", "plan", std::vector<int64_t>{4}, 2},
      {"/d/notes (1).txt", "notes", std::nullopt, 0},
      {"/d/notes.txt", "notes", std::nullopt, 0},
      {"/d/Plan draft.docx", "plan", std::nullopt, 0},
      {"/d/memo [updated].md", "memo", std::nullopt, 1},
      {"/d/memo - copy.md", "memo", std::nullopt, 0},
      {"/d/finalists.txt", "finalists", std::nullopt, 0},  // a status word needs a separator
      {"/d/v2.txt", "", std::vector<int64_t>{2}, 0},
  };
  for (const auto& c : cases) {
    Stem s = stem(c.path);
    EXPECT_EQ(s.stem, c.stem) << c.path;
    EXPECT_EQ(s.version, c.version) << c.path;
    EXPECT_EQ(s.finality, c.finality) << c.path;
  }
}

TEST(VersionGroups, GroupKeysJoinSortedWordsAndAType) {
  struct Case {
    std::string path;
    std::optional<std::string> key;
  } cases[] = {
      {"/d/Report v2.docx", "report|document"},
      {"/d/report FINAL.pdf", "report|document"},
      {"/d/notes.txt", "notes|txt"},
      {"/d/notes (1).txt", "notes|txt"},
      {"/d/Plan draft.docx", "plan|document"},
      {"/d/Budget v1.xlsx", "budget|xlsx"},
      {"/d/Q3 sales report v1.pdf", "q3 report sales|document"},
      {"/d/v2.txt", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(groupKey(c.path), c.key) << c.path;
}

TEST(VersionGroups, SupersededPairsNameTheOlderFiles) {
  std::map<std::string, double> dates{{"/d/notes.txt", 200}, {"/d/notes (1).txt", 100}};
  auto modified = [&](const std::string& p) -> std::optional<double> {
    auto it = dates.find(p);
    if (it == dates.end()) return std::nullopt;
    return it->second;
  };
  struct Case {
    std::vector<std::string> paths;
    std::vector<Pair> pairs;
  } cases[] = {
      {{"/d/Budget v2.xlsx", "/d/Budget v1.xlsx"}, {{"/d/Budget v1.xlsx", "/d/Budget v2.xlsx", true}}},
      {{"/d/notes (1).txt", "/d/notes.txt"}, {{"/d/notes (1).txt", "/d/notes.txt", false}}},
      {{"/d/Plan final.pdf", "/d/Plan draft.docx"},
       {{"/d/Plan draft.docx", "/d/Plan final.pdf", true}}},
      {{"/d/Report v10.docx", "/d/Report v9.docx", "/d/report v9.1.pdf"},
       {{"/d/Report v9.docx", "/d/Report v10.docx", true},
        {"/d/report v9.1.pdf", "/d/Report v10.docx", true}}},
      // Two unmarked files in a group of two: no pairs.
      {{"/a/notes.txt", "/b/notes.txt"}, {}},
      // A single file, and files of other kinds, give nothing.
      {{"/d/Budget v1.xlsx", "/d/Budget v1.pdf"}, {}},
  };
  for (const auto& c : cases) {
    auto pairs = superseded(c.paths, modified);
    ASSERT_EQ(pairs.size(), c.pairs.size()) << c.paths[0];
    for (size_t i = 0; i < pairs.size(); ++i) {
      EXPECT_EQ(pairs[i].old, c.pairs[i].old);
      EXPECT_EQ(pairs[i].current, c.pairs[i].current);
      EXPECT_EQ(pairs[i].confident, c.pairs[i].confident) << pairs[i].old;
    }
  }
}

TEST(VersionGroups, AnOrderThatMixesVersionsAndDatesStillEnds) {
  // a < b by version, b < c by date, c < a by date: not a strict weak order.
  std::map<std::string, double> dates{
      {"/d/x v1.pdf", 300}, {"/d/x v2.pdf", 100}, {"/d/x (3) draft.pdf", 200}};
  auto modified = [&](const std::string& p) -> std::optional<double> { return dates[p]; };
  auto pairs = superseded({"/d/x v1.pdf", "/d/x v2.pdf", "/d/x (3) draft.pdf"}, modified);
  EXPECT_EQ(pairs.size(), 2u);
}

}  // namespace
}  // namespace zelk
