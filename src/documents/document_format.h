// The formats zelk reads, decided from a file's extension; the raw value is the display name.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace zelk {

enum class DocumentFormat { pdf, docx, pptx, xlsx, csv, txt, md, json, html };

namespace DocumentFormats {
inline constexpr std::array<DocumentFormat, 9> allCases = {
    DocumentFormat::pdf, DocumentFormat::docx, DocumentFormat::pptx,
    DocumentFormat::xlsx, DocumentFormat::csv, DocumentFormat::txt,
    DocumentFormat::md, DocumentFormat::json, DocumentFormat::html};

// "PDF", "DOCX", ... as shown to the user.
std::string toString(DocumentFormat format);
// Exactly the nine display names (upper case); nullopt for anything else.
std::optional<DocumentFormat> fromString(std::string_view rawValue);
// The format for the path's extension (compared lower-cased), or nullopt when unsupported.
std::optional<DocumentFormat> from(const std::string& path);
// True for xlsx and csv.
bool isSpreadsheet(DocumentFormat format);
// The path's extension as written ("" when the last component has none).
std::string pathExtension(const std::string& path);
}  // namespace DocumentFormats

}  // namespace zelk
