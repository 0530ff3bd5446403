#include "documents/pptx_parser.h"

#include <algorithm>
#include <set>

#include "documents/document_parser.h"
#include "documents/internal/office_xml.h"
#include "documents/internal/text_util.h"
#include "documents/internal/zip_package.h"
#include "platform/unicode.h"

namespace zelk {

void SlideXMLParser::startElement(std::string_view name, const char**) {
  if (name == "a:t") inText = true;
}

void SlideXMLParser::endElement(std::string_view name) {
  if (name == "a:t") {
    inText = false;
  } else if (name == "a:p") {
    std::string joined;
    for (const std::string& piece : currentParagraph) joined += piece;
    std::string_view trimmed = documents::trimWhitespaceAndNewlines(joined);
    if (!trimmed.empty()) paragraphs.emplace_back(trimmed);
    currentParagraph.clear();
  }
}

void SlideXMLParser::characters(std::string_view text) {
  if (inText) currentParagraph.emplace_back(text);
}

namespace PPTXParser {
namespace {

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::vector<std::string> splitLines(const std::vector<std::string>& paragraphs) {
  std::string joined;
  for (size_t i = 0; i < paragraphs.size(); ++i) {
    if (i) joined.push_back('\n');
    joined += paragraphs[i];
  }
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t lf = joined.find('\n', start);
    lines.push_back(joined.substr(start, lf == std::string::npos ? lf : lf - start));
    if (lf == std::string::npos) break;
    start = lf + 1;
  }
  return lines;
}

std::vector<std::string> readPart(documents::ZipPackage* package, const std::string& name,
                                  documents::UnpackBudget& budget) {
  SlideXMLParser handler;
  if (documents::streamPart(package, name, budget, handler) == documents::PartRead::failed) {
    throw DocumentParser::ParseError::parseFailure("Failed to extract " + name);
  }
  return std::move(handler.paragraphs);
}

void addRepeatedLines(documents::ZipPackage* package, const std::vector<std::string>& entries,
                      std::string_view folder, size_t maxLength, documents::UnpackBudget& budget,
                      std::set<std::string>& repeated) {
  for (const std::string& entry : entries) {
    if (entry.find(folder) == std::string::npos || !endsWith(entry, ".xml")) continue;
    for (const std::string& line : splitLines(readPart(package, entry, budget))) {
      std::string_view trimmed = documents::trimWhitespaceAndNewlines(line);
      if (!trimmed.empty() && platform::graphemeCount(trimmed) < maxLength) {
        repeated.insert(platform::lowercased(trimmed));
      }
    }
  }
}

std::string parsePackage(documents::ZipPackage* package) {
  documents::UnpackBudget budget(documents::kDocumentUnpackLimitMB);
  std::vector<std::string> entries = package ? package->entryNames() : std::vector<std::string>{};
  std::set<std::string> repeated;
  addRepeatedLines(package, entries, "ppt/slideMasters/", 100, budget, repeated);
  addRepeatedLines(package, entries, "ppt/slideLayouts/", 80, budget, repeated);

  std::vector<std::string> slides;
  for (const std::string& entry : entries) {
    if (entry.rfind("ppt/slides/slide", 0) == 0 && endsWith(entry, ".xml") &&
        entry.find("/_rels/") == std::string::npos) {
      slides.push_back(entry);
    }
  }
  if (slides.empty()) throw DocumentParser::ParseError::parseFailure("No slides found in PPTX");
  std::stable_sort(slides.begin(), slides.end(), [](const std::string& a, const std::string& b) {
    return slideNumber(a) < slideNumber(b);
  });

  std::string result;
  for (size_t k = 0; k < slides.size(); ++k) {
    std::string kept;
    bool first = true;
    for (const std::string& line : splitLines(readPart(package, slides[k], budget))) {
      std::string_view trimmed = documents::trimWhitespaceAndNewlines(line);
      if (trimmed.empty() || repeated.count(platform::lowercased(trimmed))) continue;
      if (!first) kept.push_back('\n');
      kept += line;
      first = false;
    }
    std::string_view text = documents::trimWhitespaceAndNewlines(kept);
    if (text.empty()) continue;
    if (!result.empty()) result += "\n\n";
    result += "[Slide " + std::to_string(k + 1) + "]\n";
    result.append(text);
  }
  return result;
}

}  // namespace

unsigned long long slideNumber(const std::string& entry) {
  size_t slash = entry.rfind('/');
  std::string_view last = slash == std::string::npos ? std::string_view(entry)
                                                      : std::string_view(entry).substr(slash + 1);
  unsigned long long n = 0;
  bool any = false;
  for (char c : last) {
    if (c < '0' || c > '9') continue;
    any = true;
    unsigned long long digit = static_cast<unsigned long long>(c - '0');
    if (n > (~0ull - digit) / 10) return 0;  // not a number a slide can have
    n = n * 10 + digit;
  }
  return any ? n : 0;
}

std::string parse(const std::string& path) {
  SafeURL safe = makeSafeURL(path);
  auto package = documents::ZipPackage::openFile(safe.path());
  return parsePackage(package.get());
}

std::string parseBytes(std::string_view bytes) {
  auto package = documents::ZipPackage::openBytes(bytes);
  return parsePackage(package.get());
}

}  // namespace PPTXParser
}  // namespace zelk
