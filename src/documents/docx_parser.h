// The Word reader: the running text of the main document, with paragraphs, line breaks, tabs
// and table cells kept.
#pragma once

#include <string>
#include <string_view>

#include "documents/internal/xml_stream.h"

namespace zelk {

// Collects the text runs of a WordprocessingML part.
class WordXMLParser : public documents::XMLHandler {
 public:
  void startElement(std::string_view name, const char** attributes) override;
  void endElement(std::string_view name) override;
  void characters(std::string_view text) override;

  std::string buffer;
  bool inTextRun = false;
};

namespace DOCXParser {
// Throws ParseError::parseFailure("Failed to read DOCX") when the main part can't be read,
// or with the unpacked-size limit's message.
std::string parse(const std::string& path);
// The same over a package held in memory.
std::string parseBytes(std::string_view bytes);
// The main part's entry name from the package relationships; "word/document.xml" by default.
std::string mainDocument(const std::string& path);
// One entry's bytes; throws ParseError::parseFailure("Failed to read DOCX").
std::string extractEntry(const std::string& name, const std::string& path);
}  // namespace DOCXParser

}  // namespace zelk
