// The rules written as byte loops, and the expressions run only after a screen, give exactly what
// their ICU expressions give, over many random texts made of the characters each rule looks at.
#include <gtest/gtest.h>

#include "optimize/optimizer.h"
#include "optimize/optimizer_fidelity.h"
#include "optimizer_reference.h"

namespace zelk {
namespace {

using testing::icuReplace;
using testing::TokenText;

constexpr int kRounds = 3000;

std::string applyAll(std::string text,
                     const std::vector<std::pair<std::string, std::string>>& rules) {
  for (const auto& [pattern, replacement] : rules) text = icuReplace(text, pattern, replacement);
  return text;
}

const std::vector<std::string> kPunctuationTokens = {"a",
                                                     "b",
                                                     "Zq",
                                                     "Ab",
                                                     "ab",
                                                     "NASA",
                                                     " ",
                                                     "  ",
                                                     "\t",
                                                     "\n",
                                                     "\n\n",
                                                     ".",
                                                     "..",
                                                     "....",
                                                     ",",
                                                     "!",
                                                     "?",
                                                     ";",
                                                     ":",
                                                     "@",
                                                     "/",
                                                     "-",
                                                     "---",
                                                     "_",
                                                     "___",
                                                     "x1",
                                                     "1",
                                                     "\xC3\xA9",
                                                     "\xE2\x80\x83",
                                                     "\xE2\x80\xA8",
                                                     "\xE2\x80\x9C",
                                                     "\xE2\x80\x99",
                                                     "\xE2\x80\x8B",
                                                     "\xEF\xBB\xBF",
                                                     "\xE2\x97\x8F",
                                                     "\xE2\x80\xA2",
                                                     "%",
                                                     "+",
                                                     "The",
                                                     "end",
                                                     "Next",
                                                     "john",
                                                     "Smith",
                                                     "\r"};

TEST(OptimizerEquivalence, LineBreakJoins) {
  TokenText gen({"a", "z", "Q", "-", "\n", ",", ";", ":", " ", "-\n", "\nb", "\xC3\xA9"}, 1);
  for (int i = 0; i < kRounds; ++i) {
    std::string t = gen.next(30);
    std::string expected = applyAll(t, {{"-\\n([a-z])", "$1"}, {"(?<=[a-z,;:])\\n(?=[a-z])", " "}});
    ASSERT_EQ(Optimizer::fixLineBreakArtifacts(t), expected) << t;
  }
}

TEST(OptimizerEquivalence, FormattingArtifacts) {
  TokenText gen(kPunctuationTokens, 2);
  const std::vector<std::pair<std::string, std::string>> rules = {
      {"(?m)^[\\u2022\\u25CF\\u25CB\\u25E6\\u25AA\\u25AB]\\s*", "\xE2\x80\xA2 "},
      {"\\.{4,}", "..."},
      {"-{3,}", "--"},
      {"_{3,}", "__"},
      {"[\\u201C\\u201D]", "\""},
      {"[\\u2018\\u2019]", "'"},
      {"[\\u200B\\u200C\\u200D\\uFEFF]", ""},
      {"[ \\t]+([.,!?;:])(?=\\s|$)", "$1"},
      {"(?<=[a-z]{2})([.!?])(?=[A-Z][a-z]+\\b(?![.@/:]))(?![A-Za-z0-9._%+-]*@)", "$1 "},
  };
  for (int i = 0; i < kRounds; ++i) {
    std::string t = gen.next(40);
    ASSERT_EQ(Optimizer::cleanFormattingArtifacts(t), applyAll(t, rules)) << t;
  }
}

TEST(OptimizerEquivalence, Links) {
  TokenText gen({"http://",
                 "https://",
                 "http:/",
                 "x.com",
                 "/a",
                 "12345",
                 " ",
                 "\n",
                 ",",
                 ")",
                 "]",
                 ">",
                 "\"",
                 "'",
                 "\t",
                 "[link]",
                 "\xE2\x80\x83",
                 "\xC3\xA9",
                 "text",
                 "\n\n"},
                3);
  const std::vector<std::pair<std::string, std::string>> rules = {
      {std::string(Optimizer::urlPattern), "[link]"},
      {"(\\[link\\]\\s*){2,}", "[link] "},
      {"(?m)^\\[link\\]\\s*$", ""},
  };
  for (int i = 0; i < kRounds; ++i) {
    std::string t = gen.next(30);
    ASSERT_EQ(Optimizer::stripURLs(t), applyAll(t, rules)) << t;
  }
}

TEST(OptimizerEquivalence, DocxMarks) {
  TokenText gen({"{", "}", "[", "]", "[+", "[-", "a", "bcdefghij", "\n", "....", ".", "12", " ",
                 "\xC3\xA9", "Title", "\n\n"},
                4);
  const std::vector<std::pair<std::string, std::string>> rules = {
      {"\\{[^}]{1,100}\\}", ""},
      {"\\[\\+[^\\]]*\\]|\\[-[^\\]]*\\]", ""},
      {std::string(Optimizer::tocLeaderPattern), "$1"},
  };
  for (int i = 0; i < kRounds; ++i) {
    std::string t = gen.next(60);
    ASSERT_EQ(Optimizer::optimizeDocxContent(t), applyAll(t, rules)) << t;
  }
}

TEST(OptimizerEquivalence, FinalCleanupAndBlankLines) {
  TokenText gen({"a", "_", "-", "--", " ", "\n", "\n\n\n", "\xE2\x80\xA2", "\xE2\x80\xA8", "\r",
                 "\xCC\x81", "\xD9\xA3", "!", "\t", "\xE2\x80\x83"},
                5);
  for (int i = 0; i < kRounds; ++i) {
    std::string t = gen.next(30);
    ASSERT_EQ(Optimizer::finalCleanup(t),
              testing::referenceTrimAll(icuReplace(t, "(?m)^[^\\w\\n]*$", "")))
        << t;
    ASSERT_EQ(Optimizer::collapseBlankLines(t), icuReplace(t, "\\n{3,}", "\n\n")) << t;
  }
}

TEST(OptimizerEquivalence, Whitespace) {
  TokenText gen({"a", " ", "  ", "\t", "\r\n", "\r", "\n", "\xE2\x80\x83", "\xC2\xA0", "b c"}, 6);
  for (int i = 0; i < kRounds; ++i) {
    std::string t = gen.next(30);
    std::string s = applyAll(t, {{"[ \\t]+", " "}, {"\\r\\n", "\n"}, {"\\r", "\n"}});
    std::string lines;
    size_t start = 0;
    while (true) {
      size_t end = s.find('\n', start);
      std::string line =
          s.substr(start, end == std::string::npos ? std::string::npos : end - start);
      size_t b = line.find_first_not_of(" \t");
      size_t e = line.find_last_not_of(" \t");
      lines += b == std::string::npos ? "" : line.substr(b, e - b + 1);
      if (end == std::string::npos) break;
      lines += "\n";
      start = end + 1;
    }
    ASSERT_EQ(Optimizer::cleanWhitespace(t), testing::referenceTrimAll(lines)) << t;
  }
}

// The screens in front of the expressions never skip a text the expressions would change.
TEST(OptimizerEquivalence, ScreenedExpressions) {
  TokenText gen({"Page 1",
                 "page",
                 " of 3",
                 "PAGE",
                 "Copyright",
                 " 2020",
                 "\xC2\xA9",
                 " 1999",
                 "All Rights Reserved",
                 "all right\xC5\xBF reserved",
                 ".",
                 "\n",
                 " ",
                 "- 4 -",
                 "[ 7 ]",
                 "[",
                 "]",
                 "-",
                 "draft",
                 "Draft",
                 "\xEF\xAC\x81nal",
                 "Status:",
                 " Final",
                 "Classification:",
                 "[TBD]",
                 "[todo]",
                 "<Insert x>",
                 "[Insert y]",
                 "[DRAFT]",
                 "[PLACEHOLDER]",
                 "Do not distribute",
                 "Attorney-client privilege",
                 "con\xEF\xAC\x81"
                 "dential",
                 "confidential",
                 "This document is ",
                 "Internal",
                 "\xE2\x84\xAA",
                 "text",
                 "12",
                 "#",
                 "##",
                 "***",
                 "-*-",
                 "== Slide 2 ==",
                 "slide",
                 "[Slide 1]",
                 "[slide 2]",
                 "\nAgenda",
                 "\nQ&A",
                 "\nThanks",
                 "Y",
                 "P",
                 "X ",
                 "\xE2\x80\xA8",
                 ":",
                 "\n   ",
                 "value",
                 "\xE2\x97\x8F",
                 "\nA long line of prose that runs well past thirty-two characters",
                 "\n1234567890123456789012345678901234567890",
                 "\n\n  \n"},
                7);
  std::vector<std::pair<std::string, std::string>> boilerplate;
  for (const auto& p : Optimizer::noticePatterns()) boilerplate.emplace_back(p, "");
  for (const auto& p : Optimizer::metadataPatterns()) boilerplate.emplace_back(p, "");
  const std::vector<std::pair<std::string, std::string>> sections = {
      {"(?m)^#{1,6}\\s*$", ""},
      {"(?m)((?:^[-*_]{3,}\\s*\\n){3,})", "---\n"},
      {"(?im)^[-=]{2,}\\s*slide\\s*\\d+\\s*[-=]{2,}\\s*$", ""},
  };
  const std::vector<std::pair<std::string, std::string>> slides = {
      {"(?im)^\\[Slide \\d+\\]\\s*\\nQ&?A\\s*$", ""},
      {"(?im)^\\[Slide \\d+\\]\\s*\\nQuestions\\???\\s*$", ""},
      {"(?im)^\\[Slide \\d+\\]\\s*\\nThank You\\.?\\s*$", ""},
      {"(?im)^\\[Slide \\d+\\]\\s*\\nAny Questions\\???\\s*$", ""},
      {"(?im)^\\[Slide \\d+\\]\\s*\\nAgenda\\s*$", ""},
      {"(?im)^\\[Slide \\d+\\]\\s*\\nTable of Contents\\s*$", ""},
  };
  std::vector<std::pair<std::string, std::string>> onPurpose(boilerplate.begin(),
                                                             boilerplate.begin() + 15);
  onPurpose.emplace_back(std::string(Optimizer::urlPattern), " ");
  onPurpose.emplace_back(std::string(Optimizer::tocLeaderPattern), "$1");
  for (int i = 0; i < kRounds; ++i) {
    std::string t = gen.next(25);
    ASSERT_EQ(Optimizer::removeBoilerplate(t), applyAll(t, boilerplate)) << t;
    ASSERT_EQ(Optimizer::cleanSectionMarkers(t), applyAll(t, sections)) << t;
    ASSERT_EQ(Optimizer::removedOnPurpose(t), applyAll(t, onPurpose)) << t;
    // With one slide marker or none, the slide step is its six expressions alone.
    std::string s = applyAll(t, slides);
    size_t markers = 0;
    for (size_t at = s.find("[Slide "); at != std::string::npos; at = s.find("[Slide ", at + 1)) {
      ++markers;
    }
    if (markers <= 1) {
      ASSERT_EQ(Optimizer::optimizePptxContent(t), s) << t;
    }
  }
}

TEST(OptimizerEquivalence, PdfArtifactExpressions) {
  TokenText gen({"P", "Y", "N", "X", "y", " ", "\n", "\t", "\xE2\x80\x83", "\xE2\x80\xA8", "text",
                 "Name", ":", "   ", "  value", "\n\n"},
                8);
  for (int i = 0; i < kRounds; ++i) {
    std::string t = gen.next(25);
    // Without short capital lines between blank lines the middle rule does nothing.
    std::string expected = applyAll(t, {{"(?m)^[PYNX]\\s*$", ""}});
    bool middleRuleMayAct = false;
    for (char c : expected) middleRuleMayAct |= (c == 'P' || c == 'Y' || c == 'N' || c == 'X');
    if (middleRuleMayAct) continue;
    expected = applyAll(expected, {{"(?m)(:\\s*)\\n(\\s{2,}[^\\n]{1,60})\\n", "$1$2\n"}});
    ASSERT_EQ(Optimizer::cleanPdfArtifacts(t), expected) << t;
  }
}

TEST(OptimizerEquivalence, SignificantNumbersOfProse) {
  TokenText gen({"1",
                 "12",
                 "123",
                 "1234",
                 ",",
                 ", ",
                 " ,",
                 "000",
                 ".",
                 "5",
                 "%",
                 "$",
                 "\xE2\x82\xAC",
                 "\xC2\xA3",
                 "\xC2\xA5",
                 " ",
                 "\t",
                 "\\u00e9",
                 "\\u12",
                 "a",
                 "\xD9\xA3",
                 "\xD9\xA1\xD9\xA2",
                 "\n",
                 "-",
                 "e",
                 "\xE2\x80\x83"},
                9);
  for (int i = 0; i < kRounds * 3; ++i) {
    std::string t = gen.next(30);
    ASSERT_EQ(OptimizerFidelity::significantNumbers(t), testing::referenceProseNumbers(t)) << t;
  }
}

}  // namespace
}  // namespace zelk

namespace zelk {
namespace {

// Tables are read with the spreadsheet optimizer's own record and cell rules.
TEST(OptimizerEquivalence, SignificantNumbersOfTables) {
  TokenText gen(
      {",", "\"", "\"\"", "\n", " ", "\t", "12", "1234", "3.14159", "1,234.50", "## ", "x",
       "2024-01-05", "1e5", "0.000123", "$5", "\xC2\xA0", "\xD9\xA3\xD9\xA4\xD9\xA5", "%"},
      10);
  for (int i = 0; i < kRounds; ++i) {
    std::string t = gen.next(40);
    std::set<std::string> expected;
    for (const std::string& record : SpreadsheetOptimizer::records(t)) {
      bool number = false;
      for (char c : record)
        number |= (c >= '0' && c <= '9') || static_cast<unsigned char>(c) >= 0x80;
      if (!number) continue;
      if (record.starts_with("## ")) {
        expected.merge(testing::referenceProseNumbers(record));
        continue;
      }
      for (const std::string& cell : SpreadsheetOptimizer::parseCSVLine(record)) {
        if (auto v = OptimizerFidelity::numericCell(cell)) {
          expected.insert(*v);
        } else {
          expected.merge(testing::referenceProseNumbers(cell));
        }
      }
    }
    ASSERT_EQ(OptimizerFidelity::significantNumbers(t, DocumentFormat::csv), expected) << t;
  }
}

}  // namespace
}  // namespace zelk
