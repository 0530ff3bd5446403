// Fuzzes the workbook reader: whole packages from bytes, each part's XML straight into its
// handler, and the number-format rules.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "documents/cell_format.h"
#include "documents/document_parser.h"
#include "documents/internal/xml_stream.h"
#include "documents/xlsx_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    switch (data[0] % 6) {
      case 0: zelk::XLSXParser::parseBytes(bytes); break;
      case 1: {
        std::vector<std::string> strings = {"a", "b"};
        zelk::CellFormat format{{zelk::CellFormat::Kind::plain, zelk::CellFormat::Kind::date,
                                 zelk::CellFormat::Kind::dateTime, zelk::CellFormat::Kind::time,
                                 zelk::CellFormat::Kind::percent},
                                (data[0] & 0x80) != 0};
        zelk::WorksheetParser sheet(strings, format);
        zelk::documents::parseXML(bytes, sheet);
        break;
      }
      case 2: {
        zelk::StylesParser styles;
        zelk::documents::parseXML(bytes, styles);
        styles.kinds();
        break;
      }
      case 3: {
        zelk::SharedStringsParser strings;
        zelk::documents::parseXML(bytes, strings);
        break;
      }
      case 4: {
        zelk::WorkbookParser book;
        zelk::documents::parseXML(bytes, book);
        zelk::RelationshipsParser rels;
        zelk::documents::parseXML(bytes, rels);
        break;
      }
      default: {
        zelk::CellFormat::kindOfCode(bytes);
        zelk::CellFormat format{{zelk::CellFormat::Kind::date, zelk::CellFormat::Kind::percent,
                                 zelk::CellFormat::Kind::time},
                                (data[0] & 0x80) != 0};
        for (long long style = 0; style < 4; ++style) format.text(bytes, style);
        break;
      }
    }
  } catch (const zelk::DocumentParser::ParseError&) {
  }
  return 0;
}
