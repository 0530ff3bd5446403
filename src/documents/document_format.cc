#include "documents/document_format.h"

#include "platform/paths.h"
#include "platform/unicode.h"

namespace zelk::DocumentFormats {

std::string toString(DocumentFormat format) {
  switch (format) {
    case DocumentFormat::pdf: return "PDF";
    case DocumentFormat::docx: return "DOCX";
    case DocumentFormat::pptx: return "PPTX";
    case DocumentFormat::xlsx: return "XLSX";
    case DocumentFormat::csv: return "CSV";
    case DocumentFormat::txt: return "TXT";
    case DocumentFormat::md: return "MD";
    case DocumentFormat::json: return "JSON";
    case DocumentFormat::html: return "HTML";
  }
  return "";
}

std::optional<DocumentFormat> fromString(std::string_view rawValue) {
  for (DocumentFormat f : allCases) {
    if (toString(f) == rawValue) return f;
  }
  return std::nullopt;
}

std::string pathExtension(const std::string& path) {
  std::string name = platform::lastPathComponent(path);
  size_t dot = name.rfind('.');
  // A leading dot names a hidden file, not an extension.
  if (dot == std::string::npos || dot == 0) return "";
  return name.substr(dot + 1);
}

std::optional<DocumentFormat> from(const std::string& path) {
  std::string ext = platform::lowercased(pathExtension(path));
  if (ext == "pdf") return DocumentFormat::pdf;
  if (ext == "docx") return DocumentFormat::docx;
  if (ext == "pptx") return DocumentFormat::pptx;
  if (ext == "xlsx") return DocumentFormat::xlsx;
  if (ext == "csv" || ext == "tsv") return DocumentFormat::csv;
  if (ext == "txt") return DocumentFormat::txt;
  if (ext == "md") return DocumentFormat::md;
  if (ext == "json") return DocumentFormat::json;
  if (ext == "html" || ext == "htm") return DocumentFormat::html;
  return std::nullopt;
}

bool isSpreadsheet(DocumentFormat format) {
  return format == DocumentFormat::xlsx || format == DocumentFormat::csv;
}

}  // namespace zelk::DocumentFormats
