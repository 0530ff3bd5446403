// The text optimizer: each pipeline step on the inputs it exists for, dispatch by format, the JSON
// and fenced-code paths, segmenting of large text and the trace labels.
#include "optimize/optimizer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "protocol/json_value.h"

namespace zelk {
namespace {

struct StepCase {
  const char* name;
  std::function<std::string(std::string_view)> step;
  std::string input;
  std::string expected;
};

std::string noTrailingSpacePrinted(const std::string& s) { return "[" + s + "]"; }

TEST(Optimizer, EachStepDoesItsOneJob) {
  const std::vector<StepCase> cases = {
      {"blanks and line ends", Optimizer::cleanWhitespace, "  a \t b  \r\n c\r d  \n\n",
       "a b\nc\nd"},
      {"hyphen joined before lower case", Optimizer::fixLineBreakArtifacts, "exam-\nple",
       "example"},
      {"hyphen kept before a capital", Optimizer::fixLineBreakArtifacts, "Anglo-\nSaxon",
       "Anglo-\nSaxon"},
      {"sentence broken after a comma", Optimizer::fixLineBreakArtifacts, "one,\ntwo and\nthree",
       "one, two and three"},
      {"sentence end keeps its line", Optimizer::fixLineBreakArtifacts, "end.\nnext", "end.\nnext"},
      {"three flags among seven lines", Optimizer::removeScatteredFlags, "a\nY\nY\nc\nY\nz",
       "a\nc\nz"},
      {"two flags stay", Optimizer::removeScatteredFlags, "a\nY\nq\ny\nz", "a\nY\nq\ny\nz"},
      {"flags spread wider than the window", Optimizer::removeScatteredFlags,
       "Y\na\nb\nc\nY\nd\ne\nf\nY", "Y\na\nb\nc\nY\nd\ne\nf\nY"},
      {"single capital flag line", Optimizer::cleanPdfArtifacts, "text\nY\nmore", "text\n\nmore"},
      {"single lower-case flag stays", Optimizer::cleanPdfArtifacts, "text\ny\nmore",
       "text\ny\nmore"},
      {"short capitals between blank lines", Optimizer::cleanPdfArtifacts, "a\n\nAB\n\nb",
       "a\n\n\nb"},
      {"mixed case stays", Optimizer::cleanPdfArtifacts, "a\n\nAb\n\nb", "a\n\nAb\n\nb"},
      {"text above keeps capitals", Optimizer::cleanPdfArtifacts, "a\nAB\n\nb", "a\nAB\n\nb"},
      {"digits alone are no letters", Optimizer::cleanPdfArtifacts, "a\n\n12\n\nb", "a\n\n12\n\nb"},
      {"label joined with its value", Optimizer::cleanPdfArtifacts, "Name:\n   John Smith\nNext",
       "Name:   John Smith\nNext"},
      {"page line", Optimizer::removeBoilerplate, "Intro\nPage 12 of 40\nBody", "Intro\n\nBody"},
      {"page in a sentence", Optimizer::removeBoilerplate, "See page 12 for details",
       "See page 12 for details"},
      {"copyright notice", Optimizer::removeBoilerplate, "Copyright 2023 Acme Inc. Rest", " Rest"},
      {"copyright sign line", Optimizer::removeBoilerplate, "a\n\xC2\xA9 2024 Acme Corp\nb",
       "a\n\nb"},
      {"placeholder marks", Optimizer::removeBoilerplate, "Due [TBD] by [Insert date] <Insert x>",
       "Due  by  "},
      {"status line", Optimizer::removeBoilerplate, "Status: Draft\nText", "\nText"},
      {"dashed page number", Optimizer::removeBoilerplate, "a\n- 7 -\nb", "a\n\nb"},
      {"bracketed page number", Optimizer::removeBoilerplate, "a\n[ 7 ]\nb", "a\n\nb"},
      {"long s still matches", Optimizer::removeBoilerplate, "All right\xC5\xBF reserved.", ""},
      {"bullet glyphs", Optimizer::cleanFormattingArtifacts, "\xE2\x97\x8F  item\n\xE2\x96\xAA x",
       "\xE2\x80\xA2 item\n\xE2\x80\xA2 x"},
      {"dot, dash and underscore runs", Optimizer::cleanFormattingArtifacts,
       "a.....b c----d e____f", "a...b c--d e__f"},
      {"curly quotes and zero widths", Optimizer::cleanFormattingArtifacts,
       "\xE2\x80\x9Cx\xE2\x80\x9D \xE2\x80\x98y\xE2\x80\x99 a\xE2\x80\x8B"
       "b\xEF\xBB\xBF",
       "\"x\" 'y' ab"},
      {"space before punctuation", Optimizer::cleanFormattingArtifacts, "word . next , end !",
       "word. next, end!"},
      {"punctuation inside a token keeps its space", Optimizer::cleanFormattingArtifacts,
       "value .5 here", "value .5 here"},
      {"glued sentences", Optimizer::cleanFormattingArtifacts, "the end.Next one",
       "the end. Next one"},
      {"e-mail left alone", Optimizer::cleanFormattingArtifacts, "mail john.Smith@acme.com",
       "mail john.Smith@acme.com"},
      {"dotted name left alone", Optimizer::cleanFormattingArtifacts, "see file.Name/x",
       "see file.Name/x"},
      {"two capitals are no sentence", Optimizer::cleanFormattingArtifacts, "ab.NASA", "ab.NASA"},
      {"url", Optimizer::stripURLs, "see https://example.com/a?b=12345 now", "see [link] now"},
      {"two urls become one", Optimizer::stripURLs, "a https://x.com https://y.com b",
       "a [link] b"},
      {"line of only a url", Optimizer::stripURLs, "a\nhttps://x.com/p\nb", "a\n\nb"},
      {"url stops at a bracket", Optimizer::stripURLs, "(http://x.com/a) [http://y.org]",
       "([link]) [[link]]"},
      {"duplicate lines", Optimizer::removeDuplicateLines, "A\nb\n a \nB\n\n\nc", "A\nb\n\n\nc"},
      {"five equal paragraphs", Optimizer::compressRepetitiveContent,
       "Same.\n\nSame.\n\nsame.\n\nSame.\n\nSame.", "Same."},
      {"five different paragraphs", Optimizer::compressRepetitiveContent, "a\n\nb\n\nc\n\nd\n\ne",
       "a\n\nb\n\nc\n\nd\n\ne"},
      {"empty heading", Optimizer::cleanSectionMarkers, "#  \nText", "\nText"},
      {"rule lines", Optimizer::cleanSectionMarkers, "***\n***\n* * *\n***\nx",
       "***\n***\n* * *\n***\nx"},
      {"three rule lines", Optimizer::cleanSectionMarkers, "***\n***\n***\nx", "---\nx"},
      {"slide separator", Optimizer::cleanSectionMarkers, "a\n== Slide 3 ==\nb", "a\n\nb"},
      {"repeated slides", Optimizer::optimizePptxContent,
       "Deck\n[Slide 1]\nIntro\n\n[Slide 2]\nSame\n\n[Slide 3]\nsame\n",
       "Deck\n[Slide 1]\nIntro\n\n[Slide 2]\nSame"},
      {"title-only slide", Optimizer::optimizePptxContent, "[Slide 1]\nAgenda\n[Slide 2]\nBody",
       "\n[Slide 2]\nBody"},
      {"field codes", Optimizer::optimizeDocxContent, "Hello {MERGEFIELD name} world {}",
       "Hello  world {}"},
      {"revision marks", Optimizer::optimizeDocxContent, "a [+inserted] b [-deleted] c [x]",
       "a  b  c [x]"},
      {"contents leader", Optimizer::optimizeDocxContent, "Introduction....12\nBody",
       "Introduction\nBody"},
      {"blank lines", Optimizer::collapseBlankLines, "a\n\n\n\nb\n\nc", "a\n\nb\n\nc"},
      {"blank line inside a table", Optimizer::removeExcessiveEmptyLines, "a,b\n\nc,d\n\ne",
       "a,b\nc,d\n\ne"},
      {"blank line in prose", Optimizer::removeExcessiveEmptyLines, "a\n\nb", "a\n\nb"},
      {"lines without words", Optimizer::finalCleanup, "text\n---\n\xE2\x80\xA2 \nmore\n--",
       "text\n\n\nmore"},
  };
  for (const StepCase& c : cases) {
    EXPECT_EQ(noTrailingSpacePrinted(c.step(c.input)), noTrailingSpacePrinted(c.expected))
        << c.name;
  }
}

TEST(Optimizer, RemovesACommonPrefixOfExportRows) {
  const std::string prefix = "2024-01-15 ACC9 ";  // 16 characters
  const char* words[] = {"Alpha", "Bravo", "Charlie", "Delta", "Echo"};
  std::string text = "Statement\n";
  for (int i = 0; i < 30; ++i) {
    text += prefix + words[i % 5] + " payment reference " + std::to_string(1000 + i) + "\n";
  }
  std::string out = Optimizer::compressTabularData(text);
  auto lines = std::vector<std::string>();
  size_t start = 0;
  while (start <= out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    lines.push_back(out.substr(start, end - start));
    if (end == out.size()) break;
    start = end + 1;
  }
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Statement");
  EXPECT_EQ(lines[1], "[Common prefix '2024-01-15 ACC9' removed from 30 rows]");
  EXPECT_EQ(lines[2], "Alpha payment reference 1000");
  EXPECT_EQ(lines[31], "Echo payment reference 1029");
}

TEST(Optimizer, KeepsRowsWithoutACommonPrefix) {
  std::string text;
  for (int i = 0; i < 20; ++i)
    text += std::to_string(i) + " differing row with enough text in it ok\n";
  EXPECT_EQ(Optimizer::compressTabularData(text), text);
}

TEST(Optimizer, EmptyInputGivesEmptyOutput) {
  auto r = Optimizer::shared().optimize("");
  EXPECT_EQ(r.text, "");
  EXPECT_EQ(r.stats.originalLength, 0);
  EXPECT_EQ(r.stats.finalLength, 0);
  EXPECT_FALSE(r.stats.sentAsWritten);
}

TEST(Optimizer, CountsLengthsInCharacters) {
  auto r = Optimizer::shared().optimizeWithoutCheck("  e\xCC\x81t\xC3\xA9  ");
  EXPECT_EQ(r.stats.originalLength, 7);
  EXPECT_EQ(r.stats.finalLength, 3);
  EXPECT_EQ(r.text, "e\xCC\x81t\xC3\xA9");
}

TEST(Optimizer, TracesEveryStepInOrder) {
  std::vector<std::string> labels;
  OptimizerTrace trace = [&](std::string_view label, std::string_view) {
    labels.emplace_back(label);
  };
  Optimizer::shared().optimizeWithoutCheck("Some text", {}, DocumentFormat::txt, trace);
  ASSERT_EQ(labels.size(), 1u + 4 + 24 + 12);
  EXPECT_EQ(labels[0], "input");
  EXPECT_EQ(labels[1], "cleanWhitespace");
  EXPECT_EQ(labels[4], "cleanPdfArtifacts");
  EXPECT_EQ(labels[5], "boilerplate " + Optimizer::noticePatterns()[0]);
  EXPECT_EQ(labels[28], "boilerplate " + Optimizer::metadataPatterns()[8]);
  std::vector<std::string> rest(labels.begin() + 29, labels.end());
  EXPECT_EQ(rest, (std::vector<std::string>{
                      "cleanFormattingArtifacts", "stripURLs", "removeDuplicateLines",
                      "compressTabularData", "compressRepetitiveContent", "cleanSectionMarkers",
                      "optimizePptxContent", "optimizeDocxContent", "collapseBlankLines",
                      "removeExcessiveEmptyLines", "finalCleanup", "cleanWhitespace2"}));
}

TEST(Optimizer, SwitchesTurnTheirStepsOff) {
  OptimizationOptions off{false, false, false};
  std::string text = "Page 3 of 9\nLine\nLine";
  EXPECT_EQ(Optimizer::shared().optimizeWithoutCheck(text, off).text, "Page 3 of 9\nLine\nLine");
  EXPECT_EQ(Optimizer::shared().optimizeWithoutCheck(text).text, "Line");
}

TEST(Optimizer, SplitsFencedCode) {
  struct Case {
    std::string text;
    std::optional<std::vector<CodeSegment>> expected;
  };
  const std::vector<Case> cases = {
      {"no code here", std::nullopt},
      {"inline ``` only", std::nullopt},
      {"a\n```py\nx = 1\n```\nb",
       std::vector<CodeSegment>{{"a", false}, {"```py\nx = 1\n```", true}, {"b", false}}},
      {"  ~~~~\n~~~\nstill code\n ~~~~~ \nafter",
       std::vector<CodeSegment>{{"  ~~~~\n~~~\nstill code\n ~~~~~ ", true}, {"after", false}}},
      {"text\n```\nopen to the end",
       std::vector<CodeSegment>{{"text", false}, {"```\nopen to the end", true}}},
      {"```\na\n``` not closed\n```",
       std::vector<CodeSegment>{{"```\na\n``` not closed\n```", true}}},
  };
  for (const Case& c : cases) EXPECT_EQ(Optimizer::splitFencedCode(c.text), c.expected) << c.text;
}

TEST(Optimizer, KeepsFencedCodeExactly) {
  std::string md =
      "Intro   text\n\nPage 2 of 9\n\n```python\n  def f():   \n      return 1\n\n\n\n```\n\n"
      "Outro  text";
  auto r = Optimizer::shared().optimize(md, {}, DocumentFormat::md);
  EXPECT_EQ(r.text, "Intro text\n\n```python\n  def f():\n      return 1\n\n\n\n```\n\nOutro text");
}

std::string objectsArray(int n) {
  std::string json = "[";
  for (int i = 0; i < n; ++i) {
    if (i) json += ",";
    json += "{\"id\": " + std::to_string(1000 + i) + ", \"name\": \"Item " + std::to_string(i) +
            "\", \"price\": 12.5}";
  }
  return json + "]";
}

TEST(Optimizer, TurnsAJSONArrayOfObjectsIntoCSV) {
  auto r = Optimizer::shared().optimize(objectsArray(100), {}, DocumentFormat::json);
  EXPECT_TRUE(r.text.starts_with("id,name,price\n1000,Item 0,12.5\n1001,Item 1,12.5")) << r.text;
  EXPECT_FALSE(r.stats.sentAsWritten);
  EXPECT_FALSE(r.stats.sheetRemoved);
}

TEST(Optimizer, KeepsTheRestOfAnObjectAroundItsTable) {
  std::string json =
      "{\"meta\": {\"source\": \"https://x.org/a\"}, \"items\": " + objectsArray(3) + "}";
  auto out = Optimizer::optimizeJSON(json);
  ASSERT_TRUE(out);
  EXPECT_EQ(*out,
            "{\"meta\":{\"source\":\"https://x.org/a\"}}\n\nitems:\nid,name,price\n1000,Item 0,"
            "12.5\n1001,Item 1,12.5\n1002,Item 2,12.5");
}

TEST(Optimizer, JSONPathCases) {
  struct Case {
    std::string input;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"{ \"b\" : 1, \"a\" : [1, 2] }", "{\"a\":[1,2],\"b\":1}"},
      {"  \"just a string\"  ", "\"just a string\""},
      {"42", "42"},
      {"not json at all", std::nullopt},
      {"{\"a\": 1}\nTrailing words here", "{\"a\":1}\n\nTrailing words here"},
      // Mostly nested cells: no table.
      {"[{\"a\": [1]}, {\"a\": {\"b\": 2}}]", "[{\"a\":[1]},{\"a\":{\"b\":2}}]"},
      // Too few objects among the elements.
      {"[{\"a\": 1}, 2, 3]", "[{\"a\":1},2,3]"},
  };
  for (const Case& c : cases) EXPECT_EQ(Optimizer::optimizeJSON(c.input), c.expected) << c.input;
}

TEST(Optimizer, OrdersTableColumnsByHowManyRowsHaveThem) {
  auto value = JSONValue::parse(
      "[{\"z\": \"alpha\", \"b\": null}, {\"z\": \"beta\", \"y\": true, \"n\": 2.50}]");
  auto table = Optimizer::tabularCSV(value);
  ASSERT_TRUE(table);
  EXPECT_FALSE(table->key);
  EXPECT_EQ(table->csv, "z,b,n,y\nalpha\nbeta,,2.5,true");
}

TEST(Optimizer, PicksTheLargestArrayAndTheSmallerKeyOnATie) {
  auto value = JSONValue::parse(
      "{\"b\": [{\"x\": 1}, {\"x\": 2}], \"a\": [{\"y\": 1}, {\"y\": 2}], \"c\": [1]}");
  auto table = Optimizer::tabularCSV(value);
  ASSERT_TRUE(table);
  EXPECT_EQ(table->key, "a");
  EXPECT_EQ(table->csv, "y\n1\n2");
}

TEST(Optimizer, LeavesHugeJSONUntouched) {
  std::string json(20'000'001, ' ');
  json[0] = '[';
  json.back() = ']';
  auto r = Optimizer::shared().optimizeWithoutCheck(json, {}, DocumentFormat::json);
  EXPECT_EQ(r.text.size(), json.size());
  EXPECT_EQ(r.stats.originalLength, 20'000'001);
}

TEST(Optimizer, CutsLargeTextIntoSegmentsAtLineEnds) {
  std::string text;
  int lineNo = 0;
  while (text.size() < 2'500'000) {
    text += "Line " + std::to_string(lineNo++) + " of the report, with some words in it.  \n";
  }
  int inputs = 0;
  OptimizerTrace trace = [&](std::string_view label, std::string_view) {
    if (label == "input") ++inputs;
  };
  auto r = Optimizer::shared().optimizeWithoutCheck(text, {}, DocumentFormat::txt, trace);
  EXPECT_EQ(inputs, 3);
  EXPECT_TRUE(r.text.starts_with("Line 0 of the report, with some words in it.\nLine 1 "));
  EXPECT_NE(r.text.find("Line " + std::to_string(lineNo - 1) + " of the report"),
            std::string::npos);
  EXPECT_EQ(r.text.find("  "), std::string::npos);
}

TEST(Optimizer, ALargeSingleLineIsOptimizedWhole) {
  std::string text(2'100'000, 'a');
  for (size_t i = 10; i < text.size(); i += 11) text[i] = ' ';
  auto r = Optimizer::shared().optimizeWithoutCheck(text);
  EXPECT_EQ(r.text, text);
  // Keywords all along one long line: each rule still takes one pass over it.
  std::string busy;
  while (busy.size() < 2'100'000) busy += "page Copyright draft [x] - {a} ";
  auto b = Optimizer::shared().optimize(busy);
  EXPECT_FALSE(b.stats.sentAsWritten);
  EXPECT_TRUE(b.text.starts_with("page Copyright draft [x] - page Copyright"))
      << b.text.substr(0, 80);
  EXPECT_EQ(b.text.find("{a}"), std::string::npos);
}

TEST(Optimizer, SpreadsheetsGoToTheSpreadsheetPass) {
  std::vector<std::string> labels;
  OptimizerTrace trace = [&](std::string_view label, std::string_view) {
    labels.emplace_back(label);
  };
  auto r = Optimizer::shared().optimizeWithoutCheck("name,amount\nAlice,3.14159265\n,\n", {},
                                                    DocumentFormat::csv, trace);
  EXPECT_EQ(r.text, "name,amount\nAlice,3.1416");
  ASSERT_TRUE(r.stats.sheetRemoved);
  EXPECT_EQ(r.stats.sheetRemoved->decimals, 1);
  EXPECT_EQ(labels, (std::vector<std::string>{"input", "spreadsheet"}));
}

TEST(Optimizer, BadBytesNeverStopIt) {
  std::string bytes = "ab\xFF\xFE cd\xC3 \n\n\n x";
  auto r = Optimizer::shared().optimize(bytes);
  EXPECT_EQ(r.text, "ab\xEF\xBF\xBD\xEF\xBF\xBD cd\xEF\xBF\xBD\n\nx");
}

TEST(Optimizer, EstimatesTokens) {
  struct Case {
    std::string text;
    int64_t tokens;
  };
  const std::vector<Case> cases = {
      {"", 1},
      {"abc", 1},
      {"abcd", 1},
      {"abcdefg", 1},
      {"abcdefgh", 2},
      {std::string(4000, 'x'), 1000},
      {"e\xCC\x81"
       "e\xCC\x81"
       "e\xCC\x81"
       "e\xCC\x81",
       1},
  };
  for (const Case& c : cases) EXPECT_EQ(Optimizer::estimateTokens(c.text), c.tokens) << c.text;
}

}  // namespace
}  // namespace zelk
