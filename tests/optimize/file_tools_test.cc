#include "optimize/file_tools.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

#include "documents/zip_builder.h"
#include "protocol/session_driver.h"
#include "protocol/mcp_tool_error.h"
#include "protocol/paging.h"
#include "sensitive/placeholder_map.h"
#include "sensitive/sensitive_data.h"
#include "sensitive/sensitive_rules.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::TempDir;

// One home for the whole program: the bases directory, the ledger and the settings are each
// read once per process. The settings file does not exist, so the default rules apply.
const TempDir& home() {
  static TempDir* dir = [] {
    auto* d = new TempDir();
    setenv("ZELK_BASES_DIR", (d->path() + "/bases").c_str(), 1);
    setenv("ZELK_LEDGER_PATH", (d->path() + "/activity.sqlite").c_str(), 1);
    setenv("ZELK_PREFS_PATH", (d->path() + "/prefs.json").c_str(), 1);
    std::filesystem::create_directories(d->path() + "/files");
    return d;
  }();
  return *dir;
}

std::string file(const std::string& name, const std::string& text) {
  std::string path = home().path() + "/files/" + name;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

struct Answer {
  std::string page;
  JSONValue details;
};

Answer split(const std::string& text) {
  size_t at = text.find(Paging::blockBreak);
  EXPECT_NE(at, std::string::npos);
  if (at == std::string::npos) return {text, JSONValue()};
  return {text.substr(0, at), JSONValue::parse(text.substr(at + Paging::blockBreak.size()))};
}

std::string str(const JSONValue& v, const std::string& key) {
  const JSONValue* m = v.find(key);
  return m && m->isString() ? *m->string() : "<missing " + key + ">";
}
double num(const JSONValue& v, const std::string& key) {
  const JSONValue* m = v.find(key);
  return m && m->isNumber() ? *m->number() : std::nan("");
}

std::string errorOf(std::string (*handler)(const JSONObject&), const JSONObject& arguments) {
  try {
    handler(arguments);
    return "<no error>";
  } catch (const std::exception& error) {
    return error.what();
  }
}

struct LedgerRow {
  std::string kind, tool, detail;
  long long tokensBefore = -1, tokensAfter = -1, numbersIn = -1, ocrPages = -1;
  std::vector<std::string> documents;  // "path|format|before|after"
};

std::vector<LedgerRow> ledgerRows(const std::string& tool, const std::string& path = "") {
  std::vector<LedgerRow> rows;
  sqlite3* db = nullptr;
  std::string at = path.empty() ? home().path() + "/activity.sqlite" : path;
  if (sqlite3_open_v2(at.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT id, kind, tool, coalesce(tokens_before,-1), coalesce(tokens_after,-1),"
                     " coalesce(numbers_in,-1), coalesce(ocr_pages,-1), detail FROM events"
                     " WHERE tool = ? ORDER BY ts, rowid",
                     -1, &st, nullptr);
  sqlite3_bind_text(st, 1, tool.c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(st) == SQLITE_ROW) {
    LedgerRow row;
    std::string id = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    row.kind = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    row.tool = reinterpret_cast<const char*>(sqlite3_column_text(st, 2));
    row.tokensBefore = sqlite3_column_int64(st, 3);
    row.tokensAfter = sqlite3_column_int64(st, 4);
    row.numbersIn = sqlite3_column_int64(st, 5);
    row.ocrPages = sqlite3_column_int64(st, 6);
    row.detail = reinterpret_cast<const char*>(sqlite3_column_text(st, 7));
    sqlite3_stmt* docs = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT path, format, tokens_before, tokens_after FROM documents"
                       " WHERE event_id = ? ORDER BY rowid",
                       -1, &docs, nullptr);
    sqlite3_bind_text(docs, 1, id.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(docs) == SQLITE_ROW) {
      row.documents.push_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(docs, 0))) +
                              "|" + reinterpret_cast<const char*>(sqlite3_column_text(docs, 1)) +
                              "|" + std::to_string(sqlite3_column_int64(docs, 2)) + "|" +
                              std::to_string(sqlite3_column_int64(docs, 3)));
    }
    sqlite3_finalize(docs);
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

// ---- helpers ----

TEST(FileTools, FormatsTokenCounts) {
  struct Case {
    int64_t n;
    std::string text;
  } cases[] = {{0, "0"},        {999, "999"},         {1000, "1.0K"},       {12345, "12.3K"},
               {999949, "999.9K"}, {1500000, "1.5M"}, {123456789, "123.5M"}};
  for (const Case& c : cases) EXPECT_EQ(MCPTools::formatTokens(c.n), c.text) << c.n;
}

TEST(FileTools, ReadsTheCursorArgument) {
  struct Case {
    std::optional<JSONValue> cursor;
    int page;
  } cases[] = {
      {std::nullopt, 1},     {JSONValue(0), 1},      {JSONValue(-3), 1},
      {JSONValue("abc"), 1}, {JSONValue(2.9), 2},    {JSONValue("3"), 3},
      {JSONValue(" 3"), 1},  {JSONValue(1e300), 1},  {JSONValue(true), 1},
      {JSONValue(std::numeric_limits<double>::infinity()), 1},
      {JSONValue(std::nan("")), 1}, {JSONValue("7.5"), 7}, {JSONValue(JSONArray{}), 1},
  };
  for (const Case& c : cases) {
    JSONObject arguments;
    if (c.cursor) arguments["cursor"] = *c.cursor;
    EXPECT_EQ(MCPTools::cursorArgument(arguments), c.page)
        << (c.cursor ? c.cursor->encode() : "none");
  }
}

TEST(FileTools, LabelsFusedParts) {
  struct Case {
    std::string given, url, label;
  } cases[] = {
      {"report.pdf", "/a/b/report.pdf", "report.pdf"},
      {"Taxes/2023/return.pdf", "/x/Taxes/2023/return.pdf", "Taxes/2023/return.pdf"},
      {"/a/b/report.pdf", "/a/b/report.pdf", "b/report.pdf"},
      {"~/x.txt", "/home/u/x.txt", "u/x.txt"},
      {"/x.txt", "/x.txt", "x.txt"},
  };
  for (const Case& c : cases) EXPECT_EQ(MCPTools::fuseLabel(c.given, c.url), c.label) << c.given;
}

TEST(FileTools, ThinPageNotices) {
  EXPECT_EQ(MCPTools::thinPagesNotice({3}, "scan.pdf"),
            "Page 3 of scan.pdf gave little text; part of it may be images zelk couldn't read. "
            "Check figures from that page against the totals the document prints.");
  EXPECT_EQ(MCPTools::thinPagesNotice({2, 5, 9}, "scan.pdf"),
            "Pages 2, 5 and 9 of scan.pdf gave little text; part of them may be images zelk "
            "couldn't read. Check figures from those pages against the totals the document "
            "prints.");
  EXPECT_EQ(MCPTools::thinPagesNotice({4, 7}, "b.pdf").substr(0, 19), "Pages 4 and 7 of b.");
}

TEST(FileTools, RedactionSentencesAndDetails) {
  PlaceholderMap none;
  EXPECT_EQ(MCPTools::redactionSentence(none), "");
  EXPECT_FALSE(MCPTools::redactionInfo(none).has_value());
  EXPECT_TRUE(MCPTools::redactionDetail(none, {{"/a.txt", {}}}).empty());

  PlaceholderMap one;
  SensitiveData::redact("SSN: 123-45-6789", SensitiveRules::defaults(), one);
  ASSERT_EQ(one.totalHidden(), 1);
  EXPECT_EQ(MCPTools::redactionSentence(one),
            " 1 sensitive value was hidden by the user's privacy rules (placeholders like "
            "[SSN 1]).");
  auto info = MCPTools::redactionInfo(one);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->at("hidden"), JSONValue(1));
  EXPECT_EQ(info->at("by_type"), JSONValue(JSONObject{{one.summary().begin()->first, 1}}));
  EXPECT_EQ(*info->at("notice").string(),
            "Some values were hidden by the user's privacy rules and appear as placeholders like "
            "[SSN 1]. The same placeholder always stands for the same value. They were removed "
            "on purpose; they are not missing or corrupt, and should not be guessed.");

  PlaceholderMap two;
  SensitiveData::redact("SSN: 123-45-6789 and 219-09-9999", SensitiveRules::defaults(), two);
  EXPECT_EQ(MCPTools::redactionSentence(two),
            " 2 sensitive values were hidden by the user's privacy rules (placeholders like "
            "[SSN 1]).");
  JSONObject detail = MCPTools::redactionDetail(two, {{"/a.txt", two.summary()}});
  EXPECT_EQ(detail.count("redactions"), 1u);
  EXPECT_EQ(detail.at("redactions_by_path"),
            JSONValue(JSONObject{{"/a.txt", detail.at("redactions")}}));
  EXPECT_EQ(MCPTools::redactionDetail(two, {}).count("redactions_by_path"), 0u);
  two.flagged()["card_like_number"] = 2;
  EXPECT_EQ(MCPTools::redactionDetail(two, {}).at("flagged"),
            JSONValue(JSONObject{{"card_like_number", 2}}));
}

TEST(FileTools, FuseJoinsRedactedSectionsAndCountsEachPart) {
  PlaceholderMap map;
  auto fused = OptimizerFuse::fuse({{"a.txt", DocumentFormat::txt, "SSN: 123-45-6789"},
                                    {"b/c.csv", DocumentFormat::csv, "x,y"},
                                    {"d.md", DocumentFormat::md, "again SSN: 123-45-6789 and 219-09-9999"}},
                                   map);
  EXPECT_EQ(fused.text,
            "## [a.txt] (TXT)\n\nSSN: 123-45-6789\n\n---\n\n## [b/c.csv] (CSV)\n\nx,y\n\n---\n\n"
            "## [d.md] (MD)\n\nagain SSN: 123-45-6789 and 219-09-9999");
  EXPECT_EQ(fused.redacted,
            "## [a.txt] (TXT)\n\nSSN: [SSN 1]\n\n---\n\n## [b/c.csv] (CSV)\n\nx,y\n\n---\n\n"
            "## [d.md] (MD)\n\nagain SSN: [SSN 1] and [SSN 2]");
  ASSERT_EQ(fused.counts.size(), 3u);
  const std::string ssn = map.summary().begin()->first;
  EXPECT_EQ(fused.counts[0], (std::map<std::string, int>{{ssn, 1}}));
  EXPECT_TRUE(fused.counts[1].empty());
  EXPECT_EQ(fused.counts[2], (std::map<std::string, int>{{ssn, 2}}));
  EXPECT_EQ(fused.sections.size(), 3u);
  EXPECT_EQ(fused.sections[1], "## [b/c.csv] (CSV)\n\nx,y");
}

// ---- optimize_file ----

TEST(FileTools, OptimizeFileAnswersTextDetailsAndRecordsTheCall) {
  std::string path = file("people.csv",
                          "Name,Amount,Empty\nAlice,1250.5,\nBob,3.14159265,\nBob,3.14159265,\n"
                          "-,-,\n");
  size_t before = ledgerRows("optimize_file").size();
  Answer answer = split(MCPTools::optimizeFile({{"file_path", path}}));
  EXPECT_EQ(answer.page, "Name,Amount\nAlice,1250.5\nBob,3.1416");
  const JSONValue& d = answer.details;
  EXPECT_EQ(str(d, "format"), "CSV");
  EXPECT_GT(num(d, "original_tokens"), num(d, "optimized_tokens"));
  EXPECT_GT(num(d, "reduction_percent"), 0);
  ASSERT_NE(d.find("fidelity"), nullptr);
  const JSONValue* sent = d.find("fidelity")->find("sent_as_written");
  ASSERT_NE(sent, nullptr);
  EXPECT_EQ(sent->boolean() && !*sent->boolean(), true);
  EXPECT_EQ(d.find("redactions"), nullptr);
  EXPECT_EQ(d.find("pdf"), nullptr);
  EXPECT_EQ(d.find("page"), nullptr);  // one page: no paging members
  std::string summary = str(d, "summary");
  EXPECT_EQ(summary.rfind("Optimized people.csv (CSV). Reduced from ", 0), 0u) << summary;
  EXPECT_NE(summary.find(" tokens (\xE2\x86\x93"), std::string::npos) << summary;

  auto rows = ledgerRows("optimize_file");
  ASSERT_EQ(rows.size(), before + 1);
  const LedgerRow& row = rows.back();
  EXPECT_EQ(row.kind, "optimize");
  EXPECT_EQ(row.tokensBefore, static_cast<long long>(num(d, "original_tokens")));
  EXPECT_EQ(row.tokensAfter, static_cast<long long>(num(d, "optimized_tokens")));
  EXPECT_GE(row.numbersIn, 2);
  EXPECT_EQ(row.ocrPages, 0);
  ASSERT_EQ(row.documents.size(), 1u);
  EXPECT_EQ(row.documents[0], path + "|CSV|" + std::to_string(row.tokensBefore) + "|" +
                                  std::to_string(row.tokensAfter));
  EXPECT_EQ(row.detail, "{}");
}

TEST(FileTools, OptimizeFileReadsOfficeDocumentsAndRedacts) {
  std::string path = home().path() + "/files/letter.docx";
  testing::writeZip(path, testing::docxPackage(testing::wordParagraph("Dear client,") +
                                               testing::wordParagraph("Your SSN: 123-45-6789 is on file.")));
  Answer answer = split(MCPTools::optimizeFile({{"file_path", path}}));
  EXPECT_NE(answer.page.find("[SSN "), std::string::npos) << answer.page;
  EXPECT_EQ(answer.page.find("6789"), std::string::npos);
  EXPECT_EQ(str(answer.details, "format"), "DOCX");
  ASSERT_NE(answer.details.find("redactions"), nullptr);
  EXPECT_EQ(num(*answer.details.find("redactions"), "hidden"), 1);
  std::string summary = str(answer.details, "summary");
  EXPECT_NE(summary.find(" 1 sensitive value was hidden by the user's privacy rules"),
            std::string::npos);
  auto rows = ledgerRows("optimize_file");
  ASSERT_FALSE(rows.empty());
  EXPECT_NE(rows.back().detail.find("\"redactions\""), std::string::npos) << rows.back().detail;
}

TEST(FileTools, OptimizeFilePagesLongTextsAndRecordsEveryPage) {
  // 200 paragraphs of about 1,000 characters: three pages of at most 80,003 characters.
  std::string body;
  while (body.size() < 990) body += "lorem ipsum dolor sit amet ";
  std::string text;
  for (int i = 0; i < 200; ++i) text += "p" + std::to_string(i) + " " + body + "end.\n\n";
  std::string path = file("long.txt", text);
  size_t before = ledgerRows("optimize_file").size();
  Answer first = split(MCPTools::optimizeFile({{"file_path", path}}));
  EXPECT_EQ(num(first.details, "page"), 1);
  EXPECT_EQ(num(first.details, "pages"), 3);
  EXPECT_EQ(str(first.details, "next_cursor"), "2");
  EXPECT_EQ(str(first.details, "paging"),
            "page 1 of 3. Call again with the same arguments and cursor \"2\" for the next page.");
  Answer second = split(MCPTools::optimizeFile({{"file_path", path}, {"cursor", "2"}}));
  EXPECT_EQ(num(second.details, "page"), 2);
  EXPECT_NE(first.page, second.page);
  EXPECT_EQ(second.page.rfind("p", 0), 0u);
  Answer last = split(MCPTools::optimizeFile({{"file_path", path}, {"cursor", 9}}));
  EXPECT_EQ(num(last.details, "page"), 3);
  EXPECT_EQ(last.details.find("next_cursor"), nullptr);
  EXPECT_EQ(ledgerRows("optimize_file").size(), before + 3);
}

TEST(FileTools, OptimizeFileErrors) {
  file("old.doc", "binary");
  std::string big = home().path() + "/files/big.xlsx";
  { std::ofstream(big) << ""; }
  std::filesystem::resize_file(big, 60 * 1048576);  // sparse: no data written
  struct Case {
    JSONObject arguments;
    std::string error;
  } cases[] = {
      {{}, "Missing required argument: file_path"},
      {{{"file_path", 5}}, "Missing required argument: file_path"},
      {{{"file_path", "/no/such/file.txt"}},
       "File not found: /no/such/file.txt. Pass a full path, or the file's name as smart_select "
       "shows it with its base as base_name."},
      {{{"file_path", home().path() + "/files/old.doc"}}, "Unsupported file format: .doc"},
      {{{"file_path", big}},
       "Failed to read file: big.xlsx is 60 MB, over zelk's 50 MB limit for reading a whole file. "
       "Use smart_select with a query to read only the relevant parts."},
      {{{"file_path", "notes.txt"}, {"base_name", "Nope"}},
       "No base named 'Nope'. Use list_bases to see them."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(errorOf(MCPTools::optimizeFile, c.arguments), c.error)
        << JSONValue(c.arguments).encode();
  }
}

// ---- optimize_text ----

TEST(FileTools, OptimizeTextHidesValuesAndRecordsTheCall) {
  size_t before = ledgerRows("optimize_text").size();
  std::string answer = MCPTools::optimizeText(
      {{"text", "Client   record.\n\n\nSSN: 123-45-6789\nBalance $1,250.00"}});
  EXPECT_EQ(answer.find(Paging::blockBreak), std::string::npos);  // one JSON object, not paged
  JSONValue d = JSONValue::parse(answer);
  EXPECT_NE(answer.find("\n  \""), std::string::npos);  // pretty-printed
  std::string text = str(d, "optimized_text");
  EXPECT_NE(text.find("[SSN 1]"), std::string::npos) << text;
  EXPECT_NE(text.find("$1,250.00"), std::string::npos) << text;
  ASSERT_NE(d.find("redactions"), nullptr);
  std::string summary = str(d, "summary");
  EXPECT_EQ(summary.rfind("Optimized text. Reduced from ", 0), 0u) << summary;
  const std::string tail =
      " 1 sensitive value was hidden by the user's privacy rules (placeholders like [SSN 1]).";
  EXPECT_EQ(summary.substr(summary.size() - tail.size()), tail);
  for (const char* key : {"original_tokens", "optimized_tokens", "reduction_percent", "fidelity"}) {
    EXPECT_NE(d.find(key), nullptr) << key;
  }
  auto rows = ledgerRows("optimize_text");
  ASSERT_EQ(rows.size(), before + 1);
  EXPECT_EQ(rows.back().kind, "optimize");
  EXPECT_TRUE(rows.back().documents.empty());
  EXPECT_EQ(errorOf(MCPTools::optimizeText, {}), "Missing required argument: text");
  EXPECT_EQ(errorOf(MCPTools::optimizeText, {{"text", JSONValue(JSONArray{})}}),
            "Missing required argument: text");
}

TEST(FileTools, OptimizeTextOfNothing) {
  JSONValue d = JSONValue::parse(MCPTools::optimizeText({{"text", ""}}));
  EXPECT_EQ(str(d, "optimized_text"), "");
  EXPECT_EQ(num(d, "reduction_percent"), 0);
  EXPECT_EQ(num(d, "original_tokens"), 1);
}

// ---- fuse_files ----

TEST(FileTools, FuseFilesJoinsThreeSectionsAndRecordsOnTheFirstPageOnly) {
  std::string a = file("fuse/a.txt", "Alpha   report text.");
  std::string b = file("fuse/b.csv", "Name,Amount\nAlice,100\nBob,200\n");
  std::string c = file("fuse/c.md", "# Title\n\nGamma SSN: 123-45-6789.");
  size_t before = ledgerRows("fuse_files").size();
  JSONObject arguments{{"file_paths", JSONArray{a, b, c}}};
  Answer answer = split(MCPTools::fuseFiles(arguments));
  EXPECT_EQ(answer.page,
            "## [fuse/a.txt] (TXT)\n\nAlpha report text.\n\n---\n\n"
            "## [fuse/b.csv] (CSV)\n\nName,Amount\nAlice,100\nBob,200\n\n---\n\n"
            "## [fuse/c.md] (MD)\n\n# Title\n\nGamma SSN: [SSN 1].");
  EXPECT_EQ(num(answer.details, "files_processed"), 3);
  EXPECT_EQ(str(answer.details, "summary").rfind("Fused 3 files into a single optimized document. "
                                                 "Reduced from ", 0),
            0u);
  ASSERT_NE(answer.details.find("redactions"), nullptr);
  auto rows = ledgerRows("fuse_files");
  ASSERT_EQ(rows.size(), before + 1);
  EXPECT_EQ(rows.back().kind, "fuse");
  EXPECT_EQ(rows.back().documents.size(), 3u);
  JSONValue detail = JSONValue::parse(rows.back().detail);
  ASSERT_NE(detail.find("redactions_by_path"), nullptr);
  EXPECT_NE(detail.find("redactions_by_path")->find(c), nullptr);
  EXPECT_EQ(detail.find("redactions_by_path")->find(a)->object()->size(), 0u);

  arguments["cursor"] = 2;
  split(MCPTools::fuseFiles(arguments));
  EXPECT_EQ(ledgerRows("fuse_files").size(), before + 1);
}

TEST(FileTools, FuseFilesSkipsWhatItCannotRead) {
  std::string good = file("skip/good.txt", "Readable text.");
  std::string odd = file("skip/odd.doc", "no reader");
  Answer answer = split(MCPTools::fuseFiles(
      {{"file_paths", JSONArray{"/no/such.txt", good, odd, 7}}}));
  EXPECT_EQ(num(answer.details, "files_processed"), 1);
  EXPECT_EQ(str(answer.details, "summary").rfind("Fused 1 file into a single optimized document. ", 0), 0u);
  EXPECT_EQ(answer.page, "## [skip/good.txt] (TXT)\n\nReadable text.");
}

TEST(FileTools, FuseFilesErrors) {
  std::string odd = file("err/odd.doc", "no reader");
  struct Case {
    JSONObject arguments;
    std::string error;
  } cases[] = {
      {{}, "Missing required argument: file_paths, or base_name to read a whole base"},
      {{{"file_paths", JSONArray{}}},
       "Missing required argument: file_paths, or base_name to read a whole base"},
      {{{"file_paths", "a.txt"}},
       "Missing required argument: file_paths, or base_name to read a whole base"},
      {{{"file_paths", JSONArray{1, true}}}, "Missing required argument: file_paths (empty array)"},
      {{{"file_paths", JSONArray{"/no/such.txt", odd}}},
       "Failed to read file: No files could be processed"},
      {{{"base_name", "Taxes"}},
       "Reading a whole base with fuse_files is not available in this build yet. Pass the "
       "documents you want as file_paths together with base_name, or use smart_select to find "
       "the passages you need."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(errorOf(MCPTools::fuseFiles, c.arguments), c.error)
        << JSONValue(c.arguments).encode();
  }
}

// ---- through the real program ----

TEST(FileTools, ToolsAnswerThroughTheServer) {
  std::string path = file("served.txt", "Served   text with 12,345 units.");
  std::string ledger = home().path() + "/served.sqlite";
  testing::ScopedEnv env("ZELK_LEDGER_PATH", ledger);
  std::string input =
      R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"optimize_file","arguments":{"file_path":")" +
      path + R"("}}})" "\n" +
      R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"optimize_text","arguments":{}}})" "\n" +
      R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"fuse_files","arguments":{"file_paths":[")" +
      path + R"("]}}})" "\n";
  auto result = testing::runProgram({ZELK_BINARY}, input);
  EXPECT_EQ(result.status, 0);
  auto lines = testing::splitLines(result.out);
  ASSERT_EQ(lines.size(), 3u) << result.out;

  JSONValue first = JSONValue::parse(lines[0]);
  const JSONValue* content = first.find("result")->find("content");
  ASSERT_EQ(content->array()->size(), 2u);
  EXPECT_EQ(str(content->array()->at(0), "text"), "Served text with 12,345 units.");
  JSONValue details = JSONValue::parse(str(content->array()->at(1), "text"));
  EXPECT_EQ(str(details, "format"), "TXT");
  EXPECT_EQ(*first.find("result")->find("isError")->boolean(), false);

  JSONValue second = JSONValue::parse(lines[1]);
  EXPECT_EQ(*second.find("result")->find("isError")->boolean(), true);
  EXPECT_EQ(str(second.find("result")->find("content")->array()->at(0), "text"),
            "Missing required argument: text");

  JSONValue third = JSONValue::parse(lines[2]);
  EXPECT_EQ(str(third.find("result")->find("content")->array()->at(0), "text"),
            "## [files/served.txt] (TXT)\n\nServed text with 12,345 units.");

  EXPECT_EQ(ledgerRows("optimize_file", ledger).size(), 1u);
  EXPECT_EQ(ledgerRows("fuse_files", ledger).size(), 1u);
  EXPECT_EQ(ledgerRows("optimize_text", ledger).size(), 1u);  // the error, as tool_error
  EXPECT_EQ(ledgerRows("optimize_text", ledger).front().kind, "tool_error");
}

}  // namespace
}  // namespace zelk
