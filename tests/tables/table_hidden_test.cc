#include "tables/table_hidden.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/sha256.h"
#include "protocol/json_value.h"
#include "sensitive/sensitive_data.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::IsolatedHome;
using testing::ScopedEnv;
using testing::TempDir;
using Rows = std::vector<std::vector<std::string>>;

SensitiveRules defaultRules() { return SensitiveRules::defaults(); }

SensitiveRules withAction(SensitiveCategory c, SensitiveAction a) {
  SensitiveRules rules = SensitiveRules::defaults();
  rules.actions[c] = a;
  return rules;
}

std::string ssn(int i) {
  // Valid area, group and serial numbers.
  char buf[48];
  std::snprintf(buf, sizeof buf, "%03d-%02d-%04d", 100 + i % 500, 10 + i % 80, 1000 + i % 9000);
  return buf;
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A CSV of `rows` data rows: Id, SSN (three in ten hold a number), Notes (a card number every
// 250 rows).
std::string peopleCSV(int rows) {
  std::string csv = "Id,SSN,Notes\n";
  for (int i = 1; i <= rows; ++i) {
    csv += std::to_string(i) + "," + (i % 10 < 3 ? ssn(i) : std::string("none")) + ",";
    csv += i % 250 == 7 ? "paid with 4111 1111 1111 1111" : "fine";
    csv += "\n";
  }
  return csv;
}

TableLayout hiddenLayout(const std::string& path, const SensitiveRules& rules) {
  TableReader reader(path);
  return TableHidden::layout(reader, nullptr, rules);
}

const TableColumn& columnNamed(const TableLayout& layout, const std::string& name) {
  for (const auto& c : layout.columns)
    if (c.name == name) return c;
  throw std::runtime_error("no column " + name);
}

TEST(TableHiddenSample, KeepsTheSameThousandRowsOnEveryRun) {
  auto sampleOf = [](int n) {
    TableHidden::Sample s;
    for (int i = 0; i < n; ++i) s.add({std::to_string(i)});
    return s;
  };
  TableHidden::Sample a = sampleOf(5000), b = sampleOf(5000);
  EXPECT_EQ(a.seen, 5000);
  ASSERT_EQ(a.rows.size(), TableHidden::kSampleRows);
  EXPECT_EQ(a.rows, b.rows);
  int later = 0;
  for (const auto& r : a.rows) later += std::stoi(r[0]) >= 1000;
  EXPECT_GT(later, 500);  // 80% of the rows came after the first thousand

  // The draw itself: the first replacement decision by the fixed generator.
  TableHidden::Sample c = sampleOf(1000);
  uint64_t state = TableHidden::kSampleSeed * 6364136223846793005ull + 1442695040888963407ull;
  uint64_t j = (state >> 33) % 1001;
  c.add({"new"});
  if (j < 1000) {
    EXPECT_EQ(c.rows[j][0], "new");
  } else {
    EXPECT_EQ(std::count(c.rows.begin(), c.rows.end(), std::vector<std::string>{"new"}), 0);
  }
}

TEST(TableHiddenSample, KeepsBoundedRows) {
  std::vector<std::string> wide(100, std::string(10000, 'x'));
  wide[0] = std::string(4095, 'a') + "\u00e9";  // a two-byte character across the cut
  auto kept = TableHidden::Sample::kept(wide);
  ASSERT_EQ(kept.size(), 16u);
  EXPECT_EQ(kept[0], std::string(4095, 'a'));
  for (size_t i = 1; i < kept.size(); ++i) EXPECT_EQ(kept[i].size(), 4096u);
  EXPECT_EQ(TableHidden::Sample::kept({"a", "", "b"}), (std::vector<std::string>{"a", "", "b"}));
}

TEST(TableHiddenJudge, VerdictsPerColumn) {
  struct Case {
    const char* what;
    std::vector<std::string> cells;
    std::string header;
    std::optional<std::string> hiddenBy;
    bool someHidden;
  };
  auto repeat = [](std::vector<std::string> pattern, int times) {
    std::vector<std::string> out;
    for (int t = 0; t < times; ++t) out.insert(out.end(), pattern.begin(), pattern.end());
    return out;
  };
  std::vector<std::string> mostlyPlain = repeat({"fine"}, 997);
  for (int i = 0; i < 3; ++i) mostlyPlain.push_back("card 4111 1111 1111 1111");
  std::vector<std::string> tie;
  for (int i = 0; i < 20; ++i) tie.push_back(ssn(i));
  for (int i = 0; i < 20; ++i) tie.push_back("4111 1111 1111 1111");
  for (int i = 0; i < 60; ++i) tie.push_back("ok");
  std::vector<std::string> tenth = repeat({"x", "x", "x", "x", "x", "x", "x", "x", "x"}, 10);
  for (int i = 0; i < 10; ++i) tenth.push_back(ssn(i));  // exactly 10%
  std::vector<std::string> blanksDontCount = repeat({"", "n/a"}, 50);
  blanksDontCount.push_back(ssn(1));

  std::vector<Case> cases = {
      {"a third are SSNs", repeat({ssn(1), "none", "none"}, 30), "SSN", "ssn", true},
      {"three card numbers in a thousand", mostlyPlain, "Notes", std::nullopt, true},
      {"a tie goes to the first raw value", tie, "Notes", "card", true},
      {"exactly a tenth hides", tenth, "Notes", "ssn", true},
      {"blank cells are not counted", blanksDontCount, "Notes", "ssn", true},
      {"nothing protected", repeat({"12.50", "abc"}, 20), "Amount", std::nullopt, false},
  };
  for (const auto& c : cases) {
    Rows rows;
    for (const auto& cell : c.cells) rows.push_back({"k", cell});
    rows.push_back({"short"});  // a row that doesn't reach the column
    auto verdicts = TableHidden::judge(rows, {"Key", c.header}, defaultRules());
    ASSERT_EQ(verdicts.size(), 2u) << c.what;
    EXPECT_EQ(verdicts[0], TableHidden::Verdict{}) << c.what;
    EXPECT_EQ(verdicts[1].hiddenBy, c.hiddenBy) << c.what;
    EXPECT_EQ(verdicts[1].someHidden, c.someHidden) << c.what;
  }
  // Just under a tenth does not hide.
  Rows under;
  for (int i = 0; i < 91; ++i) under.push_back({"x"});
  for (int i = 0; i < 9; ++i) under.push_back({ssn(i)});
  auto v = TableHidden::judge(under, {"Notes"}, defaultRules());
  EXPECT_FALSE(v[0].hiddenBy.has_value());
  EXPECT_TRUE(v[0].someHidden);
  // A category the rules don't redact hides nothing.
  auto off = TableHidden::judge({{ssn(1)}, {ssn(2)}}, {"SSN"},
                                withAction(SensitiveCategory::ssn, SensitiveAction::flag));
  EXPECT_EQ(off[0], TableHidden::Verdict{});
}

TEST(TableHiddenLayout, HiddenAndPartlyHiddenColumns) {
  IsolatedHome home;
  TempDir dir;
  std::string path = dir.file("people.csv");
  writeText(path, peopleCSV(5000));
  TableLayout layout = hiddenLayout(path, defaultRules());
  ASSERT_EQ(layout.rows, 5000);
  const TableColumn& ssnColumn = columnNamed(layout, "SSN");
  EXPECT_EQ(ssnColumn.hiddenBy, std::optional<std::string>("ssn"));
  EXPECT_TRUE(ssnColumn.examples.empty());
  ASSERT_FALSE(ssnColumn.notes.empty());
  EXPECT_EQ(ssnColumn.notes.back(),
            "hidden by your rules (SSN): it can be counted, never grouped by, filtered on, "
            "measured or shown");
  JSONObject object = MCPTools::layoutObject(layout, path);
  const JSONArray& columns = *object["columns"].array();
  EXPECT_EQ(*columns[1].find("hidden_by_rule")->string(), "SSN");
  EXPECT_EQ(columns[1].find("examples"), nullptr);

  const TableColumn& notes = columnNamed(layout, "Notes");
  EXPECT_FALSE(notes.hiddenBy.has_value());
  EXPECT_TRUE(notes.someHidden);
  ASSERT_FALSE(notes.notes.empty());
  EXPECT_EQ(notes.notes.back(),
            "some values are hidden by your rules and show as placeholders; filters never match "
            "them");
  EXPECT_FALSE(columnNamed(layout, "Id").someHidden);
}

TEST(TableHiddenLayout, ExamplesShowPlaceholders) {
  IsolatedHome home;
  TempDir dir;
  std::string path = dir.file("notes.csv");
  std::string csv = "Notes,Amount\n";
  csv += "card 4111 1111 1111 1111,1\n";
  for (int i = 0; i < 40; ++i) csv += "plain text " + std::to_string(i % 3) + ",2\n";
  writeText(path, csv);
  TableLayout layout = hiddenLayout(path, defaultRules());
  const TableColumn& notes = columnNamed(layout, "Notes");
  EXPECT_TRUE(notes.someHidden);
  ASSERT_FALSE(notes.examples.empty());
  EXPECT_EQ(notes.examples[0], "card [CARD 1]");
  for (const auto& e : notes.examples) EXPECT_EQ(e.find("4111"), std::string::npos);
}

TEST(TableHiddenCache, SecondLayoutReadsTheStoredVerdicts) {
  IsolatedHome home;
  TempDir dir;
  std::string path = dir.file("people.csv");
  writeText(path, peopleCSV(200));
  SensitiveRules rules = defaultRules();
  TableLayout first = hiddenLayout(path, rules);
  ASSERT_TRUE(columnNamed(first, "SSN").hiddenBy.has_value());
  std::string cache = home.supportDir() + "/table-verdicts.json";
  ASSERT_EQ(TableHidden::cachePath(), cache);
  ASSERT_TRUE(std::filesystem::exists(cache));

  // Plant a different verdict under the same key and stamp: the next layout must use it.
  std::vector<std::string> headers = {"Id", "SSN", "Notes"};
  TableHidden::Verdict email{std::string("email"), true};
  TableHidden::store({email, {}, {}}, path, "", headers, rules);
  TableLayout second = hiddenLayout(path, rules);
  EXPECT_EQ(columnNamed(second, "Id").hiddenBy, std::optional<std::string>("email"));
  EXPECT_FALSE(columnNamed(second, "SSN").hiddenBy.has_value());

  // A changed rule, a changed file and a changed header each miss the planted entry.
  SensitiveRules phones = withAction(SensitiveCategory::phone, SensitiveAction::redact);
  EXPECT_FALSE(TableHidden::stored(path, "", headers, phones).has_value());
  EXPECT_FALSE(TableHidden::stored(path, "", {"Id", "SSN", "Note"}, rules).has_value());
  EXPECT_FALSE(TableHidden::stored(path, "Sheet1", headers, rules).has_value());
  EXPECT_FALSE(TableHidden::stored(path, "", {"Id", "SSN"}, rules).has_value());
  EXPECT_TRUE(TableHidden::stored(path, "", headers, rules).has_value());
  struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_FALSE(TableHidden::stored(path, "", headers, rules).has_value());
  TableLayout third = hiddenLayout(path, rules);
  EXPECT_FALSE(columnNamed(third, "Id").hiddenBy.has_value());
  EXPECT_TRUE(columnNamed(third, "SSN").hiddenBy.has_value());
}

TEST(TableHiddenCache, KeepsFiveHundredEntriesDroppingTheOldest) {
  IsolatedHome home;
  std::string cache = TableHidden::cachePath();
  JSONObject root;
  for (int i = 0; i < 500; ++i) {
    JSONObject entry;
    entry["stamp"] = "s";
    entry["verdicts"] = JSONArray{};
    entry["used"] = 1000.0 + (i == 0 ? 500 : i);  // entry 1 is the oldest
    root["key" + std::to_string(i)] = std::move(entry);
  }
  platform::createDirectories(home.supportDir());
  ASSERT_TRUE(platform::writeFileAtomically(cache, JSONValue(root).encode()));
  TableHidden::store({{}}, "/nowhere/new.csv", "", {"A"}, defaultRules());
  JSONValue after = JSONValue::parse(*platform::readFile(cache));
  const JSONObject& entries = *after.object();
  EXPECT_EQ(entries.size(), 500u);
  EXPECT_EQ(entries.count("key1"), 0u);
  EXPECT_EQ(entries.count("key0"), 1u);
  auto [key, stamp] = TableHidden::keys("/nowhere/new.csv", "", {"A"}, defaultRules());
  ASSERT_EQ(entries.count(key), 1u);
  const JSONValue& entry = entries.at(key);
  EXPECT_EQ(*entry.find("stamp")->string(), stamp);
  EXPECT_EQ(entry.find("verdicts")->encode(), R"([{"someHidden":false}])");
  EXPECT_TRUE(entry.find("used")->isNumber());
}

TEST(TableHiddenCache, UnreadableCacheCountsAsEmptyAndLivesBesidePrefs) {
  TempDir dir;
  IsolatedHome home;
  ScopedEnv prefs("ZELK_PREFS_PATH", dir.file("conf/prefs.json"));
  EXPECT_EQ(TableHidden::cachePath(), dir.file("conf/table-verdicts.json"));
  platform::createDirectories(dir.file("conf"));
  writeText(TableHidden::cachePath(), "{not json");
  EXPECT_FALSE(TableHidden::stored("/x.csv", "", {"A"}, defaultRules()).has_value());
  TableHidden::store({{std::string("ssn"), true}}, "/x.csv", "", {"A"}, defaultRules());
  auto stored = TableHidden::stored("/x.csv", "", {"A"}, defaultRules());
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ((*stored)[0], (TableHidden::Verdict{std::string("ssn"), true}));
  // The same file named with "." and ".." components shares the entry.
  EXPECT_TRUE(TableHidden::stored("/a/../x.csv", "", {"A"}, defaultRules()).has_value());
}

TEST(TableHiddenKeys, HashAndStampParts) {
  // SHA-256 of "a" U+001F "b".
  EXPECT_EQ(TableHidden::hash({"a", "b"}), platform::sha256Hex("a\x1F"
                                                               "b"));
  EXPECT_EQ(TableHidden::hash({}),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(TableHidden::secondsText(1712139300.25), "1712139300.25");
  EXPECT_EQ(TableHidden::secondsText(1712139300), "1712139300.0");
  EXPECT_EQ(TableHidden::secondsText(1700000000), "1700000000.0");
  EXPECT_EQ(TableHidden::secondsText(0.5), "0.5");
  EXPECT_EQ(TableHidden::redactedCategories(SensitiveRules::defaults()),
            "ssn,ein,card,iban,routing,passport_mrz,ca_sin,nz_ird,uk_nino,au_tfn,passport,"
            "drivers_license,bank_account,dob");
  auto a = TableHidden::keys("/t/a.csv", "", {"A"}, defaultRules());
  auto b = TableHidden::keys("/t/a.csv", "S", {"A"}, defaultRules());
  auto c = TableHidden::keys("/t/a.csv", "", {"A", ""}, defaultRules());
  EXPECT_NE(a.first, b.first);
  EXPECT_EQ(a.first, c.first);
  EXPECT_NE(a.second, c.second);
  EXPECT_EQ(
      a.second,
      TableHidden::hash({"0.0", "-1", TableHidden::redactedCategories(defaultRules()), "1", "A"}));
}

TEST(TableHidden, WorthCheckingAndLabels) {
  SensitiveRules names = withAction(SensitiveCategory::name, SensitiveAction::redact);
  struct Case {
    const char* text;
    bool plain, withNames;
  } cases[] = {{"abc", false, true}, {"a1", true, true}, {"P<<X", true, true},
               {"<x<", false, true}, {"", false, true},  {"١٢٣", false, true}};
  for (const auto& c : cases) {
    EXPECT_EQ(TableHidden::worthChecking(c.text, defaultRules()), c.plain) << c.text;
    EXPECT_EQ(TableHidden::worthChecking(c.text, names), c.withNames) << c.text;
  }
  EXPECT_EQ(TableHidden::label(SensitiveCategory::passportMRZ), "PASSPORT DATA");
  EXPECT_EQ(TableHidden::label(SensitiveCategory::bankAccount), "ACCOUNT");
  EXPECT_EQ(TableHidden::label(SensitiveCategory::driversLicense), "LICENSE");
}

TEST(TableHiddenCells, HidesValuesWithStablePlaceholders) {
  TableHidden::Cells cells({"Amount", "Account number", "Notes"}, defaultRules());
  const std::string number = "123456789";
  // Plain numbers under a header that names no category are never checked; the same number under
  // "Account number" is, and it is hidden, always behind the same placeholder.
  EXPECT_EQ(cells.hidden(number, 0), std::nullopt);
  EXPECT_EQ(cells.hidden("12.50", 0), std::nullopt);
  std::optional<std::string> hidden = cells.hidden(number, 1);
  EXPECT_EQ(hidden, std::optional<std::string>("[ACCOUNT 1]"));
  EXPECT_EQ(cells.hidden(number, 1), hidden);
  EXPECT_EQ(cells.hidden("paid " + ssn(3) + " and " + ssn(4), 2),
            std::optional<std::string>("paid [SSN 1] and [SSN 2]"));
  EXPECT_EQ(cells.hidden("ref " + ssn(4), 2), std::optional<std::string>("ref [SSN 2]"));
  EXPECT_EQ(cells.hidden("nothing here", 2), std::nullopt);
  EXPECT_EQ(cells.hidden("room 12", 2), std::nullopt);
  EXPECT_TRUE(cells.produced("ref [SSN 2]"));
  EXPECT_FALSE(cells.produced("room 12"));
  EXPECT_EQ(cells.placeholders().size(), 3u);
  EXPECT_EQ(cells.map().summary(), (std::map<std::string, int>{{"bank_account", 1}, {"ssn", 3}}));

  // With a text category redacted, plain numbers are checked in every column.
  TableHidden::Cells all({"Amount"}, withAction(SensitiveCategory::email, SensitiveAction::redact));
  EXPECT_EQ(all.hidden("write to a@example.com", 0),
            std::optional<std::string>("write to [EMAIL 1]"));
}

}  // namespace
}  // namespace zelk
