// Fuzzes the Word and presentation readers: whole packages from bytes, and part XML straight
// into their handlers (a package built by the fuzzer rarely survives the zip checksums).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "documents/document_parser.h"
#include "documents/docx_parser.h"
#include "documents/internal/xml_stream.h"
#include "documents/pptx_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    switch (data[0] % 4) {
      case 0: zelk::DOCXParser::parseBytes(bytes); break;
      case 1: zelk::PPTXParser::parseBytes(bytes); break;
      case 2: {
        zelk::WordXMLParser word;
        zelk::documents::parseXML(bytes, word);
        break;
      }
      default: {
        zelk::SlideXMLParser slide;
        zelk::documents::parseXML(bytes, slide);
        break;
      }
    }
  } catch (const zelk::DocumentParser::ParseError&) {
    // The readers' own failures are expected answers.
  }
  return 0;
}
