#include "documents/docx_parser.h"

#include "documents/document_parser.h"
#include "documents/internal/office_xml.h"
#include "documents/internal/zip_package.h"
#include "documents/office_package.h"
#include "platform/unicode.h"

namespace zelk {

void WordXMLParser::startElement(std::string_view name, const char**) {
  if (name == "w:t") inTextRun = true;
  else if (name == "w:br" || name == "w:cr") buffer.push_back('\n');
  else if (name == "w:tab") buffer.push_back('\t');
}

void WordXMLParser::endElement(std::string_view name) {
  if (name == "w:t") inTextRun = false;
  else if (name == "w:p") buffer.push_back('\n');
  else if (name == "w:tc") buffer.push_back('\t');
  else if (name == "w:tr") buffer.push_back('\n');
}

void WordXMLParser::characters(std::string_view text) {
  if (inTextRun) buffer.append(text);
}

namespace DOCXParser {
namespace {

const char kDefaultMain[] = "word/document.xml";

std::string mainDocumentFromRels(const std::string& rels) {
  if (!platform::isValidUtf8(rels)) return kDefaultMain;
  const std::string marker = "<Relationship ";
  size_t at = rels.find(marker);
  while (at != std::string::npos) {
    size_t next = rels.find(marker, at + marker.size());
    std::string_view piece(rels.data() + at + marker.size(),
                           (next == std::string::npos ? rels.size() : next) - at - marker.size());
    if (piece.find("relationships/officeDocument\"") != std::string_view::npos) {
      // The first Target="..." with a non-empty value.
      size_t t = piece.find("Target=\"");
      while (t != std::string_view::npos) {
        size_t valueStart = t + 8;
        size_t close = piece.find('"', valueStart);
        if (close == std::string_view::npos) break;
        if (close > valueStart) {
          std::string target(piece.substr(valueStart, close - valueStart));
          if (!target.empty() && target.front() == '/') target.erase(0, 1);
          return target;
        }
        t = piece.find("Target=\"", t + 1);
      }
    }
    at = next;
  }
  return kDefaultMain;
}

std::string mainDocumentOf(documents::ZipPackage* package, documents::UnpackBudget& budget) {
  if (!package) return kDefaultMain;
  std::optional<std::string> rels = package->read("_rels/.rels", budget);
  if (!rels) return kDefaultMain;
  return mainDocumentFromRels(*rels);
}

std::string parsePackage(documents::ZipPackage* package) {
  documents::UnpackBudget budget(documents::kDocumentUnpackLimitMB);
  std::string main = mainDocumentOf(package, budget);
  WordXMLParser handler;
  if (documents::streamPart(package, main, budget, handler) == documents::PartRead::failed) {
    throw DocumentParser::ParseError::parseFailure("Failed to read DOCX");
  }
  return std::move(handler.buffer);
}

}  // namespace

std::string mainDocument(const std::string& path) {
  auto package = documents::ZipPackage::openFile(path);
  documents::UnpackBudget budget(documents::kDocumentUnpackLimitMB);
  return mainDocumentOf(package.get(), budget);
}

std::string extractEntry(const std::string& name, const std::string& path) {
  auto package = documents::ZipPackage::openFile(path);
  documents::UnpackBudget budget(documents::kDocumentUnpackLimitMB);
  std::optional<std::string> bytes = package ? package->read(name, budget) : std::nullopt;
  if (!bytes) throw DocumentParser::ParseError::parseFailure("Failed to read DOCX");
  return std::move(*bytes);
}

std::string parse(const std::string& path) {
  SafeURL safe = PPTXParser::makeSafeURL(path);
  auto package = documents::ZipPackage::openFile(safe.path());
  return parsePackage(package.get());
}

std::string parseBytes(std::string_view bytes) {
  auto package = documents::ZipPackage::openBytes(bytes);
  return parsePackage(package.get());
}

}  // namespace DOCXParser
}  // namespace zelk
