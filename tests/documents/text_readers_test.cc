// The plain-text, CSV, JSON and HTML readers.
#include <gtest/gtest.h>

#include <fstream>

#include "documents/csv_parser.h"
#include "documents/document_parser.h"
#include "documents/html_readers.h"
#include "documents/json_readers.h"
#include "documents/text_parser.h"
#include "protocol/json_value.h"
#include "protocol/mcp_tool_error.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::TempDir;

std::string writeFile(const TempDir& dir, const std::string& name, const std::string& bytes) {
  std::string path = dir.file(name);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

TEST(TextParser, ReturnsTextUnchangedAndDecodesLatin1) {
  TempDir dir;
  EXPECT_EQ(TextParser::parse(writeFile(dir, "a.txt", "  a\r\n\tb  ")), "  a\r\n\tb  ");
  EXPECT_EQ(TextParser::parse(writeFile(dir, "l.txt", "caf\xE9")), "caf\u00E9");
  try {
    TextParser::parse(dir.file("missing.txt"));
    FAIL();
  } catch (const DocumentParser::ParseError& e) {
    EXPECT_STREQ(e.what(), "Could not read file: Could not read file");
  }
}

TEST(CSVParser, DropsTheByteOrderMarkOnly) {
  TempDir dir;
  EXPECT_EQ(CSVParser::parse(writeFile(dir, "a.csv", "\xEF\xBB\xBF\"a\",b\n1,\"2,3\"\n")),
            "\"a\",b\n1,\"2,3\"\n");
  EXPECT_EQ(CSVParser::parse(writeFile(dir, "b.CSV", "x;y\n")), "x;y\n");
}

TEST(CSVParser, ConvertsTSVByExtension) {
  TempDir dir;
  EXPECT_EQ(CSVParser::parse(writeFile(dir, "a.TSV", "x\t\"a,b\"\t\t\nq\tr")), "x,\"a,b\"\nq,r");
}

TEST(CSVParser, TSVToCSV) {
  struct Case {
    const char* tsv;
    const char* csv;
  } cases[] = {
      {"x\t\"a,b\"\t\t", "x,\"a,b\""},                 // unquoted, re-quoted, trailing empties go
      {"a\tb\n\nc\td", "a,b\nc,d"},                    // a blank line in the middle is dropped
      {"a\tb\r\nc\td\r\n", "a,b\nc,d"},                // CR LF is one break
      {"a\rb\u2028c\u0085d\fe\vf", "a\nb\nc\nd\ne\nf"},  // every line break
      {"\"say \"\"hi\"\"\"\tx", "\"say \"\"hi\"\"\",x"},
      {" a \t b\t", "a,b"},                            // cells are trimmed
      {"\t\t", ""},                                    // only empties
      {"\"\"\t\"", ",\"\"\"\""},  // "" unquotes to empty; a lone quote stays
      {"a\t\tb", "a,,b"},                              // inner empty fields stay
  };
  for (const Case& c : cases) EXPECT_EQ(CSVParser::csvFromTSV(c.tsv), c.csv) << c.tsv;
}

TEST(CSVParser, RowsToCSV) {
  EXPECT_EQ(CSVParser::rowsToCSV({{"a", "b,c", "say \"x\"", "line\nbreak"},
                                  {"", "", ""},
                                  {" ", "\t"},
                                  {"1", "", "2", "", ""}}),
            "a,\"b,c\",\"say \"\"x\"\"\",\"line\nbreak\"\n1,,2");
  EXPECT_EQ(CSVParser::rowsToCSV({}), "");
}

TEST(JSONLeadingValue, Split) {
  struct Case {
    const char* text;
    std::optional<std::pair<std::string, std::string>> split;
  } cases[] = {
      {"{\"a\":1}\nlog line\n", std::make_pair("{\"a\":1}", "log line")},
      {"\xEF\xBB\xBF  [1,[2]] tail", std::make_pair("[1,[2]]", "tail")},
      {"{\"a\":\"}\\\"{\"} x", std::make_pair("{\"a\":\"}\\\"{\"}", "x")},
      {"{\"a\":1}", std::nullopt},         // no trailer: a plain value
      {"{\"a\":1}  \n ", std::nullopt},
      {"{\"a\": } x", std::nullopt},       // the leading value is not JSON
      {"{\"a\":1 x", std::nullopt},        // never closes
      {"x {\"a\":1}", std::nullopt},
      {"42 x", std::nullopt},
      {"[1} x", std::nullopt},             // brackets end the value but it doesn't parse
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    auto got = JSONLeadingValue::split(c.text);
    ASSERT_EQ(got.has_value(), c.split.has_value()) << c.text;
    if (got) {
      EXPECT_EQ(got->json, c.split->first);
      EXPECT_EQ(got->trailer, c.split->second);
    }
  }
}

TEST(JSONReaders, ValueWithTrailerIsReturnedWhole) {
  TempDir dir;
  std::string text = "{\"rows\": [1, 2]}\nexported by tool 1.0\n";
  std::string path = writeFile(dir, "a.json", text);
  EXPECT_EQ(MCPTools::parseJSON(path), text);
  EXPECT_EQ(JSONDocumentParser::parse(path), text);
}

TEST(JSONReaders, FragmentsAreJSON) {
  TempDir dir;
  std::string path = writeFile(dir, "n.json", "42");
  EXPECT_EQ(MCPTools::parseJSON(path), "42");
  EXPECT_EQ(JSONDocumentParser::parse(path), "42");
}

TEST(JSONReaders, CutOffObjectFails) {
  TempDir dir;
  std::string path = writeFile(dir, "cut.json", "{\"a\": [1, 2");
  EXPECT_THROW(MCPTools::parseJSON(path), JSONParseError);
  try {
    JSONDocumentParser::parse(path);
    FAIL();
  } catch (const DocumentParser::ParseError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Could not read file: Invalid JSON: ", 0), 0u);
  }
}

TEST(JSONReaders, NotUTF8OnTheToolsPath) {
  TempDir dir;
  std::string path = writeFile(dir, "l.json", "\"caf\xE9\"");
  try {
    MCPTools::parseJSON(path);
    FAIL();
  } catch (const MCPToolError& e) {
    EXPECT_STREQ(e.what(), "Failed to read file: Could not read JSON file");
  }
  EXPECT_THROW(JSONDocumentParser::parse(path), DocumentParser::ParseError);
}

TEST(JSONReaders, MissingFileIsTheFileSystemsError) {
  TempDir dir;
  EXPECT_THROW(MCPTools::parseJSON(dir.file("none.json")), std::system_error);
  EXPECT_THROW(JSONDocumentParser::parse(dir.file("none.json")), std::system_error);
}

TEST(JSONReaders, DeepNestingNeitherOverflowsNorFails) {
  TempDir dir;
  std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(MCPTools::parseJSON(writeFile(dir, "deep.json", deep)).size(), deep.size());
  std::string open = std::string(100000, '[') + " trailing";
  EXPECT_THROW(MCPTools::parseJSON(writeFile(dir, "open.json", open)), JSONParseError);
}

TEST(HTMLText, Extraction) {
  struct Case {
    const char* html;
    const char* tools;  // the tools' path
    const char* full;   // the Document path
  } cases[] = {
      {"<P class=\"x\">One</P><p>Two", "\nOne\n\nTwo", "\nOne\n\nTwo"},
      {"&amp;amp;amp;", "&amp;amp;", "&amp;amp;"},
      {"&amp;lt;b&amp;gt;", "<b>", "<b>"},
      {"a<script type=\"x\">var s = '<p>';</script>b", "a b", "a b"},
      {"<STYLE>p{}</Style>x<noscript>n</noscript><template><p>t</p></template>", " x  ", " x  "},
      {"<script>open", "open", "open"},             // unclosed: only the tag goes
      {"x<br>y<br/>z<hr class=a>w", "x\nyz\nw", "x\nyz\nw"},  // <br/> is a plain tag
      {"<pre>code</pre><pa>b</pa>", "codeb", "codeb"},
      {"a < b and c <> d", "a  d", "a  d"},  // "<[^>]+>" runs to the next ">"
      {"a < b", "a < b", "a < b"},
      {"<<a>x", "x", "x"},
      {"<aside>note</aside>", "note", "\nnote\n"},
      {"&hellip;&copy;&apos;&#39;&NBSP;&MDash;", "&hellip;&copy;&apos;' \u2014",
       "\u2026\u00A9'' \u2014"},
      {"&#65;&#x41;&#55296;&#1114112;&#99999999999;&#9731;", "&#65;&#x41;&#55296;&#1114112;&#99999999999;&#9731;",
       "A&#x41;&#55296;&#1114112;&#99999999999;\u2603"},
      {"<td\nclass=a>c</td>", "\nc\n", "\nc\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(documents::htmlText(c.html, false), c.tools) << c.html;
    EXPECT_EQ(documents::htmlText(c.html, true), c.full) << c.html;
  }
}

TEST(HTMLReaders, ScriptOnlyPage) {
  TempDir dir;
  std::string path = writeFile(dir, "app.html", "<body><script>app()</script></body>");
  EXPECT_EQ(MCPTools::parseHTML(path), " ");
  try {
    HTMLDocumentParser::parse(path);
    FAIL();
  } catch (const DocumentParser::ParseError& e) {
    EXPECT_STREQ(e.what(),
                 "Could not read file: No readable text found \u2014 file may be a "
                 "JavaScript-rendered app");
  }
  try {
    MCPTools::parseHTML(dir.file("none.html"));
    FAIL();
  } catch (const MCPToolError& e) {
    EXPECT_STREQ(e.what(), "Failed to read file: Could not read HTML file");
  }
}

TEST(HTMLReaders, ManyUnclosedTagsStayLinear) {
  // 24 MB of openings that never close: each pass must give up at once, not rescan.
  std::string html;
  html.reserve(24 << 20);
  while (html.size() < (24u << 20)) html += "<script<style x<p <div<a ";
  std::string text = documents::htmlText(html, true);
  EXPECT_EQ(text.find('>'), std::string::npos);
  EXPECT_GT(text.size(), 0u);
}

}  // namespace
}  // namespace zelk
