// The fidelity check: significant numbers in prose and in tables, the check that sends a text as
// written, the record of several parts, the fidelity block and its sentences, and the promise
// itself over thousands of generated documents.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "optimize/optimizer.h"
#include "optimize/optimizer_fidelity.h"
#include "optimizer_reference.h"
#include "sensitive/placeholder_map.h"

namespace zelk {
namespace {

using Numbers = std::set<std::string>;

TEST(Fidelity, SignificantNumbersOfProse) {
  struct Case {
    std::string text;
    Numbers expected;
  };
  const std::vector<Case> cases = {
      {"99 bottles", {}},
      {"99% sure", {"99%"}},
      {"costs $99", {"99"}},
      {"about 9.5 or 9.55", {"9.55"}},
      {"total 1,234.50 due", {"1234.5"}},
      {"pi is 3.14159", {"3.1416"}},
      {"grew 12.0%", {"12%"}},
      {"code 007", {"007"}},
      {"\xE2\x82\xAC 5 and \xC2\xA3"
       "7 and \xC2\xA5"
       "12",
       {"5", "7", "12"}},
      {"$ 1,000,000 raised", {"1000000"}},
      {"split 1 ,234 group", {"1234"}},
      {"bad group 1,2345", {"2345"}},
      {"four groups 1,234,567,8901", {"1234567", "8901"}},
      {"escape \\u00e9\\u2014 and 2024", {"2024"}},
      {"year 2024, page 7", {"2024"}},
      {"arabic \xD9\xA1\xD9\xA2\xD9\xA3", {"\xD9\xA1\xD9\xA2\xD9\xA3"}},
      {"1.00 is one", {}},
      {"no numbers", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(OptimizerFidelity::significantNumbers(c.text), c.expected) << c.text;
  }
}

TEST(Fidelity, RoundsToFourPlaces) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"3.14159", "3.1416"},
      {"2.50", "2.5"},
      {"12.0%", "12%"},
      {"1250.00", "1250"},
      {"5", "5"},
      {"007", "007"},
      {"100", "100"},
      {"0.000123456", "0.0001"},
      {"1.23456%", "1.2346%"},
      {"10.0", "10"},
      {"1.2.3.4.5", "1.2.3.4.5"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(OptimizerFidelity::roundedTo4(in), out) << in;
}

TEST(Fidelity, NumericCells) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"00123", "00123"},
      {" 2024 ", "2024"},
      {"12", std::nullopt},
      {"3.14159265", "3.1416"},
      {"-2.5", "2.5"},
      {"1e5", "100000"},
      {"1.0", std::nullopt},
      {"0.000123456", "0.0001235"},
      {"1,234.50", std::nullopt},
      {"$5.00", std::nullopt},
      {"Steve", std::nullopt},
      {"", std::nullopt},
      {"inf.", std::nullopt},
      {"+12.75", "12.75"},
      {"100000.123456", "100000.1235"},
  };
  for (const auto& [cell, value] : cases) {
    EXPECT_EQ(OptimizerFidelity::numericCell(cell), value) << cell;
  }
}

// The value of a number cell is the spreadsheet rule's writing of its absolute value.
TEST(Fidelity, NumericCellsFollowTheSpreadsheetRule) {
  std::mt19937 rng(7);
  const char* shapes[] = {"%.0f.%u", "-%.0f.%05u", "0.%06u",   "0.000%u",
                          "%.0fe%d", "%.0f.%u0",   "+%.0f.%u", "%.0f.00%u"};
  for (int i = 0; i < 20000; ++i) {
    char cell[96];
    double whole = std::uniform_int_distribution<int>(0, 1 << 30)(rng) /
                   std::pow(10.0, std::uniform_int_distribution<int>(0, 9)(rng));
    unsigned frac = std::uniform_int_distribution<unsigned>(0, 999999)(rng);
    int shape = i % 8;
    if (shape == 2 || shape == 3)
      std::snprintf(cell, sizeof cell, shapes[shape], frac);
    else if (shape == 4)
      std::snprintf(cell, sizeof cell, shapes[shape], std::floor(whole),
                    static_cast<int>(frac % 40) - 20);
    else
      std::snprintf(cell, sizeof cell, shapes[shape], std::floor(whole), frac);
    double x = std::strtod(cell, nullptr);
    std::string expected = SpreadsheetOptimizer::trimmed(std::fabs(x));
    size_t digits = 0;
    for (char c : expected) digits += (c >= '0' && c <= '9');
    std::optional<std::string> value;
    if (std::isfinite(x) && (digits > 2 || expected.find('.') != std::string::npos))
      value = expected;
    ASSERT_EQ(OptimizerFidelity::numericCell(cell), value) << cell;
  }
}

TEST(Fidelity, SignificantNumbersOfTables) {
  std::string csv =
      "## Sheet 2024\nname,amount,note\nA,\"1,234.50\",\"12 of 99\"\nB,3.14159265,\"multi\nline "
      "4567\"\nC,12,x\n";
  EXPECT_EQ(OptimizerFidelity::significantNumbers(csv, DocumentFormat::csv),
            (Numbers{"1234.5", "2024", "3.1416", "4567"}));
  // The same text as prose reads the quoted amount and the long decimal differently.
  EXPECT_EQ(OptimizerFidelity::significantNumbers(csv, DocumentFormat::txt),
            (Numbers{"1234.5", "2024", "3.1416", "4567"}));
  EXPECT_EQ(OptimizerFidelity::significantNumbers("a,0.5\n", DocumentFormat::xlsx),
            (Numbers{"0.5"}));
  EXPECT_EQ(OptimizerFidelity::significantNumbers("a,0.5\n"), (Numbers{}));
}

TEST(Fidelity, ContentOnlyTakesOutWhatIsRemovedOnPurpose) {
  std::string text =
      "Revenue 4,500.\nPage 12 of 40\nSee https://x.com/report/12345 now.\nCopyright 2019 Acme.\n"
      "Chapter one.....17\n";
  EXPECT_EQ(OptimizerFidelity::significantNumbers(
                OptimizerFidelity::contentOnly(text, DocumentFormat::pdf), DocumentFormat::pdf),
            (Numbers{"4500"}));
  EXPECT_EQ(OptimizerFidelity::contentOnly(text, DocumentFormat::csv), text);
  EXPECT_EQ(OptimizerFidelity::contentOnly(text, DocumentFormat::json), text);
}

TEST(Fidelity, AReformattedAmountPasses) {
  auto r = Optimizer::shared().optimize("{\"total\": \"1,234.50\", \"rate\": 1234.5}", {},
                                        DocumentFormat::json);
  EXPECT_EQ(r.text, "{\"rate\":1234.5,\"total\":\"1,234.50\"}");
  EXPECT_FALSE(r.stats.sentAsWritten);
  EXPECT_EQ(r.stats.numbersIn, 1);
}

TEST(Fidelity, SendsAsWrittenWhenANumberWouldBeLost) {
  std::string text = "Report   for {FY 2024} and 3.5% growth.\nPage 12 of 40\n";
  auto r = Optimizer::shared().optimize(text);
  EXPECT_EQ(r.text, text);
  EXPECT_EQ(r.stats.sentAsWritten, 1);
  EXPECT_EQ(r.stats.numbersIn, 2);
  EXPECT_EQ(r.stats.originalLength, r.stats.finalLength);
  EXPECT_FALSE(r.stats.sheetRemoved);
}

TEST(Fidelity, PageNumbersAndLinksAreNotLost) {
  std::string text = "Revenue   grew 4.5% to $1,200.\nPage 12 of 40\nhttps://x.com/a/12345\n";
  auto r = Optimizer::shared().optimize(text, {}, DocumentFormat::pdf);
  EXPECT_EQ(r.text, "Revenue grew 4.5% to $1,200.");
  EXPECT_FALSE(r.stats.sentAsWritten);
  EXPECT_EQ(r.stats.numbersIn, 2);
}

TEST(Fidelity, AnUnchangedTextCarriesNoCount) {
  auto r = Optimizer::shared().optimize("Already tidy 2024.");
  EXPECT_EQ(r.text, "Already tidy 2024.");
  EXPECT_FALSE(r.stats.numbersIn);
  EXPECT_FALSE(r.stats.sentAsWritten);
}

TEST(Fidelity, ReportsAtMostTwentyFiveMissingValues) {
  std::string text = "Figures [+";  // a revision mark: the docx rule removes it whole
  for (int i = 0; i < 30; ++i) text += std::to_string(1000 + i) + " ";
  text += "] end  .";
  auto r = Optimizer::shared().optimize(text);
  EXPECT_EQ(r.text, text);
  EXPECT_EQ(r.stats.sentAsWritten, 25);
  EXPECT_EQ(r.stats.numbersIn, 30);

  Numbers in;
  for (int i = 0; i < 30; ++i) in.insert(std::to_string(1000 + i));
  auto missing = OptimizerFidelity::missing(in, {"1000"});
  ASSERT_EQ(missing.size(), 25u);
  EXPECT_EQ(missing.front(), "1001");
  EXPECT_EQ(missing.back(), "1025");
}

TEST(Fidelity, ComputesTheRecordOfSeveralParts) {
  std::vector<OptimizerFidelity::Part> parts = {
      {"Sales 1,500 and 2,500.", "Sales 1500.", DocumentFormat::txt},
      {"a,b\n1234,x\n", "a,b\n1234,x", DocumentFormat::csv},
      {"Costs 2,500 again.", "Costs 2,500 again.", std::nullopt},
  };
  auto record = OptimizerFidelity::compute(parts, 1000, 333);
  EXPECT_EQ(record.tokensBefore, 1000);
  EXPECT_EQ(record.tokensAfter, 333);
  EXPECT_DOUBLE_EQ(record.reductionPercent, 66.7);
  EXPECT_EQ(record.numericValuesIn, 3);
  // Missing from its own part, even though another part keeps it.
  EXPECT_EQ(record.droppedNumericValues, (std::vector<std::string>{"2500"}));
  EXPECT_EQ(OptimizerFidelity::compute({}, 0, 0).reductionPercent, 0);
}

TEST(Fidelity, BuildsTheBlockAndItsSentence) {
  struct Case {
    int numbersIn;
    std::vector<std::string> missing;
    bool sentAsWritten;
    int64_t before, after;
    double reduction;
    std::string sentence;
  };
  const std::vector<Case> cases = {
      {4,
       {},
       false,
       1000,
       333,
       66.7,
       "Fidelity: every number in the text zelk read from the file (4) is kept; zelk shortened "
       "only prose and formatting. This checks zelk's own changes, not whether the file's text was "
       "complete."},
      {2,
       {"2024"},
       false,
       1,
       1,
       0,
       "FIDELITY WARNING: 1 numeric value present in the source are absent from the optimized "
       "text: 2024. Verify figures against the original before relying on them."},
      {3,
       {"12.5", "2024"},
       false,
       10,
       9,
       10,
       "FIDELITY WARNING: 2 numeric values present in the source are absent from the optimized "
       "text: 12.5, 2024. Verify figures against the original before relying on them."},
      {3,
       {"2024"},
       true,
       7,
       7,
       0,
       "Sent as written: a shorter version would have dropped figures, so zelk sent the text it "
       "read from the file unchanged and every number in it is exact."},
      {1, {}, false, 3, 2, 33.3, ""},
      {1, {}, false, 2, 3, -50, ""},
  };
  for (const Case& c : cases) {
    auto block =
        FidelityReport::build(c.numbersIn, c.missing, c.sentAsWritten, c.before, c.after, nullptr);
    const JSONValue& j = block.json;
    EXPECT_EQ(*j.find("tokens_before")->number(), c.before);
    EXPECT_EQ(*j.find("tokens_after")->number(), c.after);
    EXPECT_DOUBLE_EQ(*j.find("reduction_percent")->number(), c.reduction);
    EXPECT_EQ(*j.find("numeric_values_in")->number(), c.numbersIn);
    EXPECT_EQ(*j.find("numeric_values_preserved")->number(),
              c.numbersIn - static_cast<int>(c.missing.size()));
    EXPECT_EQ(*j.find("all_numeric_values_preserved")->boolean(), c.missing.empty());
    EXPECT_EQ(j.find("dropped_numeric_values")->array()->size(), c.missing.size());
    EXPECT_EQ(*j.find("sent_as_written")->boolean(), c.sentAsWritten);
    EXPECT_EQ(j.object()->size(), 8u);
    if (!c.sentence.empty()) {
      EXPECT_EQ(block.sentence, c.sentence);
    }
  }
}

TEST(Fidelity, NeverRepeatsTheDigitsOfAHiddenValue) {
  PlaceholderMap map;
  map.placeholder(SensitiveCategory::ssn, "123-45-6789", PlaceholderStyle::labeled);
  auto block = FidelityReport::build(5, {"2024", "456789", "99%"}, false, 100, 50,
                                     FidelityReport::filterOf(map));
  EXPECT_EQ(block.reported, (std::vector<std::string>{"2024", "99%"}));
  EXPECT_EQ(*block.json.find("numeric_values_preserved")->number(), 3);
}

TEST(Fidelity, BlockForOneText) {
  std::string asRead = "Sales   rose 4.5% to $1,200.\nPage 3 of 9";
  auto r = Optimizer::shared().optimize(asRead);
  PlaceholderMap map;
  auto block = FidelityReport::forText(asRead, std::nullopt, r.text, r.stats,
                                       Optimizer::estimateTokens(r.text), map);
  EXPECT_EQ(block.numbersIn, 2);
  EXPECT_TRUE(block.reported.empty());
  EXPECT_EQ(*block.json.find("tokens_before")->number(), 10);
  EXPECT_EQ(*block.json.find("tokens_after")->number(), 6);
  EXPECT_EQ(*block.json.find("sent_as_written")->boolean(), false);
}

// The promise: over generated documents mixing prose, figures, page numbers, links, notices and
// tables, every figure the generator wrote as content is in the optimized text, or the text was
// sent exactly as written. The figures are known to the generator, not taken from the check.
class DocumentGenerator {
 public:
  explicit DocumentGenerator(uint32_t seed) : rng_(seed) {}

  struct Document {
    std::string text;
    Numbers figures;  // normalized, as the content holds them
  };

  Document prose() {
    Document d;
    int blocks = pick(3, 12);
    for (int b = 0; b < blocks; ++b) {
      switch (pick(0, 11)) {
        case 0:
          d.text += "Page " + num(1, 300) + " of " + num(1, 300) + "\n";
          break;
        case 1:
          d.text += "See https://example.com/r/" + num(1000, 99999) + "?q=" + num(1, 99) + " \n";
          break;
        case 2:
          d.text += "Copyright " + num(1990, 2030) + " Acme Corp. All rights reserved.\n";
          break;
        case 3:
          d.text += "- " + num(1, 99) + " -\n";
          break;
        case 4:
          d.text += "Chapter " + num(1, 9) + "....." + num(10, 400) + "\n";
          break;
        case 5:
          d.text += "Y\nY\nN\n";
          break;
        case 6:
          d.text += "\xE2\x97\x8F  Item  with   spaces\n\n\n\n";
          break;
        case 7:
          d.text += "{REF " + figure(d, false) + "}\n";
          break;  // removed: must be caught
        case 8: {
          std::string row = "2024-01-15 ACCT-" + num(10, 99) + " ";
          for (int i = 0; i < 12; ++i) {
            d.text += row + words(3) + " amount " + figure(d, true) + "\n";
          }
          break;
        }
        case 9: {
          std::string line = "Repeated line with " + figure(d, true) + " in it.\n";
          d.text += line + line;
          break;
        }
        case 10:
          d.text += "region, " + figure(d, true) + ", " + figure(d, true) + "\n\nnext, " +
                    figure(d, true) + "\n";
          break;
        default: {
          std::string sentence = words(pick(2, 8));
          sentence[0] = static_cast<char>(std::toupper(sentence[0]));
          d.text += sentence + " " + figure(d, true) + " " + words(pick(1, 5)) + ".";
          d.text += pick(0, 2) == 0 ? "\n\n" : (pick(0, 1) ? "\n" : " ");
        }
      }
    }
    return d;
  }

  Document table() {
    Document d;
    d.text = "name,amount,share,note\n";
    int rows = pick(1, 15);
    for (int r = 0; r < rows; ++r) {
      switch (pick(0, 3)) {
        case 0:
          d.text += ",,,\n";
          break;
        case 1:
          d.text += "-,0,,N/A\n";
          break;
        default:
          d.text +=
              words(1) + ",\"" + figure(d, true) + "\"," + num(1, 99) + "%," + words(2) + "\n";
      }
    }
    return d;
  }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  std::string num(int lo, int hi) { return std::to_string(pick(lo, hi)); }
  std::string words(int n) {
    static const char* list[] = {"revenue", "grew", "the",   "quarter", "cost",
                                 "margin",  "net",  "sales", "region",  "total",
                                 "report",  "year", "units", "price"};
    std::string out;
    for (int i = 0; i < n; ++i) out += (i ? " " : "") + std::string(list[pick(0, 13)]);
    return out;
  }
  // A figure written in one of the shapes documents use; recorded when it is content.
  std::string figure(Document& d, bool record) {
    std::string text, normal;
    switch (pick(0, 5)) {
      case 0: {
        int v = pick(1000, 9999999);
        text = std::to_string(v);
        normal = text;
        break;
      }
      case 1: {
        int whole = pick(1, 999), frac = pick(0, 99);
        char buf[64];
        int thousands = pick(0, 999);
        std::snprintf(buf, sizeof buf, "$%d,%03d.%02d", whole, thousands, frac);
        text = buf;
        std::snprintf(buf, sizeof buf, "%d%03d.%02d", whole, thousands, frac);
        normal = OptimizerFidelity::roundedTo4(buf);
        break;
      }
      case 2: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%d.%d%%", pick(0, 99), pick(0, 9));
        text = buf;
        normal = OptimizerFidelity::roundedTo4(text.substr(0, text.size() - 1)) + "%";
        break;
      }
      case 3: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%d.%05d", pick(0, 999), pick(0, 99999));
        text = buf;
        normal = OptimizerFidelity::roundedTo4(text);
        break;
      }
      case 4:
        text = std::to_string(pick(1990, 2030));
        normal = text;
        break;
      default:
        text = std::to_string(pick(100, 999));
        normal = text;
    }
    // Digits short of significance are not part of the promise.
    size_t digits = 0;
    for (char c : normal) digits += (c >= '0' && c <= '9');
    if (record && (digits >= 3 || normal.find('%') != std::string::npos || text[0] == '$')) {
      d.figures.insert(normal);
    }
    return text;
  }

  std::mt19937 rng_;
};

TEST(Fidelity, NoNumberDisappearsSilently) {
  DocumentGenerator gen(20240611);
  int sentAsWritten = 0, shortened = 0;
  const std::optional<DocumentFormat> formats[] = {std::nullopt, DocumentFormat::txt,
                                                   DocumentFormat::pdf, DocumentFormat::md};
  for (int i = 0; i < 3000; ++i) {
    bool asTable = i % 5 == 4;
    auto doc = asTable ? gen.table() : gen.prose();
    auto format = asTable ? std::optional(DocumentFormat::csv) : formats[i % 4];
    auto r = Optimizer::shared().optimize(doc.text, {}, format);
    if (r.text == doc.text) {
      if (r.stats.sentAsWritten) ++sentAsWritten;
      continue;
    }
    ++shortened;
    EXPECT_FALSE(r.stats.sentAsWritten);
    auto out = OptimizerFidelity::significantNumbers(r.text, format);
    for (const std::string& f : doc.figures) {
      ASSERT_TRUE(out.contains(f)) << "lost " << f << " from:\n"
                                   << doc.text << "\n--- got:\n"
                                   << r.text;
    }
    if (!format || !DocumentFormats::isSpreadsheet(*format)) {
      // The same holds when the numbers are read by the plain expressions.
      auto in = testing::referenceProseNumbers(Optimizer::removedOnPurpose(doc.text));
      auto kept = testing::referenceProseNumbers(r.text);
      for (const std::string& v : in) ASSERT_TRUE(kept.contains(v)) << v << "\n" << doc.text;
    }
  }
  // Both outcomes occur, so the property is exercised on each side.
  EXPECT_GT(sentAsWritten, 300);
  EXPECT_GT(shortened, 300);
}

}  // namespace
}  // namespace zelk
