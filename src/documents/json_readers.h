// The JSON readers (the tools' path and the Document path) and the splitter that finds a JSON
// value followed by other text. Neither reader reformats the text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zelk {

namespace JSONLeadingValue {
struct Split {
  std::string json;     // the leading object or array, brackets included
  std::string trailer;  // the rest, trimmed; never empty
};
// The leading object or array of a text that goes on after it, or nullopt.
std::optional<Split> split(std::string_view text);
}  // namespace JSONLeadingValue

namespace JSONDocumentParser {
// The file's text. Throws std::system_error when it can't be loaded, ParseError::parseFailure
// "Invalid JSON: {description}" or "JSON file contains no readable content".
std::string parse(const std::string& path);
}  // namespace JSONDocumentParser

namespace MCPTools {
// The file's text. Throws std::system_error when it can't be loaded,
// MCPToolError::parseFailure("Could not read JSON file") when not UTF-8, and JSONParseError
// with the parser's description when not JSON.
std::string parseJSON(const std::string& path);
}  // namespace MCPTools

namespace documents {
// nullopt when the bytes are one JSON value (fragments allowed when allowFragments), else the
// parser's description of the first fault. Iterative: any depth of nesting is safe.
std::optional<std::string> jsonSyntaxError(std::string_view bytes, bool allowFragments);
}  // namespace documents

}  // namespace zelk
