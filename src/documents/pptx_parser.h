// The presentation reader: the text of each slide under "[Slide n]", without the lines the
// slide masters and layouts repeat on every slide.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "documents/internal/xml_stream.h"
#include "documents/office_package.h"

namespace zelk {

// Collects the trimmed, non-empty paragraphs of a DrawingML part.
class SlideXMLParser : public documents::XMLHandler {
 public:
  void startElement(std::string_view name, const char** attributes) override;
  void endElement(std::string_view name) override;
  void characters(std::string_view text) override;

  bool inText = false;
  std::vector<std::string> currentParagraph;
  std::vector<std::string> paragraphs;
};

namespace PPTXParser {
// Throws ParseError::parseFailure "No slides found in PPTX", "Failed to extract {entry}", or
// with the unpacked-size limit's message.
std::string parse(const std::string& path);
std::string parseBytes(std::string_view bytes);
// All decimal digits of the entry's last path component as one number; 0 when there are none.
unsigned long long slideNumber(const std::string& entry);
}  // namespace PPTXParser

}  // namespace zelk
