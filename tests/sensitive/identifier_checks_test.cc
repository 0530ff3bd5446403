#include "sensitive/identifier_checks.h"

#include <gtest/gtest.h>

#include <functional>

namespace zelk {
namespace {

using namespace SensitiveData;
using C = SensitiveCategory;

struct CheckCase {
  const char* name;
  std::function<bool(const std::string&)> check;
  const char* value;
  bool expected;
};

TEST(IdentifierChecks, TableOfCases) {
  const CheckCase cases[] = {
      {"ssn", ssnValid, "123456789", true},
      {"ssn", ssnValid, "000123456", false},
      {"ssn", ssnValid, "666123456", false},
      {"ssn", ssnValid, "123004567", false},
      {"ssn", ssnValid, "123450000", false},
      {"ssn", ssnValid, "912701234", true},
      {"ssn", ssnValid, "912401234", false},
      {"ssn", ssnValid, "12345678", false},
      {"ein", einPrefixValid, "01", true},
      {"ein", einPrefixValid, "07", false},
      {"ein", einPrefixValid, "49", false},
      {"ein", einPrefixValid, "98", true},
      {"ein", einPrefixValid, "96", false},
      {"luhn", luhn, "4111111111111111", true},
      {"luhn", luhn, "4111111111111112", false},
      {"luhn", luhn, "0", false},
      {"luhn", luhn, "00", true},
      {"luhn", luhn, "12a4", false},
      {"card", cardValid, "4111111111111111", true},
      {"card", cardValid, "4222222222222", true},
      {"card", cardValid, "6011000000000004", true},
      {"card", cardValid, "601100000000004", false},   // 6011 with 15 digits
      {"card", cardValid, "7111111111111114", false},  // Luhn-valid, prefix 7
      {"card", cardValid, "378282246310005", true},
      {"card", cardValid, "5555555555554444", true},
      {"card", cardValid, "2221000000000009", true},
      {"card", cardValid, "30569309025904", true},
      {"aba", abaValid, "011000015", true},
      {"aba", abaValid, "011000016", false},
      {"aba", abaValid, "131000014", false},  // prefix 13 refused
      {"aba", abaValid, "01100001", false},
      {"iban", ibanValid, "GB82 WEST 1234 5698 7654 32", true},
      {"iban", ibanValid, "gb82 west 1234 5698 7654 32", false},
      {"iban", ibanValid, "GB82WEST123456987654", false},
      {"iban", ibanValid, "GB82WEST12345698765432X", false},
      {"iban", ibanValid, "XK051212012345678906", true},  // not in the length table
      {"ird", irdValid, "49091850", true},
      {"ird", irdValid, "136410132", true},
      {"ird", irdValid, "136410133", false},
      {"ird", irdValid, "9999999", false},
      {"ird", irdValid, "150000001", false},
      {"tfn", tfnValid, "123456782", true},
      {"tfn", tfnValid, "123456781", false},
      {"tfn", tfnValid, "1234567", false},
      {"sin", sinValid, "046454286", false},  // first digit 0
      {"sin", sinValid, "130692544", true},
  };
  for (const CheckCase& c : cases) {
    EXPECT_EQ(c.check(c.value), c.expected) << c.name << " " << c.value;
  }
}

TEST(IdentifierChecks, MrzLineTwoCheckDigits) {
  EXPECT_EQ(mrzCheckDigit("L898902C3"), 6);
  EXPECT_EQ(mrzCheckDigit("740812"), 2);
  EXPECT_EQ(mrzCheckDigit("a"), -1);
  const std::string line = "L898902C36UTO7408122F1204159ZE184226B<<<<<10";
  EXPECT_EQ(mrzLine2ChecksPassed(line), 3);
  std::string oneBroken = line;
  oneBroken[9] = '7';
  EXPECT_EQ(mrzLine2ChecksPassed(oneBroken), 2);
  EXPECT_TRUE(mrzLine2Valid(oneBroken));
  oneBroken[19] = '3';
  EXPECT_FALSE(mrzLine2Valid(oneBroken));
  EXPECT_EQ(mrzLine2ChecksPassed(line.substr(0, 43)), 0);
}

TEST(IdentifierChecks, Plausible) {
  struct Case {
    const char* value;
    C category;
    bool expected;
  };
  const Case cases[] = {
      {"123-45-6789", C::ssn, true},
      {"123-45-678", C::ssn, false},
      {"12-3456789", C::ein, true},
      {"07-3456789", C::ein, false},
      {"4111 1111 1111 1111", C::card, true},
      {"gb82 west 1234 5698 7654 32", C::iban, true},  // upper-cased first
      {"011000015", C::routing, true},
      {"L898902C36UTO7408122F1204159ZE184226B<<<<<10", C::passportMRZ, false},
      {"046 454 286", C::canadaSIN, true},  // the first-digit rule is not applied here
      {"49-091-850", C::nzIRD, true},
      {"ab 12 34 56 c", C::ukNINO, true},
      {"AB123456E", C::ukNINO, false},
      {"123 456 782", C::auTFN, true},
      {"X1234567", C::passport, true},
      {"x1234567", C::passport, false},
      {"ABCDEFG", C::passport, false},
      {"A-12345", C::driversLicense, true},
      {"a-12345", C::driversLicense, false},
      {"ABCDEF", C::driversLicense, false},
      {"12345678", C::bankAccount, true},
      {"12-3456-7890123-00", C::bankAccount, false},  // three non-digits
      {"12-3456-78901", C::bankAccount, true},
      {"12345", C::bankAccount, false},
      {"1990-05-01", C::dateOfBirth, true},
      {" 5/1/90 ", C::dateOfBirth, true},
      {"May 1, 1990", C::dateOfBirth, true},
      {"1 May 1990", C::dateOfBirth, true},
      {"N/A", C::dateOfBirth, false},
      {"anything", C::email, true},
      {"", C::name, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(plausible(c.value, c.category), c.expected)
        << c.value << " as " << toString(c.category);
  }
}

}  // namespace
}  // namespace zelk
