// Text comparison for table questions: ignoring case and diacritics, and the natural order of
// result rows (digit runs as numbers). Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace zelk::tables {

// The text without case and diacritics ("Ärger" and "arger" fold alike). ASCII stays cheap.
std::string foldText(std::string_view text);
// Appends the folded text to `out`; avoids an allocation per cell in the row loop.
void foldTextInto(std::string_view text, std::string& out);

// Texts ignoring case with digit runs compared as numbers, then exactly: negative, 0, positive.
int naturalCompare(std::string_view a, std::string_view b);

}  // namespace zelk::tables
