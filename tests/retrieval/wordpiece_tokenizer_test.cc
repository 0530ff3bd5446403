// Basic tokenization, the vocabulary file rules, WordPiece and encode.
#include "retrieval/wordpiece_tokenizer.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace zelk {
namespace {

using Words = std::vector<std::string>;

struct BasicCase {
  const char* text;
  Words words;
};

TEST(WordPieceTokenizer, BasicTokenization) {
  const std::vector<BasicCase> cases = {
      {"Hello, World!", {"hello", ",", "world", "!"}},
      {"Café", {"cafe"}},
      {"ÉCOLE naïve", {"ecole", "naive"}},
      {"don't", {"don", "'", "t"}},
      {"$5^x~", {"$", "5", "^", "x", "~"}},
      {"a\tb\nc\rd", {"a", "b", "c", "d"}},
      {"a\u00A0b\u3000c", {"a", "b", "c"}},
      {"a\u2028b\u200Dc\u0007d\u00ADe", {"abcde"}},
      {"a\uFFFDb\uE000c", {"abc"}},
      {"中文abc", {"中", "文", "abc"}},
      {"\U00020001x", {"\U00020001", "x"}},
      {"a\u2014b\u00ABc\u00BB", {"a", "\u2014", "b", "\u00AB", "c", "\u00BB"}},
      {"ΣΑΣ", {"σας"}},
      {"İ", {"i"}},
      {"   ", {}},
      {"", {}},
  };
  for (const BasicCase& c : cases) {
    EXPECT_EQ(WordPieceTokenizer::basicTokenize(c.text), c.words) << c.text;
  }
  EXPECT_EQ(WordPieceTokenizer::basicTokenize(std::string("x\0y", 3)), (Words{"xy"}));
  EXPECT_EQ(WordPieceTokenizer::basicTokenize("\xff\xfe" "abc \xc3"), (Words{"abc"}));
}

TEST(WordPieceTokenizer, VocabularyIdsFollowLinePositions) {
  auto t = WordPieceTokenizer::fromText("\n\n[PAD]\r\n[UNK]\nfoo\n\nbar\nfoo\n");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->idOf("[PAD]"), 0);
  EXPECT_EQ(t->idOf("[UNK]"), 1);
  EXPECT_EQ(t->idOf("foo"), 5);  // listed twice: the last line wins
  EXPECT_EQ(t->idOf("bar"), 4);  // the empty line before it took id 3
  EXPECT_EQ(t->idOf(""), std::nullopt);
  EXPECT_EQ(t->unkId, 1);
  EXPECT_EQ(t->padId, 0);
  EXPECT_EQ(t->clsId, 101);
  EXPECT_EQ(t->sepId, 102);
  EXPECT_EQ(t->maxId(), 102);
}

TEST(WordPieceTokenizer, NoTokensMeansNoTokenizer) {
  EXPECT_FALSE(WordPieceTokenizer::fromText(""));
  EXPECT_FALSE(WordPieceTokenizer::fromText("\n\r\n\n"));
  testing::TempDir dir;
  EXPECT_FALSE(WordPieceTokenizer::fromFile(dir.file("missing.txt")));
  EXPECT_FALSE(WordPieceTokenizer::fromFile(dir.path()));
}

class Tokenizer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string vocab = "[PAD]\n[UNK]\n[CLS]\n[SEP]\nun\n##aff\n##able\nab\na\n##bc\n##c\n##a\n"
                        "hello\n,\nworld\n!\n";
    vocab += std::string(200, 'q') + "\nq\n\u00e9\n##\u00e9\n";
    t_ = *WordPieceTokenizer::fromText(vocab);
  }
  std::optional<WordPieceTokenizer> t_;
};

TEST_F(Tokenizer, WordPieceLongestMatchFirst) {
  EXPECT_EQ(t_->wordPiece("unaffable"), (Words{"un", "##aff", "##able"}));
  EXPECT_EQ(t_->wordPiece("abc"), (Words{"ab", "##c"}));
  EXPECT_EQ(t_->wordPiece("aaa"), (Words{"a", "##a", "##a"}));
  // A tail without a match turns the whole word into [UNK], not a partial list.
  EXPECT_EQ(t_->wordPiece("unaffablez"), (Words{"[UNK]"}));
  EXPECT_EQ(t_->wordPiece("zzz"), (Words{"[UNK]"}));
}

TEST_F(Tokenizer, TwoHundredScalarLimit) {
  EXPECT_EQ(t_->wordPiece(std::string(200, 'q')), (Words{std::string(200, 'q')}));
  EXPECT_EQ(t_->wordPiece(std::string(201, 'a')), (Words{"[UNK]"}));
  // The limit counts scalars, not bytes.
  std::string accented;
  for (int i = 0; i < 200; ++i) accented += "\u00e9";
  EXPECT_EQ(t_->wordPiece(accented).size(), 200u);
  EXPECT_EQ(t_->wordPiece(accented + "\u00e9"), (Words{"[UNK]"}));
  EXPECT_EQ(t_->wordPiece(std::string(200, 'a')).size(), 200u);
}

TEST_F(Tokenizer, EncodeFramesAndCuts) {
  EXPECT_EQ(t_->encode("", true, 512), (std::vector<int32_t>{2, 3}));
  EXPECT_EQ(t_->encode("Hello, World!", true, 512), (std::vector<int32_t>{2, 12, 13, 14, 15, 3}));
  EXPECT_EQ(t_->encode("Hello, World!", false, 512), (std::vector<int32_t>{12, 13, 14, 15}));
  EXPECT_EQ(t_->encode("Hello, World!", false, 2), (std::vector<int32_t>{12, 13}));
  EXPECT_EQ(t_->encode("Hello, World!", true, 1), (std::vector<int32_t>{2, 3}));
  EXPECT_EQ(t_->encode("Hello, World!", true, 4), (std::vector<int32_t>{2, 12, 13, 3}));
  EXPECT_EQ(t_->encode("hello zebra", true, 512), (std::vector<int32_t>{2, 12, 1, 3}));

  std::string text;
  for (int i = 0; i < 300; ++i) text += "hello world ";
  std::vector<int32_t> ids = t_->encode(text, true, 512);
  ASSERT_EQ(ids.size(), 512u);
  EXPECT_EQ(ids.front(), 2);
  EXPECT_EQ(ids.back(), 3);
  EXPECT_EQ(ids[509], 12);  // piece 508 of 600 (hello, world, ...); 510 are kept
  EXPECT_EQ(ids[510], 14);
}

TEST_F(Tokenizer, PiecesOfOneWordCountTowardsTheLimit) {
  // unaffable is three pieces; with room for two only the first two are kept.
  EXPECT_EQ(t_->encode("unaffable", true, 4), (std::vector<int32_t>{2, 4, 5, 3}));
}

TEST(WordPieceTokenizer, MissingSpecialTokensUseTheirDefaults) {
  auto t = WordPieceTokenizer::fromText("hello\n");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->encode("hello there", true, 8), (std::vector<int32_t>{101, 0, 100, 102}));
}

TEST(WordPieceTokenizer, LongWordsOfOneLetterPieces) {
  // Letters that each match keep the search bounded by the longest token, not the word.
  auto t = WordPieceTokenizer::fromText("a\n##a\n");
  std::string text;
  for (int i = 0; i < 2000; ++i) text += std::string(199, 'a') + " ";
  std::vector<int32_t> ids = t->encode(text, false, 1 << 30);
  EXPECT_EQ(ids.size(), 2000u * 199u);
}

}  // namespace
}  // namespace zelk
