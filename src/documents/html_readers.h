// Text from HTML markup: hidden elements removed, block tags turned into line breaks, other
// tags dropped, a fixed set of entities decoded. Two readers: the tools' path and the
// Document path, which decodes more entities and refuses pages with nothing readable.
#pragma once

#include <string>
#include <string_view>

namespace zelk {

namespace MCPTools {
// Throws MCPToolError::parseFailure("Could not read HTML file").
std::string parseHTML(const std::string& path);
}  // namespace MCPTools

namespace HTMLDocumentParser {
// Throws ParseError::parseFailure "Could not read HTML file" or "No readable text found — file
// may be a JavaScript-rendered app".
std::string parse(const std::string& path);
}  // namespace HTMLDocumentParser

namespace documents {
// The extraction itself; `full` selects the Document path's rules. Linear in the text's size.
std::string htmlText(std::string_view html, bool full);
}  // namespace documents

}  // namespace zelk
