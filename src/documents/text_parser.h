// The plain-text reader (txt and md): the file's text, unchanged.
#pragma once

#include <string>

namespace zelk::TextParser {
// Throws ParseError::parseFailure("Could not read file") when the file can't be read.
std::string parse(const std::string& path);
}  // namespace zelk::TextParser
