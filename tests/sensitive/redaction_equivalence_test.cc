// The prefiltered search (ICU only where a cheap scan shows that a match can begin) against the
// plain whole-text search, over many generated texts: identifiers of every category, near
// misses, accents, emoji and other digits before values, CSV, TSV, JSON and space-aligned
// tables, long texts with banking words far from numbers. Both must give the same findings, the
// same redacted text and the same counts.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "sensitive/internal/detection_path.h"
#include "sensitive/sensitive_data.h"

namespace zelk {
namespace {

using SensitiveData::Finding;
using sensitive_internal::SearchPath;
using C = SensitiveCategory;

const std::vector<std::string> kValues = {
    // ssn, ein
    "219-09-9999", "123-45-6789", "123 45 6789", "123456789", "912-70-1234", "666-12-3456",
    "12-3456789", "07-1234567",
    // cards and card-like numbers
    "4111 1111 1111 1111", "4111-1111-1111-1111", "4111111111111111", "3782 822463 10005",
    "378282246310005", "6011 0009 9013 9424", "9111 1111 1111 1113", "5500 0000 0000 0004",
    "4111 1111 1111 1111 123",
    // iban, routing
    "GB82 WEST 1234 5698 7654 32", "GB82WEST12345698765432", "DE89 3704 0044 0532 0130 00",
    "gb82 west 1234 5698 7654 32", "011000015", "021000021", "121000358",
    // passport lines
    "P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<", "L898902C36UTO7408122F1204159ZE184226B<<<<<10",
    "L898902C36UTO7408122F1204159ZE184226B<<<<<1",
    // ca, nz, uk, au
    "130 692 544", "046 454 286", "49-091-850", "049091850", "AB 12 34 56 C", "AB123456C",
    "QQ 12 34 56 A", "123 456 782", "12345678",
    // passport, licence, accounts
    "X1234567", "D123-4567-8901", "A-12345", "12345678", "1234 5678 9012", "12-3456-7890123",
    "000123456789", "1234-5678-9012-3456", "2024-01-31", "20240131", "555-123-4567",
    "12345-6789", "1999-2004", "2019 2020 2021",
    // dates of birth
    "13/05/1990", "1990-05-13", "5 May 1990", "May 5, 1990", "05.01.1990",
    // text categories
    "ann.lee@example.com", "a.b@c-d.co.uk", "+1 415 555 2671", "(415) 555-2671",
    "123 Main Street, Springfield, IL 62704", "PO Box 42", "John Smith", "Dr Alice Brown",
};

const std::vector<std::string> kLabels = {
    "SSN: ", "ssn ", "Social Security No. ", "social security number ", "ITIN ", "TIN# ",
    "Taxpayer identification number: ", "card ", "Credit card number: ", "CC# ", "VISA ",
    "amex ", "EIN ", "Employer ID number ", "Routing # ", "ABA ", "RTN: ", "routing number ",
    "TFN ", "Tax file number ", "Passport No: ", "passport ", "Driver's license ",
    "drivers licence no. ", "Account number ", "Acct no. ", "acct# ", "a/c no ", "bank account ",
    "Bank Account # ", "SIN ", "Social insurance number ", "IRD no. ", "ird ", "Date of birth: ",
    "DOB ", "d.o.b. ", "born on ", "Birthdate ", "IBAN ", "iban: ", "tel. ", "Phone: ", "fax ",
    "+44 ", "00 ", "Mobile ", "ACCOUNT NUMBER ", "", "", "", "no. ", "# ", "ref ",
};

const std::vector<std::string> kBefore = {
    "", "", "", " ", "\n", "é ", "😀 ", "😀", "ß ", "ſsn ", "\u212Aey ", "x", "$", "€", "#", "-",
    ".", "/", ":", "%", "(", "\"", "'", "1", "A", "<", "١٢", "𝟏𝟐", "１２", "\u00A0", "\t", "ﬁle ",
    "İ", "|",
};

const std::vector<std::string> kAfter = {
    "", "", "", " ", "\n", ".", ",", "-", "%", "x", "A", "1", "<", "😀", "é", "/5", ":9", "-12",
    " 123", "\t", ";", ")", "\"", "|",
};

const std::vector<std::string> kProse = {
    "The quarterly review covered revenue, hiring and the new office lease. ",
    "Margins improved by 3.2% while costs held steady at $1,250,000 for the period. ",
    "Our team met on 2024-03-15 to discuss the roadmap. ",
    "Please wire funds to the bank account listed below. ",
    "The routing of parcels changed in 2023 and 2024. ",
    "Café owners in Zürich paid 1 234 567 francs. ",
    "Call us on 020 7946 0958 or visit the office. ",
    "Straße 12, 3. Stock; Größe 40–42. ",
    "Totals: 1,234,567.89 and 9 876 543 210 units. ",
    "Invoice 2024-0042 was paid on 31/01/2024. ",
    "Mr. Brown met Grace Hopper in May. ",
    "Digits ٠١٢٣٤٥٦٧٨٩ and ０１２３４５６７８９ and 𝟎𝟏𝟐𝟑𝟒𝟓𝟔𝟕𝟖𝟗 also count. ",
};

const std::vector<std::string> kHeaders = {
    "Name,SSN,Notes", "Name,Department,Amount,SSN", "Employee,Tax ID,Account No",
    "name\tdob\tpassport", "| Name | Passport No | DOB |", "IBAN,Amount", "Routing,Account #",
    "Card Number,Expiry", "SIN,IRD,NINO,TFN", "Driver's License,Name", "Employee #,Name",
    "Name;SSN",
};

const std::vector<std::string> kFlatHeaders = {
    "Name          Passport No       Expiry Date",
    "Employee      SSN          Date of Birth",
    "Holder    Account No    Routing    Ref",
    "Traveller     Passport     Ticket No     Issued",
};

const std::vector<std::string> kJsonKeys = {
    "ssn", "SSN", "social_security_number", "tax_id", "taxid", "tin", "itin", "ein", "passport",
    "passport_no", "dob", "date_of_birth", "birthdate", "account_number", "account_no",
    "routing", "routing_number", "iban", "card_number", "drivers_license", "driver_licence_number",
    "id", "title", "price",
};

class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}

  std::string text() {
    std::string out;
    int pieces = 3 + pick(40);
    bool longText = pick(8) == 0;
    for (int i = 0; i < pieces; ++i) {
      switch (pick(10)) {
        case 0:
        case 1: out += prose(longText ? 30 : 3); break;
        case 2:
        case 3:
        case 4: out += labeledValue(); break;
        case 5: out += csv(); break;
        case 6: out += json(); break;
        case 7: out += flat(); break;
        case 8: out += oddities(); break;
        default: out += any(kBefore) + value() + any(kAfter); break;
      }
      out += pick(3) == 0 ? "\n" : " ";
    }
    return out;
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  const std::string& any(const std::vector<std::string>& v) {
    return v[static_cast<size_t>(pick(static_cast<int>(v.size())))];
  }

  // A value, sometimes with one character changed, added or dropped.
  std::string value() {
    std::string v = any(kValues);
    switch (pick(6)) {
      case 0: {
        size_t at = static_cast<size_t>(pick(static_cast<int>(v.size())));
        if (v[at] >= '0' && v[at] <= '9') v[at] = static_cast<char>('0' + pick(10));
        break;
      }
      case 1: v.insert(static_cast<size_t>(pick(static_cast<int>(v.size()) + 1)), 1,
                       static_cast<char>('0' + pick(10)));
        break;
      case 2:
        if (v.size() > 1 && static_cast<unsigned char>(v.back()) < 0x80) v.pop_back();
        break;
      case 3:
        for (char& c : v) {
          if (c == ' ' || c == '-') c = " -./"[pick(4)];
        }
        break;
      default: break;
    }
    return v;
  }

  std::string labeledValue() { return any(kBefore) + any(kLabels) + value() + any(kAfter); }

  std::string prose(int sentences) {
    std::string out;
    int n = 1 + pick(sentences);
    for (int i = 0; i < n; ++i) out += any(kProse);
    return out;
  }

  std::string csv() {
    std::string header = any(kHeaders);
    char sep = header.find('|') != std::string::npos   ? '|'
               : header.find('\t') != std::string::npos ? '\t'
                                                        : ',';
    int columns = 1;
    for (char c : header) columns += c == sep;
    std::string out = "\n" + header + "\n";
    int rows = 1 + pick(6);
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < columns; ++c) {
        if (c) out += sep;
        switch (pick(4)) {
          case 0: out += "Ann Lee"; break;
          case 1: out += "n/a"; break;
          default: out += (pick(3) == 0 ? " \"" : "") + value(); break;
        }
      }
      out += pick(8) == 0 ? " | x\n" : "\n";
    }
    if (pick(2)) out += "\n";
    return out;
  }

  std::string json() {
    std::string out = "{";
    int members = 1 + pick(5);
    for (int i = 0; i < members; ++i) {
      if (i) out += pick(2) ? ", " : ",\n";
      out += "\"" + any(kJsonKeys) + "\"" + (pick(2) ? ": " : ":");
      if (pick(3) == 0) {
        out += std::to_string(pick(100000000));
      } else {
        out += "\"" + value() + "\"";
      }
    }
    return out + (pick(4) == 0 ? "]" : "}");
  }

  std::string flat() {
    std::string out = "\n" + any(kFlatHeaders) + "\n";
    int rows = 1 + pick(3);
    for (int r = 0; r < rows; ++r) {
      out += "Ann Lee       " + value() + "      " + value();
      if (pick(2)) out += "      12/05/2031";
      out += "\n";
    }
    return out;
  }

  // Long runs and repeats that cross the search windows and the banking-word distance.
  std::string oddities() {
    switch (pick(7)) {
      case 0: return "account " + std::string(static_cast<size_t>(3000 + pick(3000)), '7');
      case 1: {
        std::string s = "iban ";
        int n = 500 + pick(1200);
        for (int i = 0; i < n; ++i) s += std::to_string(1000 + pick(9000)) + (pick(9) ? " " : "  ");
        return s;
      }
      case 2: {
        // A number about 3000 units from a banking word, before or after it.
        std::string gap(static_cast<size_t>(2980 + pick(40)), 'x');
        return pick(2) ? "acct " + gap + " 123456789012 " : "123456789012 " + gap + " routing";
      }
      case 3: return "P" + std::string(static_cast<size_t>(20 + pick(30)), '<');
      case 4: return "\xff\xfe " + value() + " \xc3";
      case 5: return "\xed\xa0\x80" + value();
      default: {
        std::string s;
        int n = 1 + pick(40);
        for (int i = 0; i < n; ++i) s += "a.b@c-";
        return s;
      }
    }
  }

  std::mt19937 rng_;
};

std::string describe(const std::vector<Finding>& findings) {
  std::string out;
  for (const Finding& f : findings) {
    out += std::string(toString(f.category)) + "@" + std::to_string(f.start) + "+" +
           std::to_string(f.length) + "=" + f.value + "\n";
  }
  return out;
}

SensitiveRules rulesFor(int variant) {
  SensitiveRules r = SensitiveRules::defaults();
  switch (variant % 4) {
    case 1: r.actions[C::email] = SensitiveAction::redact; break;
    case 2:
      r.style = PlaceholderStyle::last4;
      r.actions[C::ssn] = SensitiveAction::flag;
      r.actions[C::bankAccount] = SensitiveAction::off;
      r.actions[C::email] = SensitiveAction::flag;
      break;
    case 3: r.actions.erase(C::card); break;
    default: break;
  }
  return r;
}

void expectSame(const std::string& text, const SensitiveRules& rules, const std::string& what) {
  std::vector<Finding> fast = sensitive_internal::detectOn(text, rules, SearchPath::prefiltered);
  std::vector<Finding> plain = sensitive_internal::detectOn(text, rules, SearchPath::wholeText);
  ASSERT_EQ(describe(fast), describe(plain)) << what << "\ntext: " << text;
  ASSERT_EQ(fast, plain) << what;

  PlaceholderMap fastMap, plainMap;
  std::string fastOut = sensitive_internal::redactOn(text, rules, fastMap, SearchPath::prefiltered);
  std::string plainOut = sensitive_internal::redactOn(text, rules, plainMap, SearchPath::wholeText);
  ASSERT_EQ(fastOut, plainOut) << what << "\ntext: " << text;
  ASSERT_EQ(fastMap.counts(), plainMap.counts()) << what;
  ASSERT_EQ(fastMap.flagged(), plainMap.flagged()) << what;
  ASSERT_EQ(fastMap.hiddenDigits(), plainMap.hiddenDigits()) << what;
  ASSERT_EQ(sensitive_internal::flagCandidatesOn(text, SearchPath::prefiltered),
            sensitive_internal::flagCandidatesOn(text, SearchPath::wholeText))
      << what;
}

TEST(RedactionEquivalence, GeneratedTextsGiveTheSameFindingsAndOutput) {
  int withFindings = 0;
  for (uint32_t seed = 1; seed <= 1000; ++seed) {
    Generator g(seed);
    std::string text = g.text();
    SensitiveRules rules = rulesFor(static_cast<int>(seed));
    expectSame(text, rules, "seed " + std::to_string(seed));
    if (HasFatalFailure()) return;
    withFindings += !sensitive_internal::detectOn(text, rules, SearchPath::prefiltered).empty();
  }
  // The generator must exercise the detectors, not just filler.
  EXPECT_GT(withFindings, 900) << withFindings;
}

// The text categories run the same telephone, address and name layers on both paths; only the
// e-mail search differs. Fewer texts, as those layers are slow.
TEST(RedactionEquivalence, GeneratedTextsWithAllTextCategories) {
  SensitiveRules rules = SensitiveRules::defaults();
  for (C c : {C::name, C::address, C::phone, C::email}) rules.actions[c] = SensitiveAction::redact;
  for (uint32_t seed = 5001; seed <= 5060; ++seed) {
    Generator g(seed);
    expectSame(g.text(), rules, "seed " + std::to_string(seed));
    if (HasFatalFailure()) return;
  }
}

// Column headers and JSON keys: the prefiltered header search tries only keys that begin with
// a word some header pattern begins with, and only at the key's start.
TEST(RedactionEquivalence, HeaderNamesGiveTheSameCategory) {
  const std::vector<std::string> words = {
      "ssn", "social", "security", "insurance", "itin", "tin", "tax", "taxpayer", "id",
      "identification", "ein", "fein", "employer", "passport", "dob", "date", "of", "birth",
      "birthdate", "account", "acct", "bank", "routing", "aba", "rtn", "iban", "card", "credit",
      "cc", "driver", "drivers", "driver's", "licence", "license", "dl", "sin", "ird", "nino", "ni",
      "national", "tfn", "file", "no", "num", "number", "#", "name", "notes", "amount", "ß", "İd",
      "SSN", "Tax", "ID", "No.", "",
  };
  const std::vector<std::string> joins = {" ", "_", "-", ".", "  ", "__", "\t", "-_", " "};
  const std::vector<std::string> ends = {"", "", " ", "*", "\"", "'", "`", ":", " #", "s"};
  std::mt19937 rng(7);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  int named = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string key = ends[pick(ends.size())];
    size_t count = 1 + pick(4);
    for (size_t w = 0; w < count; ++w) {
      if (w) key += joins[pick(joins.size())];
      key += words[pick(words.size())];
    }
    key += ends[pick(ends.size())];
    auto fast = sensitive_internal::headerCategoryOn(key, SearchPath::prefiltered);
    auto plain = sensitive_internal::headerCategoryOn(key, SearchPath::wholeText);
    ASSERT_EQ(fast, plain) << key;
    named += fast.has_value();
  }
  EXPECT_GT(named, 500) << named;
}

// Hand-made texts at the edges of the prefilters.
TEST(RedactionEquivalence, EdgeTexts) {
  std::string farAccount = "bank account\n" + std::string(2990, 'x') + " 12345678 " +
                           std::string(20, 'y') + " 87654321";
  std::string windowEdge = "routing " + std::string(4090, 'z') + " 1234 5678 9012 3456 end";
  std::string joined = "acct 1234 - 5678 -- 9012 ";
  for (int i = 0; i < 1400; ++i) joined += "12 ";
  const std::string cases[] = {
      "",
      "\n\n",
      farAccount,
      windowEdge,
      joined,
      "account " + std::string(9000, '1'),
      "iban " + std::string(5000, '9') + "-" + std::string(5000, '9'),
      "SSN 219-09-9999-1 and 219-09-9999 and 1219-09-9999 and .219-09-9999",
      "EIN 12-3456789 12-34567890 -12-3456789 ١٢-٣٤٥٦٧٨٩",
      "𝟐𝟏𝟗-𝟎𝟗-𝟗𝟗𝟗𝟗 and ２１９-０９-９９９９ and ٢١٩-٠٩-٩٩٩٩",
      "card 𝟒𝟏𝟏𝟏 𝟏𝟏𝟏𝟏 𝟏𝟏𝟏𝟏 𝟏𝟏𝟏𝟏 and 4111 1111 1111 1111",
      "GB82 WEST 1234 5698 7654 32GB82 WEST 1234 5698 7654 32 xGB82WEST12345698765432",
      "AB 12 34 56 C AB12 34 56 C 1AB 12 34 56 C <AB 12 34 56 C",
      "P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<\nL898902C36UTO7408122F1204159ZE184226B<<<<<10",
      "<P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<< L898902C36UTO7408122F1204159ZE184226B<<<<<10<",
      "STRAẞE SSN 219-09-9999 ACCOUNT NUMBER 12345678",
      "ſsn 219-09-9999 and ﬁle acct 12345678",
      "\u212Aey BANK ACCOUNT 000123456789",
      "a@b.cd x.y@z.com @@ a@@b.com .@a.bc mail:ann.lee@example.com.",
      "Name,SSN\n,219-09-9999\n\"Ann\", \"219-09-9999\"\nBob|219-09-9999\n",
      "Name\tSSN\n\u00A0\nAnn\t219-09-9999\n",
      "Name          Passport No       Expiry Date\nAnn Lee       X1234567          12/05/2031\n",
      "{\"ssn\":\"219-09-9999\",\"SSN\" : 123456789, \"iban\": \"GB82 WEST 1234 5698 7654 32\"}",
      "\xff\xfe SSN 219-09-9999 \xc3",
      "ſſn 219099999 and ſsn: 219099999",
      "ban\u212A account 000123456789",
      "Name,SSN," + std::string(41, 'n') + "\nAnn,219099999,x\n\nName,SSN," +
          std::string(40, 'n') + "\nAnn,219099999,x",
      "Name,SSN\nAnn,219099999\n \t \nBob,219099999",
  };
  std::vector<std::string> all(std::begin(cases), std::end(cases));
  for (int gap = 2990; gap <= 3000; ++gap) {
    std::string xs(static_cast<size_t>(gap), 'x');
    all.push_back("iban" + xs + " 123456789012");
    all.push_back("1234567890123 " + xs + "account");
  }
  for (size_t i = 0; i < all.size(); ++i) {
    for (int variant = 0; variant < 4; ++variant) {
      expectSame(all[i], rulesFor(variant), "case " + std::to_string(i));
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace zelk
