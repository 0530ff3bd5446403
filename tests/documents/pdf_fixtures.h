// Builds small PDF files in code with cairo, so that each fixture shows exactly one case: text
// pages, scanned pages (an image of text as the page's only content), charts, empty pages.
#pragma once

#include <string>
#include <vector>

namespace zelk::testing {

class PDFBuilder {
 public:
  // Letter-size pages unless a page says otherwise.
  PDFBuilder& textPage(const std::string& text, double fontSize = 10);
  // An image of the text rendered at 200 dpi and nothing else: no text layer.
  PDFBuilder& scannedPage(const std::string& text, double fontSize = 14);
  // A short text layer above a bar chart. With labels, the chart image carries printed axis
  // labels and figures (text only recognition can find); without, it is bars only.
  PDFBuilder& chartPage(const std::string& text, bool labelledChart);
  PDFBuilder& emptyPage(double widthPt = 612, double heightPt = 792);
  // A page of any size holding one short line of text near its top-left corner.
  PDFBuilder& sizedTextPage(double widthPt, double heightPt, const std::string& text);

  // Writes the document; false when cairo reports an error.
  bool write(const std::string& path) const;

 private:
  enum class Kind { text, scanned, chart, empty };
  struct Page {
    Kind kind;
    std::string text;
    double fontSize = 10;
    bool labelled = false;
    double width = 612, height = 792;
  };
  std::vector<Page> pages_;
};

// Prose of exactly `characters` characters (words of lower-case letters and spaces).
std::string proseOfLength(size_t characters, unsigned seed = 1);
// `count` distinct dictionary-like English words, separated by single spaces.
std::vector<std::string> knownWords(size_t count);

// A minimal PDF encrypted with the standard security handler (revision 2) whose user password
// is "secret", so that it cannot be opened without one.
std::string encryptedPDFBytes();

void writeBytes(const std::string& path, const std::string& bytes);
std::string readBytes(const std::string& path);

}  // namespace zelk::testing
