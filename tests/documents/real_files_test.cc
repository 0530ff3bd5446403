// Real-world Office files from public projects' test corpora: each reads, or fails with the
// reader's own message, and agrees with the expectations the corpora give.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "documents/document_parser.h"
#include "documents/docx_parser.h"
#include "documents/pptx_parser.h"
#include "documents/xlsx_parser.h"
#include "protocol/json_value.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;

const std::string kOffice = std::string(ZELK_TESTDATA_DIR) + "/office";

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Outcome {
  bool ok;
  std::string text;  // the text, or the failure's message
};

Outcome read(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  try {
    if (ext == ".docx") return {true, DOCXParser::parse(path)};
    if (ext == ".pptx") return {true, PPTXParser::parse(path)};
    return {true, XLSXParser::parse(path)};
  } catch (const DocumentParser::ParseError& e) {
    return {false, e.what()};
  }
}

std::vector<std::string> officeFiles() {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(kOffice)) {
    std::string ext = entry.path().extension().string();
    if (ext == ".docx" || ext == ".pptx" || ext == ".xlsx" || ext == ".xlsm") {
      files.push_back(entry.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string withoutWhitespace(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') out.push_back(c);
  }
  return out;
}

bool isSlideMarker(const std::string& line) {
  if (line.rfind("[Slide ", 0) != 0 || line.size() < 9 || line.back() != ']') return false;
  return line.find_first_not_of("0123456789", 7) == line.size() - 1;
}

std::string withoutSlideMarkers(const std::string& text) {
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    if (!isSlideMarker(line)) out += line + "\n";
  }
  return out;
}

// "yyyy-mm-dd" or "yyyy-mm-dd hh:mm".
bool isISODate(const std::string& s) {
  const std::string shape = s.size() == 10 ? "dddd-dd-dd" : "dddd-dd-dd dd:dd";
  if (s.size() != shape.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(s[i])) : s[i] != shape[i]) return false;
  }
  return true;
}

// The number after "key=" in a manifest count field, or -1.
int countOf(const std::string& counts, const std::string& key) {
  size_t at = counts.find(key + "=");
  if (at == std::string::npos) return -1;
  return std::atoi(counts.c_str() + at + key.size() + 1);
}

// A minimal CSV reader for comparing rows: quoted cells, "" inside quotes.
std::vector<std::vector<std::string>> csvRows(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1);
  std::string cell;
  bool quoted = false, wasQuoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') cell.push_back('"'), ++i;
      else if (c == '"') quoted = false;
      else cell.push_back(c);
    } else if (c == '"' && cell.empty() && !wasQuoted) {
      quoted = wasQuoted = true;
    } else if (c == ',') {
      rows.back().push_back(cell), cell.clear(), wasQuoted = false;
    } else if (c == '\n') {
      rows.back().push_back(cell), cell.clear(), wasQuoted = false;
      rows.emplace_back();
    } else if (c != '\r') {
      cell.push_back(c);
    }
  }
  rows.back().push_back(cell);
  return rows;
}

// Cells trimmed, trailing empty cells and empty rows dropped.
std::vector<std::vector<std::string>> normalized(std::vector<std::vector<std::string>> rows) {
  std::vector<std::vector<std::string>> out;
  for (auto& row : rows) {
    for (auto& c : row) {
      size_t b = c.find_first_not_of(" \t"), e = c.find_last_not_of(" \t");
      c = b == std::string::npos ? "" : c.substr(b, e - b + 1);
    }
    while (!row.empty() && row.back().empty()) row.pop_back();
    if (!row.empty()) out.push_back(row);
  }
  return out;
}

// The sheet sections of a workbook's text: name -> CSV.
std::vector<std::pair<std::string, std::string>> sections(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("## ", 0) == 0) {
      out.push_back({line.substr(3), ""});
    } else if (!out.empty()) {
      out.back().second += line + "\n";
    }
  }
  return out;
}

TEST(RealOfficeFiles, EveryFileReadsOrFailsWithTheReadersMessage) {
  const std::set<std::string> failures = {
      "Could not read file: Failed to read DOCX",
      "Could not read file: No slides found in PPTX",
      "Could not read file: No worksheets found in XLSX",
  };
  std::vector<std::string> files = officeFiles();
  EXPECT_GE(files.size(), 70u);
  int readCount = 0;
  for (const std::string& file : files) {
    Outcome o = read(file);
    if (o.ok) {
      ++readCount;
    } else {
      EXPECT_TRUE(failures.count(o.text) || o.text.rfind("Could not read file: Failed to extract ", 0) == 0)
          << file << ": " << o.text;
    }
  }
  EXPECT_GE(readCount, 60);
}

TEST(RealOfficeFiles, ManifestSlideAndSheetCounts) {
  std::istringstream manifest(readText(kOffice + "/MANIFEST-ooxml.tsv"));
  std::string line;
  std::getline(manifest, line);  // header
  int checked = 0;
  while (std::getline(manifest, line)) {
    std::vector<std::string> f;
    std::stringstream s(line);
    std::string field;
    while (std::getline(s, field, '\t')) f.push_back(field);
    if (f.size() < 6) f.resize(6);
    std::string path = kOffice + "/" + f[0];
    const std::string& kind = f[3];
    const std::string& counts = f[4];
    if (kind == "pptx" && countOf(counts, "slides") >= 0) {
      int slides = countOf(counts, "slides");
      Outcome o = read(path);
      if (slides == 0) {
        EXPECT_EQ(o.text, "Could not read file: No slides found in PPTX") << f[0];
      } else {
        ASSERT_TRUE(o.ok) << f[0] << ": " << o.text;
        // Slides with text only on their master produce no block.
        int blocks = 0;
        std::istringstream lines(o.text);
        for (std::string l; std::getline(lines, l);) blocks += isSlideMarker(l);
        EXPECT_LE(blocks, slides) << f[0];
      }
      ++checked;
    } else if ((kind == "xlsx" || kind == "xlsm")) {
      size_t open = counts.find('['), close = counts.rfind(']');
      if (countOf(counts, "sheets") < 0 || open == std::string::npos || close == std::string::npos) {
        EXPECT_EQ(read(path).text, "Could not read file: No worksheets found in XLSX") << f[0];
        ++checked;
        continue;
      }
      XLSXParser::Workbook book = XLSXParser::workbook(path);
      std::string names;
      for (const auto& sheet : book.sheets) names += (names.empty() ? "" : "|") + sheet.name;
      EXPECT_EQ(names, counts.substr(open + 1, close - open - 1)) << f[0];
      EXPECT_EQ(static_cast<int>(book.sheets.size()), countOf(counts, "sheets")) << f[0];
      EXPECT_EQ(book.format.date1904, f[5].find("date1904") != std::string::npos) << f[0];
      ++checked;
    } else if (kind == "docx") {
      EXPECT_TRUE(read(path).ok) << f[0];
      ++checked;
    }
  }
  EXPECT_GE(checked, 75);
}

TEST(RealOfficeFiles, TextractExpectedText) {
  for (const char* name : {"docx/raw_text", "docx/paragraphs_and_tables", "pptx/raw_text"}) {
    std::string base = kOffice + "/textract/tests/" + name;
    std::string ext = std::string(name).substr(0, 4);
    Outcome o = read(base + "." + ext);
    ASSERT_TRUE(o.ok) << name << ": " << o.text;
    // textract breaks lines differently; the characters in order agree.
    EXPECT_EQ(withoutWhitespace(withoutSlideMarkers(o.text)), withoutWhitespace(readText(base + ".txt")))
        << name;
  }
  // Workbook rows: textract joins cells with spaces and writes TRUE as 1 and FALSE as nothing.
  Outcome o = read(kOffice + "/textract/tests/xlsx/raw_text.xlsx");
  ASSERT_TRUE(o.ok);
  std::vector<std::string> ours, theirs;
  for (const auto& [sheet, csv] : sections(o.text)) {
    for (const auto& row : normalized(csvRows(csv))) {
      std::string words;
      for (std::string cell : row) {
        if (cell == "TRUE") cell = "1";
        if (cell == "FALSE") cell = "";
        words += cell + " ";
      }
      ours.push_back(words);
    }
  }
  std::istringstream expected(readText(kOffice + "/textract/tests/xlsx/raw_text.txt"));
  std::string line;
  while (std::getline(expected, line)) {
    if (line.find_first_not_of(" \t\r") != std::string::npos) theirs.push_back(line);
  }
  ASSERT_EQ(ours.size(), theirs.size());
  auto words = [](const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> w;
    for (std::string x; in >> x;) w.push_back(x);
    return w;
  };
  // textract writes whole numbers as floats (83.0); compare numbers by value.
  auto sameWord = [](const std::string& a, const std::string& b) {
    if (a == b) return true;
    char *ea = nullptr, *eb = nullptr;
    double x = std::strtod(a.c_str(), &ea), y = std::strtod(b.c_str(), &eb);
    return !a.empty() && !b.empty() && *ea == 0 && *eb == 0 && x == y;
  };
  for (size_t i = 0; i < ours.size(); ++i) {
    std::vector<std::string> a = words(ours[i]), b = words(theirs[i]);
    bool same = a.size() == b.size();
    for (size_t k = 0; same && k < a.size(); ++k) same = sameWord(a[k], b[k]);
    EXPECT_TRUE(same) << "row " << i << ": " << ours[i] << " vs " << theirs[i];
  }

  for (const char* name : {"docx/standardized_text.docx", "pptx/standardized_text.pptx",
                           "xlsx/standardized_text.xlsx"}) {
    Outcome s = read(kOffice + "/textract/tests/" + name);
    ASSERT_TRUE(s.ok) << name;
    std::string text = withoutWhitespace(withoutSlideMarkers(s.text));
    if (text.rfind("##Sheet1", 0) == 0) text.erase(0, 8);
    text.erase(std::remove(text.begin(), text.end(), ','), text.end());
    EXPECT_EQ(text, "thequickbrownfoxjumpsoverthelazydog") << name;
  }
}

TEST(RealOfficeFiles, CalamineCellFacts) {
  std::string dir = kOffice + "/xlsx-calamine/tests/";
  auto firstSection = [&](const std::string& file) {
    Outcome o = read(dir + file);
    EXPECT_TRUE(o.ok) << file << ": " << o.text;
    auto s = sections(o.text);
    return s.empty() ? std::vector<std::vector<std::string>>{} : normalized(csvRows(s[0].second));
  };
  // Serial 44197 in the 1900 system and 42735 in the 1904 system are both 2021-01-01. A3 holds
  // a duration (255:10:10) under a time format: the text shows its time of day.
  for (const char* file : {"date.xlsx", "date_1904.xlsx"}) {
    auto rows = firstSection(file);
    ASSERT_GE(rows.size(), 3u);
    EXPECT_EQ(rows[0][0], "2021-01-01") << file;
    EXPECT_EQ(rows[2][0], "15:10:10") << file;
  }
  auto iso = firstSection("date_iso.xlsx");
  ASSERT_GE(iso.size(), 3u);
  EXPECT_EQ(iso[0][0], "2021-01-01");
  EXPECT_EQ(iso[1][0], "2021-01-01T10:10:10");
  EXPECT_EQ(iso[2][0], "10:10:10");
  for (const auto& row : firstSection("date_quoted_format.xlsx")) EXPECT_EQ(row[0], "2021-01-01");

  XLSXParser::Workbook any = XLSXParser::workbook(dir + "any_sheets.xlsx");
  ASSERT_EQ(any.sheets.size(), 4u);
  std::vector<bool> hidden;
  for (const auto& s : any.sheets) hidden.push_back(s.hidden);
  EXPECT_EQ(hidden, (std::vector<bool>{false, true, true, false}));

  // Error cells show nothing.
  XLSXParser::Workbook errors = XLSXParser::workbook(dir + "errors.xlsx");
  EXPECT_EQ(read(dir + "errors.xlsx").text, "");
  EXPECT_EQ(errors.sheets.size(), 3u);

  EXPECT_EQ(read(dir + "pass_protected.xlsx").text, "Could not read file: No worksheets found in XLSX");
  // The workbook part is not at xl/workbook.xml and its sheets are not under xl/worksheets/.
  EXPECT_EQ(read(dir + "minimal_package.xlsx").text, "Could not read file: No worksheets found in XLSX");
  auto spc = sections(read(dir + "issues.xlsx").text);
  ASSERT_EQ(spc.size(), 6u);
  EXPECT_EQ(spc[5].first, "spc_chrs");
  EXPECT_NE(spc[5].second.find("\u263A"), std::string::npos);
}

bool isNumber(const std::string& s, double& x) {
  std::string t = s;
  if (!t.empty() && t.back() == '%') t.pop_back();
  if (t.empty()) return false;
  char* end = nullptr;
  x = std::strtod(t.c_str(), &end);
  return end == t.c_str() + t.size();
}

// Rows agree with xlsx2csv's rendering, cell by cell, apart from the display rules the two
// tools define differently: xlsx2csv rounds numbers to their format's decimals and writes dates
// in the format's own pattern; this reader keeps the stored digits and writes ISO dates.
TEST(RealOfficeFiles, Xlsx2csvValues) {
  JSONValue expected = JSONValue::parse(readText(kOffice + "/EXPECTED-xlsx.json"));
  const JSONObject* runs = expected.find("xlsx2csv")->object();
  ASSERT_NE(runs, nullptr);
  int compared = 0, exact = 0, rounded = 0, dates = 0;
  for (const auto& [file, run] : *runs) {
    std::vector<std::string> options;
    for (const JSONValue& o : *run.find("xlsx2csv_options")->array()) options.push_back(*o.string());
    bool all = options == std::vector<std::string>{"-a"};
    if (!options.empty() && !all && options != std::vector<std::string>{"--dateformat=%Y-%m-%d %H:%M:%S"}) {
      continue;  // runs whose options change the rendering (hyperlinks, delimiters, escapes)
    }
    Outcome o = read(kOffice + "/" + file);
    ASSERT_TRUE(o.ok) << file << ": " << o.text;
    std::vector<std::vector<std::string>> ours;
    auto secs = sections(o.text);
    for (size_t i = 0; i < secs.size() && (all || i == 0); ++i) {
      for (auto& row : csvRows(secs[i].second)) ours.push_back(row);
    }
    ours = normalized(ours);
    std::vector<std::vector<std::string>> theirs;
    for (auto& row : csvRows(readText(kOffice + "/" + *run.find("expected_csv")->string()))) {
      if (!row.empty() && row[0].rfind("-------- ", 0) == 0) continue;
      theirs.push_back(row);
    }
    theirs = normalized(theirs);
    ASSERT_EQ(ours.size(), theirs.size()) << file;
    for (size_t r = 0; r < ours.size(); ++r) {
      for (size_t c = 0; c < std::max(ours[r].size(), theirs[r].size()); ++c) {
        std::string a = c < ours[r].size() ? ours[r][c] : "";
        std::string b = c < theirs[r].size() ? theirs[r][c] : "";
        ++compared;
        double x, y;
        if (a == b) {
          ++exact;
        } else if (isNumber(a, x) && isNumber(b, y)) {
          size_t dot = b.find('.');
          int decimals = dot == std::string::npos ? 0 : static_cast<int>(b.size() - dot - 1 - (b.back() == '%'));
          EXPECT_LE(std::fabs(x - y), 0.5 * std::pow(10.0, -decimals) + 1e-9) << file << " " << a << " vs " << b;
          ++rounded;
        } else if (isISODate(a)) {
          EXPECT_NE(b.find_first_of("0123456789"), std::string::npos) << file << " " << a << " vs " << b;
          ++dates;
        } else {
          ADD_FAILURE() << file << " row " << r << ": " << a << " vs " << b;
        }
      }
    }
  }
  EXPECT_GT(compared, 400);
  RecordProperty("exact", exact);
  RecordProperty("rounded", rounded);
  RecordProperty("dates", dates);
  std::cerr << "xlsx2csv cells compared " << compared << ": " << exact << " equal, " << rounded
            << " rounded by format, " << dates << " dates in another pattern\n";
}

}  // namespace
}  // namespace zelk
