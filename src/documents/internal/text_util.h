// Text helpers the readers share: decoding file bytes, trimming by the readers' character
// classes, and loading a file whole.
#pragma once

#include <string>
#include <string_view>

namespace zelk::documents {

// UTF-8 when the bytes are valid UTF-8, otherwise ISO Latin-1 (which accepts any bytes).
std::string decodeText(std::string_view bytes);
// ISO Latin-1 bytes as UTF-8.
std::string latin1ToUtf8(std::string_view bytes);

// Trims Unicode space separators and tabs ("white space").
std::string_view trimWhitespace(std::string_view text);
// Trims white space and line breaks (LF, VT, FF, CR, U+0085, U+2028, U+2029).
std::string_view trimWhitespaceAndNewlines(std::string_view text);
// Trims only ' ' and '\t'.
std::string_view trimSpacesAndTabs(std::string_view text);

// Reads a whole file. Throws std::system_error with the file system's error.
std::string readFileBytes(const std::string& path);

}  // namespace zelk::documents
