// Cutting a document's text into the passages that are embedded and ranked: prose sections cut
// at headings and paragraphs, tables cut into windows of rows that repeat the table's header.
// Pure functions of their input; any thread may call them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelk {

namespace SmartSelect {
// Sections at heading lines, in document order, none empty; a section of 2001 characters or
// more is replaced by its paragraphs.
std::vector<std::string> splitIntoSections(std::string_view text);
// A trimmed line of at least 3 characters with at least 3 letters, every letter upper-case.
bool isAllCapsHeading(std::string_view line);
}  // namespace SmartSelect

// Sizes are in Unicode scalars; every caller uses the defaults.
struct RetrievalChunker {
  // Indexes built with another chunker version are rebuilt.
  static constexpr int kVersion = 2;

  int tableWindow = 1000;   // rows of one table window, the repeated header not counted
  int sectionLimit = 1500;  // a longer prose section is cut into windows of lines

  // The retrieval passages of a text, in document order.
  std::vector<std::string> chunk(std::string_view text) const;

 private:
  struct Block {
    std::string header;
    std::vector<std::string> body;
  };
  static std::vector<Block> splitBlocks(std::string_view text);
  static bool looksGrid(const std::vector<std::string>& lines, size_t minRows = 3,
                        double frac = 0.6, size_t minDelims = 2);
  static std::vector<std::string> rowWindows(const std::vector<std::string>& lines,
                                             const std::vector<std::string>& headerLines,
                                             size_t size);
  static std::vector<std::string> joinShort(const std::vector<std::string>& passages);
};

}  // namespace zelk
