// The exact decimal of the table measures: parsing, sums, order, division and printing.
#include "tables/decimal_number.h"

#include <gtest/gtest.h>

#include <string>

namespace zelk {
namespace {

DecimalNumber D(const std::string& text) {
  auto d = DecimalNumber::parse(text);
  EXPECT_TRUE(d.has_value()) << text;
  return d.value_or(DecimalNumber());
}

TEST(DecimalNumber, ParsesAndPrintsPlainNotation) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"0", "0"},
      {"-0", "0"},
      {"1234.50", "1234.5"},
      {"-0.125", "-0.125"},
      {"1.5e3", "1500"},
      {"1E-3", "0.001"},
      {"+7", "7"},
      {".5", "0.5"},
      {"5.", "5"},
      {"000123.4500", "123.45"},
      {"12345678901234567890123456789012345678", "12345678901234567890123456789012345678"},
      {"0.00000000000000000000000000000000000001", "0.00000000000000000000000000000000000001"},
      // Past 38 significant digits the rest rounds half away from zero.
      {"123456789012345678901234567890123456785", "123456789012345678901234567890123456790"},
      {"-99999999999999999999999999999999999999.5", "-100000000000000000000000000000000000000"},
      {"1e30", "1000000000000000000000000000000"},
  };
  for (const auto& c : cases) EXPECT_EQ(D(c.in).toString(), c.out) << c.in;
}

TEST(DecimalNumber, RefusesWhatIsNotPlainNumericText) {
  for (const char* bad : {"", "-", ".", "1.2.3", "1,5", "1e", "1e+", "e5", " 1", "1 ", "0x10",
                          "1e5x", "nan", "inf"})
    EXPECT_FALSE(DecimalNumber::parse(bad).has_value()) << bad;
  // An exponent no cell can reach is refused rather than printed as a million digits.
  EXPECT_FALSE(DecimalNumber::parse("1e9999999").has_value());
  EXPECT_EQ(DecimalNumber::parse("0e9999999")->toString(), "0");
}

TEST(DecimalNumber, SumsAreExactToTheCent) {
  DecimalNumber sum;
  for (int i = 0; i < 1000; ++i) sum += D("0.10");
  EXPECT_EQ(sum.toString(), "100");
  EXPECT_EQ((D("0.1") + D("0.2")).toString(), "0.3");
  EXPECT_EQ((D("1234.56") + D("-1234.55")).toString(), "0.01");
  EXPECT_EQ((D("1e20") + D("0.01")).toString(), "100000000000000000000.01");
  EXPECT_EQ((D("5") - D("7.25")).toString(), "-2.25");
  // Sums that need more than 38 digits keep the 38 leading ones.
  DecimalNumber big = D("99999999999999999999999999999999999999");
  EXPECT_EQ((big + D("1")).toString(), "100000000000000000000000000000000000000");
  EXPECT_EQ((D("1e40") + D("1")).toString(), "10000000000000000000000000000000000000000");
}

TEST(DecimalNumber, OrdersNumerically) {
  EXPECT_EQ(D("1.50"), D("1.5"));
  EXPECT_LT(D("-2"), D("-1.99"));
  EXPECT_LT(D("0.001"), D("0.01"));
  EXPECT_GT(D("1e3"), D("999.999"));
  EXPECT_LT(D("-1e3"), D("0"));
  EXPECT_EQ(D("0"), D("-0.000"));
  EXPECT_LT(D("12345678901234567890123456789012345677"),
            D("12345678901234567890123456789012345678"));
}

TEST(DecimalNumber, AveragesRoundHalfAwayFromZeroToSixPlaces) {
  struct Case {
    const char* sum;
    int64_t count;
    const char* out;
  } cases[] = {
      {"5", 3, "1.666667"},        // 1, 2, 2
      {"-5", 3, "-1.666667"},
      {"1", 8, "0.125"},
      {"0.0000005", 1, "0.000001"},  // exactly half rounds away from zero
      {"-0.0000005", 1, "-0.000001"},
      {"0.00000049", 1, "0"},
      {"0.123456789", 1, "0.123457"},
      {"10", 4, "2.5"},
      {"2", 3, "0.666667"},
      {"99999999999999999999999999999999999999", 1, "99999999999999999999999999999999999999"},
      {"1e30", 3, "333333333333333333333333333333.333333"},
      {"123.45", 0, "0"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(D(c.sum).dividedBy(c.count, 6).toString(), c.out) << c.sum << " / " << c.count;
}

TEST(DecimalNumber, HalvesExactly) {
  EXPECT_EQ((D("2") + D("3")).half().toString(), "2.5");
  EXPECT_EQ(D("-7").half().toString(), "-3.5");
  EXPECT_EQ(D("0.01").half().toString(), "0.005");
  EXPECT_EQ(D("99999999999999999999999999999999999999").half().toString(),
            "50000000000000000000000000000000000000");
}

TEST(DecimalNumber, RoundsToPlaces) {
  EXPECT_EQ(D("2.345").rounded(2).toString(), "2.35");
  EXPECT_EQ(D("-2.345").rounded(2).toString(), "-2.35");
  EXPECT_EQ(D("2.344").rounded(2).toString(), "2.34");
  EXPECT_EQ(D("7").rounded(2).toString(), "7");
}

TEST(DecimalNumber, FromDigitsSkipsMarks) {
  EXPECT_EQ(DecimalNumber::fromDigits(false, "1,234.50", -2)->toString(), "1234.5");
  EXPECT_EQ(DecimalNumber::fromDigits(true, "1.234", -3)->toString(), "-1.234");
  EXPECT_EQ(DecimalNumber::fromDigits(false, "", 5)->toString(), "0");
  EXPECT_EQ(DecimalNumber::fromInteger(-42).toString(), "-42");
}

}  // namespace
}  // namespace zelk
