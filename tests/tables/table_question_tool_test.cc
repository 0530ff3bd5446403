#include "tables/table_question_tool.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "documents/zip_builder.h"
#include "protocol/json_value.h"
#include "protocol/session_driver.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::IsolatedHome;
using testing::ScopedEnv;
using testing::TempDir;

void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

JSONObject ask(const JSONObject& arguments) {
  std::string text = MCPTools::tableQuestion(arguments);
  JSONValue value = JSONValue::parse(text);
  EXPECT_TRUE(value.isObject()) << text;
  return value.isObject() ? *value.object() : JSONObject{};
}

std::string str(const JSONObject& o, const std::string& key) {
  auto it = o.find(key);
  return it != o.end() && it->second.string() ? *it->second.string() : "<" + key + " missing>";
}

JSONObject question(const std::string& json) { return *JSONValue::parse(json).object(); }

// A plain table: Region, Amount; `rows` data rows.
std::string salesCSV(int rows) {
  std::string csv = "Region,Amount\n";
  for (int i = 0; i < rows; ++i) csv += (i % 2 ? "North," : "South,") + std::to_string(i) + ".50\n";
  return csv;
}

void setModified(const std::string& path, time_t seconds) {
  struct timespec times[2] = {{0, UTIME_OMIT}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

void writePrefs(const IsolatedHome& home, const std::string& json) {
  std::filesystem::create_directories(home.supportDir());
  writeText(home.supportDir() + "/prefs.json", json);
}

std::string columnType(const JSONObject& layout, size_t i) {
  const JSONArray* columns = layout.at("columns").array();
  if (!columns || i >= columns->size()) return "<none>";
  return *columns->at(i).find("type")->string();
}

long peakRSSKiB() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

class TableQuestionTool : public ::testing::Test {
 protected:
  void SetUp() override { MCPTools::clearLayouts(); }
  IsolatedHome home_;
  TempDir dir_;
};

TEST_F(TableQuestionTool, RefusalsBeforeAndAroundTheFile) {
  std::string csv = dir_.file("sales.csv");
  writeText(csv, salesCSV(4));
  std::filesystem::create_directories(dir_.file("folder.csv"));
  const std::string wrongFormat =
      "table_question reads CSV, TSV and Excel (.xlsx) files. For a table inside a PDF, Word or "
      "other document, use smart_select.";
  struct Case {
    std::string what;
    JSONObject arguments;
    std::string message;
  };
  std::vector<Case> cases = {
      {"no file_path", {}, "file_path is needed: a .csv, .tsv or .xlsx file"},
      {"file_path not a string",
       {{"file_path", 12}},
       "file_path is needed: a .csv, .tsv or .xlsx file"},
      {"an .xls file", {{"file_path", "/tmp/old.xls"}}, wrongFormat},
      {"a PDF with a question",
       {{"file_path", "/tmp/a.pdf"}, {"question", question("{}")}},
       wrongFormat},
      {"a question in words",
       {{"file_path", csv}, {"question", "count rows"}},
       "question should be an object with filters, group_by, measures, sort and limit"},
      {"a question that is JSON but no object",
       {{"file_path", csv}, {"question", "[1,2]"}},
       "question should be an object with filters, group_by, measures, sort and limit"},
      {"an unknown field",
       {{"file_path", csv}, {"question", question(R"({"filter": []})")}},
       "the question has no field \"filter\"; its fields are filters, group_by, measures, sort, "
       "limit, date_order, decimal"},
      {"a missing file",
       {{"file_path", "/nowhere/missing.csv"}},
       "zelk can't read a table at /nowhere/missing.csv. Give the full path to a CSV, TSV or Excel "
       "file, or its name as smart_select shows it with base_name."},
      {"a folder named like a table",
       {{"file_path", dir_.file("folder.csv")}},
       "zelk can't read a table at " + dir_.file("folder.csv") +
           ". Give the full path to a CSV, TSV or Excel file, or its name as smart_select shows it "
           "with base_name."},
  };
  for (const auto& c : cases) {
    JSONObject answer = ask(c.arguments);
    EXPECT_EQ(str(answer, "status"), "refused") << c.what;
    EXPECT_EQ(str(answer, "message"), c.message) << c.what;
    EXPECT_EQ(answer.count("rule"), 0u) << c.what;
  }
}

TEST_F(TableQuestionTool, LayoutAndQuestionsOnACSV) {
  std::string csv = dir_.file("sales.csv");
  writeText(csv, salesCSV(1000));
  // file_path is trimmed of spaces and tabs; absent, null and non-object questions ask for the
  // layout.
  for (JSONValue q : {JSONValue(nullptr), JSONValue(3), JSONValue(true), JSONValue(JSONArray{})}) {
    JSONObject layout = ask({{"file_path", " \t" + csv + " "}, {"question", q}});
    EXPECT_EQ(str(layout, "status"), "layout");
    EXPECT_EQ(str(layout, "file"), "sales.csv");
    EXPECT_EQ(*layout.at("rows").number(), 1000);
    EXPECT_EQ(layout.count("sheets"), 0u);
  }
  JSONObject object =
      ask({{"file_path", csv}, {"question", question(R"({"measures": ["count"]})")}});
  EXPECT_EQ(str(object, "status"), "answer");
  EXPECT_EQ(object.at("columns").encode(), R"(["count"])");
  EXPECT_EQ(object.at("rows").encode(), R"([["1000"]])");
  EXPECT_EQ(object.count("sheet"), 0u);
  // The JSON text of the same object gets the same answer; a "sheet" member of a CSV question is
  // dropped, not refused.
  JSONObject text =
      ask({{"file_path", csv}, {"question", R"({"measures": ["count"], "sheet": "Nope"})"}});
  EXPECT_EQ(text.at("rows").encode(), object.at("rows").encode());
  EXPECT_EQ(str(text, "status"), "answer");
}

TEST_F(TableQuestionTool, AnswerTextIsCompactSortedWithPlainSlashes) {
  std::string csv = dir_.file("paths.csv");
  writeText(csv, "Path,Size\na/b,1\nc\\d,2\n");
  std::string text = MCPTools::tableQuestion(
      {{"file_path", csv}, {"question", question(R"({"group_by": ["Path"], "sort": ["Path"]})")}});
  EXPECT_NE(text.find(R"(["a/b","1"])"), std::string::npos) << text;
  EXPECT_NE(text.find(R"(["c\\d","1"])"), std::string::npos) << text;
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.rfind(R"({"columns":)", 0), 0u) << text;
  EXPECT_EQ(MCPTools::answerText({{"a", "x/y\\/z"}}), R"({"a":"x/y\\/z"})");
  EXPECT_EQ(MCPTools::answerText({{"n", std::numeric_limits<double>::infinity()}}), "{}");
}

TEST_F(TableQuestionTool, PlainDropsNullMembersButKeepsNullElements) {
  JSONValue v = JSONValue::parse(R"({"a": null, "b": [1, null, {"c": null, "d": "x"}], "e": {}})");
  EXPECT_EQ(MCPTools::plain(v)->encode(), R"({"b":[1,null,{"d":"x"}],"e":{}})");
  EXPECT_FALSE(MCPTools::plain(JSONValue(nullptr)).has_value());
  EXPECT_EQ(MCPTools::plain(JSONValue("s"))->encode(), R"("s")");
}

std::string writeWorkbook(const TempDir& dir, const std::string& name,
                          std::vector<testing::SheetSpec> sheets) {
  std::string path = dir.file(name);
  testing::writeZip(path, testing::xlsxPackage(testing::withSheets(std::move(sheets))));
  return path;
}

std::string rowsXML(const std::vector<std::vector<std::string>>& rows) {
  std::string xml;
  for (size_t r = 0; r < rows.size(); ++r) {
    xml += "<row r=\"" + std::to_string(r + 1) + "\">";
    for (const auto& cell : rows[r]) xml += "<c t=\"inlineStr\"><is><t>" + cell + "</t></is></c>";
    xml += "</row>";
  }
  return xml;
}

TEST_F(TableQuestionTool, WorkbookSheets) {
  std::string book =
      writeWorkbook(dir_, "book.xlsx",
                    {{"Summary", rowsXML({{"Item", "Total"}, {"a", "1"}}), ""},
                     {"Data", rowsXML({{"Region", "Amount"}, {"North", "2"}, {"South", "3"}}), ""},
                     {"Notes", "", "hidden"}});
  JSONObject choose = ask({{"file_path", book}});
  EXPECT_EQ(str(choose, "status"), "choose_sheet");
  EXPECT_EQ(str(choose, "message"),
            "2 sheets have data. Call again with sheet set to one of them for its layout.");
  EXPECT_EQ(choose.at("sheets").encode(),
            R"([{"has_data":true,"name":"Summary"},{"has_data":true,"name":"Data"},)"
            R"({"has_data":false,"hidden":true,"name":"Notes"}])");
  EXPECT_EQ(str(choose, "file"), "book.xlsx");

  JSONObject count = question(R"({"measures": ["count"]})");
  JSONObject refusedSheet = ask({{"file_path", book}, {"question", count}});
  EXPECT_EQ(str(refusedSheet, "message"),
            "2 sheets have data (\"Summary\", \"Data\"); ask again with sheet");
  JSONObject none = ask({{"file_path", book}, {"sheet", "Nope"}});
  EXPECT_EQ(str(none, "message"),
            "there's no sheet named \"Nope\"; the sheets are \"Summary\", \"Data\", \"Notes\"");

  JSONObject layout = ask({{"file_path", book}, {"sheet", "data"}});
  EXPECT_EQ(str(layout, "status"), "layout");
  EXPECT_EQ(str(layout, "sheet"), "Data");
  EXPECT_EQ(*layout.at("rows").number(), 2);
  EXPECT_EQ(layout.at("sheets").array()->size(), 3u);

  // The sheet may come inside the question, which then isn't refused for it.
  JSONObject inside = question(R"({"measures": ["count"], "sheet": "Summary"})");
  JSONObject answer = ask({{"file_path", book}, {"question", inside}});
  EXPECT_EQ(str(answer, "status"), "answer");
  EXPECT_EQ(str(answer, "sheet"), "Summary");
  EXPECT_EQ(answer.at("rows").encode(), R"([["1"]])");
  // The argument wins over the member.
  JSONObject both = ask({{"file_path", book}, {"sheet", "Data"}, {"question", inside}});
  EXPECT_EQ(both.at("rows").encode(), R"([["2"]])");
}

TEST_F(TableQuestionTool, TheOnlySheetWithDataIsReadWithoutAsking) {
  std::string book = writeWorkbook(
      dir_, "second.xlsx",
      {{"Cover", "", ""}, {"Numbers", rowsXML({{"Amount"}, {"1"}, {"2"}, {"4"}}), ""}});
  JSONObject answer =
      ask({{"file_path", book},
           {"question", question(R"({"measures": [{"op": "sum", "column": "Amount"}]})")}});
  EXPECT_EQ(str(answer, "status"), "answer");
  EXPECT_EQ(str(answer, "sheet"), "Numbers");
  EXPECT_EQ(answer.at("rows").encode(), R"([["7"]])");
  std::string empty = writeWorkbook(dir_, "empty.xlsx", {{"A", "", ""}, {"B", "", ""}});
  JSONObject refusal = ask({{"file_path", empty}});
  EXPECT_EQ(str(refusal, "message"), "no sheet in this workbook has data");
}

TEST_F(TableQuestionTool, HiddenColumnsCanOnlyBeCounted) {
  std::string csv = dir_.file("people.csv");
  std::string text = "Name,SSN,Amount\n";
  for (int i = 0; i < 50; ++i) {
    char ssn[48];
    std::snprintf(ssn, sizeof ssn, "%03d-%02d-%04d", 120 + i, 11 + i, 2000 + i);
    text += "P" + std::to_string(i) + "," + ssn + "," + std::to_string(i) + "\n";
  }
  writeText(csv, text);
  JSONObject layout = ask({{"file_path", csv}});
  const JSONValue& ssnColumn = layout.at("columns").array()->at(1);
  EXPECT_EQ(*ssnColumn.find("hidden_by_rule")->string(), "SSN");
  EXPECT_EQ(ssnColumn.find("examples"), nullptr);
  EXPECT_EQ(MCPTools::tableQuestion({{"file_path", csv}}).find("120-11-2000"), std::string::npos);

  JSONObject grouped =
      ask({{"file_path", csv}, {"question", question(R"({"group_by": ["SSN"]})")}});
  EXPECT_EQ(str(grouped, "status"), "refused");
  EXPECT_EQ(str(grouped, "message"),
            "SSN is hidden by your rules (SSN): it can be counted, never grouped by");
  EXPECT_EQ(str(grouped, "rule"), "ssn");
  JSONObject counted =
      ask({{"file_path", csv},
           {"question", question(R"({"measures": [{"op": "count", "column": "SSN"}]})")}});
  EXPECT_EQ(counted.at("rows").encode(), R"([["50"]])");

  // With the rule off, the same column is an ordinary one.
  writePrefs(home_, R"({"sensitiveRules": {"ssn": "off"}})");
  JSONObject open = ask({{"file_path", csv}});
  EXPECT_EQ(open.at("columns").array()->at(1).find("hidden_by_rule"), nullptr);
}

TEST_F(TableQuestionTool, LayoutCacheFollowsTheFileAndTheRules) {
  std::string csv = dir_.file("cache.csv");
  writeText(csv, "Amount\n1\n2\n3\n");
  setModified(csv, 1700000000);
  EXPECT_EQ(columnType(ask({{"file_path", csv}}), 0), "number");
  // Same size and date, new content: the cached layout answers.
  writeText(csv, "Amount\nx\ny\nz\n");
  setModified(csv, 1700000000);
  EXPECT_EQ(columnType(ask({{"file_path", csv}}), 0), "number");
  // Another redacted category makes a new key.
  writePrefs(home_, R"({"sensitiveRules": {"email": "redact"}})");
  EXPECT_EQ(columnType(ask({{"file_path", csv}}), 0), "text");
  writePrefs(home_, "{}");
  EXPECT_EQ(columnType(ask({{"file_path", csv}}), 0), "number");
  // A new modification date makes a new key too.
  setModified(csv, 1700000001);
  EXPECT_EQ(columnType(ask({{"file_path", csv}}), 0), "text");
}

TEST_F(TableQuestionTool, NinthLayoutPushesOutTheFirst) {
  std::vector<std::string> files;
  for (int i = 0; i < 9; ++i) {
    files.push_back(dir_.file("t" + std::to_string(i) + ".csv"));
    writeText(files.back(), "Amount\n1\n2\n");
    setModified(files.back(), 1700000000);
    ask({{"file_path", files.back()}});
    if (i == 0) {
      writeText(files[0], "Amount\na\nb\n");
      setModified(files[0], 1700000000);
    }
    if (i == 7) {
      EXPECT_EQ(columnType(ask({{"file_path", files[0]}}), 0), "number");
    }
  }
  EXPECT_EQ(columnType(ask({{"file_path", files[0]}}), 0), "text");
}

TEST_F(TableQuestionTool, LayoutKeyParts) {
  std::string csv = dir_.file("k.csv");
  writeText(csv, "A\n1\n");
  setModified(csv, 1700000000);
  std::filesystem::create_directories(dir_.file("x"));
  EXPECT_EQ(MCPTools::layoutKey(dir_.path() + "/./x/../k.csv", "S", SensitiveRules::defaults()),
            csv +
                "\x1FS\x1F"
                "1700000000.0\x1F"
                "4\x1F" +
                "ssn,ein,card,iban,routing,passport_mrz,ca_sin,nz_ird,uk_nino,au_tfn,passport,"
                "drivers_license,bank_account,dob");
  EXPECT_EQ(MCPTools::layoutKey("/nowhere/z.csv", "", SensitiveRules::defaults()).substr(0, 27),
            "/nowhere/z.csv\x1F\x1F"
            "0.0\x1F-1\x1Fssn,");
}

TEST_F(TableQuestionTool, TableBrief) {
  std::string csv = dir_.file("amounts.csv");
  writeText(csv, "Amount\n1\n2.5\n3\n");
  JSONObject brief = MCPTools::tableBrief(csv, std::nullopt, 30);
  EXPECT_EQ(JSONValue(brief).encode(),
            JSONValue(JSONObject{{"source_file", csv},
                                 {"rows", 3},
                                 {"columns",
                                  JSONArray{JSONObject{{"name", "Amount"}, {"type", "number"}}}}})
                .encode());
  // A workbook over 50,000,000 bytes is not looked at (a sparse file holds no data).
  std::string big = dir_.file("big.xlsx");
  int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 60000000), 0);
  ::close(fd);
  EXPECT_EQ(JSONValue(MCPTools::tableBrief(big, std::nullopt, 30)).encode(),
            JSONValue(JSONObject{{"source_file", big}}).encode());
  EXPECT_EQ(MCPTools::tableBrief("/tmp/report.pdf", std::nullopt, 30).size(), 1u);
  EXPECT_EQ(MCPTools::tableBrief("/nowhere/x.csv", std::nullopt, 30).size(), 1u);
  // Several sheets of data: their names.
  std::string book = writeWorkbook(
      dir_, "two.xlsx",
      {{"A", rowsXML({{"x", "y"}, {"1", "2"}}), ""}, {"B", rowsXML({{"x", "y"}, {"1", "2"}}), ""}});
  EXPECT_EQ(MCPTools::tableBrief(book, std::nullopt, 30).at("sheets").encode(), R"(["A","B"])");
}

TEST(TableQuestionToolSettings, MapTablesSetting) {
  EXPECT_TRUE(MCPTools::mapTablesSetting(nullptr));
  EXPECT_FALSE(MCPTools::mapTablesSetting("0"));
  EXPECT_TRUE(MCPTools::mapTablesSetting("false"));
  EXPECT_TRUE(MCPTools::mapTablesSetting(""));
  EXPECT_TRUE(MCPTools::mapTablesSetting("00"));
}

// Bad input: each gives an answer or a refusal in bounded memory.
TEST_F(TableQuestionTool, TwoGigabytesWithoutALineFeed) {
  std::string csv = dir_.file("long.csv");
  int fd = ::open(csv.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "12,ab", 5), 5);
  ASSERT_EQ(ftruncate(fd, 2000000000LL), 0);  // the rest is a hole of zero bytes
  ::close(fd);
  long before = peakRSSKiB();
  JSONObject answer =
      ask({{"file_path", csv}, {"question", question(R"({"measures": ["count"]})")}});
  EXPECT_EQ(str(answer, "status"), "answer");
  EXPECT_EQ(answer.at("rows").encode(), R"([["1"]])");
  EXPECT_LT(peakRSSKiB() - before, 64 * 1024);
}

TEST_F(TableQuestionTool, OddFiles) {
  std::string quotes = dir_.file("quotes.csv");
  writeText(quotes, std::string(3 << 20, '"'));
  JSONObject layout = ask({{"file_path", quotes}});
  EXPECT_EQ(str(layout, "status"), "layout");

  // UTF-16 little-endian, cut after the first byte of a character and after a lone high
  // surrogate: the whole rows before the cut are read.
  auto utf16 = [](const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) out += std::string{c, '\0'};
    return out;
  };
  for (std::string tail : {std::string("3"), std::string("\x3D\xD8", 2)}) {
    std::string path = dir_.file("cut.csv");
    writeText(path, utf16("Amount\n1\n2\n") + tail);
    MCPTools::clearLayouts();
    JSONObject sum =
        ask({{"file_path", path},
             {"question", question(R"({"measures": [{"op": "sum", "column": "Amount"}]})")}});
    EXPECT_EQ(sum.at("rows").encode(), R"([["3"]])");
    EXPECT_EQ(*sum.at("coverage").find("rows_read")->number(), 2);
  }

  std::string empty = dir_.file("empty.tsv");
  writeText(empty, "");
  JSONObject none = ask({{"file_path", empty}});
  EXPECT_EQ(str(none, "status"), "layout");
  EXPECT_EQ(*none.at("rows").number(), 0);
}

TEST_F(TableQuestionTool, BillionLaughsWorkbookIsRefusedInBoundedMemory) {
  auto entries = testing::xlsxPackage(testing::withSheets({{"Bomb", "", ""}}));
  std::string dtd = "<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">";
  std::string prev = "a";
  for (int i = 0; i < 12; ++i) {
    std::string name = "a" + std::to_string(i);
    dtd += "<!ENTITY " + name + " \"";
    for (int k = 0; k < 10; ++k) dtd += "&" + prev + ";";
    dtd += "\">";
    prev = name;
  }
  for (auto& e : entries)
    if (e.name == "xl/worksheets/sheet1.xml")
      e.data = "<?xml version=\"1.0\"?><!DOCTYPE worksheet [" + dtd +
               "]><worksheet><sheetData><row r=\"1\"><c t=\"inlineStr\"><is><t>&" + prev +
               ";</t></is></c></row></sheetData></worksheet>";
  std::string path = dir_.file("bomb.xlsx");
  testing::writeZip(path, entries);
  long before = peakRSSKiB();
  JSONObject refusal =
      ask({{"file_path", path}, {"question", question(R"({"measures": ["count"]})")}});
  EXPECT_EQ(str(refusal, "status"), "refused");
  EXPECT_EQ(str(refusal, "message"), "no sheet in this workbook has data");
  EXPECT_LT(peakRSSKiB() - before, 64 * 1024);
}

// The real program over standard input and output, with its ledger.
std::vector<std::vector<std::string>> ledgerRows(const std::string& path, const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const unsigned char* t = sqlite3_column_text(stmt, i);
        row.push_back(t ? reinterpret_cast<const char*>(t) : "NULL");
      }
      rows.push_back(std::move(row));
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

std::string toolCall(int id, const JSONObject& arguments) {
  JSONObject params{{"name", "table_question"}, {"arguments", arguments}};
  return JSONValue(
             JSONObject{
                 {"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"}, {"params", params}})
             .encode() +
         "\n";
}

// The answer text of a tools/call response line, and whether it was an error.
std::pair<std::string, bool> resultText(const std::string& line) {
  JSONValue response = JSONValue::parse(line);
  const JSONValue* result = response.find("result");
  if (!result) return {line, true};
  std::string text;
  for (const JSONValue& item : *result->find("content")->array())
    text += *item.find("text")->string();
  const JSONValue* isError = result->find("isError");
  return {text, isError && isError->boolean() && *isError->boolean()};
}

TEST(TableQuestionSession, EndToEndWithLedgerEvents) {
  IsolatedHome home;
  TempDir dir;
  std::string ledger = dir.file("ledger/activity.sqlite");
  ScopedEnv ledgerPath("ZELK_LEDGER_PATH", ledger);
  std::string csv = dir.file("people.csv");
  std::string text = "Region,SSN,Amount\n";
  for (int i = 0; i < 20; ++i)
    text += std::string(i % 2 ? "North" : "South") + ",2" + std::to_string(10 + i) + "-45-67" +
            std::to_string(10 + i) + "," + std::to_string(i) + ".25\n";
  writeText(csv, text);

  std::string input =
      toolCall(1, {{"file_path", csv}}) +
      toolCall(2, {{"file_path", csv},
                   {"question", question(R"({"measures": [{"op": "sum", "column": "Amount"}],
                                             "group_by": ["Region"], "sort": ["Region"]})")}}) +
      toolCall(3, {{"file_path", csv}, {"question", question(R"({"group_by": ["SSN"]})")}}) +
      toolCall(4, {{"file_path", "/tmp/x.docx"}}) +
      toolCall(5, {{"file_path", csv}, {"question", "sum everything"}});
  auto result = testing::runProgram({ZELK_BINARY}, input);
  ASSERT_EQ(result.status, 0);
  auto lines = testing::splitLines(result.out);
  ASSERT_EQ(lines.size(), 5u) << result.out;

  auto [layoutText, layoutError] = resultText(lines[0]);
  EXPECT_FALSE(layoutError);
  JSONValue layout = JSONValue::parse(layoutText.substr(0, layoutText.find_last_of('}') + 1));
  EXPECT_EQ(*layout.find("status")->string(), "layout");
  EXPECT_EQ(*layout.find("columns")->array()->at(1).find("hidden_by_rule")->string(), "SSN");

  auto [answerText, answerError] = resultText(lines[1]);
  EXPECT_FALSE(answerError);
  EXPECT_NE(answerText.find(R"("rows":[["North","102.5"],["South","92.5"]])"), std::string::npos)
      << answerText;

  auto [hiddenText, hiddenError] = resultText(lines[2]);
  EXPECT_FALSE(hiddenError);  // refusals are ordinary answers
  EXPECT_EQ(
      hiddenText,
      R"({"message":"SSN is hidden by your rules (SSN): it can be counted, never grouped by",)"
      R"("rule":"ssn","status":"refused"})");

  auto events = ledgerRows(
      ledger,
      "SELECT e.kind, e.tool, e.actor, e.query_text, e.searched, e.total, e.match_quality, "
      "e.excerpt_tokens > 0, e.detail, COALESCE(d.path, 'none'), COALESCE(d.format, 'none') "
      "FROM events e LEFT JOIN documents d ON d.event_id = e.id ORDER BY e.ts");
  ASSERT_EQ(events.size(), 5u);
  for (const auto& e : events) {
    EXPECT_EQ(e[0], "table_question");
    EXPECT_EQ(e[1], "table_question");
    EXPECT_EQ(e[2], "ai_app");
    EXPECT_EQ(e[5], "1");
    EXPECT_EQ(e[6], "unknown");
  }
  EXPECT_EQ(events[0][3], "the table's layout");
  EXPECT_EQ(events[0][7], "0");
  EXPECT_EQ(events[0][8],
            R"({"columns":3,"hidden_columns":1,"rows_read":20,"sources":[],"use":"layout"})");
  EXPECT_EQ(events[0][9], csv);
  EXPECT_EQ(events[0][10], "CSV");
  EXPECT_EQ(events[1][3], "sum of Amount by Region");
  EXPECT_EQ(events[1][7], "1");
  EXPECT_EQ(events[1][8], R"({"groups":2,"result_rows":2,"rows_filtered_out":0,"rows_read":20,)"
                          R"("rows_skipped":0,"rows_used":20,"sources":[],"use":"question"})");
  EXPECT_EQ(events[2][8], R"({"reason":"hidden","rule":"ssn","sources":[],"use":"refused"})");
  EXPECT_EQ(events[3][8], R"({"reason":"format","sources":[],"use":"refused"})");
  EXPECT_EQ(events[3][4], "0");
  EXPECT_EQ(events[3][9], "none");
  EXPECT_EQ(events[4][3], "a question zelk couldn't read");
  EXPECT_EQ(events[4][8], R"({"reason":"invalid","sources":[],"use":"refused"})");
}

}  // namespace
}  // namespace zelk
