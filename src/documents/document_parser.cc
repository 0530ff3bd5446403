#include "documents/document_parser.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "documents/csv_parser.h"
#include "documents/docx_parser.h"
#include "documents/file_limit.h"
#include "documents/html_readers.h"
#include "documents/json_readers.h"
#include "documents/pdf_parser.h"
#include "documents/pptx_parser.h"
#include "documents/text_parser.h"
#include "documents/xlsx_parser.h"
#include "platform/paths.h"

namespace zelk::DocumentParser {

ParseError ParseError::unsupportedFormat(const std::string& extension) {
  return {Kind::unsupportedFormat, "." + extension + " files are not supported.", extension};
}

ParseError ParseError::parseFailure(const std::string& message) {
  return {Kind::parseFailure, "Could not read file: " + message, message};
}

ParseError ParseError::fileTooLarge(int64_t size, int limit) {
  return {Kind::fileTooLarge, "This file is " + FileLimit::reason({size, limit}) + ".", "", size,
          limit};
}

Document parse(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    throw std::system_error(errno, std::generic_category(), path);
  }
  int64_t size = static_cast<int64_t>(st.st_size);
  if (auto excess = FileLimit::exceeds(path)) throw ParseError::fileTooLarge(excess->size, excess->limit);
  std::optional<DocumentFormat> format = DocumentFormats::from(path);
  if (!format) throw ParseError::unsupportedFormat(DocumentFormats::pathExtension(path));
  std::string text;
  switch (*format) {
    case DocumentFormat::pdf: text = PDFParser().parse(path); break;
    case DocumentFormat::docx: text = DOCXParser::parse(path); break;
    case DocumentFormat::pptx: text = PPTXParser::parse(path); break;
    case DocumentFormat::xlsx: text = XLSXParser::parse(path); break;
    case DocumentFormat::csv: text = CSVParser::parse(path); break;
    case DocumentFormat::txt:
    case DocumentFormat::md: text = TextParser::parse(path); break;
    case DocumentFormat::json: text = JSONDocumentParser::parse(path); break;
    case DocumentFormat::html: text = HTMLDocumentParser::parse(path); break;
  }
  return Document{path, platform::lastPathComponent(path), *format, std::move(text), size};
}

}  // namespace zelk::DocumentParser
