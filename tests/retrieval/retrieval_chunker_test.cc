// Section splitting and retrieval chunking.
#include "retrieval/retrieval_chunker.h"

#include <gtest/gtest.h>

#include "platform/unicode.h"

namespace zelk {
namespace {

using Texts = std::vector<std::string>;

size_t scalars(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

std::string lines(size_t count, size_t width, char fill = 'x') {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (i) out += "\n";
    out += std::to_string(i) + " " + std::string(width - 1 - std::to_string(i).size(), fill);
  }
  return out;
}

TEST(SplitIntoSections, EmptyTextHasNoSectionsAndNoPassages) {
  EXPECT_TRUE(SmartSelect::splitIntoSections("").empty());
  EXPECT_TRUE(SmartSelect::splitIntoSections(" \n\n\t\n").empty());
  EXPECT_TRUE(RetrievalChunker{}.chunk("").empty());
  EXPECT_TRUE(RetrievalChunker{}.chunk("\n \n").empty());
}

TEST(SplitIntoSections, HeadingWithOneLineIsOneSectionAndOnePassage) {
  EXPECT_EQ(SmartSelect::splitIntoSections("# Title\nshort line"), (Texts{"# Title\nshort line"}));
  EXPECT_EQ(RetrievalChunker{}.chunk("# Title\nshort line"), (Texts{"# Title\nshort line"}));
}

TEST(SplitIntoSections, HeadingLines) {
  EXPECT_EQ(SmartSelect::splitIntoSections("intro\nSUMMARY OF FINDINGS\nbody\n  # Next\nmore"),
            (Texts{"intro", "SUMMARY OF FINDINGS\nbody", "# Next\nmore"}));
  EXPECT_EQ(SmartSelect::splitIntoSections("intro\nQ3\nRevenue, 2024\nend"),
            (Texts{"intro\nQ3\nRevenue, 2024\nend"}));
  // A heading on the first line opens the first section; sections are trimmed.
  EXPECT_EQ(SmartSelect::splitIntoSections("\n\n# A\n\n  text  \n\n# B"),
            (Texts{"# A\n\n  text", "# B"}));
}

TEST(SplitIntoSections, AllCapsHeadingRule) {
  struct Case {
    const char* line;
    bool heading;
  };
  for (const Case& c : std::vector<Case>{{"SUMMARY OF FINDINGS", true},
                                         {"  ABC\t", true},
                                         {"A.B.C", true},
                                         {"A1B2C3", true},
                                         {"ÉTÉ RÉSUMÉ", true},
                                         {"Q3", false},
                                         {"AB", false},
                                         {"AB 12", false},
                                         {"Revenue, 2024", false},
                                         {"NOT quite", false},
                                         {"2024-01-01", false},
                                         {"", false}}) {
    EXPECT_EQ(SmartSelect::isAllCapsHeading(c.line), c.heading) << c.line;
  }
}

TEST(SplitIntoSections, LongSectionsBecomeParagraphs) {
  std::string a = std::string(1200, 'a'), b = std::string(1200, 'b');
  EXPECT_EQ(SmartSelect::splitIntoSections(a + "\n\n \n\n" + b), (Texts{a, b}));
  // Paragraph pieces keep their own spaces.
  EXPECT_EQ(SmartSelect::splitIntoSections(a + "\n\n  " + b + "  "), (Texts{a, "  " + b}));
  // Up to 2000 characters stay whole; counted in characters, not bytes.
  std::string accents;
  for (int i = 0; i < 999; ++i) accents += "e\u0301";
  EXPECT_EQ(SmartSelect::splitIntoSections(accents + "\n\n" + accents).size(), 1u);
}

TEST(RetrievalChunker, LongSectionWithoutParagraphsIsCutAtLineFeeds) {
  std::string text = lines(50, 50);  // 2549 characters, no double line feed
  ASSERT_EQ(SmartSelect::splitIntoSections(text), (Texts{text}));
  Texts passages = RetrievalChunker{}.chunk(text);
  ASSERT_EQ(passages.size(), 2u);
  for (const std::string& p : passages) EXPECT_LE(scalars(p), 1500u);
  EXPECT_EQ(passages[0] + "\n" + passages[1], text);
  EXPECT_EQ(scalars(passages[0]), 29u * 50u + 28u);  // 29 lines of 50 and their line feeds
}

TEST(RetrievalChunker, TableWindowsRepeatHeadingAndColumnRow) {
  std::string text = "# Sales\nname,amount,date\n";
  std::vector<std::string> rows;
  for (int i = 0; i < 40; ++i) {
    rows.push_back("customer " + std::to_string(i) + "," + std::string(60, 'x') + ",2024-01-01");
  }
  for (const auto& r : rows) text += r + "\n";
  Texts passages = RetrievalChunker{}.chunk(text);
  ASSERT_GT(passages.size(), 1u);
  size_t seen = 0;
  for (const std::string& p : passages) {
    ASSERT_EQ(p.rfind("# Sales\nname,amount,date\n", 0), 0u) << p;
    std::string body = p.substr(std::string("# Sales\nname,amount,date\n").size());
    EXPECT_LE(scalars(body), 1000u);
    seen += size_t(std::count(body.begin(), body.end(), '\n')) + 1;
  }
  EXPECT_EQ(seen, rows.size() + 1);  // the text's final line feed leaves one empty row
}

TEST(RetrievalChunker, SmallTableIsOneWindow) {
  std::string text = "name,amount,date";
  for (int i = 0; i < 10; ++i) text += "\na,b,c";
  Texts passages = RetrievalChunker{}.chunk(text);
  ASSERT_EQ(passages.size(), 1u);
  EXPECT_EQ(passages[0], text);
}

// A grid's window drops the blank line before its column row; prose keeps it.
TEST(RetrievalChunker, TwoCommaLinesAreNeverAGrid) {
  EXPECT_EQ(RetrievalChunker{}.chunk("# T\n\nx,y,z\nu,v,w"), (Texts{"# T\n\nx,y,z\nu,v,w"}));
  EXPECT_EQ(RetrievalChunker{}.chunk("# T\n\nx,y,z\nu,v,w\np,q,r"),
            (Texts{"# T\nx,y,z\nu,v,w\np,q,r"}));
}

TEST(RetrievalChunker, GridTest) {
  const std::string nine = "1,2,3,4,5,6,7,8,9,0";
  struct Case {
    std::string body;
    bool grid;
  };
  for (const Case& c : std::vector<Case>{
           // counts 2 2 9 9 0: median 2, three of five near it
           {"a,b,c\nd,e,f\n" + nine + "\n" + nine + "\nplain", true},
           // counts 2 2 9 9 9 0: median 9, three of six near it
           {"a,b,c\nd,e,f\n" + nine + "\n" + nine + "\n" + nine + "\nplain", false},
           // two of five lines with two commas
           {"a,b,c\nd,e,f\nx\ny\nz", false},
           // blank lines do not count
           {"a,b,c\n\n \nd,e,f\n\t\ng,h,i", true},
       }) {
    std::string text = "# T\n\n" + c.body;
    Texts passages = RetrievalChunker{}.chunk(text);
    ASSERT_EQ(passages.size(), 1u);
    EXPECT_EQ(passages[0].rfind("# T\na,b,c\n", 0) == 0, c.grid) << c.body;
    EXPECT_EQ(passages[0].rfind("# T\n\na,b,c\n", 0) == 0, !c.grid) << c.body;
  }
}

TEST(RetrievalChunker, ShortPassagesJoinTheirNeighbours) {
  std::string s1 = "# A\n" + std::string(46, 'a');   // 50 characters
  std::string s2 = "# B\n" + std::string(496, 'b');  // 500
  std::string s3 = "# C\n" + std::string(36, 'c');   // 40
  Texts passages = RetrievalChunker{}.chunk(s1 + "\n" + s2 + "\n" + s3);
  EXPECT_EQ(passages, (Texts{s1 + "\n" + s2 + "\n" + s3}));
  // Nothing long: the short ones become the only passage.
  EXPECT_EQ(RetrievalChunker{}.chunk("# A\nx\n# B\ny"), (Texts{"# A\nx\n# B\ny"}));
  // A long passage with nothing pending is kept as it is; later short ones join it.
  std::string long1 = std::string(130, 'l');
  EXPECT_EQ(RetrievalChunker{}.chunk(long1 + "\n# Tail\nt"), (Texts{long1 + "\n# Tail\nt"}));
}

TEST(RetrievalChunker, EveryPassageButTheEdgesIsLong) {
  std::string text;
  for (int i = 0; i < 30; ++i) {
    text += "# Part " + std::to_string(i) + "\n" + std::string(size_t(10 + (i * 37) % 300), 'w') +
            "\n";
  }
  Texts passages = RetrievalChunker{}.chunk(text);
  ASSERT_GT(passages.size(), 2u);
  for (size_t i = 1; i + 1 < passages.size(); ++i) {
    EXPECT_GE(platform::graphemeCount(passages[i]), 120u);
  }
  EXPECT_EQ(RetrievalChunker::kVersion, 2);
}

}  // namespace
}  // namespace zelk
