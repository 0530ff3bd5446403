// Untrusted texts built to make patterns backtrack: each must redact with the same result every
// time and without running out of the patterns' time limit.
#include <gtest/gtest.h>

#include <string>

#include "sensitive/sensitive_data.h"

namespace zelk {
namespace {

using namespace SensitiveData;
using C = SensitiveCategory;

SensitiveRules everything() {
  SensitiveRules r = SensitiveRules::defaults();
  for (C c : {C::name, C::address, C::phone, C::email}) r.actions[c] = SensitiveAction::redact;
  return r;
}

std::string digitsAndSeparators() {
  std::string s;
  const char seps[] = {'-', ' ', '.', ',', '/', ':'};
  for (size_t i = 0; s.size() < (1u << 20); ++i) {
    s += std::to_string(1000 + (i * 7919) % 9000);
    s += seps[i % 6];
  }
  return "account number " + s;
}

std::string lessThans() { return "P" + std::string(1u << 20, '<'); }

std::string csvLine() {
  std::string s = "Name,SSN\n";
  for (int i = 0; i < 100000; ++i) s += i % 2 ? "219-09-9999," : "1,";
  return s;
}

std::string digitRun() { return "routing bank account " + std::string(1u << 20, '7'); }

std::string spacedDigits() {
  std::string s = "iban ";
  while (s.size() < (1u << 20)) s += "1234 ";
  return s;
}

std::string atSigns() {
  std::string s;
  while (s.size() < (1u << 20)) s += "a.b@c-";
  return s;
}

class Adversarial : public ::testing::TestWithParam<std::pair<const char*, std::string (*)()>> {};

void expectSameTwice(const std::string& text, const SensitiveRules& rules) {
  PlaceholderMap first, second;
  std::string a = redact(text, rules, first);
  std::string b = redact(text, rules, second);
  EXPECT_EQ(a, b);
  EXPECT_EQ(first.summary(), second.summary());
  EXPECT_EQ(first.flagged(), second.flagged());
}

TEST_P(Adversarial, RedactsTheSameWayEveryTime) {
  expectSameTwice(GetParam().second(), SensitiveRules::defaults());
}

// The telephone matcher reads digit-dense text at a few hundred kilobytes a second, so the
// text categories get the first 128 KB of each input.
TEST_P(Adversarial, RedactsTheSameWayEveryTimeWithTextCategories) {
  expectSameTwice(GetParam().second().substr(0, 128 * 1024), everything());
}

INSTANTIATE_TEST_SUITE_P(
    OneMegabyte, Adversarial,
    ::testing::Values(std::make_pair("digits_and_separators", &digitsAndSeparators),
                      std::make_pair("less_thans", &lessThans), std::make_pair("csv", &csvLine),
                      std::make_pair("digit_run", &digitRun),
                      std::make_pair("spaced_digits", &spacedDigits),
                      std::make_pair("at_signs", &atSigns)),
    [](const auto& info) { return std::string(info.param.first); });

TEST(AdversarialCsv, HidesEveryValueInTheLongRow) {
  PlaceholderMap map;
  std::string out = redact(csvLine(), SensitiveRules::defaults(), map);
  EXPECT_EQ(out.find("219-09-9999"), std::string::npos);
  EXPECT_EQ(map.counts().at(C::ssn), 50000);
}

}  // namespace
}  // namespace zelk
